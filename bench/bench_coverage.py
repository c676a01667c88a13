"""Coverage of the package's uncertainties on Poisson replicas of known spectra.

Three cases on the demo's triangular drive (512 channels, a linear baseline per sweep,
1e5 counts per channel off resonance), each fitted from its true parameters:
    sextet     one sextet (alpha-iron-like, 33 T)
    magnetite  two overlapping sextets, 49 and 46 T (magnetite-like)
    doublets   two close doublets, quadrupole splittings 3.3 and 2.8 mm/s
For every free parameter: pulls (value - truth) / sigma; their standard deviation
(1 when the errors hold) and the 1-sigma coverage (68.3 %), for the covariance errors
(scaled by sqrt(chi2_r)) and the profile-likelihood intervals (MINOS; pull taken
against the side of the interval that faces the truth); optionally the bootstrap's
standard deviation on the first replicas (--bootstrap N: N Poisson refits each).

    MOSSLIB_LIBRARY=build/src/libmosslib.so PYTHONPATH=python \\
        /usr/bin/python3 bench/bench_coverage.py [--replicas 200] [--bootstrap 50 --boot-replicas 40]
"""

import argparse
import sys
import time

import numpy as np

from mosslib import Baseline, Component, Spectrum, Transmission, TriangularAxis, fit
from mosslib.uncertainty import bootstrap, profile

AXIS = TriangularAxis(512, 0.0845, 129.4, 256.3)
COUNTS = 1.0e5


def sextets(fields, shifts, areas, widths):
    comps = [Component("sextgen", prefix=f"s{k + 1}_") for k in range(len(fields))]
    setup = {}
    for c, f, s, a, w in zip(comps, fields, shifts, areas, widths):
        # the model's field whose outer lines match f on the alpha-iron convention
        setup.update({c.prefix + "field_T": f * 10.657 / 33.0 / 0.326, c.prefix + "centre_shift": s,
                      c.prefix + "area": a, c.prefix + "quadrupole_shift": 0.0,
                      c.prefix + "intensity2": 2.0, c.prefix + "intensity3": 1.0,
                      **{f"{c.prefix}width{j}": w for j in (1, 2, 3)}})
    return comps, setup


def doublets(splittings, shifts, areas, widths):
    comps = [Component("doubl", prefix=f"d{k + 1}_") for k in range(len(splittings))]
    setup = {}
    for c, q, s, a, w in zip(comps, splittings, shifts, areas, widths):
        setup.update({c.prefix + "quadrupole_splitting": q, c.prefix + "centre_shift": s,
                      c.prefix + "area": a, c.prefix + "width": w})
    return comps, setup


CASES = {
    "sextet": lambda: sextets([33.0], [0.0], [0.12], [0.28]),
    "magnetite": lambda: sextets([49.0, 46.0], [0.27, 0.66], [0.06, 0.12], [0.30, 0.36]),
    "doublets": lambda: doublets([3.3, 2.8], [1.15, 1.10], [0.06, 0.04], [0.30, 0.30]),
}


def case(name):
    comps, setup = CASES[name]()
    model = Transmission(*comps, baseline=Baseline(1, per_sweep=True))
    clean = Spectrum(np.ones(AXIS.n), axis=AXIS)
    truth = model.make_params(clean)
    for c in comps:
        c.pair_lines(truth)
    for n, v in setup.items():
        truth[n].set(value=v)
    for s in (0, 1):
        truth[f"base_s{s}_c0"].set(value=COUNTS)
        truth[f"base_s{s}_c1"].set(value=COUNTS * 1e-3 * (s - 0.5))
    return model, truth, model.eval(truth, clean)


def summary(label, pulls):
    """pulls: (replicas, params) with NaN where missing."""
    p = pulls[np.isfinite(pulls)]
    sd = float(np.std(p))
    cov = float(np.mean(np.abs(p) < 1.0))
    per = [(float(np.nanstd(c)), float(np.nanmean(np.abs(c[np.isfinite(c)]) < 1.0)))
           for c in pulls.T]
    sds = [s for s, _ in per]
    covs = [c for _, c in per]
    ok = 0.9 <= sd <= 1.1 and 0.65 <= cov <= 0.71
    print(f"    {label:<11} pooled sd {sd:.3f}, coverage {100 * cov:.1f} %  "
          f"(per parameter: sd {min(sds):.2f}-{max(sds):.2f}, coverage "
          f"{100 * min(covs):.0f}-{100 * max(covs):.0f} %)  {'inside' if ok else 'OUTSIDE'} the band")
    return per


def run(name, replicas, with_profile, boot, boot_replicas, seed=2024):
    model, truth, expected = case(name)
    free = [n for n, p in truth.items() if p.vary and not p.expr]
    cov = np.full((replicas, len(free)), np.nan)
    prof = np.full((replicas, len(free)), np.nan)
    bst = np.full((min(boot_replicas, replicas), len(free)), np.nan)
    redchi = []
    t0 = time.process_time()
    failed = 0
    for k in range(replicas):
        rng = np.random.default_rng([seed, k])
        s = Spectrum(rng.poisson(expected).astype(float), axis=AXIS, name=f"{name} {k}")
        r = fit(s, model, truth.copy())
        if not r.success:
            failed += 1
            continue
        redchi.append(r.redchi)
        t = np.array([truth[n].value for n in free])
        v = np.array([r.values[n] for n in free])
        e = np.array([r.stderr[n] or np.nan for n in free])
        cov[k] = (v - t) / e
        if with_profile:
            pr = profile(r)["params"]
            lo = np.array([pr[n]["minus"] if pr[n]["valid"] else np.nan for n in free])
            hi = np.array([pr[n]["plus"] if pr[n]["valid"] else np.nan for n in free])
            prof[k] = np.where(v > t, (v - t) / lo, (v - t) / hi)
        if k < bst.shape[0] and boot:
            b = bootstrap(r, boot, seed=k, workers=1)["params"]
            bst[k] = (v - t) / np.array([b[n]["stderr"] for n in free])
    print(f"  {name}: {replicas} replicas, {len(free)} free parameters, {failed} fits failed, "
          f"median chi2_r {np.median(redchi):.3f}, {time.process_time() - t0:.0f} s CPU")
    bias = np.nanmean(cov, axis=0)
    tables = [("covariance", summary("covariance", cov))]
    if with_profile:
        tables.append(("profile", summary("profile", prof)))
    if boot:
        tables.append(("bootstrap*", summary("bootstrap*", bst)))
        print(f"    (* bootstrap: first {bst.shape[0]} replicas, {boot} Poisson refits each)")
    # parameters whose covariance errors miss the band by more than the sampling error
    for j, n in enumerate(free):
        sd, c = tables[0][1][j]
        if not (0.85 <= sd <= 1.15 and 0.62 <= c <= 0.74):
            print(f"      {n:<22} mean pull {bias[j]:+.2f}; " + "; ".join(f"{k} sd {t[j][0]:.2f}, {100 * t[j][1]:.0f} %"
                                          for k, t in tables))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--replicas", type=int, default=200)
    ap.add_argument("--cases", default=",".join(CASES))
    ap.add_argument("--no-profile", action="store_true")
    ap.add_argument("--bootstrap", type=int, default=0, metavar="N")
    ap.add_argument("--boot-replicas", type=int, default=40)
    a = ap.parse_args()
    print(f"coverage of 1-sigma intervals (band: sd of pulls 0.9-1.1, coverage 65-71 %; "
          f"the sampling error of a coverage over {a.replicas} replicas is "
          f"{100 * np.sqrt(0.683 * 0.317 / a.replicas):.1f} %)")
    for name in a.cases.split(","):
        run(name, a.replicas, not a.no_profile, a.bootstrap, a.boot_replicas)
        sys.stdout.flush()


if __name__ == "__main__":
    sys.exit(main())
