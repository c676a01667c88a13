"""Fitting many spectra at once on Dask distributed.

    from mosslib.batch import fit_many, write_table
    results = fit_many(spectra, model, params)                        # every core here
    results = fit_many(spectra, model, params, client="tcp://host:8786")  # a running cluster
    write_table(results, "results.csv")

What runs where. The calling process reads files, cuts the batch into chunks, sends
them to the workers and collects the results. Each Dask worker is a process with one
thread; it imports mosslib and loads the library once, when it joins (the library's
priority step is off there, as in every process that loads this package, so a worker
keeps its scheduling priority; the library's own threads are set to one, since the
workers already fill the cores, unless MOSSLIB_THREADS is set), and fits the spectra of a chunk one after another
with mosslib.fit, exactly as a fit in the calling process would: a batch gives the
same bits as fitting the spectra one by one.

Spectra travel as plain data (counts, mask, axis, name) and are checked in the worker;
results come back as BatchResult (plain data) in input order, each with its own
success flag and message: a spectrum that cannot be fitted (a wrong channel count, no
counts, a count that is not a number) is reported as such and the others are fitted.
A worker that dies takes its chunks with it; the scheduler runs them again elsewhere.

Sequential fits (a temperature series): with sequential=True each fit starts from the
fitted values of the previous spectrum of its series; separate series (series=) run
in parallel.

With no client, a LocalCluster of as many single-threaded worker processes as cores
is started and closed again; its workers are spawned processes, so a script calling
fit_many without a client needs the usual `if __name__ == "__main__":` guard.
"""

import copy
import csv
import logging
import math
import os
import pickle
import re
import sys
import time
from contextlib import contextmanager
from dataclasses import dataclass, field

import numpy as np

__all__ = ["BatchResult", "fit_many", "write_table", "plot_series", "value_from"]


@dataclass
class BatchResult:
    """One spectrum's outcome as plain data. success: the fit ran, converged and every
    fitted value is finite; message: the optimiser's message, or why the spectrum was
    not fitted (then values is empty)."""
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

    @classmethod
    def from_fit(cls, index, name, r, cpu_seconds=math.nan):
        fitted = tuple(n for n, q in r.params.items() if q.vary or q.expr)
        finite = all(math.isfinite(r.values[n]) for n in fitted)
        derived = {prefix + k: (v["value"], v.get("stderr"), v.get("unit", ""))
                   for prefix, dq in r.derived.items() for k, v in dq.items()
                   if isinstance(v, dict) and "value" in v}
        units = {c.prefix + n: c.param(n).unit
                 for c in r.model.components for n in c.param_names}
        return cls(index=index, name=name, success=bool(r.success) and finite,
                   message=r.message if finite else f"{r.message}; a fitted value is not finite",
                   values=dict(r.values), stderr=dict(r.stderr), fitted=fitted,
                   derived=derived, units=units, chisqr=r.chisqr, redchi=r.redchi, ndata=r.ndata,
                   nvarys=r.nvarys, nfev=r.nfev, cpu_seconds=cpu_seconds)

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
    bad = np.flatnonzero(used & ~np.isfinite(counts))
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


# ---- the work of one task, in a worker -------------------------------------------

def _start(params, previous):
    """params with the varied (not tied) values taken from the previous fit's."""
    p = copy.deepcopy(params)
    for n, q in previous.items():
        if n in p and p[n].vary and not p[n].expr:
            p[n].value = q.value
    return p


def _fit_one(index, item, model, params, options, previous):
    from .fitting import fit
    name = item.get("name") or f"spectrum {index}"
    t0 = time.thread_time()
    try:
        s = _spectrum(item)
        p = params(s) if callable(params) else params
        if previous is not None:
            p = _start(model.make_params(s) if p is None else p, previous)
        r = fit(s, model, p, **options)
    except (Exception, SystemExit) as e:  # this spectrum's failure, never the batch's
        return BatchResult(index, name, False, _one_line(e)), None
    out = BatchResult.from_fit(index, name, r, time.thread_time() - t0)
    return out, (r.params if out.success else None)


_setup_cache = (None, None)


def _setup(blob):
    """(model, params, options, sequential) of a batch, unpickled once per worker: lmfit
    Parameters take milliseconds to pickle and unpickle, as long as a small fit."""
    global _setup_cache
    cached = _setup_cache
    if cached[0] != blob:
        cached = _setup_cache = (blob, pickle.loads(blob))
    return cached[1]


def _run_chunk(chunk, setup):
    """Fit a chunk: a list of series, each a list of (index, plain spectrum), in order;
    in sequential mode a fit starts from the previous successful fit of its series."""
    model, params, options, sequential = _setup(setup)
    out = []
    for series in chunk:
        previous = None
        for index, item in series:
            r, p = _fit_one(index, item, model, params, options,
                            previous if sequential else None)
            if p is not None:
                previous = p
            out.append(r)
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

def _cores():
    """The cores this process may run on."""
    try:
        return len(os.sched_getaffinity(0)) or 1
    except AttributeError:  # not on every platform
        return os.cpu_count() or 1


@contextmanager
def _cluster(client, workers):
    from distributed import Client, LocalCluster
    if client is None:
        n = int(workers or _cores())
        cluster = LocalCluster(n_workers=n, threads_per_worker=1, processes=True,
                               dashboard_address=":0", silence_logs=logging.ERROR)
        c = Client(cluster)
        try:
            yield c
        finally:
            c.close()
            cluster.close()
    elif isinstance(client, Client):
        yield client
    else:
        address = getattr(client, "scheduler_address", client)  # a cluster object
        try:
            c = Client(address, timeout="10s")
        except (OSError, TimeoutError) as e:
            raise OSError(f"no Dask scheduler at {address}: {_one_line(e)}") from None
        try:
            yield c
        finally:
            c.close()


def _series_of(n, sequential, series):
    """Index lists to fit in order: one per series in sequential mode, else singles."""
    if series is not None:
        series = list(series)
        if len(series) != n:
            raise ValueError(f"series: {len(series)} keys for {n} spectra")
    if not sequential:
        return [[i] for i in range(n)]
    if series is None:
        return [list(range(n))] if n else []
    groups = {}
    for i, key in enumerate(series):
        groups.setdefault(key, []).append(i)
    return list(groups.values())


def _chunks(groups, size):
    chunk, count = [], 0
    for g in groups:
        if chunk and count + len(g) > size:
            yield chunk
            chunk, count = [], 0
        chunk.append(g)
        count += len(g)
    if chunk:
        yield chunk


def _progress_bar(total, progress):
    if progress is None:
        progress = total >= 100 and sys.stderr.isatty()
    if not progress:
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    return tqdm(total=total, unit="spectra", file=sys.stderr, dynamic_ncols=True)


def fit_many(spectra, model, params=None, client=None, *, workers=None, axis=None,
             exclude=(), sequential=False, series=None, chunk_size=None, progress=None,
             timeout=None, **fit_options):
    """Fit every spectrum of `spectra` with `model` on Dask workers; a list of
    BatchResult in input order.

    spectra: Spectrum objects, file names (read here, with `exclude`), arrays of counts
    or dicts (counts, and optionally mask, axis, variance, name); `axis` serves those
    without an axis of their own. params: lmfit Parameters used as the start of every
    fit, None (each fit starts from model.make_params(spectrum) with its areas scaled
    to the data, as mosslib.fit does), or a picklable function spectrum -> Parameters
    called in the worker. fit_options (weights, method, max_nfev, ...) go to
    mosslib.fit.

    client: None (a LocalCluster of `workers` processes, default one per core, started
    and closed here), a distributed.Client, or a scheduler address ('tcp://host:8786').
    sequential: each fit starts from the fitted values of the previous spectrum of its
    series (series: one hashable key per spectrum; default one series in input order).
    chunk_size: spectra per task (default: about eight tasks per worker, at most 32).
    progress: a tqdm bar on stderr (default: for 100 spectra or more on a terminal).
    timeout: seconds for the whole batch; spectra not done by then are reported as not
    fitted.
    """
    from .measurement import read_spectrum

    if workers is not None and (client is not None or int(workers) < 1):
        raise ValueError("workers= (at least 1) sizes the local cluster; not with a client")
    if chunk_size is not None and int(chunk_size) < 1:
        raise ValueError(f"chunk_size={chunk_size}: at least 1")
    if series is not None and not sequential:
        raise ValueError("series= goes with sequential=True")
    spectra = list(spectra)
    n = len(spectra)
    results = [None] * n
    items = []
    for i, s in enumerate(spectra):
        try:
            if isinstance(s, (str, os.PathLike)):
                s = read_spectrum(s, exclude=exclude)
            items.append(_plain(s, axis, f"spectrum {i}"))
        except Exception as e:
            name = os.path.basename(os.fspath(s)) if isinstance(s, (str, os.PathLike)) \
                else f"spectrum {i}"
            results[i] = BatchResult(i, name, False, _one_line(e))
            items.append(None)
    groups = [[i for i in g if items[i] is not None]
              for g in _series_of(n, sequential, series)]
    groups = [g for g in groups if g]
    if not groups:
        return results
    options = dict(fit_options)

    with _cluster(client, workers) as c:
        try:
            c.register_worker_plugin(_load_library_plugin(), name="mosslib-load-library")
        except Exception as e:
            raise OSError(f"the Dask workers cannot load mosslib: {_one_line(e)}") from None
        n_workers = max(len(c.scheduler_info().get("workers", {})), 1)
        size = int(chunk_size or min(32, max(1, math.ceil(len(items) / (8 * n_workers)))))
        bar = _progress_bar(sum(len(g) for g in groups), progress)
        try:
            _collect(c, groups, items, model, params, options, sequential, size,
                     results, bar, timeout)
        finally:
            if bar is not None:
                bar.close()
    return results


def _collect(c, groups, items, model, params, options, sequential, size, results, bar,
             timeout):
    from distributed import as_completed

    import cloudpickle
    setup = cloudpickle.dumps((model, params, options, sequential))

    def submit(chunks):
        payloads = [[[(i, items[i]) for i in g] for g in ch] for ch in chunks]
        futures = c.map(_run_chunk, payloads, setup=setup, pure=False)
        pending.update(zip(futures, chunks))
        return futures

    def failed(chunk, why):
        for g in chunk:
            for i in g:
                results[i] = BatchResult(i, items[i].get("name") or f"spectrum {i}",
                                         False, why)
        if bar is not None:
            bar.update(sum(len(g) for g in chunk))

    def fetch(futures):
        """{future: result} of finished futures: in one request where no deadline holds
        (a result whose worker dies meanwhile is computed again), else one by one, each
        within the deadline."""
        if deadline is None and futures:
            try:
                return dict(zip(futures, c.gather(futures)))
            except Exception:
                pass  # one of them failed meanwhile: one by one
        got = {}
        for f in futures:
            try:
                got[f] = f.result(timeout=None if deadline is None
                                  else max(deadline - time.monotonic(), 0.01))
            except TimeoutError:
                done.add(f)
            except Exception as e:
                failed(pending.pop(f), f"its result could not be fetched: {_one_line(e)}")
        return got

    pending = {}
    done = as_completed(submit(list(_chunks(groups, size))))
    deadline = None if timeout is None else time.monotonic() + timeout
    while pending:
        if deadline is None:
            ready = done.next_batch(block=True)
        elif time.monotonic() > deadline:
            for f, chunk in pending.items():
                f.cancel()
                failed(chunk, f"not fitted within the batch's timeout of {timeout} s")
            return
        elif done.has_ready():
            ready = done.next_batch(block=False)
        else:
            time.sleep(0.01)
            continue
        finished = []
        for f in ready:
            if f.status in ("lost", "pending"):
                done.add(f)  # its worker died after it finished: computed again
            elif f.status == "finished":
                finished.append(f)
            else:
                chunk = pending.pop(f)
                if len(chunk) > 1:
                    # The task itself failed (its worker died once too often, ...): each
                    # series of the chunk alone once more, so one cannot sink the rest.
                    done.update(submit([[g] for g in chunk]))
                else:
                    failed(chunk, _task_failure(f))
        for f, out in fetch(finished).items():
            chunk = pending.pop(f)
            for r in out:
                results[r.index] = r
            if bar is not None:
                bar.update(sum(len(g) for g in chunk))


def _task_failure(future):
    if future.status != "error":
        return f"its task was {future.status}"
    e = future.exception()
    if type(e).__name__ == "KilledWorker":
        return "the worker process fitting it died each time it tried (KilledWorker)"
    return f"its task failed: {_one_line(e)}"


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


def write_table(results, path, x=None, x_name="x"):
    """A CSV table, one row per spectrum in the order given: index, name, the
    per-spectrum value x (if given), success, message, reduced chi-square, chi-square,
    channels fitted, evaluations, then every fitted parameter and every derived
    quantity with its standard error (name, name_err). Numbers are written in full
    (shortest exact decimal); empty where not fitted or not estimated."""
    names, derived = _columns(results)
    head = ["index", "name"] + ([x_name] if x is not None else []) + \
        ["success", "message", "redchi", "chisqr", "ndata", "nfev"]
    for n in names + derived:
        head += [n, n + "_err"]

    def num(v):
        if v is None or not math.isfinite(v):
            return ""
        return repr(float(v))

    with open(path, "w", newline="") as f:
        w = csv.writer(f)
        w.writerow(head)
        for k, r in enumerate(results):
            fitted = bool(r.values)
            row = [r.index, r.name] + ([num(x[k])] if x is not None else []) + \
                [int(r.success), r.message] + \
                ([num(r.redchi), num(r.chisqr), r.ndata, r.nfev] if fitted else ["", "", "", ""])
            for n in names + derived:
                v, e = r.value(n) if fitted else (None, None)
                row += [num(v), num(e)]
            w.writerow(row)


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
