"""The optional packages a sweep runs on, imported only when a sweep needs them."""

from __future__ import annotations

import importlib

EXTRA = "velmora[sweep]"
PACKAGES = {"distributed": "dask[distributed]", "xarray": "xarray", "zarr": "zarr", "tqdm": "tqdm"}


class MissingExtra(ImportError):
    """A package of the sweep extra is not installed."""


def require(*names: str):
    """The modules `names` (keys of PACKAGES), or MissingExtra in one line
    naming the extra that brings them."""
    modules = []
    for name in names:
        try:
            modules.append(importlib.import_module(name))
        except ImportError as exc:
            raise MissingExtra(
                f"sweeps need {PACKAGES[name]}, which is not installed (pip install '{EXTRA}')") from exc
    return modules[0] if len(modules) == 1 else modules
