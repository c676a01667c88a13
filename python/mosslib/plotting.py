"""Plots of a fit: data with Poisson error bars, the total model, each component on the
baseline, normalised residuals underneath; velocity in mm/s. Headless (Agg); the file
type follows the name (.png, .svg, .pdf)."""

import numpy as np

__all__ = ["plot_fit"]


def plot_fit(result, path=None, y="counts", title=None):
    """Draw `result` (a FitResult); y='counts' or 'transmission' (counts / baseline).
    Writes `path` when given; returns the matplotlib Figure."""
    # A bare Figure draws through Agg whatever pyplot's backend: no display needed.
    from matplotlib.figure import Figure

    if y not in ("counts", "transmission"):
        raise ValueError(f"y={y!r}: 'counts' or 'transmission'")
    s, model = result.spectrum, result.model
    v, base, _ = model.parts(result.params, s)
    sweeps = result.axis.sweeps()
    m = s.mask
    sd = np.sqrt(s.data_variance())
    norm = base if (y == "transmission" and model.form == "transmission") else np.ones_like(base)
    fig = Figure(figsize=(8, 6), layout="constrained")
    ax, res = fig.subplots(2, 1, sharex=True, height_ratios=[3, 1])
    markers = ["o", "s"]
    for k in range(int(sweeps.max()) + 1):
        sel = m & (sweeps == k)
        label = "data" if sweeps.max() == 0 else f"data, sweep {k + 1}"
        ax.errorbar(v[sel], s.counts[sel] / norm[sel], yerr=sd[sel] / norm[sel], fmt=markers[k % 2],
                    ms=2.5, mfc="none", lw=0.6, color="0.35" if k == 0 else "0.6", label=label,
                    zorder=1)
    curves = model.curves(result.params, s)
    for k in range(int(sweeps.max()) + 1):
        idx = np.flatnonzero(sweeps == k)
        idx = idx[np.argsort(v[idx], kind="stable")]
        if k == 0:
            for prefix, curve in curves.items():
                ax.plot(v[idx], (curve / norm)[idx], lw=1.0,
                        label=prefix.rstrip("_") or "component", zorder=2)
        ax.plot(v[idx], (result.best_fit / norm)[idx], color="k", lw=1.3 if k == 0 else 0.9,
                ls="-" if k == 0 else "--", label="total" if k == 0 else f"total, sweep {k + 1}",
                zorder=3)
    ax.set_ylabel("counts" if y == "counts" else "relative transmission")
    ax.legend(fontsize=8, loc="lower center", bbox_to_anchor=(0.5, 1.0), ncol=4, frameon=False)
    fig.suptitle(title or f"{s.name}   (reduced chi-square {result.redchi:.3g})", fontsize=10)
    r = (s.counts - result.best_fit) / sd
    for k in range(int(sweeps.max()) + 1):
        sel = m & (sweeps == k)
        res.plot(v[sel], r[sel], markers[k % 2], ms=2, mfc="none",
                 color="0.35" if k == 0 else "0.6")
    res.axhline(0, color="k", lw=0.8)
    res.set_ylabel("residual / sigma")
    res.set_xlabel("velocity (mm/s)")
    if path is not None:
        fig.savefig(path, dpi=150)
    return fig
