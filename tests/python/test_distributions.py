"""Hyperfine components: their lines against an independent Voigt profile (scipy), and
known distributions recovered from Poisson spectra of 1e6 counts per channel."""

import numpy as np
import pytest
from scipy.special import voigt_profile

import mosslib
from mosslib import ALPHA_IRON_FIELD_T, ALPHA_IRON_OUTER_SPAN, Component, LinearAxis, Spectrum, \
    Transmission, fit
from mosslib.distributions import DistributionComponent, HyperfineComponent

AXIS = LinearAxis(512, 0.05, 256.5)


def test_components_draw_the_lines_they_report():
    """Each model's spectrum is the sum of scipy's Voigt profiles of its absorber_lines;
    the site's pure magnetic sextet sits on the package's alpha-iron scale."""
    site = Component("mosslib_hamiltonian_site", prefix="s_")
    field = Component("mosslib_field_distribution", prefix="f_", components=3)
    split = Component("mosslib_splitting_distribution", prefix="q_", components=2)
    assert type(site) is HyperfineComponent and type(field) is DistributionComponent
    v = AXIS.velocities()
    for c, extra in ((site, {"gauss_fwhm": 0.13}), (field, {}), (split, {})):
        values = {p.name: p.example for p in c.info.params if p.name in c.param_names}
        values.update(extra)
        centres, areas, lorentz, gauss = c.absorber_lines(values)
        assert abs(areas.sum() - 1) < 1e-12
        want = sum(values["area"] * a * voigt_profile(v - x, g / 2.3548200450309493, w / 2)
                   for x, a, w, g in zip(centres, areas, lorentz, gauss))
        got = c.absorption(values, AXIS)
        assert np.max(np.abs(got - want)) < 1e-10 * np.max(want), c.model
    values = {p.name: p.example for p in site.info.params if p.name in site.param_names}
    values.update(field_T=ALPHA_IRON_FIELD_T, quadrupole_coupling=0.0)
    centres = site.line_centres(values, AXIS)
    assert len(centres) == 6
    assert abs(centres[-1] - centres[0] - ALPHA_IRON_OUTER_SPAN) < 1e-12
    with pytest.raises(ValueError, match="components"):
        Component("mosslib_field_distribution", components=5)


def _synthetic(model, truth_values, seed):
    clean = Spectrum(np.ones(AXIS.n), axis=AXIS)
    truth = model.make_params(clean)
    for k, v in truth_values.items():
        truth[k].set(value=v)
    y = np.random.default_rng(seed).poisson(model.eval(truth, clean)).astype(float)
    return Spectrum(y, axis=AXIS, name="synthetic")


def test_bimodal_field_distribution_is_recovered():
    """P(B): 30 T and 45 T, sd 2 and 4 T, 40/60 %: the Voigt-based fit and the
    free-form distribution find the means within 0.1 T and the weights within 0.03."""
    c = Component("mosslib_field_distribution", prefix="d_", components=2)
    m = Transmission(c)
    s = _synthetic(m, {"d_area": 0.5, "d_field1_T": 30, "d_field_sd1_T": 2, "d_weight1": 0.4,
                       "d_field2_T": 45, "d_field_sd2_T": 4, "d_weight2": 0.6, "base_c0": 1e6,
                       "d_centre_shift": 0.3, "d_centre_shift_per_T": 0.002,
                       "d_quadrupole_shift": -0.02, "d_quadrupole_shift_per_T": 0.0}, 3)
    p0 = m.make_params(s)
    for k, v in {"d_area": 0.4, "d_field1_T": 31.5, "d_field_sd1_T": 3, "d_weight2": 1.0,
                 "d_field2_T": 43.5, "d_field_sd2_T": 3, "base_c0": s.counts.max(),
                 "d_centre_shift": 0.25}.items():
        p0[k].set(value=v)
    r = fit(s, m, params=p0, guess=False)
    assert abs(r.values["d_field1_T"] - 30) < 0.1 and abs(r.values["d_field2_T"] - 45) < 0.1
    w1 = r.values["d_weight1"] / (r.values["d_weight1"] + r.values["d_weight2"])
    assert abs(w1 - 0.4) < 0.03
    rep = mosslib.voigt_distribution(r, "d_")
    assert [round(p) for p, _, _ in rep.modes] == [30, 45]
    assert abs(rep.mean - 39.0) < 0.1 and 0 < rep.mean_err < 0.1
    assert "distribution_mode2" in r.derived["d_"]

    free = mosslib.free_distribution(s, m, r.params, "d_", np.arange(15.0, 61.0, 1.0))
    assert abs(free.mean - 39.0) < 0.1
    low = free.density[free.grid < 37.5].sum() * 1.0
    assert abs(low - 0.4) < 0.03
    assert [round(p) for p, _, _ in free.modes] == [30, 45]
    lc = mosslib.free_distribution(s, m, r.params, "d_", np.arange(15.0, 61.0, 1.0), strength="lcurve")
    assert abs(lc.mean - 39.0) < 0.2 and np.all(lc.density >= 0)


def test_splitting_distribution_is_recovered():
    """P(QS): 0.6 and 1.1 mm/s, sd 0.1 and 0.2 mm/s, 50/50 %: means within 0.01 mm/s,
    weights within 0.03."""
    c = Component("mosslib_splitting_distribution", prefix="q_", components=2)
    m = Transmission(c)
    s = _synthetic(m, {"q_area": 0.3, "q_splitting1": 0.6, "q_splitting_sd1": 0.1, "q_weight1": 1.0,
                       "q_splitting2": 1.1, "q_splitting_sd2": 0.2, "q_weight2": 1.0, "base_c0": 1e6,
                       "q_centre_shift": 0.35, "q_centre_shift_per_QS": 0.04}, 5)
    p0 = m.make_params(s)
    for k, v in {"q_area": 0.25, "q_splitting1": 0.65, "q_splitting_sd1": 0.15, "q_weight2": 0.7,
                 "q_splitting2": 1.05, "q_splitting_sd2": 0.15, "base_c0": s.counts.max(),
                 "q_centre_shift": 0.3, "q_centre_shift_per_QS": 0.0}.items():
        p0[k].set(value=v)
    r = fit(s, m, params=p0, guess=False)
    assert abs(r.values["q_splitting1"] - 0.6) < 0.01 and abs(r.values["q_splitting2"] - 1.1) < 0.01
    w1 = r.values["q_weight1"] / (r.values["q_weight1"] + r.values["q_weight2"])
    assert abs(w1 - 0.5) < 0.03
