"""Parameter sweeps of the one-zone disk on dask.distributed.

``velmora.sweep(grid, output, ...)`` runs a disk for every case of a grid of
disk parameters (a product of values, or a table of cases) on a LocalCluster
of this machine or on any dask.distributed scheduler, and returns an xarray
Dataset over the grid's dimensions, written to a Zarr store as cases finish
and resumable; ``velmora-disk sweep`` is the same from the command line.
Needs the extra ``velmora[sweep]`` (dask[distributed], xarray, zarr, tqdm).
"""

from .engine import sweep
from .grid import Grid, make_grid, parse_values, read_toml
from .store import StoreMismatch, open_sweep

__all__ = ["Grid", "StoreMismatch", "make_grid", "open_sweep", "parse_values", "read_toml", "sweep"]
