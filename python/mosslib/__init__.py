"""mosslib: fitting measured 57Fe Moessbauer spectra with the library's models.

    import mosslib
    foil = mosslib.read_spectrum("foil.txt", exclude=[511])   # any file form (mosslib.readers)
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
back on.

Threads: ttt/tkv and parl compute their directions or orientations on the library's
worker threads (the same bits for every count). set_threads(n) sets the count for the
process (1: the calling thread alone); a Dask worker is given 1 unless told otherwise.
On the main thread a Ctrl-C during one of these calls cancels it and raises
KeyboardInterrupt. The library is found through MOSSLIB_LIBRARY, next to the installed package,
or in the build tree (build/src) of a source checkout.
"""

import sys as _sys


def _require(*modules):
    """The Debian packages the package needs, named in one line when one is missing: a
    command (mossfit, python3 -m mosslib) exits with it, an import raises it."""
    missing = []
    for name in modules:
        try:
            __import__(name)
        except ImportError:
            missing.append(name)
    if not missing:
        return
    debian = " ".join("python3-" + m for m in missing)
    line = (f"mosslib needs {', '.join(missing)}, which {_sys.executable} cannot import: "
            f"install Debian's {debian} (apt-get install {debian})"
            + ("" if _sys.executable == "/usr/bin/python3" else " or use /usr/bin/python3"))
    command = _sys.argv[:1] and (_sys.argv[0] == "-m" or
                                 _sys.argv[0].rsplit("/", 1)[-1].startswith("mossfit"))
    if command:
        print(line, file=_sys.stderr)
        raise SystemExit(2)
    raise ImportError(line)


_require("numpy", "scipy", "lmfit", "uncertainties")

from . import _lib  # noqa: E402
from ._lib import MosslibError  # noqa: E402
from .axes import LinearAxis, SineAxis, TriangularAxis  # noqa: E402
from .components import Absorption, Baseline, Component, Transmission  # noqa: E402
from .fitting import ALPHA_IRON_FIELD_T, ALPHA_IRON_OUTER_SPAN, FitResult, fit  # noqa: E402
from .measurement import Spectrum, find_mirror, fold, read_spectrum  # noqa: E402
from .readers import write_spectrum  # noqa: E402
from .calibration import Calibration, calibrate  # noqa: E402
from . import distributions  # noqa: E402  (registers the hyperfine models' components)
from .distributions import free_distribution, voigt_distribution  # noqa: E402
from .simultaneous import SharedFitResult, fit_shared  # noqa: E402

__all__ = ["MosslibError", "version", "library", "set_priority_step", "priority_step",
           "set_threads", "threads",
           "sext", "sextgen", "sextgen_ss", "sextgen_sl", "doubl", "VogGenVel_ss", "CSTfdll",
           "ttt", "tkv", "parl", "LinearAxis", "SineAxis", "TriangularAxis", "Spectrum",
           "read_spectrum", "write_spectrum", "fold", "find_mirror", "Component", "Baseline", "Transmission", "Absorption",
           "fit", "FitResult", "calibrate", "Calibration", "ALPHA_IRON_FIELD_T",
           "ALPHA_IRON_OUTER_SPAN", "distributions", "free_distribution", "voigt_distribution",
           "fit_shared", "SharedFitResult"]


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


def set_threads(n):
    """Threads that ttt, tkv and parl calls use, process-wide: n >= 1 sets the count
    (1: the calling thread alone, no worker threads); 0 or None returns to the
    library's default (MOSSLIB_THREADS, else the cores available to the process).
    Results are the same for every count. Returns the previous setting (0: default)."""
    return int(_lib.library().dll.mosslib_set_threads(int(n or 0)))


def threads():
    """The thread count ttt, tkv and parl calls use now."""
    return int(_lib.library().dll.mosslib_threads())


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
