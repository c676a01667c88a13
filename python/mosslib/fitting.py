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


_METHODS = ("leastsq", "least_squares", "differential_evolution", "brute", "basinhopping",
            "ampgo", "nelder", "lbfgsb", "powell", "cg", "newton", "cobyla", "bfgs", "tnc",
            "trust-ncg", "trust-exact", "trust-krylov", "trust-constr", "dogleg", "slsqp",
            "shgo", "dual_annealing")
_STRATEGIES = ("auto", "multistart", "local")
MAX_COUNT = 1e15  # per channel: beyond any counter, and chi-squares stay finite
DEFAULT_STARTS = 8
MAX_NFEV_PER_PARAM = 200   # evaluations: 200 Levenberg-Marquardt steps of a numerical Jacobian


def fit(spectrum, model, params=None, weights="data", method="leastsq", guess=True,
        mcmc=None, max_nfev=None, scale_covar=True, *, keep=None, strategy="auto",
        starts=None, seed=0, workers=1):
    """Fit `model` (Transmission or Absorption) to `spectrum` and return a FitResult
    with its verdict (see mosslib.verdict). (Several spectra with shared parameters:
    mosslib.fit_shared.)

    Starting values: with params None (and guess True) every value comes from the data
    (mosslib.starts: dips assigned to the components by their line patterns); with
    params and keep (the names whose values the user gave) the others come from the
    data (mossfit's parameters carry keep as params.user_given); with params alone the
    given values are the start.
    With params None, mirror lines are paired (intensities and widths 1=6, 2=5, 3=4);
    guess=False starts from the catalogue's examples instead of the data.
    strategy: 'multistart' (the default for starts from the data) runs a local fit from
    each of `starts` starting points (the best assignments of the dips and seeded
    perturbations of the best) with a small evaluation budget, continues the two best
    to convergence, then tries moves from the best minimum (each component re-placed
    on what the others leave; line exchanges of overlapping doublets) and keeps the
    lowest chi-square; 'local' runs one local fit (the default for given params). Same input and seed, same result bits, for any number
    of `workers` (processes). mcmc: None, or a dict of emcee settings (steps, burn,
    thin, nwalkers, seed) for MCMC uncertainties. max_nfev: the evaluation budget of
    each local fit to convergence (default MAX_NFEV_PER_PARAM per varied parameter and
    one more); a fit that runs out of it has not converged: verdict failed.
    """
    if weights not in _WEIGHTS:
        raise ValueError(f"weights={weights!r}: one of {', '.join(_WEIGHTS)}")
    if not isinstance(method, str) or method.lower() not in _METHODS:
        raise ValueError(f"method={method!r}: one of {', '.join(_METHODS)}")
    if strategy not in _STRATEGIES:
        raise ValueError(f"strategy={strategy!r}: one of {', '.join(_STRATEGIES)}")
    if max_nfev is not None and (int(max_nfev) != max_nfev or max_nfev < 1):
        raise ValueError(f"max_nfev={max_nfev!r}: a positive whole number")
    axis = model.axis_of({}, spectrum)
    _check_data(spectrum, model, axis)
    if keep is None and params is not None:
        keep = getattr(params, "user_given", None)
    from_data = (params is None and guess) or keep is not None
    if params is None:
        params = model.make_params(spectrum)
        for c in model.components:
            c.pair_lines(params)
        if not guess:
            from_data = False
    _check_params(model, params, axis)
    _check_degeneracies(model, params, axis)
    residual = _residual_function(model, spectrum, weights)
    if strategy == "auto":
        strategy = "multistart" if from_data else "local"
    n_starts = DEFAULT_STARTS if starts is None else int(starts)
    if n_starts < 1:
        raise ValueError(f"starts={starts!r}: at least 1")
    if from_data:
        from .starts import data_starts
        cands, prof = data_starts(spectrum, model, params, keep or (),
                                  n=max(1, n_starts // 2) if strategy == "multistart" else 1)
        h = prof.h
        source = "the data's dips" if prof.dips else "the catalogue (no dips found)"
    else:
        from .starts import _grid_step
        cands, source = [params], "the given values"
        h = _grid_step(axis.velocities(), axis.sweeps(), spectrum.mask)
    cands = [c for c in cands if np.all(np.isfinite(residual(c)))]
    if not cands:
        raise ValueError("the fit cannot start: the model is not finite at the starting "
                         "values (a zero width or area?)")
    nvary = sum(1 for q in params.values() if q.vary and not q.expr)
    ndata = int(np.count_nonzero(spectrum.mask))
    if nvary >= ndata:
        raise ValueError(f"the fit cannot start: {nvary} parameters varied on {ndata} "
                         f"channels")
    if max_nfev is None:
        max_nfev = MAX_NFEV_PER_PARAM * (nvary + 1)
    job = (model, spectrum, weights, method, scale_covar)
    if strategy == "local":
        out, mini = _local(job, cands[0], max_nfev)
        stage = {"strategy": "local", "starts": 1, "source": source,
                 "budget": f"at most {max_nfev} evaluations"}
    else:
        out, mini, stage = _multistart(job, model, cands, keep or (), h, n_starts, seed,
                                       max_nfev, workers, residual)
        stage["source"] = source
    result = FitResult.from_lmfit(out, model, spectrum, weights, stage=stage)
    result.scale_covar = scale_covar
    if mcmc:
        result.mcmc = _run_mcmc(result, dict(mcmc))
    return result


def _check_data(spectrum, model, axis):
    v = axis.velocities()[spectrum.mask]
    if not np.all(np.isfinite(v)) or not np.ptp(v) > 0:
        raise ValueError("the velocity axis is degenerate: every fitted channel at one "
                         "velocity, or velocities not finite (a zero step or amplitude?)")
    d = spectrum.counts[spectrum.mask]
    if model.form == "transmission":
        if not np.any(d > 0):
            raise ValueError(f"{spectrum.name or 'the spectrum'} has no counts (every fitted "
                             f"channel is 0)")
        if np.max(d) > MAX_COUNT:
            raise ValueError(f"{spectrum.name or 'the spectrum'}: a count of {np.max(d):.3g} "
                             f"in one channel is not a count (at most {MAX_COUNT:g})")
    elif not np.all(np.abs(d) < 1e150):
        raise ValueError(f"{spectrum.name or 'the spectrum'}: values beyond 1e150")


def _check_params(model, params, axis):
    missing = [n for n in model.param_names(axis) if n not in params]
    if missing:
        raise ValueError(f"parameters missing: {', '.join(missing)}")
    names = list(params)
    for n, q in params.items():
        if q.expr:
            check_expression(q.expr, names, what=n)
        if q.min > q.max:
            raise ValueError(f"{n}: lower bound {q.min:g} above upper bound {q.max:g}")
    for n, q in params.items():
        if not q.expr and not math.isfinite(q.value):
            raise ValueError(f"{n}: the starting value {q.value} is not finite")


_FUNCTIONS = {"sqrt", "exp", "log", "log10", "sin", "cos", "tan", "arcsin", "arccos",
              "arctan", "abs", "min", "max"}
_CONSTANTS = {"pi", "e"}


def check_expression(expr, names, what="tie"):
    """Refuse a constraint expression that is not arithmetic (+ - * / and ** by a small
    constant) on parameter names, numbers and a few functions, before lmfit parses it."""
    import ast
    text = str(expr)
    if len(text) > 500:
        raise ValueError(f"{what} = {text[:40]}...: an expression of at most 500 characters")
    try:
        tree = ast.parse(text.strip(), mode="eval")
    except SyntaxError:
        raise ValueError(f"{what} = {text}: not an expression") from None
    known = set(names)
    ops = (ast.Add, ast.Sub, ast.Mult, ast.Div, ast.Pow, ast.USub, ast.UAdd)

    def bad(why):
        raise ValueError(f"{what} = {text}: {why}; a constraint is arithmetic on parameter "
                         f"names, numbers and {', '.join(sorted(_FUNCTIONS))}")

    def visit(node):
        if isinstance(node, ast.Expression):
            return visit(node.body)
        if isinstance(node, ast.Constant):
            if isinstance(node.value, bool) or not isinstance(node.value, (int, float)):
                bad(f"{node.value!r} is not a number")
            if not abs(node.value) < 1e300:
                bad(f"the number {node.value!r} is out of range")
            return
        if isinstance(node, ast.Name):
            if node.id not in known and node.id not in _CONSTANTS:
                import difflib
                near = difflib.get_close_matches(node.id, sorted(known), n=1)
                bad(f"unknown name {node.id!r}" + (f" (did you mean {near[0]}?)" if near else ""))
            return
        if isinstance(node, ast.UnaryOp) and isinstance(node.op, ops):
            return visit(node.operand)
        if isinstance(node, ast.BinOp) and isinstance(node.op, ops):
            if isinstance(node.op, ast.Pow):
                e = node.right
                if isinstance(e, ast.UnaryOp) and isinstance(e.op, (ast.USub, ast.UAdd)):
                    e = e.operand
                if not (isinstance(e, ast.Constant) and isinstance(e.value, (int, float))
                        and abs(e.value) <= 16):
                    bad("a power needs a constant exponent of at most 16")
            visit(node.left)
            return visit(node.right)
        if isinstance(node, ast.Call) and isinstance(node.func, ast.Name) \
                and node.func.id in _FUNCTIONS and not node.keywords and node.args:
            for a in node.args:
                visit(a)
            return
        bad(f"{type(node).__name__} is not allowed")

    visit(tree)


def _local(job, params, max_nfev):
    """One local fit: (MinimizerResult, Problem). Ties compiled once, the model on
    preallocated arrays, lmfit on the free parameters alone (the same bits as the
    interpreted route)."""
    model, spectrum, weights, method, scale_covar = job
    problem = Problem(model, spectrum, params, weights)
    try:
        out = problem.minimize(method=method, max_nfev=int(max_nfev) if max_nfev else None,
                               scale_covar=scale_covar)
    except ValueError as e:
        raise ValueError(f"the fit failed: {e}") from None
    return out, problem


def _local_end(job, params, max_nfev):
    """A local fit in a worker: (end Parameters, chi-square, success)."""
    out, _ = _local(job, params, max_nfev)
    return out.params, _chisqr(job, out.params), bool(out.success)


def _local_kept(job, params, max_nfev):
    """_local_end in this process, keeping the fit itself: (..., (result, minimizer))."""
    out, mini = _local(job, params, max_nfev)
    return out.params, _chisqr(job, out.params), bool(out.success), (out, mini)


def _converge(job, starts, max_nfev, pool):
    """Local fits to convergence: on the pool of processes, or here keeping each fit
    (the final fit is then the kept one when it starts from the same values; the same
    bits either way)."""
    if pool is not None:
        return [e + (None,) for e in _map(_local_end, [(job, q, max_nfev) for q in starts], pool)]
    return [_local_kept(job, q, max_nfev) for q in starts]


def _chisqr(job, params):
    model, spectrum, weights, _, _ = job
    r = _residual_function(model, spectrum, weights)(params)
    c = float(np.dot(r, r))
    return c if math.isfinite(c) else math.inf


def _map(fn, args, pool):
    """fn over the argument tuples, in order; on the pool of processes if there is one
    (each call is independent, so the results are the same bits)."""
    if pool is not None and len(args) > 1:
        return list(pool.map(fn, *zip(*args)))
    return [fn(*a) for a in args]


def _pool(workers):
    if not workers or int(workers) <= 1:
        return None
    import multiprocessing
    from concurrent.futures import ProcessPoolExecutor
    return ProcessPoolExecutor(max_workers=int(workers),
                               mp_context=multiprocessing.get_context("spawn"))


def _multistart(job, model, cands, keep, h, n_starts, seed, max_nfev, workers, residual):
    """Local fits from every start with a short budget, the two best continued to
    convergence, then the moves; the lowest chi-square wins (the earlier on a tie)."""
    pool = _pool(workers)
    try:
        return _multistart_on(job, model, cands, keep, h, n_starts, seed, max_nfev, pool,
                              residual)
    finally:
        if pool is not None:
            pool.shutdown()


def _multistart_on(job, model, cands, keep, h, n_starts, seed, max_nfev, workers, residual):
    from .starts import perturb
    rng = np.random.default_rng(seed)
    starts = list(cands[:n_starts])
    from_dips = len(starts)
    k = 0
    while len(starts) < n_starts:
        starts.append(perturb(model, cands[0], set(keep), rng, h, scale=1.0 + k % 2))
        k += 1
    starts = [s for s in starts if np.all(np.isfinite(residual(s)))] or starts[:1]
    nvary = sum(1 for q in starts[0].values() if q.vary and not q.expr)
    short = 20 * (nvary + 1)
    if max_nfev:
        short = min(short, int(max_nfev))
    first = _map(_local_end, [(job, s, short) for s in starts], workers)
    order = sorted(range(len(first)), key=lambda i: (first[i][1], i))[:2]
    ends = _converge(job, [first[i][0] for i in order], max_nfev, workers)
    # pool of minima: (end params, chi-square, converged, where from, start of the final fit)
    pool = [(e[0], e[1], e[2], f"start {i + 1}", first[i][0], e[3]) for e, i in zip(ends, order)]
    # Moves from the best minimum: each component alone onto what the others leave in
    # the data, and the line exchanges of overlapping doublets; each move runs the short
    # budget, its best continues to convergence.
    from .starts import component_starts, exchange_starts
    moved = 0
    best = min(range(len(pool)), key=lambda i: (pool[i][1], i))
    ncomp = len(model.components)
    weakest = _weakest(model, pool[best][0], keep)
    for j in range(ncomp + 2):
        base = pool[best][0]
        if j < ncomp:
            tries = component_starts(job[1], model, base, j, keep, n=3)
        elif j == ncomp:
            tries = exchange_starts(model, base, keep)
        elif weakest is not None:
            # the weakest component taken out, the others refitted, and it re-placed on
            # what they leave: a minority site whose wrong placement bent the others
            j = weakest
            without = _without(model, base, j)
            rest = _local_end(job, without, short)[0]
            tries = component_starts(job[1], model, _restore(model, rest, base, j), j, keep, n=3)
        else:
            tries = []
        if not tries:
            continue
        moved += len(tries)
        firsts = _map(_local_end, [(job, t, short) for t in tries], workers)
        i = min(range(len(firsts)), key=lambda i: (firsts[i][1], i))
        e = _converge(job, [firsts[i][0]], max_nfev, workers)[0]
        what = f"move of {model.components[j].prefix}" if j < len(model.components) \
            else "doublet line exchange"
        pool.append((e[0], e[1], e[2], what, firsts[i][0], e[3]))
        best = min(range(len(pool)), key=lambda i: (pool[i][1], i))
    from .starts import _order_alike
    final = pool[best][4].copy()
    _order_alike(model, final, set(keep))
    kept = pool[best][5]
    if kept is not None and final.valuesdict() == pool[best][4].valuesdict():
        out, mini = kept
    else:
        out, mini = _local(job, final, max_nfev)
    stage = {"strategy": "multistart", "starts": len(starts), "from_dips": from_dips,
             "perturbed": len(starts) - from_dips, "seed": seed, "moves": moved,
             "budget": f"{short} evaluations per start and move, the best to convergence "
                       f"(at most {max_nfev})",
             "best": pool[best][3], "chisqr_of_starts": [c for _, c, _ in first],
             "rivals": _rivals(out, [x[:3] for k, x in enumerate(pool) if k != best])}
    return out, mini, stage


def _amount_names(c):
    return [c.prefix + n for n in c.param_names if n in ("area", "amplitude")]


def _weakest(model, params, keep):
    """Index of the component with the smallest area among two or more with a free
    area, or None."""
    if len(model.components) < 2:
        return None
    areas = []
    for j, c in enumerate(model.components):
        names = _amount_names(c)
        if not names or any(n in keep or not params[n].vary or params[n].expr for n in names):
            return None
        areas.append((sum(abs(params[n].value) for n in names), j))
    return min(areas)[1]


def _without(model, params, j):
    q = params.copy()
    for n in _amount_names(model.components[j]):
        q[n].set(value=0.0, vary=False)
    return q


def _restore(model, fitted, before, j):
    """fitted's values with component j's parameters as they were before."""
    q = fitted.copy()
    c = model.components[j]
    for n in c.names:
        q[n].set(value=before[n].value, vary=before[n].vary, expr=before[n].expr or None)
    return q


def _rivals(out, others):
    """Other converged minima as deep as the best (chi-square within 1) whose values
    differ by more than three standard errors: the data do not decide between them."""
    reasons = []
    for params, chi, ok in others:
        if not ok or chi - out.chisqr > 1.0 or out.covar is None:
            continue
        far = []
        for n in out.var_names:
            e = out.params[n].stderr
            if e and math.isfinite(e) and abs(params[n].value - out.params[n].value) > 3 * e:
                far.append(n)
        if far:
            reasons.append(f"another minimum as deep (chi-square {chi - out.chisqr:+.3g}) at "
                           f"other values of {', '.join(far[:4])}"
                           + (" ..." if len(far) > 4 else ""))
    return reasons


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
    verdict: str = "good"          # "good", "suspect" or "failed" (mosslib.verdict)
    reasons: list = field(default_factory=list)
    stage: dict = field(default_factory=dict)   # the global stage: strategy, starts, budget
    converged: bool = None         # the optimiser's own flag (success also needs the verdict)

    @classmethod
    def from_lmfit(cls, out, model, spectrum, weights, stage=None):
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
        r.stage = dict(stage or {})
        r.converged = bool(out.success)
        covar_ok = not names or (out.covar is not None and bool(np.all(np.isfinite(out.covar))))
        from .verdict import assess
        r.verdict, r.reasons = assess(r, covar_ok=covar_ok, stage=r.stage)
        if r.verdict == "failed":
            r.success = False
        if r.verdict != "good" and r.message.strip().lower().startswith("fit succeeded"):
            # the optimiser's words never stand beside a doubtful fit
            r.message = f"the optimiser stopped at a minimum; verdict {r.verdict}"
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
        return {"verdict": self.verdict, "reasons": list(self.reasons),
                "global_stage": {k: v for k, v in self.stage.items() if k != "rivals"},
                "spectrum": self.spectrum.name, "model": self.model.to_dict(),
                "formula": self.model.describe(), "axis": self.axis.to_dict(),
                "weights": self.weights, "success": self.success, "converged": self.converged,
                "message": self.message,
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
        lines = [verdict_line(self),
                 f"Fit of {self.spectrum.name or 'spectrum'}: {self.model.describe()}",
                 f"  axis       {_axis_text(self.axis)}",
                 f"  weights    Poisson ({self.weights})",
                 f"  channels   {self.ndata} fitted, {self.nvarys} parameters varied, "
                 f"{self.nfev} evaluations",
                 f"  chi-square {self.chisqr:.6g}, reduced {self.redchi:.5g}",
                 f"  optimiser  {_status(self)}",
                 f"  start      {_stage_text(self.stage)}",
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


def verdict_line(result):
    """The verdict with every reason, on one line."""
    if not result.reasons:
        return f"verdict: {result.verdict}"
    return f"verdict: {result.verdict}: " + "; ".join(result.reasons)


def _status(result):
    msg = result.message.strip()
    ok = result.converged if result.converged is not None else result.success
    return f"{'converged' if ok else 'NOT converged'}: {msg}"


def _stage_text(stage):
    if not stage:
        return "the given values"
    src = stage.get("source", "")
    if stage.get("strategy") == "multistart":
        return (f"multi-start from {src}: {stage['starts']} starts ({stage['from_dips']} "
                f"assignments, {stage['perturbed']} perturbed, seed {stage['seed']}), "
                f"{stage['moves']} moves, {stage['budget']}; best from {stage['best']}")
    return f"one local fit from {src}, {stage.get('budget', '')}"


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
