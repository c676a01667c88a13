"""Components (one catalogue model each, with a prefix) and the spectrum models built
from them.

A Component evaluates one of the library's models on a data axis of any length by
tiling: each segment of the axis is cut into runs of the model's fixed channel count,
and each call gets the zero channel moved by the run's offset (exact, see axes), so a
tiled evaluation equals one long evaluation bit for bit. A model whose channel count
is a parameter (ttt, parl) covers each segment in one call. Where the model's own
velocity scale is not the axis's formula (a linear model on a sine drive, another
phase step), the component refuses instead of interpolating.

Parameters are the catalogue's physical names with the component's prefix (lmfit
style: 's1_field_T'). Conversions to the raw slots are exact (raw = raw_per_unit *
value). Integer slots (the options of ttt and parl) are fixed at construction. The
slots that follow the axis (velocity step or amplitude, zero channel, channels per
radian, channel count) are filled from the axis, never from parameters.

Transmission: counts = baseline(v) * (1 - sum of components), each component's
absorption being its model's output (1 - output for a model that writes
transmission). Absorption: y = baseline(v) + sum of components. The baseline is a
polynomial in the velocity (mm/s), optionally one per sweep of a two-sweep axis.
"""

import math
import re

import lmfit
import numpy as np

from . import _lib
from . import catalog
from . import raw as _raw

__all__ = ["Component", "Baseline", "Transmission", "Absorption", "register_component"]

# Models whose components are a subclass of Component (mosslib.distributions registers
# the hyperfine models): Component(name, ...) makes an instance of it.
_SUBCLASSES = {}


def register_component(model, cls):
    """Component(model, ...) makes a `cls` (a subclass of Component) from now on."""
    _SUBCLASSES[model] = cls

_SCALE_TEXT = {_lib.SCALE_LINEAR: "linear", _lib.SCALE_SINE_FIXED: "sine (fixed phase step)",
               _lib.SCALE_SINE_GIVEN: "sine (channels per radian)", _lib.SCALE_NONE: "no"}
_SEGMENT_SCALE = {"linear": _lib.SCALE_LINEAR, "sine-step": _lib.SCALE_SINE_FIXED,
                  "sine-rate": _lib.SCALE_SINE_GIVEN}


# Physical domains by parameter name: one table for every model of the catalogue.
_AMOUNT = re.compile(r"(area|intensity\d*|amplitude)")
_WIDTH = re.compile(r"(width\d*|gauss_width|extra_width)")
_NON_NEGATIVE = re.compile(r"(area|intensity\d*|amplitude|width\d*|gauss_width|extra_width|"
                           r"field_T|temperature|thickness\w*|spread|relaxation_rate)")
_MIN_WIDTH = 1e-3  # mm/s: a line narrower than this is no line on any drive


def _physical_low(name, names):
    if _NON_NEGATIVE.fullmatch(name):
        return 0.0
    if name == "quadrupole_splitting" and "eta" not in names:
        return 0.0
    return -math.inf


def _spectrum_models():
    return [m for m in catalog.models().values()
            if m.output != _lib.OUTPUT_OBJECTIVE and m.scale != _lib.SCALE_NONE]


class Component:
    """One model of the library's catalogue as a spectrum component.

    Component('sextgen', prefix='s1_') or, for models with integer options,
    Component('ttt', prefix='fe_', multiplicity=6, rings=15). Options not given take
    the catalogue's example values."""

    def __new__(cls, model=None, *args, **kwargs):
        return super().__new__(_SUBCLASSES.get(model, cls) if cls is Component else cls)

    def __init__(self, model, prefix=None, emission=False, **options):
        info = catalog.model(model)
        self.emission = bool(emission)
        if info.output == _lib.OUTPUT_OBJECTIVE:
            mine = {p.name for p in info.params}
            others = [m.name for m in _spectrum_models() if {p.name for p in m.params} == mine]
            hint = f" (the same model as a spectrum: {', '.join(others)})" if others else ""
            raise ValueError(f"{model} returns a sum of squares, not a spectrum; it cannot be "
                             f"a component{hint}")
        if info.scale == _lib.SCALE_NONE:
            raise ValueError(f"{model} has no velocity scale; it cannot be a component")
        self.model = model
        self.prefix = f"{model}_" if prefix is None else str(prefix)
        if self.prefix and not re.fullmatch(r"[A-Za-z_][A-Za-z0-9_]*", self.prefix):
            raise ValueError(f"prefix {self.prefix!r}: letters, digits and _ only")
        follow = set(info.axis_params)
        self.option_names = tuple(p.name for k, p in enumerate(info.params)
                                  if (p.in_ints or p.integer) and k not in follow)
        self.param_names = tuple(p.name for k, p in enumerate(info.params)
                                 if not (p.in_ints or p.integer) and k not in follow)
        self.options = {}
        for name, value in options.items():
            if name not in self.option_names:
                if name in self.param_names:
                    raise ValueError(f"{model}: {name} is a fit parameter, set it in the "
                                     f"parameters ({self.prefix}{name})")
                if name in {info.params[k].name for k in follow}:
                    raise ValueError(f"{model}: {name} follows the velocity axis")
                raise ValueError(f"{model}: no option {name!r}; options: "
                                 f"{', '.join(self.option_names) or 'none'}")
            p = info.param(name)
            if float(value) != int(float(value)):
                raise ValueError(f"{model}: option {name} must be a whole number, not {value}")
            value = int(float(value))
            if not p.min <= p.to_raw(value) <= p.max:
                raise ValueError(f"{model}: option {name}={value} outside {p.bounds()}")
            self.options[name] = value

    # -- pickling: the plain description only; work arrays are rebuilt on demand
    def __getstate__(self):
        return {"model": self.model, "prefix": self.prefix, "options": self.options,
                "option_names": self.option_names, "param_names": self.param_names,
                "emission": self.emission}

    def __setstate__(self, state):
        self.__dict__.update({"emission": False, **state})

    def __repr__(self):
        opts = "".join(f", {k}={v}" for k, v in self.options.items())
        if self.emission:
            opts += ", emission=True"
        return f"Component({self.model!r}, prefix={self.prefix!r}{opts})"

    @property
    def info(self):
        return catalog.model(self.model)

    def param(self, name):
        """The catalogue entry of an (unprefixed) parameter name."""
        return self.info.param(name)

    @property
    def names(self):
        """The prefixed parameter names."""
        return [self.prefix + n for n in self.param_names]

    def _template(self):
        t = self.__dict__.get("_tmpl")
        if t is None:
            info = self.info
            ints = np.zeros(max(info.n_ints, 1), dtype=np.int32)
            reals = np.zeros(info.n_reals)
            for p in info.params:
                value = self.options.get(p.name, p.example)
                if not math.isfinite(value):
                    continue
                if p.in_ints:
                    ints[p.index] = int(p.to_raw(value))
                else:
                    reals[p.index] = p.to_raw(value)
            slots = [(info.params[catalog_k].index, info.params[catalog_k].raw_per_unit)
                     for catalog_k in (info.index_of(n) for n in self.param_names)]
            t = self.__dict__["_tmpl"] = (ints, reals, slots)
        return t

    def domain(self, name):
        """(low, high) of the physical domain of an (unprefixed) parameter: magnitudes
        (areas, line intensities, widths, hyperfine fields, temperatures, thicknesses,
        rates) are non-negative, a pure doublet's splitting too (its sign is invisible);
        an emission component's areas and intensities may be negative. Intersected with
        the catalogue's own limits."""
        lo, hi = self.param(name).bounds()
        low = _physical_low(name, self.param_names)
        if self.emission and _AMOUNT.fullmatch(name):
            low = -math.inf
        return max(lo, low), hi

    def make_params(self, params=None, window=None, step=None):
        """lmfit Parameters of this component: catalogue example values, bounds from the
        physical domain (see domain), the first line intensity of a multi-line model
        fixed (only the intensity ratios and the area are independent). Widths are at
        least 0.001 mm/s and, given the velocity window's span and a channel's step
        (mm/s), at least half a step (a narrower line is a spike in one channel) and at
        most half the span (a broader one is the baseline's curvature)."""
        params = lmfit.Parameters() if params is None else params
        intensities = [n for n in self.param_names if re.fullmatch(r"intensity\d+", n)]
        for n in self.param_names:
            lo, hi = self.domain(n)
            if _WIDTH.fullmatch(n):
                lo = max(lo, _MIN_WIDTH)
                if step is not None and math.isfinite(step) and step > 0:
                    lo = max(lo, 0.5 * float(step))
                if window is not None and math.isfinite(window) and window > 0:
                    hi = min(hi, 0.5 * float(window))
            value = self.param(n).example
            value = value if math.isfinite(value) else 0.0
            value = min(max(value, lo), hi)
            params.add(self.prefix + n, value=value, min=lo, max=hi,
                       vary=not (intensities and n == intensities[0]))
        return params

    def pair_lines(self, params):
        """Tie the intensities and widths of mirror lines (k and K + 1 - k of K lines):
        a sextet with symmetric intensities 1=6, 2=5, 3=4. Returns params."""
        for stem in ("intensity", "width"):
            ks = sorted(int(m.group(1)) for n in self.param_names
                        if (m := re.fullmatch(stem + r"(\d+)", n)))
            for k in ks:
                partner = ks[-1] + ks[0] - k
                if partner < k:
                    params[f"{self.prefix}{stem}{k}"].set(expr=f"{self.prefix}{stem}{partner}")
        return params

    # -- evaluation --------------------------------------------------------------
    def _check_segment(self, seg):
        info = self.info
        want = _SEGMENT_SCALE[seg.kind]
        if info.scale != want:
            fits = [m.name for m in _spectrum_models() if m.scale == want]
            raise ValueError(f"{self.model} computes on a {_SCALE_TEXT[info.scale]} velocity "
                             f"scale and cannot be laid exactly on this {_SCALE_TEXT[want]} "
                             f"axis; models that can: {', '.join(fits)}")
        if want == _lib.SCALE_SINE_FIXED and seg.rate != info.phase_step:
            raise ValueError(f"{self.model} has the fixed phase step {info.phase_step!r} rad "
                             f"per channel; the axis has {seg.rate!r}")

    def calls(self, axis):
        """The library calls that cover `axis`, in channel order: (first channel, channels
        it gives, zero raw, step slot, step raw, (rate slot, raw) or None, (channel-count
        slot, count) or None, zero slot). Fixed-size models are tiled with the zero channel
        moved by each tile's offset, exactly on the axis's 2**-32 grid of zero channels."""
        info = self.info
        step = info.params[info.step_param]
        zero = info.params[info.zero_param]
        rate = info.params[info.rate_param] if info.rate_param >= 0 else None
        chan = info.params[info.channels_param] if info.channels_param >= 0 else None
        out = []
        for seg in axis.segments():
            self._check_segment(seg)
            length = seg.stop - seg.start
            if chan is None:
                tile, count = info.channels, None
            else:
                # A model whose channel count is a parameter runs one call per segment:
                # ttt places its lines relative to the zero channel times the step, and
                # parl normalises to the deepest channel of the call, so neither tiles
                # exactly.
                tile = length
                if not chan.min <= chan.to_raw(length) <= min(chan.max, info.max_channels):
                    raise ValueError(
                        f"{self.model} computes at most {min(chan.max, info.max_channels):g} "
                        f"channels in one call and does not tile exactly; this sweep has "
                        f"{length}: fold or cut the spectrum")
                count = (chan.index, int(chan.to_raw(tile)))
            for i0 in range(seg.start, seg.stop, tile):
                zm = seg.zero - (i0 - 1)
                # exact on the 2**-32 grid of axis zero channels; a cheap guard
                if zm + (i0 - 1) != seg.zero or seg.zero - zm != i0 - 1:
                    raise ValueError(f"zero channel {seg.zero!r} cannot be moved exactly by "
                                     f"{i0 - 1} channels")
                out.append((i0, min(tile, seg.stop - i0), zero.to_raw(zm), step.index,
                            step.to_raw(seg.scale),
                            None if rate is None else (rate.index, rate.to_raw(seg.rate)),
                            count, zero.index))
        return out

    def absorption(self, values, axis):
        """This component's absorption on every channel of `axis`; values maps the
        unprefixed (or prefixed) parameter names to physical values."""
        info = self.info
        ints0, reals0, slots = self._template()
        ints, reals = ints0.copy(), reals0.copy()
        pre = self.prefix
        for n, (slot, r) in zip(self.param_names, slots):
            v = values[pre + n] if pre + n in values else values[n]
            reals[slot] = r * v
        fn = _raw.c_function(self.model)
        buf = np.empty(info.max_channels)
        out = np.empty(axis.n)
        ia, ra, ba = (ints.__array_interface__["data"][0], reals.__array_interface__["data"][0],
                      buf.__array_interface__["data"][0])
        for i0, take, z, si, sv, rate, count, zi in self.calls(axis):
            reals[si] = sv
            if rate is not None:
                reals[rate[0]] = rate[1]
            if count is not None:
                ints[count[0]] = count[1]
            reals[zi] = z
            if info.n_ints:
                fn(ia, ra, ba)
            else:
                fn(ra, ba)
            part = buf[:take]
            if part[0] != part[0]:
                _lib.library().raise_last_error(self.model)
            out[i0:i0 + take] = part
        if info.output == _lib.OUTPUT_TRANSMISSION:
            out = 1.0 - out
        return out

    def absorber_lines(self, values):
        """This component's lines for the thick absorber (mosslib.thickness):
        (centres, areas, lorentz_fwhm, gauss_fwhm), mm/s, areas relative within the
        component; None when its thin spectrum serves as the cross-section."""
        from . import thickness
        return thickness.model_lines(self, values)

    def line_centres(self, values, axis):
        """Velocities of the individual lines (models with intensity1..K), each found
        from the model itself: only line k switched on, the centre of the Lorentzian
        through three channels around its peak (exact for Lorentzian lines)."""
        ks = sorted(int(m.group(1)) for n in self.param_names
                    if (m := re.fullmatch(r"intensity(\d+)", n)))
        if not ks:
            return []
        v = axis.velocities()
        seg_of = np.empty(axis.n, dtype=int)
        for s, seg in enumerate(axis.segments()):
            seg_of[seg.start:seg.stop] = s
        vals = {n: values[self.prefix + n] if self.prefix + n in values else values[n]
                for n in self.param_names}
        centres = []
        for k in ks:
            probe = dict(vals)
            for j in ks:
                probe[f"intensity{j}"] = 1.0 if j == k else 0.0
            if "area" in probe and probe["area"] == 0:
                probe["area"] = 1.0
            y = np.abs(self.absorption(probe, axis))
            c = int(np.nanargmax(y))
            if c == 0 or c == axis.n - 1 or seg_of[c - 1] != seg_of[c] or seg_of[c + 1] != seg_of[c]:
                centres.append(math.nan)
                continue
            x, w = v[c - 1:c + 2], 1.0 / y[c - 1:c + 2]
            a, b, _ = np.polyfit(x - v[c], w, 2)
            centres.append(float(v[c] - b / (2 * a)))
        return centres


class Baseline:
    """A polynomial in velocity (mm/s) of `degree`; per_sweep: one per sweep."""

    def __init__(self, degree=0, per_sweep=False, fixed=None):
        if int(degree) != degree or not 0 <= degree <= 6:
            raise ValueError(f"baseline degree {degree}: 0 to 6")
        self.degree = int(degree)
        self.per_sweep = bool(per_sweep)
        self.fixed = fixed  # a constant baseline (absorption form), or None

    def __repr__(self):
        return f"Baseline({self.degree}, per_sweep={self.per_sweep})"

    def names(self, n_sweeps=1):
        if self.fixed is not None:
            return []
        sweeps = range(n_sweeps if self.per_sweep else 1)
        if not self.per_sweep or n_sweeps == 1:
            return [f"base_c{k}" for k in range(self.degree + 1)]
        return [f"base_s{s}_c{k}" for s in sweeps for k in range(self.degree + 1)]

    def eval(self, values, axis, v=None):
        v = axis.velocities() if v is None else v
        if self.fixed is not None:
            return np.full(axis.n, float(self.fixed))
        sw = axis.sweeps() if self.per_sweep else None
        n_sweeps = 1 if sw is None else int(sw.max()) + 1
        if n_sweeps == 1:
            return np.polynomial.polynomial.polyval(
                v, [values[f"base_c{k}"] for k in range(self.degree + 1)])
        out = np.empty(axis.n)
        for s in range(n_sweeps):
            m = sw == s
            out[m] = np.polynomial.polynomial.polyval(
                v[m], [values[f"base_s{s}_c{k}"] for k in range(self.degree + 1)])
        return out


class _Model:
    form = ""
    thickness = None  # a thickness.Thickness: the transmission integral (Transmission only)

    def __init__(self, *components, baseline=None):
        if not components:
            raise ValueError("a model needs at least one component")
        flat = []
        for c in components:
            flat.extend(c if isinstance(c, (list, tuple)) else [c])
        for c in flat:
            if not isinstance(c, Component):
                raise TypeError(f"{c!r} is not a Component")
        prefixes = [c.prefix for c in flat]
        if len(set(prefixes)) != len(prefixes):
            raise ValueError(f"components need distinct prefixes, got {prefixes}")
        self.components = flat
        if baseline is None:
            baseline = Baseline(0) if self.form == "transmission" else Baseline(fixed=0.0)
        elif isinstance(baseline, int):
            baseline = Baseline(baseline)
        self.baseline = baseline

    def __repr__(self):
        return f"{type(self).__name__}({', '.join(map(repr, self.components))}, baseline={self.baseline!r})"

    def describe(self):
        parts = " + ".join(f"{c.model}[{c.prefix}]" for c in self.components)
        if self.form == "transmission":
            return f"baseline(v) * (1 - ({parts}))"
        return f"baseline(v) + {parts}"

    def param_names(self, axis):
        names = [n for c in self.components for n in c.names]
        names += self.baseline.names(axis.n_sweeps)
        names += self.thickness.names() if self.thickness else []
        names += ["axis_" + k for k in axis.param_names]
        return names

    def make_params(self, spectrum=None, axis=None):
        """lmfit Parameters: the components', the baseline's (started from the data when
        a spectrum is given) and the axis's (axis_step, axis_zero, ...; fixed)."""
        axis = axis or (spectrum.axis if spectrum is not None else None)
        params = lmfit.Parameters()
        window = step = None
        if axis is not None:
            v = axis.velocities()
            ok = np.isfinite(v)
            window = float(np.ptp(v[ok])) if ok.any() else None
            dv = np.abs(np.diff(v))
            same = (axis.sweeps()[1:] == axis.sweeps()[:-1]) & np.isfinite(dv) & (dv > 0)
            step = float(np.min(dv[same])) if same.any() else None
        for c in self.components:
            c.make_params(params, window=window, step=step)
        if self.thickness:
            self.thickness.add_params(params, self.components)
        if axis is not None:
            for k, v in axis.params().items():
                params.add("axis_" + k, value=v, vary=False)
            names = self.baseline.names(axis.n_sweeps)
        else:
            names = self.baseline.names(1)
        for n in names:
            params.add(n, value=0.0)
        if spectrum is not None and names:
            top = np.percentile(spectrum.counts[spectrum.mask], 90) if self.form == "transmission" else 0.0
            for n in names:
                if n.endswith("_c0"):
                    params[n].set(value=top)
        return params

    def axis_of(self, values, spectrum):
        axis = spectrum.axis
        if axis is None:
            raise ValueError(f"{spectrum.name or 'the spectrum'} has no velocity axis: "
                             f"give one, or apply a calibration")
        changes = {k: values["axis_" + k] for k in axis.param_names if "axis_" + k in values}
        if changes and any(changes[k] != getattr(axis, k) for k in changes):
            axis = axis.with_values(**changes)
        return axis

    @staticmethod
    def _values(params):
        return params.valuesdict() if hasattr(params, "valuesdict") else dict(params)

    def parts(self, params, spectrum):
        """(velocities, baseline, [absorption of each component]) on every channel."""
        values = self._values(params)
        axis = self.axis_of(values, spectrum)
        v = axis.velocities()
        base = self.baseline.eval(values, axis, v)
        return v, base, [c.absorption(values, axis) for c in self.components]

    def eval(self, params, spectrum):
        if self.thickness:
            values = self._values(params)
            axis = self.axis_of(values, spectrum)
            return self.baseline.eval(values, axis) * (
                1.0 - self.thickness.absorption(self.components, values, axis))
        _, base, comps = self.parts(params, spectrum)
        total = np.sum(comps, axis=0)
        if self.form == "transmission":
            return base * (1.0 - total)
        return base + total

    def curves(self, params, spectrum):
        """Each component drawn alone on the baseline, by prefix (with thickness: alone at
        its share of t_a)."""
        if self.thickness:
            values = self._values(params)
            axis = self.axis_of(values, spectrum)
            base = self.baseline.eval(values, axis)
            return {c.prefix: base * (1.0 - self.thickness.absorption(self.components, values, axis, only=c))
                    for c in self.components}
        _, base, comps = self.parts(params, spectrum)
        if self.form == "transmission":
            return {c.prefix: base * (1.0 - a) for c, a in zip(self.components, comps)}
        return {c.prefix: base + a for c, a in zip(self.components, comps)}

    def guess(self, spectrum, params):
        """Scale the components' areas so that the model's deepest line matches the data's."""
        areas = [c.prefix + "area" for c in self.components if "area" in c.param_names]
        if not areas or any(not params[a].vary for a in areas):
            return params
        _, base, comps = self.parts(params, spectrum)
        total = np.sum(comps, axis=0)
        m = spectrum.mask
        if self.form == "transmission":
            want = np.max(1.0 - spectrum.counts[m] / base[m])
        else:
            want = np.max(spectrum.counts[m] - base[m])
        have = np.max(total[m])
        if want > 0 and have > 0 and math.isfinite(want / have):
            for a in areas:
                params[a].set(value=params[a].value * want / have)
        return params

    def lmfit_model(self, spectrum):
        """This model as an lmfit.Model of the data channels x (indices into the
        spectrum), for lmfit's own fit(), fit_report(), conf_interval():

            lm = model.lmfit_model(s)
            x = np.flatnonzero(s.mask)
            r = lm.fit(s.counts[x], model.make_params(s), x=x,
                       weights=1 / np.sqrt(s.data_variance()[x]))

        (mosslib.fit is the picklable route with Poisson weights and derived values.)"""
        import inspect
        names = self.param_names(spectrum.axis)
        model = self

        def mosslib_model(x, **values):
            return model.eval(values, spectrum)[np.asarray(x, dtype=int)]

        P = inspect.Parameter
        mosslib_model.__signature__ = inspect.Signature(
            [P("x", P.POSITIONAL_OR_KEYWORD)]
            + [P(n, P.POSITIONAL_OR_KEYWORD, default=0.0) for n in names])
        return lmfit.Model(mosslib_model, independent_vars=["x"], name=self.describe())

    def to_dict(self):
        return {"form": self.form,
                "components": [{"model": c.model, "prefix": c.prefix, "options": c.options}
                               for c in self.components],
                "baseline": {"degree": self.baseline.degree, "per_sweep": self.baseline.per_sweep,
                             "fixed": self.baseline.fixed},
                **({"thickness": self.thickness.to_dict()} if self.thickness else {})}


class Transmission(_Model):
    """counts = baseline(v) * (1 - sum of the components' absorption); with thickness
    (True, a dict of settings or a thickness.Thickness) counts = baseline(v) * T(v),
    the transmission integral of a thick absorber (see mosslib.thickness)."""
    form = "transmission"

    def __init__(self, *components, baseline=None, thickness=None):
        super().__init__(*components, baseline=baseline)
        if thickness:
            from .thickness import Thickness
            self.thickness = Thickness.of(thickness)

    def describe(self):
        if not self.thickness:
            return super().describe()
        parts = " + ".join(f"{c.model}[{c.prefix}]" for c in self.components)
        return f"baseline(v) * T(v; thick absorber of {parts})"


class Absorption(_Model):
    """y = baseline(v) + sum of the components (data already in absorption)."""
    form = "absorption"
