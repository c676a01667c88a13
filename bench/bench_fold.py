"""Folding at a fractional point: fitted line widths of a folded synthetic spectrum
against the truth, for the band-limited shift of the partner (mosslib.fold) and a linear interpolation.

    MOSSLIB_LIBRARY=build/src/libmosslib.so PYTHONPATH=python python3 bench/bench_fold.py

Noiseless counts (the widening is a bias, not noise), a sextet of FWHM 0.25 mm/s on
two-sweep drives of 0.05, 0.07 and 0.0845 mm/s per channel, mirror points at three
fractions of a channel and zero channels at three positions on the grid; each folded
spectrum is fitted with the widths of the line pairs free; the largest error of a
fitted width is shown.
"""

import math

import numpy as np

import mosslib
from mosslib import Baseline, Component, Spectrum, Transmission, TriangularAxis, fit
from mosslib import measurement

WIDTH = 0.25


def spectrum(step, mirror, zero):
    axis = TriangularAxis(512, step, zero, mirror)
    comp = Component("sextgen", prefix="a_")
    tm = Transmission(comp, baseline=Baseline(0, per_sweep=True))
    s = Spectrum(np.ones(512), axis=axis)
    p = tm.make_params(s)
    comp.pair_lines(p)
    v = p.valuesdict()
    v.update({"a_field_T": 33.0 * 10.657 / 10.758, "a_centre_shift": 0.1,
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


def fitted_widths(f, truth):
    comp = Component("sextgen", prefix="a_")
    tm = Transmission(comp, baseline=Baseline(0))
    p = tm.make_params(f)
    comp.pair_lines(p)
    for k, val in truth.items():
        if k.startswith("a_") and k in p:
            p[k].set(value=val)
    p["a_field_T"].set(vary=False)
    p["base_c0"].set(value=2e6)
    r = fit(f, tm, p, weights="model")
    return [r.values[f"a_width{k}"] for k in (1, 2, 3)]


def main():
    print(f"{'step':>7} {'ch/FWHM':>8} {'shifted: max |err| %':>21} {'linear: max |err| %':>20}")
    for step in (0.05, 0.07, 0.0845):
        worst = {"shifted": 0.0, "linear": 0.0}
        for frac in (0.1, 0.25, 0.4):
            for dz in (0.0, 0.3, 0.6):
                m = 256.0 + frac
                s, truth = spectrum(step, m, 128.0 + dz)
                for how, f in (("shifted", measurement.fold(s)), ("linear", linear_fold(s, m))):
                    e = max(abs(w / WIDTH - 1) for w in fitted_widths(f, truth))
                    worst[how] = max(worst[how], 100 * e)
        print(f"{step:7.4f} {WIDTH / step:8.2f} {worst['shifted']:21.3f} {worst['linear']:20.3f}")


if __name__ == "__main__":
    main()
