"""mossfit fit FILE: one spectrum, one model.

Exit status: 0 for a fit whose verdict is good, 3 for suspect and 4 for failed (the
report and the outputs are written all the same, and a warning line with the reasons
goes to stderr); 2 for bad input (one line on stderr, nothing written)."""

import sys

from .common import (Start, check_axis_options, exclusions, fit_options, load_calibration,
                     model_from, outputs, write_outputs)

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
    f.add_argument("file")
    fit_options(f, AXIS_HELP)
    f.add_argument("--global", dest="strategy", choices=("multistart", "local"),
                   default="multistart",
                   help="multistart (default): local fits from several starts found in the "
                        "data and perturbed, the best wins; local: one fit from the start")
    f.add_argument("--starts", type=int, default=8, metavar="N",
                   help="starting points of the multi-start stage (default 8)")
    f.add_argument("--seed", type=int, default=0, help="seed of the perturbed starts")
    f.add_argument("--mcmc", type=int, default=0, metavar="STEPS",
                   help="also run emcee for STEPS steps")
    outputs(f)
    return f


def run(args):
    from ..axes import parse_axis
    from ..fitting import fit
    from ..measurement import read_spectrum
    model, starts = model_from(args)
    s = read_spectrum(args.file, exclude=exclusions(args.exclude))
    check_axis_options(args)
    if args.calibration:
        s = load_calibration(args.calibration, args.foil_exclude, args).apply(s)
    else:
        s = s.with_axis(parse_axis(args.axis, s.n))
    params = Start(model, starts, args)(s)
    if args.starts < 1:
        raise ValueError(f"--starts {args.starts}: at least 1")
    result = fit(s, model, params, weights=args.weights,
                 mcmc={"steps": args.mcmc} if args.mcmc else None,
                 strategy=args.strategy, starts=args.starts, seed=args.seed)
    sys.stdout.write(result.report())
    write_outputs(result, args)
    if result.verdict != "good":
        print(f"mossfit: warning: {args.file}: fit {result.verdict}: "
              + "; ".join(result.reasons), file=sys.stderr)
    return EXIT[result.verdict]
