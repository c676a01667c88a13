"""Python access to mosslib, the library of 57Fe Moessbauer spectrum models.

A thin layer over the C functions (ctypes, standard library only): parameter
arrays are plain sequences indexed exactly as in the C interface (see README),
spectra come back as array.array('d') (numpy.asarray takes them without a copy).
A call the library refuses raises MosslibError with the library's reason.

The library is found through the environment variable MOSSLIB_LIBRARY, then next to
this file's build tree (build/src/libmosslib.so), then on the system's search path.
"""

import array
import ctypes
import ctypes.util
import os

__all__ = ["MosslibError", "version", "sext", "sextgen", "sextgen_ss", "sextgen_sl",
           "doubl", "VogGenVel_ss", "CSTfdll", "ttt", "tkv", "parl"]


class MosslibError(RuntimeError):
    """The library refused a call (a size or level count beyond its fixed limits)."""


def _load():
    here = os.path.dirname(os.path.abspath(__file__))
    candidates = [os.environ.get("MOSSLIB_LIBRARY"),
                  os.path.join(here, "..", "build", "src", "libmosslib.so"),
                  ctypes.util.find_library("mosslib")]
    for path in candidates:
        if path and (os.path.exists(path) or not os.path.dirname(path)):
            return ctypes.CDLL(path)
    raise OSError("libmosslib not found: build it (./run test) or set MOSSLIB_LIBRARY")


_lib = _load()
_dbl_p = ctypes.POINTER(ctypes.c_double)
_int_p = ctypes.POINTER(ctypes.c_int32)

_ANALYTIC = {"sext": 256, "sextgen": 256, "sextgen_ss": 256, "sextgen_sl": 512,
             "doubl": 256, "VogGenVel_ss": 256, "CSTfdll": 256}
_PARAMS = {"sext": 14, "sextgen": 20, "sextgen_ss": 20, "sextgen_sl": 21,
           "doubl": 7, "VogGenVel_ss": 23, "CSTfdll": 21}

for _name in _ANALYTIC:
    _f = getattr(_lib, _name)
    _f.argtypes = [_dbl_p, _dbl_p]
    _f.restype = ctypes.c_double
_lib.ttt.argtypes = [_int_p, _dbl_p, _dbl_p]
_lib.ttt.restype = ctypes.c_int32
_lib.tkv.argtypes = [_int_p, _dbl_p, _dbl_p]
_lib.tkv.restype = ctypes.c_double
_lib.parl.argtypes = [_int_p, _dbl_p, _dbl_p]
_lib.parl.restype = ctypes.c_int32
_lib.mosslib_last_error.restype = ctypes.c_char_p
_lib.mosslib_version.restype = ctypes.c_char_p


def _doubles(values, size, what):
    """The caller's sequence as a C array of at least `size` doubles (zero padded)."""
    values = [float(v) for v in values]
    if len(values) > max(size, 64):
        raise ValueError(f"{what}: {len(values)} values, at most {max(size, 64)} expected")
    values += [0.0] * (size - len(values))
    return (ctypes.c_double * len(values))(*values)


def _ints(values, size, what):
    values = [int(v) for v in values]
    if len(values) > max(size, 64):
        raise ValueError(f"{what}: {len(values)} values, at most {max(size, 64)} expected")
    values += [0] * (size - len(values))
    return (ctypes.c_int32 * len(values))(*values)


def _check():
    reason = _lib.mosslib_last_error()
    if reason:
        raise MosslibError(reason.decode())


def version():
    """The library's version, "major.minor.patch"."""
    return _lib.mosslib_version().decode()


def _analytic(name):
    channels = _ANALYTIC[name]

    def model(params):
        p = _doubles(params, _PARAMS[name], name)
        out = (ctypes.c_double * channels)()
        getattr(_lib, name)(p, out)
        return array.array("d", out)

    model.__name__ = name
    model.__doc__ = (f"{name}(params) -> {channels} channel values; params[0] is not read, "
                     f"indices as in the C interface (missing trailing values are 0).")
    return model


sext = _analytic("sext")
sextgen = _analytic("sextgen")
sextgen_ss = _analytic("sextgen_ss")
sextgen_sl = _analytic("sextgen_sl")
doubl = _analytic("doubl")
VogGenVel_ss = _analytic("VogGenVel_ss")
CSTfdll = _analytic("CSTfdll")


def ttt(ints, reals):
    """Spin-Hamiltonian spectrum: G = ints[5] channel values (lines flag 1: empty)."""
    i = _ints(ints, 27, "ttt ints")
    r = _doubles(reals, 37, "ttt reals")
    g = i[5]
    if g < 1 or g > 8192:
        raise MosslibError(f"ttt: {g} channels requested; 1..8192 are possible")
    out = (ctypes.c_double * g)()
    _lib.ttt(i, r, out)
    _check()
    return array.array("d", out) if i[9] != 1 else array.array("d")


def tkv(ints, reals, measured):
    """Sum of squared residuals of the spin-Hamiltonian model (256 channels) against
    `measured` (256 values; channel 1 is left out). The level mode is ints[26]."""
    i = _ints(ints, 27, "tkv ints")
    r = _doubles(reals, 37, "tkv reals")
    if len(measured) != 256:
        raise ValueError(f"tkv: the measured spectrum has {len(measured)} values, 256 expected")
    m = _doubles(measured, 256, "tkv measured")
    s = _lib.tkv(i, r, m)
    _check()
    return s


def parl(ib, db):
    """Relaxation spectrum: 256 values of normalised transmission; channels beyond
    ib[2] (when non-zero) are NaN here, as nothing is computed for them."""
    i = _ints(ib, 5, "parl ib")
    d = _doubles(db, 29, "parl db")
    out = (ctypes.c_double * 256)(*([float("nan")] * 256))
    _lib.parl(i, d, out)
    _check()
    return array.array("d", out)
