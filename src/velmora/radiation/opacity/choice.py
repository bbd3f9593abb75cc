"""The opacity law a program asks for by name.

``opacity_law("es" | "sample" | "opal", X, Z, ...)`` builds the law from the
options a program offers: electron scattering; the shipped synthetic sample
table; or a real OPAL table, either a published set through rm-tables
(``opal_set``, default GS98hz) or a file (``opal_file``). ``table_oob`` says
what a table law does outside its table: "extend" (the covering law: the
table inside, a physical extension outside; with a set, the low-temperature
table below it), "clamp" or "raise".
"""

from __future__ import annotations

__all__ = ["KINDS", "TABLE_OOB", "opacity_law"]

KINDS = ("es", "sample", "opal")
TABLE_OOB = ("extend", "clamp", "raise")


def opacity_law(kind: str = "es", X: float = 0.7, Z: float = 0.02, *, opal_set: str | None = None,
                opal_file=None, table_oob: str = "extend"):
    """The grey opacity law `kind` for composition (X, Z); raises ValueError
    (or OSError, ImportError) saying what is wrong with the request."""
    if table_oob not in TABLE_OOB:
        raise ValueError(f"table_oob must be one of {', '.join(TABLE_OOB)}, got {table_oob!r}")
    if kind not in KINDS:
        raise ValueError(f"kind must be one of {', '.join(KINDS)}, got {kind!r}")
    if (opal_set is not None or opal_file is not None) and kind != "opal":
        raise ValueError("opal_set and opal_file choose the table of kind 'opal'")
    if kind == "es":
        from ._electron_scattering import ElectronScatteringOpacity
        return ElectronScatteringOpacity(X)
    from .grey_opacity import rosseland

    if kind == "sample":
        return rosseland.load_sample(X, Z, table_oob)
    if opal_file is not None:
        if opal_set is not None:
            raise ValueError("give opal_set or opal_file, not both")
        return rosseland.load_opal(opal_file, X, Z, table_oob)
    return rosseland.load_opal_set(X, Z, opal_set or rosseland.DEFAULT_OPAL_SET, table_oob)
