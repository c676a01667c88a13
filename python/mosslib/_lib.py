"""Locating and loading the shared library; the catalogue structs in ctypes.

The library is found, in this order, through the environment variable MOSSLIB_LIBRARY,
next to the installed package (mosslib/libmosslib.so), in the build tree of a source
checkout (build/src/libmosslib.so), in the library directory of the prefix the package
is installed under, then on the system's search path. It is loaded
once per process; a Library object pickles as its location, so that a copy unpickled
in another process (a Dask worker) loads the library there, once.

Loading turns the library's priority step off for the whole process (see
set_priority_step).
"""

import ctypes
import ctypes.util
import glob
import os
import sys
import threading

__all__ = ["MosslibError", "Library", "library", "locate"]


class MosslibError(RuntimeError):
    """The library refused a call; the message is the library's own reason."""


# ---- catalogue structs, laid out exactly as include/mosslib.h (catalogue version 1) ----

CATALOG_VERSION = 1
ARRAY_INTS, ARRAY_REALS = 1, 2
SCALE_NONE, SCALE_LINEAR, SCALE_SINE_FIXED, SCALE_SINE_GIVEN = 0, 1, 2, 3
OUTPUT_ABSORPTION, OUTPUT_TRANSMISSION, OUTPUT_OBJECTIVE = 1, 2, 3
RETURNS_CONSTANT, RETURNS_OBJECTIVE = 1, 2


class CParam(ctypes.Structure):
    _fields_ = [("name", ctypes.c_char_p), ("unit", ctypes.c_char_p),
                ("meaning", ctypes.c_char_p), ("convention", ctypes.c_char_p),
                ("array", ctypes.c_int32), ("index", ctypes.c_int32),
                ("integer", ctypes.c_int32), ("reserved", ctypes.c_int32),
                ("raw_per_unit", ctypes.c_double), ("example", ctypes.c_double),
                ("min", ctypes.c_double), ("max", ctypes.c_double),
                ("refusal", ctypes.c_char_p), ("zero_means", ctypes.c_double)]


class CModel(ctypes.Structure):
    _fields_ = [("name", ctypes.c_char_p), ("summary", ctypes.c_char_p),
                ("n_ints", ctypes.c_int32), ("n_reals", ctypes.c_int32),
                ("n_params", ctypes.c_int32), ("output", ctypes.c_int32),
                ("params", ctypes.POINTER(CParam)),
                ("channels", ctypes.c_int32), ("channels_param", ctypes.c_int32),
                ("max_channels", ctypes.c_int32), ("scale", ctypes.c_int32),
                ("phase_step", ctypes.c_double),
                ("step_param", ctypes.c_int32), ("zero_param", ctypes.c_int32),
                ("rate_param", ctypes.c_int32), ("returns", ctypes.c_int32),
                ("return_value", ctypes.c_double),
                ("lowers_priority", ctypes.c_int32), ("reserved", ctypes.c_int32)]


_SONAME = "mosslib.dll" if sys.platform == "win32" else "libmosslib.so"


def locate():
    """The path of the library this process would load (see the module docstring)."""
    env = os.environ.get("MOSSLIB_LIBRARY")
    if env:
        if not os.path.exists(env):
            raise OSError(f"MOSSLIB_LIBRARY={env}: no such file")
        return os.path.abspath(env)
    here = os.path.dirname(os.path.abspath(__file__))
    for path in (os.path.join(here, _SONAME),
                 os.path.join(here, "..", "..", "build", "src", _SONAME)):
        if os.path.exists(path):
            return os.path.abspath(path)
    # Installed under a prefix: PREFIX/lib/python3/dist-packages/mosslib beside
    # PREFIX/lib[/<multiarch>]/libmosslib.so.N
    libdir = os.path.normpath(os.path.join(here, "..", "..", ".."))
    for pattern in (_SONAME + ".[0-9]*", "*/" + _SONAME + ".[0-9]*"):
        hits = sorted(glob.glob(os.path.join(libdir, pattern)))
        if hits:
            return hits[0]
    found = ctypes.util.find_library("mosslib")
    if found:
        return found
    raise OSError("libmosslib not found: build it (./run test), set MOSSLIB_LIBRARY, "
                  "or install the package with the library next to it")


_loaded = {}
_loading = threading.Lock()


def library(path=None):
    """The Library at `path` (default: locate()), loaded at most once per process."""
    path = path or locate()
    lib = _loaded.get(path)
    if lib is None:
        with _loading:
            lib = _loaded.get(path)
            if lib is None:
                lib = _loaded[path] = Library(path)
    return lib


class Library:
    """One loaded copy of the shared library. Pickles as its location."""

    def __init__(self, path):
        self.path = path
        self.dll = dll = ctypes.CDLL(path)
        for name, res, args in (
                ("mosslib_last_error", ctypes.c_char_p, []),
                ("mosslib_version", ctypes.c_char_p, []),
                ("mosslib_set_priority_step", ctypes.c_int32, [ctypes.c_int32]),
                ("mosslib_priority_step", ctypes.c_int32, []),
                ("mosslib_catalog_version", ctypes.c_int32, []),
                ("mosslib_model_count", ctypes.c_int32, []),
                ("mosslib_model_at", ctypes.POINTER(CModel), [ctypes.c_int32]),
                ("mosslib_model_named", ctypes.POINTER(CModel), [ctypes.c_char_p]),
                ("mosslib_param_index", ctypes.c_int32, [ctypes.POINTER(CModel), ctypes.c_char_p]),
                ("mosslib_channel_velocities", ctypes.c_int32,
                 [ctypes.POINTER(CModel), ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p])):
            try:
                f = getattr(dll, name)
            except AttributeError:  # an older library without the catalogue
                continue
            f.restype, f.argtypes = res, args
        # A Python session or a Dask worker runs many calls: keep its priority.
        dll.mosslib_set_priority_step(0)

    def __reduce__(self):
        return (library, (self.path,))

    def __repr__(self):
        return f"mosslib.Library({self.path!r})"

    def last_error(self):
        return self.dll.mosslib_last_error().decode()

    def version(self):
        return self.dll.mosslib_version().decode()

    def raise_last_error(self, name):
        reason = self.last_error()
        if reason:
            raise MosslibError(f"{name}: {reason}")
