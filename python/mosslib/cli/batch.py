"""mossfit batch FILES...: many spectra, one model, on Dask workers (mosslib.batch)."""

import argparse
import glob
import importlib
import logging
import os
import re
import shutil
import signal
import sys
import threading
import time

from .._lib import MosslibError
from ..batch import Batch, BatchResult, TableWriter, _columns, _one_line, plot_series, value_from
from .common import (Parser, Refusal, Start, check_axis_options, exclusions, fit_options,
                     load_calibration, model_from)

EXAMPLE = """examples:
  mossfit batch runs/T*K.txt --exclude 511 --calibration cal.json \\
      --component sextgen:fe,field_T=33 --table results.csv \\
      --x 'name:T(\\d+)K' --x-label 'temperature (K)' --plot series.png --sequential
  mossfit batch --files-from maps.list --axis linear:step=0.09,zero=127.5 \\
      --component sextgen:fe --scheduler tcp://node1:8786 --table map.csv --timeout 7200
  mossfit batch --files-from maps.list ... --resume map.csv     # after a stop: the rest
"""

SHOWN = 20  # spectra named one per line on stderr; the table has every one


def _parser():
    p = Parser(prog="mossfit batch", epilog=EXAMPLE,
               formatter_class=argparse.RawDescriptionHelpFormatter,
               description="Fit many spectra with one model on Dask workers; one row per "
                           "spectrum in a CSV table, written as the fits finish.")
    p.add_argument("files", nargs="*", metavar="FILE",
                   help="spectrum files, directories (their files) or quoted glob patterns "
                        "(expanded here, for any number of files)")
    p.add_argument("--files-from", metavar="LIST",
                   help="a file naming one spectrum file per line ('-': standard input)")
    p.add_argument("--table", metavar="CSV",
                   help="summary table: every fitted parameter with its error, one row per file")
    p.add_argument("--resume", metavar="CSV",
                   help="continue the table of an earlier run: the files with a verdict there "
                        "are skipped (default --table: this one)")
    p.add_argument("--scheduler", metavar="ADDRESS",
                   help="a running Dask scheduler (e.g. tcp://node1:8786); default: a local "
                        "cluster")
    p.add_argument("--workers", type=int, metavar="N",
                   help="worker processes of the local cluster (default: one per core)")
    p.add_argument("--read-on-workers", action=argparse.BooleanOptionalAction, default=None,
                   help="the workers read the files (they share this filesystem); default: "
                        "detected")
    fit_options(p, "velocity axis of every file (see mossfit fit); its channel count is "
                   "the first readable file's")
    p.add_argument("--sequential", action="store_true",
                   help="each fit starts from the last good fit before it (in --x order "
                        "when --x is given, else in the order of the files)")
    p.add_argument("--series", metavar="name:REGEX",
                   help="with --sequential: files whose names give the same match form one "
                        "series; series run in parallel")
    p.add_argument("--x", action="append", default=[], metavar="WHERE",
                   help="per-file value for the table and the plot: name:REGEX (a number in "
                        "the file name) or header:KEY (a '# KEY: value' line); given more "
                        "than once, the first that a file has; rows follow it")
    p.add_argument("--x-label", default=None, metavar="TEXT", help="label of x (table, plot)")
    p.add_argument("--plot", metavar="FILE", help="chosen parameters against x (.png, .svg)")
    p.add_argument("--plot-params", default="", metavar="NAME,...",
                   help="parameters or derived quantities to plot (default: the fitted "
                        "hyperfine parameters)")
    p.add_argument("--chunk-size", type=int, metavar="N",
                   help="spectra per Dask task (default: about a second of fitting)")
    p.add_argument("--window", type=int, metavar="N",
                   help="tasks in flight (default: two per worker and two more)")
    p.add_argument("--timeout", type=float, metavar="SECONDS",
                   help="limit for the whole batch: what finished is in the table, the rest "
                        "is named there")
    p.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                   help="progress bar (default: on a terminal for 100 files or more)")
    return p


def _default_plot_names(results):
    names, derived = _columns(results)
    skip = re.compile(r"(base_|axis_)|.*_(intensity|width|area|gauss_width)\d*$")
    pick = [n for n in names if not skip.match(n)]
    return pick[:6] or names[:1]


def _inputs(args):
    """Every file named by the arguments, in order: files, the files of a directory
    (sorted, not hidden), glob patterns expanded here, and the lines of --files-from."""
    files, missing = [], []
    for a in args.files:
        if os.path.isdir(a):
            files += sorted(os.path.join(a, e) for e in os.listdir(a)
                            if not e.startswith(".") and os.path.isfile(os.path.join(a, e)))
        elif os.path.isfile(a):
            files.append(a)
        elif glob.has_magic(a):
            found = sorted(f for f in glob.glob(a) if os.path.isfile(f))
            if not found:
                raise ValueError(f"{a}: no file matches")
            files += found
        else:
            missing.append(a)
    if missing:
        raise ValueError(f"{missing[0]}: no such file" +
                         (f" (and {len(missing) - 1} more)" if len(missing) > 1 else ""))
    if args.files_from:
        try:
            f = sys.stdin if args.files_from == "-" else open(args.files_from, encoding="utf-8")
        except OSError as e:
            raise ValueError(f"--files-from {args.files_from}: {e.strerror or e}") from None
        with f:
            files += [line.rstrip("\r\n") for line in f if line.strip()]
    if not files:
        raise ValueError("no spectrum files: give FILE, a directory, a pattern or --files-from")
    return files


def _x_of(path, sources):
    """The first value that one of the --x sources gives for this file."""
    why = None
    for source in sources:
        try:
            return value_from(path, source)
        except ValueError as e:
            why = why or str(e)
    raise ValueError(why)


class Loader:
    """path -> Spectrum as `mossfit FILE` reads it (exclusions, calibration or axis),
    refused when its channel count is not the batch's; x_of: the --x value of a file.
    Picklable: it runs where the files are read (the workers, or here)."""

    def __init__(self, exclude, axis_text, calibration, n, n_from, x_sources, columns=None,
                 channel_base=None):
        from ..axes import parse_axis
        self.exclude, self.calibration = exclude, calibration
        self.columns, self.channel_base = columns, channel_base
        self.n, self.n_from, self.x_sources = n, n_from, list(x_sources)
        self.axis = parse_axis(axis_text, n) if axis_text and n else None
        self.axis_text = axis_text

    def __call__(self, path):
        from ..axes import parse_axis
        from ..measurement import read_spectrum
        s = read_spectrum(path, exclude=self.exclude, columns=self.columns,
                          channel_base=self.channel_base)
        if self.n is not None and s.n != self.n:
            raise ValueError(f"{s.n} channels; the batch's axis has {self.n} "
                             f"(those of {self.n_from})")
        if self.calibration is not None:
            return self.calibration.apply(s)
        return s.with_axis(self.axis or parse_axis(self.axis_text, s.n))

    def x_of(self, path):
        return _x_of(path, self.x_sources) if self.x_sources else float("nan")


def _process_age():
    """Seconds since this process started (0 where /proc does not say)."""
    try:
        with open("/proc/self/stat") as f:
            ticks = int(f.read().rpartition(")")[2].split()[19])
        return max(time.clock_gettime(time.CLOCK_BOOTTIME) - ticks / os.sysconf("SC_CLK_TCK"),
                   0.0)
    except (OSError, ValueError, IndexError, AttributeError):
        return 0.0


def _batch(argv, stop):
    # --timeout counts from the command's start: the process's, when it was started
    # for this command line (its imports take seconds on a loaded machine).
    own = bool(argv) and sys.argv[-len(argv):] == argv
    began = time.monotonic() - (_process_age() if own else 0.0)
    args = _parser().parse_args(argv)
    model, starts = model_from(args)
    check_axis_options(args)
    if args.workers is not None and (args.scheduler or args.workers < 1):
        raise ValueError("--workers N (N >= 1) is for the local cluster, not with --scheduler")
    for name in ("chunk_size", "window"):
        if getattr(args, name) is not None and getattr(args, name) < 1:
            raise ValueError(f"--{name.replace('_', '-')}: at least 1")
    if args.timeout is not None and not args.timeout > 0:
        raise ValueError("--timeout: a positive number of seconds")
    if args.series and not args.sequential:
        raise ValueError("--series goes with --sequential")
    if args.plot and not args.x:
        raise ValueError("--plot needs --x (the value to plot against)")
    table = args.table or args.resume
    if not table:
        raise ValueError("give --table CSV (or --resume CSV)")
    if args.resume and not os.path.isfile(args.resume):
        raise ValueError(f"--resume {args.resume}: no such table")
    for source in args.x:
        kind, _, what = source.partition(":")
        if kind not in ("name", "header") or not what:
            raise ValueError(f"--x {source!r}: name:REGEX or header:KEY")
    files = _inputs(args)

    start = Start(model, starts, args)
    cal = load_calibration(args.calibration, args.foil_exclude, args) if args.calibration else None
    exclude = exclusions(args.exclude)

    if args.resume and args.table and os.path.abspath(args.table) != os.path.abspath(args.resume):
        shutil.copyfile(args.resume, args.table)
    writer = TableWriter(table, args.x_label or "x" if args.x else None, files=True,
                         resume=bool(args.resume))
    try:
        return _run(args, model, start, cal, exclude, files, writer, stop, table, began)
    finally:
        writer.close()


def _run(args, model, start, cal, exclude, files, writer, stop, table, began):
    from ..measurement import read_spectrum

    todo = [k for k, f in enumerate(files) if f not in writer.done]
    skipped = len(files) - len(todo)
    refused = []   # (index in files, reason): files refused here
    xmap = {}
    if args.sequential and args.x:  # the chain's order needs every x first
        for k in todo:
            try:
                xmap[k] = _x_of(files[k], args.x)
            except ValueError as e:
                refused.append((k, str(e)))
        todo = sorted(xmap, key=lambda k: (xmap[k], k))

    # The batch's channel count is the first readable file's; the start parameters are
    # checked on it (unknown names and bad ties stop here, before any worker starts).
    n = n_from = None
    for k in todo[:100]:
        try:
            s = read_spectrum(files[k], exclude=exclude, columns=args.columns,
                              channel_base=args.channel_base)
        except ValueError:
            continue
        n, n_from = s.n, os.path.basename(files[k])
        from ..axes import parse_axis
        start(cal.apply(s) if cal is not None else s.with_axis(parse_axis(args.axis, s.n)))
        break
    loader = Loader(exclude, args.axis, cal, n, n_from, [] if args.sequential else args.x,
                    args.columns, args.channel_base)

    keys = None
    if args.series:
        kind, _, rx = args.series.partition(":")
        try:
            rx = re.compile(rx) if kind == "name" and rx else None
        except re.error as e:
            raise ValueError(f"--series {args.series}: {e}") from None
        if rx is None:
            raise ValueError(f"--series {args.series!r}: name:REGEX")
        matches = [rx.search(os.path.basename(files[k])) for k in todo]
        keys = [m and (m.group(1) if rx.groups else m.group(0)) for m in matches]

    fitted, failed, not_fitted, shown, plotted = 0, 0, 0, [], []

    def account(rows):
        nonlocal fitted, failed, not_fitted
        for r in rows:
            if r.verdict is None:
                not_fitted += 1
            elif r.success:
                fitted += 1
            else:
                failed += 1
                if len(shown) < SHOWN:
                    shown.append(f"mossfit batch: {r.name}: {r.message}")
        if args.plot:
            plotted.extend(rows)

    rows = [BatchResult.refused(k, os.path.basename(files[k]), why, file=files[k])
            for k, why in refused]
    if rows:
        writer.add(rows)
        account(rows)

    t0 = time.perf_counter()
    batch = Batch([files[k] for k in todo], model, start, client=args.scheduler,
                  workers=args.workers, load=loader, read_on_workers=args.read_on_workers,
                  sequential=args.sequential,
                  series=keys, chunk_size=args.chunk_size, window=args.window,
                  timeout=args.timeout, began=began, stop=stop, progress=args.progress,
                  weights=args.weights)
    for rows in batch:
        for r in rows:
            r.index = todo[r.index]
            if r.index in xmap:
                r.x = xmap[r.index]
        writer.add(rows)
        account(rows)
    wall = time.perf_counter() - t0
    writer.close(sort=True)

    total = len(files)
    done = f"; {skipped} done before" if skipped else ""
    print(f"mossfit batch: {fitted} of {total} spectra fitted in {wall:.1f} s{done}; "
          f"table {table}")
    if args.plot and any(r.success for r in plotted):
        names = [s.strip() for s in args.plot_params.split(",") if s.strip()] or \
            _default_plot_names(plotted)
        plot_series(plotted, [r.x for r in plotted], names, args.plot,
                    x_label=args.x_label or "x")
    for line in shown:
        print(line, file=sys.stderr)
    if failed > len(shown):
        print(f"mossfit batch: ... and {failed - len(shown)} more not fitted (the table "
              f"says why)", file=sys.stderr)
    if batch.stopped:
        print(f"mossfit batch: stopped: {batch.stopped}; {not_fitted} spectra not fitted "
              f"(rows without a verdict; --resume {table} fits them)", file=sys.stderr)
        if "interrupted" in batch.stopped:
            return 130
    return 1 if failed or not_fitted else 0


def main(argv=None):
    """mossfit batch FILES... (see EXAMPLE); exit 0 when every spectrum was fitted, 1
    when some were not (the table says why), 2 for bad input (one line on stderr), 130
    when interrupted (every finished row is in the table)."""
    argv = list(sys.argv[1:] if argv is None else argv)
    # Dask's own logging (reconnection attempts with their tracebacks) is not for this
    # command's user: what went wrong is said in one line.
    importlib.import_module("distributed")  # its loggers exist from here on
    for name in list(logging.root.manager.loggerDict):
        if name.split(".")[0] in ("distributed", "asyncio", "tornado"):
            logging.getLogger(name).setLevel(logging.CRITICAL + 1)
    # The first Ctrl-C ends the batch cleanly (finished rows kept, the rest named); a
    # second one interrupts at once.
    stop = threading.Event()
    previous = None
    if threading.current_thread() is threading.main_thread():
        def interrupt(signum, frame):
            if stop.is_set():
                raise KeyboardInterrupt
            stop.set()
        previous = signal.signal(signal.SIGINT, interrupt)
    try:
        return _batch(argv, stop)
    except (Refusal, ValueError, TypeError, KeyError, OSError, MosslibError) as e:
        msg = str(e) if not isinstance(e, KeyError) else f"unknown name {e}"
        print(f"mossfit batch: {' '.join(msg.split())}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("mossfit batch: interrupted", file=sys.stderr)
        return 130
    except Exception as e:  # a fault of ours: still one line, no traceback
        print(f"mossfit batch: {type(e).__name__}: {_one_line(e)}", file=sys.stderr)
        return 2
    finally:
        if previous is not None:
            signal.signal(signal.SIGINT, previous)
