"""The ten exports on NumPy arrays, laid out exactly as the C interface.

Parameter arrays are indexed as in include/mosslib.h (p[0] unused, slots by the
catalogue); a spectrum comes back as a float64 array whose element i is channel i + 1.
Each function takes `out=` (a C-contiguous float64 array of at least the channels it
writes) to reuse memory. Arrays shorter than the model reads are refused with
ValueError before the call; a call the library refuses raises MosslibError with the
library's reason.

The library's priority step is off in this process (the package turns it off when it
loads the library); mosslib.set_priority_step(True) turns it back on.
"""

import ctypes

import numpy as np

from . import _lib
from ._lib import MosslibError
from .catalog import model as _model
from .catalog import models as _models

__all__ = ["MosslibError", "export", "names"]

_F8 = np.dtype(np.float64)
_I4 = np.dtype(np.int32)


def _as(values, dtype, n, what):
    a = values
    if type(a) is not np.ndarray or a.dtype != dtype or not a.flags.c_contiguous:
        a = np.ascontiguousarray(values, dtype=dtype)
    if a.ndim != 1 or a.shape[0] < n:
        raise ValueError(f"{what}: {a.size} values given, the model reads {n}")
    return a


def _addr(a):
    return a.__array_interface__["data"][0]


def _out(out, n, what):
    if out is None:
        return np.empty(n)
    if type(out) is not np.ndarray or out.dtype != _F8 or not out.flags.c_contiguous \
            or not out.flags.writeable or out.ndim != 1:
        raise ValueError(f"{what}: out must be a writeable C-contiguous float64 array")
    if out.shape[0] < n:
        raise ValueError(f"{what}: out holds {out.shape[0]} values, the call writes {n}")
    return out


def _bind(info, lib):
    """The Python callable of one export, shaped by its catalogue entry."""
    f = lib.dll[info.name]  # a function object of our own: argtypes differ by use
    name = info.name
    n_reals, n_ints = info.n_reals, info.n_ints
    vp = ctypes.c_void_p
    if info.scale == _lib.SCALE_NONE:
        # int32_t f(ints, reals, data, velocity, out): the thick absorber, with an array of
        # lines (4 doubles each) or samples beside the velocities (mosslib.thickness).
        f.argtypes, f.restype = [vp] * 5, ctypes.c_int32
        per = 4 if name == "mosslib_thick_lines" else 1

        def call(ints, reals, data, velocity, out=None):
            i = _as(ints, _I4, n_ints, f"{name} ints")
            r = _as(reals, _F8, n_reals, f"{name} reals")
            v = np.ascontiguousarray(velocity, dtype=_F8)
            d = _as(data, _F8, per * max(int(i[0]), 0), f"{name} data")
            if v.ndim != 1 or v.shape[0] < max(int(i[1]), 0):
                raise ValueError(f"{name}: {v.size} velocities given, ints[1] = {int(i[1])}")
            out = _out(out, max(int(i[1]), 1), name)
            f(_addr(i), _addr(r), _addr(d), _addr(v), _addr(out))
            reason = lib.last_error()
            if reason:
                raise MosslibError(f"{name}: {reason}")
            return out[:int(i[1])]

        call.__doc__ = (f"{name}(ints, reals, data, velocity, out=None) -> T at the velocities."
                        f"\n\n{info.summary}")
        call.__name__ = call.__qualname__ = name
        return call
    if n_ints == 0:
        # double f(const double *p, double *spectrum). The fast path hands the arrays'
        # buffers straight to ctypes (a C-contiguous writeable float64 array); anything
        # else is converted first.
        cp = ctypes.POINTER(ctypes.c_ubyte)
        f.argtypes, f.restype = [cp, cp], ctypes.c_double
        channels = info.channels
        wrap = ctypes.c_ubyte.from_buffer
        ndarray, f8, empty = np.ndarray, _F8, np.empty
        # Models none of whose parameters the library ever refuses need no error check.
        refuses = any(p.refusal for p in info.params)

        def call(p, out=None):
            if type(p) is not ndarray or p.dtype is not f8 or p.ndim != 1 or p.shape[0] < n_reals:
                p = _as(p, f8, n_reals, name)
            if out is None:
                out = empty(channels)
            elif type(out) is not ndarray or out.dtype is not f8 or out.ndim != 1 \
                    or out.shape[0] < channels:
                out = _out(out, channels, name)
            try:
                pb = wrap(p)
            except (TypeError, ValueError):  # read-only or not contiguous
                p = np.array(p, dtype=f8)
                pb = wrap(p)
            try:
                ob = wrap(out)
            except (TypeError, ValueError):
                out = _out(out, channels, name)  # says what is wrong with it
                raise
            f(pb, ob)
            if refuses and out[0] != out[0]:
                lib.raise_last_error(name)
            return out if out.shape[0] == channels else out[:channels]

        call.__doc__ = (f"{name}(p, out=None) -> {channels} channel values.\n\n"
                        f"{info.summary}\np holds at least {n_reals} doubles, indexed as in "
                        f"the C interface (see mosslib.catalog.describe({name!r})).")
    elif info.output == _lib.OUTPUT_OBJECTIVE:
        # double f(const int32_t *ints, const double *reals, const double *measured)
        f.argtypes, f.restype = [vp, vp, vp], ctypes.c_double
        size = info.max_channels

        def call(ints, reals, measured):
            i = _as(ints, _I4, n_ints, f"{name} ints")
            r = _as(reals, _F8, n_reals, f"{name} reals")
            m = np.ascontiguousarray(measured, dtype=_F8)
            if m.ndim != 1 or m.shape[0] != size:
                raise ValueError(f"{name}: the measured spectrum has {m.size} values, "
                                 f"{size} expected")
            s = lib.call_interruptible(f, _addr(i), _addr(r), _addr(m))
            if s != s:
                lib.raise_last_error(name)
            return s

        call.__doc__ = (f"{name}(ints, reals, measured) -> float.\n\n{info.summary}\n"
                        f"ints holds at least {n_ints} int32, reals {n_reals} doubles, "
                        f"measured exactly {size} doubles.")
    else:
        # int32_t f(const int32_t *ints, const double *reals, double *spectrum); the
        # channel count is an integer slot.
        f.argtypes, f.restype = [vp, vp, vp], ctypes.c_int32
        cp = info.params[info.channels_param]
        slot, lo, hi = cp.index, cp.min, cp.max
        zero_means = cp.zero_means
        size = info.max_channels

        def call(ints, reals, out=None):
            i = _as(ints, _I4, n_ints, f"{name} ints")
            r = _as(reals, _F8, n_reals, f"{name} reals")
            g = int(i[slot])
            if g == 0 and zero_means == zero_means:
                g = int(zero_means)
            n = g if lo <= g <= hi and g > 0 else size
            # The array the call may write is max_channels long whatever the count.
            out = np.full(size, np.nan) if out is None else _out(out, size, name)
            lib.call_interruptible(f, _addr(i), _addr(r), _addr(out))
            reason = lib.last_error()
            if reason:
                raise MosslibError(f"{name}: {reason}")
            return out[:n]

        call.__doc__ = (f"{name}(ints, reals, out=None) -> channel values.\n\n{info.summary}\n"
                        f"ints holds at least {n_ints} int32 (channel count in ints[{slot}]), "
                        f"reals {n_reals} doubles; out holds {size}.")
    call.__name__ = call.__qualname__ = name
    return call


_bound = {}


def export(name):
    """The NumPy-level callable of export `name`."""
    f = _bound.get(name)
    if f is None:
        f = _bound[name] = _bind(_model(name), _lib.library())
    return f


_plain = {}


def c_function(name):
    """The export as a ctypes function taking plain addresses (ints)."""
    f = _plain.get(name)
    if f is None:
        info = _model(name)
        f = _lib.library().dll[name]
        f.argtypes = [ctypes.c_void_p] * (2 if info.n_ints == 0 else 3)
        f.restype = ctypes.c_int32 if info.n_ints and info.output != _lib.OUTPUT_OBJECTIVE \
            else ctypes.c_double
        _plain[name] = f
    return f


def names():
    return list(_models())
