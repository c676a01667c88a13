"""A fit problem compiled once: the free parameters as a vector, ties and derived
parameters as one Python function compiled from their expressions, the model
evaluated on preallocated arrays, the weighted residual written in place.

Problem(model, spectrum, params, weights) gives

    values(x)      every parameter's value (in params' order) from the free vector x
    residual(x)    the weighted residual on the fitted channels (a new array)
    chisqr(x)      its square sum
    minimize(...)  lmfit on the free parameters alone; the result carries the full
                   Parameters (tied values, their standard errors propagated as lmfit
                   propagates them)

The arithmetic is that of model.eval and fitting's residual, operation for operation:
the same bits. A tie is evaluated as lmfit's interpreter evaluates it (Python's
operators, the interpreter's own functions, the bounds of the tied parameter applied
afterwards), once per evaluation, in dependency order.
"""

import ast
import copy
import math

import lmfit
import numpy as np

from . import _lib
from . import raw as _raw

__all__ = ["Problem", "Ties", "JointProblem", "joint_params"]


def _base_methods():
    from .components import Component, _Model
    return Component.absorption, _Model.eval, _Model.parts


_BASE_ABSORPTION, _BASE_EVAL, _BASE_PARTS = _base_methods()


class Ties:
    """All parameter values from the vector of free ones (vary and no expression)."""

    def __init__(self, params):
        self.names = list(params)
        index = {n: k for k, n in enumerate(self.names)}
        self.free = [n for n in self.names if params[n].vary and not params[n].expr]
        self.tied = [n for n in self.names if params[n].expr]
        self.fixed = [n for n in self.names if not params[n].vary and not params[n].expr]
        deps = {}
        for n in self.tied:
            tree = ast.parse(params[n].expr.strip(), mode="eval")
            deps[n] = {node.id for node in ast.walk(tree)
                       if isinstance(node, ast.Name) and node.id in index}
        order, done, busy = [], set(), set()

        def visit(n):
            if n in done:
                return
            if n in busy:
                raise ValueError(f"the ties of {n} form a circle")
            busy.add(n)
            for d in sorted(deps[n], key=index.get):
                if d in deps:
                    visit(d)
            busy.discard(n)
            done.add(n)
            order.append(n)

        for n in self.tied:
            visit(n)
        # Local names: p0, p1, ... (a parameter may be named like a Python builtin);
        # expressions see the parameters under their own names through a rename.
        local = {n: f"_p{k}" for k, n in enumerate(self.names)}
        const = []
        lines = ["def _values(_x):"]
        for k, n in enumerate(self.free):
            lines.append(f"    {local[n]} = _x[{k}]")
        for n in self.fixed:
            const.append(params[n].value)
            lines.append(f"    {local[n]} = _k[{len(const) - 1}]")
        for n in order:
            tree = ast.parse(params[n].expr.strip(), mode="eval")
            expr = ast.unparse(_Rename(local).visit(tree))
            lines.append(f"    {local[n]} = ({expr})")
            lo, hi = float(params[n].min), float(params[n].max)
            # lmfit's value setter: above max -> max, else below min -> min
            if math.isfinite(hi) and math.isfinite(lo):
                lines.append(f"    if {local[n]} > {hi!r}: {local[n]} = {hi!r}\n"
                             f"    elif {local[n]} < {lo!r}: {local[n]} = {lo!r}")
            elif math.isfinite(hi):
                lines.append(f"    if {local[n]} > {hi!r}: {local[n]} = {hi!r}")
            elif math.isfinite(lo):
                lines.append(f"    if {local[n]} < {lo!r}: {local[n]} = {lo!r}")
        lines.append("    return [" + ", ".join(local[n] for n in self.names) + "]")
        namespace = {k: v for k, v in params._asteval.symtable.items()
                     if k not in index and not k.startswith("_")}
        namespace.update(inf=math.inf, nan=math.nan)
        namespace["_k"] = tuple(const)
        code = compile("\n".join(lines), "<ties>", "exec")
        exec(code, namespace)
        self.values = namespace["_values"]
        self.source = "\n".join(lines)

    def start(self, params):
        return np.array([params[n].value for n in self.free], dtype=np.float64)


class _Rename(ast.NodeTransformer):
    def __init__(self, local):
        self.local = local

    def visit_Name(self, node):
        if node.id in self.local:
            return ast.copy_location(ast.Name(id=self.local[node.id], ctx=node.ctx), node)
        return node


class _AxisPlan:
    """What a velocity axis fixes for the fitted channels: their velocities, the
    baseline's groups (one per sweep) and every component's library calls."""

    def __init__(self, model, axis, idx, comps):
        self.axis = axis
        v = axis.velocities()
        self.v = v[idx]
        per = model.baseline.per_sweep and model.baseline.fixed is None
        if per and axis.n_sweeps > 1:
            sw = axis.sweeps()[idx]
            self.groups = []
            for s in range(int(sw.max()) + 1):
                pos = np.flatnonzero(sw == s)
                if pos.size and pos[-1] - pos[0] + 1 == pos.size:
                    pos = slice(int(pos[0]), int(pos[-1]) + 1)   # one run: a view
                self.groups.append((s, pos, self.v[pos]))
        else:
            self.groups = None
        self.calls = [c.tiles(axis) for c in comps]


class _Comp:
    """One component's library calls on preallocated arrays."""

    def __init__(self, comp, index, n):
        self.comp = comp
        info = comp.info
        self.info = info
        ints0, reals0, slots = comp._template()
        self.ints, self.reals = ints0.copy(), reals0.copy()
        self.slots = [(slot, r, index[comp.prefix + name])
                      for name, (slot, r) in zip(comp.param_names, slots)]
        self.fn = _raw.c_function(comp.model)
        self.with_ints = bool(info.n_ints)
        self.ia = self.ints.__array_interface__["data"][0]
        self.ra = self.reals.__array_interface__["data"][0]
        self.n = n
        self.full = None
        self.transmission = info.output == _lib.OUTPUT_TRANSMISSION

    def tiles(self, axis):
        """The calls covering `axis` (Component.calls), with a buffer that holds what
        each writes past its tile."""
        out = self.comp.calls(axis)
        # Every call writes max_channels values from its first channel on; the calls
        # run in channel order, each overwriting what the one before wrote past its
        # tile.
        need = max(i0 for i0, *_ in out) + self.info.max_channels
        if self.full is None or self.full.shape[0] < need:
            self.full = np.empty(need)
            self.fa = self.full.__array_interface__["data"][0]
        return out

    def run(self, x, calls):
        reals = self.reals
        for slot, r, k in self.slots:
            reals[slot] = r * x[k]
        fn, full, fa = self.fn, self.full, self.fa
        for i0, _, z, si, s, rate, count, zi in calls:
            reals[si] = s
            if rate is not None:
                reals[rate[0]] = rate[1]
            if count is not None:
                self.ints[count[0]] = count[1]
            reals[zi] = z
            if self.with_ints:
                fn(self.ia, self.ra, fa + 8 * i0)
            else:
                fn(self.ra, fa + 8 * i0)
            if full[i0] != full[i0]:
                _lib.library().raise_last_error(self.comp.model)
        return full


class _Problem:
    """model on spectrum with the Parameters params (their values, bounds, ties) and
    Poisson weights; see the module docstring."""

    def __init__(self, model, spectrum, params, weights="data"):
        self.model, self.spectrum, self.weights = model, spectrum, weights
        self.params = params
        self.ties = Ties(params)
        names = self.ties.names
        index = {n: k for k, n in enumerate(names)}
        self.index = index
        self.free = self.ties.free
        self.x0 = self.ties.start(params)
        m = spectrum.mask
        self.idx = np.flatnonzero(m)
        self.all_channels = self.idx.size == spectrum.n
        k = self.idx.size
        self.d = spectrum.counts[m]
        self.sd = np.sqrt(spectrum.data_variance()[m])
        self.dlogd = np.where(self.d > 0, self.d * np.log(np.where(self.d > 0, self.d, 1.0)), 0.0)
        axis = spectrum.axis
        if axis is None:
            model.axis_of({}, spectrum)  # refuses in one line
        self.base_axis = axis
        self.axis_keys = [(a, index["axis_" + a]) for a in axis.param_names
                          if "axis_" + a in index]
        self.comps = [_Comp(c, index, spectrum.n) for c in model.components]
        b = model.baseline
        if b.fixed is not None:
            self.base_coef = None
        else:
            self.base_coef = [[index[n] for n in b.names(axis.n_sweeps)[s * (b.degree + 1):
                                                                         (s + 1) * (b.degree + 1)]]
                              for s in range(len(b.names(axis.n_sweeps)) // (b.degree + 1))]
        self.form = model.form
        self._plan_key, self._plan = None, None
        self.a = [np.empty(k) for _ in self.comps]
        self.total = np.empty(k)
        self.base = np.empty(k)
        self.y = np.empty(k)
        self.r = np.empty(k)
        # The fast route lays the library's calls out itself. A model whose evaluation
        # differs from it (a component that post-processes its model's output) is
        # evaluated through model.eval instead: checked once, at the start values.
        self.generic = any(type(c).absorption is not _BASE_ABSORPTION or
                           type(c).__name__ != "Component" for c in model.components) \
            or type(model).eval is not _BASE_EVAL or type(model).parts is not _BASE_PARTS
        if not self.generic:
            values = self.ties.values(list(self.x0))
            try:
                fast = self.model_on(values).copy()
            except (ValueError, ArithmeticError):
                fast = None
            try:
                slow = self._generic_on(values)
            except (ValueError, ArithmeticError):
                slow = None
            if fast is None or slow is None or not np.array_equal(fast, slow, equal_nan=True):
                self.generic = True

    def _generic_on(self, values):
        y = self.model.eval(dict(zip(self.ties.names, values)), self.spectrum)
        return y if self.all_channels else y[self.idx]

    # -- evaluation --------------------------------------------------------------
    def plan(self, values):
        key = tuple(values[i] for _, i in self.axis_keys)
        if key != self._plan_key:
            axis = self.base_axis
            changes = {a: values[i] for a, i in self.axis_keys}
            if changes and any(changes[a] != getattr(axis, a) for a in changes):
                axis = axis.with_values(**changes)
            self._plan = _AxisPlan(self.model, axis, self.idx, self.comps)
            self._plan_key = key
        return self._plan

    def model_values(self, x):
        """The model on the fitted channels (an array this problem reuses)."""
        return self.model_on(self.ties.values(x))

    def model_on(self, values):
        """The model on the fitted channels from every parameter's value (in params'
        order)."""
        if self.generic:
            self.y[:] = self._generic_on(values)
            return self.y
        plan = self.plan(values)
        idx, every = self.idx, self.all_channels
        for j, (c, calls) in enumerate(zip(self.comps, plan.calls)):
            full = c.run(values, calls)
            a = self.a[j]
            if every:
                a[:] = full[:a.shape[0]]
            else:
                np.take(full, idx, out=a)
            if c.transmission:
                np.subtract(1.0, a, out=a)
        if len(self.a) == 1:
            total = self.a[0]
        else:
            total = self.total
            np.add(self.a[0], self.a[1], out=total)
            for a in self.a[2:]:
                np.add(total, a, out=total)
        base = self._baseline(values, plan)
        y = self.y
        if self.form == "transmission":
            np.subtract(1.0, total, out=y)
            np.multiply(base, y, out=y)
        else:
            np.add(base, total, out=y)
        return y

    def _baseline(self, values, plan):
        base = self.base
        if self.base_coef is None:
            base.fill(float(self.model.baseline.fixed))
            return base
        if plan.groups is None:
            _horner([values[i] for i in self.base_coef[0]], plan.v, base)
            return base
        for s, pos, v in plan.groups:
            if isinstance(pos, slice):
                _horner([values[i] for i in self.base_coef[s]], v, base[pos])
            else:
                base[pos] = _horner([values[i] for i in self.base_coef[s]], v, np.empty(v.shape[0]))
        return base

    def residual(self, x):
        return self.residual_on(self.ties.values(x)).copy()  # minimisers keep them

    def residual_on(self, values):
        """The weighted residual (an array this problem reuses) from every value."""
        y = self.model_on(values)
        r, d = self.r, self.d
        if self.weights == "data":
            np.subtract(d, y, out=r)
            np.divide(r, self.sd, out=r)
        elif self.weights == "model":
            np.subtract(d, y, out=r)
            np.divide(r, np.sqrt(np.maximum(y, 1e-300)), out=r)
        else:
            yy = np.maximum(y, 1e-300)
            dev = 2.0 * (yy - d + self.dlogd - np.where(d > 0, d * np.log(yy), 0.0))
            r[:] = np.sign(d - yy) * np.sqrt(np.maximum(dev, 0.0))
        return r

    def chisqr(self, x):
        r = self.residual_on(self.ties.values(x))
        return float(np.dot(r, r))


class Fittable:
    """The fit of a problem that has params, ties (Ties of params), free and
    residual(x)."""

    def free_params(self):
        """lmfit Parameters of the free parameters alone (values and bounds)."""
        p = lmfit.Parameters()
        for n in self.free:
            q = self.params[n]
            p.add(n, value=q.value, min=q.min, max=q.max, vary=True)
        return p

    def minimize(self, method="leastsq", max_nfev=None, scale_covar=True, params=None):
        """lmfit's minimize on the free parameters; returns lmfit's result with
        .params replaced by the full Parameters."""
        free = self.free
        start = self.free_params() if params is None else params

        def residual(p):
            return self.residual([p[n].value for n in free])

        mini = lmfit.Minimizer(residual, start, nan_policy="raise", scale_covar=scale_covar)
        kws = {"max_nfev": max_nfev} if max_nfev else {}
        out = mini.minimize(method=method, **kws)
        out.params = self.full_params(out)
        return out

    def full_params(self, out):
        """The full Parameters at lmfit's free values: tied values as the fit saw them,
        standard errors and correlations as lmfit gives them."""
        full = copy.deepcopy(self.params)
        x = [out.params[n].value for n in self.free]
        for n in self.free:
            q, f = out.params[n], full[n]
            f.value = q.value
            f.stderr, f.correl = q.stderr, q.correl
            f.init_value = q.init_value
        if out.covar is not None:
            for n in self.ties.fixed:
                full[n].stderr = 0
            import uncertainties
            try:
                uvars = uncertainties.correlated_values(np.asarray(x), out.covar)
            except (np.linalg.LinAlgError, ValueError):
                uvars = None
            k = {n: j for j, n in enumerate(self.ties.names)}
            for n in self.ties.tied:
                full[n].stderr = 0
                if uvars is None:
                    continue
                j = k[n]
                try:
                    full[n].stderr = uncertainties.wrap(
                        lambda *xs, _j=j: self.ties.values(list(xs))[_j])(*uvars).std_dev
                except Exception:
                    full[n].stderr = 0
        return full


class Problem(_Problem, Fittable):
    __doc__ = _Problem.__doc__


def prefix_of(k):
    """The prefix of spectrum k (from 0) in a joint fit: d1_, d2_, ..."""
    return f"d{k + 1}_"


def joint_params(params_list, shared):
    """The joint Parameters (see the module docstring)."""
    joint = lmfit.Parameters()
    shared = set(shared)
    for k, params in enumerate(params_list):
        pre = prefix_of(k)
        rename = {n: (n if n in shared else pre + n) for n in params}
        for n, p in params.items():
            if not (n in shared and k > 0):
                joint.add(rename[n], value=p.value, min=p.min, max=p.max, vary=p.vary)
        for n, p in params.items():
            if not p.expr or (n in shared and k > 0):
                continue
            tree = ast.parse(p.expr.strip(), mode="eval")
            refs = {x.id for x in ast.walk(tree) if isinstance(x, ast.Name) and x.id in params}
            if n in shared and not refs <= shared:
                raise ValueError(f"{n} is tied to {', '.join(sorted(refs - shared))}, which "
                                 f"is not shared: share those too, or untie it")
            joint[rename[n]].set(expr=ast.unparse(_Rename(rename).visit(tree)))
    return joint


class JointProblem(Fittable):
    """Several Problems on one vector of free parameters."""

    def __init__(self, spectra, models, params_list, shared, weights="data", joint=None):
        self.shared = list(shared)
        self.params = joint_params(params_list, shared) if joint is None else joint
        self.ties = Ties(self.params)
        self.free = self.ties.free
        self.x0 = self.ties.start(self.params)
        index = {n: j for j, n in enumerate(self.ties.names)}
        self.parts = []
        for k, (s, m, p) in enumerate(zip(spectra, models, params_list)):
            pre = prefix_of(k)
            sub = Problem(m, s, p, weights)
            take = [index[n if n in self.shared else pre + n] for n in sub.ties.names]
            self.parts.append((sub, take))
        self.sizes = [sub.idx.size for sub, _ in self.parts]
        self.r = np.empty(sum(self.sizes))

    def residual_on(self, values):
        r, at = self.r, 0
        for sub, take in self.parts:
            part = sub.residual_on([values[j] for j in take])
            r[at:at + part.shape[0]] = part
            at += part.shape[0]
        return r

    def residual(self, x):
        return self.residual_on(self.ties.values(x)).copy()

    def chisqr(self, x):
        r = self.residual_on(self.ties.values(x))
        return float(np.dot(r, r))

    def sub_values(self, k, values):
        sub, take = self.parts[k]
        return {n: values[j] for n, j in zip(sub.ties.names, take)}


def _horner(c, x, out):
    """np.polynomial.polynomial.polyval(x, c) into out, operation for operation."""
    out.fill(c[-1])
    for a in reversed(c[:-1]):
        np.multiply(out, x, out=out)
        np.add(out, a, out=out)
    return out
