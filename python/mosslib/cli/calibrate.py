"""mossfit calibrate FOIL: the velocity axis from an alpha-iron foil."""

import json
import sys

from .common import _plot, outputs, read_input, spectrum_options


def add_parser(sub):
    c = sub.add_parser("calibrate", help="velocity calibration from an alpha-iron foil")
    c.add_argument("file")
    c.add_argument("--model", default=None,
                   help="sextet model (default sextgen; sextgen_sl on a sine drive)")
    c.add_argument("--drive", choices=("linear", "sine"), default=None,
                   help="constant-acceleration (linear, default) or sine drive")
    c.add_argument("--channels-per-radian", type=float, default=None, metavar="C",
                   help="sine drive: channels per radian of phase (default n/2pi: one "
                        "period over the channels)")
    c.add_argument("--sweeps", type=int, choices=(1, 2), default=None,
                   help="one sweep (folded or single) or two mirrored sweeps (default: "
                        "recognised from the counts)")
    c.add_argument("--velocity-decreasing", action="store_true",
                   help="velocity falls with channel in the first sweep (a symmetric foil "
                        "cannot tell; rising is assumed)")
    c.add_argument("--reference-span", type=float, default=None, metavar="MM_S",
                   help="outer-line span of the foil (default 10.657 mm/s, alpha-iron)")
    c.add_argument("--reference-field", type=float, default=None, metavar="T",
                   help="field that span stands for (default 33.0 T)")
    c.add_argument("--thickness", action="store_true",
                   help="a thick foil: the transmission integral, t_a and f_s fitted")
    spectrum_options(c)
    outputs(c)
    return c


def run(args):
    from ..calibration import calibrate
    from ..conventions import ALPHA_IRON_FIELD_T, ALPHA_IRON_OUTER_SPAN
    from ..readers import write_text
    foil = read_input(args.file, args)
    cal = calibrate(foil, model=args.model, baseline=args.baseline, weights=args.weights,
                    two_sweeps=None if args.sweeps is None else args.sweeps == 2,
                    velocity_decreasing=args.velocity_decreasing, drive=args.drive,
                    channels_per_radian=args.channels_per_radian,
                    reference_span=args.reference_span or ALPHA_IRON_OUTER_SPAN,
                    reference_field=args.reference_field or ALPHA_IRON_FIELD_T,
                    thickness=args.thickness or None)
    sys.stdout.write(f"Read as: {foil.form}\n")
    sys.stdout.write(cal.report())
    why = cal.doubtful
    if why:
        # a doubtful calibration is written nowhere
        print(f"mossfit: calibration of {args.file} not written: {why}", file=sys.stderr)
        return 1
    if args.plot:
        _plot(cal.result, args.plot, args.plot_y)
    if args.json:
        write_text(args.json, json.dumps(_clean(cal.to_dict()), indent=2) + "\n")
    if args.report:
        write_text(args.report, cal.report() + "\n" + cal.result.report())
    return 0


def _clean(d):
    import math
    return {k: (None if isinstance(v, float) and not math.isfinite(v) else v) for k, v in d.items()}
