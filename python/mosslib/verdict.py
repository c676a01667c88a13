"""The verdict on a fit: good, suspect or failed, with every reason that applies.

failed   the optimiser stopped before converging (its evaluation budget ran out, or it
         gave up), a value or the chi-square is not finite, or the reduced chi-square
         exceeds FAILED_REDCHI (the model does not describe the data at all);
suspect  the chi-square lies outside the band Poisson statistics allow for the degrees
         of freedom (either tail below P_BAND), the residuals' signs run in fewer runs
         than chance allows (Wald-Wolfowitz runs test, one-sided, below P_BAND), a
         varied parameter sits at a bound, a value lies outside its physical domain,
         the covariance is singular or not finite, a magnitude (area, intensity, width,
         field, ...) has a standard error above 100 % of its value, a component's area
         (beside others) is below SIGNIFICANT standard errors, a velocity's
         standard error exceeds the velocity window, a line of a component lies outside
         the velocity window, or the global stage found another minimum as deep;
good     none of these.

With Poisson counts and a model that holds, a good fit is called suspect by the two
tests of the chi-square band and the runs test in about 0.3 % of spectra (P_BAND each).
"""

import math

import numpy as np
from scipy import stats

__all__ = ["assess", "chi2_band", "runs_test", "P_BAND", "FAILED_REDCHI"]

P_BAND = 1e-3
FAILED_REDCHI = 10.0
SIGNIFICANT = 3.0   # standard errors: a component's area below this is not established


def chi2_band(chisqr, dof):
    """(p of a chi-square this large, p of one this small) for dof degrees of freedom."""
    return float(stats.chi2.sf(chisqr, dof)), float(stats.chi2.cdf(chisqr, dof))


def runs_test(residuals):
    """(runs, expected runs, p of so few runs) of the signs of the residuals in channel
    order (zeros left out); p is 1 where the test does not apply."""
    r = np.asarray(residuals, dtype=float)
    s = np.sign(r[np.isfinite(r) & (r != 0)])
    n1, n2 = int(np.sum(s > 0)), int(np.sum(s < 0))
    n = n1 + n2
    if n1 == 0 or n2 == 0 or n < 10:
        return 0, math.nan, 1.0
    runs = 1 + int(np.sum(s[1:] != s[:-1]))
    mu = 2.0 * n1 * n2 / n + 1.0
    var = (mu - 1.0) * (mu - 2.0) / (n - 1.0)
    if var <= 0:
        return runs, mu, 1.0
    return runs, mu, float(stats.norm.cdf((runs + 0.5 - mu) / math.sqrt(var)))


def _g(x):
    return f"{x:.3g}"


def _at_bound(p):
    for side, b in (("lower", p.min), ("upper", p.max)):
        if math.isfinite(b):
            tol = 1e-12 + 1e-4 * max(abs(b), abs(p.value), 0.0)
            if abs(p.value - b) <= tol:
                return side, b
    return None


def _component_of(model, name):
    for c in model.components:
        if name.startswith(c.prefix) and name[len(c.prefix):] in c.param_names:
            return c, name[len(c.prefix):]
    return None, None


def assess(result, covar_ok=True, stage=None):
    """(verdict, reasons) of a FitResult (see the module's description); stage: the
    global stage's summary (its 'rivals': other minima as deep)."""
    failed, suspect = [], []
    model, spectrum = result.model, result.spectrum
    params = result.params
    dof = result.ndata - result.nvarys
    if not result.success:
        failed.append(f"the optimiser did not converge ({result.message.strip().rstrip('.')}, "
                      f"{result.nfev} evaluations)")
    varied = [n for n, p in params.items() if p.vary and not p.expr]
    bad = [n for n in params if not math.isfinite(result.values[n])]
    if bad:
        failed.append(f"not finite: {', '.join(bad)}")
    if not math.isfinite(result.chisqr):
        failed.append("the chi-square is not finite")
    elif dof <= 0:
        suspect.append(f"no degrees of freedom left ({result.ndata} channels, "
                       f"{result.nvarys} parameters)")
    else:
        high, low = chi2_band(result.chisqr, dof)
        if result.redchi > FAILED_REDCHI:
            failed.append(f"reduced chi-square {_g(result.redchi)} for {dof} degrees of "
                          f"freedom (p = {high:.2g}): the model does not describe the data")
        elif high < P_BAND:
            suspect.append(f"reduced chi-square {_g(result.redchi)} above the Poisson band "
                           f"for {dof} degrees of freedom (p = {high:.2g})")
        elif low < P_BAND:
            suspect.append(f"reduced chi-square {_g(result.redchi)} below the Poisson band "
                           f"for {dof} degrees of freedom (p = {low:.2g}): errors of the "
                           f"counts overestimated?")
    m = spectrum.mask
    res = (spectrum.counts - result.best_fit)[m]
    runs, mu, p = runs_test(res)
    if p < P_BAND:
        suspect.append(f"structure in the residuals: {runs} runs of signs where "
                       f"{mu:.0f} are expected (runs test p = {p:.2g})")
    v = result.axis.velocities()[m]
    v = v[np.isfinite(v)]
    vlo, vhi = (float(v.min()), float(v.max())) if v.size else (math.nan, math.nan)
    window = vhi - vlo
    if covar_ok is False and varied:
        suspect.append("the covariance is singular or not finite: no standard errors")
    for n in varied:
        q = params[n]
        e = result.stderr.get(n)
        if covar_ok and e is None:
            suspect.append(f"{n}: standard error not finite")
        hit = _at_bound(q)
        if hit:
            suspect.append(f"{n} = {_g(q.value)} at its {hit[0]} bound {_g(hit[1])}")
    for n, q in params.items():
        c, short = _component_of(model, n)
        if c is None or not math.isfinite(q.value):
            continue
        lo, hi = c.domain(short)
        if not lo <= q.value <= hi:
            suspect.append(f"{n} = {_g(q.value)} is not physical (domain {_g(lo)} to {_g(hi)})")
        e = result.stderr.get(n)
        if e is None or not (q.vary and not q.expr):
            continue
        if lo >= 0 and q.value > 0 and e > q.value:
            suspect.append(f"{n} = {_g(q.value)} +/- {_g(e)}: relative uncertainty above 100 %")
        elif short in ("area", "amplitude") and len(model.components) > 1 and e > 0 \
                and abs(q.value) < SIGNIFICANT * e:
            suspect.append(f"{n} = {_g(q.value)} +/- {_g(e)}: the component {c.prefix} is not "
                           f"significant (below {SIGNIFICANT:g} standard errors)")
        elif c.param(short).unit == "mm/s" and lo < 0 and math.isfinite(window) and e > window:
            suspect.append(f"{n} +/- {_g(e)} mm/s: uncertainty wider than the velocity window")
    if math.isfinite(window):
        for c in model.components:
            for k, x in _lines(c, result):
                if not (math.isfinite(x) and vlo <= x <= vhi):
                    where = "" if not math.isfinite(x) else f" at {x:.3g} mm/s"
                    suspect.append(f"line {k} of {c.prefix} lies outside the velocity window "
                                   f"{vlo:.3g} to {vhi:.3g} mm/s{where}")
    for r in (stage or {}).get("rivals", []):
        suspect.append(r)
    reasons = failed + suspect
    verdict = "failed" if failed else "suspect" if suspect else "good"
    return verdict, reasons


def _lines(component, result):
    """(line number, centre in mm/s) of a component with an area above zero: its derived
    line centres (NaN: the line's peak is not inside the data), or a doublet's two lines."""
    vals = result.values
    pre = component.prefix
    area = vals.get(pre + "area", 1.0)
    if not (math.isfinite(area) and area > 0):
        return []
    d = result.derived.get(pre)
    if d and d.get("line_centres_mm_s"):
        return list(enumerate(d["line_centres_mm_s"], start=1))
    names = component.param_names
    if "quadrupole_splitting" in names and "centre_shift" in names and "field_T" not in names \
            and "eta" not in names:
        cs, qs = vals[pre + "centre_shift"], vals[pre + "quadrupole_splitting"]
        return [(1, cs - qs / 2), (2, cs + qs / 2)]
    return []
