#!/usr/bin/python3
"""Throughput of batch fitting: N synthetic alpha-iron foil spectra (512 channels, two
sweeps of a triangular drive, Poisson noise) fitted one by one in this process and with
mosslib.batch.fit_many on a local cluster of W single-threaded worker processes, side by
side in one run; and the cost of a task.

    MOSSLIB_LIBRARY=build/src/libmosslib.so PYTHONPATH=python /usr/bin/python3 bench/bench_batch.py
    options: --spectra 200 --workers 2 --repeats 5

The three ways run one after another in each repeat; wall times are the least and the
median of the repeats, CPU times medians. CPU s: the fitting thread (serial) or this
process with the scheduler plus the worker processes (batch); fit CPU: the fits alone.
The per-task overhead is measured without fits: spectra the workers refuse at once,
one per task against all in one task. The cluster's start is timed apart and not
counted in the throughput.
"""

import argparse
import logging
import os
import statistics
import sys
import time

import numpy as np
import psutil


def iron_batch(n, seed=2024):
    from mosslib import Baseline, Component, Spectrum, Transmission, TriangularAxis
    axis = TriangularAxis(512, 0.0845, 129.4, 256.3)
    c = Component("sextgen", prefix="fe_")
    model = Transmission(c, baseline=Baseline(2, per_sweep=True))
    p = model.make_params(axis=axis)
    c.pair_lines(p)
    for name, value in (("field_T", 33.0), ("centre_shift", 0.0), ("quadrupole_shift", 0.0),
                        ("area", 0.25), ("width1", 0.28)):
        p["fe_" + name].set(value=value)
    for s in (0, 1):
        p[f"base_s{s}_c0"].set(value=1.0e6)
    flat = Spectrum(np.ones(axis.n), axis=axis)
    clean = model.eval(p, flat)
    rng = np.random.default_rng(seed)
    spectra = [Spectrum(rng.poisson(clean).astype(float), axis=axis, name=f"fe{k}")
               for k in range(n)]
    start = p.copy()
    for name, value in (("field_T", 32.7), ("centre_shift", 0.03), ("area", 0.22)):
        start["fe_" + name].set(value=value)
    return model, start, spectra


def noop(x):
    return x


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--spectra", type=int, default=200)
    ap.add_argument("--workers", type=int, default=2)
    ap.add_argument("--repeats", type=int, default=5)
    a = ap.parse_args()

    from distributed import Client, LocalCluster

    from mosslib import fit
    from mosslib.batch import Batch, fit_many

    model, start, spectra = iron_batch(a.spectra)
    n = len(spectra)
    print(f"{n} alpha-iron fits (512 channels, sextgen, 2 baselines of degree 2), "
          f"{os.cpu_count()} cores, load average {os.getloadavg()[0]:.2f} at start")

    t = time.perf_counter()
    cluster = LocalCluster(n_workers=a.workers, threads_per_worker=1, processes=True,
                           dashboard_address=":0", silence_logs=logging.ERROR)
    client = Client(cluster)
    fit_many(spectra[:2 * a.workers], model, start, client=client, chunk_size=1)  # imports
    startup = time.perf_counter() - t
    me = psutil.Process()

    def cpu_all():
        """CPU seconds of this process (client and scheduler) and of its children (the
        workers)."""
        total = time.process_time()
        for p in me.children(recursive=True):
            try:
                c = p.cpu_times()
                total += c.user + c.system
            except psutil.Error:
                pass
        return total

    def serial():
        t, c = time.perf_counter(), time.thread_time()
        results = [fit(s, model, start) for s in spectra]
        cpu = time.thread_time() - c
        return time.perf_counter() - t, cpu, cpu, results

    tasks = []

    def batch(**kw):
        t, c = time.perf_counter(), cpu_all()
        b = Batch(spectra, model, start, client=client, progress=False, **kw)
        results = sorted((r for rows in b for r in rows), key=lambda r: r.index)
        tasks.append(b.tasks)
        return (time.perf_counter() - t, cpu_all() - c,
                sum(r.cpu_seconds for r in results), results)

    # Side by side: each repeat runs the three ways one after another, so that a change
    # of the machine's load falls on all three.
    runs = {"serial": [], "chunked": [], "single": []}
    for _ in range(a.repeats):
        runs["serial"].append(serial())
        runs["chunked"].append(batch())
        runs["single"].append(batch(chunk_size=1))
    chunk = n / statistics.median(tasks[0::2])  # the default chunks, sized by the fit time
    reference = runs["serial"][-1][3]
    assert all(r.success for r in reference)
    identical = all(r.values == q.values and r.stderr == q.stderr
                    for way in ("chunked", "single") for run in runs[way]
                    for r, q in zip(run[3], reference))

    # The cost of a task without a fit: spectra with no counts (refused in the worker
    # before a fit starts), one per task against all in one task; and an empty Dask task.
    m = 400
    empty = [np.zeros(spectra[0].n)] * m

    def per_task(run):
        costs = []
        for _ in range(a.repeats):
            t, c = time.perf_counter(), cpu_all()
            run()
            costs.append(((time.perf_counter() - t) / m, (cpu_all() - c) / m))
        return min(costs, key=lambda x: x[1])

    axis = spectra[0].axis
    own_wall, own_cpu = per_task(lambda: fit_many(empty, model, start, client=client,
                                                  axis=axis, chunk_size=1))
    one_wall, one_cpu = per_task(lambda: fit_many(empty, model, start, client=client,
                                                  axis=axis, chunk_size=m))
    own_wall, own_cpu = own_wall - one_wall, own_cpu - one_cpu
    empty_wall, empty_cpu = per_task(
        lambda: client.gather(client.map(noop, range(m), pure=False)))
    client.close()
    cluster.close()

    def stats(way):
        rs = runs[way]
        return (min(r[0] for r in rs), statistics.median(r[0] for r in rs),
                statistics.median(r[1] for r in rs), statistics.median(r[2] for r in rs))

    print(f"{'':34}{'wall min':>9}{'median':>8}{'fits/s':>8}{'CPU s':>8}{'fit CPU':>8}"
          f"{'ms/fit':>8}")
    labels = {"serial": "serial, this process",
              "chunked": f"fit_many, {a.workers} workers, chunks of {chunk:.0f}",
              "single": f"fit_many, {a.workers} workers, chunks of 1"}
    s = {way: stats(way) for way in runs}
    for way, label in labels.items():
        lo, med, cpu, fits = s[way]
        print(f"{label:34}{lo:9.3f}{med:8.3f}{n / med:8.1f}{cpu:8.3f}{fits:8.3f}"
              f"{1e3 * fits / n:8.2f}")
    def speedup(way):
        """Median over the repeats of serial wall / batch wall of the same repeat."""
        return statistics.median(r[0] / b[0] for r, b in zip(runs["serial"], runs[way]))

    print(f"speed-up over serial (wall, median of the repeats' ratios): {speedup('chunked'):.2f}x "
          f"with chunks of {chunk:.0f} (mean), {speedup('single'):.2f}x with chunks of 1; from CPU "
          f"times (serial fit CPU / (batch CPU / {a.workers})): "
          f"{a.workers * s['serial'][2] / s['chunked'][2]:.2f}x; "
          f"identical to the serial fits: {identical}")
    fit_ms = 1e3 * s["chunked"][3] / n
    print(f"per-task overhead (no fit, all processes): {1e3 * own_cpu:.2f} ms CPU, "
          f"{1e3 * own_wall:.2f} ms wall per task of fit_many; {1e3 * empty_cpu:.2f} ms CPU, "
          f"{1e3 * empty_wall:.2f} ms wall per empty Dask task; against {chunk:.0f} fits of "
          f"{fit_ms:.1f} ms a task: {100 * own_cpu / (chunk * fit_ms * 1e-3):.1f} %")
    print(f"local cluster start (and first imports in the workers): {startup:.2f} s; "
          f"load average {os.getloadavg()[0]:.2f} at end")
    return 0


if __name__ == "__main__":
    sys.exit(main())
