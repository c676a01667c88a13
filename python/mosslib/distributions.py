"""Hyperfine models beyond the first-order sextet, as spectrum components, and
hyperfine-parameter distributions with their reports.

Components (Component('...') makes them; mossfit --component takes the same names):

  mosslib_hamiltonian_site        a static site from the exact nuclear Hamiltonians in a
                                  field B and a field gradient (eQVzz/2, eta, angles of B
                                  in the gradient's frame); powder, single crystal or
                                  texture; Lorentzian or Voigt lines
  mosslib_field_distribution      P(B) as 1..4 Gaussian components (option components=),
                                  centre and quadrupole shift linear in B; exact Voigt lines
  mosslib_splitting_distribution  P(QS) of a doublet, the same way

Fields are on the alpha-iron scale of the package (33.0 T: outer lines 10.657 mm/s apart).
Every component here gives its lines as absorber_lines(values) -> (centres, areas,
lorentz_fwhm, gauss_fwhm) (mm/s; areas relative within the component, summing to 1).

Reports: DistributionReport holds a distribution on a grid (table(), plot()), its mean,
standard deviation and modes with standard errors. voigt_distribution(result, prefix)
makes one from a fit of a distribution component (errors from the fit's covariance);
free_distribution(...) fits a free-form P(B) or P(QS) on a grid of bins: non-negative,
Tikhonov-regularised (second differences), the strength chosen by generalised
cross-validation or the L-curve, each bin's basis spectrum computed by the library.
"""

import ctypes
import math
from dataclasses import dataclass, field

import numpy as np

from . import _lib
from .components import Component, register_component

__all__ = ["HyperfineComponent", "DistributionComponent", "DistributionReport",
           "voigt_distribution", "free_distribution", "SITE", "FIELD_DISTRIBUTION",
           "SPLITTING_DISTRIBUTION"]

SITE = "mosslib_hamiltonian_site"
FIELD_DISTRIBUTION = "mosslib_field_distribution"
SPLITTING_DISTRIBUTION = "mosslib_splitting_distribution"
_MAX_LINES = 24  # MOSSLIB_MAX_MODEL_LINES


def _model_lines_function():
    dll = _lib.library().dll
    f = dll.mosslib_model_lines
    f.restype = ctypes.c_int32
    f.argtypes = [ctypes.c_char_p, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p]
    return f


class HyperfineComponent(Component):
    """A component whose model tells its lines (the library's mosslib_model_lines)."""

    def raw_arrays(self, values):
        """The integer and real arrays of one call with these parameter values."""
        ints0, reals0, slots = self._template()
        ints, reals = ints0.copy(), reals0.copy()
        for n, (slot, r) in zip(self.param_names, slots):
            v = values[self.prefix + n] if self.prefix + n in values else values[n]
            reals[slot] = r * v
        return ints, reals

    def lines(self, values):
        """(n, 4) array: centre (mm/s), area, Lorentzian FWHM, Gaussian FWHM of each line."""
        ints, reals = self.raw_arrays(values)
        out = np.empty(4 * _MAX_LINES)
        n = _model_lines_function()(self.model.encode(), ints.ctypes.data, reals.ctypes.data,
                                    out.ctypes.data)
        if n < 0:
            raise ValueError(f"{self.model}: {_lib.library().last_error()}")
        return out[:4 * n].reshape(n, 4)

    def absorber_lines(self, values):
        """(centres, areas, lorentz_fwhm, gauss_fwhm), numpy arrays in mm/s; the areas
        relative within the component (summing to 1)."""
        L = self.lines(values)
        total = L[:, 1].sum()
        areas = L[:, 1] / total if total != 0 else np.full(len(L), math.nan)
        return L[:, 0].copy(), areas, L[:, 2].copy(), L[:, 3].copy()

    def make_params(self, params=None, window=None, step=None):
        """For the site: a powder (texture order 0, beam axis and Gaussian width fixed;
        free them for a crystal, a texture or Voigt lines), eta in 0..1 and the field's
        polar angle in 0..180 degrees, azimuth in 0..90 (the other quadrants repeat it)."""
        params = super().make_params(params, window=window, step=step)
        if self.model == SITE:
            p = self.prefix
            params[p + "texture_order"].set(value=0.0, vary=False)
            for n in ("beam_theta", "beam_phi", "gauss_fwhm"):
                params[p + n].set(vary=False)
            params[p + "eta"].set(min=0.0, max=1.0)
            params[p + "field_theta"].set(min=0.0, max=180.0)
            params[p + "field_phi"].set(min=0.0, max=90.0)
        return params

    def line_centres(self, values, axis):
        """The centres of the lines that carry intensity (the site's eight, less any
        forbidden), by velocity."""
        L = self.lines(values)
        return sorted(float(x) for x, a in zip(L[:, 0], L[:, 1]) if a > 1e-9 * L[:, 1].sum())


class DistributionComponent(HyperfineComponent):
    """A Voigt-based distribution: `components` Gaussian components (option), each with
    mean, standard deviation and weight. The first weight is fixed (only ratios matter,
    the area scales), and the slots of components beyond the count are fixed too."""

    @property
    def kind(self):
        return "field" if self.model == FIELD_DISTRIBUTION else "splitting"

    @property
    def unit(self):
        return "T" if self.kind == "field" else "mm/s"

    @property
    def count(self):
        return int(self.options.get("components", self.info.param("components").example))

    def component_names(self, k):
        """(mean, sd, weight) parameter names of Gaussian component k (from 1)."""
        if self.kind == "field":
            return f"field{k}_T", f"field_sd{k}_T", f"weight{k}"
        return f"splitting{k}", f"splitting_sd{k}", f"weight{k}"

    def make_params(self, params=None, window=None, step=None):
        params = super().make_params(params, window=window, step=step)
        params[self.prefix + "weight1"].set(vary=False)
        for k in range(self.count + 1, 5):
            for n in self.component_names(k):
                params[self.prefix + n].set(vary=False)
        return params

    def line_centres(self, values, axis):
        return []  # a distribution has no separate lines

    def gaussians(self, values):
        """[(mean, sd, weight / sum of weights)] of the components in use."""
        rows = []
        for k in range(1, self.count + 1):
            m, s, w = (values[self.prefix + n] if self.prefix + n in values else values[n]
                       for n in self.component_names(k))
            rows.append((m, abs(s), w))
        total = sum(r[2] for r in rows)
        return [(m, s, w / total) for m, s, w in rows]

    def summary(self, values, grid=None):
        """(grid, density, mean, sd, modes) of the distribution these values give."""
        g = self.gaussians(values)
        if grid is None:
            lo = min(m - 4 * s for m, s, _ in g)
            hi = max(m + 4 * s for m, s, _ in g)
            pad = 0.05 * (hi - lo) + 1e-9
            grid = np.linspace(lo - pad, hi + pad, 801)
        density = _mixture(g, grid)
        mean = sum(w * m for m, _, w in g)
        var = sum(w * (s * s + m * m) for m, s, w in g) - mean * mean
        return grid, density, mean, math.sqrt(max(var, 0.0)), _mixture_modes(g)

    def derived(self, result):
        """Mean, standard deviation and modes of the fitted distribution, with standard
        errors (FitResult.derived)."""
        try:
            rep = voigt_distribution(result, self.prefix)
        except (ValueError, ArithmeticError, np.linalg.LinAlgError):
            return {}
        u = self.unit
        out = {"distribution_mean": {"value": rep.mean, "stderr": rep.mean_err, "unit": u},
               "distribution_sd": {"value": rep.sd, "stderr": rep.sd_err, "unit": u}}
        for k, (x, e, _) in enumerate(rep.modes, 1):
            out[f"distribution_mode{k}"] = {"value": x, "stderr": e, "unit": u}
        return out


def _mixture(g, x):
    x = np.asarray(x, dtype=float)
    out = np.zeros_like(x)
    for m, s, w in g:
        if s > 0:
            out += w * np.exp(-0.5 * ((x - m) / s) ** 2) / (s * math.sqrt(2 * math.pi))
    return out


def _mixture_modes(g):
    """Local maxima of a Gaussian mixture (Newton from every component's mean)."""
    g = [r for r in g if r[1] > 0 and r[2] > 0]
    found = []
    for m0, _, _ in g:
        x = m0
        for _ in range(100):
            d1 = sum(-w * (x - m) / s ** 3 * math.exp(-0.5 * ((x - m) / s) ** 2) for m, s, w in g)
            d2 = sum(w / s ** 3 * (((x - m) / s) ** 2 - 1) * math.exp(-0.5 * ((x - m) / s) ** 2)
                     for m, s, w in g)
            if d2 >= 0:  # not concave here: climb
                step = math.copysign(0.1 * min(s for _, s, _ in g), d1)
            else:
                step = -d1 / d2
            x += step
            if abs(step) < 1e-12 * (1 + abs(x)):
                break
        if not any(abs(x - y) < 1e-6 * (1 + abs(x)) for y in found):
            found.append(x)
    found.sort()
    height = list(_mixture(g, found))
    return [(x, h) for x, h in zip(found, height)]


@dataclass
class DistributionReport:
    """A distribution P(x) on a grid (a density: its integral is 1) with standard
    errors, and its mean, standard deviation and modes (position, error, height)."""
    kind: str                      # "field" or "splitting"
    unit: str
    grid: np.ndarray
    density: np.ndarray
    density_err: np.ndarray
    mean: float
    mean_err: float
    sd: float
    sd_err: float
    modes: list                    # [(position, stderr, height)]
    method: str = ""
    extra: dict = field(default_factory=dict)

    def table(self):
        """The distribution as text: one row per grid point."""
        x = "B (T)" if self.kind == "field" else "QS (mm/s)"
        rows = [f"# {self.method}", f"# mean {self.mean:.5g} +/- {_e(self.mean_err)} {self.unit}",
                f"# sd   {self.sd:.5g} +/- {_e(self.sd_err)} {self.unit}"]
        rows += [f"# mode {p:.5g} +/- {_e(e)} {self.unit} (height {h:.4g})" for p, e, h in self.modes]
        rows.append(f"{x:>12} {'P':>14} {'P_err':>14}")
        rows += [f"{a:12.6g} {b:14.6g} {c:14.6g}" for a, b, c in
                 zip(self.grid, self.density, self.density_err)]
        return "\n".join(rows) + "\n"

    def to_dict(self):
        return {"kind": self.kind, "unit": self.unit, "method": self.method,
                "grid": [float(v) for v in self.grid], "density": [float(v) for v in self.density],
                "density_err": [float(v) for v in self.density_err],
                "mean": self.mean, "mean_err": self.mean_err, "sd": self.sd, "sd_err": self.sd_err,
                "modes": [{"position": p, "stderr": e, "height": h} for p, e, h in self.modes],
                **self.extra}

    def plot(self, path=None, ax=None):
        """Draw P(x) with a one-standard-error band; saves to path when given."""
        import matplotlib
        if path is not None and ax is None:
            matplotlib.use("Agg", force=False)
        import matplotlib.pyplot as plt
        own = ax is None
        if own:
            fig, ax = plt.subplots(figsize=(6, 3.5))
        ax.fill_between(self.grid, self.density - self.density_err, self.density + self.density_err,
                        color="0.8", step="mid" if self.method.startswith("free") else None)
        ax.plot(self.grid, self.density, color="k", drawstyle="steps-mid" if self.method.startswith("free")
                else "default")
        for p, _, h in self.modes:
            ax.axvline(p, color="tab:red", lw=0.8, ls=":")
        ax.set_xlabel("B (T)" if self.kind == "field" else "QS (mm/s)")
        ax.set_ylabel(f"P (1/{self.unit})")
        ax.set_title(f"mean {self.mean:.4g} {self.unit}, sd {self.sd:.3g} {self.unit}")
        if own:
            fig.tight_layout()
            if path is not None:
                fig.savefig(path, dpi=120)
                plt.close(fig)
        return ax


def _e(x):
    return "n/a" if x is None or not math.isfinite(x) else f"{x:.3g}"


def _propagate(f, x0, cov, rel=1e-6):
    """Standard errors of the vector function f at x0 through the covariance cov
    (central differences)."""
    y0 = np.asarray(f(x0), dtype=float)
    J = np.empty((len(y0), len(x0)))
    for i in range(len(x0)):
        h = rel * max(abs(x0[i]), 1e-3)
        xp, xm = x0.copy(), x0.copy()
        xp[i] += h
        xm[i] -= h
        J[:, i] = (np.asarray(f(xp)) - np.asarray(f(xm))) / (2 * h)
    var = np.einsum("ij,jk,ik->i", J, cov, J)
    return y0, np.sqrt(np.maximum(var, 0.0))


def voigt_distribution(result, prefix, grid=None):
    """The distribution a fit of a DistributionComponent found, with standard errors
    from the fit's covariance (mosslib.fit result; prefix of the component)."""
    comp = next((c for c in result.model.components if c.prefix == prefix), None)
    if not isinstance(comp, DistributionComponent):
        raise ValueError(f"no distribution component with prefix {prefix!r}")
    values = dict(result.values)
    grid, density, mean, sd, modes = comp.summary(values, grid)
    names = [n for n in (result.params.keys()) if result.params[n].vary
             and result.stderr.get(n) is not None and n.startswith(prefix)]
    if names:
        s = np.array([result.stderr[n] for n in names])
        corr = np.eye(len(names))
        for i, a in enumerate(names):
            for j, b in enumerate(names):
                if i != j:
                    corr[i, j] = result.correl.get((a, b), result.correl.get((b, a), 0.0))
        cov = corr * np.outer(s, s)
        x0 = np.array([values[n] for n in names])
        n_modes = len(modes)

        def quantities(x):
            v = dict(values)
            v.update(zip(names, x))
            _, d, m, sdv, md = comp.summary(v, grid)
            pos = [p for p, _ in md]
            if len(pos) != n_modes:  # the mode count changed: nearest positions
                pos = [min((p for p, _ in md), key=lambda q: abs(q - p0)) for p0, _ in modes]
            return np.concatenate([[m, sdv], pos, d])

        _, err = _propagate(quantities, x0, cov)
    else:
        err = np.full(2 + len(modes) + len(grid), math.nan)
    k = len(modes)
    return DistributionReport(comp.kind, comp.unit, grid, density, err[2 + k:], mean, float(err[0]),
                              sd, float(err[1]), [(p, float(e), h) for (p, h), e in zip(modes, err[2:2 + k])],
                              method=f"Voigt-based, {comp.count} Gaussian component(s)")


# ---- free-form distributions --------------------------------------------------------------

def _second_differences(n):
    L = np.zeros((max(n - 2, 0), n))
    for i in range(n - 2):
        L[i, i:i + 3] = (1.0, -2.0, 1.0)
    return L


def _nnls(A, b):
    from scipy.optimize import nnls
    return nnls(A, b, maxiter=50 * A.shape[1])[0]


def free_distribution(spectrum, model, params, prefix, grid, strength="gcv", strengths=None):
    """A free-form P(B) (field distribution component) or P(QS) (splitting distribution
    component) on the bins `grid` (centres, evenly spaced), fitted to `spectrum` with the
    rest of `model` held at `params` (a fit of the Voigt-based model, say): the lines'
    shape parameters of the component at `prefix` (centre and quadrupole shifts and their
    slopes, width, intensities) define the spectrum of each bin; the baseline and the
    other components stay as params give them.

    Non-negative least squares with Poisson weights, Tikhonov-regularised by the second
    differences of P; strength: "gcv" (generalised cross-validation), "lcurve" (corner
    of the L-curve) or a number (relative to the data term's scale). Returns a
    DistributionReport (density in 1/unit, errors from the regularised solution's
    covariance; extra: strength, chi-square, the curve of strengths tried)."""
    comp = next((c for c in model.components if c.prefix == prefix), None)
    if not isinstance(comp, DistributionComponent):
        raise ValueError(f"no distribution component with prefix {prefix!r}")
    grid = np.asarray(grid, dtype=float)
    if grid.ndim != 1 or len(grid) < 4 or not np.all(np.diff(grid) > 0):
        raise ValueError("grid: at least 4 increasing bin centres")
    width = float(np.mean(np.diff(grid)))
    if not np.allclose(np.diff(grid), width, rtol=1e-6, atol=0):
        raise ValueError("grid: evenly spaced bin centres")
    values = model._values(params)
    axis = model.axis_of(values, spectrum)
    v = axis.velocities()
    base = model.baseline.eval(values, axis, v)
    others = [c.absorption(values, axis) for c in model.components if c is not comp]
    other = np.sum(others, axis=0) if others else np.zeros(axis.n)

    # The spectrum of one bin: one sharp component at the bin's centre, unit area, the
    # shifts carried along their slopes from the component's reference (its first mean).
    single = DistributionComponent(comp.model, prefix=comp.prefix, **{**comp.options, "components": 1})
    mean1, sd1, w1 = comp.component_names(1)
    ref = values[prefix + mean1]
    slopes = ([("centre_shift", "centre_shift_per_T"), ("quadrupole_shift", "quadrupole_shift_per_T")]
              if comp.kind == "field" else [("centre_shift", "centre_shift_per_QS")])
    cols = []
    for x in grid:
        bv = {n: values[prefix + n] for n in comp.param_names}
        for shift, slope in slopes:
            bv[shift] = values[prefix + shift] + values[prefix + slope] * (x - ref)
        bv.update({mean1: x, sd1: 0.0, w1: 1.0, "area": 1.0})
        cols.append(single.absorption(bv, axis))
    S = np.array(cols).T  # channels x bins

    m = spectrum.mask
    d = spectrum.counts[m]
    sd = np.sqrt(spectrum.data_variance()[m])
    if model.form == "transmission":
        A = (base[:, None] * S)[m] * width
        t = (base * (1.0 - other))[m] - d
    else:
        A = S[m] * width
        t = d - (base + other)[m]
    Aw, tw = A / sd[:, None], t / sd
    L = _second_differences(len(grid))
    scale = np.trace(Aw.T @ Aw) / max(np.trace(L.T @ L), 1e-300)

    def solve(lam):
        big = np.vstack([Aw, math.sqrt(lam * scale) * L])
        rhs = np.concatenate([tw, np.zeros(L.shape[0])])
        p = _nnls(big, rhs)
        r = float(np.sum((Aw @ p - tw) ** 2))
        eta = float(np.sum((L @ p) ** 2))
        F = p > 0
        if F.any():
            G = Aw[:, F].T @ Aw[:, F] + lam * scale * (L[:, F].T @ L[:, F])
            K = np.linalg.solve(G, Aw[:, F].T)
            trace = float(np.trace(Aw[:, F] @ K))
        else:
            K, trace = None, 0.0
        return p, r, eta, trace, F, K

    n = len(tw)
    if strengths is None:
        strengths = np.logspace(-9, 1, 41)
    if isinstance(strength, str):
        if strength not in ("gcv", "lcurve"):
            raise ValueError(f"strength {strength!r}: 'gcv', 'lcurve' or a number")
        runs = [(lam, *solve(lam)) for lam in strengths]
        if strength == "gcv":
            score = [n * r / max(n - tr, 1e-9) ** 2 for lam, p, r, eta, tr, F, K in runs]
            best = int(np.argmin(score))
        else:
            best = _lcurve_corner([math.log(r) for _, _, r, *_ in runs],
                                  [math.log(max(eta, 1e-300)) for _, _, _, eta, *_ in runs])
        lam = float(strengths[best])
        curve = [{"strength": float(lam_), "residual": r, "roughness": eta, "dof": tr}
                 for lam_, p, r, eta, tr, F, K in runs]
    else:
        lam, curve = float(strength), []
    p, r, eta, trace, F, K = solve(lam)

    cov = np.zeros((len(grid), len(grid)))
    if K is not None:
        idx = np.flatnonzero(F)
        cov[np.ix_(idx, idx)] = K @ K.T
    total = p.sum() * width
    if not total > 0:
        raise ValueError("the free-form distribution came out empty: no absorption over the grid")
    density = p / total
    jac_norm = (np.eye(len(grid)) - np.outer(density * width, np.ones(len(grid)))) / total
    cov_d = jac_norm @ cov @ jac_norm.T

    def quantities(q):
        w = np.maximum(q, 0.0)
        w = w / w.sum()
        mean = float(np.sum(w * grid))
        var = float(np.sum(w * (grid - mean) ** 2))
        return np.array([mean, math.sqrt(max(var, 0.0))])

    (mean, sdv), (mean_err, sd_err) = _propagate(quantities, density, cov_d)
    modes = []
    for j in range(1, len(grid) - 1):
        if density[j] > density[j - 1] and density[j] >= density[j + 1] and density[j] > 0.05 * density.max():
            def vertex(q, j=j):
                a, b, c = q[j - 1], q[j], q[j + 1]
                den = a - 2 * b + c
                return np.array([grid[j] + (0.5 * width * (a - c) / den if den < 0 else 0.0)])
            (pos,), (err,) = _propagate(vertex, density, cov_d)
            modes.append((float(pos), float(err), float(density[j])))
    chisqr = float(np.sum((Aw @ p - tw) ** 2))
    return DistributionReport(comp.kind, comp.unit, grid, density, np.sqrt(np.maximum(np.diag(cov_d), 0)),
                              mean, float(mean_err), sdv, float(sd_err), modes,
                              method=f"free-form, {len(grid)} bins, Tikhonov "
                                     f"({strength if isinstance(strength, str) else 'given'}) "
                                     f"strength {lam:.3g}",
                              extra={"strength": lam, "chisqr": chisqr,
                                     "redchi": chisqr / max(n - trace, 1), "dof_model": trace,
                                     "curve": curve})


def _lcurve_corner(x, y):
    """Index of the largest curvature of the curve (x, y), x = log residual, y = log
    roughness (three-point circles)."""
    best, kmax = len(x) // 2, -math.inf
    for i in range(1, len(x) - 1):
        (x1, y1), (x2, y2), (x3, y3) = (x[i - 1], y[i - 1]), (x[i], y[i]), (x[i + 1], y[i + 1])
        a = math.hypot(x2 - x1, y2 - y1)
        b = math.hypot(x3 - x2, y3 - y2)
        c = math.hypot(x3 - x1, y3 - y1)
        area2 = (x2 - x1) * (y3 - y1) - (y2 - y1) * (x3 - x1)
        if a * b * c == 0:
            continue
        k = 2 * area2 / (a * b * c)  # a left turn (down, then right) at the corner
        if k > kmax:
            best, kmax = i, k
    return best


register_component(SITE, HyperfineComponent)
register_component(FIELD_DISTRIBUTION, DistributionComponent)
register_component(SPLITTING_DISTRIBUTION, DistributionComponent)
