"""Fits a spectroscopist can trust: starts from the data, physical bounds, the global
stage and the verdict. The bank's breadth is in bench/bench_fit_bank.py; here a few of
its spectra, and cases whose verdict is known in advance."""

import importlib.util
import math
import os
import sys

import numpy as np
import pytest

import mosslib
from mosslib import Baseline, Component, LinearAxis, Spectrum, Transmission
from mosslib.cli import main
from mosslib.verdict import runs_test

HERE = os.path.dirname(os.path.abspath(__file__))
BENCH = os.path.join(HERE, "..", "..", "bench")
sys.path.insert(0, BENCH)  # the bank and the module it imports beside it
bank = importlib.import_module("bench_fit_bank")


def doublet_spectrum(rng, counts=2e5, n=256, vmax=4.0, qs=0.8, cs=0.4, width=0.3, area=0.2,
                     model="doubl", var_factor=1.0):
    axis = LinearAxis(n, 2 * vmax / (n - 1), (n - 1) / 2)
    m = Transmission(Component(model, prefix="d_"), baseline=Baseline(0))
    p = m.make_params(axis=axis)
    for k, v in (("centre_shift", cs), ("quadrupole_splitting", qs), ("width", width),
                 ("area", area)):
        p["d_" + k].set(value=v)
    p["base_c0"].set(value=counts)
    clean = m.eval(p, Spectrum(np.ones(n), axis=axis))
    noisy = clean + rng.standard_normal(n) * np.sqrt(var_factor * clean)
    return Spectrum(np.rint(noisy), axis=axis, name="doublet"), m, p


@pytest.mark.parametrize("k", [0, 2, 3, 7, 11])  # two sextets, close doublets, narrow lines, sextet+doublet
def test_bank_spectra_reach_the_true_minimum_from_defaults(k):
    kind, s, model, truth = bank.make_case(k)
    r = mosslib.fit(s, model)
    at_truth = mosslib.fit(s, model, truth.copy())
    reached, _, _ = bank.judge(r, at_truth, truth)  # the minimum a start at the truth finds
    assert reached, (kind, r.reasons)
    assert r.verdict in ("good", "suspect") and r.success
    assert r.report().splitlines()[0].startswith(f"verdict: {r.verdict}")


def test_same_input_same_bits_for_any_worker_count(rng):
    s, m, _ = doublet_spectrum(rng)
    a = mosslib.fit(s, m, starts=4)
    b = mosslib.fit(s, m, starts=4, workers=2)
    assert a.values == b.values and a.chisqr == b.chisqr and a.stage == b.stage


def test_starts_follow_the_dips_and_keep_user_values(rng):
    # doublet lines at cs -+ qs/2 are found from the dips, whatever the catalogue says
    s, m, truth = doublet_spectrum(rng, qs=2.1, cs=-0.7)
    from mosslib.starts import data_starts
    p = m.make_params(s)
    p["d_width"].set(value=0.41)
    starts, prof = data_starts(s, m, p, keep={"d_width"})
    assert [d.velocity for d in prof.dips] == pytest.approx([-1.75, 0.35], abs=0.02)
    best = starts[0]
    assert best["d_quadrupole_splitting"].value == pytest.approx(2.1, abs=0.1)
    assert best["d_centre_shift"].value == pytest.approx(-0.7, abs=0.05)
    assert best["d_area"].value == pytest.approx(0.2, rel=0.3)
    assert all(q["d_width"].value == 0.41 for q in starts)


def test_sextet_pattern_measured_on_the_model_is_the_documented_one():
    # the catalogue: outer lines at -+0.163 mm/s per T; a quadrupole shift q moves lines
    # 2-5 by +q and lines 1, 6 by -q
    from mosslib.starts import _PATTERNS, _sextet_pattern
    _PATTERNS.clear()
    u, dq = _sextet_pattern(Component("sextgen"), LinearAxis(512, 0.04, 255.5), 0.04)
    assert u[0] == pytest.approx(-0.163, abs=1e-4) and u[5] == pytest.approx(0.163, abs=1e-4)
    assert u == pytest.approx(-u[::-1], abs=1e-4)
    assert dq == pytest.approx([-1, 1, 1, 1, 1, -1], abs=1e-3)


def test_default_bounds_are_the_physical_domain():
    axis = LinearAxis(256, 0.05, 127.5)
    m = Transmission(Component("sextgen", prefix="s_"), Component("doubl", prefix="d_", emission=True))
    p = m.make_params(axis=axis)
    assert p["s_area"].min == 0 and p["s_field_T"].min == 0 and p["s_intensity2"].min == 0
    assert p["s_width1"].min == pytest.approx(0.025) and p["s_width1"].max == pytest.approx(0.05 * 255 / 2)
    assert p["s_centre_shift"].min == -math.inf and p["s_quadrupole_shift"].min == -math.inf
    assert p["d_area"].min == -math.inf and p["d_quadrupole_splitting"].min == 0


def test_verdicts_of_known_faults(rng):
    # good: the right model on Poisson data
    s, m, truth = doublet_spectrum(rng)
    good = mosslib.fit(s, m)
    assert good.verdict == "good" and good.reasons == [] and good.success
    # variance four times Poisson: chi-square above the band, with its p-value
    s4, _, _ = doublet_spectrum(rng, var_factor=4.0)
    r = mosslib.fit(s4, m)
    assert r.verdict == "suspect" and "above the Poisson band" in r.reasons[0] and "p = " in r.reasons[0]
    assert r.success and "Fit succeeded" not in r.report()
    # a tiny evaluation budget: not converged, failed, not successful
    r = mosslib.fit(s, m, max_nfev=3)
    assert r.verdict == "failed" and not r.success
    assert any("did not converge" in x for x in r.reasons)
    # a second doublet the data do not hold: its area at the bound 0 (or no error)
    m2 = Transmission(Component("doubl", prefix="d_"), Component("doubl", prefix="e_"),
                      baseline=Baseline(0))
    r = mosslib.fit(s, m2)
    assert r.verdict != "good" and r.chisqr <= good.chisqr + 1e-6
    # a sextet seen through a +-4 mm/s window: lines outside it
    s6, m6, _ = bank.make_case(5)[1:]
    cut = Spectrum(s6.counts, mask=np.abs(s6.axis.velocities()) < 4, axis=s6.axis)
    one = Transmission(Component("sextgen", prefix="a_"), baseline=Baseline(2))
    r = mosslib.fit(cut, one, starts=2)
    assert r.verdict != "good" and any("outside the velocity window" in x for x in r.reasons)
    # the wrong model: a doublet for two sextets; the model does not describe the data
    r = mosslib.fit(s6, Transmission(Component("doubl", prefix="d_"), baseline=Baseline(2)), starts=2)
    assert r.verdict == "failed" and not r.success
    assert any("structure in the residuals" in x for x in r.reasons)
    d = r.to_dict()
    assert d["verdict"] == "failed" and d["reasons"] == r.reasons


def test_good_fits_are_called_good_at_the_stated_rate(rng):
    # 60 Poisson replicas of a doublet fitted with the right model (one local fit each):
    # the band and the runs test at p = 0.001 each call about 0.2 % suspect
    s, m, truth = doublet_spectrum(rng, counts=1e4)
    verdicts = []
    for _ in range(60):
        y = rng.poisson(m.eval(truth, s)).astype(float)
        verdicts.append(mosslib.fit(Spectrum(y, axis=s.axis), m, truth.copy()).verdict)
    assert verdicts.count("good") >= 58


def test_runs_test_against_counted_runs():
    # 40 alternating signs: 40 runs, the most possible; 20 then 20: two runs
    alt = np.tile([1.0, -1.0], 20)
    assert runs_test(alt)[0] == 40 and runs_test(alt)[2] > 0.99
    runs, mu, p = runs_test(np.r_[np.ones(20), -np.ones(20)])
    assert runs == 2 and mu == 21 and p < 1e-8


@pytest.mark.parametrize("args, says", [
    (["--tie", "d_width=[x for x in range(10**12)][0]"], "not allowed"),
    (["--tie", "d_width=9**9**9"], "power"),
    (["--bound", "d_width=0.5:0.1"], "lower bound is above"),
    (["--set", "d_centre_shift=inf"], "finite"),
    (["--axis", "linear:step=0,zero=128"], "step 0"),
    (["--starts", "0"], "at least 1"),
    (["--emission", "zz"], "no component"),
])
def test_fit_command_refuses_in_one_line(tmp_path, rng, capsys, args, says):
    s, _, _ = doublet_spectrum(rng)
    f = tmp_path / "d.txt"
    np.savetxt(f, s.counts)
    base = [str(f), "--component", "doubl:d", "--axis", "linear:step=0.0314,zero=127.5"]
    if args[0] == "--axis":
        base = base[:-2]
    assert main(base + args) == 2
    err = capsys.readouterr().err.strip().splitlines()
    assert len(err) == 1 and says in err[0]


@pytest.mark.parametrize("counts, says", [(0.0, "count is zero"), (1.7e308, "more than a detector counts")])
def test_impossible_counts_are_refused(tmp_path, capsys, counts, says):
    f = tmp_path / "c.txt"
    np.savetxt(f, np.full(256, counts))
    assert main([str(f), "--component", "doubl", "--axis", "linear:step=0.03,zero=128"]) == 2
    assert says in capsys.readouterr().err


def test_python_refusals(rng):
    s, m, truth = doublet_spectrum(rng)
    with pytest.raises(ValueError, match="method"):
        mosslib.fit(s, m, truth, method="no_such_method")
    p = truth.copy()
    p["d_width"].set(min=0.5, max=0.1)
    with pytest.raises(ValueError, match="lower bound"):
        mosslib.fit(s, m, p)


def test_exit_status_follows_the_verdict(tmp_path, rng, capsys):
    s, _, _ = doublet_spectrum(rng)
    f = tmp_path / "d.txt"
    np.savetxt(f, s.counts)
    axis = ["--axis", "linear:step=0.0314,zero=127.5", "--baseline", "0"]
    assert main([str(f), "--component", "doubl:d"] + axis) == 0
    out = capsys.readouterr()
    assert out.out.startswith("verdict: good") and out.err == ""
    # a sextet for a doublet: the lines of the sextet fall outside the window
    assert main([str(f), "--component", "sextgen:s", "--starts", "2"] + axis) in (3, 4)
    assert "mossfit: warning: " in capsys.readouterr().err


def test_measured_magnetite_from_defaults_alone(spectra):
    from mosslib import SineAxis
    s = mosslib.read_spectrum(os.path.join(spectra, "fopra17_magnetite.txt"))
    s = s.with_axis(SineAxis(s.n, 10.4, -s.n / 4, channels_per_radian=s.n / (2 * math.pi)))
    model = Transmission(Component("sextgen_sl", prefix="a_"), Component("sextgen_sl", prefix="b_"),
                         baseline=Baseline(2, per_sweep=True))
    r = mosslib.fit(s, model)
    assert r.verdict == "good", r.reasons
    assert r.derived["a_"]["field_alpha_iron"]["value"] == pytest.approx(49.81, abs=0.2)
    assert r.derived["b_"]["field_alpha_iron"]["value"] == pytest.approx(46.66, abs=0.2)
    assert r.values["b_area"] / (r.values["a_area"] + r.values["b_area"]) == pytest.approx(0.655, abs=0.03)
    # the weaker alpha-iron run calibrates with a good verdict; the strong one (7e5
    # counts per channel) shows the Lorentzian line shape's limits and is suspect
    foil = mosslib.read_spectrum(os.path.join(spectra, "phys359_alphaFe_iron0224.txt"), exclude=[511])
    assert mosslib.calibrate(foil).result.verdict == "good"
