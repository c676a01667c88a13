"""Fits of synthetic Poisson spectra recover their true parameters."""

import json
import pickle

import numpy as np
import pytest

import mosslib
from mosslib import Baseline, Component, Spectrum, Transmission, TriangularAxis, fit

AXIS = TriangularAxis(512, 0.0845, 129.4, 256.3)


def sample(rng, counts, setup):
    """A Poisson spectrum of the model `setup` builds, with its true parameters."""
    comps = [Component("sextgen", prefix="a_"), Component("doubl", prefix="d_")]
    model = Transmission(*comps, baseline=Baseline(1, per_sweep=True))
    clean = Spectrum(np.ones(AXIS.n), axis=AXIS)
    truth = model.make_params(clean)
    comps[0].pair_lines(truth)
    for name, value in {"a_area": 0.1, "d_area": 0.05, **setup}.items():
        truth[name].set(value=value)
    for s in (0, 1):
        truth[f"base_s{s}_c0"].set(value=counts)
        truth[f"base_s{s}_c1"].set(value=counts * 1e-3 * (s - 0.5))
    y = np.random.default_rng(rng).poisson(model.eval(truth, clean)).astype(float)
    return Spectrum(y, axis=AXIS, name="synthetic"), model, truth


TRUE = {"a_field_T": 48.7, "a_centre_shift": 0.31, "a_quadrupole_shift": -0.04, "a_area": 0.12,
        "a_width1": 0.33, "a_width2": 0.30, "a_width3": 0.28, "a_intensity2": 2.1,
        "d_centre_shift": 0.42, "d_quadrupole_splitting": 0.9, "d_width": 0.35, "d_area": 0.05}


LOW = {"a_field_T": 48.7, "a_centre_shift": 0.31, "a_quadrupole_shift": -0.04, "a_area": 0.3,
       "a_width1": 0.33, "d_area": 0.0}


@pytest.mark.parametrize("weights, counts, true, seed", [
    ("data", 2e5, TRUE, 1), ("model", 2e5, TRUE, 2), ("deviance", 1000, LOW, 3)])
def test_synthetic_parameters_come_back_within_three_standard_errors(weights, counts, true, seed):
    s, model, truth = sample(seed, counts, true)
    start = truth.copy()
    if true is LOW:  # one sextet of one width at low counts
        for name, p in start.items():
            if name.startswith("d_") or name in ("a_intensity2", "a_intensity3"):
                p.set(vary=False)
        for k in (2, 3):
            start[f"a_width{k}"].set(expr="a_width1")
    free = [n for n in true if start[n].vary]
    for name in free:
        start[name].set(value=true[name] * 1.01 + 0.005)
    r = fit(s, model, start, weights=weights)
    assert r.success and 0.8 < r.redchi < 1.2
    for name in free:
        err = r.stderr[name]
        assert err and abs(r.values[name] - true[name]) < 3 * err, (name, r.values[name], err)
    # the field on the alpha-iron convention scales with the model's own field
    d = r.derived["a_"]["field_alpha_iron"]
    assert d["value"] / r.values["a_field_T"] == pytest.approx(0.326 * 33.0 / 10.657, rel=1e-6)


def test_calibration_recovers_the_drive_of_a_synthetic_foil():
    s, model, truth = sample(4, 5e5, {"a_centre_shift": 0.0, "a_quadrupole_shift": 0.0,
                                      "a_area": 0.25, "d_area": 0.0})
    per_tesla = 0.326  # outer lines of the model at +-0.163 mm/s per tesla
    truth["a_field_T"].set(value=10.657 / per_tesla)
    s = Spectrum(np.random.default_rng(4).poisson(model.eval(truth, s)).astype(float))
    cal = mosslib.calibrate(s)
    for name, err in (("step", cal.step_err), ("zero", cal.zero_err), ("mirror", cal.mirror_err)):
        assert abs(getattr(cal, name) - getattr(AXIS, name)) < 3 * err, name
    assert cal.apply(s).axis.step == cal.step


def test_degenerate_scale_and_field_are_refused_until_calibrated(rng):
    s, model, truth = sample(5, 1e5, {})
    p = truth.copy()
    p["axis_step"].set(vary=True)
    p["d_area"].set(vary=False)
    with pytest.raises(ValueError, match="degenerate"):
        fit(s, Transmission(model.components[0], baseline=model.baseline), p)
    p["axis_step"].set(vary=False)
    p["axis_zero"].set(vary=True)
    with pytest.raises(ValueError, match="zero channel"):
        fit(s, model, p)


def test_result_reports_pickles_and_converts_to_json():
    s, model, truth = sample(6, 1e5, TRUE)
    # a chain far too short for its autocorrelation time is refused, not summarised
    with pytest.raises(ValueError, match="MCMC: 60 steps are too few"):
        fit(s, model, truth, mcmc={"steps": 60, "burn": 10, "nwalkers": 40})
    r = fit(s, model, truth)
    d = json.loads(r.to_json())
    assert d["params"]["a_field_T"]["unit"] == "T" and d["nfev"] == r.nfev
    assert "a_field_alpha_iron" in r.report() and "Correlations" in r.report()
    again = pickle.loads(pickle.dumps(r))
    assert again.values == r.values and np.array_equal(again.best_fit, r.best_fit)


def test_lmfit_model_route_reaches_the_same_optimum():
    s, model, truth = sample(8, 1e5, TRUE)
    r = fit(s, model, truth)
    x = np.flatnonzero(s.mask)
    lm = model.lmfit_model(s).fit(s.counts[x], truth, x=x, weights=1 / np.sqrt(s.data_variance()[x]))
    assert lm.redchi == pytest.approx(r.redchi, rel=1e-6)
    assert lm.params["a_field_T"].value == pytest.approx(r.values["a_field_T"], rel=1e-6)
