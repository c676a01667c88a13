"""mossfit fit FILE...: one spectrum, or several fitted together with shared parameters.

Exit status: 0 for a fit whose verdict is good, 3 for suspect and 4 for failed (the
report and the outputs are written all the same, and a warning line with the reasons
goes to stderr); 2 for bad input (one line on stderr, nothing written)."""

import sys

from .common import (Start, apply_uncertainties, check_axis_options, fit_options,
                     load_calibration, model_from, outputs, read_input, uncertainty_options,
                     write_outputs)

MIN_CHANNELS = 16

AXIS_HELP = ("velocity axis, e.g. linear:step=0.05,zero=128 or "
             "triangular:step=0.0845,zero=129.5,mirror=256.2 or "
             "sine:amplitude=10.4,zero=-256,channels_per_radian=n/2pi")


STATUS = """
exit status: 0 verdict good, 3 suspect, 4 failed (outputs written, a warning on
stderr), 2 bad input (one line on stderr)
"""
EXIT = {"good": 0, "suspect": 3, "failed": 4}


def add_parser(sub, epilog, formatter):
    f = sub.add_parser("fit", help="fit a spectrum", epilog=epilog + STATUS,
                       formatter_class=formatter)
    f.add_argument("file", nargs="+",
                   help="spectrum; several are fitted together (each with its own baseline)")
    fit_options(f, AXIS_HELP)
    f.add_argument("--share", nargs="+", action="extend", default=[], metavar="NAME",
                   help="parameters common to all the spectra (names or patterns such as "
                        "'*_width*')")
    f.add_argument("--global", dest="strategy", choices=("multistart", "local"),
                   default="multistart",
                   help="multistart (default): local fits from several starts found in the "
                        "data and perturbed, the best wins; local: one fit from the start")
    f.add_argument("--starts", type=int, default=8, metavar="N",
                   help="starting points of the multi-start stage (default 8)")
    uncertainty_options(f)
    outputs(f)
    return f


def _finite_start(model, params, s):
    # a model that cannot even start is refused by the fit itself, with its own reason
    import numpy as np
    try:
        return bool(np.all(np.isfinite(model.eval(params, s)[s.mask])))
    except Exception:
        return False


def run(args):
    from ..axes import parse_axis
    from ..fitting import fit
    model, starts = model_from(args)
    if args.axis and args.calibration:
        check_axis_options(args)
    spectra = [read_input(path, args) for path in args.file]
    cal = load_calibration(args.calibration, args.foil_exclude, args) if args.calibration else None
    placed = []
    for path, s in zip(args.file, spectra):
        if cal is not None:
            s = cal.apply(s)
        elif args.axis:
            s = s.with_axis(parse_axis(args.axis, s.n))
        elif s.axis is None:
            raise ValueError(f"{path}: no velocity axis: give --calibration FOIL or --axis (or "
                             f"a file with a velocity column)")
        placed.append(s)
    spectra = placed
    start = Start(model, starts, args)
    params = [start(s) for s in spectra]
    for path, s, p in zip(args.file, spectra, params):
        nvary = sum(1 for q in p.values() if q.vary)
        usable = int(s.mask.sum())
        if usable < max(MIN_CHANNELS, 2 * nvary) and _finite_start(model, p, s):
            raise ValueError(f"{path}: {usable} usable channels for {nvary} free parameters: "
                             f"too short a spectrum (at least {max(MIN_CHANNELS, 2 * nvary)})")
    if args.starts < 1:
        raise ValueError(f"--starts {args.starts}: at least 1")
    if len(spectra) == 1:
        if args.share:
            raise ValueError("--share needs two or more spectra")
        result = fit(spectra[0], model, params[0], weights=args.weights,
                     strategy=args.strategy, starts=args.starts, seed=args.seed)
    else:
        from ..simultaneous import fit_shared
        result = fit_shared(spectra, model, args.share, params=params, weights=args.weights)
    apply_uncertainties(result, args)
    sys.stdout.write(result.report())
    write_outputs(result, args)
    if result.verdict != "good":
        print(f"mossfit: warning: {' '.join(args.file)}: fit {result.verdict}: "
              + "; ".join(result.reasons), file=sys.stderr)
    return EXIT[result.verdict]
