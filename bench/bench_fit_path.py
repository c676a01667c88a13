"""CPU time of the package's fit path against the same fit written with a plain
lmfit.Model over a NumPy Lorentzian sum (same parameters, ties, start and Poisson
weights), interleaved repeats, medians.

1. the alpha-iron calibration fit (512 channels, two sweeps of a triangular drive:
   velocity step, zero channel, mirror point, quadrupole shift, widths and intensities
   with mirror lines tied, area, a quadratic baseline per sweep); the measured foil of
   ../shared/data/spectra when present, else the demo's synthetic foil;
2. a magnetite-like two-sextet fit on the calibrated drive (synthetic, the demo's).

    MOSSLIB_LIBRARY=build/src/libmosslib.so PYTHONPATH=python \\
        /usr/bin/python3 bench/bench_fit_path.py [--repeats 15]
"""

import argparse
import math
import os
import sys
import time

import lmfit
import numpy as np

import mosslib
from mosslib import calibration, demo
from mosslib.components import Baseline, Component, Transmission

from machine import processor  # bench/: the processor's name

# sextgen's line-position coefficients per tesla of its field and quadrupole signs
COEF = np.array([-0.163, -0.09438142, -0.02576284, 0.02576284, 0.09438142, 0.163])
QSIGN = np.array([-1.0, 1.0, 1.0, 1.0, 1.0, -1.0])


def plain_model(prefixes, axis_kind):
    """A plain lmfit.Model: NumPy Lorentzian sextets times a baseline per sweep."""
    names = ["axis_step", "axis_zero", "axis_mirror"]
    for p in prefixes:
        names += [p + n for n in ("field_T", "centre_shift", "quadrupole_shift", "area")]
        names += [f"{p}intensity{k}" for k in range(1, 7)] + [f"{p}width{k}" for k in range(1, 7)]
    names += [f"base_s{s}_c{k}" for s in (0, 1) for k in range(3)]

    def f(x, **q):
        step, zero, mirror = q["axis_step"], q["axis_zero"], q["axis_mirror"]
        split = int(np.searchsorted(x, math.floor(mirror) + 1))  # x: channels, ascending
        v = (x - zero) * step
        v[split:] = (x[split:] - (2 * mirror - zero)) * -step
        total = np.zeros_like(v)
        for p in prefixes:
            inten = [q[f"{p}intensity{k}"] for k in range(1, 7)]
            norm = 3.1416 * sum(inten) / (2 * q[p + "area"])
            field, quad, shift = q[p + "field_T"], q[p + "quadrupole_shift"], q[p + "centre_shift"]
            for k in range(6):
                w = q[f"{p}width{k + 1}"]
                t = (v - (field * COEF[k] + QSIGN[k] * quad + shift)) * (2 / w)
                t *= t
                t += 1
                total += (inten[k] / (norm * w)) / t
        a, b = v[:split], v[split:]
        base = np.concatenate([q["base_s0_c0"] + a * (q["base_s0_c1"] + a * q["base_s0_c2"]),
                               q["base_s1_c0"] + b * (q["base_s1_c1"] + b * q["base_s1_c2"])])
        return base * (1 - total)

    P = __import__("inspect").Parameter
    f.__signature__ = __import__("inspect").Signature(
        [P("x", P.POSITIONAL_OR_KEYWORD)] + [P(n, P.POSITIONAL_OR_KEYWORD, default=0.0) for n in names])
    return lmfit.Model(f, independent_vars=["x"])


def calibration_case(foil):
    """The spectrum, model and start mosslib.calibrate fits (its own steps)."""
    n, m = foil.n, foil.mask
    first = calibration._dips(foil.counts, m, 0, n // 2)
    second = calibration._dips(foil.counts, m, n // 2, n)
    c1, c6 = first[0], first[-1]
    step = mosslib.ALPHA_IRON_OUTER_SPAN / (c6 - c1)
    axis = mosslib.TriangularAxis(n, step, (c1 + c6) / 2, (c1 + second[-1] + c6 + second[0]) / 4)
    s = foil.with_axis(axis)
    comp = Component("sextgen", prefix="fe_")
    model = Transmission(comp, baseline=Baseline(2, per_sweep=True))
    params = model.make_params(s)
    comp.pair_lines(params)
    for name in axis.param_names:
        params["axis_" + name].set(vary=True)
    values = params.valuesdict()
    centres = comp.line_centres(values, axis)
    per_tesla = (centres[-1] - centres[0]) / values["fe_field_T"]
    params["fe_field_T"].set(value=mosslib.ALPHA_IRON_OUTER_SPAN / per_tesla, vary=False)
    params["fe_centre_shift"].set(value=0.0, vary=False)
    model.guess(s, params)
    return s, model, params, ["fe_"]


def magnetite_case():
    true = {"a": (49.0, 0.27, -0.01, 0.30, 0.06), "b": (46.0, 0.66, 0.0, 0.36, 0.12)}
    sample, _ = demo.synthetic(lambda p, a: [demo._sextet(k + "_", p, *v, a) for k, v in true.items()])
    s = sample.with_axis(mosslib.TriangularAxis(demo.CHANNELS, **demo.DRIVE))
    comps = [Component("sextgen", prefix=k + "_") for k in true]
    model = Transmission(*comps, baseline=Baseline(2, per_sweep=True))
    params = model.make_params(s)
    for c, (field_T, shift, *_r) in zip(comps, true.values()):
        c.pair_lines(params)
        params[c.prefix + "field_T"].set(value=demo.field_for_span(
            c, s.axis, (field_T - 0.8) * mosslib.ALPHA_IRON_OUTER_SPAN / mosslib.ALPHA_IRON_FIELD_T))
        params[c.prefix + "centre_shift"].set(value=shift + 0.05)
    model.guess(s, params)
    return s, model, params, [k + "_" for k in true]


def run_case(label, case, repeats):
    s, model, params, prefixes = case
    idx = np.flatnonzero(s.mask).astype(float)
    d = s.counts[s.mask]
    w = 1 / np.sqrt(s.data_variance()[s.mask])
    lm = plain_model(prefixes, s.axis.kind)
    pk, pl = [], []
    r = mosslib.fit(s, model, params.copy())
    q = lm.fit(d, params.copy(), x=idx, weights=w)
    for _ in range(repeats):
        t = time.process_time()
        r = mosslib.fit(s, model, params.copy())
        pk.append(time.process_time() - t)
        t = time.process_time()
        q = lm.fit(d, params.copy(), x=idx, weights=w)
        pl.append(time.process_time() - t)
    dev, worst = max((abs(r.values[n] - q.params[n].value) / r.stderr[n], n)
                     for n in r.values if r.stderr.get(n))
    a, b = float(np.median(pk)), float(np.median(pl))
    print(f"{label}: {r.nvarys} free, {r.ndata} channels")
    print(f"  package fit     {a * 1e3:8.2f} ms CPU  ({r.nfev} evaluations, "
          f"{a / r.nfev * 1e6:.0f} us each), chi2_r {r.redchi:.5f}")
    print(f"  plain lmfit     {b * 1e3:8.2f} ms CPU  ({q.nfev} evaluations, "
          f"{b / q.nfev * 1e6:.0f} us each), chi2_r {q.redchi:.5f}")
    print(f"  ratio package/plain {a / b:.2f}; largest |difference| of the results "
          f"{dev:.1e} sigma ({worst})")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--repeats", type=int, default=15)
    args = ap.parse_args()
    print(f"{processor()}; {os.cpu_count()} cores; CPU time, medians of {args.repeats} "
          f"interleaved repeats; lmfit {lmfit.__version__}, NumPy {np.__version__}")
    d = demo.spectra_dir()
    path = d and os.path.join(d, "phys359_alphaFe_ironfoil0207.txt")
    if path and os.path.exists(path):
        foil, what = mosslib.read_spectrum(path, exclude=[511]), "measured alpha-iron foil"
    else:
        foil, _ = demo.synthetic(lambda p, a: [demo._sextet("fe_", p, 33.0, 0.0, 0.0, 0.28, 0.25, a)], 1.0e6)
        what = "synthetic alpha-iron foil"
    run_case(f"calibration, {what}", calibration_case(foil), args.repeats)
    run_case("magnetite-like two sextets (synthetic, calibrated drive)", magnetite_case(), args.repeats)


if __name__ == "__main__":
    sys.exit(main())
