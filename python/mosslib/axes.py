"""Velocity axes of measured spectra: which velocity each data channel saw.

Data channels count from 0 (channel i is element i of the counts). Every axis is a
list of segments, runs of channels on which the velocity follows one of the formulas
the models themselves use:

    linear        v = (i - zero) * step
    sine, step    v = amplitude * sin((i - zero) * phase_step)
    sine, rate    v = amplitude * sin((i - zero) / channels_per_radian)

A two-sweep triangular (constant-acceleration) drive is two linear segments: channels
up to the mirror point M run with +step, the rest with -step about 2M - zero, so that
channel i and channel 2M - i saw the same velocity. A sine drive over a whole period
is one sine segment; its sweeps meet at the turning points of the sine.

Zero channels are held on a grid of 2**-32 channel, so that moving them by a whole
number of channels (the tiling of fixed-size model calls) is exact in binary floating
point: every tile then sees the very velocities one long evaluation would.
"""

import math
from dataclasses import dataclass, replace

import numpy as np

__all__ = ["LinearAxis", "TriangularAxis", "SineAxis", "Segment", "snap", "axis_from_dict",
           "parse_axis"]

_GRID = 2.0 ** -32


def snap(z):
    """z on the 2**-32 grid (exact; |z| < 2**20 channels)."""
    z = float(z)
    if not math.isfinite(z) or abs(z) >= 2.0 ** 20:
        raise ValueError(f"zero channel {z} is not a usable channel position")
    return round(z / _GRID) * _GRID


@dataclass(frozen=True)
class Segment:
    """Channels [start, stop) on one formula; zero is a data channel (from 0)."""
    start: int
    stop: int
    kind: str        # "linear", "sine-step" or "sine-rate"
    scale: float     # step (linear) or amplitude (sine)
    zero: float
    rate: float = 0.0  # phase_step (sine-step) or channels_per_radian (sine-rate)

    def velocities(self):
        i = np.arange(self.start, self.stop, dtype=np.float64)
        if self.kind == "linear":
            return (i - self.zero) * self.scale
        if self.kind == "sine-step":
            return self.scale * np.sin((i - self.zero) * self.rate)
        return self.scale * np.sin((i - self.zero) / self.rate)


class _Axis:
    kind = ""
    # Parameters a fit may vary, in order; the scale one first.
    param_names = ()

    def params(self):
        return {k: getattr(self, k) for k in self.param_names}

    def with_values(self, **values):
        return replace(self, **values)

    def velocities(self):
        v = np.empty(self.n)
        for s in self.segments():
            v[s.start:s.stop] = s.velocities()
        return v

    def to_dict(self):
        d = {"kind": self.kind, "n": self.n}
        d.update({k: getattr(self, k) for k in self._fields})
        return d

    @property
    def scale_name(self):
        return self.param_names[0]

    @property
    def max_velocity(self):
        return float(np.max(np.abs(self.velocities())))


@dataclass(frozen=True)
class LinearAxis(_Axis):
    """One sweep, v = (i - zero) * step (mm/s per channel)."""
    n: int
    step: float
    zero: float
    kind = "linear"
    param_names = ("step", "zero")
    _fields = ("step", "zero")
    zero_shift_degenerate = True   # zero and a common shift move every line alike
    mirror = None

    def __post_init__(self):
        _check_n(self.n)
        object.__setattr__(self, "zero", snap(self.zero))
        object.__setattr__(self, "step", _scale(self.step, "velocity step"))

    def segments(self):
        return [Segment(0, self.n, "linear", self.step, self.zero)]

    def sweeps(self):
        return np.zeros(self.n, dtype=int)

    n_sweeps = 1

    def channels_of(self, v):
        return [self.zero + v / self.step]


@dataclass(frozen=True)
class TriangularAxis(_Axis):
    """Two sweeps of a constant-acceleration drive mirrored about channel `mirror`."""
    n: int
    step: float
    zero: float
    mirror: float
    kind = "triangular"
    param_names = ("step", "zero", "mirror")
    _fields = ("step", "zero", "mirror")
    zero_shift_degenerate = True
    n_sweeps = 2

    def __post_init__(self):
        _check_n(self.n)
        object.__setattr__(self, "zero", snap(self.zero))
        object.__setattr__(self, "mirror", float(self.mirror))
        object.__setattr__(self, "step", _scale(self.step, "velocity step"))
        if not 0 < self.mirror < self.n - 1:
            raise ValueError(f"mirror point {self.mirror} outside the {self.n} channels")

    @property
    def split(self):
        """First channel of the second sweep."""
        return int(math.floor(self.mirror)) + 1

    @property
    def zero2(self):
        """Zero channel of the second sweep: 2 * mirror - zero."""
        return snap(2.0 * self.mirror - self.zero)

    def segments(self):
        c = self.split
        return [Segment(0, c, "linear", self.step, self.zero),
                Segment(c, self.n, "linear", -self.step, self.zero2)]

    def sweeps(self):
        s = np.zeros(self.n, dtype=int)
        s[self.split:] = 1
        return s

    def channels_of(self, v):
        return [self.zero + v / self.step, self.zero2 - v / self.step]


@dataclass(frozen=True)
class SineAxis(_Axis):
    """A sine drive, v = amplitude * sin(phase); give exactly one of phase_step
    (phase = (i - zero) * phase_step) or channels_per_radian (phase = (i - zero) /
    channels_per_radian): the two forms the models use, not interchangeable bit for bit."""
    n: int
    amplitude: float
    zero: float
    phase_step: float = None
    channels_per_radian: float = None
    kind = "sine"
    zero_shift_degenerate = False  # both sweeps pin the phase
    _fields = ("amplitude", "zero", "phase_step", "channels_per_radian")

    def __post_init__(self):
        _check_n(self.n)
        if (self.phase_step is None) == (self.channels_per_radian is None):
            raise ValueError("a sine axis takes exactly one of phase_step or channels_per_radian")
        object.__setattr__(self, "zero", snap(self.zero))
        object.__setattr__(self, "amplitude", _scale(self.amplitude, "amplitude"))
        for name in ("phase_step", "channels_per_radian"):
            if getattr(self, name) is not None:
                object.__setattr__(self, name, _scale(getattr(self, name), name))

    @property
    def param_names(self):
        return ("amplitude", "zero") + (("phase_step",) if self.phase_step is not None
                                        else ("channels_per_radian",))

    def _phase(self, i):
        i = np.asarray(i, dtype=np.float64)
        if self.phase_step is not None:
            return (i - self.zero) * self.phase_step
        return (i - self.zero) / self.channels_per_radian

    @property
    def _radians_per_channel(self):
        return self.phase_step if self.phase_step is not None else 1.0 / self.channels_per_radian

    def segments(self):
        if self.phase_step is not None:
            return [Segment(0, self.n, "sine-step", self.amplitude, self.zero, self.phase_step)]
        return [Segment(0, self.n, "sine-rate", self.amplitude, self.zero,
                        self.channels_per_radian)]

    def sweeps(self):
        # A sweep runs between turning points (phase pi/2 + k pi); alternate sweeps
        # move the same way and share a label.
        k = np.floor((self._phase(np.arange(self.n)) - math.pi / 2) / math.pi).astype(int)
        return (k - k[self.n // 4]) % 2

    @property
    def n_sweeps(self):
        return int(self.sweeps().max()) + 1

    @property
    def mirror(self):
        """The turning point nearest the middle of the channels (None if outside)."""
        w = self._radians_per_channel
        centre = self._phase((self.n - 1) / 2.0)
        k = round((float(centre) - math.pi / 2) / math.pi)
        m = self.zero + (math.pi / 2 + k * math.pi) / w
        return m if 0 < m < self.n - 1 else None

    def channels_of(self, v):
        w = self._radians_per_channel
        a = math.asin(max(-1.0, min(1.0, v / self.amplitude)))
        p0, p1 = float(self._phase(0)), float(self._phase(self.n - 1))
        out = []
        for base in (a, math.pi - a):
            k = math.ceil((p0 - base) / (2 * math.pi))
            while base + 2 * math.pi * k <= p1:
                out.append(self.zero + (base + 2 * math.pi * k) / w)
                k += 1
        return sorted(out)


def _scale(value, what):
    """A velocity scale or phase rate: finite and not zero."""
    v = float(value)
    if not math.isfinite(v) or v == 0:
        raise ValueError(f"{what} {value!r}: a finite, non-zero number")
    return v


def _check_n(n):
    if int(n) != n or n < 2:
        raise ValueError(f"an axis needs at least 2 channels, not {n}")


_KINDS = {"linear": LinearAxis, "triangular": TriangularAxis, "sine": SineAxis}


def axis_from_dict(d):
    d = dict(d)
    cls = _KINDS[d.pop("kind")]
    return cls(**{k: v for k, v in d.items() if v is not None})


def parse_axis(text, n):
    """An axis from 'kind:name=value,...' (command line), for n channels; e.g.
    'triangular:step=0.0845,zero=129.5,mirror=256.23' or
    'sine:amplitude=10.4,zero=-255.9,channels_per_radian=162.97'."""
    kind, _, rest = text.partition(":")
    cls = _KINDS.get(kind.strip())
    if cls is None:
        raise ValueError(f"axis kind {kind!r}: one of {', '.join(_KINDS)}")
    values = {}
    for item in filter(None, (s.strip() for s in rest.split(","))):
        name, eq, value = item.partition("=")
        if not eq:
            raise ValueError(f"axis: {item!r} is not name=value")
        name = name.strip()
        if name == "channels_per_radian" and value.strip().lower().startswith("n/2pi"):
            values[name] = n / (2 * math.pi)
            continue
        try:
            values[name] = float(value)
        except ValueError:
            raise ValueError(f"axis: {name}={value!r} is not a number") from None
    try:
        return cls(n=n, **values)
    except TypeError as e:
        raise ValueError(f"axis {kind}: {e}") from None
