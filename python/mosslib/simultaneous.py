"""Simultaneous fits of several spectra with shared parameters.

    r = mosslib.fit([s1, s2], model, shared=["a_width1", "a_centre_shift"])
    r = fit_shared([s1, s2], [m1, m2], shared=["*_width*"])     # patterns, one model each

Each spectrum has its own model (or all the same one), its own velocity axis and its
own baseline; a shared parameter takes one value for all of them. In the joint fit a
parameter of spectrum k (from 1) is named "d<k>_<name>" unless shared, when it keeps
its plain name; a tie of spectrum k is rewritten on those names. The chi-square is
the sum over the spectra, each with its own Poisson weights.

The result (SharedFitResult) holds the joint statistics and one FitResult per
spectrum (its values and standard errors from the joint fit, its own chi-square and a
reduced chi-square that counts a shared parameter once over all spectra).
"""

import copy
import fnmatch
import json
import math
from dataclasses import dataclass, field
from types import SimpleNamespace

import numpy as np

from .compiled import JointProblem, prefix_of as _prefix
from .fitting import FitResult, _WEIGHTS, _check_degeneracies, _jsonable
from .uncertainty import report_lines

__all__ = ["fit_shared", "SharedFitResult"]


def expand_shared(shared, params_list):
    """Shared parameter names from names or shell patterns ('*_width*'): those of the
    first spectrum that match; refused when missing from another spectrum, or when a
    baseline parameter (each spectrum keeps its own). An axis parameter is shared only
    when named in full (a foil and its sample on one drive); patterns skip them."""
    names = list(params_list[0])
    out = []
    for pat in shared or ():
        hits = [n for n in names if fnmatch.fnmatchcase(n, pat)]
        if not hits:
            raise ValueError(f"--share {pat}: no such parameter; parameters: {', '.join(names)}")
        for n in hits:
            if n.startswith(("base_", "axis_")):
                if any(c in pat for c in "*?["):
                    continue
                if n.startswith("base_"):
                    raise ValueError(f"{n} cannot be shared: each spectrum keeps its own "
                                     f"baseline")
            if n not in out:
                out.append(n)
    out.sort(key=names.index)
    for k, p in enumerate(params_list[1:], 2):
        missing = [n for n in out if n not in p]
        if missing:
            raise ValueError(f"spectrum {k} has no parameter {', '.join(missing)} to share")
    return out


def fit_shared(spectra, models, shared=(), params=None, weights="data", method="leastsq",
               max_nfev=None, scale_covar=True):
    """Fit the spectra together with the parameters `shared` (names or patterns) common
    to all; models: one model for all, or one per spectrum; params: None (each model's
    start on its spectrum, areas scaled to the data) or one Parameters per spectrum."""
    spectra = list(spectra)
    if len(spectra) < 2:
        raise ValueError("a simultaneous fit needs at least two spectra")
    models = list(models) if isinstance(models, (list, tuple)) else [models] * len(spectra)
    if len(models) != len(spectra):
        raise ValueError(f"{len(models)} models for {len(spectra)} spectra")
    if weights not in _WEIGHTS:
        raise ValueError(f"weights={weights!r}: one of {', '.join(_WEIGHTS)}")
    if params is None:
        params = []
        for s, m in zip(spectra, models):
            m.axis_of({}, s)
            p = m.make_params(s)
            m.guess(s, p)
            params.append(p)
    elif len(params) != len(spectra):
        raise ValueError(f"{len(params)} parameter sets for {len(spectra)} spectra")
    shared = expand_shared(shared, params)
    for k, (s, m, p) in enumerate(zip(spectra, models, params)):
        axis = m.axis_of({}, s)
        missing = [n for n in m.param_names(axis) if n not in p]
        if missing:
            raise ValueError(f"{s.name or 'a spectrum'}: parameters missing: {', '.join(missing)}")
        if k:
            # a shared axis parameter is pinned by the first spectrum (its foil)
            p = p.copy()
            for n in shared:
                if n.startswith("axis_"):
                    p[n].set(vary=False, expr="")
        _check_degeneracies(m, p, axis)
    problem = JointProblem(spectra, models, params, shared, weights)
    start = problem.residual(problem.x0)
    if not np.all(np.isfinite(start)):
        raise ValueError("the fit cannot start: a model is not finite at the starting "
                         "values (a zero width or area?)")
    try:
        out = problem.minimize(method=method, max_nfev=max_nfev, scale_covar=scale_covar)
    except ValueError as e:
        raise ValueError(f"the fit failed: {e}") from None
    joint = out.params
    values = problem.ties.values([joint[n].value for n in problem.free])
    var = list(out.var_names or [])
    results = []
    for k, (s, m, p) in enumerate(zip(spectra, models, params)):
        pre = _prefix(k)
        sub, take = problem.parts[k]
        local = {n: (n if n in shared else pre + n) for n in p}
        own = copy.deepcopy(p)
        for n in p:
            q = joint[local[n]]
            if not own[n].expr:
                own[n].value = q.value
            own[n].stderr = q.stderr
        for n in p:
            if own[n].expr:
                own[n].stderr = joint[local[n]].stderr
        names = [n for n in p if local[n] in var]
        covar = None
        if out.covar is not None and names:
            ix = [var.index(local[n]) for n in names]
            covar = out.covar[np.ix_(ix, ix)]
        r = sub.residual_on([values[j] for j in take])
        chisqr = float(np.dot(r, r))
        n_own = sum(1 for n in names if n not in shared)
        n_shared = sum(1 for n in names if n in shared) / len(spectra)
        dof = sub.idx.size - n_own - n_shared
        fake = SimpleNamespace(params=own, var_names=names, covar=covar, chisqr=chisqr,
                               redchi=chisqr / dof if dof > 0 else math.nan,
                               ndata=int(sub.idx.size), nvarys=len(names), nfev=out.nfev,
                               success=out.success, message=out.message, residual=r.copy(),
                               nfree=dof, errorbars=getattr(out, "errorbars", None),
                               aic=math.nan, bic=math.nan, method=method)
        fr = FitResult.from_lmfit(fake, m, s, weights)
        fr.scale_covar = scale_covar
        results.append(fr)
    return SharedFitResult(params=joint, values={n: float(q.value) for n, q in joint.items()},
                           stderr={n: (float(q.stderr) if q.stderr is not None and
                                       np.isfinite(q.stderr) else None) for n, q in joint.items()},
                           shared=shared, chisqr=float(out.chisqr), redchi=float(out.redchi),
                           ndata=int(out.ndata), nvarys=int(out.nvarys), nfev=int(out.nfev),
                           success=bool(out.success), message=str(out.message),
                           weights=weights, results=results, scale_covar=scale_covar,
                           correl=_correl(out))


def _correl(out):
    names = list(out.var_names or [])
    c = {}
    if out.covar is not None:
        cov = out.covar
        for a in range(len(names)):
            for b in range(a + 1, len(names)):
                s = math.sqrt(cov[a, a] * cov[b, b])
                if s > 0:
                    c[(names[a], names[b])] = float(cov[a, b] / s)
    return c


@dataclass
class SharedFitResult:
    """A simultaneous fit: the joint parameters and statistics, one FitResult per
    spectrum (results)."""
    params: object
    values: dict
    stderr: dict
    shared: list
    chisqr: float
    redchi: float
    ndata: int
    nvarys: int
    nfev: int
    success: bool
    message: str
    weights: str
    results: list
    scale_covar: bool = True
    correl: dict = field(default_factory=dict)
    intervals: dict = None
    mcmc: dict = None

    @property
    def verdict(self):
        """The worst of the spectra's verdicts; failed when the joint fit did not converge."""
        if not self.success:
            return "failed"
        order = ("good", "suspect", "failed")
        return max((getattr(r, "verdict", "good") for r in self.results), key=order.index)

    @property
    def reasons(self):
        out = [] if self.success else [f"the joint fit did not converge: {self.message}"]
        for k, r in enumerate(self.results):
            out += [f"spectrum {k + 1}: {x}" for x in getattr(r, "reasons", [])]
        return out

    def problem(self):
        return JointProblem([r.spectrum for r in self.results], [r.model for r in self.results],
                            [r.params for r in self.results], self.shared, self.weights,
                            joint=self.params)

    def to_dict(self):
        return {"verdict": self.verdict, "reasons": self.reasons,
                "shared": self.shared, "weights": self.weights, "success": self.success,
                "message": self.message, "chisqr": self.chisqr, "redchi": self.redchi,
                "ndata": self.ndata, "nvarys": self.nvarys, "nfev": self.nfev,
                "params": {n: {"value": self.values[n], "stderr": self.stderr[n],
                               "vary": bool(q.vary), "expr": q.expr}
                           for n, q in self.params.items()},
                "intervals": self.intervals, "mcmc": self.mcmc,
                "spectra": [r.to_dict() for r in self.results]}

    def to_json(self, path=None, indent=2):
        text = json.dumps(_jsonable(self.to_dict()), indent=indent)
        if path is not None:
            with open(path, "w") as f:
                f.write(text + "\n")
        return text

    def report(self):
        lines = [f"verdict: {self.verdict}" + (f" ({'; '.join(self.reasons)})" if self.reasons else ""),
                 f"Simultaneous fit of {len(self.results)} spectra, shared: "
                 f"{', '.join(self.shared) or 'nothing'}",
                 f"  channels   {self.ndata} fitted, {self.nvarys} parameters varied, "
                 f"{self.nfev} evaluations",
                 f"  chi-square {self.chisqr:.6g}, reduced {self.redchi:.5g}",
                 f"  status     {'converged' if self.success else 'NOT converged'}: {self.message}",
                 "", "Shared parameters:"]
        for n in self.shared:
            e = self.stderr.get(n)
            q = self.params[n]
            how = f"= {q.expr}" if q.expr else "(fixed)" if not q.vary else \
                (f"+/- {e:.4g}" if e is not None else "+/- (not estimated)")
            lines.append(f"  {n:<26} {self.values[n]:>14.7g} {how}")
        lines += report_lines(self)
        text = "\n".join(lines) + "\n"
        for k, r in enumerate(self.results, 1):
            text += f"\n--- spectrum {k} ({_prefix(k - 1)}*) ---\n" + r.report()
        return text

    def plot(self, path=None, **kws):
        """One plot per spectrum: path 'fit.png' gives fit_1.png, fit_2.png, ..."""
        import os
        stem, ext = os.path.splitext(path) if path else (None, "")
        return [r.plot(f"{stem}_{k}{ext}" if path else None, **kws)
                for k, r in enumerate(self.results, 1)]
