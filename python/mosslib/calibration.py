"""Velocity calibration from an alpha-iron foil.

The foil's sextet is fitted with its field held at the alpha-iron convention (outer
lines 10.657 mm/s apart) and its centre shift at 0, which removes the two exact
degeneracies of a linear drive (field with velocity step, centre shift with zero
channel). What is left free: the velocity per channel, the zero channel (the foil's
centroid, 0-based), the mirror point of a two-sweep spectrum, the quadrupole shift,
widths and intensities (mirror lines tied) and a quadratic baseline per sweep.
"""

import math
from dataclasses import dataclass

import numpy as np

from .axes import LinearAxis, TriangularAxis
from .components import Baseline, Component, Transmission
from .fitting import ALPHA_IRON_OUTER_SPAN, fit

__all__ = ["Calibration", "calibrate"]


@dataclass
class Calibration:
    """Velocity per channel (mm/s), zero channel and mirror point (data channels from
    0), each with its standard error; `result` is the foil's FitResult."""
    n: int
    step: float
    step_err: float
    zero: float
    zero_err: float
    mirror: float = None
    mirror_err: float = None
    redchi: float = math.nan
    result: object = None

    def axis(self, n=None):
        n = self.n if n is None else n
        if n != self.n:
            raise ValueError(f"the calibration is for {self.n} channels, the spectrum has {n}")
        if self.mirror is None:
            return LinearAxis(n, self.step, self.zero)
        return TriangularAxis(n, self.step, self.zero, self.mirror)

    def apply(self, spectrum):
        """The spectrum on the calibrated velocity axis."""
        return spectrum.with_axis(self.axis(spectrum.n))

    def to_dict(self):
        return {"channels": self.n, "velocity_per_channel": self.step,
                "velocity_per_channel_err": self.step_err, "zero_channel": self.zero,
                "zero_channel_err": self.zero_err, "mirror_point": self.mirror,
                "mirror_point_err": self.mirror_err, "redchi": self.redchi}

    def report(self):
        lines = [f"Velocity calibration ({self.n} channels, alpha-iron outer span "
                 f"{ALPHA_IRON_OUTER_SPAN} mm/s):",
                 f"  velocity per channel {self.step:.6f} +/- {self.step_err:.6f} mm/s",
                 f"  zero channel         {self.zero:.4f} +/- {self.zero_err:.4f}"]
        if self.mirror is not None:
            lines.append(f"  mirror point         {self.mirror:.4f} +/- {self.mirror_err:.4f}")
        lines.append(f"  reduced chi-square   {self.redchi:.4g}")
        return "\n".join(lines) + "\n"


def _dips(counts, mask, lo, hi):
    """Centres (channels) of the runs of strong dips in channels [lo, hi)."""
    idx = np.arange(lo, hi)
    ok = mask[lo:hi]
    c = np.where(ok, counts[lo:hi], np.nan)
    top = np.nanpercentile(c, 90)
    depth = np.convolve(np.nan_to_num(top - c), np.ones(3) / 3, mode="same")
    strong = depth > 0.4 * np.nanmax(depth)
    runs, start = [], None
    for k, s in enumerate(np.append(strong, False)):
        if s and start is None:
            start = k
        elif not s and start is not None:
            w = depth[start:k]
            runs.append(float(np.sum(idx[start:k] * w) / np.sum(w)))
            start = None
    return runs


def calibrate(foil, two_sweeps=None, model="sextgen", baseline=2, weights="data", axis=None,
              thickness=None):
    """Calibrate the velocity axis from an alpha-iron foil spectrum (see the module
    docstring). two_sweeps: None decides from the data (both halves show the sextet);
    axis: a starting axis instead of the one found from the outer lines; thickness: a
    thick foil, as Transmission(..., thickness=...) (t_a and f_s fitted)."""
    n = foil.n
    m = foil.mask
    if axis is None:
        half = n // 2
        first = _dips(foil.counts, m, 0, half)
        second = _dips(foil.counts, m, half, n)
        if len(first) < 2:
            raise ValueError(f"{foil.name}: no sextet found for a calibration")
        c1, c6 = first[0], first[-1]
        step = ALPHA_IRON_OUTER_SPAN / (c6 - c1)
        zero = (c1 + c6) / 2
        if two_sweeps is None:
            two_sweeps = len(second) >= 2
        if two_sweeps:
            if len(second) < 2:
                raise ValueError(f"{foil.name}: no sextet in the second sweep")
            mirror = (c1 + second[-1] + c6 + second[0]) / 4
            axis = TriangularAxis(n, step, zero, mirror)
        else:
            axis = LinearAxis(n, step, zero)
    spectrum = foil.with_axis(axis)
    comp = Component(model, prefix="fe_")
    if thickness is True:
        thickness = {"vary_f_s": True}
    tm = Transmission(comp, baseline=Baseline(baseline, per_sweep=axis.n_sweeps > 1), thickness=thickness)
    params = tm.make_params(spectrum)
    comp.pair_lines(params)
    for name in axis.param_names:
        params["axis_" + name].set(vary=True)
    # Field on the alpha-iron convention: the span the model gives per tesla.
    values = params.valuesdict()
    centres = comp.line_centres(values, axis)
    per_tesla = (centres[-1] - centres[0]) / values["fe_field_T"]
    params["fe_field_T"].set(value=ALPHA_IRON_OUTER_SPAN / per_tesla, vary=False)
    params["fe_centre_shift"].set(value=0.0, vary=False)
    tm.guess(spectrum, params)
    result = fit(spectrum, tm, params, weights=weights)
    e = result.stderr
    return Calibration(n=n, step=result.values["axis_step"], step_err=e["axis_step"],
                       zero=result.values["axis_zero"], zero_err=e["axis_zero"],
                       mirror=result.values.get("axis_mirror"), mirror_err=e.get("axis_mirror"),
                       redchi=result.redchi, result=result)
