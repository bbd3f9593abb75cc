"""The summary plot of a sweep: the first-collapse time and the peak accretion
rate of every finished case over two of its parameters (needs matplotlib)."""

from __future__ import annotations

import numpy as np

from velmora.constants import DAY

from .summary import DONE

PANELS = (("t_first_collapse", 1.0 / DAY, "first collapse [d]"),
          ("peak_Mdot", 1.0, "peak accretion rate [g s$^{-1}$]"))


def _label(value) -> str:
    return f"{value:.3g}" if isinstance(value, (float, np.floating)) else str(value)


def plot_summary(ds, path, axes=None) -> None:
    """Draws the summary of the sweep `ds` to `path`: over the dimensions
    `axes` (x, y; default the two longest) for a product, the other
    dimensions at their first value; over two varied parameters as a scatter
    for a table of cases. Cases not done are left blank."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.colors as colors
    import matplotlib.pyplot as plt

    dims = [d for d in ds["status"].dims]
    table = dims == ["case"]
    varied = [c for c in ds.coords if ds[c].dims == ("case",) and c != "case"] if table else dims
    if axes is None:
        axes = sorted(varied, key=lambda d: -ds.sizes[d])[:2] if not table else varied[:2]
    x, y = (list(axes) + [None])[:2]
    at = {d: 0 for d in dims if d not in axes} if not table else {}
    sub = ds.isel(at)
    done = sub["status"].values == DONE
    fig, panels = plt.subplots(1, 2, figsize=(11.0, 4.5))
    for ax, (name, scale, title) in zip(panels, PANELS):
        values = np.where(done, sub[name].values * scale, np.nan)
        positive = values[np.isfinite(values) & (values > 0)]
        norm = colors.LogNorm(positive.min(), positive.max()) if positive.size else None
        if table:
            drawn = ax.scatter(sub[x].values, sub[y].values if y else np.zeros(done.size), c=values, norm=norm)
            ax.set_xlabel(x)
            ax.set_ylabel(y or "")
        elif y is None:
            ax.plot(range(values.size), values, "o-")
            ax.set_yscale("log")
            drawn = None
        else:
            grid = sub[name].transpose(y, x)
            values = np.where(sub["status"].transpose(y, x).values == DONE, grid.values * scale, np.nan)
            drawn = ax.pcolormesh(np.arange(ds.sizes[x] + 1) - 0.5, np.arange(ds.sizes[y] + 1) - 0.5,
                                  np.ma.masked_invalid(values), norm=norm, shading="flat")
            ax.set_yticks(range(ds.sizes[y]), [_label(v) for v in ds[y].values])
            ax.set_ylabel(y)
        if not table:
            ax.set_xticks(range(ds.sizes[x]), [_label(v) for v in ds[x].values])
            ax.set_xlabel(x)
        if drawn is not None:
            fig.colorbar(drawn, ax=ax)
        ax.set_title(title)
    if at:
        fig.suptitle(", ".join(f"{d} = {_label(ds[d].values[0])}" for d in at))
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    plt.close(fig)
