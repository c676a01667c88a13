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
    p.add_argument("--velocity-decreasing", action="store_true",
                   help="the foil's drive runs from positive to negative velocity in its "
                        "first sweep (a symmetric foil cannot tell; rising is assumed)")
    p.add_argument("--axis", metavar="AXIS", help=axis_help)
    p.add_argument("--set", action="append", default=[], metavar="NAME=VALUE",
                   help="starting value of a parameter (prefixed name)")
    p.add_argument("--fix", action="append", default=[], metavar="NAME[=VALUE]",
                   help="hold a parameter fixed")
    p.add_argument("--free", action="append", default=[], metavar="NAME",
                   help="let a parameter vary (e.g. axis_zero)")
    p.add_argument("--tie", action="append", default=[], metavar="NAME=EXPR",
                   help="constrain a parameter by an expression, e.g. s2_width1=s1_width1 "
                        "(arithmetic on parameter names, numbers, sqrt, exp, log, ...)")
    p.add_argument("--bound", action="append", default=[], metavar="NAME=LO:HI",
                   help="bounds of a parameter (either side may be empty: keep it); the "
                        "defaults are the physical domain (areas, widths, fields >= 0)")
    p.add_argument("--emission", action="append", default=[], metavar="PREFIX",
                   help="let the component with this prefix have negative areas (emission)")

    p.add_argument("--no-pair-lines", action="store_true",
                   help="do not tie the intensities and widths of mirror lines (1=6, 2=5, 3=4)")
    p.add_argument("--form", choices=("transmission", "absorption"), default="transmission")
    p.add_argument("--thickness", action="store_true",
                   help="thick absorber: the transmission integral, effective thickness "
                        "thick_t_a fitted (start 5); thick_f_s 0.7 and thick_source_width "
                        "0.11 mm/s fixed (change with --set, --free)")
    spectrum_options(p)


def reading_options(p):
    """How a spectrum file is read: the detected form can be overridden."""
    p.add_argument("--columns", metavar="ROLES",
                   help="roles of the file's columns in order, e.g. velocity,counts or "
                        "counts,velocity or channel,counts (default: detected)")
    p.add_argument("--channel-base", type=int, choices=(0, 1), default=None,
                   help="the file numbers its channels from 0 or 1 (default: detected and "
                        "stated in the report)")


def read_input(path, args, exclude=None):
    """The spectrum a command line names, read as its reading options say."""
    from ..measurement import read_spectrum
    return read_spectrum(path, exclude=exclusions(args.exclude if exclude is None else exclude),
                         columns=getattr(args, "columns", None),
                         channel_base=getattr(args, "channel_base", None))


def suggest(name, choices):
    """' (did you mean X?)' for the nearest of `choices`, or ''."""
    import difflib
    near = difflib.get_close_matches(str(name), list(choices), n=1, cutoff=0.6)
    return f" (did you mean {near[0]}?)" if near else ""


def spectrum_options(p):
    reading_options(p)
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
    p.add_argument("--seed", type=int, default=0,
                   help="seed of the multi-start stage, --bootstrap and --mcmc (default 0)")
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
    p.add_argument("--plot-y", choices=("counts", "transmission"), default="counts",
                   help="plot counts, or transmission (counts / baseline)")
    p.add_argument("--json", metavar="FILE", help="result as JSON")
    p.add_argument("--report", metavar="FILE", help="text report (also printed)")


def exclusions(text):
    """(first, last) channel ranges of an --exclude list; checked against the
    spectrum's length before anything is expanded."""
    from ..readers import parse_ranges
    return parse_ranges(text, "--exclude") if text else []


def number(text, what):
    try:
        return float(text)
    except ValueError:
        raise ValueError(f"{what}: {text!r} is not a number") from None


def finite(text, what):
    x = number(text, what)
    if not math.isfinite(x):
        raise ValueError(f"{what}: {text!r} is not a finite number")
    return x


def component(definition, k):
    from ..components import Component
    head, *items = definition.split(",")
    name, _, prefix = head.partition(":")
    prefix = (prefix or f"c{k + 1}").strip()
    if not prefix.endswith("_"):
        prefix += "_"
    options, starts = {}, {}
    from .. import catalog
    if name.strip() not in catalog.models():
        raise ValueError(f"unknown model {name.strip()!r}{suggest(name.strip(), catalog.models())}; "
                         f"mossfit models lists them")
    probe = Component(name.strip(), prefix=prefix)
    for item in filter(None, (s.strip() for s in items)):
        key, eq, value = item.partition("=")
        if not eq:
            raise ValueError(f"--component {definition}: {item!r} is not NAME=VALUE")
        key = key.strip()
        if key in probe.option_names:
            options[key] = number(value, f"{name}.{key}")
        elif key in probe.param_names:
            starts[prefix + key] = finite(value, f"{name}.{key}")
        else:
            raise ValueError(f"{name}: no parameter or option {key!r}"
                             f"{suggest(key, probe.param_names + probe.option_names)}; parameters: "
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
            cal = Calibration.from_dict(d, source=path)
            cal.axis()
        except (OSError, ValueError, KeyError, TypeError) as e:
            raise ValueError(f"{path}: not a calibration ({e})") from None
        return cal
    foil = read_spectrum(path, exclude=exclusions(exclude))
    cal = calibrate(foil, baseline=getattr(args, "baseline", 2),
                    velocity_decreasing=getattr(args, "velocity_decreasing", False))
    why = cal.doubtful
    if why:
        raise ValueError(f"{path}: calibration refused: {why}")
    return cal


def write_outputs(result, args, what="fit"):
    from ..readers import write_text
    if args.plot:
        _plot(result, args.plot, getattr(args, "plot_y", "counts"))
    if args.json:
        write_text(args.json, result.to_json() + "\n")
    if args.report:
        write_text(args.report, result.report())


def _plot(result, path, y="counts"):
    """A plot written whole or not at all (never beside a directory's name)."""
    import os
    import tempfile
    from ..readers import write_text
    if os.path.isdir(path):
        raise ValueError(f"--plot {path}: a directory")
    ext = os.path.splitext(path)[1].lower() or ".png"
    fd, tmp = tempfile.mkstemp(suffix=ext)
    os.close(fd)
    try:
        result.plot(tmp, y=y)
        with open(tmp, "rb") as f:
            write_text(path, f.read())
    finally:
        os.unlink(tmp)


def bounds(text):
    """(name, low, high) of --bound NAME=LO:HI (None: keep that side)."""
    name, eq, rest = text.partition("=")
    lo, colon, hi = rest.partition(":")
    if not eq or not colon or not name.strip():
        raise ValueError(f"--bound {text}: NAME=LO:HI")
    lo = number(lo, f"--bound {name} low") if lo.strip() else None
    hi = number(hi, f"--bound {name} high") if hi.strip() else None
    if any(x is not None and math.isnan(x) for x in (lo, hi)):
        raise ValueError(f"--bound {text}: a bound is not a number")
    if lo is not None and hi is not None and lo > hi:
        raise ValueError(f"--bound {text}: the lower bound is above the upper one")
    return name.strip(), lo, hi


def starting_params(model, s, starts, sets, fixes, frees, ties, pair_lines=True,
                    bound=(), data_start=False):
    """The starting parameters of a fit of spectrum s as the command line makes them,
    and the names whose values the user gave: the model's defaults on s (physical
    bounds), mirror lines tied, the components' values (starts), then --set
    NAME=VALUE, --fix NAME[=VALUE], --free NAME, --tie NAME=EXPR, --bound NAME=LO:HI;
    with data_start the other values from the data (mosslib.starts)."""
    from ..fitting import check_expression
    params = model.make_params(s)
    if pair_lines:
        for c in model.components:
            c.pair_lines(params)

    def known(name):
        if name not in params:
            raise ValueError(f"unknown parameter {name!r}{suggest(name, params)}; parameters: "
                             f"{', '.join(params)}")
        return params[name]

    def start(p, value, what):
        if not p.min <= value <= p.max:
            raise ValueError(f"{what}: {value:g} is outside the bounds {p.min:g} to {p.max:g} "
                             f"of {p.name} (widen them with --bound, or --fix it)")
        p.set(value=value)

    user = set(starts)
    for name, value in starts.items():
        start(params[name], value, f"--component {name}")
    for item in sets:
        name, eq, value = item.partition("=")
        if not eq:
            raise ValueError(f"--set {item}: NAME=VALUE")
        start(known(name.strip()), finite(value, name), f"--set {name.strip()}")
        user.add(name.strip())
    for item in fixes:
        name, eq, value = item.partition("=")
        p = known(name.strip())
        p.set(vary=False, expr="")
        user.add(name.strip())
        if eq:
            # a fixed value is the user's, whatever the default bounds say
            v = finite(value, name)
            p.set(min=min(p.min, v), max=max(p.max, v))
            p.set(value=v)
    for name in frees:
        known(name.strip()).set(vary=True)
    for item in ties:
        name, eq, expr = item.partition("=")
        if not eq:
            raise ValueError(f"--tie {item}: NAME=EXPR")
        known(name.strip())
        check_expression(expr.strip(), list(params), what=f"--tie {name.strip()}")
        try:
            known(name.strip()).set(expr=expr.strip())
            params.update_constraints()
        except Exception as e:  # asteval reports a bad expression in its own ways
            raise ValueError(f"--tie {item}: {' '.join(str(e).split()) or type(e).__name__}") from None
        user.add(name.strip())
    for item in bound:
        name, lo, hi = bounds(item)
        p = known(name)
        lo = p.min if lo is None else lo
        hi = p.max if hi is None else hi
        if lo > hi:
            raise ValueError(f"--bound {item}: the lower bound is above the upper one")
        p.set(min=lo, max=hi)
    if data_start:
        from ..starts import apply_start
        apply_start(s, model, params, keep=user)
    return params, user


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
    thickness = getattr(args, "thickness", False)
    if thickness and args.form != "transmission":
        raise ValueError("--thickness needs --form transmission")
    emission = {e if e.endswith("_") else e + "_" for e in getattr(args, "emission", [])}
    unknown = emission - {c.prefix for c in comps}
    if unknown:
        raise ValueError(f"--emission {', '.join(sorted(unknown))}: no component with that "
                         f"prefix ({', '.join(c.prefix for c in comps)})")
    from ..components import Component
    comps = [Component(c.model, prefix=c.prefix, emission=True, **c.options)
             if c.prefix in emission else c for c in comps]
    if args.form == "transmission":
        return Transmission(*comps, baseline=Baseline(args.baseline, per_sweep=not args.one_baseline),
                            thickness=thickness), starts
    return Absorption(*comps, baseline=Baseline(args.baseline)), starts


def check_axis_options(args):
    if args.axis and args.calibration:
        raise ValueError("give --axis or --calibration, not both")
    if not (args.axis or args.calibration):
        raise ValueError("no velocity axis: give --calibration FOIL or --axis")


class Start:
    """The starting parameters of one spectrum, as `mossfit FILE` makes them: the
    model's defaults on that spectrum (physical bounds), mirror lines tied, the command
    line's values, fixes, frees, ties and bounds; the fit takes the other values from
    the data. Picklable (sent to batch workers)."""

    def __init__(self, model, starts, args):
        self.model, self.starts, self.sets = model, starts, list(args.set)
        self.fixes, self.frees, self.ties = list(args.fix), list(args.free), list(args.tie)
        self.pair_lines = not args.no_pair_lines
        self.bound = list(getattr(args, "bound", []))

    def __call__(self, s):
        """The parameters; they carry the names whose values the user gave
        (params.user_given), and mosslib.fit takes the others from the data."""
        params, user = starting_params(self.model, s, self.starts, self.sets, self.fixes,
                                       self.frees, self.ties, self.pair_lines, self.bound)
        params.user_given = frozenset(user)
        return params
