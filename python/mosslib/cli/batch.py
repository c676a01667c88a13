"""mossfit batch FILES...: many spectra, one model, on Dask workers (mosslib.batch)."""

import argparse
import os
import re
import sys
import time

from .._lib import MosslibError
from ..batch import BatchResult, _columns, _one_line, fit_many, plot_series, value_from, write_table
from .common import (Parser, Refusal, Start, check_axis_options, exclusions, fit_options,
                     load_calibration, model_from)

EXAMPLE = """examples:
  mossfit batch runs/T*K.txt --exclude 511 --calibration cal.json \\
      --component sextgen:fe,field_T=33 --table results.csv \\
      --x 'name:T(\\d+)K' --x-label 'temperature (K)' --plot series.png --sequential
  mossfit batch maps/*.txt --axis linear:step=0.09,zero=127.5 \\
      --component sextgen:fe --scheduler tcp://node1:8786 --table map.csv
"""


def _parser():
    p = Parser(prog="mossfit batch", epilog=EXAMPLE,
                formatter_class=argparse.RawDescriptionHelpFormatter,
                description="Fit many spectra with one model on Dask workers; one row per "
                            "spectrum in a CSV table.")
    p.add_argument("files", nargs="+", metavar="FILE")
    p.add_argument("--table", required=True, metavar="CSV",
                   help="summary table: every fitted parameter with its error, one row per file")
    p.add_argument("--scheduler", metavar="ADDRESS",
                   help="a running Dask scheduler (e.g. tcp://node1:8786); default: a local "
                        "cluster")
    p.add_argument("--workers", type=int, metavar="N",
                   help="worker processes of the local cluster (default: one per core)")
    fit_options(p, "velocity axis of every file (see mossfit fit)")
    p.add_argument("--sequential", action="store_true",
                   help="each fit starts from the previous spectrum's result (in --x order "
                        "when --x is given, else in the order of the files)")
    p.add_argument("--series", metavar="name:REGEX",
                   help="with --sequential: files whose names give the same match form one "
                        "series; series run in parallel")
    p.add_argument("--x", metavar="WHERE",
                   help="per-file value for the table and the plot: name:REGEX (a number in "
                        "the file name) or header:KEY (a '# KEY: value' line); rows follow it")
    p.add_argument("--x-label", default=None, metavar="TEXT", help="label of x (table, plot)")
    p.add_argument("--plot", metavar="FILE", help="chosen parameters against x (.png, .svg)")
    p.add_argument("--plot-params", default="", metavar="NAME,...",
                   help="parameters or derived quantities to plot (default: the fitted "
                        "hyperfine parameters)")
    p.add_argument("--chunk-size", type=int, metavar="N", help="spectra per Dask task")
    p.add_argument("--timeout", type=float, metavar="SECONDS", help="limit for the whole batch")
    p.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                   help="progress bar (default: on a terminal for 100 files or more)")
    return p


def _default_plot_names(results):
    names, derived = _columns(results)
    skip = re.compile(r"(base_|axis_)|.*_(intensity|width|area|gauss_width)\d*$")
    pick = [n for n in names if not skip.match(n)]
    return pick[:6] or names[:1]


def _batch(argv):
    from ..axes import parse_axis
    from ..measurement import read_spectrum

    args = _parser().parse_args(argv)
    model, starts = model_from(args)
    check_axis_options(args)
    if args.workers is not None and (args.scheduler or args.workers < 1):
        raise ValueError("--workers N (N >= 1) is for the local cluster, not with --scheduler")
    if args.chunk_size is not None and args.chunk_size < 1:
        raise ValueError("--chunk-size: at least 1")
    if args.series and not args.sequential:
        raise ValueError("--series goes with --sequential")
    if args.plot and not args.x:
        raise ValueError("--plot needs --x (the value to plot against)")
    missing = [f for f in args.files if not os.path.isfile(f)]
    if missing:
        raise ValueError(f"{missing[0]}: no such file" +
                         (f" (and {len(missing) - 1} more)" if len(missing) > 1 else ""))

    start = Start(model, starts, args)
    cal = load_calibration(args.calibration, args.foil_exclude, args) if args.calibration else None

    files = list(args.files)
    xs = None
    if args.x:
        xs = [value_from(f, args.x) for f in files]
        order = sorted(range(len(files)), key=lambda k: xs[k])
        files, xs = [files[k] for k in order], [xs[k] for k in order]
    keys = None
    if args.series:
        kind, _, rx = args.series.partition(":")
        try:
            rx = re.compile(rx) if kind == "name" and rx else None
        except re.error as e:
            raise ValueError(f"--series {args.series}: {e}") from None
        if rx is None:
            raise ValueError(f"--series {args.series!r}: name:REGEX")
        matches = [rx.search(os.path.basename(f)) for f in files]
        keys = [m and (m.group(1) if rx.groups else m.group(0)) for m in matches]

    # Files are read here; one that cannot be read or laid on the axis is a failed row.
    results, spectra, good = [None] * len(files), [], []
    exclude = exclusions(args.exclude)
    for k, f in enumerate(files):
        try:
            s = read_spectrum(f, exclude=exclude, columns=args.columns,
                              channel_base=args.channel_base)
            s = cal.apply(s) if cal is not None else s.with_axis(parse_axis(args.axis, s.n))
        except ValueError as e:
            results[k] = BatchResult(k, os.path.basename(f), False, _one_line(e))
            continue
        spectra.append(s)
        good.append(k)
    if spectra:
        start(spectra[0])  # unknown names and bad ties stop here, before any worker starts

    t0 = time.perf_counter()
    done = fit_many(spectra, model, start, client=args.scheduler, workers=args.workers,
                    sequential=args.sequential,
                    series=None if keys is None else [keys[k] for k in good],
                    chunk_size=args.chunk_size, progress=args.progress,
                    timeout=args.timeout, weights=args.weights)
    for k, r in zip(good, done):
        r.index = k
        results[k] = r
    wall = time.perf_counter() - t0
    x_name = args.x_label or "x"
    write_table(results, args.table, xs, x_name)
    bad = [r for r in results if not r.success]
    print(f"mossfit batch: {len(results) - len(bad)} of {len(results)} spectra fitted in "
          f"{wall:.1f} s; table {args.table}")
    if args.plot:
        names = [n.strip() for n in args.plot_params.split(",") if n.strip()] or \
            _default_plot_names(results)
        plot_series(results, xs, names, args.plot, x_label=x_name)
    for r in bad:
        print(f"mossfit batch: {r.name}: {r.message}", file=sys.stderr)
    return 1 if bad else 0


def main(argv=None):
    """mossfit batch FILES... (see EXAMPLE); exit 0 when every spectrum was fitted, 1
    when some were not (the table says why), 2 for bad input (one line on stderr)."""
    argv = list(sys.argv[1:] if argv is None else argv)
    try:
        return _batch(argv)
    except (Refusal, ValueError, TypeError, KeyError, OSError, MosslibError) as e:
        msg = str(e) if not isinstance(e, KeyError) else f"unknown name {e}"
        print(f"mossfit batch: {' '.join(msg.split())}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("mossfit batch: interrupted", file=sys.stderr)
        return 2
    except Exception as e:  # a fault of ours: still one line, no traceback
        print(f"mossfit batch: {type(e).__name__}: {_one_line(e)}", file=sys.stderr)
        return 2
