"""mossfit fit FILE...: one spectrum, or several fitted together with shared parameters."""

import sys

from .common import (Start, apply_uncertainties, check_axis_options, exclusions, fit_options,
                     load_calibration, model_from, outputs, uncertainty_options, write_outputs)

AXIS_HELP = ("velocity axis, e.g. linear:step=0.05,zero=128 or "
             "triangular:step=0.0845,zero=129.5,mirror=256.2 or "
             "sine:amplitude=10.4,zero=-256,channels_per_radian=n/2pi")


def add_parser(sub, epilog, formatter):
    f = sub.add_parser("fit", help="fit a spectrum", epilog=epilog, formatter_class=formatter)
    f.add_argument("file", nargs="+",
                   help="spectrum; several are fitted together (each with its own baseline)")
    fit_options(f, AXIS_HELP)
    f.add_argument("--share", nargs="+", action="extend", default=[], metavar="NAME",
                   help="parameters common to all the spectra (names or patterns such as "
                        "'*_width*')")
    uncertainty_options(f)
    outputs(f)
    return f


def run(args):
    from ..axes import parse_axis
    from ..fitting import fit
    from ..measurement import read_spectrum
    model, starts = model_from(args)
    spectra = [read_spectrum(path, exclude=exclusions(args.exclude)) for path in args.file]
    check_axis_options(args)
    cal = load_calibration(args.calibration, args.foil_exclude, args) if args.calibration else None
    spectra = [cal.apply(s) if cal else s.with_axis(parse_axis(args.axis, s.n)) for s in spectra]
    start = Start(model, starts, args)
    if len(spectra) == 1:
        if args.share:
            raise ValueError("--share needs two or more spectra")
        result = fit(spectra[0], model, start(spectra[0]), weights=args.weights)
    else:
        from ..simultaneous import fit_shared
        result = fit_shared(spectra, model, args.share, params=[start(s) for s in spectra],
                            weights=args.weights)
    apply_uncertainties(result, args)
    sys.stdout.write(result.report())
    write_outputs(result, args)
    return 0
