"""Measured spectra: counts per channel, excluded channels, a velocity axis, the
header's metadata; folding of two sweeps.

Files are read in every form of mosslib.readers (counts; channel and counts from 0 or
1; velocity and counts in either order; multichannel-analyser dumps; named columns;
headers kept as metadata; CRLF, byte-order marks, gzip). A comment '# exclude: 0-3,
511' excludes channels, as do NaN counts and the `exclude=` argument. A velocity
column becomes the spectrum's axis when it follows a drive's formula.
"""

import math
import os
from dataclasses import dataclass, field, replace

import numpy as np

from .axes import LinearAxis, SineAxis, TriangularAxis
from .readers import axis_from_velocities, ranges_mask, read_text

__all__ = ["Spectrum", "read_spectrum", "fold", "find_mirror"]


@dataclass(frozen=True, eq=False)
class Spectrum:
    """counts[i] of data channel i; mask[i] False for an excluded channel; variance
    None for raw Poisson counts (a folded spectrum carries its own)."""
    counts: np.ndarray
    mask: np.ndarray = None
    axis: object = None
    variance: np.ndarray = None
    name: str = ""
    meta: dict = field(default_factory=dict)   # how it was read or made; 'metadata' the header's

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
        if not np.any(c[m] > 0):
            raise ValueError(f"{self.name or 'spectrum'}: every usable count is zero")
        object.__setattr__(self, "counts", c)
        object.__setattr__(self, "mask", m)
        if self.axis is not None and self.axis.n != c.size:
            raise ValueError(f"the axis has {self.axis.n} channels, the spectrum {c.size}")

    @property
    def metadata(self):
        """The file header's key/value pairs (numbers where they read as one; also
        temperature_K, field_T, live_time_s, velocity_range_mm_s where given)."""
        return self.meta.get("metadata", {})

    @property
    def form(self):
        """How the file was read (its columns, where channels were numbered from)."""
        return self.meta.get("form", "")

    def fold(self, mirror=None):
        """The two sweeps added about the mirror point (see fold())."""
        return fold(self, mirror)

    @property
    def n(self):
        return self.counts.size

    @property
    def channels(self):
        return np.arange(self.n)

    def with_axis(self, axis):
        return replace(self, axis=axis)

    def excluding(self, channels):
        """Channels (ints or (first, last) ranges) left out."""
        return replace(self, mask=self.mask & ~ranges_mask(channels, self.n))

    def data_variance(self):
        """Variance of each count: the carried one, or the count itself (at least 1)."""
        if self.variance is not None:
            return np.maximum(self.variance, 1.0)
        return np.maximum(self.counts, 1.0)

    def to_dict(self):
        return {"name": self.name, "counts": self.counts.tolist(),
                "excluded": np.flatnonzero(~self.mask).tolist(),
                "axis": None if self.axis is None else self.axis.to_dict()}



def read_spectrum(path, exclude=(), axis=None, name=None, columns=None, channel_base=None):
    """A Spectrum from a text file in any form of mosslib.readers.

    exclude: channels (ints or (first, last) pairs) left out; axis: the velocity axis
    (else the one a velocity column gives, else None); columns / channel_base: override
    the detected column roles ('velocity,counts', ...) or channel numbering (0 or 1)."""
    where = os.fspath(path)
    r = read_text(path, columns=columns, channel_base=channel_base)
    counts = r.counts
    mask = np.isfinite(counts) & ~ranges_mask(list(r.excluded) + list(exclude), counts.size, where)
    meta = {"form": r.form, "channel_base": r.channel_base, "metadata": r.metadata,
            "header": r.header}
    if r.velocities is not None:
        given, dev = axis_from_velocities(r.velocities, f"{where}: velocity column")
        meta["velocity_column"] = {"axis": given.kind, "max_deviation_mm_s": dev}
        if axis is None:
            axis = given
    return Spectrum(counts, mask, axis, name=name or os.path.basename(where), meta=meta)


def _shifted(y, g):
    """y at positions k + g (0 < g < 1) by a band-limited (Fourier) shift: the straight
    line through the ends taken off, the rest extended oddly so that it is continuous
    round the period, shifted, the line put back. A shift of a sampled line passes
    every frequency with its full amplitude, so it does not widen lines; it is exact
    for a straight line and keeps the noise's variance."""
    L = y.size
    t = np.arange(L, dtype=np.float64)
    slope = (y[-1] - y[0]) / (L - 1)
    r = y - (y[0] + slope * t)
    ext = np.concatenate([r, -r[::-1]])
    k = 2.0 * np.pi * np.fft.rfftfreq(ext.size)
    out = np.fft.irfft(np.fft.rfft(ext) * np.exp(1j * k * g), ext.size)[:L]
    return out + y[0] + slope * (t + g)


def _partner(spectrum, m):
    """Counts of the second sweep at channel 2m - i of every channel i <= m of the first,
    shifted from the second sweep's own channels (no smoothing across the turning
    point); with the partner's validity."""
    c, ok = spectrum.counts, spectrum.mask
    n = spectrum.n
    i = np.arange(0, int(math.floor(m)) + 1)
    j = 2.0 * m - i
    keep = (j >= 0) & (j <= n - 1) & (j >= i)
    i, j = i[keep], j[keep]
    a = np.floor(j).astype(int)
    b = np.minimum(a + 1, n - 1)
    g = float(j[0] - a[0]) if j.size else 0.0
    exact = j == a
    cc = np.where(ok, c, 0.0)
    partner = cc[a].astype(np.float64)
    if g != 0 and j.size:
        start = int(math.floor(m)) + 1
        idx = np.arange(start, n)
        good2 = ok[start:]
        if good2.sum() < 4:
            raise ValueError("folding: fewer than 4 channels beyond the mirror point")
        seg = np.interp(idx, idx[good2], c[start:][good2])
        sh = _shifted(seg, g)
        q = a - start
        inside = q >= 0
        partner = np.where(inside, sh[np.maximum(q, 0)], (1 - g) * cc[a] + g * cc[b])
    good = ok[i] & ok[a] & (ok[b] | exact)
    return i, j, partner, good, exact


def find_mirror(spectrum, lo=None, hi=None):
    """The folding point M (data channel) where channel i best matches 2M - i, with its
    standard error: the minimum of the pairs' chi-square over M, its error where the
    chi-square has risen by the reduced chi-square (at least 1). Searched in [lo, hi]
    (default the middle quarter of the channels: two sweeps meet near the middle, while
    a sweep's own sextet is symmetric about its centre, near a quarter or three)."""
    n = spectrum.n
    lo = 3 * n / 8 if lo is None else lo
    hi = 5 * n / 8 if hi is None else hi

    def chi(m):
        i, j, p, good, _ = _partner(spectrum, m)
        c = spectrum.counts[i][good]
        p = p[good]
        if c.size < 8:
            return math.inf, 0
        return float(np.sum((c - p) ** 2 / np.maximum(c + p, 1.0))), c.size

    grid = np.arange(lo, hi, 0.5)
    per = [(lambda t: t[0] / t[1] if t[1] else math.inf)(chi(m)) for m in grid]
    m0 = float(grid[int(np.argmin(per))])
    fine = np.linspace(m0 - 0.6, m0 + 0.6, 25)
    vals = [chi(m) for m in fine]
    npairs = vals[len(vals) // 2][1]
    y = np.array([v / k * npairs if k else math.inf for v, k in vals])
    k = int(np.argmin(y))
    sel = slice(max(k - 5, 0), min(k + 6, y.size))
    a2, a1, a0 = np.polyfit(fine[sel], y[sel], 2)
    if not a2 > 0:
        raise ValueError("folding: no mirror symmetry found in the counts")
    m = -a1 / (2 * a2)
    if not fine[0] <= m <= fine[-1]:
        m = float(fine[k])
    redchi = max(float(np.min(y)) / max(npairs - 1, 1), 1.0)
    return float(m), float(math.sqrt(redchi / a2)), redchi


def fold(spectrum, mirror=None):
    """The two sweeps of a spectrum added about its mirror point M: channel i with the
    second sweep at 2M - i, shifted from the second sweep's own channels by a
    band-limited shift when 2M is not a whole number (it does not widen the lines as a
    linear interpolation does: bench/bench_fold.py).

    mirror: a channel; None takes the axis's mirror point, or finds it from the data
    (find_mirror; meta['mirror_err'] holds its error). The result holds the channels
    of the first sweep that have a partner, its axis is the first sweep's, and its
    variance carries the interpolation weights."""
    axis = spectrum.axis
    m, err, how = mirror, None, "given"
    if m is None and axis is not None and axis.mirror is not None:
        m, how = axis.mirror, "from the axis"
    if m is None:
        m, err, _ = find_mirror(spectrum)
        how = "found from the data"
    m = float(m)
    if not 0 < m < spectrum.n - 1:
        raise ValueError(f"folding point {m} outside the {spectrum.n} channels")
    c = spectrum.counts
    i, j, partner, good, exact = _partner(spectrum, m)
    if i.size < 2:
        raise ValueError(f"folding about {m}: fewer than 2 channels have a partner")
    same = j == i
    folded = np.where(same, 2 * c[i], c[i] + partner)
    var = np.where(same, 4 * c[i], c[i] + np.maximum(partner, 0.0))
    lo = int(i[0])
    new_axis = None
    if axis is not None:
        if isinstance(axis, (TriangularAxis, LinearAxis)):
            new_axis = LinearAxis(i.size, axis.step, axis.zero - lo)
        elif isinstance(axis, SineAxis):
            new_axis = SineAxis(i.size, axis.amplitude, axis.zero - lo, axis.phase_step,
                                axis.channels_per_radian)
    meta = {"folded_about": m, "mirror_err": err, "mirror_from": how, "first_channel": lo,
            "metadata": dict(spectrum.metadata), "form": spectrum.form}
    return Spectrum(folded, good, new_axis, var, name=f"{spectrum.name} (folded)", meta=meta)
