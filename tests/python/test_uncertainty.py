"""Uncertainties checked against closed forms and against the scatter of replicas;
the compiled fit path against the interpreted one; simultaneous fits against
separate ones."""

import math
import subprocess
import sys

import numpy as np
import pytest

from mosslib import (Baseline, Component, LinearAxis, Spectrum, Transmission, TriangularAxis,
                     fit, fit_shared)
from mosslib.compiled import Problem
from mosslib.fitting import _residual_function
from mosslib.uncertainty import bootstrap, mcmc, profile

AXIS = LinearAxis(256, 0.05, 127.5)


def doublet_model(area=0.1):
    comp = Component("doubl", prefix="d_")
    model = Transmission(comp, baseline=Baseline(0))
    truth = model.make_params(Spectrum(np.ones(AXIS.n), axis=AXIS))
    for n, v in {"d_centre_shift": 0.4, "d_quadrupole_splitting": 0.9, "d_width": 0.3,
                 "d_area": area, "base_c0": 2.0e4}.items():
        truth[n].set(value=v)
    return model, truth


def flat_fit(seed=3, counts=500.0):
    """A flat spectrum fitted by its constant baseline alone (the doublet's area 0)."""
    model, truth = doublet_model(area=0.0)
    for n in truth:
        truth[n].set(vary=n == "base_c0")
    truth["base_c0"].set(value=counts * 1.1)
    d = np.random.default_rng(seed).poisson(counts, AXIS.n).astype(float)
    return fit(Spectrum(d, axis=AXIS), model, truth), d


def test_flat_spectrum_baseline_is_the_weighted_mean_with_its_closed_form_errors():
    r, d = flat_fit()
    # weights 1/d: the estimate is the harmonic mean, its variance 1 / sum(1/d),
    # scaled by chi2 / (N - 1)
    c = d.size / np.sum(1 / d)
    chi2 = np.sum((d - c) ** 2 / d)
    sigma = math.sqrt(chi2 / (d.size - 1) / np.sum(1 / d))
    assert r.values["base_c0"] == pytest.approx(c, rel=1e-9)
    assert r.stderr["base_c0"] == pytest.approx(sigma, rel=1e-6)
    # the model is linear in the baseline: the profile interval is exactly +-sigma
    p = profile(r)["params"]["base_c0"]
    assert p["valid"] and p["minus"] == pytest.approx(sigma, rel=1e-3) \
        and p["plus"] == pytest.approx(sigma, rel=1e-3)
    # MCMC: thousands of steps of one parameter; its spread is the same sigma
    m = mcmc(r, steps=1500, seed=5)
    assert m["params"]["base_c0"]["stderr"] == pytest.approx(sigma, rel=0.1)
    assert m["settings"]["burn"] == 375 and m["settings"]["thin"] >= 1
    assert "MCMC: 1500 steps x 20 walkers" in r.report()
    # a chain too short for its autocorrelation time is refused in one line
    for steps in (50, 99):
        with pytest.raises(ValueError, match="too few"):
            mcmc(r, steps=steps)
    # bootstrap: the same bits for any number of worker processes, and the spread of
    # Poisson replicas of the fitted constant
    one, two = bootstrap(r, 24, seed=9, workers=1), bootstrap(r, 24, seed=9, workers=2)
    assert one == two
    assert one["params"]["base_c0"]["stderr"] == pytest.approx(math.sqrt(c / d.size), rel=0.35)


def test_errors_match_the_scatter_when_the_variance_is_four_times_poisson():
    model, truth = doublet_model()
    clean = Spectrum(np.ones(AXIS.n), axis=AXIS)
    expected = model.eval(truth, clean)
    names = ["d_centre_shift", "d_quadrupole_splitting", "d_width", "d_area", "base_c0"]
    values, scaled, unscaled, redchi = [], [], [], []
    for seed in range(40):
        rng = np.random.default_rng(seed)
        d = np.round(expected + 2.0 * np.sqrt(expected) * rng.standard_normal(AXIS.n))
        s = Spectrum(d, axis=AXIS)
        r = fit(s, model, truth.copy())
        u = fit(s, model, truth.copy(), scale_covar=False)
        values.append([r.values[n] for n in names])
        scaled.append([r.stderr[n] for n in names])
        unscaled.append([u.stderr[n] for n in names])
        redchi.append(r.redchi)
    assert np.mean(redchi) == pytest.approx(4.0, rel=0.05)
    scatter = np.std(values, axis=0, ddof=1)
    # 40 seeds: the scatter itself is known to about 11 %
    assert np.all(np.abs(scatter / np.mean(scaled, axis=0) - 1) < 0.3)
    assert np.all(np.abs(scatter / np.mean(unscaled, axis=0) - 2) < 0.6)


def test_compiled_residual_is_the_interpreted_one_bit_for_bit():
    axis = TriangularAxis(512, 0.0845, 129.4, 256.3)
    comps = [Component("sextgen", prefix="a_"), Component("doubl", prefix="d_")]
    model = Transmission(*comps, baseline=Baseline(2, per_sweep=True))
    rng = np.random.default_rng(1)
    s = Spectrum(rng.poisson(1e5, 512).astype(float), axis=axis).excluding([0, 300, 511])
    params = model.make_params(s)
    comps[0].pair_lines(params)
    params["a_width2"].set(expr="0.9 * a_width1 + sqrt(0.0001)")
    params["d_width"].set(expr="a_width2 / 2", max=0.1)   # the bound applies after the tie
    params["axis_mirror"].set(vary=True)
    params["base_s1_c1"].set(value=3.0)
    for weights in ("data", "model", "deviance"):
        pr = Problem(model, s, params, weights)
        x = pr.x0 * (1 + 1e-3 * rng.standard_normal(pr.x0.size))
        p = params.copy()
        for n, v in zip(pr.free, x):
            p[n].set(value=v)
        assert np.array_equal(pr.residual(x), _residual_function(model, s, weights)(p))
    assert p["d_width"].value == 0.1


def two_doublet_spectra():
    model, truth = doublet_model()
    clean = Spectrum(np.ones(AXIS.n), axis=AXIS)
    out = []
    for seed, base in ((11, 2.0e4), (12, 6.0e4)):
        t = truth.copy()
        t["base_c0"].set(value=base)
        d = np.random.default_rng(seed).poisson(model.eval(t, clean)).astype(float)
        out.append(Spectrum(d, axis=AXIS, name=f"s{seed}"))
    return model, truth, out


def test_simultaneous_fit_against_separate_fits():
    model, truth, (s1, s2) = two_doublet_spectra()
    r1, r2 = fit(s1, model, truth.copy()), fit(s2, model, truth.copy())
    none = fit_shared([s1, s2], model, [], params=[truth.copy(), truth.copy()])
    for sep, joint in zip((r1, r2), none.results):
        for n in sep.values:
            assert abs(sep.values[n] - joint.values[n]) <= 1e-4 * (sep.stderr[n] or 1)
    j = fit_shared([s1, s2], model, ["d_width", "d_quadrupole_*"],
                   params=[truth.copy(), truth.copy()])
    assert j.shared == ["d_quadrupole_splitting", "d_width"]
    # a shared parameter: the inverse-variance combination of the separate estimates
    for n in j.shared:
        w = np.array([1 / r1.stderr[n] ** 2, 1 / r2.stderr[n] ** 2])
        mean = (w[0] * r1.values[n] + w[1] * r2.values[n]) / w.sum()
        assert j.stderr[n] == pytest.approx(w.sum() ** -0.5, rel=0.1)
        assert abs(j.values[n] - mean) < 0.3 * j.stderr[n]
        assert j.results[0].values[n] == j.results[1].values[n] == j.values[n]
    # each spectrum keeps its own baseline
    assert j.results[1].values["base_c0"] / j.results[0].values["base_c0"] == \
        pytest.approx(3.0, rel=0.01)
    with pytest.raises(ValueError, match="own baseline"):
        fit_shared([s1, s2], model, ["base_c0"])
    # a shared axis (one drive): the zero channel, free, pinned by both spectra together
    p1, p2 = truth.copy(), truth.copy()
    for p in (p1, p2):
        p["axis_zero"].set(vary=True)
        p["d_centre_shift"].set(vary=False)
    z = fit_shared([s1, s2], model, ["axis_zero"], params=[p1, p2])
    assert abs(z.values["axis_zero"] - AXIS.zero) < 3 * z.stderr["axis_zero"]
    assert z.results[0].axis.zero == z.results[1].axis.zero


def test_command_line_fits_files_together_and_refuses_in_one_line(tmp_path):
    model, truth, spectra = two_doublet_spectra()
    files = []
    for s in spectra:
        f = tmp_path / f"{s.name}.txt"
        np.savetxt(f, s.counts, fmt="%d")
        files.append(str(f))
    base = [sys.executable, "-m", "mosslib", "fit", *files, "--axis",
            "linear:step=0.05,zero=127.5", "--baseline", "0", "--component",
            "doubl:d,centre_shift=0.4,quadrupole_splitting=0.9,width=0.3"]
    run = subprocess.run(base + ["--share", "d_width", "--profile", "d_width"],
                         capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    assert "Simultaneous fit of 2 spectra, shared: d_width" in run.stdout
    assert "profile" in run.stdout
    for extra, why in ((["--mcmc", "50"], "too few"), (["--share", "nothing_like_it"], "no such")):
        bad = subprocess.run(base + extra, capture_output=True, text=True)
        assert bad.returncode == 2 and why in bad.stderr and len(bad.stderr.splitlines()) == 1


def test_compiled_fit_equals_lmfits_interpreted_fit_with_chained_ties():
    import lmfit
    axis = TriangularAxis(512, 0.0845, 129.4, 256.3)
    comps = [Component("sextgen", prefix="a_"), Component("sextgen", prefix="b_")]
    model = Transmission(*comps, baseline=Baseline(1, per_sweep=True))
    clean = Spectrum(np.ones(512), axis=axis)
    p = model.make_params(clean)
    for c in comps:
        c.pair_lines(p)
    for n, v in {"a_field_T": 48.0, "b_field_T": 45.0, "a_centre_shift": 0.3, "a_area": 0.05,
                 "b_area": 0.1, "base_s0_c0": 1e5, "base_s1_c0": 1e5}.items():
        p[n].set(value=v)
    # chained ties, in an order that is not the dependency order
    p["b_width1"].set(expr="a_width1 * 1.2")
    p["b_centre_shift"].set(expr="a_centre_shift + delta")
    p.add("delta", value=0.35, min=0.0, max=1.0)
    s = Spectrum(np.random.default_rng(4).poisson(model.eval(p, clean)).astype(float), axis=axis)
    start = p.copy()
    start["a_field_T"].set(value=47.8)
    ours = fit(s, model, start.copy())
    ref = lmfit.minimize(_residual_function(model, s, "data"), start.copy(), nan_policy="raise")
    assert ours.nfev == ref.nfev
    for n, q in ref.params.items():
        assert ours.values[n] == pytest.approx(q.value, rel=1e-10, abs=1e-12)
        if q.stderr:
            assert ours.stderr[n] == pytest.approx(q.stderr, rel=1e-6)
    with pytest.raises(ValueError, match="circle"):
        p["a_width1"].set(expr="b_width1 / 1.2")
        Problem(model, s, p)
