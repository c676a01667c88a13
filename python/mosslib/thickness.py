"""Thick absorbers: the transmission integral of the library (mosslib_thick_lines,
mosslib_thick_sampled) under the package's models.

    model = Transmission(Component("sext", prefix="fe_"), thickness=True)

turns the thin sum of lines into

    counts = baseline(v) * T(v),
    T(v) = (1 - f_s) + f_s * integral L_s(E - v) exp(-t_a sigma(E)) dE,

with a Lorentzian source of full width Gamma_s (thick_source_width) and recoil-free
fraction f_s (thick_f_s), both fixed by default, and the effective thickness t_a
(thick_t_a, fitted). sigma is the sum of every component's lines, each component with
its share of t_a (its total area over the sum of the components' areas), so
overlapping lines of different sites saturate together. t_a is the peak thickness of a
single Lorentzian line of full width Gamma_a (thick_absorber_width); by default
Gamma_a is tied to the first component's line width, so for one line t_a is its peak
thickness; lines of other widths keep their area share.

A component gives its lines through absorber_lines(values) -> (centres, areas,
lorentz_fwhm, gauss_fwhm) (numpy arrays, mm/s, areas relative within the component),
or None, in which case its thin spectrum computed at its own width on a fine uniform
grid (ttt; parl on its 256 channels) is the cross-section (mosslib_thick_sampled).
With thickness the components' areas only set their shares: the first area is fixed.
"""

import math
import re

import numpy as np


__all__ = ["Thickness", "transmission_lines", "transmission_sampled", "model_lines",
           "thick_line_area", "PREFIX"]

PREFIX = "thick_"
NAMES = ("t_a", "f_s", "source_width", "absorber_width")
# The catalogue's area of the line models is "total area of the lines (times pi/3.1416)".
_AREA_UNIT = math.pi / 3.1416
_SIGMA_PER_FWHM = 1.0 / (2.0 * math.sqrt(2.0 * math.log(2.0)))


# -- the exports ----------------------------------------------------------------------
def _call(name, ints, reals, data, velocity):
    from . import raw
    v = np.ascontiguousarray(velocity, dtype=np.float64)
    return raw.export(name)(np.asarray(ints, dtype=np.int32), np.asarray(reals, dtype=np.float64),
                            np.ascontiguousarray(data, dtype=np.float64).ravel(), v)


def transmission_lines(velocity, centres, areas, lorentz_fwhm, gauss_fwhm=None, *, t_a, f_s,
                       source_width, absorber_width):
    """T(v) at the velocities (mm/s) for a cross-section of lines (mm/s; areas relative)."""
    c = np.atleast_1d(np.asarray(centres, dtype=float))
    g = np.zeros(c.size) if gauss_fwhm is None else np.broadcast_to(np.asarray(gauss_fwhm, float), c.shape)
    lines = np.column_stack([c, np.broadcast_to(np.asarray(areas, float), c.shape),
                             np.broadcast_to(np.asarray(lorentz_fwhm, float), c.shape), g])
    v = np.atleast_1d(np.asarray(velocity, dtype=float))
    return _call("mosslib_thick_lines", [c.size, v.size],
                 [t_a, f_s, source_width, absorber_width], lines.ravel(), v)


def transmission_sampled(velocity, samples, start, step, *, t_a, f_s, source_width, absorber_width):
    """T(v) for a cross-section sampled at start + i step (mm/s): the Catmull-Rom cubic
    through the samples, 0 outside them, scaled to the area of a line of width
    absorber_width and peak t_a."""
    s = np.atleast_1d(np.asarray(samples, dtype=float))
    v = np.atleast_1d(np.asarray(velocity, dtype=float))
    return _call("mosslib_thick_sampled", [s.size, v.size],
                 [t_a, f_s, source_width, absorber_width, start, step], s, v)


def thick_line_area(t_a, absorber_width, f_s=1.0):
    """integral (1 - T) dv of a single Lorentzian line: f_s (pi Gamma_a/2) t_a
    e^{-t_a/2} [I0(t_a/2) + I1(t_a/2)] (any source shape)."""
    from scipy.special import i0e, i1e
    return f_s * math.pi * absorber_width / 2.0 * t_a * (i0e(t_a / 2.0) + i1e(t_a / 2.0))


# -- lines of the catalogue's line-shape models ------------------------------------------
# Line positions are affine in the field, the quadrupole shift and the centre shift;
# their coefficients are read from the library's own models once per process (each
# line alone, its centre from three channels, exact for a Lorentzian).
_PROBED = {}
_POSITION_SOURCE = {"sext": "sext", "sextgen": "sextgen", "sextgen_ss": "sextgen",
                    "sextgen_sl": "sextgen", "VogGenVel_ss": "sextgen"}


def _position_coefficients(component):
    model = component.model
    src = _POSITION_SOURCE[model]
    got = _PROBED.get(src)
    if got is not None:
        return got
    from .axes import LinearAxis
    comp = type(component)(src, prefix="")
    axis = LinearAxis(256, 0.02, 128.5)
    base = {n: comp.param(n).example for n in comp.param_names}
    base.update(field_T=0.0, quadrupole_shift=0.0, centre_shift=0.0, area=1.0)
    for n in comp.param_names:
        if re.fullmatch(r"width\d?", n):
            base[n] = 0.2

    def centres(**kw):
        return np.array(comp.line_centres({**base, **kw}, axis))

    zero = centres()
    coef = np.array([centres(field_T=1.0) - zero, centres(quadrupole_shift=1.0) - zero,
                     centres(centre_shift=1.0) - zero, zero])
    check = centres(field_T=10.0, quadrupole_shift=0.3, centre_shift=0.2)
    if not np.allclose(check, np.array([10.0, 0.3, 0.2, 1.0]) @ coef, atol=1e-8):
        raise ValueError(f"{model}: line positions are not affine in field, quadrupole "
                         f"and centre shifts; no lines for the thick absorber")
    _PROBED[src] = coef
    return coef


def _value(values, prefix, name):
    return values[prefix + name] if prefix + name in values else values[name]


def model_lines(component, values):
    """(centres, areas, lorentz_fwhm, gauss_fwhm) of a catalogue line-shape component,
    areas relative within it; None for a model without separable lines (ttt, parl,
    CSTfdll)."""
    model, pre = component.model, component.prefix
    get = lambda n: _value(values, pre, n)  # noqa: E731
    if model == "doubl":
        cs, qs, w = get("centre_shift"), get("quadrupole_splitting"), get("width")
        return (np.array([cs - qs / 2.0, cs + qs / 2.0]), np.array([0.5, 0.5]),
                np.array([w, w]), np.zeros(2))
    if model == "CSTfdll":
        raise ValueError("CSTfdll has an interference term, no cross-section of lines: it "
                         "cannot take part in a thick absorber")
    if model not in _POSITION_SOURCE:
        return None
    coef = _position_coefficients(component)
    x = np.array([get("field_T"), get("quadrupole_shift"), get("centre_shift"), 1.0])
    centres = x @ coef
    inten = np.array([get(f"intensity{k}") for k in range(1, 7)], dtype=float)
    if model == "sext":
        w = np.full(6, get("width"))
    else:
        w = np.array([get(f"width{k}") for k in range(1, 7)], dtype=float)
    gauss = np.zeros(6)
    if model == "VogGenVel_ss":
        # Profile coordinates (v - x)/(1.421 g) and w/(1.421 g): the widths act as half
        # widths, the Gaussian's standard deviation is 1.421 g / sqrt 2, and a line's
        # area goes as its height, I_k / w_k.
        inten = inten / w
        w = 2.0 * w
        gauss = np.full(6, 1.421 * get("gauss_width") / math.sqrt(2.0) / _SIGMA_PER_FWHM)
    total = inten.sum()
    if not total > 0:
        raise ValueError(f"{component.prefix}: the line intensities sum to 0")
    return centres, inten / total, w, gauss


def _lines_of(component, values):
    f = getattr(component, "absorber_lines", None)
    return f(values) if f is not None else model_lines(component, values)


def _weight(component, values, sampled_area=None):
    """A component's share of t_a before normalisation: its total area."""
    pre = component.prefix
    if "area" in component.param_names:
        return abs(float(_value(values, pre, "area"))) * _AREA_UNIT
    return 1.0 if sampled_area is None else sampled_area


def _width_name(component):
    for n in ("width", "width1"):
        if n in component.param_names:
            return component.prefix + n
    return None


class Thickness:
    """Settings of the thick absorber: starting values and which are fitted.

    t_a (fitted by default), f_s and source_width (fixed by default) and absorber_width
    (None: tied to the first component's width; a number: fixed at it)."""

    def __init__(self, t_a=5.0, f_s=0.7, source_width=0.11, absorber_width=None,
                 vary_t_a=True, vary_f_s=False, vary_source_width=False):
        self.t_a, self.f_s, self.source_width = float(t_a), float(f_s), float(source_width)
        self.absorber_width = None if absorber_width is None else float(absorber_width)
        self.vary = {"t_a": bool(vary_t_a), "f_s": bool(vary_f_s),
                     "source_width": bool(vary_source_width)}
        if not (self.t_a >= 0 and 0 <= self.f_s <= 1 and self.source_width > 0):
            raise ValueError("thickness: t_a >= 0, 0 <= f_s <= 1, source_width > 0")
        if self.absorber_width is not None and not self.absorber_width > 0:
            raise ValueError("thickness: absorber_width must be > 0")

    def __getstate__(self):  # the cache of the last evaluations stays behind
        return {k: v for k, v in self.__dict__.items() if k != "_cache"}

    @classmethod
    def of(cls, setting):
        if isinstance(setting, cls):
            return setting
        if setting is True:
            return cls()
        if isinstance(setting, dict):
            return cls(**setting)
        raise ValueError(f"thickness={setting!r}: True, a dict of settings or a Thickness")

    def __repr__(self):
        return (f"Thickness(t_a={self.t_a}, f_s={self.f_s}, source_width={self.source_width}, "
                f"absorber_width={self.absorber_width})")

    def to_dict(self):
        return {"t_a": self.t_a, "f_s": self.f_s, "source_width": self.source_width,
                "absorber_width": self.absorber_width, **{f"vary_{k}": v for k, v in self.vary.items()}}

    # -- parameters ----------------------------------------------------------------------
    @staticmethod
    def names():
        return [PREFIX + n for n in NAMES]

    def add_params(self, params, components):
        params.add(PREFIX + "t_a", value=self.t_a, min=0.0, vary=self.vary["t_a"])
        params.add(PREFIX + "f_s", value=self.f_s, min=0.0, max=1.0, vary=self.vary["f_s"])
        params.add(PREFIX + "source_width", value=self.source_width, min=1e-4,
                   vary=self.vary["source_width"])
        tie = _width_name(components[0]) if self.absorber_width is None else None
        if tie:
            # VogGenVel_ss's widths act as half widths (see model_lines)
            double = components[0].model == "VogGenVel_ss"
            params.add(PREFIX + "absorber_width", expr=f"2*{tie}" if double else tie)
        else:
            params.add(PREFIX + "absorber_width", value=self.absorber_width or 0.25, min=1e-4,
                       vary=False)
        # Only the components' area ratios matter: the first area is fixed.
        areas = [c.prefix + "area" for c in components if "area" in c.param_names]
        if areas and params[areas[0]].vary:
            params[areas[0]].set(vary=False)
        return params

    # -- evaluation ----------------------------------------------------------------------
    def absorption(self, components, values, axis, only=None):
        """1 - T on every channel of axis; `only`: one component alone, at its share."""
        v = axis.velocities()
        th = {n: float(values[PREFIX + n]) for n in NAMES}
        lines, sampled = [], []
        for c in components:
            got = _lines_of(c, values)
            (sampled if got is None else lines).append((c, got))
        weights = {c.prefix: _weight(c, values) for c, _ in lines}
        grid = None
        if sampled:
            grid = self._sample_grid(components, values, v, lines)
            for c, _ in sampled:
                weights[c.prefix] = _weight(c, values, grid["areas"][c.prefix])
        total = sum(weights.values())
        if not total > 0:
            raise ValueError("thickness: the components' areas sum to 0")
        share = {k: w / total for k, w in weights.items()}
        if only is not None:
            th["t_a"] *= share[only.prefix]
            lines = [(c, x) for c, x in lines if c is only]
            sampled = [(c, x) for c, x in sampled if c is only]
            share = {only.prefix: 1.0}
        key = (tuple(sorted(th.items())), tuple(sorted(share.items())),
               tuple((c.prefix, tuple(np.concatenate(x).tolist())) for c, x in lines),
               tuple(c.prefix for c, _ in sampled), v.tobytes() if v.size < 8192 else id(v),
               None if not sampled else tuple(sorted((k, values[k]) for k in values)))
        cache = self.__dict__.setdefault("_cache", {})
        if key in cache:
            return cache[key]
        if not sampled:
            cen = np.concatenate([x[0] for _, x in lines])
            area = np.concatenate([x[1] / x[1].sum() * share[c.prefix] for c, x in lines])
            lor = np.concatenate([x[2] for _, x in lines])
            gau = np.concatenate([x[3] for _, x in lines])
            t = transmission_lines(v, cen, area, lor, gau, **th)
        else:
            from scipy.special import voigt_profile
            e = grid["energies"]
            sigma = np.zeros(e.size)
            for c, x in lines:
                cen, a, lor, gau = x
                for k in range(cen.size):
                    sigma += share[c.prefix] * a[k] / a.sum() * voigt_profile(
                        e - cen[k], gau[k] * _SIGMA_PER_FWHM, lor[k] / 2.0)
            for c, _ in sampled:
                prof = grid["profiles"][c.prefix]
                sigma += share[c.prefix] * prof / grid["areas"][c.prefix]
            t = transmission_sampled(v, np.maximum(sigma, 0.0), e[0], grid["step"], **th)
        out = 1.0 - t
        if len(cache) > 8:
            cache.clear()
        cache[key] = out
        return out

    @staticmethod
    def _sample_grid(components, values, v, lines):
        """One uniform grid for every sampled component (its thin spectrum at its own
        width) and the lines of the others."""
        from .axes import LinearAxis
        widths = []
        for c in components:
            wn = _width_name(c)
            if wn:
                widths.append(float(values[wn]))
        for _, x in lines:
            widths.append(float(np.min(x[2])))
        lo, hi = float(np.min(v)) - 3.0, float(np.max(v)) + 3.0
        want = max(min(widths or [0.25]) / 8.0, 1e-3)
        limit = 256 if any(c.model == "parl" for c in components) else 8192
        n = int(min(limit, math.ceil((hi - lo) / want) + 1))
        step = (hi - lo) / (n - 1)
        zero = 1.0 - lo / step
        axis = LinearAxis(n, step, zero)
        e = axis.velocities()
        profiles, areas = {}, {}
        for c in components:
            if _lines_of(c, values) is not None:
                continue
            a = np.maximum(c.absorption(values, axis), 0.0)
            area = float(np.trapz(a, e))
            if not area > 0:
                raise ValueError(f"{c.prefix}: the thin spectrum has no area on "
                                 f"{lo:.3g}..{hi:.3g} mm/s; no cross-section for the thick absorber")
            profiles[c.prefix], areas[c.prefix] = a, area
        return {"energies": e, "step": float(e[1] - e[0]), "profiles": profiles, "areas": areas}

    def derived(self, result):
        """t_a with its error, and the area/thickness relation of the fitted absorber."""
        vals, err = result.values, result.stderr
        t, ga, fs = vals[PREFIX + "t_a"], vals[PREFIX + "absorber_width"], vals[PREFIX + "f_s"]
        thin = fs * math.pi * ga / 2.0 * t
        thick = thick_line_area(t, ga, fs)
        return {"t_a": {"value": t, "stderr": err.get(PREFIX + "t_a"), "unit": ""},
                "area_thin": {"value": thin, "stderr": None, "unit": "mm/s"},
                "area_thick": {"value": thick, "stderr": None, "unit": "mm/s"},
                "area_ratio_thick_thin": {"value": thick / thin if thin else math.nan,
                                          "stderr": None, "unit": ""}}
