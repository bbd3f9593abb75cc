"""Published OPAL Rosseland-mean tables at any composition, without a file.

The tables come from the optional package rm-tables (``pip install
'velmora[tables]'``), which ships the published OPAL Type-1 sets on their
native grid (70 log10 T from 3.75 to 8.70 by 19 log10 R from -8 to 1) and
interpolates them in X and Z, and the low-temperature tables of gas, molecules
and dust (501 K to 31,623 K, the same log10 R axis) that take over below them.
Only rm-tables' data functions are used; its compiled opacity routines are
never called.
"""

from __future__ import annotations

import importlib

import numpy as np

from .opal_io import OPALTable
from .table_law import oob_mode, table_law

__all__ = ["COLD_TABLES", "DEFAULT_OPAL_SET", "load_opal_set", "read_cold_table", "read_opal_set"]

DEFAULT_OPAL_SET = "GS98hz"
COLD_TABLES = ("ferguson",)
EXTRA = "pip install 'velmora[tables]'"


def _source(name: str):
    try:
        return importlib.import_module(f"rm_tables.sources.{name}")
    except ImportError as exc:
        raise ImportError(f"published opacity tables need the package rm-tables ({EXTRA}): "
                          f"{exc}") from None


def _table(X, Z, log_T, log_R, log10_kappa, header) -> OPALTable:
    # rm-tables keeps its axes in float32; the published nodes have two
    # decimals in log10 T and one in log10 R.
    return OPALTable(0, float(X), 1.0 - X - Z, float(Z),
                     np.ascontiguousarray(np.round(np.asarray(log_T, dtype=np.float64), 4)),
                     np.ascontiguousarray(np.round(np.asarray(log_R, dtype=np.float64), 4)),
                     np.ascontiguousarray(log10_kappa, dtype=np.float64), header)


def read_opal_set(X: float, Z: float, opal_set: str = DEFAULT_OPAL_SET) -> OPALTable:
    """The OPAL table of set ``opal_set`` at (X, Z): log10 kappa [cm^2 g^-1]
    on the native grid, NaN in the published blanks."""
    opal = _source("opal")
    if opal_set not in opal.sets():
        raise ValueError(f"no OPAL set {opal_set!r}; the sets are {', '.join(opal.sets())}")
    log_T, log_R = opal.axes()
    kappa = opal.table_at(X, Z, opal_set=opal_set)
    return _table(X, Z, log_T, log_R, kappa, f"OPAL set {opal_set} at X={X:.4f}, Z={Z:.4f}")


def read_cold_table(X: float, Z: float, source: str = "ferguson") -> OPALTable:
    """The low-temperature table (gas, molecules and dust) at (X, Z)."""
    if source not in COLD_TABLES:
        raise ValueError(f"cold must be one of {', '.join(map(repr, COLD_TABLES))} or None, "
                         f"got {source!r}")
    cold = _source(source)
    log_T, log_R = cold.axes()
    return _table(X, Z, log_T, log_R, cold.table_at(X, Z),
                  f"low-temperature table ({source}) at X={X:.4f}, Z={Z:.4f}")


def load_opal_set(X: float, Z: float, opal_set: str = DEFAULT_OPAL_SET, oob="extend",
                  cold: str | None = "ferguson"):
    """The opacity law of OPAL set ``opal_set`` at (X, Z).

    ``oob`` as in table_law: "extend" (default) covers every (T, rho), with the
    ``cold`` low-temperature table (itself extended) standing for the physics
    beyond the OPAL table, or the fully ionised gas when ``cold`` is None;
    "raise", "clamp" and "nan" give the bare table law (``cold`` unused).
    """
    table = read_opal_set(X, Z, opal_set)
    if oob_mode(oob) != "extend" or cold is None:
        return table_law(table, X, Z, oob)
    beyond = table_law(read_cold_table(X, Z, cold), X, Z, "extend")
    return table_law(table, X, Z, "extend", cold=beyond)
