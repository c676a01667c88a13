#!/usr/bin/python3
"""Throughput of batch fitting: N synthetic alpha-iron foil spectra (512 channels, two
sweeps of a triangular drive, Poisson noise) fitted one by one in this process and with
mosslib.batch.fit_many on a local cluster of W single-threaded worker processes, side by
side in one run; and the per-task overhead of Dask.

    MOSSLIB_LIBRARY=build/src/libmosslib.so PYTHONPATH=python /usr/bin/python3 bench/bench_batch.py
    options: --spectra 200 --workers 2 --repeats 3

Wall and CPU times are medians of the repeats. CPU s: this process (serial) or this
process with the scheduler plus the worker processes (batch); fit CPU: the fits alone.
The per-task overhead is the extra CPU of chunks of one spectrum per task. The
cluster's start is timed apart and not counted in the throughput.
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
    ap.add_argument("--repeats", type=int, default=3)
    a = ap.parse_args()

    from distributed import Client, LocalCluster

    from mosslib import fit
    from mosslib.batch import fit_many

    model, start, spectra = iron_batch(a.spectra)
    n = len(spectra)
    print(f"{n} alpha-iron fits (512 channels, sextgen, 2 baselines of degree 2), "
          f"{os.cpu_count()} cores, load average {os.getloadavg()[0]:.2f} at start")

    serial_wall, serial_cpu, reference = [], [], None
    for _ in range(a.repeats):
        t, c = time.perf_counter(), time.process_time()
        reference = [fit(s, model, start) for s in spectra]
        serial_wall.append(time.perf_counter() - t)
        serial_cpu.append(time.process_time() - c)
    assert all(r.success for r in reference)

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

    def batch(**kw):
        walls, cpus, fits, results = [], [], [], None
        for _ in range(a.repeats):
            t, c = time.perf_counter(), cpu_all()
            results = fit_many(spectra, model, start, client=client, progress=False, **kw)
            walls.append(time.perf_counter() - t)
            cpus.append(cpu_all() - c)
            fits.append(sum(r.cpu_seconds for r in results))
        return statistics.median(walls), statistics.median(cpus), statistics.median(fits), results

    chunk = min(32, max(1, -(-n // (8 * a.workers))))
    wall, cpu, fitcpu, results = batch()
    wall1, cpu1, fitcpu1, results1 = batch(chunk_size=1)
    identical = all(r.values == q.values and r.stderr == q.stderr
                    for r, q in zip(results, reference)) and \
        all(r.values == q.values for r, q in zip(results1, reference))

    # Dask's own cost of a task: empty tasks mapped over the workers.
    m = 400
    t, c = time.perf_counter(), cpu_all()
    client.gather(client.map(noop, range(m), pure=False))
    empty_wall, empty_cpu = (time.perf_counter() - t) / m, (cpu_all() - c) / m
    client.close()
    cluster.close()

    sw, sc = statistics.median(serial_wall), statistics.median(serial_cpu)
    tasks = -(-n // chunk)
    print(f"{'':36}{'wall s':>8}{'fits/s':>8}{'CPU s':>8}{'fit CPU':>9}{'ms/fit':>8}")
    print(f"{'serial, this process':36}{sw:8.3f}{n / sw:8.1f}{sc:8.3f}{sc:9.3f}{1e3 * sc / n:8.2f}")
    rows = ((f"fit_many, {a.workers} workers, chunks of {chunk}", wall, cpu, fitcpu),
            (f"fit_many, {a.workers} workers, chunks of 1", wall1, cpu1, fitcpu1))
    for label, w, c_, f in rows:
        print(f"{label:36}{w:8.3f}{n / w:8.1f}{c_:8.3f}{f:9.3f}{1e3 * f / n:8.2f}")
    print(f"speed-up over serial (wall): {sw / wall:.2f}x with chunks of {chunk}, "
          f"{sw / wall1:.2f}x with chunks of 1; identical to the serial fits: {identical}")
    print(f"per-task overhead: {1e3 * (cpu1 - cpu) / max(n - tasks, 1):.2f} ms CPU per extra "
          f"task (chunks of 1 against chunks of {chunk}, all processes); an empty task costs "
          f"{1e3 * empty_cpu:.2f} ms CPU, {1e3 * empty_wall:.2f} ms wall mapped over "
          f"{a.workers} workers")
    print(f"local cluster start (and first imports in the workers): {startup:.2f} s; "
          f"load average {os.getloadavg()[0]:.2f} at end")
    return 0


if __name__ == "__main__":
    sys.exit(main())
