#!/usr/bin/python3
"""Batch fitting at scale and under faults: `mossfit batch --files-from LIST` against a
separate `dask scheduler` with two `dask worker` processes (one thread each, profiler
off as docs/batch.md says), on small synthetic spectra written to a scratch directory.

    MOSSLIB_LIBRARY=build/src/libmosslib.so PYTHONPATH=python \\
        /usr/bin/python3 bench/bench_batch_scale.py scale --spectra 10000 100000
    ... bench/bench_batch_scale.py faults --spectra 3000
    ... bench/bench_batch_scale.py plan

scale: peak RSS of the client (the mossfit batch process) and of the scheduler, the
workers' RSS early in the run and at its end, and wall time per spectrum, for each
batch size. The spectra are 64-channel quadrupole doublets with a flat baseline (a fit
of about 3 ms: the cost of Dask and of reading, not of fitting, is what grows).
faults: an undisturbed run, then the scheduler frozen (SIGSTOP) mid-batch under
--timeout, the scheduler killed mid-batch, and SIGINT to the client: how long each
took, the rows kept, and whether --resume completes the table to the undisturbed one.
plan: the chunk size and the tasks per second a scheduler must dispatch for 1,600
workers, from the fit time measured here.
"""

import argparse
import csv
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import numpy as np
import psutil

from machine import processor  # bench/: the processor's name

HERE = os.path.dirname(os.path.abspath(__file__))
PYTHONPATH = os.path.join(HERE, "..", "python")
CHANNELS = 64
FIT = ["--axis", "linear:step=0.25,zero=31.5", "--baseline", "0",
       "--component", "doubl:d,quadrupole_splitting=0.8,width=0.3,area=0.3"]


BEFORE = None  # --before DIR: the python/ directory of an earlier tree, for a side by side


def env():
    e = dict(os.environ)
    e["PYTHONPATH"] = os.path.abspath(BEFORE or PYTHONPATH) + os.pathsep + e.get("PYTHONPATH", "")
    e["DASK_DISTRIBUTED__WORKER__PROFILE__ENABLED"] = "False"
    return e


def make_files(directory, n, seed=7):
    """n doublet spectra (quadrupole splitting stepping through 0.6-1.0 mm/s) and a list."""
    from mosslib import Baseline, Component, LinearAxis, Spectrum, Transmission
    axis = LinearAxis(CHANNELS, 0.25, 31.5)
    c = Component("doubl", prefix="d_")
    model = Transmission(c, baseline=Baseline(0))
    p = model.make_params(axis=axis)
    p["base_c0"].set(value=2.0e5)
    p["d_width"].set(value=0.3)
    p["d_area"].set(value=0.3)
    flat = Spectrum(np.ones(CHANNELS), axis=axis)
    rng = np.random.default_rng(seed)
    shapes = []
    for q in np.linspace(0.6, 1.0, 41):
        p["d_quadrupole_splitting"].set(value=q)
        shapes.append(model.eval(p, flat))
    os.makedirs(directory, exist_ok=True)
    names = []
    for k in range(n):
        sub = os.path.join(directory, f"d{k // 1000:03d}")
        if k % 1000 == 0:
            os.makedirs(sub, exist_ok=True)
        name = os.path.join(sub, f"s{k:06d}.txt")
        np.savetxt(name, rng.poisson(shapes[k % len(shapes)]), fmt="%d")
        names.append(name)
    with open(os.path.join(directory, "list"), "w") as f:
        f.write("\n".join(names) + "\n")
    return os.path.join(directory, "list")


class Cluster:
    """A dask scheduler and two single-threaded workers, as separate processes."""

    def __init__(self, workdir, workers=2):
        self.file = os.path.join(workdir, f"scheduler-{time.monotonic_ns()}.json")
        self.scheduler = subprocess.Popen(
            [sys.executable, "-m", "distributed.cli.dask_scheduler", "--port", "0",
             "--dashboard-address", ":0", "--scheduler-file", self.file],
            env=env(), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        while not os.path.exists(self.file):
            time.sleep(0.1)
        time.sleep(0.3)
        import json
        self.address = json.load(open(self.file))["address"]
        self.workers = [subprocess.Popen(
            [sys.executable, "-m", "distributed.cli.dask_worker", self.address,
             "--nthreads", "1", "--nworkers", "1", "--no-nanny", "--dashboard-address", ":0"],
            env=env(), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            for _ in range(workers)]
        from distributed import Client
        with Client(self.address, timeout="30s") as c:
            c.wait_for_workers(workers, timeout=60)

    def close(self):
        for p in self.workers + [self.scheduler]:
            try:
                p.send_signal(signal.SIGCONT)
                p.kill()
                p.wait(10)
            except (OSError, subprocess.TimeoutExpired):
                pass


def batch(listfile, table, address, *extra, wait=True):
    inputs = ["--files-from", listfile] if BEFORE is None else \
        [line.strip() for line in open(listfile)]  # an earlier tree takes paths only
    cmd = [sys.executable, "-m", "mosslib", "batch"] + inputs + [
        "--table", table, "--scheduler", address, "--no-progress"] + FIT + list(extra)
    p = subprocess.Popen(cmd, env=env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                         text=True)
    if wait:
        out, err = p.communicate()
        return p.returncode, out, err
    return p


def rss(p):
    try:
        return p.memory_info().rss / 2**20
    except psutil.Error:
        return float("nan")


def rows_of(table):
    try:
        with open(table, newline="") as f:
            return list(csv.DictReader(f))
    except OSError:
        return []


def scale(sizes, workdir, max_seconds):
    """Each batch size in turn; a line every tenth of the batch (and at its end): rows
    written, wall time, RSS of client, scheduler and workers now and the peaks so far.
    A run longer than max_seconds is ended with SIGINT (its figures so far stand)."""
    print(f"processor: {processor()}, {os.cpu_count()} cores, load average "
          f"{os.getloadavg()[0]:.2f} at start")
    print(f"{'spectra':>8} {'rows':>7} {'wall s':>7} {'ms/row':>7} {'client MiB':>11} "
          f"{'peak':>6} {'scheduler MiB':>14} {'peak':>6} {'workers MiB':>12} {'load':>5}")
    for n in sizes:
        listfile = make_files(os.path.join(workdir, f"n{n}"), n)
        cl = Cluster(workdir)
        table = os.path.join(workdir, f"n{n}.csv")
        t = time.perf_counter()
        p = batch(listfile, table, cl.address, wait=False)
        me, sched = psutil.Process(p.pid), psutil.Process(cl.scheduler.pid)
        workers = [psutil.Process(w.pid) for w in cl.workers]
        peak_c = peak_s = 0.0
        rows, at, step, shown = 0, 0, max(n // 10, 1), 0

        def line(rows):
            wall = time.perf_counter() - t
            print(f"{n:8d} {rows:7d} {wall:7.1f} {1e3 * wall / max(rows, 1):7.2f} "
                  f"{rss(me):11.1f} {peak_c:6.1f} {rss(sched):14.1f} {peak_s:6.1f} "
                  f"{'/'.join(f'{rss(w):.0f}' for w in workers):>12} "
                  f"{os.getloadavg()[0]:5.1f}", flush=True)

        while p.poll() is None:
            peak_c, peak_s = max(peak_c, rss(me)), max(peak_s, rss(sched))
            try:
                with open(table, "rb") as f:
                    f.seek(at)
                    chunk = f.read()
                    rows += chunk.count(b"\n")
                    at += len(chunk)
            except OSError:
                pass
            if rows - 1 >= (shown + 1) * step:
                shown = (rows - 1) // step
                line(rows - 1)
            if time.perf_counter() - t > max_seconds:
                p.send_signal(signal.SIGINT)
                p.wait()
                break
            time.sleep(0.5)
        out, err = p.communicate()
        done = sum(r.get("verdict", "1") != "" for r in rows_of(table))
        print(f"{n:8d}: ended, exit {p.returncode}, {done} rows with a verdict in "
              f"{time.perf_counter() - t:.1f} s; {err.strip().splitlines()[-1] if err.strip() else ''}")
        cl.close()
        shutil.rmtree(os.path.join(workdir, f"n{n}"), ignore_errors=True)


def same_tables(a, b):
    ra, rb = rows_of(a), rows_of(b)
    return len(ra) == len(rb) and ra == rb


def faults(n, workdir, freeze_timeout=20.0):
    print(f"processor: {processor()}, {os.cpu_count()} cores, load average "
          f"{os.getloadavg()[0]:.2f} at start; {n} spectra")
    listfile = make_files(os.path.join(workdir, "faults"), n)
    cl = Cluster(workdir)
    reference = os.path.join(workdir, "reference.csv")
    t = time.perf_counter()
    code, out, err = batch(listfile, reference, cl.address)
    undisturbed = time.perf_counter() - t
    print(f"undisturbed: exit {code}, {undisturbed:.1f} s, {len(rows_of(reference))} rows")

    def disturb(name, action, *extra, after=None):
        nonlocal cl
        table = os.path.join(workdir, f"{name}.csv")
        t = time.perf_counter()
        p = batch(listfile, table, cl.address, *extra, wait=False)
        while len(rows_of(table)) < n // 5 and p.poll() is None:
            time.sleep(0.1)
        hit = time.perf_counter() - t
        action(p)
        out, err = p.communicate()
        ended = time.perf_counter() - t
        rows = rows_of(table)
        kept = sum(1 for r in rows if r["verdict"])
        last = [line for line in err.splitlines() if "stopped" in line or "interrupted" in line]
        print(f"{name}: hit at {hit:.1f} s, ended at {ended:.1f} s (exit {p.returncode}); "
              f"{kept} finished rows on disk, {len(rows) - kept} named not fitted; "
              f"stderr: {last[-1] if last else err.strip()[-200:]}")
        if after:
            after()
        t = time.perf_counter()
        code, out, err = batch(listfile, table, cl.address, "--resume", table)
        print(f"  --resume: exit {code}, {time.perf_counter() - t:.1f} s; table equal to the "
              f"undisturbed run: {same_tables(table, reference)}")

    def fresh():
        nonlocal cl
        cl.close()
        cl = Cluster(workdir)

    disturb("frozen", lambda p: cl.scheduler.send_signal(signal.SIGSTOP),
            "--timeout", str(freeze_timeout), after=fresh)
    print(f"  (--timeout {freeze_timeout:g}: the command had to end by "
          f"{freeze_timeout + 10:g} s)")
    disturb("killed", lambda p: cl.scheduler.kill(), after=fresh)
    disturb("sigint", lambda p: p.send_signal(signal.SIGINT))
    cl.close()


def plan():
    from mosslib.batch import MAX_CHUNK, TARGET_TASK_SECONDS, chunk_size_for
    print(f"1,600 workers; a task aims at {TARGET_TASK_SECONDS:g} s of fitting "
          f"(at most {MAX_CHUNK} spectra)")
    print(f"{'fit (ms)':>9} {'spectra':>9} {'s/worker':>9} {'chunk':>6} {'tasks':>8} "
          f"{'task s':>7} {'tasks/s to dispatch':>20}")
    for fit_ms in (3.0, 17.0, 100.0, 2000.0):
        for n in (100_000, 1_000_000):
            size = chunk_size_for(fit_ms / 1e3, 1600, n)
            tasks = -(-n // size)
            task_s = size * fit_ms / 1e3
            print(f"{fit_ms:9.0f} {n:9d} {n * fit_ms / 1e3 / 1600:9.2f} {size:6d} {tasks:8d} "
                  f"{task_s:7.2f} {min(tasks, 1600) / task_s:20.0f}")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("what", choices=("scale", "faults", "plan"))
    ap.add_argument("--spectra", type=int, nargs="+", default=None)
    ap.add_argument("--workdir", default=None)
    ap.add_argument("--max-seconds", type=float, default=3600.0,
                    help="scale: end a run (SIGINT) after this long")
    ap.add_argument("--before", metavar="DIR",
                    help="scale: run the python/ directory of an earlier tree instead")
    a = ap.parse_args()
    global BEFORE
    BEFORE = a.before
    workdir = a.workdir or tempfile.mkdtemp(prefix="mosslib-batch-")
    try:
        if a.what == "scale":
            scale(a.spectra or [10_000, 100_000], workdir, a.max_seconds)
        elif a.what == "faults":
            faults((a.spectra or [3000])[0], workdir)
        else:
            plan()
    finally:
        if a.workdir is None:
            shutil.rmtree(workdir, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
