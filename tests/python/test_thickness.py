"""The thick absorber against numerics it does not share: adaptive quadrature of the
transmission integral, the closed-form area of one line, the library's thin models in
the thin limit, and fits of synthetic thick spectra."""

import math

import numpy as np
import pytest
from scipy import integrate
from scipy.special import i0e, i1e, voigt_profile

import mosslib
from mosslib import Baseline, Component, LinearAxis, Spectrum, Transmission, fit
from mosslib import thickness as th

SEXTET = np.array([[-5.31, 3, 0.25, 0.0], [-3.07, 2, 0.27, 0.0], [-0.84, 1, 0.25, 0.1],
                   [0.84, 1, 0.25, 0.0], [3.08, 2, 0.25, 0.0], [5.3, 3, 0.3, 0.2]])


def brute_force(lines, v, t_a, f_s, gs, ga):
    w = lines[:, 1] / lines[:, 1].sum()

    def sigma(e):
        return math.pi * ga / 2 * np.sum(w * voigt_profile(e - lines[:, 0], lines[:, 3] / 2.3548200450309493,
                                                           lines[:, 2] / 2))

    out = []
    for x in v:
        f = lambda e: gs / 2 / math.pi / ((e - x) ** 2 + gs ** 2 / 4) * -math.expm1(-t_a * sigma(e))  # noqa: E731
        edges = [-np.inf] + sorted(list(lines[:, 0]) + [x]) + [np.inf]
        out.append(1 - f_s * sum(integrate.quad(f, a, b, epsabs=1e-12, epsrel=1e-11, limit=400)[0]
                                 for a, b in zip(edges[:-1], edges[1:])))
    return np.array(out)


@pytest.mark.parametrize("t_a", [0.01, 1.0, 100.0])
def test_transmission_matches_adaptive_quadrature(t_a):
    v = np.array([-9.0, -5.3, -3.0, 0.0, 0.85, 5.33])
    got = th.transmission_lines(v, *SEXTET.T, t_a=t_a, f_s=0.7, source_width=0.11, absorber_width=0.25)
    assert np.max(np.abs(got - brute_force(SEXTET, v, t_a, 0.7, 0.11, 0.25))) < 1e-6


@pytest.mark.parametrize("t_a", [0.1, 3.0, 30.0, 100.0])
def test_single_line_area_is_the_closed_form(t_a):
    # 1 - T on +-60 mm/s, plus the far tails: f_s [t_a sigma(v) + A L_s(v)] (A the area)
    fs, ga, gs, r = 0.6, 0.21, 0.12, 60.0
    want = fs * math.pi * ga / 2 * t_a * (i0e(t_a / 2) + i1e(t_a / 2))
    v = np.linspace(-r, r, 96001)
    y = 1 - th.transmission_lines(v, [0.0], [1.0], [ga], t_a=t_a, f_s=fs, source_width=gs,
                                  absorber_width=ga)
    beyond = lambda g: 1 - 2 / math.pi * math.atan(r / g)  # noqa: E731
    got = integrate.simpson(y, x=v) + fs * t_a * math.pi * ga / 2 * beyond(ga / 2) + want * beyond(gs / 2)
    assert got == pytest.approx(want, rel=1e-6)
    assert th.thick_line_area(t_a, ga, fs) == pytest.approx(want, rel=1e-12)


def test_thin_limit_is_the_thin_model_convolved_with_the_source():
    # As t_a -> 0, 1 - T of a sextgen component is t_a f_s (pi Gamma_a / 2) times the
    # library's own thin sextgen whose widths are those of the lines plus the source's,
    # per unit area: the line positions the package reads from the models are theirs.
    ax = LinearAxis(256, 0.08, 128.3)
    c = Component("sextgen", prefix="s_")
    vals = {**{n: p.value for n, p in c.make_params().items()}, "s_field_T": 33.1,
            "s_centre_shift": 0.12, "s_quadrupole_shift": 0.05}
    t_a, gs = 1e-7, 0.11
    model = Transmission(c, thickness={"t_a": t_a, "source_width": gs, "absorber_width": 0.3})
    p = model.make_params(axis=ax)
    for n, x in vals.items():
        p[n].set(value=x)
    p["base_c0"].set(value=1.0)
    thick = (1 - model.eval(p, Spectrum(np.ones(ax.n), axis=ax))) / (t_a * 0.7 * math.pi * 0.3 / 2)
    wide = dict(vals, **{f"s_width{k}": vals[f"s_width{k}"] + gs for k in range(1, 7)}, s_area=1.0)
    thin = c.absorption(wide, ax) / (math.pi / 3.1416)
    assert np.max(np.abs(thick - thin)) < 1e-5 * np.max(thin)


@pytest.mark.parametrize("kind, t_a", [("doubl", 10.0), ("sext", 30.0)])
def test_fit_recovers_width_and_thickness(kind, t_a):
    ax = LinearAxis(512, 0.04, 256.5)
    c = Component(kind, prefix="a_")
    model = Transmission(c, baseline=Baseline(0), thickness={"t_a": t_a})
    p = model.make_params(axis=ax)
    if kind == "doubl":
        p["a_quadrupole_splitting"].set(value=0.0, vary=False)
    else:
        p["a_field_T"].set(value=33.0)
        c.pair_lines(p)
        p["a_intensity1"].set(vary=False)
    p["a_width"].set(value=0.24)
    p["base_c0"].set(value=1e7)
    clean = Spectrum(np.ones(ax.n), axis=ax)
    s = Spectrum(np.random.default_rng(3).poisson(model.eval(p, clean)).astype(float), axis=ax)
    start = p.copy()
    start["a_width"].set(value=0.3)
    start["thick_t_a"].set(value=t_a * 0.7)
    r = fit(s, model, start)
    assert r.success and 0.8 < r.redchi < 1.2
    assert abs(r.values["a_width"] - 0.24) < 0.002
    assert abs(r.values["thick_t_a"] - t_a) < 3 * r.stderr["thick_t_a"]
    d = r.derived["thick_"]
    assert d["area_thick"]["value"] < d["area_thin"]["value"]
    assert "thick_t_a" in r.report()


def test_refusals_are_one_clear_error(capsys):
    with pytest.raises(mosslib.MosslibError, match="negative area"):
        th.transmission_lines([0.0], [0.0], [-1.0], [0.2], t_a=1, f_s=0.5, source_width=0.1,
                              absorber_width=0.2)
    with pytest.raises(ValueError, match="t_a >= 0"):
        Transmission(Component("sext"), thickness={"t_a": -1})
    from mosslib.cli import main
    try:
        main(["fit", "--help"])
    except SystemExit:
        pass
    assert "--thickness" in capsys.readouterr().out
