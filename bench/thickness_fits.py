"""Thick absorbers in fits: synthetic Poisson spectra of a singlet and an alpha-iron
sextet at t_a = 1, 5, 10, 30, 50 fitted with the thickness model and with the thin one
(width bias beside it), the fit times, and the measured alpha-iron foil of
../shared/data/spectra (read in place; skipped when absent) with and without thickness.

    MOSSLIB_LIBRARY=build/src/libmosslib.so PYTHONPATH=python /usr/bin/python3 bench/thickness_fits.py
"""

import os
import sys
import time

import numpy as np

import mosslib
from mosslib import Baseline, Component, LinearAxis, Spectrum, Transmission, fit

from machine import processor  # bench/: the processor's name

AXIS = LinearAxis(512, 0.04, 256.5)
WIDTH, F_S, SOURCE, COUNTS = 0.24, 0.7, 0.11, 1e7


def model_of(kind, thick):
    c = Component("sext" if kind == "sextet" else "doubl", prefix="a_")
    return c, Transmission(c, baseline=Baseline(0), thickness={"f_s": F_S, "source_width": SOURCE} if thick else None)


def truth_params(kind, t_a):
    c, m = model_of(kind, True)
    p = m.make_params(axis=AXIS)
    if kind == "sextet":
        p["a_field_T"].set(value=33.0)
        p["a_centre_shift"].set(value=0.0)
        p["a_quadrupole_shift"].set(value=0.0)
        for k, i in zip(range(1, 7), (3, 2, 1, 1, 2, 3)):
            p[f"a_intensity{k}"].set(value=i)
    else:
        p["a_centre_shift"].set(value=0.1)
        p["a_quadrupole_splitting"].set(value=0.0, vary=False)
    p["a_width"].set(value=WIDTH)
    p["thick_t_a"].set(value=t_a)
    p["base_c0"].set(value=COUNTS)
    return m, p


def fitted(kind, thick, spectrum, truth, t_a):
    c, m = model_of(kind, thick)
    p = m.make_params(spectrum)
    for n in p:
        if n in truth and not truth[n].expr:
            p[n].set(value=truth[n].value)
    if kind == "singlet":
        p["a_quadrupole_splitting"].set(value=0.0, vary=False)
    else:
        c.pair_lines(p)
        p["a_intensity1"].set(vary=False)
    if not thick:
        m.guess(spectrum, p)
    times = []
    for rep in range(3):  # best of three
        t0 = time.process_time()
        r = fit(spectrum, m, p)
        times.append(time.process_time() - t0)
    return r, min(times)


def synthetic():
    rows = []
    for kind in ("singlet", "sextet"):
        for t_a in (1, 5, 10, 30, 50):
            m, p = truth_params(kind, t_a)
            clean = Spectrum(np.ones(AXIS.n), axis=AXIS)
            y = np.random.default_rng(int(t_a * 10) + len(kind)).poisson(m.eval(p, clean)).astype(float)
            s = Spectrum(y, axis=AXIS, name=f"{kind} t_a={t_a}")
            thick, t_thick = fitted(kind, True, s, p, t_a)
            thin, t_thin = fitted(kind, False, s, p, t_a)
            rows.append((kind, t_a, thick.values["a_width"], thick.stderr["a_width"],
                         thick.values["thick_t_a"], thick.stderr["thick_t_a"], thick.redchi,
                         thin.values["a_width"], thin.redchi, t_thick, thick.nfev, t_thin, thin.nfev))
            print("%-8s t_a=%4g | thick: width %.4f +/- %.4f (true %.3f), t_a %.3f +/- %.3f, chi2r %.3f"
                  " | thin: width %.4f (%+.1f %% beside Gamma_a + Gamma_s), chi2r %.2f | fit CPU ms thick %.1f (%d ev) thin %.1f (%d ev)"
                  % (kind, t_a, rows[-1][2], rows[-1][3], WIDTH, rows[-1][4], rows[-1][5], rows[-1][6],
                     rows[-1][7], 100 * (rows[-1][7] / (WIDTH + SOURCE) - 1), rows[-1][8], 1e3 * t_thick,
                     thick.nfev, 1e3 * t_thin, thin.nfev), flush=True)
    return rows


def timing():
    m, p = truth_params("sextet", 10)
    thin = Transmission(Component("sext", prefix="a_"), baseline=Baseline(0))
    pt = thin.make_params(axis=AXIS)
    clean = Spectrum(np.ones(AXIS.n), axis=AXIS)
    for label, model, params in (("thin", thin, pt), ("thick", m, p)):
        times = []
        for rep in range(5):
            t0 = time.process_time()
            for k in range(20):
                params["a_width"].set(value=WIDTH + 1e-6 * k)  # defeat the cache
                model.eval(params, clean)
            times.append((time.process_time() - t0) / 20 * 1e3)
        print(f"512-channel sextet, {label}: {min(times):.3f} ms CPU per evaluation (best of 5; "
              f"{', '.join(f'{t:.3f}' for t in times)})")


def measured():
    d = os.environ.get("MOSSLIB_SPECTRA") or os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "..", "..", "shared", "data", "spectra")
    path = os.path.join(d, "phys359_alphaFe_ironfoil0207.txt")
    if not os.path.exists(path):
        print("measured foil absent; skipped")
        return
    foil = mosslib.read_spectrum(path, exclude=[511])
    cal = mosslib.calibrate(foil)
    s = cal.apply(foil)
    for kind, thick in (("sext", False), ("sext", True), ("sextgen", False), ("sextgen", True)):
        c = Component(kind, prefix="fe_")
        m = Transmission(c, baseline=Baseline(2, per_sweep=True), thickness={"f_s": F_S} if thick else None)
        p = m.make_params(s)
        c.pair_lines(p)
        p["fe_intensity1"].set(vary=False)
        p["fe_field_T"].set(value=33.0)
        p["fe_centre_shift"].set(value=-0.1)
        if not thick:
            m.guess(s, p)
        else:
            p["thick_f_s"].set(vary=True)
        t0 = time.process_time()
        r = fit(s, m, p)
        extra = (f", t_a {r.values['thick_t_a']:.2f} +/- {r.stderr['thick_t_a'] or 0:.2f}, f_s "
                 f"{r.values['thick_f_s']:.3f}" if thick else "")
        i2 = r.values["fe_intensity2"] / r.values["fe_intensity1"] * 3
        i3 = r.values["fe_intensity3"] / r.values["fe_intensity1"] * 3
        res = (s.counts - m.eval(r.params, s))[s.mask] / np.sqrt(s.data_variance()[s.mask])
        lag1 = np.corrcoef(res[:-1], res[1:])[0, 1]
        width = r.values.get("fe_width", r.values.get("fe_width1"))
        print(f"alpha-iron foil, {kind} {'thick' if thick else 'thin '}: chi2r {r.redchi:.3f}, width "
              f"{width:.4f} mm/s, intensities 3 : {i2:.2f} : {i3:.2f}{extra}, "
              f"residual lag-1 correlation {lag1:+.3f}, fit {1e3 * (time.process_time() - t0):.0f} ms CPU")


if __name__ == "__main__":
    print(f"mosslib {mosslib.version()}; {os.cpu_count()} CPUs; {processor()}")
    what = sys.argv[1:] or ["timing", "synthetic", "measured"]
    if "timing" in what:
        timing()
    if "synthetic" in what:
        synthetic()
    if "measured" in what:
        measured()
