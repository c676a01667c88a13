"""mossfit: fit a measured spectrum from the command line.

    mossfit FILE --component MODEL[:PREFIX][,NAME=VALUE...] ... [--calibration FOIL]
           [--axis KIND:NAME=VALUE,...] [--plot fit.png] [--json result.json]
    mossfit calibrate FOIL [--plot foil.png] [--json calibration.json]
    mossfit models [MODEL]
    mossfit demo [--out DIR]
    mossfit batch ...        (batch fitting, mosslib.batch, where installed)

Bad input (an unknown model or parameter, an unreadable file, a fit that cannot start)
is one line on stderr and exit status 2.
"""

import argparse
import json
import math
import sys

from ._lib import MosslibError

__all__ = ["main"]

EXAMPLE = """examples:
  mossfit calibrate foil.txt --exclude 511 --json cal.json --plot foil.png
  mossfit sample.txt --exclude 511 --calibration cal.json \\
      --component sextgen:s1,field_T=50,centre_shift=0.3 \\
      --component sextgen:s2,field_T=46,centre_shift=0.6 --plot fit.png --json fit.json
  mossfit magnetite.txt --axis sine:amplitude=10.4,zero=-256,channels_per_radian=n/2pi \\
      --free axis_zero --component sextgen_sl:a,field_T=49.3 --component sextgen_sl:b,field_T=46.2
"""


class _Refusal(Exception):
    pass


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        raise _Refusal(message)


def _fit_options(p, axis_help):
    """The options of a fit shared by 'mossfit fit' and 'mossfit batch'."""
    p.add_argument("--component", action="append", default=[], metavar="COMPONENT",
                   help="MODEL[:PREFIX][,NAME=VALUE...]: a catalogue model, its prefix, "
                        "starting values of parameters or integer options")
    p.add_argument("--calibration", metavar="FOIL",
                   help="alpha-iron foil spectrum, or a calibration JSON from 'mossfit calibrate'")
    p.add_argument("--foil-exclude", default="", metavar="LIST",
                   help="channels to leave out of the foil")
    p.add_argument("--axis", metavar="AXIS", help=axis_help)
    p.add_argument("--set", action="append", default=[], metavar="NAME=VALUE",
                   help="starting value of a parameter (prefixed name)")
    p.add_argument("--fix", action="append", default=[], metavar="NAME[=VALUE]",
                   help="hold a parameter fixed")
    p.add_argument("--free", action="append", default=[], metavar="NAME",
                   help="let a parameter vary (e.g. axis_zero)")
    p.add_argument("--tie", action="append", default=[], metavar="NAME=EXPR",
                   help="constrain a parameter by an expression, e.g. s2_width1=s1_width1")
    p.add_argument("--no-pair-lines", action="store_true",
                   help="do not tie the intensities and widths of mirror lines (1=6, 2=5, 3=4)")
    p.add_argument("--form", choices=("transmission", "absorption"), default="transmission")
    _spectrum_options(p)


def _spectrum_options(p):
    p.add_argument("--exclude", default="", metavar="LIST",
                   help="channels to leave out, e.g. 0-3,511")
    p.add_argument("--baseline", type=int, default=2, metavar="DEG",
                   help="degree of the baseline polynomial in velocity (default 2)")
    p.add_argument("--one-baseline", action="store_true",
                   help="one baseline for both sweeps (default: one per sweep)")
    p.add_argument("--weights", choices=("data", "model", "deviance"), default="data",
                   help="Poisson weights from the data, the model, or the deviance")


def _outputs(p):
    p.add_argument("--plot", metavar="FILE", help="plot (.png or .svg)")
    p.add_argument("--json", metavar="FILE", help="result as JSON")
    p.add_argument("--report", metavar="FILE", help="text report (also printed)")


def _parser():
    top = _Parser(prog="mossfit", description="Fit Moessbauer spectra with the mosslib models.",
                  epilog=EXAMPLE, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = top.add_subparsers(dest="command")
    f = sub.add_parser("fit", help="fit a spectrum", epilog=EXAMPLE,
                       formatter_class=argparse.RawDescriptionHelpFormatter)
    f.add_argument("file")
    _fit_options(f, "velocity axis, e.g. linear:step=0.05,zero=128 or "
                    "triangular:step=0.0845,zero=129.5,mirror=256.2 or "
                    "sine:amplitude=10.4,zero=-256,channels_per_radian=n/2pi")
    f.add_argument("--mcmc", type=int, default=0, metavar="STEPS",
                   help="also run emcee for STEPS steps")
    _outputs(f)
    c = sub.add_parser("calibrate", help="velocity calibration from an alpha-iron foil")
    c.add_argument("file")
    c.add_argument("--model", default="sextgen", help="linear-scale sextet model (default sextgen)")
    _spectrum_options(c)
    _outputs(c)
    m = sub.add_parser("models", help="list the catalogue's models or one model's parameters")
    m.add_argument("model", nargs="?")
    d = sub.add_parser("demo", help="synthetic and measured example fits into a directory")
    d.add_argument("--out", default="out")
    return top


def _exclusions(text):
    from .measurement import _ranges
    return _ranges(text.replace(",", " "), "--exclude") if text else []


def _number(text, what):
    try:
        return float(text)
    except ValueError:
        raise ValueError(f"{what}: {text!r} is not a number") from None


def _component(definition, k):
    from .components import Component
    head, *items = definition.split(",")
    name, _, prefix = head.partition(":")
    prefix = (prefix or f"c{k + 1}").strip()
    if not prefix.endswith("_"):
        prefix += "_"
    options, starts = {}, {}
    probe = Component(name.strip(), prefix=prefix)
    for item in filter(None, (s.strip() for s in items)):
        key, eq, value = item.partition("=")
        if not eq:
            raise ValueError(f"--component {definition}: {item!r} is not NAME=VALUE")
        key = key.strip()
        if key in probe.option_names:
            options[key] = _number(value, f"{name}.{key}")
        elif key in probe.param_names:
            starts[prefix + key] = _number(value, f"{name}.{key}")
        else:
            raise ValueError(f"{name}: no parameter or option {key!r}; parameters: "
                             f"{', '.join(probe.param_names)}"
                             + (f"; options: {', '.join(probe.option_names)}" if probe.option_names else ""))
    return Component(name.strip(), prefix=prefix, **options), starts


def _load_calibration(path, exclude, args):
    from .calibration import Calibration, calibrate
    from .measurement import read_spectrum
    if path.endswith(".json"):
        try:
            with open(path) as f:
                d = json.load(f)
            return Calibration(n=int(d["channels"]), step=d["velocity_per_channel"],
                               step_err=d["velocity_per_channel_err"], zero=d["zero_channel"],
                               zero_err=d["zero_channel_err"], mirror=d.get("mirror_point"),
                               mirror_err=d.get("mirror_point_err"), redchi=d.get("redchi", math.nan))
        except (OSError, ValueError, KeyError, TypeError) as e:
            raise ValueError(f"{path}: not a calibration ({e})") from None
    foil = read_spectrum(path, exclude=_exclusions(exclude))
    return calibrate(foil, baseline=args.baseline)


def _write(result, args, what="fit"):
    if args.plot:
        result.plot(args.plot)
    if args.json:
        result.to_json(args.json)
    if args.report:
        with open(args.report, "w") as f:
            f.write(result.report())


def starting_params(model, s, starts, sets, fixes, frees, ties, pair_lines=True):
    """The starting parameters of a fit of spectrum s as the command line makes them:
    the model's defaults on s, mirror lines tied, the components' values (starts), then
    --set NAME=VALUE, --fix NAME[=VALUE], --free NAME, --tie NAME=EXPR, the areas
    scaled to the data."""
    params = model.make_params(s)
    if pair_lines:
        for c in model.components:
            c.pair_lines(params)

    def known(name):
        if name not in params:
            raise ValueError(f"unknown parameter {name!r}; parameters: {', '.join(params)}")
        return params[name]

    for name, value in starts.items():
        params[name].set(value=value)
    for item in sets:
        name, eq, value = item.partition("=")
        if not eq:
            raise ValueError(f"--set {item}: NAME=VALUE")
        known(name.strip()).set(value=_number(value, name))
    for item in fixes:
        name, eq, value = item.partition("=")
        p = known(name.strip())
        p.set(vary=False, expr="")
        if eq:
            p.set(value=_number(value, name))
    for name in frees:
        known(name.strip()).set(vary=True)
    for item in ties:
        name, eq, expr = item.partition("=")
        if not eq:
            raise ValueError(f"--tie {item}: NAME=EXPR")
        try:
            known(name.strip()).set(expr=expr.strip())
        except (NameError, SyntaxError, ValueError) as e:
            raise ValueError(f"--tie {item}: {e}") from None
    model.guess(s, params)
    return params


def _fit(args):
    from .axes import parse_axis
    from .components import Absorption, Baseline, Transmission
    from .fitting import fit
    from .measurement import read_spectrum
    if not args.component:
        raise ValueError("give at least one --component (mossfit models lists them)")
    s = read_spectrum(args.file, exclude=_exclusions(args.exclude))
    if args.axis and args.calibration:
        raise ValueError("give --axis or --calibration, not both")
    if args.calibration:
        s = _load_calibration(args.calibration, args.foil_exclude, args).apply(s)
    elif args.axis:
        s = s.with_axis(parse_axis(args.axis, s.n))
    else:
        raise ValueError("no velocity axis: give --calibration FOIL or --axis")
    comps, starts = [], {}
    for k, definition in enumerate(args.component):
        c, st = _component(definition, k)
        comps.append(c)
        starts.update(st)
    form = Transmission if args.form == "transmission" else Absorption
    base = Baseline(args.baseline, per_sweep=not args.one_baseline) if args.form == "transmission" \
        else Baseline(args.baseline)
    model = form(*comps, baseline=base)
    params = starting_params(model, s, starts, args.set, args.fix, args.free, args.tie,
                             pair_lines=not args.no_pair_lines)
    result = fit(s, model, params, weights=args.weights,
                 mcmc={"steps": args.mcmc} if args.mcmc else None)
    sys.stdout.write(result.report())
    _write(result, args)
    return 0


def _calibrate(args):
    from .calibration import calibrate
    from .measurement import read_spectrum
    foil = read_spectrum(args.file, exclude=_exclusions(args.exclude))
    cal = calibrate(foil, model=args.model, baseline=args.baseline, weights=args.weights)
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


def _models(args):
    from . import catalog
    if args.model:
        print(catalog.describe(args.model))
    else:
        for m in catalog.models().values():
            print(f"{m.name:<14} {m.summary}")
    return 0


def main(argv=None):
    argv = list(sys.argv[1:] if argv is None else argv)
    commands = ("fit", "calibrate", "models", "demo", "batch")
    if argv and argv[0] == "batch":
        try:
            from . import batch
        except ImportError:
            print("mossfit: batch fitting (mosslib.batch) is not installed", file=sys.stderr)
            return 2
        return batch.main(argv[1:])
    if argv and argv[0] not in commands and not argv[0].startswith("-"):
        argv.insert(0, "fit")
    try:
        args = _parser().parse_args(argv)
        if args.command is None:
            _parser().print_help()
            return 2
        if args.command == "demo":
            from .demo import run
            run(args.out)
            return 0
        return {"fit": _fit, "calibrate": _calibrate, "models": _models}[args.command](args)
    except (_Refusal, ValueError, TypeError, KeyError, OSError, MosslibError) as e:
        msg = str(e) if not isinstance(e, KeyError) else f"unknown name {e}"
        print(f"mossfit: {msg}", file=sys.stderr)
        return 2
    except Exception as e:  # a fault of ours: still one line, no traceback
        print(f"mossfit: {type(e).__name__}: {e}", file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(main())
