"""The quoted quantities against spectra built from line positions, and the named
parameters' line positions against their documented meaning, model by model."""

import json
import math

import numpy as np
import pytest

from mosslib import (Baseline, Component, LinearAxis, SineAxis, Spectrum, Transmission, fit)
from mosslib.conventions import two_epsilon

# Nuclear g-factors of 57Fe (ground I = 1/2, excited I = 3/2), in nuclear magnetons per
# unit spin: line m_g -> m_e lies at (g0 m_g - g1 m_e) mu_N B, lines 1..6 as usual.
G0, G1 = 0.18121, -0.10355
TRANSITIONS = [(+0.5, +1.5), (+0.5, +0.5), (+0.5, -0.5), (-0.5, +0.5), (-0.5, -0.5), (-0.5, -1.5)]


def positions(field_alpha, cs, two_eps):
    """Line velocities of a sextet: Zeeman pattern scaled so that alpha-iron (33.0 T)
    spans 10.657 mm/s, the quadrupole shift eps = 2eps/2 added to lines 1 and 6 and
    taken from lines 2-5."""
    raw = np.array([-(G0 * mg - G1 * me) for mg, me in TRANSITIONS])
    raw *= (10.657 / 33.0) * field_alpha / (raw[-1] - raw[0])
    eps = two_eps / 2
    return cs + raw + eps * np.array([1, -1, -1, -1, -1, 1])


def test_hematite_from_its_line_positions_gives_its_two_epsilon_and_field():
    axis = LinearAxis(512, 0.04, 255.5)
    v = axis.velocities()
    lines = positions(51.7, 0.37, -0.20)
    gamma, depth = 0.30, 0.06
    absorb = sum(depth * i / 3 / (1 + (2 * (v - x) / gamma) ** 2)
                 for x, i in zip(lines, (3, 2, 1, 1, 2, 3)))
    s = Spectrum(1e6 * (1 - absorb), axis=axis)
    c = Component("sextgen", prefix="h_")
    tm = Transmission(c, baseline=Baseline(0))
    p = tm.make_params(s)
    c.pair_lines(p)
    for name, value in (("field_T", 51.0), ("centre_shift", 0.3), ("quadrupole_shift", 0.0)):
        p["h_" + name].set(value=value)
    for k in range(1, 7):
        p[f"h_width{k}"].set(value=0.3)
    tm.guess(s, p)
    r = fit(s, tm, p, weights="model")
    q = r.derived["h_"]
    assert q["two_epsilon"]["value"] == pytest.approx(-0.200, abs=0.002)
    assert q["field_alpha_iron"]["value"] == pytest.approx(51.70, abs=0.02)
    assert r.values["h_centre_shift"] == pytest.approx(0.37, abs=0.002)
    assert r.values["h_quadrupole_shift"] == pytest.approx(0.10, abs=0.001)  # the model's own sign
    text = r.report()
    assert text.index("field (alpha-iron scale)") < text.index("field (model's scale)")
    assert "Centre shifts relative to" in text and "2 epsilon" in text


def centres(model, axis, **named):
    c = Component(model, prefix="x_")
    v = c.make_params().valuesdict()
    v.update({"x_" + k: val for k, val in named.items()})
    for k in range(1, 7):
        v[f"x_width{k}"] = 0.2
    return np.array(c.line_centres(v, axis))


LIN = LinearAxis(2048, 0.01, 1024.3)
SINE_SL = SineAxis(2048, 11.0, -512.2, channels_per_radian=2048 / (2 * math.pi))


@pytest.mark.parametrize("model, axis", [("sext", LIN), ("sextgen", LIN), ("sextgen_sl", SINE_SL)])
def test_a_named_quadrupole_shift_moves_the_lines_by_exactly_its_documented_amount(model, axis):
    base = dict(field_T=33.0, centre_shift=0.2, quadrupole_shift=0.0)
    q = 0.137
    moved = centres(model, axis, **dict(base, quadrupole_shift=q)) - centres(model, axis, **base)
    assert np.allclose(moved, q * np.array([-1, 1, 1, 1, 1, -1]), rtol=0, atol=1e-9)
    assert two_epsilon(centres(model, axis, **dict(base, quadrupole_shift=q))) == \
        pytest.approx(-2 * q, abs=1e-9)


# The documented line constants (mm/s per T): sext's inner lines differ from the
# general sextets' (a property of the models, kept).
C_SEXT = np.array([-0.163, -0.0934, -0.0255, 0.0255, 0.0934, 0.163])
C_GEN = np.array([-0.163, -0.09438142, -0.02576284, 0.02576284, 0.09438142, 0.163])
S_Q = np.array([-1, 1, 1, 1, 1, -1])


def test_models_given_the_same_named_parameters_put_the_same_lines_at_the_same_velocities():
    named = dict(field_T=41.3, centre_shift=-0.31, quadrupole_shift=0.07)
    for model, axis, c in (("sext", LIN, C_SEXT), ("sextgen", LIN, C_GEN),
                           ("sextgen_sl", SINE_SL, C_GEN)):
        expect = 41.3 * c + 0.07 * S_Q - 0.31
        assert np.allclose(centres(model, axis, **named), expect, rtol=0, atol=1e-9), model
    # the doublet: its two lines at centre_shift -+ quadrupole_splitting / 2
    d = Component("doubl", prefix="d_")
    dv = d.make_params().valuesdict()
    dv.update({"d_centre_shift": 0.45, "d_quadrupole_splitting": 0.8})
    ax = LinearAxis(256, 0.02, 100.4)
    y = d.absorption(dv, ax)
    peaks = ax.velocities()[np.argsort(y)[-2:]]
    assert sorted(peaks) == pytest.approx([0.05, 0.85], abs=0.011)


def test_every_parameter_has_a_unit_and_relative_areas_add_up():
    axis = LinearAxis(256, 0.06, 128.0)
    a, b = Component("sextgen", prefix="a_"), Component("doubl", prefix="d_")
    tm = Transmission(a, b, baseline=Baseline(2))
    s0 = Spectrum(np.ones(256), axis=axis)
    truth = tm.make_params(s0)
    a.pair_lines(truth)
    truth["a_area"].set(value=0.1)
    truth["d_area"].set(value=0.05)
    truth["base_c0"].set(value=1e5)
    y = np.random.default_rng(2).poisson(tm.eval(truth, s0)).astype(float)
    r = fit(Spectrum(y, axis=axis), tm, truth.copy())
    d = json.loads(r.to_json())
    assert all(p["unit"] for p in d["params"].values())
    assert d["params"]["axis_step"]["unit"] == "mm/s/channel"
    assert d["params"]["base_c2"]["unit"] == "counts/(mm/s)^2"
    fa, fd = (r.derived[p]["relative_area"] for p in ("a_", "d_"))
    assert fa["value"] + fd["value"] == pytest.approx(1.0, abs=1e-12)
    # two fractions of a whole: equal errors
    assert fa["stderr"] == pytest.approx(fd["stderr"], rel=1e-9) and fa["stderr"] > 0
