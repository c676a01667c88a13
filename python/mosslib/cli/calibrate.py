"""mossfit calibrate FOIL: the velocity axis from an alpha-iron foil."""

import json
import sys

from .common import exclusions, outputs, spectrum_options


def add_parser(sub):
    c = sub.add_parser("calibrate", help="velocity calibration from an alpha-iron foil")
    c.add_argument("file")
    c.add_argument("--model", default="sextgen", help="linear-scale sextet model (default sextgen)")
    c.add_argument("--thickness", action="store_true",
                   help="a thick foil: the transmission integral, t_a and f_s fitted")
    spectrum_options(c)
    outputs(c)
    return c


def run(args):
    from ..calibration import calibrate
    from ..measurement import read_spectrum
    foil = read_spectrum(args.file, exclude=exclusions(args.exclude))
    cal = calibrate(foil, model=args.model, baseline=args.baseline, weights=args.weights,
                    thickness=args.thickness or None)
    sys.stdout.write(cal.report())
    if args.plot:
        cal.result.plot(args.plot)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(cal.to_dict(), f, indent=2)
            f.write("\n")
    if args.report:
        with open(args.report, "w") as f:
            f.write(cal.report() + "\n" + cal.result.report())
    return 0
