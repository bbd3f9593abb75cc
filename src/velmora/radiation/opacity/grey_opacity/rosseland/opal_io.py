"""Reader for Rosseland-mean opacity tables in the plain-text OPAL layout.

A file holds free header text (usually a summary listing the tables), then
the tables.  Each table starts with a header line such as

    TABLE # 73   X=0.7000 Y=0.2800 Z=0.0200 ...

followed, after optional blank lines, by a column line that contains the word
``logR`` and the log10 R values (R = rho / T6^3, T6 = 1e-6 T), either after
the word on the same line or on the next non-blank line after the word
``logT``.  Then come rows ``log10_T v1 v2 ...`` of log10 kappa
(kappa in cm^2 g^-1).  A row may be shorter than the column line: the missing
entries on the right are holes.  The value 9.999 (``HOLE_MARKER``), which no
physical log10 kappa reaches, is read as a hole as well.  A table ends at the
first non-blank line that does not start with a number.

A ``TABLE #`` line that is not followed by a column line is taken as an entry
of the summary and ignored, unless a data row follows it directly, which is
reported as a table without its logR header.  Rows of numbers between tables
are reported too; in the summary before the first table they are ignored.
"""

from __future__ import annotations

import math
import os
import re
from dataclasses import dataclass
from importlib import resources

import numpy as np

__all__ = ["HOLE_MARKER", "OPALFormatError", "OPALTable", "load_opal", "load_sample",
           "read_opal", "sample_table_path"]

HOLE_MARKER = 9.999

# Tolerance on X and Z when load_opal matches a composition.
COMPOSITION_TOL = 5e-5

_NUMBER = re.compile(r"[-+]?(?:\d+\.?\d*|\.\d+)(?:[eE][-+]?\d+)?")
_TABLE = re.compile(r"\btable\s*#\s*(\d+)", re.IGNORECASE)
_ABUNDANCE = re.compile(r"\b([XYZ])\s*=\s*(" + _NUMBER.pattern + r")")
_LOGR = re.compile(r"\blogR\b", re.IGNORECASE)
_LOGT = re.compile(r"^\s*logT\b", re.IGNORECASE)


class OPALFormatError(ValueError):
    """Malformed OPAL table file; ``path`` and ``lineno`` (1-based) locate the fault."""

    def __init__(self, path, lineno: int, what: str):
        super().__init__(f"{path}, line {lineno}: {what}")
        self.path = path
        self.lineno = lineno


@dataclass(frozen=True, eq=False)
class OPALTable:
    """One composition: log10_kappa[i, j] at (log10_T[i], log10_R[j]), NaN holes;
    ``header`` is the table's header line."""

    number: int
    X: float
    Y: float
    Z: float
    log10_T: np.ndarray
    log10_R: np.ndarray
    log10_kappa: np.ndarray
    header: str


def _is_number(token: str) -> bool:
    return _NUMBER.fullmatch(token) is not None


def _starts_with_number(line: str) -> bool:
    tokens = line.split()
    return bool(tokens) and _is_number(tokens[0])


def _numbers(tokens, path, lineno, what):
    bad = [t for t in tokens if not _is_number(t)]
    if bad:
        raise OPALFormatError(path, lineno, f"non-numeric {what} {bad[0]!r}")
    return [float(t) for t in tokens]


def _is_data_row(line: str) -> bool:
    tokens = line.split()
    return len(tokens) >= 2 and all(map(_is_number, tokens))


def _strictly_increasing(values) -> bool:
    return all(a < b for a, b in zip(values, values[1:]))


class _Lines:
    """The file's lines with 1-based numbers and a cursor."""

    def __init__(self, path):
        self.path = os.fspath(path)
        with open(path, encoding="latin-1") as f:
            self.lines = f.read().splitlines()
        self.pos = 0

    def next_nonblank(self):
        """Advance past blank lines; return (lineno, text) of the next line or None."""
        while self.pos < len(self.lines) and not self.lines[self.pos].strip():
            self.pos += 1
        if self.pos == len(self.lines):
            return None
        return self.pos + 1, self.lines[self.pos]

    def error(self, lineno, what):
        return OPALFormatError(self.path, lineno, what)


def _read_columns(src: _Lines, lineno: int, line: str) -> list[float]:
    """The log10 R values of a column line (cursor on it); leaves the cursor after them."""
    src.pos += 1
    tokens = line[_LOGR.search(line).end():].replace("=", " ").replace(":", " ").split()
    if not tokens:
        found = src.next_nonblank()
        if found is None or not _LOGT.match(found[1]):
            raise src.error(lineno, "logR header without column values")
        lineno, line = found
        tokens = _LOGT.sub("", line).split()
        src.pos += 1
    columns = _numbers(tokens, src.path, lineno, "logR column")
    if len(columns) < 2 or not _strictly_increasing(columns):
        raise src.error(lineno, "logR columns must be at least two, strictly increasing")
    return columns


def _read_rows(src: _Lines, columns):
    """Rows up to the first non-numeric line; returns (log10_T, log10_kappa, row linenos)."""
    found = src.next_nonblank()
    if found is not None and _LOGT.match(found[1]) and not found[1].split()[1:]:
        src.pos += 1                                # a lone "logT" label
    temps, rows, linenos = [], [], []
    while (found := src.next_nonblank()) is not None and _starts_with_number(found[1]):
        lineno, line = found
        src.pos += 1
        t, *values = _numbers(line.split(), src.path, lineno, "entry")
        if len(values) > len(columns):
            raise src.error(lineno, f"row has {len(values)} values for {len(columns)} "
                                    "logR columns")
        if not math.isfinite(t) or (temps and t <= temps[-1]):
            raise src.error(lineno, f"log10 T {t:g} does not increase from the row above")
        temps.append(t)
        rows.append(values)
        linenos.append(lineno)
    kappa = np.full((len(temps), len(columns)), np.nan)
    for i, values in enumerate(rows):
        kappa[i, :len(values)] = values
    kappa[kappa == HOLE_MARKER] = np.nan
    return temps, kappa, linenos


def _composition(src: _Lines, lineno: int, line: str):
    abundance = {k.upper(): float(v) for k, v in _ABUNDANCE.findall(line)}
    if "X" not in abundance or "Z" not in abundance:
        raise src.error(lineno, "table header does not give X= and Z=")
    X, Z = abundance["X"], abundance["Z"]
    return X, abundance.get("Y", 1.0 - X - Z), Z


def read_opal(path) -> list[OPALTable]:
    """Parse every table of an OPAL-layout text file, in file order.

    Each table's arrays are float64 and C-contiguous: ``log10_T`` (n1,),
    ``log10_R`` (n2,) and ``log10_kappa`` (n1, n2) with NaN holes.  All tables
    of one file must share one log10 T grid and one log10 R grid.  Raises
    OPALFormatError (a ValueError) naming the file and line of malformed input.
    """
    src = _Lines(path)
    tables: list[OPALTable] = []
    while (found := src.next_nonblank()) is not None:
        lineno, line = found
        src.pos += 1
        match = _TABLE.search(line)
        if match is None:
            if tables and _is_data_row(line):
                raise src.error(lineno, "data row outside a table")
            continue
        after = src.next_nonblank()
        if after is None or not (_LOGR.search(after[1]) or _is_data_row(after[1])):
            continue                                # a summary entry
        if _is_data_row(after[1]):
            raise src.error(after[0], f"table #{match.group(1)} has no logR header")
        X, Y, Z = _composition(src, lineno, line)
        columns = _read_columns(src, *after)
        temps, kappa, linenos = _read_rows(src, columns)
        if len(temps) < 2:
            raise src.error(lineno, f"table #{match.group(1)} has fewer than two logT rows")
        if tables:
            first = tables[0]
            if columns != first.log10_R.tolist():
                raise src.error(after[0], "logR columns differ from those of "
                                          f"table #{first.number}")
            differ = [k for k, (a, b) in enumerate(zip(temps, first.log10_T)) if a != b]
            if differ or len(temps) != first.log10_T.size:
                where = linenos[differ[0]] if differ else linenos[-1]
                raise src.error(where, f"log10 T rows differ from those of table #{first.number}")
        tables.append(OPALTable(int(match.group(1)), X, Y, Z,
                                np.array(temps, dtype=np.float64),
                                np.array(columns, dtype=np.float64),
                                np.ascontiguousarray(kappa, dtype=np.float64), line.strip()))
    return tables


def load_opal(path, X: float, Z: float, oob: int = 0):
    """The C_OPALGridOpacity of the first table in ``path`` with this X and Z.

    X and Z match within COMPOSITION_TOL.  ``oob``: 0 raise, 1 clamp, 2 NaN
    outside the table.  The law keeps views on the table's arrays, which
    keeps them alive.
    """
    from ._opal_grid import C_OPALGridOpacity

    tables = read_opal(path)
    for t in tables:
        if abs(t.X - X) <= COMPOSITION_TOL and abs(t.Z - Z) <= COMPOSITION_TOL:
            return C_OPALGridOpacity(t.log10_T, t.log10_R, t.log10_kappa, oob)
    held = ", ".join(f"(X={t.X:.4f}, Z={t.Z:.4f})" for t in tables) or "no tables"
    raise ValueError(f"no table with X={X:.4f}, Z={Z:.4f} in {os.fspath(path)}; "
                     f"the file holds {held}")


def sample_table_path():
    """Path of the synthetic sample table shipped with the package."""
    return resources.files(__package__).joinpath("data", "sample_opal.txt")


def load_sample(X: float = 0.7, Z: float = 0.02, oob: int = 0):
    """C_OPALGridOpacity from the shipped synthetic sample table.

    The sample holds (X, Z) = (0.7, 0.02), (0.0, 0.02) and (0.7, 0.001),
    generated from analytic fits (electron scattering, Kramers free-free and
    bound-free, H-); it is not a real opacity tabulation.
    """
    with resources.as_file(sample_table_path()) as path:
        return load_opal(path, X, Z, oob)
