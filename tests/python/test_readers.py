"""Spectrum files in the forms laboratories keep, folding, and calibration of any foil,
checked against what was written and against the drives the foils were made on."""

import math
import os
import subprocess
import sys

import numpy as np
import pytest

import mosslib
from mosslib import (Baseline, Component, LinearAxis, SineAxis, Spectrum, Transmission,
                     TriangularAxis, fit)
from mosslib.cli import main
from mosslib.readers import FORMS, write_spectrum

TRI = TriangularAxis(512, 0.0845, 129.4, 256.3)


def foil(axis, seed=1, counts=2e5, model="sextgen", width=0.25):
    """Poisson counts of an alpha-iron foil (outer-line span 10.657 mm/s) on `axis`."""
    comp = Component(model, prefix="fe_")
    tm = Transmission(comp, baseline=Baseline(0, per_sweep=axis.n_sweeps > 1))
    s = Spectrum(np.ones(axis.n), axis=axis)
    v = tm.make_params(s).valuesdict()
    v.update({n: counts for n in v if n.startswith("base_")})
    v.update({"fe_centre_shift": 0.0, "fe_quadrupole_shift": 0.0, "fe_area": 1.0,
              "fe_field_T": 33.0 * 10.657 / 10.758})  # the sextets give 0.326 mm/s per T
    for k, i in zip(range(1, 7), (3, 2, 1, 1, 2, 3)):
        v[f"fe_intensity{k}"], v[f"fe_width{k}"] = i, width
    y = tm.eval(v, s)
    return Spectrum(np.random.default_rng(seed).poisson(y).astype(float), name="foil")


# ---- files ------------------------------------------------------------------------------

@pytest.mark.parametrize("form", FORMS)
def test_every_form_reads_back_the_counts_axis_and_header_it_was_written_with(tmp_path, form):
    rng = np.random.default_rng(3)
    s = Spectrum(rng.poisson(5e4, 509).astype(float), axis=TriangularAxis(509, 0.05, 128.3, 254.2),
                 meta={"metadata": {"temperature": "4.2 K", "sample": "x"}}).excluding([(0, 1), 508])
    for k, kw in enumerate(({}, {"crlf": True, "bom": True}, {"compress": True})):
        p = tmp_path / f"{form}{k}.txt"
        write_spectrum(s, p, form=form, **kw)
        r = mosslib.read_spectrum(p)
        assert np.array_equal(r.mask, s.mask) and np.array_equal(r.counts[r.mask], s.counts[s.mask])
        assert r.metadata["temperature_K"] == 4.2 and r.metadata["sample"] == "x"
        if "velocity" in form or form in ("csv", "tsv"):
            assert r.axis.kind == "triangular"
            assert np.allclose(r.axis.velocities(), s.axis.velocities(), rtol=0, atol=1e-12)
        if form == "channel1":
            assert "numbered from 1" in r.form


def test_headers_numbering_and_column_order_are_detected_or_told(tmp_path):
    body = "".join(f"{v:.4f} {c}\n" for v, c in zip(np.linspace(-5, 5, 64), range(1000, 1064)))
    p = tmp_path / "a.txt"
    p.write_text("Sample run 12 of the Fe3O4 series\ntemperature = 80 K\nlive time: 2 h\n" + body)
    s = mosslib.read_spectrum(p)
    assert s.axis.kind == "linear" and s.counts[0] == 1000 and s.axis.velocities()[0] == pytest.approx(-5, abs=1e-4)
    assert s.metadata["temperature_K"] == 80 and s.metadata["live_time_s"] == 7200
    # the same numbers told to be counts and velocity: 64 counts, no axis check possible
    with pytest.raises(ValueError, match="negative"):
        mosslib.read_spectrum(p, columns="counts,velocity")
    # named columns, one of them not a spectrum's (left out), under a line of free text
    e = tmp_path / "e.csv"
    e.write_text("Counts versus velocity\nvelocity (mm/s),counts,error\n"
                 + body.replace(" ", ",").replace("\n", ",31.6\n"))
    r = mosslib.read_spectrum(e)
    assert "named" in r.form and r.counts[0] == 1000 and r.n == 64
    # channels from 1 or 0: detected, or told
    q = tmp_path / "b.txt"
    q.write_text("".join(f"{k} {500 + k}\n" for k in range(1, 101)))
    assert mosslib.read_spectrum(q).counts[0] == 501
    told = mosslib.read_spectrum(q, channel_base=0)
    assert told.n == 101 and not told.mask[0]


@pytest.mark.parametrize("text, says", [
    ("0 1\n1 1\n2 1\n3 inf\n", "not finite"), ("7\n8\n1e309\n", "not finite"),
    ("5\n6\n# exclude: 0-100000000000\n", "outside 0..1"), ("1.5 2.5\n2.5 1.5\n3.5 0.5\n", "neither"),
    ("5\n6\n1e16\n", "more than a detector"), ("a b\n", "no data"),
    ("0\n0\n0\n", "every usable count is zero")])
def test_files_that_cannot_be_spectra_are_refused_in_one_line(tmp_path, text, says):
    p = tmp_path / "bad.txt"
    p.write_text(text)
    with pytest.raises(ValueError, match=says) as e:
        mosslib.read_spectrum(p)
    assert "\n" not in str(e.value)


def test_a_fifo_a_directory_and_an_oversized_file_are_refused_without_reading(tmp_path, monkeypatch):
    os.mkfifo(tmp_path / "fifo")
    for p, says in ((tmp_path / "fifo", "FIFO"), (tmp_path, "directory")):
        with pytest.raises(ValueError, match=says):
            mosslib.read_spectrum(p)
    import mosslib.readers as r
    monkeypatch.setattr(r, "MAX_BYTES", 1000)
    (tmp_path / "big.txt").write_text("100\n" * 400)
    with pytest.raises(ValueError, match="at most 1000"):
        mosslib.read_spectrum(tmp_path / "big.txt")


def test_measured_files_in_every_form_give_the_same_calibration_and_fit(spectra, tmp_path):
    f = mosslib.read_spectrum(os.path.join(spectra, "phys359_alphaFe_ironfoil0207.txt"),
                              exclude=[511])
    ref = mosslib.calibrate(f)
    m = mosslib.read_spectrum(os.path.join(spectra, "fopra17_magnetite.txt"))
    for form in ("counts", "channel1", "dump", "dump-channel"):
        for kw in ({}, {"crlf": True, "bom": True, "compress": True}):
            p = tmp_path / f"f_{form}.txt"
            write_spectrum(f, p, form=form, **kw)
            g = mosslib.read_spectrum(p)
            cal = mosslib.calibrate(g)
            assert (cal.step, cal.zero, cal.mirror, cal.redchi) == (ref.step, ref.zero, ref.mirror,
                                                                    ref.redchi)
            write_spectrum(m, p, form=form, **kw)
            g = mosslib.read_spectrum(p)
            assert np.array_equal(g.counts, m.counts) and np.array_equal(g.mask, m.mask)
    # a velocity column: the calibrated axis comes back to 1e-12 mm/s, the fit to 1e-9
    write_spectrum(ref.apply(f), tmp_path / "v.csv", form="csv")
    g = mosslib.read_spectrum(tmp_path / "v.csv")
    assert np.allclose(g.axis.velocities(), ref.axis().velocities(), rtol=0, atol=1e-12)
    again = mosslib.calibrate(g)
    assert again.step == pytest.approx(ref.step, rel=1e-6)


# ---- folding ---------------------------------------------------------------------------

def test_folding_points_of_the_measured_spectra_match_their_documented_ones(spectra):
    # the foil's from its twelve documented line centres; J0's and magnetite's from the
    # line positions of both halves (the sine: +10.4 cos(2 pi (i - 0.10) / 1024))
    for name, doc in (("phys359_alphaFe_ironfoil0207.txt", 256.23), ("pymossfit_J0.txt", 511.74),
                      ("fopra17_magnetite.txt", 512.10)):
        s = mosslib.read_spectrum(os.path.join(spectra, name), exclude=[511] if "Fe_" in name else [])
        m, err, _ = mosslib.find_mirror(s)
        assert abs(m - doc) < 0.1 and err < 0.06, name


def test_folding_finds_its_point_and_keeps_the_widths_at_a_fractional_point():
    s = foil(TRI, counts=1e6)
    m, err, _ = mosslib.find_mirror(s)
    assert abs(m - TRI.mirror) < 4 * err and err < 0.05
    # nearly noiseless, 3.6 channels per width, the worst fraction (2M = n + 1/2): the
    # widths within 0.5 % of the truth (a linear interpolation widens them by 3 %)
    axis = TriangularAxis(512, 0.07, 128.1, 256.25)
    f = foil(axis, counts=1e9).with_axis(axis).fold()
    comp = Component("sextgen", prefix="fe_")
    tm = Transmission(comp, baseline=Baseline(0))
    p = tm.make_params(f)
    comp.pair_lines(p)
    p["fe_field_T"].set(value=33.0 * 10.657 / 10.758, vary=False)
    p["fe_centre_shift"].set(value=0.0)
    p["fe_quadrupole_shift"].set(value=0.0)
    for k in range(1, 7):
        p[f"fe_width{k}"].set(value=0.25)
    tm.guess(f, p)
    r = fit(f, tm, p, weights="model")
    for k in (1, 2, 3):
        assert r.values[f"fe_width{k}"] == pytest.approx(0.25, rel=0.005)


# ---- calibration -----------------------------------------------------------------------

@pytest.mark.parametrize("case", ["single 7 mm/s", "two sweeps", "folded", "velocity column",
                                  "narrow window", "sine"])
def test_calibration_of_any_foil_within_a_thousandth_of_the_true_scale(case, tmp_path):
    kw = {}
    if case == "single 7 mm/s":
        axis = LinearAxis(512, 14.0 / 512, 255.5)
        s = foil(axis)
    elif case == "two sweeps":
        axis = TRI
        s = foil(axis)
    elif case == "narrow window":  # lines 1 and 6 outside: calibrated on lines 2-5
        axis = TriangularAxis(512, 4.6 / 128, 127.6, 255.7)
        s = foil(axis)
    elif case == "folded":
        axis = LinearAxis(256, 0.0845, 129.4)
        s = foil(TRI, counts=1e5).with_axis(TRI).fold().with_axis(None)
    elif case == "velocity column":
        axis = LinearAxis(256, -0.05, 128.3)
        nominal = LinearAxis(256, -0.052, 128.3)   # a drive 4 % off its nominal scale
        write_spectrum(foil(axis).with_axis(nominal), tmp_path / "v.txt", form="velocity")
        s = mosslib.read_spectrum(tmp_path / "v.txt")
    else:
        axis = SineAxis(1024, 10.0, 256.3 - 512, channels_per_radian=1024 / (2 * math.pi))
        s = foil(axis, model="sextgen_sl")
        kw = {"drive": "sine"}
    cal = mosslib.calibrate(s, **kw)
    assert cal.doubtful is None
    if case == "sine":
        assert cal.amplitude == pytest.approx(axis.amplitude, rel=1e-3)
    else:
        assert abs(cal.step) == pytest.approx(abs(axis.step), rel=1e-3)
        assert (cal.mirror is not None) == (axis.kind == "triangular")
    if case == "narrow window":
        assert cal.lines == (2, 3, 4, 5)


def test_the_declared_direction_and_the_calibration_errors_reach_the_sample():
    s = foil(TRI)
    up, down = mosslib.calibrate(s), mosslib.calibrate(s, velocity_decreasing=True)
    assert down.step == pytest.approx(-up.step, rel=1e-6) and "falling" in down.report()
    # a single line at +1 mm/s on the calibrated axis: the zero channel's error alone moves
    # a centre shift by |step| * zero_err (v = (i - zero) * step)
    axis = up.axis()
    d = Component("doubl", prefix="d_")
    tm = Transmission(d, baseline=Baseline(0, per_sweep=True))
    truth = tm.make_params(Spectrum(np.ones(512), axis=axis))
    truth["d_centre_shift"].set(value=1.0)
    truth["d_quadrupole_splitting"].set(value=0.0, vary=False)
    truth["d_area"].set(value=0.1)
    y = np.random.default_rng(5).poisson(tm.eval(truth, Spectrum(np.ones(512), axis=axis)) * 1e6)
    sample = Spectrum(y.astype(float))
    up.names, up.covariance = ("step", "zero", "mirror"), [[0, 0, 0], [0, 0.01, 0], [0, 0, 0]]
    p = truth.copy()
    p["base_s0_c0"].set(value=1e6)
    p["base_s1_c0"].set(value=1e6)
    r = fit(up.apply(sample), tm, p)
    added = r.calibration["added"]["d_centre_shift"]
    assert added == pytest.approx(abs(up.step) * 0.1, rel=1e-3)
    fit_only = r.calibration["fit_stderr"]["d_centre_shift"]
    assert r.stderr["d_centre_shift"] == pytest.approx(math.hypot(fit_only, added), rel=1e-12)


# ---- the command line ----------------------------------------------------------------

def test_command_line_refusals_are_one_line_and_doubtful_calibrations_unwritten(tmp_path, capsys):
    f = tmp_path / "foil.txt"
    write_spectrum(foil(TRI), f, form="channel1")
    s = str(f)
    fit_args = [s, "--axis", "linear:step=0.05,zero=256", "--component", "sextgen:a"]
    cases = [
        (["calibrte"], 2, "did you mean calibrate"),
        ([s, "--axis", "linear:step=0.05,zero=256", "--component", "sextgn:a"], 2, "did you mean sextgen"),
        (fit_args + ["--set", "a_feild_T=3"], 2, "did you mean a_field_T"),
        (fit_args + ["--tie", "a_width2=a_widht1"], 2, "did you mean a_width1"),
        (fit_args + ["--tie", "a_width2=[x for x in range(10**12)][0]"], 2, "a constraint is arithmetic"),
        (fit_args + ["--mcmc", "20"], 2, "too few"),
        (fit_args + ["--exclude", "0-100000000000"], 2, "outside 0..511"),
        (fit_args + ["--exclude", "0-500"], 2, "too short"),
        ([s, "--axis", "linear:step=0,zero=3", "--component", "sextgen"], 2, "non-zero"),
        (["calibrate", s, "--json", str(tmp_path / "c.json")], 0, ""),
        (["calibrate", s, "--sweeps", "1", "--json", str(tmp_path / "bad.json")], 1, "not written"),
    ]
    for argv, status, says in cases:
        assert main(argv) == status, argv
        out, err = capsys.readouterr()
        assert says in err and err.count("\n") <= 1, (argv, err)
        assert status != 0 or "numbered from 1" in out
    assert not (tmp_path / "bad.json").exists()
    unknown = mosslib.Calibration(n=9, step=0.1, step_err=None, zero=4.0, zero_err=None)
    assert "not estimated" in unknown.report() and "could not be estimated" in unknown.doubtful
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    out = subprocess.run([sys.executable, "-m", "mosslib", "--help"], capture_output=True,
                         text=True, env=env).stdout
    assert all(c in out for c in ("fit", "calibrate", "fold", "batch")) and \
        main(["--version"]) == 0


def test_ctrl_c_ends_mossfit_in_one_line(monkeypatch, capsys):
    from mosslib.cli import fit as fit_cli

    def interrupted(args):
        raise KeyboardInterrupt
    monkeypatch.setattr(fit_cli, "run", interrupted)
    assert main(["x.txt", "--component", "sextgen"]) == 130
    assert capsys.readouterr().err == "mossfit: interrupted\n"
