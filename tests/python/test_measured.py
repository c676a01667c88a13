"""The measured spectra beside the repository (../shared/data/spectra; skipped when
absent): an alpha-iron foil on a triangular drive and magnetite on a sine drive."""

import math
import os

import pytest

import mosslib
from mosslib import Baseline, Component, SineAxis, Transmission


def test_alpha_iron_foil_calibrates_the_drive(spectra):
    foil = mosslib.read_spectrum(os.path.join(spectra, "phys359_alphaFe_ironfoil0207.txt"),
                                 exclude=[511])  # a short last channel
    cal = mosslib.calibrate(foil)
    assert cal.step == pytest.approx(0.0845, abs=0.0003)
    assert cal.mirror == pytest.approx(256.23, abs=0.1)
    assert 0 < cal.step_err < 1e-4 and 0 < cal.mirror_err < 0.05
    # the calibrated axis puts the documented line centres (both sweeps) on the fitted lines
    lines = cal.result.derived["fe_"]["line_centres_channel"]
    documented = [66.491, 92.886, 119.479, 139.362, 165.966, 192.643]
    for (first, second), doc in zip(lines, documented):
        assert first == pytest.approx(doc, abs=0.15)
        assert second == pytest.approx(2 * cal.mirror - doc, abs=0.3)


def test_magnetite_gives_the_two_documented_sextets(spectra):
    s = mosslib.read_spectrum(os.path.join(spectra, "fopra17_magnetite.txt"))
    # v = 10.4 mm/s cos(2 pi i / 1024): a sine whose zero channel is a quarter period back
    s = s.with_axis(SineAxis(s.n, 10.4, -s.n / 4, channels_per_radian=s.n / (2 * math.pi)))
    comps = [Component("sextgen_sl", prefix=p) for p in ("a_", "b_")]
    model = Transmission(*comps, baseline=Baseline(2, per_sweep=True))
    params = model.make_params(s)
    for c, field_T, shift in zip(comps, (49.2, 46.2), (0.16, 0.57)):
        c.pair_lines(params)
        params[c.prefix + "field_T"].set(value=field_T)
        params[c.prefix + "centre_shift"].set(value=shift)
    params["axis_zero"].set(vary=True)
    model.guess(s, params)
    r = mosslib.fit(s, model, params)
    assert r.redchi < 1.3
    assert r.derived["a_"]["field_alpha_iron"]["value"] == pytest.approx(49.81, abs=0.2)
    assert r.derived["b_"]["field_alpha_iron"]["value"] == pytest.approx(46.66, abs=0.15)
