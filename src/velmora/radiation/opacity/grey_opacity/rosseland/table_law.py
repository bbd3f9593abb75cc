"""Opacity laws from OPAL-convention tables: the bare table law, or the law
that covers every (T, rho) by extending its table physically.

The out-of-bounds mode ``oob`` chooses:

- ``"extend"``: C_ExtendedOPALOpacity, the table inside its finite cells and
  a physical extension beyond its edges and in its holes (never raises);
- ``"raise"`` (0), ``"clamp"`` (1), ``"nan"`` (2): C_OPALGridOpacity with that
  mode, ValueError, the nearest tabulated entry, or NaN outside the table.
"""

from __future__ import annotations

__all__ = ["OOB_MODES", "oob_mode", "rows_outside", "table_law"]

OOB_MODES = ("raise", "clamp", "nan", "extend")
_TABLE_MODES = {"raise": 0, "clamp": 1, "nan": 2}


def oob_mode(oob):
    """``"extend"``, or the integer mode of the bare table law (an integer is
    passed on as it is, for the table law to convert)."""
    if isinstance(oob, str):
        if oob == "extend":
            return oob
        if oob in _TABLE_MODES:
            return _TABLE_MODES[oob]
        raise ValueError(f"oob must be one of {', '.join(map(repr, OOB_MODES))} or an integer "
                         f"mode, got {oob!r}")
    return oob


def table_law(table, X: float, Z: float, oob="extend", cold=None):
    """The opacity law of one table (an OPALTable, or anything with arrays
    ``log10_T``, ``log10_R`` and ``log10_kappa``).

    X and Z are the composition of the physical extension (``oob="extend"``),
    ``cold`` the law that stands for the physics beyond the table there (for
    example that of a low-temperature table); both are unused by the bare
    table law's modes.
    """
    mode = oob_mode(oob)
    if mode == "extend":
        from ._opal_extended import C_ExtendedOPALOpacity
        return C_ExtendedOPALOpacity(table.log10_T, table.log10_R, table.log10_kappa, X, Z, cold)
    from ._opal_grid import C_OPALGridOpacity
    return C_OPALGridOpacity(table.log10_T, table.log10_R, table.log10_kappa, mode)


def rows_outside(law, rho, T):
    """How many of the points (rho[k] [g cm^-3], T[k] [K]) lie where a covering
    law is not its table (outside the table or in a hole); None for a law that
    cannot tell."""
    in_table = getattr(law, "in_table", None)
    if in_table is None:
        return None
    return sum(not in_table(float(r), float(t)) for r, t in zip(rho, T))
