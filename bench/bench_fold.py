"""Folding at a fractional point: fitted line widths of a folded synthetic spectrum
against the truth, for the band-limited shift of the partner (mosslib.fold) and a linear interpolation.

    MOSSLIB_LIBRARY=build/src/libmosslib.so PYTHONPATH=python python3 bench/bench_fold.py

Noiseless counts (the widening is a bias, not noise), a sextet of FWHM 0.25 mm/s on
a two-sweep drive of 0.05 and 0.0845 mm/s per channel, mirror points with every
fraction of a half channel; each folded spectrum is fitted with the widths free.
"""

import math

import numpy as np

import mosslib
from mosslib import Baseline, Component, Spectrum, Transmission, TriangularAxis, fit
from mosslib import measurement

WIDTH = 0.25


def spectrum(step, mirror):
    axis = TriangularAxis(512, step, mirror / 2, mirror)
    comp = Component("sextgen", prefix="a_")
    tm = Transmission(comp, baseline=Baseline(0, per_sweep=True))
    s = Spectrum(np.ones(512), axis=axis)
    p = tm.make_params(s)
    comp.pair_lines(p)
    v = p.valuesdict()
    v.update({"a_field_T": 33.0 * 10.0 / 10.758 * (step / 0.05) ** 0 , "a_centre_shift": 0.1,
              "a_quadrupole_shift": 0.0, "a_area": 0.3, "base_s0_c0": 1e6, "base_s1_c0": 1e6})
    for k in range(1, 7):
        v[f"a_width{k}"] = WIDTH
    return Spectrum(tm.eval(v, s), axis=axis), v


def linear_fold(s, m):
    c = s.counts
    i = np.arange(0, int(math.floor(m)) + 1)
    j = 2 * m - i
    keep = j <= s.n - 1
    i, j = i[keep], j[keep]
    a = np.floor(j).astype(int)
    f = j - a
    b = np.minimum(a + 1, s.n - 1)
    return Spectrum(c[i] + (1 - f) * c[a] + f * c[b], axis=mosslib.LinearAxis(
        i.size, s.axis.step, s.axis.zero - i[0]))


def fitted_width(f, truth):
    comp = Component("sextgen", prefix="a_")
    tm = Transmission(comp, baseline=Baseline(0))
    p = tm.make_params(f)
    comp.pair_lines(p)
    for k, val in truth.items():
        if k.startswith("a_") and k in p:
            p[k].set(value=val)
    p["base_c0"].set(value=2e6)
    for k in range(2, 7):
        p[f"a_width{k}"].set(expr="a_width1")
    r = fit(f, tm, p, weights="model")
    return r.values["a_width1"]


def main():
    print(f"{'step':>7} {'mirror':>9} {'shifted %':>10} {'linear %':>10}")
    worst = {"shifted": 0.0, "linear": 0.0}
    for step in (0.05, 0.0845):
        for frac in (0.0, 0.1, 0.25, 0.4, 0.5):
            m = 256.0 + frac
            s, truth = spectrum(step, m)
            w_s = fitted_width(measurement.fold(s), truth)
            w_l = fitted_width(linear_fold(s, m), truth)
            e_s, e_l = 100 * (w_s / WIDTH - 1), 100 * (w_l / WIDTH - 1)
            worst["shifted"] = max(worst["shifted"], abs(e_s))
            worst["linear"] = max(worst["linear"], abs(e_l))
            print(f"{step:7.4f} {m:9.2f} {e_s:10.4f} {e_l:10.4f}")
    print(f"largest width error: shifted {worst['shifted']:.4f} %, linear {worst['linear']:.4f} %")


if __name__ == "__main__":
    main()
