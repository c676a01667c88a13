"""CPU time of the Python package: raw calls against bare ctypes, one model
evaluation, the alpha-iron calibration fit, the magnetite two-sextet fit.

    MOSSLIB_LIBRARY=build/src/libmosslib.so PYTHONPATH=python /usr/bin/python3 bench/python_package.py
"""

import ctypes
import math
import os
import sys
import time

import numpy as np

import mosslib
from mosslib import catalog, demo


def cpu(f, number, repeat=7):
    """Median and minimum CPU seconds per call over `repeat` runs of `number` calls."""
    runs = []
    for _ in range(repeat):
        t = time.process_time()
        for _ in range(number):
            f()
        runs.append((time.process_time() - t) / number)
    return float(np.median(runs)), min(runs)


def show(label, t):
    med, lo = t
    unit, k = ("us", 1e6) if med < 1e-3 else ("ms", 1e3)
    print(f"  {label:<52} {med * k:9.2f} {unit}  (min {lo * k:.2f})")
    return med


def main():
    print(f"library {mosslib.library().path}, priority step {'on' if mosslib.priority_step() else 'off'}")
    print("raw calls (per call; 256 channels):")
    for name in ("sext", "doubl"):
        info = catalog.model(name)
        p = np.zeros(info.n_reals)
        for q in info.params:
            p[q.index] = q.to_raw(q.example)
        lib = ctypes.CDLL(mosslib.library().path)
        f = getattr(lib, name)
        f.argtypes = [ctypes.POINTER(ctypes.c_double)] * 2
        f.restype = ctypes.c_double
        pc = (ctypes.c_double * info.n_reals)(*p)
        oc = (ctypes.c_double * info.channels)()
        out = np.empty(info.channels)
        g = getattr(mosslib, name)
        bare = show(f"{name}: bare ctypes, prepared ctypes arrays", cpu(lambda: f(pc, oc), 20000))
        reuse = show(f"{name}: mosslib.{name}(p, out=out), NumPy arrays", cpu(lambda: g(p, out=out), 20000))
        new = show(f"{name}: mosslib.{name}(p), new result array", cpu(lambda: g(p), 20000))
        print(f"  {'':<52} ratio {reuse / bare:.2f} (out=), {new / bare:.2f} (new array)")

    print("one model evaluation through the package:")
    s = mosslib.Spectrum(np.ones(512), axis=mosslib.TriangularAxis(512, 0.0845, 129.4, 256.3))
    model = mosslib.Transmission(mosslib.Component("sextgen", prefix="fe_"),
                                 baseline=mosslib.Baseline(2, per_sweep=True))
    params = model.make_params(s)
    show("Transmission(sextgen).eval, 512 ch. triangular (3 calls)", cpu(lambda: model.eval(params, s), 2000))
    sine = mosslib.Spectrum(np.ones(1024), axis=mosslib.SineAxis(1024, 10.4, -256, channels_per_radian=1024 / (2 * math.pi)))
    m2 = mosslib.Transmission(mosslib.Component("sextgen_sl", prefix="a_"), mosslib.Component("sextgen_sl", prefix="b_"),
                              baseline=mosslib.Baseline(2, per_sweep=True))
    p2 = m2.make_params(sine)
    show("Transmission(2 x sextgen_sl).eval, 1024 ch. sine (4 calls)", cpu(lambda: m2.eval(p2, sine), 2000))

    d = demo.spectra_dir()
    print("fits (CPU per fit):")
    if d:
        foil = mosslib.read_spectrum(os.path.join(d, "phys359_alphaFe_ironfoil0207.txt"), exclude=[511])
        cal = mosslib.calibrate(foil)
        show(f"alpha-iron calibration, measured foil ({cal.result.nfev} evaluations)",
             cpu(lambda: mosslib.calibrate(foil), 3, 5))
        mag = mosslib.read_spectrum(os.path.join(d, "fopra17_magnetite.txt"))
        r = demo.fit_measured_magnetite(mag)
        show(f"magnetite two sextets, measured ({r.nfev} evaluations)",
             cpu(lambda: demo.fit_measured_magnetite(mag), 1, 5))
    else:
        print("  measured spectra absent: fits not timed")


if __name__ == "__main__":
    sys.exit(main())
