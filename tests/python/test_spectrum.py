"""Reading spectra from text, and the two model forms against their definitions."""

import numpy as np
import pytest

import mosslib
from mosslib import Absorption, Baseline, Component, LinearAxis, Spectrum, Transmission


def test_text_spectra_one_or_two_columns_with_exclusions(tmp_path):
    one = tmp_path / "one.txt"
    one.write_text("# counts only\n# exclude: 0, 5-6\n" + "\n".join(str(100 + k) for k in range(10)))
    s = mosslib.read_spectrum(one, exclude=[9])
    assert s.n == 10 and s.counts[3] == 103
    assert np.flatnonzero(~s.mask).tolist() == [0, 5, 6, 9]
    two = tmp_path / "two.txt"
    two.write_text("0 10\n1 11\n3 13   # channel 2 missing\n4 nan\n")
    s = mosslib.read_spectrum(two)
    assert s.n == 5 and np.flatnonzero(~s.mask).tolist() == [2, 4] and s.counts[3] == 13


@pytest.mark.parametrize("text, says", [("1 2 3\n", "3 columns"), ("12\nabc\n", "not a number"),
                                        ("# nothing\n", "no data"), ("0 5\n0 6\n", "distinct"),
                                        ("5\n-3\n", "negative"), ("1\n2\n# exclude: 7\n", "outside")])
def test_unreadable_spectra_are_refused_with_the_reason(tmp_path, text, says):
    f = tmp_path / "bad.txt"
    f.write_text(text)
    with pytest.raises(ValueError, match=says):
        mosslib.read_spectrum(f)


def test_transmission_and_absorption_forms():
    axis = LinearAxis(300, 0.05, 150.5)
    s = Spectrum(np.ones(300), axis=axis)
    a, d = Component("sextgen", prefix="a_"), Component("doubl", prefix="d_")
    t = Transmission(a, d, baseline=Baseline(1))
    p = t.make_params(s)
    p["base_c0"].set(value=1000.0)
    p["base_c1"].set(value=2.0)
    v = axis.velocities()
    values = p.valuesdict()
    absorb = a.absorption(values, axis) + d.absorption(values, axis)
    assert np.allclose(t.eval(p, s), (1000.0 + 2.0 * v) * (1 - absorb), rtol=1e-14)
    ab = Absorption(a, d)
    assert np.array_equal(ab.eval(ab.make_params(s), s), absorb)
