"""mossfit fit FILE: one spectrum, one model."""

import sys

from .common import (Start, check_axis_options, exclusions, fit_options, load_calibration,
                     model_from, outputs, write_outputs)

AXIS_HELP = ("velocity axis, e.g. linear:step=0.05,zero=128 or "
             "triangular:step=0.0845,zero=129.5,mirror=256.2 or "
             "sine:amplitude=10.4,zero=-256,channels_per_radian=n/2pi")


def add_parser(sub, epilog, formatter):
    f = sub.add_parser("fit", help="fit a spectrum", epilog=epilog, formatter_class=formatter)
    f.add_argument("file")
    fit_options(f, AXIS_HELP)
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
    result = fit(s, model, params, weights=args.weights,
                 mcmc={"steps": args.mcmc} if args.mcmc else None)
    sys.stdout.write(result.report())
    write_outputs(result, args)
    return 0
