"""Velocity axes, tiling of fixed-size model calls and folding, against closed forms."""

import math

import numpy as np
import pytest

import mosslib
from mosslib import Component, LinearAxis, SineAxis, Spectrum, TriangularAxis, fold
from mosslib import catalog


def values_of(component, **changes):
    v = component.make_params().valuesdict()
    v.update({component.prefix + k: x for k, x in changes.items()})
    return v


# ---- axes against closed forms ----------------------------------------------------

def test_triangular_sweeps_mirror_about_the_mirror_point():
    ax = TriangularAxis(512, 0.0845, 129.37, 256.23)
    v, i = ax.velocities(), np.arange(512.0)
    second = i > 256.23
    assert np.allclose(v[~second], (i[~second] - 129.37) * 0.0845, rtol=0, atol=1e-9)
    # channel i saw the velocity of channel 2M - i of the first sweep
    assert np.allclose(v[second], (2 * 256.23 - i[second] - 129.37) * 0.0845, rtol=0, atol=1e-9)
    for x in (-5.3, 0.0, 4.1):
        c1, c2 = ax.channels_of(x)
        assert c1 + c2 == pytest.approx(2 * 256.23, abs=1e-9)
        assert (c1 - 129.37) * 0.0845 == pytest.approx(x, abs=1e-9)


def test_sine_axis_is_the_cosine_drive_of_a_whole_period():
    # v = A cos(2 pi (i - phi) / N): a sine of zero channel phi - N/4, channels_per_radian N/2pi
    n, a, phi = 1024, 10.4, 0.1
    ax = SineAxis(n, a, phi - n / 4, channels_per_radian=n / (2 * math.pi))
    i = np.arange(n)
    # zero channels sit on a 2**-32 channel grid
    assert np.allclose(ax.velocities(), a * np.cos(2 * math.pi * (i - phi) / n), rtol=0, atol=1e-9)
    assert ax.mirror == pytest.approx(phi + n / 2, abs=1e-9)
    sw = ax.sweeps()
    assert sw[1:512].max() == 0 and sw[513:].min() == 1
    for x in (-7.9, 0.5, 8.2):
        chans = ax.channels_of(x)
        assert len(chans) == 2 and sum(chans) == pytest.approx(2 * ax.mirror, abs=1e-9)
        assert np.allclose(a * np.cos(2 * math.pi * (np.array(chans) - phi) / n), x, atol=1e-9)
    fixed = SineAxis(256, 7.0, 127.5, phase_step=0.01226563)
    assert np.allclose(fixed.velocities(), 7.0 * np.sin((np.arange(256) - 127.5) * 0.01226563),
                       rtol=0, atol=1e-14)


# ---- tiling: any channel count, bit for bit -----------------------------------------

@pytest.mark.parametrize("name, axis", [
    ("sextgen", LinearAxis(1000, 0.031, 377.3)),
    ("sext", TriangularAxis(700, 0.05, 170.1, 349.6)),
    ("sextgen_sl", SineAxis(1536, 9.0, -300.7, channels_per_radian=1536 / (2 * math.pi))),
    ("sextgen_ss", SineAxis(600, 7.0, 299.2, phase_step=0.01226563)),
])
def test_tiled_evaluation_equals_one_call_over_any_window(name, axis):
    c = Component(name)
    values = values_of(c)
    tiled = c.absorption(values, axis)
    info = c.info
    f = getattr(mosslib, name)
    p = np.zeros(info.n_reals)
    for q in info.params:
        if q.name in c.param_names:
            p[q.index] = q.to_raw(values[c.prefix + q.name])
    for seg in axis.segments():
        for start in sorted({seg.start, seg.start + 1, seg.start + 97, seg.stop - info.channels}):
            if start < seg.start or start + info.channels > seg.stop:
                continue
            p[info.params[info.step_param].index] = seg.scale
            p[info.params[info.zero_param].index] = seg.zero - start + 1
            if info.rate_param >= 0:
                p[info.params[info.rate_param].index] = seg.rate
            one = f(p)
            assert np.array_equal(one, tiled[start:start + info.channels]), (name, start)


def test_model_channel_velocities_are_the_axis_velocities_bit_for_bit():
    # The library's own scale code, fed the raw arrays of a tile, against the axis.
    lib = mosslib.library().dll
    ax = LinearAxis(900, 0.0423, 411.7)
    for name in ("sext", "doubl", "sextgen"):
        info = catalog.model(name)
        reals = np.zeros(info.n_reals)
        reals[info.params[info.step_param].index] = ax.step
        out = np.empty(info.max_channels)
        for i0 in (0, 256, 512):
            reals[info.params[info.zero_param].index] = ax.zero - i0 + 1
            n = lib.mosslib_channel_velocities(lib.mosslib_model_named(name.encode()), None,
                                               reals.ctypes.data, out.ctypes.data)
            take = min(n, ax.n - i0)
            assert np.array_equal(out[:take], ax.velocities()[i0:i0 + take])


def test_doublet_on_a_long_axis_against_its_closed_form():
    ax = LinearAxis(777, 0.027, 300.4)
    c = Component("doubl", prefix="d_")
    v = values_of(c, centre_shift=0.41, quadrupole_splitting=0.83, width=0.29, area=1.7)
    x = ax.velocities()
    h = 1.7 / (3.1416 * 0.29)
    expect = sum(h / (1 + (2 * (x - x0) / 0.29) ** 2) for x0 in (0.41 - 0.83 / 2, 0.41 + 0.83 / 2))
    assert np.allclose(c.absorption(v, ax), expect, rtol=1e-13, atol=0)


def test_a_scale_the_model_cannot_lay_exactly_is_refused():
    sine = SineAxis(512, 8.0, 200.0, phase_step=0.0123)
    with pytest.raises(ValueError, match="linear velocity scale"):
        Component("sext").absorption(values_of(Component("sext")), sine)
    with pytest.raises(ValueError, match="fixed phase step"):
        Component("sextgen_ss").absorption(values_of(Component("sextgen_ss")), sine)
    with pytest.raises(ValueError, match="sine"):
        Component("sextgen_sl").absorption(values_of(Component("sextgen_sl")), LinearAxis(512, 0.1, 256))
    with pytest.raises(ValueError, match="at most 256"):
        c = Component("parl")
        c.absorption(values_of(c), LinearAxis(300, 0.05, 150))
    with pytest.raises(ValueError, match="not a spectrum"):
        Component("tkv")


# ---- folding ------------------------------------------------------------------------

@pytest.mark.parametrize("mirror", [256.0, 255.5, 256.23])
def test_folding_adds_channel_i_to_channel_2m_minus_i(mirror):
    # A V-shaped count profile about the mirror point is linear on each side, so the
    # linearly interpolated partner is exact: folded = 2 (a + b (M - i)).
    n, a, b = 512, 1000.0, 3.0
    i = np.arange(n)
    s = Spectrum(a + b * np.abs(i - mirror), axis=TriangularAxis(n, 0.08, 128.0, mirror))
    f = fold(s)
    k = np.arange(f.n) + f.meta["first_channel"]
    ok = f.mask & (2 * mirror - k <= n - 1) & (np.floor(2 * mirror - k) >= mirror)
    assert np.allclose(f.counts[ok], 2 * (a + b * (mirror - k[ok])), rtol=0, atol=1e-9)
    assert f.axis.velocities()[0] == s.axis.velocities()[f.meta["first_channel"]]
    if mirror == math.floor(mirror):
        assert np.array_equal(f.variance[ok & (k < mirror)], f.counts[ok & (k < mirror)])
