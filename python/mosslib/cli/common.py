"""What the fitting commands share: their parser, the fit options that 'mossfit fit'
and 'mossfit batch' both take, the model and starting parameters a command line
describes, and the writing of results."""

import argparse
import json
import math

__all__ = ["Refusal", "Parser", "fit_options", "spectrum_options", "outputs", "exclusions",
           "component", "load_calibration", "write_outputs", "starting_params", "model_from",
           "Start", "uncertainty_options", "apply_uncertainties"]


class Refusal(Exception):
    pass


class Parser(argparse.ArgumentParser):
    def error(self, message):
        raise Refusal(message)


def fit_options(p, axis_help):
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
    spectrum_options(p)


def spectrum_options(p):
    p.add_argument("--exclude", default="", metavar="LIST",
                   help="channels to leave out, e.g. 0-3,511")
    p.add_argument("--baseline", type=int, default=2, metavar="DEG",
                   help="degree of the baseline polynomial in velocity (default 2)")
    p.add_argument("--one-baseline", action="store_true",
                   help="one baseline for both sweeps (default: one per sweep)")
    p.add_argument("--weights", choices=("data", "model", "deviance"), default="data",
                   help="Poisson weights from the data, the model, or the deviance")


def uncertainty_options(p):
    p.add_argument("--profile", action="append", nargs="?", const="*", metavar="NAME",
                   help="profile-likelihood (MINOS) interval of NAME; alone: of every free "
                        "parameter")
    p.add_argument("--bootstrap", type=int, default=0, metavar="N",
                   help="parametric Poisson bootstrap with N replicas (parallel)")
    p.add_argument("--mcmc", type=int, default=0, metavar="STEPS",
                   help="emcee for STEPS steps (refused when shorter than 50 "
                        "autocorrelation times)")
    p.add_argument("--seed", type=int, default=1, help="seed of --bootstrap and --mcmc")
    p.add_argument("--workers", type=int, default=None, metavar="N",
                   help="processes of --bootstrap (default: the cores; same result for any)")


def apply_uncertainties(result, args):
    """The intervals the command line asks for, stored in the result."""
    from ..uncertainty import bootstrap, mcmc, profile
    if args.profile:
        names = [n for item in args.profile if item != "*" for n in item.split(",") if n]
        profile(result, None if "*" in args.profile else names)
    if args.bootstrap:
        bootstrap(result, args.bootstrap, seed=args.seed, workers=args.workers)
    if args.mcmc:
        mcmc(result, steps=args.mcmc, seed=args.seed)
    return result


def outputs(p):
    p.add_argument("--plot", metavar="FILE", help="plot (.png or .svg)")
    p.add_argument("--json", metavar="FILE", help="result as JSON")
    p.add_argument("--report", metavar="FILE", help="text report (also printed)")


def exclusions(text):
    from ..measurement import _ranges
    return _ranges(text.replace(",", " "), "--exclude") if text else []


def number(text, what):
    try:
        return float(text)
    except ValueError:
        raise ValueError(f"{what}: {text!r} is not a number") from None


def component(definition, k):
    from ..components import Component
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
            options[key] = number(value, f"{name}.{key}")
        elif key in probe.param_names:
            starts[prefix + key] = number(value, f"{name}.{key}")
        else:
            raise ValueError(f"{name}: no parameter or option {key!r}; parameters: "
                             f"{', '.join(probe.param_names)}"
                             + (f"; options: {', '.join(probe.option_names)}" if probe.option_names else ""))
    return Component(name.strip(), prefix=prefix, **options), starts


def load_calibration(path, exclude, args):
    from ..calibration import Calibration, calibrate
    from ..measurement import read_spectrum
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
    foil = read_spectrum(path, exclude=exclusions(exclude))
    return calibrate(foil, baseline=args.baseline)


def write_outputs(result, args, what="fit"):
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
        known(name.strip()).set(value=number(value, name))
    for item in fixes:
        name, eq, value = item.partition("=")
        p = known(name.strip())
        p.set(vary=False, expr="")
        if eq:
            p.set(value=number(value, name))
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


def model_from(args):
    """The model and the components' starting values that --component, --form and the
    baseline options describe."""
    from ..components import Absorption, Baseline, Transmission
    if not args.component:
        raise ValueError("give at least one --component (mossfit models lists them)")
    comps, starts = [], {}
    for k, definition in enumerate(args.component):
        c, st = component(definition, k)
        comps.append(c)
        starts.update(st)
    if args.form == "transmission":
        return Transmission(*comps, baseline=Baseline(args.baseline,
                                                      per_sweep=not args.one_baseline)), starts
    return Absorption(*comps, baseline=Baseline(args.baseline)), starts


def check_axis_options(args):
    if args.axis and args.calibration:
        raise ValueError("give --axis or --calibration, not both")
    if not (args.axis or args.calibration):
        raise ValueError("no velocity axis: give --calibration FOIL or --axis")


class Start:
    """The starting parameters of one spectrum, as `mossfit FILE` makes them: the
    model's defaults on that spectrum, mirror lines tied, the command line's values,
    fixes, frees and ties, the areas scaled to the data. Picklable (sent to batch
    workers)."""

    def __init__(self, model, starts, args):
        self.model, self.starts, self.sets = model, starts, list(args.set)
        self.fixes, self.frees, self.ties = list(args.fix), list(args.free), list(args.tie)
        self.pair_lines = not args.no_pair_lines

    def __call__(self, s):
        return starting_params(self.model, s, self.starts, self.sets, self.fixes,
                               self.frees, self.ties, self.pair_lines)
