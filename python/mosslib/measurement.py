"""Measured spectra: counts per channel, excluded channels, a velocity axis.

Text files hold one column of counts, or two columns "channel counts" (channels from
0; a channel missing from the file is excluded). '#' starts a comment; a comment of
the form '# exclude: 511' or '# exclude: 0-3, 511' excludes channels, as do NaN
counts and the `exclude=` argument.
"""

import math
import os
import re
from dataclasses import dataclass, field, replace

import numpy as np

from .axes import LinearAxis, SineAxis, TriangularAxis

__all__ = ["Spectrum", "read_spectrum", "fold"]


@dataclass(frozen=True, eq=False)
class Spectrum:
    """counts[i] of data channel i; mask[i] False for an excluded channel; variance
    None for raw Poisson counts (a folded spectrum carries its own)."""
    counts: np.ndarray
    mask: np.ndarray = None
    axis: object = None
    variance: np.ndarray = None
    name: str = ""
    meta: dict = field(default_factory=dict)

    def __post_init__(self):
        c = np.array(self.counts, dtype=np.float64)
        if c.ndim != 1 or c.size < 2:
            raise ValueError(f"{self.name or 'spectrum'}: counts must be one row of at least 2 values")
        m = np.isfinite(c) if self.mask is None else (np.asarray(self.mask, bool) & np.isfinite(c))
        if m.shape != c.shape:
            raise ValueError("mask and counts differ in length")
        if np.any(c[m] < 0):
            raise ValueError(f"{self.name or 'spectrum'}: negative counts")
        if not m.any():
            raise ValueError(f"{self.name or 'spectrum'}: no usable channel")
        object.__setattr__(self, "counts", c)
        object.__setattr__(self, "mask", m)
        if self.axis is not None and self.axis.n != c.size:
            raise ValueError(f"the axis has {self.axis.n} channels, the spectrum {c.size}")

    @property
    def n(self):
        return self.counts.size

    @property
    def channels(self):
        return np.arange(self.n)

    def with_axis(self, axis):
        return replace(self, axis=axis)

    def excluding(self, channels):
        m = self.mask.copy()
        m[np.asarray(list(channels), dtype=int)] = False
        return replace(self, mask=m)

    def data_variance(self):
        """Variance of each count: the carried one, or the count itself (at least 1)."""
        if self.variance is not None:
            return np.maximum(self.variance, 1.0)
        return np.maximum(self.counts, 1.0)

    def to_dict(self):
        return {"name": self.name, "counts": self.counts.tolist(),
                "excluded": np.flatnonzero(~self.mask).tolist(),
                "axis": None if self.axis is None else self.axis.to_dict()}


def _ranges(text, where):
    out = []
    for part in filter(None, re.split(r"[,\s]+", text.strip())):
        a, dash, b = part.partition("-")
        try:
            lo = int(a)
            hi = int(b) if dash else lo
        except ValueError:
            raise ValueError(f"{where}: exclude {part!r} is not a channel or range") from None
        out.extend(range(lo, hi + 1))
    return out


def read_spectrum(path, exclude=(), axis=None, name=None):
    """A Spectrum from a text file (see the module docstring)."""
    where = os.fspath(path)
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            lines = f.readlines()
    except OSError as e:
        raise ValueError(f"{where}: {e.strerror or e}") from None
    rows, excluded = [], list(exclude)
    for k, line in enumerate(lines, 1):
        body, _, comment = line.partition("#")
        d = re.match(r"\s*exclude\s*:?\s*(.*)$", comment, re.I)
        if d:
            excluded += _ranges(d.group(1), f"{where}:{k}")
        fields = body.split()
        if not fields:
            continue
        try:
            rows.append([float(x) for x in fields])
        except ValueError:
            raise ValueError(f"{where}:{k}: not a number in {body.strip()!r}") from None
        if len(rows[-1]) != len(rows[0]):
            raise ValueError(f"{where}:{k}: {len(rows[-1])} columns, earlier lines have {len(rows[0])}")
    if not rows:
        raise ValueError(f"{where}: no data")
    a = np.array(rows)
    if a.shape[1] == 1:
        counts = a[:, 0]
    elif a.shape[1] == 2:
        ch = a[:, 0]
        if np.any(ch != np.round(ch)) or np.any(ch < 0) or len(set(ch)) != len(ch):
            raise ValueError(f"{where}: the channel column must hold distinct whole numbers from 0")
        counts = np.full(int(ch.max()) + 1, np.nan)
        counts[ch.astype(int)] = a[:, 1]
    else:
        raise ValueError(f"{where}: {a.shape[1]} columns; expected counts, or channel and counts")
    mask = np.isfinite(counts)
    for c in excluded:
        if not 0 <= c < counts.size:
            raise ValueError(f"{where}: excluded channel {c} is outside 0..{counts.size - 1}")
        mask[c] = False
    return Spectrum(counts, mask, axis, name=name or os.path.basename(where))


def fold(spectrum, mirror=None):
    """The two sweeps of a spectrum added about its mirror point M (channel i with
    2M - i, the partner interpolated linearly when 2M is not a whole number).

    The result holds the channels of the first sweep that have a partner, its axis
    is the first sweep's, and its variance carries the interpolation weights."""
    axis = spectrum.axis
    m = mirror if mirror is not None else (axis.mirror if axis is not None else None)
    if m is None:
        raise ValueError("folding needs a mirror point (a two-sweep axis or mirror=)")
    c, ok = spectrum.counts, spectrum.mask
    n = spectrum.n
    i = np.arange(0, int(math.floor(m)) + 1)
    j = 2.0 * m - i
    keep = (j >= 0) & (j <= n - 1) & (j >= i)
    i, j = i[keep], j[keep]
    a = np.floor(j).astype(int)
    f = j - a
    b = np.minimum(a + 1, n - 1)
    cc = np.where(ok, c, 0.0)
    partner = (1 - f) * cc[a] + f * cc[b]
    good = ok[i] & ok[a] & (ok[b] | (f == 0))
    same = j == i  # the mirror channel itself pairs with itself
    folded = np.where(same, 2 * c[i], c[i] + partner)
    var = np.where(same, 4 * c[i], c[i] + (1 - f) ** 2 * cc[a] + f ** 2 * cc[b])
    lo = int(i[0])
    new_axis = None
    if axis is not None:
        if isinstance(axis, TriangularAxis) or isinstance(axis, LinearAxis):
            new_axis = LinearAxis(i.size, axis.step, axis.zero - lo)
        elif isinstance(axis, SineAxis):
            new_axis = SineAxis(i.size, axis.amplitude, axis.zero - lo, axis.phase_step,
                                axis.channels_per_radian)
    return Spectrum(folded, good, new_axis, var, name=f"{spectrum.name} (folded)",
                    meta={"folded_about": m, "first_channel": lo})
