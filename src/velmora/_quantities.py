"""Quantities with units (astropy's) at the package's interfaces.

The compiled kernels take plain numbers in documented cgs units. A Quantity
handed to them is converted to those units here, or refused with a message
that says what was expected; plain numbers and arrays never come here. The
opacity laws' methods call :func:`call_law` when an argument carries a unit,
and the Python layer converts its keyword arguments with :func:`value_in`.

astropy is imported only when a Quantity is seen: no Quantity can exist
before ``astropy.units`` is imported.
"""

from __future__ import annotations

import math
import sys

__all__ = ["accepting_quantities", "call_converted", "call_law", "is_quantity", "value_in"]

EXTRA = "pip install 'velmora[units]'"

# The documented unit of each argument of the opacity laws' methods, what it
# is, and the equivalencies that reach it; "log_" + name takes ln of it.
_LAW_ARGUMENTS = {
    "rho": ("g / cm3", "a density", None),
    "T": ("K", "a temperature", "temperature"),
    "nu": ("Hz", "a frequency", "spectral"),
}
# Methods whose result is an opacity in cm^2 g^-1 (the others return ln kappa,
# logarithmic derivatives or truth values).
_OPACITY_RESULTS = ("opacity", "opacity_array")
_OPACITY_UNIT = "cm2 / g"


def is_quantity(x) -> bool:
    """Whether x carries a unit (an astropy Quantity).

    Examples
    --------
    >>> import astropy.units as u
    >>> from velmora._quantities import is_quantity
    >>> is_quantity(3.0 * u.cm), is_quantity(3.0)
    (True, False)
    """
    units = sys.modules.get("astropy.units")
    return units is not None and isinstance(x, units.Quantity)


def _astropy_units():
    try:
        import astropy.units as u
    except ImportError:  # a Quantity without astropy cannot happen; say so all the same
        raise ImportError(f"Quantities need astropy ({EXTRA})") from None
    return u


def value_in(x, unit: str, name: str, what: str, equivalencies=None):
    """x as a plain value in `unit` (an astropy unit string): a Quantity is
    converted, anything else is returned as it is (taken as that unit).

    Raises astropy's UnitConversionError, naming `name` and `what` it must be,
    when the Quantity's unit cannot be converted.

    Examples
    --------
    >>> import astropy.units as u
    >>> from velmora._quantities import value_in
    >>> value_in(2.0 * u.day, "s", "fallback_time", "a time")
    172800.0
    >>> value_in(5.0, "s", "fallback_time", "a time")
    5.0
    >>> value_in(3.0 * u.kg, "s", "fallback_time", "a time")
    Traceback (most recent call last):
        ...
    astropy.units.errors.UnitConversionError: fallback_time must be a time (in s), got a Quantity in kg
    """
    if not is_quantity(x):
        return x
    u = _astropy_units()
    try:
        value = x.to_value(unit, equivalencies=_equivalencies(u, equivalencies))
    except u.UnitsError:
        in_unit = f" (in {unit})" if unit else ""
        raise u.UnitConversionError(f"{name} must be {what}{in_unit}, got a Quantity in {x.unit}") from None
    return float(value) if x.ndim == 0 else value


def _equivalencies(u, name):
    return getattr(u, name)() if name else []


def _ln_value_in(u, x, unit: str, name: str, what: str, equivalencies):
    """ln(x / unit) for a logarithmic Quantity (such as astropy's dex of a
    unit); a dimensionless Quantity is taken as the natural log itself."""
    if isinstance(x, u.LogQuantity):
        try:
            return x.to_value(u.dex(u.Unit(unit)), equivalencies=_equivalencies(u, equivalencies)) * math.log(10.0)
        except u.UnitsError:
            pass
    elif x.unit.physical_type == "dimensionless":
        return x.to_value(u.dimensionless_unscaled)
    raise u.UnitConversionError(
        f"{name} is the natural log of {what} in {unit}: give a number, or a logarithmic Quantity "
        f"such as u.Dex(x, u.dex({unit!r})), not a Quantity in {x.unit}")


def _as_quantity(value, name: str):
    """What the compiled methods' test sent here, as a Quantity or as a plain
    array: an array type with a ``unit`` attribute that is not a Quantity (an
    astropy table Column, say) gives its Quantity, or its bare numbers when its
    unit is None; one that cannot tell its unit to astropy is refused, never
    read as bare numbers."""
    if is_quantity(value) or not hasattr(type(value), "unit"):
        return value
    import numpy as np

    if getattr(value, "unit", None) is None:
        return np.asarray(value)
    quantity = getattr(value, "quantity", None)
    if is_quantity(quantity):
        return quantity
    raise TypeError(f"{name} carries a unit ({type(value).__name__} in {value.unit}) that velmora cannot "
                    "convert: give an astropy Quantity or a plain array in the documented unit")


def call_law(law, method: str, names: tuple, values: tuple):
    """Calls ``law.method`` with `values` (bound to the parameter `names`)
    converted to the documented units; an opacity comes back as a Quantity
    in cm^2 g^-1.

    Called by the compiled opacity methods when one of their arguments
    carries a unit.

    Examples
    --------
    >>> import astropy.units as u
    >>> import numpy as np
    >>> from velmora import ElectronScatteringOpacity
    >>> law = ElectronScatteringOpacity(X=0.7)
    >>> law.opacity(1.0 * u.kg / u.m**3, 1e4 * u.K)
    <Quantity 0.34 cm2 / g>
    >>> law.opacity_array(np.array([1.0, 10.0]) * u.kg / u.m**3, np.array([1e4, 1e6]) * u.K)
    <Quantity [0.34, 0.34] cm2 / g>
    >>> law.log_opacity(u.Dex(4.0, u.dex(u.K)), u.Dex(-3.0, u.dex(u.g / u.cm**3)))  # ln 0.34
    -1.0788096613719298
    """
    u = _astropy_units()
    plain, units = [], False
    for name, value in zip(names, values, strict=True):
        value = _as_quantity(value, f"{type(law).__name__}.{method}(): {name}")
        if not is_quantity(value):
            plain.append(value)
            continue
        units = True
        log = name.startswith("log_")
        unit, what, equivalencies = _LAW_ARGUMENTS[name[4:] if log else name]
        qualified = f"{type(law).__name__}.{method}(): {name}"
        if log:
            plain.append(_ln_value_in(u, value, unit, qualified, what, equivalencies))
        else:
            plain.append(value_in(value, unit, qualified, what, equivalencies))
    result = getattr(law, method)(*plain)
    if units and method in _OPACITY_RESULTS:
        return result << u.Unit(_OPACITY_UNIT)
    return result


# The cgs unit of each argument of the disk framework's functions.
DISK_ARGUMENTS = {
    "R_D": ("cm", "a length"),
    "R_D0": ("cm", "a length"),
    "Sigma": ("g / cm2", "a surface density"),
    "Omega": ("1 / s", "an angular velocity"),
    "M_D": ("g", "a mass"),
    "M_D0": ("g", "a mass"),
    "t_end": ("s", "a time"),
    "t_start": ("s", "a time"),
}


def accepting_quantities(func, units: dict = DISK_ARGUMENTS):
    """`func` with its arguments named in `units` converted from Quantities
    to those units; plain arguments reach it unchanged. The wrapper has
    func's name, docstring and signature.

    Examples
    --------
    >>> import astropy.units as u
    >>> from velmora._quantities import accepting_quantities
    >>> ring = accepting_quantities(lambda R_D, Sigma: (R_D, Sigma))
    >>> ring(1.0 * u.au, Sigma=10.0 * u.kg / u.m**2)
    (14959787070000.0, 1.0)
    """
    import functools
    import inspect

    signature = inspect.signature(func)

    @functools.wraps(func)
    def call(*args, **kwargs):
        if not any(map(is_quantity, args)) and not any(map(is_quantity, kwargs.values())):
            return func(*args, **kwargs)
        bound = signature.bind(*args, **kwargs)
        for name, value in bound.arguments.items():
            if is_quantity(value):
                unit, what = units.get(name, ("", "a plain number"))
                bound.arguments[name] = value_in(value, unit, f"{func.__name__}(): {name}", what)
        return func(*bound.args, **bound.kwargs)

    return call


def call_converted(func, args: tuple, kwargs: dict):
    """``func(*args, **kwargs)`` with the Quantities among the arguments
    converted to the cgs units of :data:`DISK_ARGUMENTS`.

    Called by the compiled drivers of the disk framework (``evolve``,
    ``solve_profile``, ``thermal_equilibria``) when one of their arguments
    carries a unit; the converted call reaches them with plain values.

    Examples
    --------
    >>> import astropy.units as u
    >>> from velmora._quantities import call_converted
    >>> call_converted(lambda R_D, t_end=1.0: (R_D, t_end), (1.0 * u.km,), {"t_end": 1.0 * u.day})
    (100000.0, 86400.0)
    """
    return accepting_quantities(func)(*args, **kwargs)
