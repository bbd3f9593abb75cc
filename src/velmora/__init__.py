"""velmora: compiled numerical kernels of an astrophysics code, and the
Python interface on top of them.

What a researcher uses is importable from here (loaded on first use):

- the disk model ``AdvectiveDisk`` and its results ``Evolution``,
  ``Profile`` and ``SCurve``, ``load`` (a result file back into a result),
  ``COLUMNS`` (the (name, unit, meaning) of the writer's 21 columns) and
  ``ParameterError``;
- the disk framework's functions ``evolve``, ``solve_profile``,
  ``thermal_equilibria`` (astropy Quantities converted) and
  ``model_info``; the compiled ``AdvectiveClosure``;
- the opacity laws ``ElectronScatteringOpacity``, ``C_OPALGridOpacity``,
  ``C_TOPSGridOpacity``, ``C_ExtendedOPALOpacity`` and their base types
  ``C_GreyKappaCore``, ``C_KappaCore``; the loaders ``read_opal``,
  ``load_opal``, ``load_sample``, ``load_opal_set`` (rm-tables) and
  ``opacity_law`` (a law by name);
- the root finder ``py_find_root``, ``py_brent_root``,
  ``py_expand_bracket``;
- ``sweep``: a disk for every case of a grid of parameters, on
  dask.distributed (the extra ``velmora[sweep]``);
- ``constants``: the cgs constants (CODATA values of the closure, the solar
  mass and radius, the day and the year).

Subpackages
-----------
radiation.opacity
    Opacity laws: the base types (``kappa_core``) and the tabulated OPAL and
    TOPS laws.
math_utils
    A bracketed root finder (bracket expansion plus Brent's method).
dynamics.accretion.one_zone
    The one-zone accretion-disk framework, its advective closure, and the
    model class with its results.

Units are cgs throughout; logarithms are natural unless a name says log10.

Examples
--------
>>> from velmora import AdvectiveDisk
>>> run = AdvectiveDisk(mbh=1e6).evolve(t_end=1e7, n_out=3)
>>> run.status, run.units["T_c"]
('done', 'K')
"""

__version__ = "0.1.0"

# Public name -> the module that defines it. Nothing is imported before it is
# asked for: rm-tables, astropy and xarray load only where a name needs them.
_EXPORTS = {
    "AdvectiveDisk": "velmora.dynamics.accretion.one_zone.core",
    "ParameterError": "velmora.dynamics.accretion.one_zone.core",
    "evolve": "velmora.dynamics.accretion.one_zone.core",
    "solve_profile": "velmora.dynamics.accretion.one_zone.core",
    "thermal_equilibria": "velmora.dynamics.accretion.one_zone.core",
    "Evolution": "velmora.dynamics.accretion.one_zone.results",
    "Profile": "velmora.dynamics.accretion.one_zone.results",
    "SCurve": "velmora.dynamics.accretion.one_zone.results",
    "load": "velmora.dynamics.accretion.one_zone.result_files",
    "model_info": "velmora.dynamics.accretion.one_zone.closure",
    "AdvectiveClosure": "velmora.dynamics.accretion.one_zone.models._gasrad_adv",
    "ElectronScatteringOpacity": "velmora.radiation.opacity",
    "C_GreyKappaCore": "velmora.radiation.opacity.kappa_core",
    "C_KappaCore": "velmora.radiation.opacity.kappa_core",
    "C_OPALGridOpacity": "velmora.radiation.opacity.grey_opacity.rosseland._opal_grid",
    "C_TOPSGridOpacity": "velmora.radiation.opacity.grey_opacity._tops_grid",
    "C_ExtendedOPALOpacity": "velmora.radiation.opacity.grey_opacity.rosseland._opal_extended",
    "read_opal": "velmora.radiation.opacity.grey_opacity.rosseland",
    "load_opal": "velmora.radiation.opacity.grey_opacity.rosseland",
    "load_sample": "velmora.radiation.opacity.grey_opacity.rosseland",
    "load_opal_set": "velmora.radiation.opacity.grey_opacity.rosseland",
    "opacity_law": "velmora.radiation.opacity.choice",
    "py_find_root": "velmora.math_utils._bracket_solver",
    "py_brent_root": "velmora.math_utils._bracket_solver",
    "py_expand_bracket": "velmora.math_utils._bracket_solver",
    "sweep": "velmora.sweeps",
}
_SUBMODULES = ("constants",)

__all__ = sorted([*_EXPORTS, "COLUMNS", *_SUBMODULES])


def __getattr__(name):
    import importlib

    if name in _EXPORTS:
        value = getattr(importlib.import_module(_EXPORTS[name]), name)
    elif name == "COLUMNS":
        from velmora.dynamics.accretion.one_zone.results import model_columns
        value = model_columns()
    elif name in _SUBMODULES:
        value = importlib.import_module(f"velmora.{name}")
    else:
        raise AttributeError(f"module 'velmora' has no attribute {name!r}")
    globals()[name] = value
    return value


def __dir__():
    return sorted(set(globals()) | set(__all__))
