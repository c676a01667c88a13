"""The demo: synthetic spectra generated with the library (fixed seed), fitted back.

1. a noisy alpha-iron calibration spectrum (512 channels, two sweeps of a triangular
   drive), calibrated: velocity per channel, zero channel, mirror point;
2. a two-site magnetite-like spectrum on the same drive, fitted on that calibration;
3. where the measured spectra are present (../shared/data/spectra next to the
   repository, or MOSSLIB_SPECTRA), the measured alpha-iron foil and magnetite.

Reports (.txt), plots (.png) and results (.json) go into the output directory.
    python3 -m mosslib demo --out out
"""

import json
import math
import os
import sys
import time

import numpy as np

from .axes import SineAxis, TriangularAxis
from .calibration import calibrate
from .components import Baseline, Component, Transmission
from .fitting import ALPHA_IRON_FIELD_T, ALPHA_IRON_OUTER_SPAN, fit
from .measurement import Spectrum, read_spectrum

SEED = 20240217
CHANNELS = 512
DRIVE = dict(step=0.0845, zero=129.4, mirror=256.3)  # mm/s per channel, channels


def spectra_dir():
    """The measured spectra, if present: MOSSLIB_SPECTRA, else ../shared/data/spectra
    beside the repository (or beside the working directory)."""
    here = os.path.dirname(os.path.abspath(__file__))
    for d in (os.environ.get("MOSSLIB_SPECTRA"),
              os.path.join(here, "..", "..", "..", "shared", "data", "spectra"),
              os.path.join(os.getcwd(), "..", "shared", "data", "spectra")):
        if d and os.path.isdir(d):
            return os.path.abspath(d)
    return None


def field_for_span(component, axis, span):
    """The model field (its own constant) whose outer lines lie `span` mm/s apart."""
    p = component.make_params().valuesdict()
    c = component.line_centres(p, axis)
    return span * p[component.prefix + "field_T"] / (c[-1] - c[0])


def _sextet(prefix, params, field_T, shift, quad, width, area, axis):
    c = Component("sextgen", prefix=prefix)
    c.make_params(params)
    c.pair_lines(params)
    params[prefix + "field_T"].set(value=field_for_span(c, axis, field_T * ALPHA_IRON_OUTER_SPAN / ALPHA_IRON_FIELD_T))
    for name, value in (("centre_shift", shift), ("quadrupole_shift", quad), ("area", area),
                        ("intensity1", 3.0), ("intensity2", 2.0), ("intensity3", 1.0)):
        params[prefix + name].set(value=value)
    for k in (1, 2, 3):
        params[f"{prefix}width{k}"].set(value=width)
    return c


def synthetic(components_of, counts=2.0e5, seed=SEED):
    """(Spectrum with Poisson noise, true parameters) on the demo drive."""
    axis = TriangularAxis(CHANNELS, **DRIVE)
    import lmfit
    params = lmfit.Parameters()
    comps = components_of(params, axis)
    model = Transmission(*comps, baseline=Baseline(2, per_sweep=True))
    clean = Spectrum(np.ones(CHANNELS), axis=axis)
    for name in model.param_names(axis):
        if name.startswith("axis_"):
            params.add(name, value=getattr(axis, name[5:]), vary=False)
    for s, curve in ((0, -2.0e-4), (1, -1.0e-4)):
        params.add(f"base_s{s}_c0", value=counts)
        params.add(f"base_s{s}_c1", value=0.0)
        params.add(f"base_s{s}_c2", value=curve * counts)
    expected = model.eval(params, clean)
    rng = np.random.default_rng(seed)
    return Spectrum(rng.poisson(expected).astype(float), axis=None), params


def _save(result, out, stem, title=None):
    with open(os.path.join(out, stem + ".txt"), "w") as f:
        f.write(result.report())
    result.to_json(os.path.join(out, stem + ".json"))
    result.plot(os.path.join(out, stem + ".png"), title=title)
    return [stem + ext for ext in (".txt", ".json", ".png")]


def run(out="out", spectra=None):
    os.makedirs(out, exist_ok=True)
    written = []
    t0 = time.process_time()

    # 1. alpha-iron foil: 33.0 T on the convention, no shift, no quadrupole shift.
    foil, _ = synthetic(lambda p, a: [_sextet("fe_", p, 33.0, 0.0, 0.0, 0.28, 0.25, a)], 1.0e6)
    foil = Spectrum(foil.counts, name="synthetic alpha-iron foil")
    cal = calibrate(foil)
    written += _save(cal.result, out, "demo_foil_fit", "synthetic alpha-iron foil: calibration")
    with open(os.path.join(out, "demo_calibration.json"), "w") as f:
        json.dump({**cal.to_dict(), "true": DRIVE}, f, indent=2)
    written.append("demo_calibration.json")
    print(cal.report().rstrip())
    print(f"  (true: step {DRIVE['step']}, zero {DRIVE['zero']}, mirror {DRIVE['mirror']})")

    # 2. magnetite-like: A site 49.0 T, 0.27 mm/s; B site 46.0 T, 0.66 mm/s, twice the area.
    true = {"a": (49.0, 0.27, -0.01, 0.30, 0.06), "b": (46.0, 0.66, 0.0, 0.36, 0.12)}
    sample, truth = synthetic(lambda p, a: [_sextet(k + "_", p, *v, a) for k, v in true.items()])
    sample = cal.apply(Spectrum(sample.counts, name="synthetic magnetite-like sample"))
    comps = [Component("sextgen", prefix=k + "_") for k in true]
    model = Transmission(*comps, baseline=Baseline(2, per_sweep=True))
    params = model.make_params(sample)
    for c, (field_T, shift, *_rest) in zip(comps, true.values()):
        c.pair_lines(params)
        params[c.prefix + "field_T"].set(value=field_for_span(c, sample.axis, (field_T - 0.8) * ALPHA_IRON_OUTER_SPAN / ALPHA_IRON_FIELD_T))
        params[c.prefix + "centre_shift"].set(value=shift + 0.05)
    model.guess(sample, params)
    result = fit(sample, model, params)
    written += _save(result, out, "demo_magnetite_fit")
    print()
    for k, (field_T, *_rest) in true.items():
        d = result.derived[k + "_"]["field_alpha_iron"]
        print(f"  site {k}: field {d['value']:.3f} +/- {d['stderr']:.3f} T (true {field_T}) "
              f"on the alpha-iron convention")
    print(f"  reduced chi-square {result.redchi:.3f}")

    # 3. measured spectra, where present.
    spectra = spectra or spectra_dir()
    if spectra:
        path = os.path.join(spectra, "phys359_alphaFe_ironfoil0207.txt")
        if os.path.exists(path):
            measured = calibrate(read_spectrum(path, exclude=[511]))
            written += _save(measured.result, out, "measured_foil_fit",
                             "measured alpha-iron foil: calibration")
            print()
            print(measured.report().rstrip())
        path = os.path.join(spectra, "fopra17_magnetite.txt")
        if os.path.exists(path):
            result = fit_measured_magnetite(read_spectrum(path))
            written += _save(result, out, "measured_magnetite_fit")
            print("  measured magnetite: "
                  + ", ".join(f"{result.derived[p]['field_alpha_iron']['value']:.2f} T"
                              for p in result.derived)
                  + f", reduced chi-square {result.redchi:.3f}")
    else:
        print("\n  Measured spectra: none here. The project keeps measured foils and magnetite "
              "beside the\n  checkout, in ../shared/data/spectra (or $MOSSLIB_SPECTRA); where "
              "they are, the demo\n  also calibrates on the measured foil and fits the "
              "measured magnetite. Everything above\n  is synthetic, made by the library "
              "with a fixed seed, so it runs anywhere.")
    print(f"\n  {len(written)} files in {out}/, {time.process_time() - t0:.2f} s CPU")
    return written


def fit_measured_magnetite(s, amplitude=10.4):
    """The sine-drive magnetite spectrum: two sextets, v = amplitude * cos over 1024
    channels (a sine with zero channel near -N/4), the phase fitted."""
    s = s.with_axis(SineAxis(s.n, amplitude, -s.n / 4, channels_per_radian=s.n / (2 * math.pi)))
    comps = [Component("sextgen_sl", prefix=p) for p in ("a_", "b_")]
    model = Transmission(*comps, baseline=Baseline(2, per_sweep=True))
    params = model.make_params(s)
    for c, span, shift in zip(comps, (16.0, 15.0), (0.16, 0.57)):
        c.pair_lines(params)
        params[c.prefix + "field_T"].set(value=field_for_span(c, s.axis, span))
        params[c.prefix + "centre_shift"].set(value=shift)
    params["axis_zero"].set(vary=True)
    model.guess(s, params)
    return fit(s, model, params)


if __name__ == "__main__":
    run(sys.argv[1] if len(sys.argv) > 1 else "out")
