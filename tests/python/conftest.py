import os

import numpy as np
import pytest

HERE = os.path.dirname(os.path.abspath(__file__))


def spectra_dir():
    d = os.environ.get("MOSSLIB_SPECTRA") or os.path.join(HERE, "..", "..", "..", "shared", "data",
                                                          "spectra")
    return os.path.abspath(d)


@pytest.fixture
def spectra():
    d = spectra_dir()
    if not os.path.isdir(d):
        pytest.skip(f"measured spectra not present ({d}); skipped")
    return d


@pytest.fixture
def rng():
    return np.random.default_rng(7)
