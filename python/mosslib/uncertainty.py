"""Uncertainties of a fit beyond its covariance matrix.

Covariance errors (FitResult.stderr) are lmfit's: the inverse of JᵀJ at the optimum,
scaled by the reduced chi-square (standard error = sqrt(diag) * sqrt(chi2_r)), so that
they hold when the scatter of the data is not the Poisson variance the weights assume.
fit(..., scale_covar=False) gives the unscaled ones.

profile(result, names)      profile-likelihood intervals (iminuit's MINOS): for each
                            parameter the values where the chi-square, minimised over
                            every other free parameter, has risen by chi2_r (by 1
                            unscaled); asymmetric where the chi-square is.
bootstrap(result, n, ...)   parametric Poisson bootstrap: n spectra drawn from the
                            fitted model (Poisson counts; a spectrum with its own
                            variances gets normal deviates of that variance, scaled
                            like the covariance errors), each refitted from the optimum;
                            the spread of every parameter. Replica k draws from its own
                            seed (numpy SeedSequence(seed).spawn), so the results are
                            the same bits for any number of worker processes.
mcmc(result, steps, ...)    emcee's affine-invariant ensemble, walkers started from the
                            covariance; burn-in a quarter of the chain and thinning half
                            the integrated autocorrelation time unless given; a chain
                            shorter than 50 autocorrelation times (emcee's rule for a
                            reliable estimate) is refused. The likelihood is tempered
                            by chi2_r like the covariance errors.

Each stores its outcome in result.intervals (profile, bootstrap) or result.mcmc and
returns it; result.report() shows them beside the covariance errors.
"""

import math
import os

import numpy as np

from .compiled import JointProblem, Problem

__all__ = ["profile", "bootstrap", "mcmc", "report_lines"]

_Q = (15.865525393145708, 84.13447460685429)  # one-sigma quantiles of a normal


def _problem(result, counts=None):
    """The compiled problem of a fit (a simultaneous one too), on replica counts."""
    from dataclasses import replace
    if hasattr(result, "results"):
        rs = result.results
        spectra = [r.spectrum if counts is None else replace(r.spectrum, counts=c)
                   for r, c in zip(rs, counts or [None] * len(rs))]
        return JointProblem(spectra, [r.model for r in rs], [r.params for r in rs],
                            result.shared, result.weights, joint=result.params)
    s = result.spectrum if counts is None else replace(result.spectrum, counts=counts[0])
    return Problem(result.model, s, result.params, result.weights)


def _scale(result):
    """The factor on the chi-square that the covariance errors carry."""
    if not getattr(result, "scale_covar", True):
        return 1.0
    r = result.redchi
    return r if math.isfinite(r) and r > 0 else 1.0


def _names(result, names, free):
    if names is None or names == [] or names == ():
        return list(free)
    names = [names] if isinstance(names, str) else list(names)
    for n in names:
        if n not in result.params:
            raise ValueError(f"unknown parameter {n!r}; free parameters: {', '.join(free)}")
        if n not in free:
            raise ValueError(f"{n} is not a free parameter of the fit (fixed or tied); "
                             f"free: {', '.join(free)}")
    return names


def _store(result, kind, value):
    if result.intervals is None:
        result.intervals = {}
    result.intervals[kind] = value
    return value


# -- profile likelihood ------------------------------------------------------------
def profile(result, names=None, sigma=1.0):
    """Profile-likelihood intervals of the free parameters `names` (default: all).
    Returns {name: {"value", "minus", "plus", "valid"}}: the interval is
    [value - minus, value + plus] at `sigma` standard deviations."""
    try:
        from iminuit import Minuit
    except ImportError:
        raise ValueError("profile intervals need iminuit (Debian: python3-iminuit)") from None
    problem = _problem(result)
    free = problem.free
    names = _names(result, names, free)
    if not free:
        raise ValueError("the fit has no free parameter to profile")
    scale = _scale(result)

    def cost(x):
        c = problem.chisqr(x) / scale
        return c if math.isfinite(c) else 1e300

    m = Minuit(cost, problem.x0.copy(), name=free)
    m.errordef = Minuit.LEAST_SQUARES
    errors = [(result.stderr.get(n) or 1e-3 * max(abs(result.values[n]), 1e-3)) for n in free]
    m.errors = errors
    # A bound far from the optimum (beyond 20 standard errors) is left to the chi-square:
    # Minuit's transformation of a bounded parameter spoils MINOS's crossing otherwise.
    # (Only finite limits are handed over: infinite ones make iminuit 2.11 step to NaN.)
    for n, e in zip(free, errors):
        p, v = result.params[n], result.values[n]
        lo = p.min if v - p.min < 20 * e else None
        hi = p.max if p.max - v < 20 * e else None
        if lo is not None or hi is not None:
            m.limits[n] = (lo, hi)
    m.strategy = 1
    m.print_level = 0
    m.migrad()
    if not m.valid:
        raise ValueError("profile: the chi-square minimum was not confirmed (the fit has "
                         "not converged?)")
    out = {}
    for n in names:
        try:
            m.minos(n, cl=math.erf(float(sigma) / math.sqrt(2.0)))  # a probability
            e = m.merrors[n]
            out[n] = {"value": float(m.values[n]), "minus": float(-e.lower),
                      "plus": float(e.upper), "valid": bool(e.is_valid),
                      "at_limit": bool(e.at_lower_limit or e.at_upper_limit)}
        except RuntimeError as err:
            out[n] = {"value": float(m.values[n]), "minus": math.nan, "plus": math.nan,
                      "valid": False, "reason": str(err)}
    return _store(result, "profile", {"sigma": float(sigma), "chi2_scale": scale,
                                      "params": out})


# -- parametric bootstrap --------------------------------------------------------------
def _replica(result, k, seed, n):
    """Counts of replica k of every spectrum (from replica k's own seed stream)."""
    rng = np.random.default_rng(np.random.SeedSequence(seed).spawn(n)[k])
    out = []
    for r in getattr(result, "results", [result]):
        s = r.spectrum
        expected = np.maximum(r.best_fit, 0.0)
        counts = s.counts.copy()
        m = s.mask
        if s.variance is None:
            counts[m] = rng.poisson(expected[m])
        else:
            sd = np.sqrt(s.data_variance()[m] * _scale(result))
            counts[m] = np.maximum(expected[m] + sd * rng.standard_normal(m.sum()), 0.0)
        out.append(counts)
    return out


def _refit_chunk(result, ks, seed, n, max_nfev):
    names = list(result.params)
    rows = np.full((len(ks), len(names)), np.nan)
    ok = np.zeros(len(ks), dtype=bool)
    for j, k in enumerate(ks):
        problem = _problem(result, _replica(result, k, seed, n))
        try:
            out = problem.minimize(max_nfev=max_nfev)
        except (ValueError, ArithmeticError):
            continue
        ok[j] = bool(out.success)
        rows[j] = [out.params[p].value for p in names]
    return ks, rows, ok


def bootstrap(result, n=200, seed=1, workers=None, max_nfev=None):
    """Parametric bootstrap with n replicas (seeded; parallel over `workers` processes,
    default the cores available; 1: this process). Returns {"n", "seed", "failed",
    "params": {name: {"value", "stderr", "minus", "plus"}}} for every parameter that
    varies (free or tied)."""
    n = int(n)
    if n < 10:
        raise ValueError(f"bootstrap: {n} replicas are too few for a spread (at least 10)")
    if workers is None:
        workers = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    workers = max(1, min(int(workers), n))
    chunks = [list(range(i, n, workers)) for i in range(workers)]
    rows = np.full((n, len(result.params)), np.nan)
    ok = np.zeros(n, dtype=bool)
    if workers == 1:
        parts = [_refit_chunk(result, chunks[0], seed, n, max_nfev)]
    else:
        import multiprocessing as mp
        from concurrent.futures import ProcessPoolExecutor
        # fork: the library rebuilds its thread pool in a forked child, and a script
        # without a __main__ guard is not run again (as spawn would)
        ctx = mp.get_context("fork" if "fork" in mp.get_all_start_methods() else "spawn")
        with ProcessPoolExecutor(workers, mp_context=ctx) as ex:
            parts = list(ex.map(_refit_chunk, [result] * workers, chunks, [seed] * workers,
                                [n] * workers, [max_nfev] * workers))
    for ks, r, o in parts:
        rows[ks], ok[ks] = r, o
    names = list(result.params)
    good = rows[ok]
    params = {}
    for j, name in enumerate(names):
        p = result.params[name]
        if not (p.vary or p.expr):
            continue
        col = good[:, j]
        if col.size < 2 or not np.ptp(col) > 0:
            continue
        lo, hi = np.percentile(col, _Q)
        med = float(np.median(col))
        params[name] = {"value": result.values[name], "stderr": float(np.std(col, ddof=1)),
                        "median": med, "minus": float(med - lo), "plus": float(hi - med)}
    if good.shape[0] < 0.9 * n:
        raise ValueError(f"bootstrap: {n - good.shape[0]} of {n} refits did not converge; "
                         f"the spread is not trustworthy")
    return _store(result, "bootstrap", {"n": n, "seed": seed, "failed": int(n - good.shape[0]),
                                        "params": params})


# -- MCMC ------------------------------------------------------------------------------
def mcmc(result, steps=2000, nwalkers=None, burn=None, thin=None, seed=1):
    """emcee around the optimum (see the module docstring). Returns {"settings",
    "params": {name: {"median", "minus", "plus", "stderr"}}, "acceptance",
    "autocorr_steps": {name: tau}}."""
    try:
        import emcee
    except ImportError:
        raise ValueError("MCMC needs emcee (Debian: python3-emcee)") from None
    steps = int(steps)
    if steps < 100:
        raise ValueError(f"MCMC: {steps} steps are too few to estimate the autocorrelation "
                         f"time (at least 100; typically thousands)")
    problem = _problem(result)
    free = problem.free
    ndim = len(free)
    if ndim == 0:
        raise ValueError("MCMC: the fit has no free parameter")
    nwalkers = int(nwalkers or max(2 * ndim + 2, 20))
    if nwalkers < 2 * ndim:
        raise ValueError(f"MCMC: {nwalkers} walkers for {ndim} free parameters; emcee needs "
                         f"at least {2 * ndim}")
    burn = steps // 4 if burn is None else int(burn)
    if not 0 <= burn < steps:
        raise ValueError(f"MCMC: burn-in {burn} outside 0 to {steps - 1} steps")
    scale = _scale(result)
    lo = np.array([result.params[n].min for n in free])
    hi = np.array([result.params[n].max for n in free])

    def log_prob(x):
        if np.any(x < lo) or np.any(x > hi):
            return -np.inf
        c = problem.chisqr(x)
        return -0.5 * c / scale if math.isfinite(c) else -np.inf

    rng = np.random.default_rng(seed)
    x0 = problem.x0
    start = _walkers(result, free, x0, lo, hi, nwalkers, rng)
    sampler = emcee.EnsembleSampler(nwalkers, ndim, log_prob)
    sampler.random_state = np.random.RandomState(rng.integers(2 ** 31)).get_state()
    sampler.run_mcmc(start, steps, progress=False)
    chain = sampler.get_chain(discard=burn)  # (steps - burn, walkers, ndim)
    tau = emcee.autocorr.integrated_time(chain, tol=0, quiet=True)
    tmax = float(np.nanmax(tau)) if np.all(np.isfinite(tau)) else math.inf
    kept = steps - burn
    if not math.isfinite(tmax):
        raise ValueError(f"MCMC: {kept} steps after burn-in are too few to estimate the "
                         f"autocorrelation time; run more steps or burn fewer")
    if kept < 50 * tmax:
        need = int(math.ceil(50 * tmax * steps / kept))
        raise ValueError(f"MCMC: the chain is too short: {kept} steps after burn-in, fewer "
                         f"than 50 autocorrelation times (tau = {tmax:.0f} steps); run at "
                         f"least {need} steps")
    thin = max(1, int(tmax // 2)) if thin is None else max(1, int(thin))
    flat = sampler.get_chain(discard=burn, thin=thin, flat=True)
    stats = {}
    for k, name in enumerate(free):
        q = np.percentile(flat[:, k], [_Q[0], 50, _Q[1]])
        stats[name] = {"median": float(q[1]), "minus": float(q[1] - q[0]),
                       "plus": float(q[2] - q[1]), "stderr": float(np.std(flat[:, k], ddof=1))}
    result.mcmc = {"settings": {"steps": steps, "nwalkers": nwalkers, "burn": burn,
                                "thin": thin, "seed": seed},
                   "params": stats, "samples": int(flat.shape[0]), "chi2_scale": scale,
                   "acceptance": float(np.mean(sampler.acceptance_fraction)),
                   "autocorr_steps": {n: float(t) for n, t in zip(free, tau)}}
    return result.mcmc


def _walkers(result, free, x0, lo, hi, nwalkers, rng):
    """Walkers drawn from the covariance (scaled) about the optimum, inside the bounds;
    a small ball where there is no covariance."""
    sd = np.array([result.stderr.get(n) or 0.0 for n in free])
    cov = None
    if np.all(sd > 0):
        cov = np.diag(sd ** 2)
        for (a, b), r in result.correl.items():
            if a in free and b in free:
                i, j = free.index(a), free.index(b)
                cov[i, j] = cov[j, i] = r * sd[i] * sd[j]
    out = np.empty((nwalkers, len(free)))
    for w in range(nwalkers):
        for _ in range(1000):
            if cov is not None:
                x = rng.multivariate_normal(x0, cov, method="eigh")
            else:
                x = x0 + 1e-4 * np.maximum(np.abs(x0), 1e-3) * rng.standard_normal(len(free))
            if np.all(x >= lo) and np.all(x <= hi):
                break
        else:
            x = np.clip(x0, lo, hi)
        out[w] = x
    return out


# -- the report ------------------------------------------------------------------------
def report_lines(result):
    """Lines of the report: each parameter's covariance error beside the intervals
    computed (profile, bootstrap, MCMC)."""
    kinds = []
    iv = result.intervals or {}
    if "profile" in iv:
        kinds.append(("profile", iv["profile"]["params"]))
    if "bootstrap" in iv:
        kinds.append(("bootstrap", iv["bootstrap"]["params"]))
    if result.mcmc and "params" in result.mcmc:
        kinds.append(("MCMC", result.mcmc["params"]))
    if not kinds:
        return []
    names = [n for n in result.params if any(n in k[1] for k in kinds)]
    head = f"  {'':<26} {'value':>14} {'covariance':>12}" + "".join(
        f" {k:>22}" for k, _ in kinds)
    how = (f"covariance scaled by sqrt(chi2_r) = {math.sqrt(_scale(result)):.4g}"
           if getattr(result, "scale_covar", True) else "covariance not scaled")
    lines = ["", f"Uncertainties (1 sigma; {how}):", head]
    for n in names:
        e = result.stderr.get(n)
        row = f"  {n:<26} {result.values[n]:>14.7g} {(f'+/- {e:.3g}' if e else '-'):>12}"
        for _, d in kinds:
            q = d.get(n)
            text = "-{:.3g} +{:.3g}".format(q["minus"], q["plus"]) if q else "-"
            row += f" {text:>22}"
        lines.append(row)
    notes = []
    if "profile" in iv:
        bad = [n for n, q in iv["profile"]["params"].items() if not q.get("valid")]
        if bad:
            notes.append(f"  profile: not valid for {', '.join(bad)}")
    if "bootstrap" in iv:
        b = iv["bootstrap"]
        notes.append(f"  bootstrap: {b['n']} Poisson replicas (seed {b['seed']}), "
                     f"{b['failed']} refits failed")
    if result.mcmc and "autocorr_steps" in result.mcmc:
        m = result.mcmc
        s = m["settings"]
        notes.append(f"  MCMC: {s['steps']} steps x {s['nwalkers']} walkers, burn-in "
                     f"{s['burn']}, thinned by {s['thin']}; autocorrelation time up to "
                     f"{max(m['autocorr_steps'].values()):.0f} steps; acceptance "
                     f"{m['acceptance']:.2f}")
    return lines + notes
