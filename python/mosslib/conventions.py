"""The quantities spectroscopists quote, from the library's named parameters: one table.

The library's parameters keep their own scales (its raw slots and catalogue do not
change); every conversion to a quoted quantity is here and nowhere else.

| quoted quantity        | unit | from the model                                              |
|------------------------|------|-------------------------------------------------------------|
| field (alpha-iron scale) | T  | B = S * B_ref / S_ref, S the outer-line span v6 - v1 of the  |
|                        |      | component's own lines; S_ref = 10.657 mm/s at B_ref = 33.0 T |
|                        |      | (a calibration's reference; 33.0 T for alpha-iron)           |
| field (model scale)    | T    | the parameter field_T as the model reads it (0.326 mm/s/T)   |
| 2 epsilon              | mm/s | ((v6 - v5) - (v2 - v1)) / 2 of the component's lines;       |
|                        |      | = -2 * quadrupole_shift (the model moves lines 2-5 by +q,    |
|                        |      | lines 1 and 6 by -q); about -0.20 mm/s for hematite at room  |
|                        |      | temperature                                                  |
| QS (doublet)           | mm/s | quadrupole_splitting, the distance between the two lines     |
| centre shift           | mm/s | centre_shift (sextgen's halved slot undone by the catalogue),|
|                        |      | relative to the velocity zero of the axis: alpha-iron at     |
|                        |      | room temperature when the axis is an alpha-iron calibration  |
| widths                 | mm/s | full widths at half maximum (the catalogue's widths)         |
| relative area          | 1    | area_k / sum of areas, error from the covariance             |
| axis_step              | mm/s per channel                                            |
| axis_zero, axis_mirror | channel (data channels from 0)                               |
| axis_amplitude         | mm/s                                                        |
| axis_channels_per_radian | channel/rad; axis_phase_step rad/channel                  |
| base_cK, base_sS_cK    | counts per (mm/s)^K (transmission); absorption per (mm/s)^K |

Errors of a fit on a calibrated axis include the calibration's: see carry_calibration.
"""

import math
import re

import numpy as np

__all__ = ["ALPHA_IRON_FIELD_T", "ALPHA_IRON_OUTER_SPAN", "field_alpha_iron", "two_epsilon",
           "carry_calibration",
           "unit_of", "quoted", "relative_areas", "centre_shift_reference"]

ALPHA_IRON_FIELD_T = 33.0
ALPHA_IRON_OUTER_SPAN = 10.657  # mm/s, lines 1 to 6 of alpha-iron at 33.0 T

_AXIS_UNITS = {"step": "mm/s/channel", "zero": "channel", "mirror": "channel",
               "amplitude": "mm/s", "channels_per_radian": "channel/rad",
               "phase_step": "rad/channel"}


def field_alpha_iron(span, reference_span=ALPHA_IRON_OUTER_SPAN, reference_field=ALPHA_IRON_FIELD_T):
    """The field on the alpha-iron scale of an outer-line span (mm/s)."""
    return span * reference_field / reference_span


def two_epsilon(centres):
    """2 epsilon = ((v6 - v5) - (v2 - v1)) / 2 of a sextet's six line velocities."""
    v1, v2, _, _, v5, v6 = centres
    return ((v6 - v5) - (v2 - v1)) / 2.0


def unit_of(name, model, form="transmission"):
    """The unit of any parameter of a fit: a component's, the axis's, the baseline's."""
    if name.startswith("axis_"):
        return _AXIS_UNITS.get(name[5:], "")
    m = re.fullmatch(r"base_(?:s\d+_)?c(\d+)", name)
    if m:
        k = int(m.group(1))
        y = "counts" if form == "transmission" else "absorption"
        return y if k == 0 else f"{y}/(mm/s)" + (f"^{k}" if k > 1 else "")
    for c in model.components:
        if name.startswith(c.prefix) and name[len(c.prefix):] in c.param_names:
            p = c.param(name[len(c.prefix):])
            unit = p.unit or "1"
            if p.unit == "mm/s" and "full width at half maximum" in p.meaning:
                unit = "mm/s FWHM"
            return unit
    return ""


def centre_shift_reference(spectrum):
    """What centre shifts are relative to, for a spectrum's axis."""
    cal = spectrum.meta.get("calibration")
    if cal:
        return (f"alpha-iron at room temperature (the velocity zero of the calibration "
                f"{cal.get('source') or ''}".rstrip() + ")")
    return "the velocity zero of the given axis (alpha-iron at room temperature if it was " \
           "calibrated on alpha-iron)"


def _cov(result, a, b):
    ea, eb = result.stderr.get(a), result.stderr.get(b)
    if ea is None or eb is None:
        return None
    if a == b:
        return ea * ea
    r = result.correl.get((a, b), result.correl.get((b, a), 0.0))
    return r * ea * eb


def relative_areas(result):
    """{prefix: (fraction, stderr)} of the components with an area, from the areas and
    their covariance (errors None where not estimated)."""
    comps = [c for c in result.model.components if "area" in c.param_names]
    if len(comps) < 1:
        return {}
    names = [c.prefix + "area" for c in comps]
    a = np.array([result.values[n] for n in names])
    total = a.sum()
    if not total > 0:
        return {}
    out = {}
    free = [n for n in names if result.params[n].vary or result.params[n].expr]
    for k, (c, n) in enumerate(zip(comps, names)):
        f = a[k] / total
        # d f / d a_j = (delta_jk - f) / total
        g = np.array([((1.0 if j == k else 0.0) - f) / total for j in range(len(names))])
        var, known = 0.0, True
        for i, ni in enumerate(names):
            for j, nj in enumerate(names):
                if g[i] == 0 or g[j] == 0 or ni not in free or nj not in free:
                    continue
                cv = _cov(result, ni, nj)
                if cv is None:
                    known = False
                    continue
                var += g[i] * g[j] * cv
        out[c.prefix] = (float(f), float(math.sqrt(max(var, 0.0))) if known else None)
    return out


def quoted(result, reference_span=ALPHA_IRON_OUTER_SPAN, reference_field=ALPHA_IRON_FIELD_T):
    """The quoted quantities of every component of a FitResult:
    {prefix: {name: {"value", "stderr", "unit", "meaning"}}} (the names of the table)."""
    out = {}
    axis = result.axis
    areas = relative_areas(result) if len(result.model.components) > 1 else {}
    for c in result.model.components:
        q = {}
        v = result.values
        e = result.stderr
        pre = c.prefix
        centres = None
        try:
            centres = c.line_centres(v, axis)
        except ValueError:
            pass
        fname = pre + "field_T"
        if "field_T" in c.param_names and centres and len(centres) == 6 \
                and all(math.isfinite(x) for x in (centres[0], centres[-1])) and v[fname] != 0:
            span = centres[-1] - centres[0]
            per_tesla = span / v[fname]
            err = e.get(fname)
            k = reference_field / reference_span
            q["field_alpha_iron"] = {
                "value": span * k, "stderr": None if err is None else abs(err * per_tesla * k),
                "unit": "T", "meaning": f"field on the alpha-iron scale ({reference_field} T for "
                                        f"an outer-line span of {reference_span} mm/s)"}
        if "quadrupole_shift" in c.param_names and centres and len(centres) == 6 \
                and all(math.isfinite(x) for x in centres):
            err = e.get(pre + "quadrupole_shift")
            q["two_epsilon"] = {"value": two_epsilon(centres),
                                "stderr": None if err is None else 2.0 * err, "unit": "mm/s",
                                "meaning": "2 epsilon = ((v6 - v5) - (v2 - v1)) / 2"}
        if pre in areas:
            f, fe = areas[pre]
            q["relative_area"] = {"value": f, "stderr": fe, "unit": "1",
                                  "meaning": "area / sum of the components' areas"}
        if q:
            out[pre] = q
    return out


# ---- errors with a calibration: its covariance carried into a sample's fit ------------

def carry_calibration(result):
    """Add the covariance of the calibration the spectrum's axis came from to the errors
    of a FitResult (module docstring); sets result.calibration, updates result.stderr
    with the totals. Nothing happens for an axis without a calibration's covariance, or
    for axis parameters the fit varied itself."""
    cal = result.spectrum.meta.get("calibration")
    if not cal or not cal.get("covariance") or not cal.get("names"):
        return None
    names = ["axis_" + k for k in cal["names"]]
    C = np.array(cal["covariance"], dtype=float)
    keep = [k for k, nm in enumerate(names) if nm in result.params and not result.params[nm].vary]
    if not keep:
        return None
    names = [names[k] for k in keep]
    C = C[np.ix_(keep, keep)]
    varied = [nm for nm, p in result.params.items() if p.vary]
    if not varied:
        return None
    # weighted model derivatives: the weights of the fit at its optimum
    s = result.spectrum
    m = s.mask
    sd = np.sqrt(s.data_variance()[m]) if result.weights == "data" else \
        np.sqrt(np.maximum(result.best_fit[m], 1e-300))

    def residual(p):
        return -result.model.eval(p, s)[m] / sd

    base = result.params.copy()

    r0 = residual(base)

    def derivative(name, h):
        # forward differences: one evaluation a parameter (the model may be costly)
        p = base.copy()
        p[name].set(value=base[name].value + h)
        p.update_constraints()
        return (residual(p) - r0) / h

    def step_of(name, sigma):
        x = base[name].value
        return (0.1 * sigma) if sigma else (1e-6 * abs(x) + 1e-9)

    try:
        J = np.column_stack([derivative(nm, step_of(nm, result.stderr.get(nm))) for nm in varied])
        Ja = np.column_stack([derivative(nm, step_of(nm, math.sqrt(C[k, k]) if C[k, k] > 0 else 0))
                              for k, nm in enumerate(names)])
        S = -np.linalg.solve(J.T @ J, J.T @ Ja)
    except (np.linalg.LinAlgError, ValueError):
        return None
    if not np.all(np.isfinite(S)):
        return None
    add = S @ C @ S.T
    fit_err = {nm: result.stderr.get(nm) for nm in varied}
    added = {}
    for k, nm in enumerate(varied):
        a = math.sqrt(max(float(add[k, k]), 0.0))
        added[nm] = a
        if fit_err[nm] is not None:
            result.stderr[nm] = math.sqrt(fit_err[nm] ** 2 + a * a)
    # correlations follow the combined covariance
    for (a_, b_), r in list(result.correl.items()):
        if a_ in varied and b_ in varied and fit_err[a_] and fit_err[b_]:
            i, j = varied.index(a_), varied.index(b_)
            cv = r * fit_err[a_] * fit_err[b_] + float(add[i, j])
            result.correl[(a_, b_)] = cv / (result.stderr[a_] * result.stderr[b_])
    result.calibration = {"source": cal.get("source"), "axis": names,
                          "covariance": C.tolist(), "added": added, "fit_stderr": fit_err}
    return result.calibration
