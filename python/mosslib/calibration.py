"""Velocity calibration from an alpha-iron foil, whatever the drive and the file.

The foil's sextet is fitted with its outer-line span held at the reference (default
10.657 mm/s for 33.0 T, mosslib.conventions) and its centre shift at 0, which removes
the two exact degeneracies of a linear drive (field with velocity scale, centre shift
with zero channel). Free: the drive (velocity per channel, zero channel and mirror point
of two sweeps; or amplitude and zero channel of a sine), the quadrupole shift, widths
and intensities (mirror lines tied) and a quadratic baseline per sweep.

Starting values come from the foil's own dips: the dips of one sweep are matched to
the reference lines they can be (lines partly outside the window are left out of the
match, and the intensity and width of a line outside the window are held), which gives
the scale and the zero. Two sweeps are recognised when the counts are mirror-symmetric
about a point in the middle half and each side holds at least four lines of the
sextet (a single sweep's own symmetry leaves three a side). A folded foil and a foil
with a velocity column are one sweep; a sine drive is declared (drive='sine').

A symmetric foil cannot tell which way the drive runs: velocity rising with channel in
the first sweep is assumed unless velocity_decreasing=True, and the report says which.

The calibration's covariance (its axis parameters) travels with every spectrum it is
applied to (Spectrum.meta['calibration']); a fit of that spectrum adds it to its
errors: with J the residuals' derivatives by the fitted parameters and J_a by the axis
parameters at the optimum, the fitted values move by S = -(J'J)^-1 J'J_a per unit of
axis parameter, and S C S' (C the calibration's covariance) is added to the fit's
covariance (errors combined in quadrature).
"""

import itertools
import math
from dataclasses import dataclass, field

import numpy as np

from .axes import LinearAxis, SineAxis, TriangularAxis
from .components import Baseline, Component, Transmission
from .conventions import ALPHA_IRON_FIELD_T, ALPHA_IRON_OUTER_SPAN, carry_calibration  # noqa: F401

__all__ = ["Calibration", "calibrate", "carry_calibration"]


@dataclass
class Calibration:
    """The drive's axis from a foil: kind 'linear', 'triangular' or 'sine'; velocity per
    channel (mm/s), zero channel and mirror point (data channels from 0), or the sine's
    amplitude and channels per radian; each with its standard error, and the covariance
    of the axis parameters (names in `names`). `result` is the foil's FitResult."""
    n: int
    step: float
    step_err: float
    zero: float
    zero_err: float
    mirror: float = None
    mirror_err: float = None
    redchi: float = math.nan
    result: object = None
    kind: str = None
    amplitude: float = None
    amplitude_err: float = None
    channels_per_radian: float = None
    names: tuple = ()
    covariance: list = None
    velocity_decreasing: bool = False
    reference_span: float = ALPHA_IRON_OUTER_SPAN
    reference_field: float = ALPHA_IRON_FIELD_T
    lines: tuple = ()
    success: bool = True
    message: str = ""
    source: str = ""
    notes: list = field(default_factory=list)
    direction_from: str = "assumed"   # 'assumed', 'declared' or 'the given axis'

    def __post_init__(self):
        if self.kind is None:
            self.kind = "linear" if self.mirror is None else "triangular"

    def axis(self, n=None):
        n = self.n if n is None else n
        if n != self.n:
            raise ValueError(f"the calibration is for {self.n} channels, the spectrum has {n}")
        if self.kind == "sine":
            return SineAxis(n, self.amplitude, self.zero,
                            channels_per_radian=self.channels_per_radian)
        if self.mirror is None:
            return LinearAxis(n, self.step, self.zero)
        return TriangularAxis(n, self.step, self.zero, self.mirror)

    def apply(self, spectrum):
        """The spectrum on the calibrated velocity axis, carrying the calibration's
        covariance into every fit of it."""
        from dataclasses import replace
        meta = dict(spectrum.meta)
        meta["calibration"] = {"names": list(self.names), "covariance": self.covariance,
                               "source": self.source}
        return replace(spectrum, axis=self.axis(spectrum.n), meta=meta)

    @property
    def doubtful(self):
        """Why this calibration should not be used (None if sound)."""
        errs = [self.step_err if self.kind != "sine" else self.amplitude_err, self.zero_err]
        if self.kind == "triangular":
            errs.append(self.mirror_err)
        if not self.success:
            return f"the fit did not converge ({self.message})"
        if any(e is None or not math.isfinite(e) for e in errs):
            return "the errors of the drive could not be estimated"
        if not self.redchi < 25:
            return f"the sextet does not describe the foil (reduced chi-square {self.redchi:.4g})"
        return None

    def to_dict(self):
        return {"channels": self.n, "kind": self.kind, "velocity_per_channel": self.step,
                "velocity_per_channel_err": self.step_err, "zero_channel": self.zero,
                "zero_channel_err": self.zero_err, "mirror_point": self.mirror,
                "mirror_point_err": self.mirror_err, "amplitude": self.amplitude,
                "amplitude_err": self.amplitude_err,
                "channels_per_radian": self.channels_per_radian,
                "names": list(self.names), "covariance": self.covariance,
                "velocity_decreasing": self.velocity_decreasing,
                "reference_span_mm_s": self.reference_span,
                "reference_field_T": self.reference_field, "lines": list(self.lines),
                "redchi": self.redchi, "success": self.success, "source": self.source}

    @classmethod
    def from_dict(cls, d, source=""):
        keys = {"channels": "n", "velocity_per_channel": "step",
                "velocity_per_channel_err": "step_err", "zero_channel": "zero",
                "zero_channel_err": "zero_err", "mirror_point": "mirror",
                "mirror_point_err": "mirror_err", "amplitude": "amplitude",
                "amplitude_err": "amplitude_err", "channels_per_radian": "channels_per_radian",
                "names": "names", "covariance": "covariance", "kind": "kind",
                "velocity_decreasing": "velocity_decreasing",
                "reference_span_mm_s": "reference_span", "reference_field_T": "reference_field",
                "lines": "lines", "redchi": "redchi", "success": "success"}
        kw = {v: d[k] for k, v in keys.items() if k in d and d[k] is not None}
        kw["n"] = int(kw["n"])
        kw.setdefault("step_err", None)
        kw.setdefault("zero_err", None)
        kw["names"] = tuple(kw.get("names", ()))
        kw["source"] = source or d.get("source", "")
        return cls(**kw)

    def report(self):
        def pm(x, e, fmt):
            return f"{x:{fmt}} +/- " + (f"{e:{fmt}}" if e is not None else "(not estimated)")

        lines = [f"Velocity calibration ({self.n} channels, {self.kind} drive; alpha-iron "
                 f"outer span {self.reference_span} mm/s at {self.reference_field} T):"]
        if self.kind == "sine":
            lines.append(f"  amplitude            {pm(self.amplitude, self.amplitude_err, '.6f')} mm/s")
            lines.append(f"  channels per radian  {self.channels_per_radian:.6f} (held)")
        else:
            lines.append(f"  velocity per channel {pm(self.step, self.step_err, '.6f')} mm/s")
        lines.append(f"  zero channel         {pm(self.zero, self.zero_err, '.4f')}")
        if self.mirror is not None:
            lines.append(f"  mirror point         {pm(self.mirror, self.mirror_err, '.4f')}")
        falling = self.velocity_decreasing
        why = {"assumed": "assumed: a symmetric foil cannot tell; --velocity-decreasing for the other",
               "declared": "as declared"}.get(self.direction_from, f"from {self.direction_from}")
        lines.append(f"  drive direction      velocity {'falling' if falling else 'rising'} "
                     f"with channel in the first sweep ({why})")
        if self.lines:
            lines.append(f"  lines in the window  {', '.join(map(str, self.lines))}")
        lines.append(f"  reduced chi-square   {self.redchi:.4g}")
        lines += [f"  note: {t}" for t in self.notes]
        why = self.doubtful
        if why:
            lines.append(f"  DOUBTFUL: {why}")
        return "\n".join(lines) + "\n"


# ---- the foil's own dips -------------------------------------------------------------

def _dips(counts, mask, lo, hi):
    """(channel, depth) of the significant dips in channels [lo, hi)."""
    lo, hi = max(int(lo), 0), min(int(math.ceil(hi)), counts.size)
    if hi - lo < 8:
        return []
    ok = mask[lo:hi]
    c = np.where(ok, counts[lo:hi], np.nan)
    top = float(np.nanpercentile(c, 90))
    if not top > 0:
        return []
    depth = np.nan_to_num(top - c)
    sm = np.convolve(depth, np.ones(3) / 3, mode="same")
    noise = math.sqrt(top / 3.0)
    peak = float(np.max(sm))
    thresh = max(6 * noise, 0.12 * peak)
    out = []
    k = 1
    while k < sm.size - 1:
        if sm[k] >= thresh and sm[k] >= sm[k - 1] and sm[k] > sm[k + 1]:
            a, b, cc = sm[k - 1], sm[k], sm[k + 1]
            den = a - 2 * b + cc
            off = 0.5 * (a - cc) / den if den < 0 else 0.0
            # weighted centre of the run above half this dip's depth
            l, r = k, k
            while l > 0 and b / 2 < sm[l - 1] <= sm[l]:
                l -= 1
            while r < sm.size - 1 and b / 2 < sm[r + 1] <= sm[r]:
                r += 1
            w = sm[l:r + 1] - b / 2
            centre = float(np.sum(np.arange(l, r + 1) * w) / np.sum(w)) if w.sum() > 0 else k + off
            if out and lo + centre - out[-1][0] < 2.0:
                if b > out[-1][1]:
                    out[-1] = (lo + centre, b)
            else:
                out.append((lo + centre, float(b)))
            k = r + 1
            continue
        k += 1
    return out


def _match(x, depth, pattern, intensities):
    """The lines (indices into pattern) the dips at coordinates x are, and (a, b) with
    x = a + b * velocity: the best straight-line match of a subset of at least three
    dips to as many reference lines, ties broken by the depths against the intensities."""
    x, depth = np.asarray(x, dtype=float), np.asarray(depth, dtype=float)
    if x.size > 10:   # the ten deepest: a sextet has six lines a sweep
        keep = np.sort(np.argsort(depth)[-10:])
        x, depth = x[keep], depth[keep]
    order = np.argsort(x)
    x, depth = x[order], depth[order]
    best = None
    for m in range(min(len(x), 6), 2, -1):
        for dsub in itertools.combinations(range(len(x)), m):
            xs = x[list(dsub)]
            for lsub in itertools.combinations(range(6), m):
                p = pattern[list(lsub)]
                pm, xm = p.mean(), xs.mean()
                b = float(np.dot(p - pm, xs - xm) / np.dot(p - pm, p - pm))
                a = xm - b * pm
                if not b > 0:
                    continue
                rms = float(np.sqrt(np.mean((a + b * p - xs) ** 2)))
                spread = b * (p[-1] - p[0])
                score = rms / spread
                dd = depth[list(dsub)]
                corr = np.corrcoef(dd, intensities[list(lsub)])[0, 1] if m > 2 and np.std(dd) > 0 \
                    and np.std(intensities[list(lsub)]) > 0 else 0.0
                key = (score > 0.01, -m, score - 0.002 * corr)
                if best is None or key < best[0]:
                    best = (key, lsub, a, b, score)
        if best is not None and not best[0][0]:
            break
    if best is None or best[4] > 0.03:
        return None
    return best[1], best[2], best[3]


_SPAN33 = []


def _span33():
    """The outer-line span (mm/s) the sextet models give at 33 T."""
    if not _SPAN33:
        comp = Component("sextgen", prefix="fe_")
        vals = comp.make_params().valuesdict()
        vals.update({"fe_centre_shift": 0.0, "fe_quadrupole_shift": 0.0, "fe_field_T": 33.0})
        c = comp.line_centres(vals, LinearAxis(4096, 0.005, 2048))
        _SPAN33.append(c[-1] - c[0])
    return _SPAN33[0]


def _pattern(model, reference_span):
    """Velocities of the six reference lines (centre 0, no quadrupole shift) as the
    calibration model places them with its outer-line span at the reference."""
    comp = Component("sextgen", prefix="fe_")   # the sextets share their line constants
    n = 4096
    ax = LinearAxis(n, 0.005, n / 2)
    p = comp.make_params()
    vals = p.valuesdict()
    vals.update({"fe_centre_shift": 0.0, "fe_quadrupole_shift": 0.0, "fe_field_T": 33.0})
    for k in range(1, 7):
        vals[f"fe_width{k}"] = 0.05
    c = np.array(comp.line_centres(vals, ax))
    c *= reference_span / (c[-1] - c[0])
    return c - c.mean()


# ---- calibration -----------------------------------------------------------------------

def _unit_axis(kind, n, zero, mirror, direction, cpr):
    if kind == "sine":
        return SineAxis(n, 1.0, zero, channels_per_radian=cpr)
    if kind == "triangular":
        return TriangularAxis(n, float(direction), zero, mirror)
    return LinearAxis(n, float(direction), zero)


def _v_at(axis, ch):
    """Velocities of the axis at fractional channels (segment formulas)."""
    out = []
    for x in np.atleast_1d(ch):
        for s in axis.segments():
            if s.start <= x < s.stop or (s is axis.segments()[-1] and x >= s.start):
                if s.kind == "linear":
                    out.append((x - s.zero) * s.scale)
                elif s.kind == "sine-step":
                    out.append(s.scale * math.sin((x - s.zero) * s.rate))
                else:
                    out.append(s.scale * math.sin((x - s.zero) / s.rate))
                break
    return np.array(out)


def calibrate(foil, two_sweeps=None, model=None, baseline=2, weights="data", axis=None,
              velocity_decreasing=False, drive=None, channels_per_radian=None,
              reference_span=ALPHA_IRON_OUTER_SPAN, reference_field=ALPHA_IRON_FIELD_T,
              thickness=None):
    """Calibrate the velocity axis from an alpha-iron foil spectrum (module docstring).

    two_sweeps: None decides from the data; axis: a starting axis (default the foil's
    own, from a velocity column, else found from the dips); drive: 'linear' (default) or
    'sine' (channels_per_radian default n / 2 pi: one period over the channels);
    velocity_decreasing: the drive's direction in the first sweep; reference_span and
    reference_field: the foil's outer-line span (mm/s) and the field it stands for;
    thickness: a thick foil, as Transmission(..., thickness=...) (t_a and f_s fitted)."""
    n = foil.n
    m = foil.mask
    notes = []
    if reference_span <= 0 or reference_field <= 0:
        raise ValueError("the reference span and field must be positive")
    direction = -1 if velocity_decreasing else 1
    axis = axis if axis is not None else foil.axis
    if drive not in (None, "linear", "sine"):
        raise ValueError(f"drive {drive!r}: linear or sine")
    if axis is not None:
        kind = axis.kind
    elif drive == "sine":
        kind = "sine"
    else:
        kind = None
    model = model or ("sextgen_sl" if kind == "sine" else "sextgen")
    pattern = _pattern(model, reference_span)
    intens = np.array([3.0, 2.0, 1.0, 1.0, 2.0, 3.0])

    def first_sweep_dips(lo, hi):
        return _dips(foil.counts, m, lo, hi)

    if axis is not None:
        # a given axis (a velocity column, a nominal drive): the dips on it rescale it
        sweep0 = axis.sweeps() == 0
        ch = np.flatnonzero(sweep0)
        dips = [d for d in first_sweep_dips(ch[0], ch[-1] + 1)
                if sweep0[min(int(round(d[0])), n - 1)]]
        x = _v_at(axis, [d[0] for d in dips])
        got = _match(x, [d[1] for d in dips], pattern, intens)
        if got is None:
            raise ValueError(f"{foil.name}: no alpha-iron sextet found on the given axis "
                             f"({len(dips)} dips)")
        lines, a, b = got
        start = _rescaled(axis, a, b)
        kind = axis.kind
        velocity_decreasing = bool(np.mean(np.diff(start.velocities()[sweep0])) < 0)
    else:
        if kind == "sine":
            cpr = channels_per_radian or n / (2 * math.pi)
            from .measurement import find_mirror
            # the counts are symmetric about the turning points and about the sextet's
            # centre a quarter period away: the turning point is where one sweep's dips
            # are the sextet on the sine
            M0, _, _ = find_mirror(foil)
            best = None
            for M in (M0, M0 - cpr * math.pi / 2, M0 + cpr * math.pi / 2):
                if not n / 8 < M < n - 1:
                    continue
                zero = M - direction * cpr * math.pi / 2
                d = first_sweep_dips(max(0.0, M - cpr * math.pi), M)
                u = _unit_axis("sine", n, zero, None, direction, cpr)
                g = _match(_v_at(u, [q[0] for q in d]), [q[1] for q in d], pattern, intens) \
                    if len(d) >= 3 else None
                if g is not None and (best is None or len(g[0]) > len(best[1][0])):
                    best = (M, g, d, u)
            if best is None:
                raise ValueError(f"{foil.name}: no alpha-iron sextet found on a sine drive "
                                 f"of {cpr:.6g} channels per radian")
            M, _, dips, unit = best
        else:
            cpr = None
            M, dips1, dips2 = None, None, None
            if two_sweeps is not False:
                from .measurement import find_mirror
                try:
                    M, _, _ = find_mirror(foil)
                    dips1, dips2 = first_sweep_dips(0, M), first_sweep_dips(M, n)
                except ValueError:
                    M = None
            if two_sweeps is None:
                two_sweeps = bool(M is not None and len(dips1) >= 4 and len(dips2) >= 4
                                  and _match(np.array([d[0] for d in dips2]), [d[1] for d in dips2],
                                             pattern, intens) is not None
                                  and _match(np.array([d[0] for d in dips1]), [d[1] for d in dips1],
                                             pattern, intens) is not None)
                notes.append(f"{'two sweeps' if two_sweeps else 'one sweep'} recognised "
                             f"from the counts")
            if two_sweeps:
                if M is None:
                    raise ValueError(f"{foil.name}: no mirror symmetry for two sweeps")
                dips = dips1
                kind = "triangular"
                zero = M / 2
            else:
                dips = first_sweep_dips(0, n)
                kind = "linear"
                zero = n / 2
            unit = _unit_axis(kind, n, zero, M, direction, None)
        x = _v_at(unit, [d[0] for d in dips])
        got = _match(x, [d[1] for d in dips], pattern, intens)
        if got is None:
            raise ValueError(f"{foil.name}: no alpha-iron sextet found among {len(dips)} dips "
                             f"(at least three of its lines must lie in the window)")
        lines, a, b = got
        start = _rescaled(unit, a, b)
    cal = _fit_foil(foil, start, model, baseline, weights, [k + 1 for k in lines], notes,
                    velocity_decreasing, reference_span, reference_field, pattern, thickness=thickness)
    cal.direction_from = "the given axis" if axis is not None else \
        "declared" if velocity_decreasing else "assumed"
    return cal


def _rescaled(axis, a, b):
    """The axis whose velocities are (v - a) / b of the given one's."""
    if axis.kind == "sine":
        return SineAxis(axis.n, axis.amplitude / b, axis.zero,
                        channels_per_radian=axis.channels_per_radian) \
            if axis.channels_per_radian is not None else \
            SineAxis(axis.n, axis.amplitude / b, axis.zero, phase_step=axis.phase_step)
    step = axis.step / b
    zero = axis.zero + a / axis.step
    if axis.kind == "triangular":
        return TriangularAxis(axis.n, step, zero, axis.mirror)
    return LinearAxis(axis.n, step, zero)


def _fit_foil(foil, axis, model, baseline, weights, lines, notes, decreasing, span, field_T,
              pattern, thickness=None):
    from .fitting import fit
    spectrum = foil.with_axis(axis)
    comp = Component(model, prefix="fe_")
    if thickness is True:
        thickness = {"vary_f_s": True}
    tm = Transmission(comp, baseline=Baseline(baseline, per_sweep=axis.n_sweeps > 1),
                      thickness=thickness)
    params = tm.make_params(spectrum)
    for nm in ("fe_width", *(f"fe_width{k}" for k in range(1, 7))):
        if nm in params:
            params[nm].set(value=0.25)
    comp.pair_lines(params)
    for name in axis.param_names:
        if name not in ("channels_per_radian", "phase_step"):
            params["axis_" + name].set(vary=True)
    # the field that gives the reference span (the sextets share their line constants)
    params["fe_field_T"].set(value=33.0 * span / _span33(), vary=False)
    params["fe_centre_shift"].set(value=0.0, vary=False)
    params["fe_quadrupole_shift"].set(value=0.0)
    # a line outside the window: its intensity and width cannot be fitted
    v = axis.velocities()[foil.mask]
    vmin, vmax = float(v.min()), float(v.max())
    for k, p in enumerate(pattern, 1):
        if not vmin + 0.1 < p < vmax - 0.1:
            for stem in ("intensity", "width"):
                for kk in (k, 7 - k):
                    nm = f"fe_{stem}{kk}"
                    if nm in params and not params[nm].expr:
                        params[nm].set(vary=False)
            if f"line {k}" not in " ".join(notes):
                notes.append(f"line {k} lies outside the window: its intensity and width held")
    tm.guess(spectrum, params)
    result = fit(spectrum, tm, params, weights=weights)
    e = result.stderr
    names = tuple("axis_" + k for k in axis.param_names if params["axis_" + k].vary)
    cov = _covariance(result, names)
    val = result.values
    kw = dict(n=foil.n, step=val.get("axis_step"), step_err=e.get("axis_step"),
              zero=val["axis_zero"], zero_err=e.get("axis_zero"),
              mirror=val.get("axis_mirror"), mirror_err=e.get("axis_mirror"),
              redchi=result.redchi, result=result, kind=axis.kind,
              names=tuple(k[5:] for k in names), covariance=cov, velocity_decreasing=decreasing,
              reference_span=span, reference_field=field_T, lines=tuple(lines),
              success=bool(result.success), message=result.message, source=foil.name,
              notes=notes)
    if axis.kind == "sine":
        kw.update(amplitude=val["axis_amplitude"], amplitude_err=e.get("axis_amplitude"),
                  channels_per_radian=val.get("axis_channels_per_radian"), step=None,
                  step_err=None)
    return Calibration(**kw)


def _covariance(result, names):
    out = []
    for a in names:
        row = []
        for b in names:
            ea, eb = result.stderr.get(a), result.stderr.get(b)
            if ea is None or eb is None:
                return None
            r = 1.0 if a == b else result.correl.get((a, b), result.correl.get((b, a), 0.0))
            row.append(r * ea * eb)
        out.append(row)
    return out
