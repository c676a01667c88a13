"""mosslib: fitting measured 57Fe Moessbauer spectra with the library's models.

    import mosslib
    foil = mosslib.read_spectrum("foil.txt", exclude=[511])
    cal = mosslib.calibrate(foil)                  # velocity per channel, zero, mirror
    s = cal.apply(mosslib.read_spectrum("sample.txt", exclude=[511]))
    model = mosslib.Transmission(mosslib.Component("sextgen", prefix="s1_"), baseline=2)
    result = mosslib.fit(s, model)
    print(result.report()); result.plot("fit.png"); result.to_json("fit.json")

Raw access: the ten exports on NumPy arrays, laid out as the C interface
(mosslib.sext(p, out=None), mosslib.ttt(ints, reals), ...). Names, units and slots of
every parameter come from the library's catalogue (mosslib.catalog).

Priority: the library lowers the scheduling priority of a calling thread by default;
this package turns that step off for the whole process when it loads the library, so
a Python session or a Dask worker keeps its priority. set_priority_step(True) turns it
back on. The library is found through MOSSLIB_LIBRARY, next to the installed package,
or in the build tree (build/src) of a source checkout.
"""

from . import _lib
from ._lib import MosslibError
from .axes import LinearAxis, SineAxis, TriangularAxis
from .components import Absorption, Baseline, Component, Transmission
from .fitting import ALPHA_IRON_FIELD_T, ALPHA_IRON_OUTER_SPAN, FitResult, fit
from .spectrum import Spectrum, fold, read_spectrum
from .calibration import Calibration, calibrate

__all__ = ["MosslibError", "version", "library", "set_priority_step", "priority_step",
           "sext", "sextgen", "sextgen_ss", "sextgen_sl", "doubl", "VogGenVel_ss", "CSTfdll",
           "ttt", "tkv", "parl", "LinearAxis", "SineAxis", "TriangularAxis", "Spectrum",
           "read_spectrum", "fold", "Component", "Baseline", "Transmission", "Absorption",
           "fit", "FitResult", "calibrate", "Calibration", "ALPHA_IRON_FIELD_T",
           "ALPHA_IRON_OUTER_SPAN"]


def library():
    """The loaded library (pickles as its location; loaded once per process)."""
    return _lib.library()


def version():
    """The library's version, "major.minor.patch"."""
    return _lib.library().version()


def set_priority_step(enabled):
    """Turn the library's priority step on (True: every export but doubl lowers the
    calling thread to the lowest priority, the library's default) or off (False: what
    this package sets when it loads). Process-wide. Returns the previous setting."""
    return bool(_lib.library().dll.mosslib_set_priority_step(1 if enabled else 0))


def priority_step():
    """Whether the library's priority step is on."""
    return bool(_lib.library().dll.mosslib_priority_step())


def __getattr__(name):
    # The exports, bound from the catalogue on first use.
    from . import raw
    from .catalog import models
    if name in models():
        f = raw.export(name)
        globals()[name] = f
        return f
    raise AttributeError(f"module 'mosslib' has no attribute {name!r}")
