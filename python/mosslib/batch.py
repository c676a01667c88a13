"""Fitting many spectra at once on Dask distributed.

    from mosslib.batch import fit_many, write_table
    results = fit_many(spectra, model, params)                        # every core here
    results = fit_many(spectra, model, params, client="tcp://host:8786")  # a running cluster
    write_table(results, "results.csv")

    batch = Batch(paths, model, params, client=..., timeout=3600)     # any number of spectra
    with TableWriter("results.csv") as table:
        for rows in batch:                                             # as chunks finish
            table.add(rows)

What runs where. The calling process cuts the batch into chunks and keeps a fixed window
of them in flight (a few per worker): scheduler and client memory do not grow with the
number of spectra. Files are read on the workers when they see the same files (a
shared filesystem; detected, or declared with read_on_workers=), else here, chunk by
chunk, just before their chunk is sent. Each Dask worker is a process with one thread;
it imports mosslib and loads the library once, when it joins (priority step off, the
library's own threads set to one unless MOSSLIB_THREADS is set), and fits the spectra
of a chunk one after another with mosslib.fit, exactly as a fit in the calling process
would: a batch gives the same bits as fitting the spectra one by one.

A chunk's size follows the measured time of a fit: about a second of work per task (a
scheduler dispatches a few thousand tasks a second, whatever their size), at most the
spectra per worker left, so that every worker has work.

Spectra travel as plain data (counts, mask, axis, name) or as file names and are
checked in the worker; every result is a BatchResult (plain data) with its own success
flag, verdict and message: a spectrum that cannot be fitted (a wrong channel count, no
counts, a count that is not a finite number) is reported as such and the others are
fitted. A worker that dies takes its chunks with it; the scheduler runs them again
elsewhere; a chunk that kills its worker each time is split and only the spectrum that
does so fails.

No scheduler call waits without a deadline. A batch stops early on its timeout, when
told to (stop=, Ctrl-C) or when the scheduler is lost or stops answering: the finished
rows have been handed out as they came, and every spectrum not fitted is reported with
verdict None and one message saying why (Batch.stopped holds it).

Sequential fits (a temperature series): with sequential=True each fit starts from the
fitted values of the last good fit before it in its series; a series runs as
consecutive runs (one task each, one after another), separate series (series=) in
parallel.

With no client, a LocalCluster of as many single-threaded worker processes as cores
is started (worker profiler off) and closed again; its workers are spawned processes,
so a script calling fit_many without a client needs the usual
`if __name__ == "__main__":` guard.
"""

import copy
import csv
import itertools
import logging
import math
import os
import pickle
import re
import signal
import sys
import threading
import time
from collections import deque
from contextlib import contextmanager
from dataclasses import dataclass, field

import numpy as np

__all__ = ["BatchResult", "Batch", "TableWriter", "fit_many", "write_table", "plot_series",
           "value_from", "chunk_size_for", "WORKER_CONFIG"]

# Dask settings for worker processes that fit for hours: the statistical profiler keeps
# a growing history (tens of MiB per hour of work), so it is off.
WORKER_CONFIG = {"distributed.worker.profile.enabled": False}

TARGET_TASK_SECONDS = 1.0   # work per task
MAX_CHUNK = 2000            # spectra per task, at most
PROBE_SECONDS = 5.0         # a quiet scheduler is asked whether it still answers ...
ANSWER_SECONDS = 20.0       # ... within this time
GRACE_SECONDS = 3.0         # for fetching finished results and closing, once stopped


@dataclass
class BatchResult:
    """One spectrum's outcome as plain data. success: the fit ran, converged and every
    fitted value is finite; verdict: "good", "suspect" or "failed" (the fit's, else from
    success), None when the spectrum was not fitted because the batch stopped first;
    message: the optimiser's message, or why the spectrum was not fitted (then values
    is empty)."""
    index: int
    name: str
    success: bool
    message: str
    values: dict = field(default_factory=dict)     # every parameter, by name
    stderr: dict = field(default_factory=dict)     # None where not estimated
    fitted: tuple = ()                             # the varied and the tied parameters
    derived: dict = field(default_factory=dict)    # {name: (value, stderr, unit)}
    units: dict = field(default_factory=dict)      # of the components' parameters
    chisqr: float = math.nan
    redchi: float = math.nan
    ndata: int = 0
    nvarys: int = 0
    nfev: int = 0
    cpu_seconds: float = math.nan                  # the fit's CPU time (its thread)
    verdict: str = "failed"
    reasons: list = field(default_factory=list)
    file: str = ""                                 # the file, as given
    x: float = math.nan                            # a per-spectrum value (the loader's)

    @classmethod
    def from_fit(cls, index, name, r, cpu_seconds=math.nan):
        fitted = tuple(n for n, q in r.params.items() if q.vary or q.expr)
        finite = all(math.isfinite(r.values[n]) for n in fitted)
        derived = {prefix + k: (v["value"], v.get("stderr"), v.get("unit", ""))
                   for prefix, dq in r.derived.items() for k, v in dq.items()
                   if isinstance(v, dict) and "value" in v}
        units = {c.prefix + n: c.param(n).unit
                 for c in r.model.components for n in c.param_names}
        success = bool(r.success) and finite
        message = r.message if finite else f"{r.message}; a fitted value is not finite"
        verdict = getattr(r, "verdict", None) or ("good" if success else "failed")
        reasons = list(getattr(r, "reasons", None) or [])
        if not success and verdict == "good":  # never a good verdict for a failed fit
            verdict = "failed"
        if verdict == "failed" and not reasons:
            reasons = [message]
        return cls(index=index, name=name, success=success, message=message,
                   values=dict(r.values), stderr=dict(r.stderr), fitted=fitted,
                   derived=derived, units=units, chisqr=r.chisqr, redchi=r.redchi, ndata=r.ndata,
                   nvarys=r.nvarys, nfev=r.nfev, cpu_seconds=cpu_seconds, verdict=verdict,
                   reasons=reasons)

    @classmethod
    def refused(cls, index, name, why, verdict="failed", **kw):
        """A spectrum not fitted: refused (verdict "failed"), or not reached (None)."""
        return cls(index, name, False, why, verdict=verdict,
                   reasons=[why] if verdict else [], **kw)

    def value(self, name):
        """(value, stderr) of a parameter or a derived quantity; (nan, None) if absent."""
        if name in self.values:
            return self.values[name], self.stderr.get(name)
        if name in self.derived:
            return self.derived[name][:2]
        return math.nan, None


# ---- spectra as plain data -------------------------------------------------------

def _plain(spectrum, axis=None, name=""):
    """A spectrum as a plain dict for the workers (counts are checked there)."""
    from .measurement import Spectrum
    if isinstance(spectrum, Spectrum):
        return {"counts": spectrum.counts, "mask": spectrum.mask,
                "axis": spectrum.axis if spectrum.axis is not None else axis,
                "variance": spectrum.variance, "name": spectrum.name or name,
                "meta": spectrum.meta}
    if isinstance(spectrum, dict):
        d = dict(spectrum)
        if "counts" not in d:
            raise ValueError("a spectrum given as a dict needs 'counts'")
        d.setdefault("axis", axis)
        d.setdefault("name", name)
        return d
    return {"counts": spectrum, "axis": axis, "name": name}


def _spectrum(d):
    """The Spectrum of a plain dict; ValueError for counts that cannot be fitted."""
    from .measurement import Spectrum
    try:
        counts = np.array(d["counts"], dtype=np.float64)
    except (TypeError, ValueError):
        raise ValueError("counts are not a row of numbers") from None
    if counts.ndim != 1:
        raise ValueError("counts are not a row of numbers")
    mask = d.get("mask")
    used = np.ones(counts.size, bool) if mask is None else np.asarray(mask, bool)
    if used.shape != counts.shape:
        raise ValueError(f"{used.size} mask entries for {counts.size} counts")
    # An infinite count is an impossible count, not a missing one: refused even where
    # reading the file already left it out.
    bad = np.flatnonzero(np.isinf(counts) | (used & np.isnan(counts)))
    if bad.size:
        more = f" and {bad.size - 1} more" if bad.size > 1 else ""
        raise ValueError(f"count of channel {bad[0]}{more} is not a finite number "
                         f"(exclude such channels)")
    s = Spectrum(counts, mask, d.get("axis"), d.get("variance"), name=d.get("name") or "",
                 meta=d.get("meta") or {})
    if not np.any(s.counts[s.mask] > 0):
        raise ValueError("no counts: every fitted channel is zero")
    return s


def _one_line(e):
    text = " ".join(str(e).split()) or type(e).__name__
    return text if isinstance(e, (ValueError, ArithmeticError)) or \
        type(e).__name__ == "MosslibError" else f"{type(e).__name__}: {text}"


class _Reader:
    """path -> Spectrum: a text file read with `exclude`, laid on `axis` when it has none."""

    def __init__(self, exclude=(), axis=None):
        self.exclude, self.axis = list(exclude), axis

    def __call__(self, path):
        from .measurement import read_spectrum
        s = read_spectrum(path, exclude=self.exclude)
        return s.with_axis(self.axis) if self.axis is not None and s.axis is None else s


# ---- the work of one task, in a worker -------------------------------------------

def _start(params, previous):
    """params with the varied (not tied) values taken from the previous fit's values."""
    p = copy.deepcopy(params)
    for n, v in previous.items():
        if n in p and p[n].vary and not p[n].expr:
            p[n].value = v
    return p


def _fit_one(index, item, model, params, options, previous, load):
    """(BatchResult, the fitted values if the fit is good else None)."""
    from .fitting import fit
    name = item.get("name") or f"spectrum {index}"
    extra = {"file": item.get("file", "")}
    t0 = time.thread_time()
    try:
        if "path" in item:
            x_of = getattr(load, "x_of", None)  # a per-file value, even for a file refused
            if x_of is not None:
                extra["x"] = float(x_of(item["path"]))
            d = _plain(load(item["path"]), name=name)
            d["name"] = name
        else:
            d = item
        extra["x"] = float((d.get("meta") or {}).get("x", extra.get("x", math.nan)))
        s = _spectrum(d)
        p = params(s) if callable(params) else params
        if previous is not None:
            p = _start(model.make_params(s) if p is None else p, previous)
        r = fit(s, model, p, **options)
    except (Exception, SystemExit) as e:  # this spectrum's failure, never the batch's
        return BatchResult.refused(index, name, _one_line(e), **extra), None
    out = BatchResult.from_fit(index, name, r, time.thread_time() - t0)
    out.file, out.x = extra["file"], extra["x"]
    return out, (dict(r.values) if out.verdict == "good" else None)


_setup_cache = (None, None)


def _setup(blob):
    """(model, params, options, load) of a batch, unpickled once per worker: lmfit
    Parameters take milliseconds to pickle and unpickle, as long as a small fit."""
    global _setup_cache
    cached = _setup_cache
    if cached[0] != blob:
        cached = _setup_cache = (blob, pickle.loads(blob))
    return cached[1]


def _run_chunk(runs, setup):
    """Fit a chunk: a list of runs (chain, start values or None, [(index, item), ...]),
    each in order; in a chain a fit starts from the last good fit before it. Returns
    the rows, each run's last good values (None if none) and the task's seconds."""
    model, params, options, load = _setup(setup)
    t0 = time.perf_counter()
    rows, lasts = [], []
    for chain, previous, items in runs:
        last = None
        for index, item in items:
            r, values = _fit_one(index, item, model, params, options,
                                 previous if chain else None, load)
            if values is not None:
                previous = last = values
            rows.append(r)
        lasts.append(last)
    return rows, lasts, time.perf_counter() - t0


def _stat_paths(paths):
    """(size, mtime) of files as this process sees them (None where absent)."""
    out = []
    for p in paths:
        try:
            st = os.stat(p)
            out.append((st.st_size, st.st_mtime_ns))
        except OSError:
            out.append(None)
    return out


def _load_library_plugin():
    from distributed.diagnostics.plugin import WorkerPlugin

    class LoadLibrary(WorkerPlugin):
        """Loads the library (priority step off) when a worker joins. Each worker is
        one of as many processes as cores: its ttt, tkv and parl calls run on the
        worker's own thread (no library threads), unless MOSSLIB_THREADS says otherwise."""
        name = "mosslib-load-library"

        def setup(self, worker):
            from . import _lib
            _lib.library()
            if not os.environ.get("MOSSLIB_THREADS"):
                from . import set_threads
                set_threads(1)

    return LoadLibrary()


# ---- the calling side ------------------------------------------------------------

class _NoAnswer(Exception):
    pass


def _within(seconds, fn, *args, **kw):
    """fn(*args) in a daemon thread, waited for at most `seconds`: a scheduler that
    stopped answering cannot hold the caller (nor, being a daemon, the exit)."""
    box = {}

    def run():
        try:
            box["value"] = fn(*args, **kw)
        except BaseException as e:  # handed to the caller
            box["error"] = e

    t = threading.Thread(target=run, daemon=True, name="mosslib-batch-call")
    t.start()
    t.join(max(seconds, 0.0))
    if t.is_alive():
        raise _NoAnswer(f"no answer within {seconds:.0f} s")
    if "error" in box:
        raise box["error"]
    return box.get("value")


def _cores():
    """The cores this process may run on."""
    try:
        return len(os.sched_getaffinity(0)) or 1
    except AttributeError:  # not on every platform
        return os.cpu_count() or 1


@contextmanager
def _cluster(client, workers):
    """(client, address, whether its workers share this filesystem for certain)."""
    import dask
    from distributed import Client, LocalCluster
    if client is None:
        n = int(workers or _cores())
        # Ctrl-C on a terminal reaches every process of its group: the workers start
        # with SIGINT ignored (kept across their exec), the caller alone decides.
        main = threading.current_thread() is threading.main_thread()
        previous = signal.signal(signal.SIGINT, signal.SIG_IGN) if main else None
        try:
            with dask.config.set(WORKER_CONFIG):
                cluster = LocalCluster(n_workers=n, threads_per_worker=1, processes=True,
                                       dashboard_address=":0", silence_logs=logging.ERROR)
        finally:
            if main:
                signal.signal(signal.SIGINT, previous)
        c = Client(cluster, set_as_default=False)
        state = {"address": cluster.scheduler_address, "shared": True, "quick": False}
        try:
            yield c, state
        finally:
            _close(c, cluster, state["quick"])
    elif isinstance(client, Client):
        yield client, {"address": client.scheduler.address, "shared": None, "quick": False}
    else:
        address = getattr(client, "scheduler_address", client)  # a cluster object
        try:
            # Not the default client: nothing closes it again at exit.
            c = Client(address, timeout="10s", set_as_default=False)
        except (OSError, TimeoutError) as e:
            raise OSError(f"no Dask scheduler at {address}: {_one_line(e)}") from None
        state = {"address": address, "shared": None, "quick": False}
        try:
            yield c, state
        finally:
            _close(c, quick=state["quick"])


def _close(c, cluster=None, quick=False):
    """Close within a bound: shorter (quick) when the scheduler may not answer."""
    for thing, seconds in ((c, 1.0 if quick else GRACE_SECONDS), (cluster, 10.0)):
        if thing is not None:
            try:
                _within(seconds + 1, thing.close, timeout=seconds)
            except BaseException:  # a scheduler gone or frozen: nothing more to do
                pass


def chunk_size_for(seconds_per_spectrum, workers, remaining=None, target=TARGET_TASK_SECONDS):
    """Spectra per task: about `target` seconds of work, at most the spectra per worker
    left (so that every worker has work), 1 to MAX_CHUNK. A scheduler then dispatches
    about workers / (size * seconds_per_spectrum) tasks a second."""
    size = math.ceil(target / seconds_per_spectrum) if seconds_per_spectrum > 0 else MAX_CHUNK
    if remaining is not None:
        size = min(size, math.ceil(remaining / max(workers, 1)))
    return max(1, min(size, MAX_CHUNK))


def _progress_bar(total, progress):
    if progress is None:
        progress = (total or 0) >= 100 and sys.stderr.isatty()
    if not progress:
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    return tqdm(total=total, unit="spectra", file=sys.stderr, dynamic_ncols=True)


class _Ready:
    """An item already made (a spectrum sent again after its task failed)."""
    __slots__ = ("item",)

    def __init__(self, item):
        self.item = item


def _is_path(s):
    return isinstance(s, (str, os.PathLike))


def _name_of(i, s):
    if _is_path(s):
        return os.path.basename(os.fspath(s))
    name = getattr(s, "name", None) if not isinstance(s, dict) else s.get("name")
    return name or f"spectrum {i}"


class Batch:
    """Fit every spectrum of `spectra` with `model` on Dask workers; iterating gives
    lists of BatchResult as chunks finish (in no particular order; `index` is the
    position in `spectra`), then, if the batch stopped early, the spectra not fitted
    (verdict None, the reason as message; `stopped` says it in one line).

    spectra: any iterable (read lazily unless sequential) of Spectrum objects, file
    names, arrays of counts or dicts (counts, and optionally mask, axis, variance,
    name). Files are read with `load` (path -> Spectrum; default: the text format with
    `exclude`, on `axis`), on the workers when read_on_workers is True or, when None,
    when the workers see the same files (a local cluster; else the first files are
    compared by size and time); otherwise here, chunk by chunk. `axis` serves spectra
    without an axis of their own. params: lmfit Parameters used as the start of every
    fit, None (each fit starts from model.make_params(spectrum), its areas scaled to
    the data, as mosslib.fit does), or a picklable function spectrum -> Parameters
    called in the worker. fit_options (weights, method, max_nfev, ...) go to
    mosslib.fit.

    client: None (a LocalCluster of `workers` processes, default one per core, started
    and closed here), a distributed.Client, or a scheduler address ('tcp://host:8786').
    sequential: each fit starts from the last good fit before it in its series
    (series: one hashable key per spectrum; default one series in input order).
    chunk_size: spectra per task (default: chunk_size_for the measured time of a fit);
    window: tasks in flight (default two per worker and two more).
    timeout: seconds for the whole batch (counted from `began`, a time.monotonic(),
    default the start of the iteration); stop: a threading.Event that ends the batch
    early (as Ctrl-C does); progress: a tqdm bar on stderr (default: for 100 spectra or
    more on a terminal).
    """

    def __init__(self, spectra, model, params=None, client=None, *, workers=None, axis=None,
                 exclude=(), load=None, read_on_workers=None, sequential=False, series=None,
                 chunk_size=None, window=None, timeout=None, began=None, stop=None,
                 progress=None, **fit_options):
        if workers is not None and (client is not None or int(workers) < 1):
            raise ValueError("workers= (at least 1) sizes the local cluster; not with a client")
        if chunk_size is not None and int(chunk_size) < 1:
            raise ValueError(f"chunk_size={chunk_size}: at least 1")
        if window is not None and int(window) < 1:
            raise ValueError(f"window={window}: at least 1")
        if timeout is not None and not timeout > 0:
            raise ValueError(f"timeout={timeout}: a positive number of seconds")
        if series is not None and not sequential:
            raise ValueError("series= goes with sequential=True")
        self.model, self.params, self.options = model, params, dict(fit_options)
        self.client, self.workers, self.axis = client, workers, axis
        self.load = load or _Reader(exclude, axis)
        self.read_on_workers, self.sequential = read_on_workers, sequential
        self.chunk_size, self.window = chunk_size, window
        self.timeout, self.began, self.stop, self.progress = timeout, began, stop, progress
        self.stopped = None   # why the batch stopped early (one line), else None
        self.tasks = 0        # tasks sent so far
        self.total = len(spectra) if hasattr(spectra, "__len__") else None
        if sequential:
            spectra = list(spectra)
            self.total = len(spectra)
            if series is not None:
                series = list(series)
                if len(series) != len(spectra):
                    raise ValueError(f"series: {len(series)} keys for {len(spectra)} spectra")
            groups = {}
            for i in range(len(spectra)):
                groups.setdefault(0 if series is None else series[i], deque()).append(i)
            self._series = list(groups.values())
        self.spectra = spectra

    # -- the feeder --

    def _item(self, i, s, shared):
        """The plain item of spectrum i, or a refused BatchResult."""
        x = math.nan
        try:
            if _is_path(s):
                name, given = os.path.basename(os.fspath(s)), os.fspath(s)
                if shared:
                    return {"path": os.path.abspath(given), "name": name, "file": given}
                x_of = getattr(self.load, "x_of", None)
                if x_of is not None:
                    x = float(x_of(given))
                d = _plain(self.load(given), self.axis, name)
                d["name"], d["file"] = name, given
                d["meta"] = {**(d.get("meta") or {}), "x": x}
                return d
            return _plain(s, self.axis, f"spectrum {i}")
        except Exception as e:
            kw = {"file": os.fspath(s), "x": x} if _is_path(s) else {}
            return BatchResult.refused(i, _name_of(i, s), _one_line(e), **kw)

    def __iter__(self):
        if self.total == 0:
            return
        with _cluster(self.client, self.workers) as (c, state):
            yield from self._run(c, state)

    def _run(self, c, state):
        import cloudpickle
        address, shared = state["address"], state["shared"]
        t_start = time.monotonic() if self.began is None else self.began
        deadline = None if self.timeout is None else t_start + self.timeout
        bound = lambda most: most if deadline is None else \
            max(min(most, deadline - time.monotonic()), 0.1)  # noqa: E731
        try:
            _within(bound(60), c.register_worker_plugin, _load_library_plugin(),
                    name="mosslib-load-library")
            n_workers = max(len(_within(bound(ANSWER_SECONDS), c.scheduler_info)
                                .get("workers", {})), 1)
        except _NoAnswer:
            raise OSError(f"the Dask scheduler at {address} does not answer") from None
        except Exception as e:
            raise OSError(f"the Dask workers cannot load mosslib: {_one_line(e)}") from None

        # The input, lazily: (index, spectrum) pairs, the first few looked at to decide
        # where files are read.
        if self.sequential:
            source = iter(())
            series = [deque((i, self.spectra[i]) for i in g) for g in self._series]
        else:
            source = enumerate(self.spectra)
            series = []
        if self.read_on_workers is not None:
            shared = bool(self.read_on_workers)
        elif shared is None:
            if self.sequential:
                first = [p for s in series for p in itertools.islice(s, 1)][:3]
            else:
                first = list(itertools.islice(source, 3))
                source = itertools.chain(first, source)
            paths = [os.path.abspath(os.fspath(s)) for _, s in first if _is_path(s)]
            try:
                shared = bool(paths) and _within(bound(30), lambda: c.submit(
                    _stat_paths, paths, pure=False).result()) == _stat_paths(paths)
            except Exception:
                shared = False
        self.shared = shared
        setup = cloudpickle.dumps((self.model, self.params, self.options,
                                   self.load if shared else None))

        # Feeder state: per series its pending spectra, its last good values, whether a
        # run of it is in flight, how many of its next spectra go one per task (after
        # a crash). Independent spectra: the source and a queue of single retries.
        last = [None] * len(series)
        busy = [False] * len(series)
        solo = [0] * len(series)
        ready = deque(k for k in range(len(series)) if series[k])
        singles = deque()
        inflight = {}          # future -> [(series or None, [(index, item)...])]
        done_ahead = []        # refused while reading here: handed out with the next rows
        seconds_per = [None]   # measured seconds per spectrum
        submitted = [0]
        cancelled = [0]
        window = int(self.window or 2 * n_workers + 2)
        done_q = deque()              # futures done, in order (from the client's thread)
        wake = threading.Event()

        def on_done(f):
            done_q.append(f)
            wake.set()
        bar = _progress_bar(self.total, self.progress)

        def size_now():
            if self.chunk_size:
                return int(self.chunk_size)
            remaining = None if self.total is None else max(self.total - submitted[0], 1)
            if seconds_per[0] is None:  # before the first measurement: small chunks
                return chunk_size_for(TARGET_TASK_SECONDS / 4, n_workers, remaining)
            return chunk_size_for(seconds_per[0], n_workers, remaining)

        def take(pairs):
            out = []
            for i, s in pairs:
                it = s.item if isinstance(s, _Ready) else self._item(i, s, shared)
                if isinstance(it, BatchResult):
                    done_ahead.append(it)
                else:
                    out.append((i, it))
            return out

        def next_task():
            """[(series or None, items)] of the next task, [] when nothing is left."""
            if singles:
                return [(None, [singles.popleft()])]
            size = size_now()
            if not self.sequential:
                while True:
                    pairs = list(itertools.islice(source, size))
                    if not pairs:
                        return []
                    items = take(pairs)
                    if items:
                        return [(None, items)]
            runs, count = [], 0
            while ready and count < size:
                k = ready.popleft()
                alone = solo[k] > 0  # after a crash: one spectrum, one task
                if alone and runs:
                    ready.appendleft(k)
                    break
                take_n = 1 if alone else min(size - count, len(series[k]))
                pairs = [series[k].popleft() for _ in range(take_n)]
                solo[k] -= len(pairs) if alone else 0
                items = take(pairs)
                if items:
                    runs.append((k, items))
                    busy[k] = True
                    count += len(items)
                    if alone:
                        break
                elif series[k]:
                    ready.append(k)
            return runs

        def submit(tasks):
            """Send tasks (each a list of runs) in one message to the scheduler."""
            payloads = [[(k is not None and self.sequential, None if k is None else last[k],
                          items) for k, items in runs] for runs in tasks]
            for f, runs in zip(c.map(_run_chunk, payloads, setup=setup, pure=False), tasks):
                inflight[f] = runs
                submitted[0] += sum(len(items) for _, items in runs)
                self.tasks += 1
                f.add_done_callback(on_done)

        def release(k):
            busy[k] = False
            if series[k]:
                ready.append(k)

        def finished(f, out):
            runs = inflight.pop(f)
            rows, lasts, seconds = out
            for (k, _), values in zip(runs, lasts):
                if k is not None:
                    if values is not None:
                        last[k] = values
                    release(k)
            per = seconds / max(len(rows), 1)
            seconds_per[0] = per if seconds_per[0] is None else 0.7 * seconds_per[0] + 0.3 * per
            return rows

        def failed(f, why, again=False):
            """A task that failed: split into single spectra, or the one spectrum fails;
            again: its spectra are sent again whatever their number."""
            runs = inflight.pop(f)
            if again or sum(len(items) for _, items in runs) > 1:
                for k, items in runs:
                    if k is None:
                        singles.extend(items)
                    else:
                        series[k].extendleft(reversed([(i, _Ready(it)) for i, it in items]))
                        solo[k] = max(solo[k], len(items))
                        release(k)
                return []
            (k, [(i, it)]), = runs
            if k is not None:
                release(k)
            return [BatchResult.refused(i, it.get("name") or f"spectrum {i}", why,
                                        file=it.get("file", ""))]

        def not_fitted(why):
            """Every spectrum not fitted, in lists of at most 1000."""
            pending = [(i, it) for runs in inflight.values() for _, items in runs
                       for i, it in items]
            inflight.clear()
            rest = itertools.chain(pending, singles, (p for s in series for p in s), source)
            while True:
                out = []
                for i, s in itertools.islice(rest, 1000):
                    s = s.item if isinstance(s, _Ready) else s
                    if isinstance(s, dict):
                        name, given = s.get("name") or f"spectrum {i}", s.get("file", "")
                    else:
                        name, given = _name_of(i, s), os.fspath(s) if _is_path(s) else ""
                    out.append(BatchResult.refused(i, name, f"not fitted: {why}",
                                                   verdict=None, file=given))
                if not out:
                    return
                yield out

        def fetch(futures, seconds):
            """{future: result} of finished futures, within `seconds`."""
            try:
                return dict(zip(futures, _within(seconds, c.gather, futures)))
            except _NoAnswer:
                raise
            except Exception:
                pass  # one failed or was lost meanwhile: one by one
            got = {}
            for f in futures:
                try:
                    got[f] = f.result(timeout=seconds)
                except TimeoutError:
                    raise _NoAnswer(f"no answer within {seconds:.0f} s") from None
                except Exception:
                    if f.status in ("lost", "pending"):
                        f.add_done_callback(on_done)  # its worker died: computed again
                    else:
                        got[f] = None
            return got

        why = None
        quiet_since = time.monotonic()
        try:
            while True:
                now = time.monotonic()
                if self.stop is not None and self.stop.is_set():
                    why = "the batch was interrupted"
                elif deadline is not None and now > deadline:
                    why = f"the batch's timeout of {self.timeout:g} s ran out"
                elif c.status not in ("running", "newly-created"):
                    why = f"the Dask scheduler at {address} was lost"
                if why:
                    break
                # Until a task has been timed, one small task per worker: the first
                # wave cannot flood the scheduler with tasks sized by a guess.
                tasks = []
                while len(inflight) + len(tasks) < (window if seconds_per[0] is not None or
                                                    self.chunk_size else n_workers):
                    runs = next_task()
                    if not runs:
                        break
                    tasks.append(runs)
                if tasks:
                    submit(tasks)
                if done_ahead:
                    if bar is not None:
                        bar.update(len(done_ahead))
                    yield list(done_ahead)
                    done_ahead.clear()
                if not inflight:
                    break
                wake.clear()
                batch = [done_q.popleft() for _ in range(len(done_q))]
                if not batch:
                    if now - quiet_since > PROBE_SECONDS:
                        try:  # a quiet scheduler: does it still answer?
                            info = _within(bound(ANSWER_SECONDS), c.scheduler_info)
                            n_workers = max(len(info.get("workers", {})), 1)
                            window = int(self.window or 2 * n_workers + 2)
                        except _NoAnswer:
                            if deadline is None or time.monotonic() < deadline:
                                why = (f"the Dask scheduler at {address} stopped "
                                       f"answering (no answer within {ANSWER_SECONDS:g} s)")
                            continue
                        except Exception:
                            pass  # a lost connection is seen from the client's status
                        quiet_since = time.monotonic()
                    wake.wait(0.2)
                    continue
                quiet_since = now
                ok, rows = [], []
                for f in batch:
                    if f not in inflight:
                        continue
                    if f.status in ("lost", "pending"):
                        f.add_done_callback(on_done)
                    elif f.status == "finished":
                        ok.append(f)
                    elif f.status == "cancelled" and f in inflight and cancelled[0] < 100:
                        # Not by us: the scheduler was lost (seen from the client's
                        # status next) or restarted; its spectra are sent again.
                        cancelled[0] += 1
                        rows += failed(f, "", again=True)
                    elif f in inflight:
                        rows += failed(f, _task_failure(f))
                if ok:
                    try:
                        got = fetch(ok, bound(60))
                    except _NoAnswer:
                        why = f"the Dask scheduler at {address} stopped answering"
                        got = {}
                    for f, out in got.items():
                        if out is None and f.status == "cancelled":
                            rows += failed(f, "", again=True)  # as above
                        elif out is None:
                            rows += failed(f, _task_failure(f))
                        else:
                            rows += finished(f, out)
                if rows:
                    if bar is not None:
                        bar.update(len(rows))
                    yield rows
                if why:
                    break
        except KeyboardInterrupt:
            why = "the batch was interrupted"
        finally:
            if bar is not None:
                bar.close()
        if why is None:
            return
        self.stopped = why
        state["quick"] = "interrupted" not in why  # the scheduler may not answer
        # Finished results not fetched yet: a short grace to collect them.
        end = time.monotonic() + GRACE_SECONDS
        ready = [f for f in inflight if f.status == "finished"]
        if ready and "lost" not in why:
            try:
                got = fetch(ready, max(end - time.monotonic(), 0.1))
            except (_NoAnswer, KeyboardInterrupt):
                got = {}
            rows = [r for f, out in got.items() if out is not None for r in finished(f, out)]
            if rows:
                yield rows
        done_q.clear()  # the rest released, not cancelled: a cancel waits for the scheduler
        yield from not_fitted(why)


def _task_failure(future):
    if future.status != "error":
        return f"its task was {future.status}"
    try:
        e = _within(GRACE_SECONDS, future.exception, timeout=GRACE_SECONDS)
    except Exception:
        return "its task failed"
    if type(e).__name__ == "KilledWorker":
        return "the worker process fitting it died each time it tried (KilledWorker)"
    return f"its task failed: {_one_line(e)}"


def fit_many(spectra, model, params=None, client=None, *, workers=None, axis=None,
             exclude=(), sequential=False, series=None, chunk_size=None, progress=None,
             timeout=None, table=None, **options):
    """Fit every spectrum of `spectra` with `model` on Dask workers; a list of
    BatchResult in input order (see Batch for the arguments; fit options such as
    weights, method, max_nfev go to mosslib.fit). table: a CSV file that receives each
    chunk's rows as it finishes (sorted by index at the end). Spectra not fitted by
    the timeout, or when the scheduler is lost, have verdict None and say why."""
    batch = Batch(spectra, model, params, client, workers=workers, axis=axis,
                  exclude=exclude, sequential=sequential, series=series,
                  chunk_size=chunk_size, progress=progress, timeout=timeout, **options)
    results = []
    writer = TableWriter(table) if table is not None else None
    try:
        for rows in batch:
            results += rows
            if writer is not None:
                writer.add(rows)
    finally:
        if writer is not None:
            writer.close(sort=True)
    results.sort(key=lambda r: r.index)
    return results


# ---- the summary table and the plot ----------------------------------------------

def _columns(results):
    names, derived = [], []
    for r in results:
        for n in r.fitted:
            if n not in names:
                names.append(n)
        for n in r.derived:
            if n not in derived:
                derived.append(n)
    return names, derived


def _num(v):
    if v is None or not math.isfinite(v):
        return ""
    return repr(float(v))


def _text(s):
    return " ".join(str(s).split())


class TableWriter:
    """A CSV table written row by row: each add() appends its rows and flushes them to
    the file, so that whatever stops the program leaves every row added on disk.

    Columns: index, name, file (with files=True), x_name (when given), success,
    verdict, reasons, message, reduced chi-square, chi-square, channels fitted,
    evaluations, then every fitted parameter and derived quantity with its standard
    error (name, name_err); numbers in full (shortest exact decimal), empty where not
    fitted or not estimated. The parameter columns are those of the first fitted row
    (rows before it wait); a later row with a new one rewrites the file with it.
    Rows come in the order given; close(sort=True) rewrites them by x, then index.

    resume=True keeps the rows of an existing table whose verdict is not empty (rows
    of spectra not fitted are dropped) and `done` holds their keys (file, else name).
    """

    def __init__(self, path, x_name=None, files=False, resume=False):
        self.path, self.x_name, self.files = os.fspath(path), x_name, files
        self.head, self.params, self.waiting, self.done = None, None, [], set()
        self.count = 0
        if resume and os.path.exists(self.path):
            self._resume()
            self.f = open(self.path, "a", newline="")
        else:
            self.f = open(self.path, "w", newline="")
        self.w = csv.writer(self.f)

    def _base(self):
        return ["index", "name"] + (["file"] if self.files else []) + \
            ([self.x_name] if self.x_name else []) + \
            ["success", "verdict", "reasons", "message", "redchi", "chisqr", "ndata", "nfev"]

    def _resume(self):
        tmp = self.path + ".resume"
        with open(self.path, newline="") as f, open(tmp, "w", newline="") as g:
            rows = csv.reader(f)
            head = next(rows, None)
            if head is None:
                g.close()
                os.replace(tmp, self.path)
                return
            if "verdict" not in head or "index" not in head:
                raise ValueError(f"{self.path}: not a batch table (no verdict column)")
            self.files = "file" in head
            self.head = head
            base = len(self._base()) if head[:len(self._base())] == self._base() else None
            if base is None:
                raise ValueError(f"{self.path}: its columns differ from this batch's "
                                 f"(another --x?)")
            self.params = head[base::2]
            key = head.index("file") if self.files else head.index("name")
            verdict = head.index("verdict")
            w = csv.writer(g)
            w.writerow(head)
            for row in rows:
                if len(row) == len(head) and row[verdict]:
                    w.writerow(row)
                    self.done.add(row[key])
                    self.count += 1
        os.replace(tmp, self.path)

    def _row(self, r, x):
        fitted = bool(r.values)
        x = r.x if x is None else x
        row = [r.index, _text(r.name)] + ([r.file] if self.files else []) + \
            ([_num(x)] if self.x_name else []) + \
            [int(r.success), r.verdict or "", _text("; ".join(r.reasons)), _text(r.message)] + \
            ([_num(r.redchi), _num(r.chisqr), r.ndata, r.nfev] if fitted else ["", "", "", ""])
        for n in self.params:
            v, e = r.value(n) if fitted else (None, None)
            row += [_num(v), _num(e)]
        return row

    def add(self, rows, xs=None):
        """Append rows (BatchResult; xs: their x values, default each row's own)."""
        rows = list(rows)
        xs = [None] * len(rows) if xs is None else list(xs)
        if self.head is None:
            self.waiting += zip(rows, xs)
            if not any(r.values for r in rows):
                return
            rows, xs = [r for r, _ in self.waiting], [x for _, x in self.waiting]
            self.waiting = []
            names, derived = _columns(rows)
            self.params = names + derived
            self.head = self._base() + [c for n in self.params for c in (n, n + "_err")]
            self.w.writerow(self.head)
        names, derived = _columns(rows)
        new = [n for n in names + derived if n not in self.params]
        if new:
            self._widen(new)
        for r, x in zip(rows, xs):
            self.w.writerow(self._row(r, x))
        self.count += len(rows)
        self.f.flush()

    def _widen(self, new):
        self.f.close()
        old = len(self.head)
        self.params += new
        self.head = self.head + [c for n in new for c in (n, n + "_err")]
        tmp = self.path + ".widen"
        with open(self.path, newline="") as f, open(tmp, "w", newline="") as g:
            rows = csv.reader(f)
            next(rows, None)
            w = csv.writer(g)
            w.writerow(self.head)
            for row in rows:
                w.writerow(row + [""] * (len(self.head) - old))
        os.replace(tmp, self.path)
        self.f = open(self.path, "a", newline="")
        self.w = csv.writer(self.f)

    def close(self, sort=False):
        """Write the rows still waiting (a header without parameter columns if no row
        was fitted); with sort, rewrite the rows ordered by x, then index."""
        if self.f.closed:
            return
        if self.head is None:
            self.params = []
            self.head = self._base()
            self.w.writerow(self.head)
            for r, x in self.waiting:
                self.w.writerow(self._row(r, x))
            self.waiting = []
        self.f.flush()
        os.fsync(self.f.fileno())
        self.f.close()
        if sort:
            self._sort()

    def _sort(self):
        """Rows by x, then index: offsets and keys in memory, never the rows."""
        xi = self.head.index(self.x_name) if self.x_name in self.head else None
        keys = []
        with open(self.path, "rb") as f:
            f.readline()
            while True:
                at = f.tell()
                line = f.readline()
                if not line:
                    break
                row = next(csv.reader([line.decode("utf-8", "replace")]), [])
                try:
                    index = int(row[0])
                except (ValueError, IndexError):
                    index = sys.maxsize
                try:
                    x = float(row[xi]) if xi is not None else 0.0
                except (ValueError, IndexError):
                    x = math.inf
                keys.append((math.inf if math.isnan(x) else x, index, at, len(line)))
        keys.sort()
        tmp = self.path + ".sorted"
        with open(self.path, "rb") as f, open(tmp, "wb") as g:
            g.write(f.readline())
            for _, _, at, size in keys:
                f.seek(at)
                g.write(f.read(size))
            g.flush()
            os.fsync(g.fileno())
        os.replace(tmp, self.path)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def write_table(results, path, x=None, x_name="x"):
    """A CSV table, one row per spectrum in the order given (see TableWriter for the
    columns; x: one value per result, for a column named x_name)."""
    results = list(results)
    files = any(r.file for r in results)
    with TableWriter(path, x_name if x is not None else None, files=files) as t:
        t.add(results, list(x) if x is not None else None)


def plot_series(results, x, names, path=None, x_label="x", title=None):
    """Chosen parameters (or derived quantities) with their standard errors against a
    per-spectrum value x, one panel each; spectra not fitted are left out. Headless;
    writes `path` when given and returns the matplotlib Figure."""
    from matplotlib.figure import Figure

    names = list(names)
    if not names:
        raise ValueError("no parameter to plot")
    fig = Figure(figsize=(7, 1.0 + 2.0 * len(names)), layout="constrained")
    axes = fig.subplots(len(names), 1, sharex=True, squeeze=False)[:, 0]
    ok = [k for k, r in enumerate(results) if r.success]
    xs = np.array([x[k] for k in ok], dtype=float)
    for ax, n in zip(axes, names):
        vals = [results[k].value(n) for k in ok]
        if not any(math.isfinite(v) for v, _ in vals):
            raise ValueError(f"{n}: not a fitted parameter or derived quantity")
        y = np.array([v for v, _ in vals], dtype=float)
        e = np.array([np.nan if s is None else s for _, s in vals], dtype=float)
        order = np.argsort(xs, kind="stable")
        ax.errorbar(xs[order], y[order], yerr=np.nan_to_num(e[order]), fmt="o-", ms=3,
                    lw=0.8, capsize=2)
        unit = next((results[k].derived[n][2] if n in results[k].derived
                     else results[k].units.get(n, "") for k in ok), "")
        ax.set_ylabel(f"{n} ({unit})" if unit else n)
    axes[-1].set_xlabel(x_label)
    if title:
        fig.suptitle(title, fontsize=10)
    if path is not None:
        fig.savefig(path, dpi=150)
    return fig


def value_from(path, source):
    """A per-spectrum number: 'name:REGEX' searches the file's name (the first group,
    or the whole match), 'header:KEY' reads a comment line '# KEY: value' or
    '# KEY = value' of the file."""
    kind, _, what = source.partition(":")
    base = os.path.basename(os.fspath(path))
    if kind == "name" and what:
        try:
            m = re.search(what, base)
        except re.error as e:
            raise ValueError(f"--x {source}: {e}") from None
        text = None if m is None else (m.group(1) if m.re.groups else m.group(0))
        where = "its name"
    elif kind == "header" and what:
        pattern = re.compile(r"#\s*" + re.escape(what) + r"\s*[:=]\s*(\S+)", re.I)
        text = None
        try:
            with open(path, encoding="utf-8", errors="replace") as f:
                for line in f:
                    m = pattern.search(line)
                    if m:
                        text = m.group(1)
                        break
        except OSError as e:
            raise ValueError(f"{base}: {e.strerror or e}") from None
        where = f"a '# {what}:' line"
    else:
        raise ValueError(f"--x {source!r}: name:REGEX or header:KEY")
    if text is None:
        raise ValueError(f"{base}: no value for --x {source} in {where}")
    try:
        return float(re.sub(r"[A-Za-z]+$", "", text) or text)
    except ValueError:
        raise ValueError(f"{base}: {text!r} from --x {source} is not a number") from None
