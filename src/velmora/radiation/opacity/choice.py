"""The opacity law a program asks for by name.

``opacity_law("es" | "sample" | "opal", X, Z, ...)`` builds the law from the
options a program offers: electron scattering; the shipped synthetic sample
table; or a real OPAL table, either a published set through rm-tables
(``opal_set``, default GS98hz) or a file (``opal_file``). ``table_oob`` says
what a table law does outside its table: "extend" (the covering law: the
table inside, a physical extension outside; with a set, the low-temperature
table below it), "clamp" or "raise".

Table laws are immutable, and reading a table costs more than a disk run, so
the laws built here are kept for the process: a program that builds many
disks (a sweep) reads each table once. A file is parsed again when its
content changes.
"""

from __future__ import annotations

import collections
import hashlib
import os
import threading

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
        return _kept((kind, X, Z, table_oob), lambda: rosseland.load_sample(X, Z, table_oob))
    if opal_file is not None:
        if opal_set is not None:
            raise ValueError("give opal_set or opal_file, not both")
        stamp = _file_stamp(opal_file)

        def load():
            return rosseland.load_opal(opal_file, X, Z, table_oob)
        return load() if stamp is None else _kept((kind, X, Z, table_oob, stamp), load)
    opal_set = opal_set or rosseland.DEFAULT_OPAL_SET
    return _kept((kind, X, Z, table_oob, opal_set), lambda: rosseland.load_opal_set(X, Z, opal_set, table_oob))


_KEPT_LAWS = 32
_laws: collections.OrderedDict = collections.OrderedDict()
_laws_lock = threading.Lock()


def _file_stamp(path):
    """What identifies a file's tables for the cache: its real path and a
    digest of its bytes (reading and hashing costs a small part of parsing,
    and unlike a modification time it sees every rewrite); None (no caching)
    when the file cannot be read."""
    try:
        real = os.path.realpath(os.fspath(path))
        with open(real, "rb") as f:
            digest = hashlib.file_digest(f, "blake2b").hexdigest()
    except (OSError, TypeError, ValueError):
        return None
    return real, digest


def _kept(key, load):
    """The law of `key`, built by `load` on first use and kept (the last
    _KEPT_LAWS of them). Values are keyed with their types, so that True
    and 1.0 are not taken for one another; an unhashable key is not cached,
    and a failed load is not kept."""
    key = tuple((type(k), k) for k in key)
    try:
        hash(key)
    except TypeError:
        return load()
    with _laws_lock:
        if key in _laws:
            _laws.move_to_end(key)
            return _laws[key]
    law = load()  # outside the lock: two first calls may both read the table
    with _laws_lock:
        _laws[key] = law
        while len(_laws) > _KEPT_LAWS:
            _laws.popitem(last=False)
    return law
