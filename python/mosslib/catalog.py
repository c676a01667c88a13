"""The library's model catalogue as Python objects.

Every name, unit, array slot, example value and refused range comes from the loaded
library (mosslib_model_count, mosslib_model_at); nothing here repeats a layout.
A physical value and its raw slot are related by raw = raw_per_unit * value, with
raw_per_unit a power of two or a sign change, so both conversions are exact.
"""

import math
from dataclasses import dataclass

from . import _lib

__all__ = ["ParamInfo", "ModelInfo", "models", "model", "model_names"]


@dataclass(frozen=True)
class ParamInfo:
    name: str
    unit: str
    meaning: str
    convention: str
    array: int          # _lib.ARRAY_INTS or _lib.ARRAY_REALS
    index: int          # element of that array
    integer: bool
    raw_per_unit: float
    example: float      # physical value
    min: float          # raw limits the library refuses outside of
    max: float
    refusal: str
    zero_means: float

    @property
    def in_ints(self):
        return self.array == _lib.ARRAY_INTS

    def to_raw(self, value):
        """The raw slot value of a physical value (exact)."""
        return self.raw_per_unit * value

    def from_raw(self, raw):
        """The physical value of a raw slot value (exact)."""
        return raw / self.raw_per_unit

    def bounds(self):
        """(min, max) of the physical value from the raw limits."""
        lo, hi = self.from_raw(self.min), self.from_raw(self.max)
        return (lo, hi) if lo <= hi else (hi, lo)


@dataclass(frozen=True)
class ModelInfo:
    name: str
    summary: str
    n_ints: int
    n_reals: int
    output: int
    params: tuple
    channels: int
    channels_param: int
    max_channels: int
    scale: int
    phase_step: float
    step_param: int
    zero_param: int
    rate_param: int
    returns: int
    return_value: float
    lowers_priority: bool

    def __reduce__(self):
        return (model, (self.name,))

    def param(self, name):
        for p in self.params:
            if p.name == name:
                return p
        raise KeyError(name)

    def index_of(self, name):
        for k, p in enumerate(self.params):
            if p.name == name:
                return k
        return -1

    @property
    def axis_params(self):
        """Indices into params of the slots that follow the velocity axis."""
        return tuple(k for k in (self.step_param, self.zero_param, self.rate_param,
                                 self.channels_param) if k >= 0)


def _text(b):
    return b.decode() if b else ""


def _read(lib):
    dll = lib.dll
    if not hasattr(dll, "mosslib_catalog_version"):
        raise _lib.MosslibError(f"{lib.path} has no model catalogue; rebuild the library")
    version = dll.mosslib_catalog_version()
    if version != _lib.CATALOG_VERSION:
        raise _lib.MosslibError(f"the library's catalogue has version {version}; "
                                f"this package reads version {_lib.CATALOG_VERSION}")
    out = {}
    for i in range(dll.mosslib_model_count()):
        m = dll.mosslib_model_at(i).contents
        params = []
        for k in range(m.n_params):
            p = m.params[k]
            params.append(ParamInfo(
                name=_text(p.name), unit=_text(p.unit), meaning=_text(p.meaning),
                convention=_text(p.convention), array=p.array, index=p.index,
                integer=bool(p.integer), raw_per_unit=p.raw_per_unit, example=p.example,
                min=p.min, max=p.max, refusal=_text(p.refusal),
                zero_means=p.zero_means))
        info = ModelInfo(
            name=_text(m.name), summary=_text(m.summary), n_ints=m.n_ints,
            n_reals=m.n_reals, output=m.output, params=tuple(params), channels=m.channels,
            channels_param=m.channels_param, max_channels=m.max_channels, scale=m.scale,
            phase_step=m.phase_step, step_param=m.step_param, zero_param=m.zero_param,
            rate_param=m.rate_param, returns=m.returns, return_value=m.return_value,
            lowers_priority=bool(m.lowers_priority))
        out[info.name] = info
    return out


_models = None


def models():
    """All models of the loaded library's catalogue, by export name (in catalogue order)."""
    global _models
    if _models is None:
        _models = _read(_lib.library())
    return _models


def model_names():
    return list(models())


def model(name):
    """The catalogue entry of export `name`; ValueError naming the choices if unknown."""
    found = models().get(name)
    if found is None:
        raise ValueError(f"unknown model {name!r}; the library has: {', '.join(models())}")
    return found


def describe(name):
    """A text table of one model's parameters (name, unit, example, meaning)."""
    m = model(name)
    rows = [f"{m.name}: {m.summary}"]
    for p in m.params:
        where = ("ints" if p.in_ints else "reals") + f"[{p.index}]"
        ex = f"{p.example:g}" if math.isfinite(p.example) else "-"
        rows.append(f"  {p.name:<24} {p.unit:<8} {ex:>10}  {where:<10} {p.meaning}")
    return "\n".join(rows)
