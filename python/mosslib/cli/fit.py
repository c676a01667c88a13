"""mossfit fit FILE: one spectrum, one model."""

import sys

from .common import (Start, check_axis_options, fit_options, load_calibration, model_from,
                     outputs, read_input, write_outputs)

MCMC_BURN = 200
MIN_CHANNELS = 16

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
    if args.mcmc and args.mcmc < MCMC_BURN + 100:
        raise ValueError(f"--mcmc {args.mcmc}: at least {MCMC_BURN + 100} steps "
                         f"({MCMC_BURN} burn-in and 100 kept)")
    s = read_input(args.file, args)
    if args.axis and args.calibration:
        check_axis_options(args)
    if args.calibration:
        s = load_calibration(args.calibration, args.foil_exclude, args).apply(s)
    elif args.axis:
        s = s.with_axis(parse_axis(args.axis, s.n))
    elif s.axis is None:
        raise ValueError("no velocity axis: give --calibration FOIL or --axis (or a file "
                         "with a velocity column)")
    params = Start(model, starts, args)(s)
    nvary = sum(1 for p in params.values() if p.vary)
    usable = int(s.mask.sum())
    if usable < max(MIN_CHANNELS, 2 * nvary) and _finite_start(model, params, s):
        raise ValueError(f"{args.file}: {usable} usable channels for {nvary} free parameters: "
                         f"too short a spectrum (at least {max(MIN_CHANNELS, 2 * nvary)})")
    result = fit(s, model, params, weights=args.weights,
                 mcmc={"steps": args.mcmc} if args.mcmc else None)
    sys.stdout.write(result.report())
    write_outputs(result, args)
    return 0
