"""Starting values from the data: the dips of the measured spectrum, assigned to the
model's components by their line patterns.

1. Baseline: a polynomial in velocity (per sweep, degree at most 2) fitted to the
   channels that do not lie significantly below it (clipped iteratively, Poisson
   errors), giving the relative absorption a = 1 - counts/baseline of every channel.
2. Dips: a on a velocity grid of one channel's step (the sweeps added), smoothed with a
   Gaussian of one grid step; a dip is a local maximum whose smoothed depth exceeds
   Z_WEAK times its Poisson error and which stands out of its neighbours' tails by as
   much (prominence); weak dips only propose candidates, the assignment decides.
   Each dip gives a velocity, a depth and a FWHM (the smoothing removed).
3. Candidates per component, from the dips: a sextet from any two dips taken as one of
   its mirror line pairs (1-6, 2-5, 3-4), its field, centre shift and quadrupole shift
   then refined on every line that falls on a dip; a doublet from any two dips (its
   splitting and centre shift) or from one dip (a singlet); the line pattern of a
   sextet (line positions per tesla and per unit of quadrupole shift) is measured on
   the component's own model, never restated here. Each candidate is drawn with the
   model itself at unit area and its amplitude found by weighted least squares.
4. Assignment: the candidates of all components together, by a beam search over
   combinations, each combination scored by the chi-square of a non-negative least
   squares fit of its drawn profiles (plus a constant) to the absorption. Components of
   one model are ordered by field (or splitting), largest first.
5. Models without a closed line pattern (ttt, parl, the interference sextet) start from
   the catalogue's example values, centred on the absorption's centroid and scaled to
   its depth where they have an area or amplitude. With no dip in the data, the
   catalogue's examples are the last resort (scaled to the depth the same way).

Values the user gave (names in `keep`), fixed parameters and tied ones are never
changed. Everything here is deterministic.
"""

import math
import re
from dataclasses import dataclass

import numpy as np
from scipy.optimize import nnls
from scipy.signal import find_peaks

__all__ = ["Dip", "Profile", "profile", "data_starts", "apply_start", "perturb"]

Z_WEAK = 3.0
MAX_DIPS = 20
PER_COMPONENT = 24
BEAM = 16
FIELD_RANGE = (2.0, 70.0)     # T, of a sextet proposed from two dips
MAX_SPLITTING = 5.0           # mm/s, of a doublet proposed from two dips

_AMOUNT = re.compile(r"(area|amplitude)")
_WIDTHS = re.compile(r"width\d*")


@dataclass
class Dip:
    velocity: float
    depth: float
    fwhm: float
    z: float


@dataclass
class Profile:
    """The data as relative absorption: per fitted channel velocity v, absorption a and
    weight w (1/variance); the baseline's polynomial per sweep; the grid step h; dips."""
    v: np.ndarray
    a: np.ndarray
    w: np.ndarray
    baseline: list
    h: float
    dips: list
    form: str

    @property
    def window(self):
        return float(self.v.min()), float(self.v.max())


def _robust_poly(v, d, var, degree, sign):
    """Polynomial through the points not significantly on the `sign` side of it
    (sign -1: dips below a transmission baseline)."""
    keep = d >= np.median(d) if sign < 0 else d <= np.median(d)
    coef = np.array([np.median(d)] + [0.0] * degree)
    for _ in range(12):
        if keep.sum() <= degree + 1:
            break
        x = v[keep]
        span = max(np.ptp(x), 1e-12)
        deg = degree if span > 0 else 0
        c = np.polynomial.polynomial.polyfit(v[keep], d[keep], deg, w=1.0 / np.sqrt(var[keep]))
        coef = np.zeros(degree + 1)
        coef[:len(c)] = c
        r = (d - np.polynomial.polynomial.polyval(v, coef)) / np.sqrt(var)
        new = r > -2.5 if sign < 0 else r < 2.5
        if np.array_equal(new, keep):
            break
        keep = new
    return coef


def profile(spectrum, model):
    """The Profile of a spectrum under a model (its form and baseline)."""
    m = spectrum.mask
    axis = spectrum.axis
    v_all = axis.velocities()
    var_all = spectrum.data_variance()
    d, v, var = spectrum.counts[m], v_all[m], var_all[m]
    bl = model.baseline
    sweeps_all = axis.sweeps() if bl.per_sweep else np.zeros(axis.n, dtype=int)
    sw = sweeps_all[m]
    transmission = model.form == "transmission"
    base = np.zeros_like(d)
    coefs = []
    if bl.fixed is not None:
        base[:] = float(bl.fixed)
    else:
        degree = min(bl.degree, 2)
        for s in range(int(sweeps_all.max()) + 1):
            k = sw == s
            if not k.any():
                coefs.append(np.zeros(degree + 1))
                continue
            c = _robust_poly(v[k], d[k], var[k], degree, -1 if transmission else 1)
            coefs.append(c)
            base[k] = np.polynomial.polynomial.polyval(v[k], c)
    if transmission:
        good = base > 0
        b = np.where(good, base, 1.0)
        a = 1.0 - d / b
        w = np.where(good, b * b / var, 0.0)
    else:
        a = d - base
        w = 1.0 / var
    h = _grid_step(v_all, sweeps_all, m)
    p = Profile(v=v, a=a, w=w, baseline=coefs, h=h, dips=[], form=model.form)
    p.dips = find_dips(p)
    return p


def _grid_step(v, sweeps, mask):
    dv = np.abs(np.diff(v))
    same = (sweeps[1:] == sweeps[:-1]) & mask[1:] & mask[:-1] & np.isfinite(dv) & (dv > 0)
    return float(np.median(dv[same])) if same.any() else float(np.ptp(v) / max(v.size - 1, 1))


def find_dips(p, width=None):
    """Dips at two scales: smoothed over one grid step (narrow lines), and over a
    line's width (the FWHM of the dips found, or `width`, in mm/s), where weak broad
    lines stand out better; a broad-scale dip is added where no narrow one lies."""
    narrow = _dips(p, 1.0)
    if width is None:
        width = float(np.median([d.fwhm for d in narrow])) if narrow else None
    if not width or not p.h > 0:
        return narrow
    sigma = 0.6 * width / p.h
    if sigma < 1.5:
        return narrow
    out = list(narrow)
    for d in _dips(p, min(sigma, 20.0)):
        if all(abs(d.velocity - o.velocity) > max(0.5 * o.fwhm, 2 * p.h) for o in narrow):
            out.append(d)
    out.sort(key=lambda d: -d.z)
    return sorted(out[:MAX_DIPS], key=lambda d: d.velocity)


def _dips(p, sigma=1.0):
    """Significant local maxima of the absorption on the velocity grid, smoothed with
    a Gaussian of sigma grid steps."""
    h = p.h
    lo, hi = p.window
    if not (h > 0 and hi > lo):
        return []
    nb = int(math.floor((hi - lo) / h)) + 1
    idx = np.clip(np.rint((p.v - lo) / h).astype(int), 0, nb - 1)
    W = np.bincount(idx, weights=p.w, minlength=nb)
    WA = np.bincount(idx, weights=p.w * p.a, minlength=nb)
    half = int(math.ceil(3 * sigma))
    k = np.exp(-0.5 * (np.arange(-half, half + 1) / sigma) ** 2)
    sw = np.convolve(W, k, mode="same")
    swa = np.convolve(WA, k, mode="same")
    sw2 = np.convolve(W, k * k, mode="same")
    with np.errstate(invalid="ignore", divide="ignore"):
        s = np.where(sw > 0, swa / sw, np.nan)
        err = np.where(sw > 0, np.sqrt(sw2) / sw, np.nan)
        z = s / err
    grid = lo + h * np.arange(nb)
    found = []
    filled = np.where(np.isfinite(s), s, np.nanmin(s) if np.isfinite(s).any() else 0.0)
    peaks, props = find_peaks(filled, prominence=0.0)
    for i, prom in zip(peaks, props["prominences"]):
        # significant, and standing out of its neighbours' tails by Z_WEAK errors
        if not (z[i] > Z_WEAK and prom > Z_WEAK * err[i]):
            continue
        y0, y1, y2 = s[i - 1], s[i], s[i + 1]
        den = y0 - 2 * y1 + y2
        off = 0.5 * (y0 - y2) / den if den < 0 else 0.0
        half = y1 / 2
        width = 0.0
        for step in (-1, 1):
            j, prev = i, y1
            while 0 <= j + step < nb and s[j + step] > half and s[j + step] <= prev:
                j += step
                prev = s[j]
            if 0 <= j + step < nb and s[j + step] <= half and prev > s[j + step]:
                width += abs(j - i) + (prev - half) / (prev - s[j + step])
            else:
                width += abs(j - i) + 0.5
        fwhm = h * math.sqrt(max(width * width - (2.355 * sigma) ** 2, 1.0))
        found.append(Dip(velocity=float(grid[i] + off * h), depth=float(y1), fwhm=float(fwhm),
                         z=float(z[i])))
    found.sort(key=lambda d: -d.z)
    return sorted(found[:MAX_DIPS], key=lambda d: d.velocity)


# -- line patterns of the components -----------------------------------------------

def _kind(c):
    names = c.param_names
    if {"field_T", "centre_shift", "quadrupole_shift"} <= set(names) and \
            sum(1 for n in names if re.fullmatch(r"intensity\d", n)) == 6:
        return "sextet"
    if {"quadrupole_splitting", "centre_shift", "area"} <= set(names) and "eta" not in names:
        return "doublet"
    return "other"


_PATTERNS = {}


def _sextet_pattern(c, axis, h):
    """(positions per tesla, shifts per unit quadrupole shift) of lines 1-6, measured on
    the model: lines probed one by one at a field filling half the window."""
    key = c.model
    if key in _PATTERNS:
        return _PATTERNS[key]
    v = axis.velocities()
    centre = float((v.max() + v.min()) / 2)
    vals = {n: p.value for n, p in c.make_params().items()}
    pre = c.prefix
    vals[pre + "centre_shift"] = centre
    vals[pre + "quadrupole_shift"] = 0.0
    for n in c.param_names:
        if _WIDTHS.fullmatch(n):
            vals[pre + n] = 3 * h
    b0 = abs(vals[pre + "field_T"]) or 33.0
    vals[pre + "field_T"] = b0
    try:
        x = np.array(c.line_centres(vals, axis))
        span = x[-1] - x[0]
        if not np.all(np.isfinite(x)) or span <= 0:
            raise ValueError
    except ValueError:
        # the example's field overflows the window: halve it until the lines fit
        for _ in range(8):
            b0 /= 2
            vals[pre + "field_T"] = b0
            x = np.array(c.line_centres(vals, axis))
            if np.all(np.isfinite(x)):
                break
        else:
            return None
        span = x[-1] - x[0]
    b1 = b0 * (0.5 * np.ptp(v)) / span
    vals[pre + "field_T"] = b1
    x0 = np.array(c.line_centres(vals, axis))
    q = 0.05 * np.ptp(v)
    vals[pre + "quadrupole_shift"] = q
    xq = np.array(c.line_centres(vals, axis))
    if not (np.all(np.isfinite(x0)) and np.all(np.isfinite(xq))):
        return None
    pat = ((x0 - centre) / b1, (xq - x0) / q)
    _PATTERNS[key] = pat
    return pat


# -- candidates ----------------------------------------------------------------------

@dataclass
class _Cand:
    values: dict      # unprefixed parameter values this candidate sets
    profiles: list = None   # absorption columns at unit area on the fitted channels
    split: bool = False     # two columns: lines 1, 3, 4, 6 and lines 2, 5 of a sextet
    amp: np.ndarray = None
    gain: float = 0.0
    key: tuple = ()


def _median_fwhm(dips, h):
    f = [d.fwhm for d in dips]
    return float(np.median(f)) if f else 3 * h


def _sextet_cands(c, p, axis):
    pat = _sextet_pattern(c, axis, p.h)
    if pat is None:
        return []
    u, dq = pat
    dips = p.dips
    x = np.array([d.velocity for d in dips])
    tol_of = lambda d: max(0.75 * d.fwhm, 1.5 * p.h)
    out = {}
    for i in range(len(dips)):
        for j in range(i + 1, len(dips)):
            for k in range(3):
                su = u[5 - k] - u[k]
                B = (x[j] - x[i]) / su
                if not FIELD_RANGE[0] <= B <= FIELD_RANGE[1]:
                    continue
                cs = (x[i] + x[j]) / 2 - B * (u[k] + u[5 - k]) / 2
                qs = 0.0
                # refined on the lines that fall on dips: first within a quadrupole
                # shift's reach, then within the dips' widths
                for wide in (0.4, 0.0, 0.0):
                    pred = cs + B * u + qs * dq
                    rows, ys, used = [], [], []
                    for line, xp in enumerate(pred):
                        n = int(np.argmin(np.abs(x - xp)))
                        if abs(x[n] - xp) <= max(tol_of(dips[n]), wide):
                            rows.append([1.0, u[line], dq[line]])
                            ys.append(x[n])
                            used.append(dips[n])
                    if len(rows) < 4:
                        break
                    sol, *_ = np.linalg.lstsq(np.array(rows), np.array(ys), rcond=None)
                    if not (FIELD_RANGE[0] <= sol[1] <= FIELD_RANGE[1] and abs(sol[2]) < 1.5):
                        break
                    cs, B, qs = (float(t) for t in sol)
                pred = cs + B * u + qs * dq
                near = [dips[int(np.argmin(np.abs(x - xp)))] for xp in pred]
                width = _median_fwhm([d for d, xp in zip(near, pred)
                                      if abs(d.velocity - xp) <= tol_of(d)], p.h)
                key = (round(B / 0.05), round(cs / (0.5 * p.h)), round(qs / (0.5 * p.h)))
                out.setdefault(key, {"field_T": B, "centre_shift": cs, "quadrupole_shift": qs,
                                     "_width": width})
    return list(out.values())


def _doublet_cands(c, p, partner=False):
    """Doublets from two dips, singlets from one; with partner, also each dip with a
    partner line the data do not show (hidden under another component's line) at
    every splitting up to MAX_SPLITTING on either side."""
    dips = p.dips
    out = {}
    if partner:
        lo, hi = p.window
        for d in dips:
            step = max(d.fwhm / 2, p.h)
            for q in np.arange(max(d.fwhm, 2 * p.h), MAX_SPLITTING + step / 2, step):
                for cs in (d.velocity - q / 2, d.velocity + q / 2):
                    if lo < cs - q / 2 and cs + q / 2 < hi:
                        key = (round(q / (0.5 * p.h)), round(2 * cs / p.h))
                        out.setdefault(key, {"quadrupole_splitting": float(q),
                                             "centre_shift": float(cs), "_width": d.fwhm})
    for i, di in enumerate(dips):
        for dj in dips[i + 1:]:
            sep = dj.velocity - di.velocity
            if 0 < sep <= MAX_SPLITTING:
                key = (round(sep / (0.5 * p.h)), round((di.velocity + dj.velocity) / p.h))
                out.setdefault(key, {"quadrupole_splitting": sep,
                                     "centre_shift": (di.velocity + dj.velocity) / 2,
                                     "_width": (di.fwhm + dj.fwhm) / 2})
        key = (0, round(2 * di.velocity / p.h))
        w = max(di.fwhm * 0.8, p.h)
        out.setdefault(key, {"quadrupole_splitting": max(di.fwhm / 3, p.h),
                             "centre_shift": di.velocity, "_width": w})
    return list(out.values())


def _centroid(p):
    pos = np.clip(p.a, 0, None) * (p.w > 0)
    s = pos.sum()
    return float(np.sum(pos * p.v) / s) if s > 0 else float(np.mean(p.window))


def _candidates(c, p, axis, partner=False):
    kind = _kind(c)
    if kind == "sextet" and p.dips:
        raw = _sextet_cands(c, p, axis)
    elif kind == "doublet" and p.dips:
        raw = _doublet_cands(c, p, partner)
    else:
        raw = []
    if not raw:
        # the last resort: the catalogue's example, centred on the absorption
        raw = [{"centre_shift": _centroid(p)} if "centre_shift" in c.param_names and p.dips else {}]
    return [_Cand(values=r, key=tuple(sorted((n, round(v, 6)) for n, v in r.items())))
            for r in raw]


def _draw(c, cand, params, keep, spectrum, p_mask):
    """The candidate's values as the component's full set and its absorption at unit
    amount on the fitted channels."""
    pre = c.prefix
    vals = {n: params[pre + n].value for n in c.param_names}
    for n, x in cand.values.items():
        if n == "_width":
            for wn in c.param_names:
                if _WIDTHS.fullmatch(wn) and _settable(params, pre + wn, keep):
                    vals[wn] = _clip(params[pre + wn], x)
        elif n in vals and _settable(params, pre + n, keep):
            vals[n] = _clip(params[pre + n], x)
    if _kind(c) == "sextet":
        # line intensities back to the catalogue's ratios (lines 2 and 5 are read
        # from the data below)
        for n in c.param_names:
            if re.fullmatch(r"intensity\d", n) and _settable(params, pre + n, keep):
                vals[n] = _clip(params[pre + n], c.param(n).example)
    for n in c.param_names:
        q = params[pre + n]
        if q.expr:
            # mirror lines tied to their partners: follow them
            ref = q.expr.strip()
            if ref.startswith(pre) and ref[len(pre):] in vals:
                vals[n] = vals[ref[len(pre):]]
    amount = [n for n in c.param_names if _AMOUNT.fullmatch(n)]
    for n in amount:
        if _settable(params, pre + n, keep) and vals[n] != 0:
            vals[n] = 1.0 if n == "area" else vals[n]
    cand.values = vals
    # A sextet's lines 2 and 5 as a column of their own: their intensity relative to
    # lines 1, 3 (3 : x : 1) follows the texture and is read from the data.
    draws = [vals]
    if _kind(c) == "sextet" and "area" in vals and _settable(params, pre + "intensity2", keep) \
            and (_settable(params, pre + "intensity5", keep)
                 or (params[pre + "intensity5"].expr or "").strip() == pre + "intensity2"):
        outer = dict(vals, intensity2=0.0, intensity5=0.0)
        inner = dict(vals, **{f"intensity{k}": 0.0 for k in (1, 3, 4, 6)})
        inner.update(intensity2=1.0, intensity5=1.0)
        draws = [outer, inner]
        cand.split = True
    cols = []
    try:
        for dv in draws:
            f = c.absorption(dv, spectrum.axis)[p_mask]
            if not np.all(np.isfinite(f)) or not np.any(f):
                return None
            cols.append(f)
    except (ValueError, ArithmeticError):
        return None
    if cand.split:
        # x_2 <= r x_1 for the amplitudes of the two columns: lines 2 and 5 at most 4/3
        # of line 1 (3 : 4 : 1, the field across the beam); as columns 1 and 1 + r 2
        # with non-negative amplitudes y: x_1 = y_1 + y_2, x_2 = r y_2.
        cols = [cols[0], cols[0] + _ratio(vals) * cols[1]]
    cand.profiles = cols
    return cand


def _ratio(vals):
    a, b = vals["intensity1"], vals["intensity3"]
    return 4.0 / 3.0 * a / (a + b) if a + b > 0 else 1.0


def _gain(cand, sqw, target):
    """Chi-square removed by the candidate's columns alone (non-negative amplitudes),
    and those amplitudes."""
    A = np.column_stack([sqw * f for f in cand.profiles])
    x, rnorm = nnls(A, target, maxiter=50 * A.shape[1])
    return float(np.dot(target, target) - rnorm * rnorm), x


def _amounts(c, cand, xs, scale=1.0):
    """The values the amplitudes xs of the candidate's columns set: the area (or the
    amount scaled), and for a split sextet the intensity of lines 2 and 5."""
    out = {}
    if cand.split:
        r = _ratio(cand.values)
        xs = np.array([xs[0] + xs[1], r * xs[1]])
    total = float(np.sum(xs)) * scale
    for n in c.param_names:
        if _AMOUNT.fullmatch(n) and total > 0:
            out[n] = cand.values[n] * total
    if cand.split:
        a, b = cand.values["intensity1"], cand.values["intensity3"]
        if xs[0] > 0:
            out["intensity2"] = out["intensity5"] = (a + b) * xs[1] / xs[0]
    return out


def _settable(params, name, keep):
    q = params[name]
    return name not in keep and q.vary and not q.expr


def _clip(q, x):
    return float(min(max(x, q.min), q.max))


def _score(cols, p, sqw, target):
    """Chi-square of a and the non-negative combination of cols plus a constant."""
    A = np.column_stack([sqw, -sqw] + [sqw * f for f in cols])
    x, rnorm = nnls(A, target, maxiter=50 * A.shape[1])
    return rnorm * rnorm, x


def data_starts(spectrum, model, params, keep=(), n=4):
    """Up to n starting parameter sets (copies of params, best first) and the Profile.
    keep: names whose values the user gave."""
    keep = set(keep)
    p = profile(spectrum, model)
    sqw = np.sqrt(p.w)
    target = sqw * p.a
    lists = []
    for c in model.components:
        cands = []
        for cand in _candidates(c, p, spectrum.axis):
            cand = _draw(c, cand, params, keep, spectrum, spectrum.mask)
            if cand is None:
                continue
            cand.gain, cand.amp = _gain(cand, sqw, target)
            cands.append(cand)
        cands.sort(key=lambda q: -q.gain)
        lists.append(_diverse(cands, p.h, PER_COMPONENT))
    # beam search over the combinations
    beam = [((), 0.0, None)]
    for k, cands in enumerate(lists):
        if not cands:
            continue
        nxt = []
        for state, _, _ in beam:
            for j, cand in enumerate(cands):
                mine = (model.components[k].model, cand.key)
                if any((model.components[kk].model, lists[kk][jj].key) == mine
                       for kk, jj in state):
                    continue
                st = state + ((k, j),)
                chi, x = _score([f for kk, jj in st for f in lists[kk][jj].profiles],
                                p, sqw, target)
                nxt.append((st, chi, x))
        nxt.sort(key=lambda t: t[1])
        beam = _distinct(nxt, lists, model)[:BEAM] or beam
    out = []
    for state, chi, x in beam[:n]:
        out.append(_fill(model, params, keep, p, state, lists, x))
    if not out:
        q = params.copy()
        _fill_baseline(model, q, keep, p, 0.0)
        out.append(q)
    return out, p


def _diverse(cands, h, n):
    """The n best candidates that differ from every better one: a field by half a
    tesla, a velocity by two grid steps."""
    out = []
    for c in cands:
        close = False
        for o in out:
            same = True
            for k in ("field_T", "centre_shift", "quadrupole_shift", "quadrupole_splitting"):
                if k in c.values and k in o.values:
                    tol = 0.5 if k == "field_T" else 2 * h
                    if abs(c.values[k] - o.values[k]) > tol:
                        same = False
                        break
            if same:
                close = True
                break
        if not close:
            out.append(c)
            if len(out) == n:
                break
    return out


def _distinct(states, lists, model):
    """Each set of candidates once (components of one model are interchangeable)."""
    seen, out = set(), []
    for st, chi, x in states:
        sig = tuple(sorted((model.components[k].model, lists[k][j].key) for k, j in st))
        if sig in seen:
            continue
        seen.add(sig)
        out.append((st, chi, x))
    return out


def _fill(model, params, keep, p, state, lists, x):
    q = params.copy()
    c0 = float(x[0] - x[1]) if x is not None else 0.0
    scale = 1.0 / (1.0 - c0) if p.form == "transmission" and c0 < 0.9 else 1.0
    col = 2
    for k, j in state:
        c = model.components[k]
        cand = lists[k][j]
        xs = x[col:col + len(cand.profiles)]
        col += len(cand.profiles)
        values = dict(cand.values, **_amounts(c, cand, xs, scale))
        for n, v in values.items():
            name = c.prefix + n
            if _settable(q, name, keep):
                q[name].set(value=_clip(q[name], v))
    _order_alike(model, q, keep)
    _fill_baseline(model, q, keep, p, c0)
    return q


def _order_alike(model, q, keep):
    """Components of one model with no value of the user: largest field (splitting) first."""
    groups = {}
    for c in model.components:
        if any(n in keep for n in c.names):
            continue
        groups.setdefault(c.model, []).append(c)
    for comps in groups.values():
        if len(comps) < 2:
            continue
        key = "field_T" if "field_T" in comps[0].param_names else "quadrupole_splitting"
        if key not in comps[0].param_names:
            continue
        sets = [{n: (q[c.prefix + n].value, q[c.prefix + n].vary, q[c.prefix + n].expr)
                 for n in c.param_names} for c in comps]
        # only components set up alike (the same free, fixed and tied parameters,
        # ties within the component) are interchangeable
        def shape(c, st):
            return tuple((n, v, (e or "").replace(c.prefix, "")) for n, (_, v, e) in st.items())
        if len({shape(c, st) for c, st in zip(comps, sets)}) != 1 or \
                any(e and not e.strip().startswith(c.prefix) for c, st in zip(comps, sets)
                    for _, _, e in st.values()):
            continue
        order = sorted(range(len(comps)), key=lambda i: -sets[i][key][0])
        for c, i in zip(comps, order):
            for n, (val, vary, expr) in sets[i].items():
                if _settable(q, c.prefix + n, keep):
                    q[c.prefix + n].set(value=_clip(q[c.prefix + n], val))


def _fill_baseline(model, q, keep, p, c0):
    bl = model.baseline
    if bl.fixed is not None or not p.baseline:
        return
    factor = (1.0 - c0) if p.form == "transmission" else 1.0
    names = [n for n in q if n.startswith("base_")]
    for s, coef in enumerate(p.baseline):
        for k, c in enumerate(coef):
            for name in (f"base_s{s}_c{k}", f"base_c{k}" if s == 0 else None):
                if name and name in names and _settable(q, name, keep):
                    if p.form == "transmission":
                        value = float(c) * factor
                    else:
                        value = float(c) + (c0 if k == 0 else 0.0)
                    q[name].set(value=value)


def apply_start(spectrum, model, params, keep=()):
    """Set params in place to the best data-derived start; returns params."""
    starts, _ = data_starts(spectrum, model, params, keep, n=1)
    best = starts[0]
    keep = set(keep)
    for n, q in best.items():
        if _settable(params, n, keep):
            params[n].set(value=q.value)
    return params


def perturb(model, params, keep, rng, h, scale=1.0):
    """A copy of params with the free component values moved at random: velocities by
    about two grid steps, fields by the same at the outer lines, widths, areas and
    intensities by about 30 % (log-normal). Baseline and axis stay."""
    q = params.copy()
    for c in model.components:
        for n in c.param_names:
            name = c.prefix + n
            if not _settable(q, name, keep):
                continue
            x = q[name].value
            unit = c.param(n).unit
            e = rng.standard_normal()
            if n == "field_T":
                pat = _PATTERNS.get(c.model)
                if pat is None:
                    continue
                x = x + e * scale * 4 * h / float(pat[0][-1] - pat[0][0])
            elif _WIDTHS.fullmatch(n) or _AMOUNT.fullmatch(n) or n.startswith("intensity"):
                x = x * math.exp(0.3 * scale * e)
            elif unit == "mm/s":
                x = x + e * scale * 2 * h
            else:
                continue
            q[name].set(value=_clip(q[name], x))
    return q


def component_starts(spectrum, model, params, j, keep=(), n=3):
    """Starts that move component j alone: the dips of what the data leave once the
    fitted baseline and the other components are taken out, assigned to component j
    (a minority site hidden beside stronger lines, a component sitting on the wrong
    lines). Up to n copies of params, the most promising first."""
    keep = set(keep)
    c = model.components[j]
    values = params.valuesdict()
    axis = model.axis_of(values, spectrum)
    m = spectrum.mask
    v = axis.velocities()[m]
    base = model.baseline.eval(values, axis, axis.velocities())[m]
    others = sum(o.absorption(values, axis)[m] for i, o in enumerate(model.components) if i != j)
    d = spectrum.counts[m]
    var = spectrum.data_variance()[m]
    if model.form == "transmission":
        good = base > 0
        b = np.where(good, base, 1.0)
        a = 1.0 - d / b - others
        w = np.where(good, b * b / var, 0.0)
    else:
        a = d - base - others
        w = 1.0 / var
    sweeps = axis.sweeps() if model.baseline.per_sweep else np.zeros(axis.n, dtype=int)
    p = Profile(v=v, a=a, w=w, baseline=[], h=_grid_step(axis.velocities(), sweeps, m),
                dips=[], form=model.form)
    widths = [values[o.prefix + n] for o in model.components for n in o.param_names
              if _WIDTHS.fullmatch(n)]
    p.dips = find_dips(p, float(np.median(widths)) if widths else None)
    if not p.dips:
        return []
    sqw = np.sqrt(w)
    target = sqw * a
    # the residual of a component that took the wrong lines is broad: each candidate
    # also with the other components' line width
    others_w = [values[o.prefix + n] for i, o in enumerate(model.components) if i != j
                for n in o.param_names if _WIDTHS.fullmatch(n)]
    typical = float(np.median(others_w)) if others_w else None
    cands = []
    if _kind(c) == "other":
        return []
    for cand in _candidates(c, p, axis, partner=True):
        variants = [cand]
        w = cand.values.get("_width")
        if typical and w and abs(w - typical) > 0.3 * typical:
            variants.append(_Cand(values=dict(cand.values, _width=typical),
                                  key=cand.key + (("_w", round(typical, 6)),)))
        for v in variants:
            v = _draw(c, v, params, keep, spectrum, m)
            if v is None:
                continue
            v.gain, v.amp = _gain(v, sqw, target)
            if v.gain > 0:
                cands.append(v)
    cands.sort(key=lambda q: -q.gain)
    out = []
    for cand in _diverse(cands, p.h, n):
        q = params.copy()
        for name, x in dict(cand.values, **_amounts(c, cand, cand.amp)).items():
            full = c.prefix + name
            if _settable(q, full, keep):
                q[full].set(value=_clip(q[full], x))
        out.append(q)
    return out


def exchange_starts(model, params, keep=()):
    """Starts that exchange lines between two doublets: (l1, h1), (l2, h2) become
    (l2, h1), (l1, h2) and (l1, h2), (l2, h1). Two doublets whose lines overlap have a
    local minimum with each pairing; both are tried."""
    keep = set(keep)
    ds = [c for c in model.components if _kind(c) == "doublet"]
    out = []
    for i in range(len(ds)):
        for j in range(i + 1, len(ds)):
            a, b = ds[i], ds[j]
            names = [c.prefix + n for c in (a, b) for n in ("centre_shift", "quadrupole_splitting")]
            if not all(_settable(params, n, keep) for n in names):
                continue
            la = params[a.prefix + "centre_shift"].value, params[a.prefix + "quadrupole_splitting"].value
            lb = params[b.prefix + "centre_shift"].value, params[b.prefix + "quadrupole_splitting"].value
            (l1, h1), (l2, h2) = [(cs - qs / 2, cs + qs / 2) for cs, qs in (la, lb)]
            for (x1, y1), (x2, y2) in (((l2, h1), (l1, h2)), ((l1, h2), (l2, h1))):
                q = params.copy()
                for c, (lo, hi) in ((a, (x1, y1)), (b, (x2, y2))):
                    lo, hi = min(lo, hi), max(lo, hi)
                    q[c.prefix + "centre_shift"].set(value=_clip(q[c.prefix + "centre_shift"], (lo + hi) / 2))
                    q[c.prefix + "quadrupole_splitting"].set(
                        value=_clip(q[c.prefix + "quadrupole_splitting"], hi - lo))
                out.append(q)
    return out
