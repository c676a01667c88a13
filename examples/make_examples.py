"""Regenerate the example spectra of this directory (synthetic, made by the library).

    MOSSLIB_LIBRARY=build/src/libmosslib.so PYTHONPATH=python python3 examples/make_examples.py

Two spectra, each in every file form mosslib reads, with their truth beside them
(truth.json):

  foil_*     an alpha-iron foil on a two-sweep constant-acceleration drive, 512 channels
             (outer-line span 10.657 mm/s, the alpha-iron convention)
  hematite_* a hematite-like sextet, folded, on the foil's velocity axis: field 51.7 T on
             the alpha-iron scale, 2 epsilon -0.20 mm/s, centre shift 0.37 mm/s relative
             to alpha-iron

Poisson counts from a fixed seed, so the files are the same on every run.
"""

import json
import os

import numpy as np

from mosslib import Baseline, Component, LinearAxis, Spectrum, Transmission, TriangularAxis
from mosslib.conventions import ALPHA_IRON_FIELD_T, ALPHA_IRON_OUTER_SPAN
from mosslib.readers import write_spectrum, write_text

HERE = os.path.dirname(os.path.abspath(__file__))
DRIVE = TriangularAxis(512, 0.0845, 129.4, 256.3)


def sextet(axis, field_alpha_T, cs, two_eps, counts, depth, seed, width=0.27):
    comp = Component("sextgen", prefix="s_")
    tm = Transmission(comp, baseline=Baseline(0, per_sweep=axis.n_sweeps > 1))
    s = Spectrum(np.ones(axis.n), axis=axis)
    p = tm.make_params(s)
    comp.pair_lines(p)
    v = p.valuesdict()
    v.update({"s_centre_shift": cs, "s_quadrupole_shift": -two_eps / 2, "s_field_T": 33.0,
              "s_area": 1.0})
    for k, i in zip(range(1, 7), (3, 2, 1, 1, 2, 3)):
        v[f"s_intensity{k}"] = i
        v[f"s_width{k}"] = width
    wide = LinearAxis(4096, 0.01, 2048)
    c = comp.line_centres(v, wide)
    v["s_field_T"] = 33.0 * field_alpha_T * ALPHA_IRON_OUTER_SPAN / ALPHA_IRON_FIELD_T / (c[-1] - c[0])
    for name in [n for n in v if n.startswith("base_")]:
        v[name] = counts
    a = comp.absorption(v, axis)
    v["s_area"] = depth / a.max()
    y = tm.eval(v, s)
    return np.random.default_rng(seed).poisson(y).astype(float), v


def main():
    truth = {}
    y, v = sextet(DRIVE, ALPHA_IRON_FIELD_T, 0.0, 0.0, 2.0e5, 0.25, 1)
    foil = Spectrum(y, axis=DRIVE, meta={"metadata": {"sample": "alpha-iron foil (synthetic)",
                                                       "temperature": "295 K"}})
    truth["foil"] = {"axis": DRIVE.to_dict(), "model_params": v}
    sample_axis = LinearAxis(256, DRIVE.step, DRIVE.zero)
    y, v = sextet(sample_axis, 51.7, 0.37, -0.20, 4.0e5, 0.18, 2, width=0.30)
    hem = Spectrum(y, axis=sample_axis, meta={"metadata": {"sample": "hematite (synthetic)",
                                                           "temperature": "295 K",
                                                           "live time": "86400 s"}})
    truth["hematite"] = {"axis": sample_axis.to_dict(), "field_alpha_iron_T": 51.7,
                         "two_epsilon_mm_s": -0.20, "centre_shift_mm_s": 0.37,
                         "fwhm_mm_s": 0.30, "model_params": v}
    forms = {"counts.txt": ("counts", {}), "channel0.txt": ("channel", {}),
             "channel1.txt": ("channel1", {}), "dump.txt": ("dump", {}),
             "dump_channel.txt": ("dump-channel", {}),
             "crlf_bom.txt": ("channel", {"crlf": True, "bom": True}),
             "channel.txt.gz": ("channel", {"compress": True})}
    for name, (form, kw) in forms.items():
        write_spectrum(foil, os.path.join(HERE, "foil_" + name), form=form, **kw)
    for name, form in {"velocity.txt": "velocity", "counts_velocity.txt": "counts-velocity",
                       "named.csv": "csv", "named.tsv": "tsv", "channel0.txt": "channel"}.items():
        write_spectrum(hem, os.path.join(HERE, "hematite_" + name), form=form)
    write_text(os.path.join(HERE, "truth.json"), json.dumps(truth, indent=1) + "\n")


if __name__ == "__main__":
    main()
