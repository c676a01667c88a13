"""Fitting a spectrum model to measured counts, with Poisson weights.

weights='data'      residual (d - m) / sqrt(d)            (variance from the counts)
weights='model'     residual (d - m) / sqrt(m)            (variance from the model)
weights='deviance'  signed root of the Poisson deviance   (low counts; its square sum
                    is 2 * sum(m - d + d ln(d / m)))

Degeneracies refused before a fit starts: a free velocity scale (axis step or
amplitude) with every field and velocity of the components free, and a free zero
channel of a linear drive with every centre shift free; fix one side (a calibration,
mosslib.calibrate, fixes the axis).

Fields are reported twice: as the model's own parameter (the library's line-position
constant) and on the alpha-iron convention, where 33.0 T gives an outer-line span of
10.657 mm/s: B = span * 33.0 / 10.657, with the span taken from the model's lines.
"""

import json
import math
import re
from dataclasses import dataclass, field

import lmfit
import numpy as np

from .compiled import Problem

__all__ = ["fit", "FitResult", "ALPHA_IRON_FIELD_T", "ALPHA_IRON_OUTER_SPAN"]

from .conventions import ALPHA_IRON_FIELD_T, ALPHA_IRON_OUTER_SPAN  # noqa: E402 (re-exported)

_WEIGHTS = ("data", "model", "deviance")


def _residual_function(model, spectrum, weights):
    m = spectrum.mask
    d = spectrum.counts[m]
    sd = np.sqrt(spectrum.data_variance()[m])
    dlogd = np.where(d > 0, d * np.log(np.where(d > 0, d, 1.0)), 0.0)

    def residual(params):
        y = model.eval(params, spectrum)[m]
        if weights == "data":
            return (d - y) / sd
        if weights == "model":
            return (d - y) / np.sqrt(np.maximum(y, 1e-300))
        y = np.maximum(y, 1e-300)
        dev = 2.0 * (y - d + dlogd - np.where(d > 0, d * np.log(y), 0.0))
        return np.sign(d - y) * np.sqrt(np.maximum(dev, 0.0))

    return residual


def _check_degeneracies(model, params, axis):
    def free(name):
        p = params.get(name)
        return p is not None and p.vary and not p.expr

    scale = "axis_" + axis.scale_name
    if free(scale):
        pinned = [n for c in model.components for n in c.names
                  if c.param(n[len(c.prefix):]).unit in ("T", "kG", "G", "mm/s")
                  and not free(n) and not params[n].expr]
        if not pinned:
            raise ValueError(f"the velocity scale ({scale}) and the components' fields and "
                             f"velocities are fully degenerate: fix a field (a calibration "
                             f"foil) or the axis")
    if free("axis_zero") and axis.zero_shift_degenerate:
        shifts = [c.prefix + "centre_shift" for c in model.components
                  if "centre_shift" in c.param_names]
        if shifts and all(free(s) for s in shifts):
            raise ValueError("the zero channel (axis_zero) and the centre shifts are fully "
                             "degenerate on a linear drive: fix one centre shift or the zero")


def fit(spectrum, model, params=None, weights="data", method="leastsq", guess=True,
        mcmc=None, max_nfev=None, scale_covar=True):
    """Fit `model` (Transmission or Absorption) to `spectrum` and return a FitResult.
    (Several spectra with shared parameters: mosslib.fit_shared.)

    params: lmfit Parameters (default model.make_params(spectrum)); guess: scale the
    areas to the data's depth first (only when params is not given). mcmc: None, or a
    dict of emcee settings (steps, burn, thin, nwalkers, seed) for MCMC uncertainties.
    """
    if weights not in _WEIGHTS:
        raise ValueError(f"weights={weights!r}: one of {', '.join(_WEIGHTS)}")
    axis = model.axis_of({}, spectrum)
    if params is None:
        params = model.make_params(spectrum)
        if guess:
            model.guess(spectrum, params)
    missing = [n for n in model.param_names(axis) if n not in params]
    if missing:
        raise ValueError(f"parameters missing: {', '.join(missing)}")
    _check_degeneracies(model, params, axis)
    # Ties compiled once, the model on preallocated arrays, lmfit on the free
    # parameters alone (the same bits as the interpreted route).
    problem = Problem(model, spectrum, params, weights)
    start = problem.residual(problem.x0)
    if not np.all(np.isfinite(start)):
        raise ValueError("the fit cannot start: the model is not finite at the starting "
                         "values (a zero width or area?)")
    try:
        out = problem.minimize(method=method, max_nfev=max_nfev, scale_covar=scale_covar)
    except ValueError as e:
        raise ValueError(f"the fit failed: {e}") from None
    result = FitResult.from_lmfit(out, model, spectrum, weights)
    result.scale_covar = scale_covar
    if mcmc:
        result.mcmc = _run_mcmc(result, dict(mcmc))
    return result


def _run_mcmc(result, settings):
    from .uncertainty import mcmc
    return mcmc(result, **settings)


@dataclass
class FitResult:
    """A fit's outcome as plain data (it pickles and converts to JSON)."""
    params: object                 # lmfit Parameters at the optimum
    values: dict
    stderr: dict                   # None where not estimated
    correl: dict                   # {(a, b): r} for the varied parameters
    chisqr: float
    redchi: float
    ndata: int
    nvarys: int
    nfev: int
    success: bool
    message: str
    weights: str
    best_fit: np.ndarray           # model on every channel
    model: object
    spectrum: object
    derived: dict = field(default_factory=dict)
    mcmc: dict = None
    intervals: dict = None         # profile-likelihood and bootstrap intervals, by kind
    scale_covar: bool = True       # standard errors scaled by sqrt(reduced chi-square)

    @classmethod
    def from_lmfit(cls, out, model, spectrum, weights):
        p = out.params
        values = {n: float(q.value) for n, q in p.items()}
        stderr = {n: (float(q.stderr) if q.stderr is not None and np.isfinite(q.stderr) else None)
                  for n, q in p.items()}
        correl = {}
        names = list(out.var_names or [])
        if out.covar is not None:
            cov = out.covar
            for a in range(len(names)):
                for b in range(a + 1, len(names)):
                    s = math.sqrt(cov[a, a] * cov[b, b])
                    if s > 0:
                        correl[(names[a], names[b])] = float(cov[a, b] / s)
        r = cls(params=p, values=values, stderr=stderr, correl=correl,
                chisqr=float(out.chisqr), redchi=float(out.redchi), ndata=int(out.ndata),
                nvarys=int(out.nvarys), nfev=int(out.nfev), success=bool(out.success),
                message=str(out.message), weights=weights,
                best_fit=model.eval(p, spectrum), model=model, spectrum=spectrum)
        r.derived = derived_quantities(r)
        return r

    def error(self, name):
        return self.stderr.get(name)

    def ufloat(self, name):
        """The value with its standard error as an uncertainties.ufloat."""
        from uncertainties import ufloat
        return ufloat(self.values[name], self.stderr.get(name) or 0.0, name)

    @property
    def axis(self):
        return self.model.axis_of(self.values, self.spectrum)

    def to_dict(self):
        from .conventions import unit_of
        params = {}
        for n, q in self.params.items():
            params[n] = {"value": self.values[n], "stderr": self.stderr[n],
                         "unit": unit_of(n, self.model, self.model.form),
                         "vary": bool(q.vary), "expr": q.expr,
                         "min": None if not np.isfinite(q.min) else q.min,
                         "max": None if not np.isfinite(q.max) else q.max}
        return {"spectrum": self.spectrum.name, "model": self.model.to_dict(),
                "formula": self.model.describe(), "axis": self.axis.to_dict(),
                "weights": self.weights, "success": self.success, "message": self.message,
                "chisqr": self.chisqr, "redchi": self.redchi, "ndata": self.ndata,
                "nvarys": self.nvarys, "nfev": self.nfev, "params": params,
                "correlations": {f"{a} {b}": r for (a, b), r in self.correl.items()},
                "derived": self.derived, "mcmc": self.mcmc, "intervals": self.intervals,
                "read_as": self.spectrum.form or None,
                "centre_shifts_relative_to": _cs_reference(self.spectrum),
                "calibration": getattr(self, "calibration", None)}

    def to_json(self, path=None, indent=2):
        text = json.dumps(_jsonable(self.to_dict()), indent=indent)
        if path is not None:
            with open(path, "w") as f:
                f.write(text + "\n")
        return text

    def report(self, min_correl=0.5):
        """A text report: fit statistics, parameters, strong correlations, derived values."""
        d = self.to_dict()
        lines = [f"Fit of {self.spectrum.name or 'spectrum'}: {self.model.describe()}",
                 f"  axis       {_axis_text(self.axis)}",
                 f"  weights    Poisson ({self.weights})",
                 f"  channels   {self.ndata} fitted, {self.nvarys} parameters varied, "
                 f"{self.nfev} evaluations",
                 f"  chi-square {self.chisqr:.6g}, reduced {self.redchi:.5g}",
                 f"  status     {'converged' if self.success else 'NOT converged'}: {self.message}",
                 ""]
        lines += _quoted_lines(self)
        lines += ["", "Parameters:"]
        for n, q in d["params"].items():
            err = q["stderr"]
            if q["expr"]:
                how = f"= {q['expr']}"
            elif not q["vary"]:
                how = "(fixed)"
            else:
                how = f"+/- {err:.4g}" if err is not None else "+/- (not estimated)"
            cal = (getattr(self, "calibration", None) or {}).get("added", {}).get(n)
            if cal is not None and err is not None and q["vary"]:
                how = f"+/- {err:.4g} (cal. {cal:.2g})"
            lines.append(f"  {n:<26} {q['value']:>14.7g} {how:<24} {q['unit']}")
        strong = sorted(((abs(r), k, r) for k, r in d["correlations"].items()
                         if abs(r) >= min_correl), reverse=True)
        if strong:
            lines += ["", f"Correlations (|r| >= {min_correl}):"]
            lines += [f"  {k:<52} {r:+.3f}" for _, k, r in strong]
        if self.derived:
            lines += ["", "Derived:"]
            for prefix, dq in self.derived.items():
                for k, v in dq.items():
                    lines.append(f"  {prefix}{k:<24} {_fmt(v)}")
        from .uncertainty import report_lines
        lines += report_lines(self)
        return "\n".join(lines) + "\n"

    def plot(self, path=None, **kws):
        from .plotting import plot_fit
        return plot_fit(self, path, **kws)


def _fmt(v):
    if isinstance(v, dict) and "value" in v:
        e = v.get("stderr")
        return f"{v['value']:.6g}" + (f" +/- {e:.3g}" if e is not None else "") + f" {v.get('unit', '')}"
    if isinstance(v, list):
        return "[" + ", ".join(f"{x:.4f}" if isinstance(x, float) else str(x) for x in v) + "]"
    return str(v)


def _axis_text(axis):
    return ", ".join([axis.kind] + [f"{k}={v:.6g}" for k, v in axis.params().items()]
                     + [f"{axis.n} channels"])


def _jsonable(x):
    if isinstance(x, dict):
        return {str(k): _jsonable(v) for k, v in x.items()}
    if isinstance(x, (list, tuple)):
        return [_jsonable(v) for v in x]
    if isinstance(x, (np.floating, float)):
        return float(x) if math.isfinite(x) else None
    if isinstance(x, np.integer):
        return int(x)
    return x


def _cs_reference(spectrum):
    from .conventions import centre_shift_reference
    return centre_shift_reference(spectrum)


def _quoted_lines(result):
    """The report's head of the parameter section: how the data were read, what centre
    shifts are relative to, then each component's quoted quantities (conventions)."""
    out = []
    if result.spectrum.form:
        out.append(f"Read as: {result.spectrum.form}")
    out.append(f"Centre shifts relative to {_cs_reference(result.spectrum)}")
    cal = getattr(result, "calibration", None)
    if cal:
        out.append("Calibration errors (step, zero, mirror covariance) added to the "
                   "parameters' errors in quadrature")
    out += ["", "Quoted values:"]
    v, e = result.values, result.stderr
    for c in result.model.components:
        pre = c.prefix
        dq = result.derived.get(pre, {})
        rows = []
        if "field_alpha_iron" in dq:
            rows.append(("field (alpha-iron scale)", dq["field_alpha_iron"]))
            rows.append(("field (model's scale)", {"value": v[pre + "field_T"],
                                                   "stderr": e.get(pre + "field_T"), "unit": "T"}))
        if "centre_shift" in c.param_names:
            rows.append(("centre shift", {"value": v[pre + "centre_shift"],
                                          "stderr": e.get(pre + "centre_shift"), "unit": "mm/s"}))
        if "two_epsilon" in dq:
            rows.append(("2 epsilon", dq["two_epsilon"]))
        if "quadrupole_splitting" in c.param_names:
            rows.append(("QS", {"value": v[pre + "quadrupole_splitting"],
                                "stderr": e.get(pre + "quadrupole_splitting"), "unit": "mm/s"}))
        for n in c.param_names:
            if n == "width" or re.fullmatch(r"width\d", n):
                rows.append((f"FWHM{n[5:]}", {"value": v[pre + n], "stderr": e.get(pre + n),
                                              "unit": "mm/s"}))
        if "relative_area" in dq:
            rows.append(("relative area", dq["relative_area"]))
        if rows:
            out.append(f"  {pre} ({c.model})")
            out += [f"    {k:<26} {_fmt(x)}" for k, x in rows]
    return out


def derived_quantities(result):
    """Line centres (mm/s and data channels) of every component with separate lines,
    and the quoted quantities of mosslib.conventions (field on the alpha-iron scale,
    2 epsilon, relative areas). A spectrum on a calibrated axis first has the
    calibration's covariance carried into the errors (mosslib.calibration)."""
    from .conventions import carry_calibration, quoted
    carry_calibration(result)
    out = {}
    axis = result.axis
    q = quoted(result)
    for c in result.model.components:
        own = getattr(c, "derived", None)  # a component's own summary (distributions)
        if own is not None:
            out[c.prefix] = own(result)
            continue
        try:
            centres = c.line_centres(result.values, axis)
        except ValueError:
            centres = []
        dq = {}
        if centres and all(math.isfinite(x) for x in centres):
            dq = {"line_centres_mm_s": centres,
                  "line_centres_channel": [[float(ch) for ch in axis.channels_of(x)]
                                           for x in centres]}
        dq.update(q.get(c.prefix, {}))
        if dq:
            out[c.prefix] = dq
    if getattr(result.model, "thickness", None):
        out["thick_"] = result.model.thickness.derived(result)
    return out
