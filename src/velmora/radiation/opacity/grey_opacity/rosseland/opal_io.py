"""Reader for Rosseland-mean opacity tables in the plain-text OPAL layouts.

A file holds free header text (usually a summary listing the tables), then
the tables.  Each table starts with a header line such as

    TABLE # 73   X=0.7000 Y=0.2800 Z=0.0200 ...

and holds rows of log10 T (T in K) followed by log10 kappa (kappa in
cm^2 g^-1) at the columns' log10 R (R = rho / T6^3, T6 = 1e-6 T).  Two layouts
are read:

The published layout.  A summary section lists every table by its header line
before a banner ``*** Tables ***``; after the banner every ``TABLE #`` line
begins a table.  A table is its header line, a label line ``log R`` (or
``logR``) on its own, a column line ``logT`` followed by the log10 R values,
and the rows.  The column values stand right-aligned in 7-character fields
after the 4-character ``logT``; the rows are fixed width: a 4-character
log10 T, then one 7-character field per column.  A field may be blank, inside
a row or at its right end (the hot, dense corner); blank fields are holes.

The project's own layout (the shipped synthetic sample): a column line that
holds ``logR`` and the values (or ``logR`` alone, with the values on the next
``logT`` line, not at the published positions), an optional lone ``logT`` line,
and rows of whitespace-separated numbers.  A row may be short only at its right
end: its entries must stand in the columns of the last full row above it.

In both layouts the value 9.999 (``HOLE_MARKER``), which no physical
log10 kappa reaches, is a hole, and a table ends at the first non-blank line
that is not a row.  Without a banner, a ``TABLE #`` line that no column label
follows is a summary entry.  Line ends may be LF or CRLF.

Errors (``OPALFormatError``, a ValueError) name the file, the line, the table
and what was expected there.  The tables of one file share one log10 T grid
and one log10 R grid; a table whose rows differ from the others' is named with
the row it lacks.  Tables the summary lists but the file does not hold (a
truncated file) are errors, and so is a file with ``TABLE #`` headers from
which no table is read.

The reader is linear in the size of the file: every line is split or sliced
once, and numbers are recognised by their characters and ``float``; no
pattern can backtrack.
"""

from __future__ import annotations

import os
from collections import Counter
from dataclasses import dataclass
from importlib import resources

import numpy as np

__all__ = ["HOLE_MARKER", "OPALFormatError", "OPALTable", "load_opal", "load_sample",
           "read_opal", "sample_table_path"]

HOLE_MARKER = 9.999

# Tolerance on X and Z when load_opal matches a composition.
COMPOSITION_TOL = 5e-5

# The published fixed-width layout: a 4-character log10 T, then 7-character
# fields; the column line's values end one character left of their fields.
T_WIDTH = 4
FIELD_WIDTH = 7

_NUMBER_CHARS = "0123456789+-.eE"


class OPALFormatError(ValueError):
    """Malformed OPAL table file; ``path``, ``lineno`` (1-based) and ``table``
    (the table number, or None outside a table) locate the fault."""

    def __init__(self, path, lineno: int, what: str, table: int | None = None):
        where = f"{path}, line {lineno}: " + (f"table #{table}: " if table is not None else "")
        super().__init__(where + what)
        self.path = path
        self.lineno = lineno
        self.table = table


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


# --- tokens ------------------------------------------------------------------------

def _number(token: str):
    """The float a token spells in plain decimal notation, or None (no nan, inf
    or underscores).  Linear: one strip and one float()."""
    if not token or token.strip(_NUMBER_CHARS):
        return None
    try:
        return float(token)
    except ValueError:
        return None


def _shown(text: str) -> str:
    """A token as an error message quotes it, cut short when long."""
    return repr(text if len(text) <= 24 else text[:20] + "...")


def _starts_with_number(line: str) -> bool:
    tokens = line.split(None, 1)
    return bool(tokens) and _number(tokens[0]) is not None


def _is_data_row(line: str) -> bool:
    tokens = line.split()
    return len(tokens) >= 2 and all(_number(t) is not None for t in tokens)


def _token_ends(line: str) -> list[int]:
    """Column just past each whitespace-separated token (tabs expanded)."""
    ends, inside = [], False
    expanded = line.expandtabs()
    for k, c in enumerate(expanded):
        if c.isspace():
            if inside:
                ends.append(k)
            inside = False
        else:
            inside = True
    if inside:
        ends.append(len(expanded))
    return ends


def _label_end(line: str, letter: str, leading: bool = False) -> int:
    """End of the first label ``log<letter>`` or ``log <letter>`` (any case)
    standing as a word in the line, or -1; with `leading`, only a label that
    begins the line (after blanks) counts."""
    low = line.lower()
    start = len(low) - len(low.lstrip()) if leading else low.find("log")
    while start >= 0 and low.startswith("log", start):
        k = start + 3
        while k < len(low) and low[k] in " \t":
            k += 1
        if (k < len(low) and low[k] == letter and (start == 0 or not low[start - 1].isalnum())
                and (k + 1 == len(low) or not low[k + 1].isalnum())):
            return k + 1
        start = -1 if leading else low.find("log", start + 3)
    return -1


def _table_number(line: str):
    """The number of a ``TABLE #`` header line, or None."""
    low = line.lower()
    start = low.find("table")
    while start >= 0:
        k = start + 5
        if start == 0 or not low[start - 1].isalnum():
            while k < len(low) and low[k] in " \t":
                k += 1
            if k < len(low) and low[k] == "#":
                k += 1
                while k < len(low) and low[k] in " \t":
                    k += 1
                digits = k
                while k < len(low) and low[k].isdigit():
                    k += 1
                if k > digits:
                    return int(low[digits:k])
        start = low.find("table", start + 5)
    return None


def _abundances(line: str) -> dict:
    """``NAME=value`` pairs of a header line, for the names X, Y and Z."""
    tokens = line.replace("=", " = ").split()
    found = {}
    for k in range(1, len(tokens) - 1):
        if tokens[k] == "=" and tokens[k - 1] in ("X", "Y", "Z"):
            value = _number(tokens[k + 1])
            if value is not None:
                found.setdefault(tokens[k - 1], value)
    return found


def _is_banner(line: str) -> bool:
    """The ``*** Tables ***`` line that ends the summary of a published file."""
    text = line.strip()
    return text.startswith("*") and text.strip("* \t").lower() == "tables"


# --- the file ------------------------------------------------------------------------

class _Source:
    """The file's lines with 1-based numbers and a cursor."""

    def __init__(self, path):
        self.path = os.fspath(path)
        with open(path, "rb") as f:
            raw = f.read().decode("latin-1")
        self.ends_cut = bool(raw) and not raw.endswith("\n")
        self.lines = [line[:-1] if line.endswith("\r") else line for line in raw.split("\n")]
        if not self.ends_cut and self.lines and self.lines[-1] == "":
            self.lines.pop()
        self.pos = 0

    def next_nonblank(self):
        """Advance past blank lines; return (lineno, text) of the next line or None."""
        while self.pos < len(self.lines) and not self.lines[self.pos].strip():
            self.pos += 1
        if self.pos == len(self.lines):
            return None
        return self.pos + 1, self.lines[self.pos]

    def error(self, lineno, what, table=None):
        return OPALFormatError(self.path, lineno, what, table)


@dataclass
class _Read:
    """A table as read, before the checks across tables."""

    number: int
    lineno: int
    header: str
    X: float
    Y: float
    Z: float
    columns: list
    columns_lineno: int
    temps: list
    rows: list
    linenos: list


def _numbers(src: _Source, tokens, lineno: int, what: str, number: int) -> list[float]:
    values = [_number(t) for t in tokens]
    if None in values:
        bad = tokens[values.index(None)]
        raise src.error(lineno, f"non-numeric {what} {_shown(bad)}", number)
    return values


def _columns(src: _Source, number: int, lineno: int, line: str):
    """The log10 R values of the column line(s) starting at `line` (the cursor
    on it); returns (values, lineno of the values, published layout?)."""
    src.pos += 1
    rest = line[_label_end(line, "r"):]
    tokens = rest.replace("=", " ").replace(":", " ").split()
    published = False
    if not tokens:
        found = src.next_nonblank()
        end = -1 if found is None else _label_end(found[1], "t", leading=True)
        if end < 0:
            raise src.error(lineno, "logR header without column values: expected a 'logT' line "
                                    "with the log10 R columns after the label", number)
        lineno, line = found
        src.pos += 1
        tokens = line[end:].split()
        ends = _token_ends(line)[1:]
        published = (line.startswith("logT") and bool(ends)
                     and ends == [T_WIDTH + FIELD_WIDTH - 1 + FIELD_WIDTH * k for k in range(len(ends))])
    values = _numbers(src, tokens, lineno, "logR column", number)
    if len(values) < 2 or any(a >= b for a, b in zip(values, values[1:])):
        raise src.error(lineno, "logR columns must be at least two, strictly increasing", number)
    return values, lineno, published


def _fixed_row(src: _Source, number: int, lineno: int, line: str, columns):
    """log10 T and the entries of a published-layout row (blank fields NaN)."""
    t = _number(line[:T_WIDTH].strip())
    if t is None:
        found = line[:T_WIDTH].strip()
        raise src.error(lineno, "expected log10 T in columns 1-4, found "
                                + (_shown(found) if found else "a blank field"), number)
    values = []
    for k, log10_R in enumerate(columns):
        field = line[T_WIDTH + FIELD_WIDTH * k:T_WIDTH + FIELD_WIDTH * (k + 1)].strip()
        if not field:
            values.append(np.nan)
            continue
        v = _number(field)
        if v is None:
            first = T_WIDTH + FIELD_WIDTH * k + 1
            raise src.error(lineno, f"expected a number or a blank in columns {first}-"
                                    f"{first + FIELD_WIDTH - 1} (log R = {log10_R:g}), found "
                                    f"{_shown(field)}", number)
        values.append(v)
    extra = line[T_WIDTH + FIELD_WIDTH * len(columns):].strip()
    if extra:
        raise src.error(lineno, f"row has more than the {len(columns)} fields of the column "
                                f"line: {_shown(extra)}", number)
    return t, values


def _free_row(src: _Source, number: int, lineno: int, line: str, columns, full_row):
    """log10 T and the entries of a whitespace-separated row; `full_row` is
    (lineno, token ends) of the last row with every column, or None."""
    t, *values = _numbers(src, line.split(), lineno, "entry", number)
    if len(values) > len(columns):
        raise src.error(lineno, f"row has {len(values)} values for {len(columns)} logR columns",
                        number)
    if len(values) < len(columns) and full_row is not None and "\t" not in line:
        ends = _token_ends(line)
        if ends != full_row[1][:len(ends)]:
            raise src.error(lineno, f"the row's {len(values)} entries do not stand in the columns "
                                    f"of the full row at line {full_row[0]}: a blank field "
                                    "inside the row? (rows may be short only at the right end)",
                            number)
    return t, values


def _rows(src: _Source, number: int, columns, published: bool):
    """Rows up to the first non-blank line that is not one; returns
    (log10_T, rows, linenos)."""
    found = src.next_nonblank()
    end = -1 if found is None or published else _label_end(found[1], "t", leading=True)
    if end >= 0 and not found[1][end:].strip():
        src.pos += 1                                # a lone "logT" label
    temps, rows, linenos = [], [], []
    full_row = None
    while (found := src.next_nonblank()) is not None and _starts_with_number(found[1]):
        lineno, line = found
        src.pos += 1
        if published:
            t, values = _fixed_row(src, number, lineno, line, columns)
        else:
            t, values = _free_row(src, number, lineno, line, columns, full_row)
            if len(values) == len(columns) and "\t" not in line:
                full_row = (lineno, _token_ends(line))
        if temps and not t > temps[-1]:
            raise src.error(lineno, f"log10 T {t:g} does not increase from the row above", number)
        temps.append(t)
        rows.append(values)
        linenos.append(lineno)
    if src.ends_cut and src.pos == len(src.lines) and linenos and linenos[-1] == len(src.lines):
        raise src.error(linenos[-1], "the file ends inside this row, without a line end "
                                     "(truncated?)", number)
    return temps, rows, linenos


def _table(src: _Source, number: int, lineno: int, line: str, after) -> _Read:
    abundance = _abundances(line)
    if "X" not in abundance or "Z" not in abundance:
        raise src.error(lineno, "table header does not give X= and Z=", number)
    X, Z = abundance["X"], abundance["Z"]
    columns, columns_lineno, published = _columns(src, number, *after)
    temps, rows, linenos = _rows(src, number, columns, published)
    if len(temps) < 2:
        raise src.error(lineno, f"table #{number} has fewer than two logT rows", number)
    return _Read(number, lineno, line.strip(), X, abundance.get("Y", 1.0 - X - Z), Z,
                 columns, columns_lineno, temps, rows, linenos)


def _consensus(tables: list[_Read], key):
    """The grid most tables share (the earliest on a tie) and its first table."""
    counts = Counter(key(t) for t in tables)
    first = {}
    for t in tables:
        first.setdefault(key(t), t)
    grid = max(counts, key=lambda g: (counts[g], -tables.index(first[g])))
    return grid, first[grid]


def _check_grids(src: _Source, tables: list[_Read]) -> None:
    """All tables on one grid: the one most tables share (the first's on a tie)."""
    columns, ref = _consensus(tables, lambda t: tuple(t.columns))
    for t in tables:
        if tuple(t.columns) != columns:
            raise src.error(t.columns_lineno, f"logR columns differ from those of table "
                                              f"#{ref.number}", t.number)
    temps, ref = _consensus(tables, lambda t: tuple(t.temps))
    for t in tables:
        if tuple(t.temps) == temps:
            continue
        differ = f"log10 T rows differ from those of table #{ref.number}: "
        k = next((k for k, (a, b) in enumerate(zip(t.temps, temps)) if a != b), None)
        if k is None and len(t.temps) < len(temps):
            raise src.error(t.linenos[-1], differ + f"the table ends after log10 T = "
                                                    f"{t.temps[-1]:g}; expected the row log10 T "
                                                    f"= {temps[len(t.temps)]:g}", t.number)
        if k is None:
            raise src.error(t.linenos[len(temps)], differ + f"unexpected row log10 T = "
                                                            f"{t.temps[len(temps)]:g} after the "
                                                            f"last, {temps[-1]:g}", t.number)
        if t.temps[k] > temps[k]:
            raise src.error(t.linenos[k], differ + f"the row log10 T = {temps[k]:g} is missing "
                                                   f"(found log10 T = {t.temps[k]:g})", t.number)
        raise src.error(t.linenos[k], differ + f"expected the row log10 T = {temps[k]:g}, found "
                                               f"log10 T = {t.temps[k]:g}", t.number)


def read_opal(path) -> list[OPALTable]:
    """Parse every table of an OPAL-layout text file, in file order.

    Each table's arrays are float64 and C-contiguous: ``log10_T`` (n1,),
    ``log10_R`` (n2,) and ``log10_kappa`` (n1, n2) with NaN holes.  All tables
    of one file must share one log10 T grid and one log10 R grid.  Raises
    OPALFormatError (a ValueError) naming the file, the line, the table and
    what was expected there.
    """
    src = _Source(path)
    banner = next((k for k, line in enumerate(src.lines) if _is_banner(line)), None)
    summary = []                                    # (number, lineno) of summary entries
    headers = []                                    # (number, lineno) of every header line
    read: list[_Read] = []
    while (found := src.next_nonblank()) is not None:
        lineno, line = found
        src.pos += 1
        number = _table_number(line)
        if number is None:
            if read and _is_data_row(line):
                raise src.error(lineno, "data row outside a table")
            continue
        headers.append((number, lineno))
        if banner is not None and lineno <= banner:
            summary.append((number, lineno))
            continue
        after = src.next_nonblank()
        labelled = after is not None and _label_end(after[1], "r") >= 0
        if not labelled:
            if after is not None and _is_data_row(after[1]):
                raise src.error(after[0], f"table #{number} has no logR header", number)
            if banner is not None:
                seen = _shown(after[1].strip()) if after is not None else "the end of the file"
                raise src.error(after[0] if after is not None else lineno,
                                f"expected the 'log R' label line after the header, found {seen}",
                                number)
            continue                                # a summary entry
        read.append(_table(src, number, lineno, line, after))
    if not read and headers:
        number, lineno = headers[0]
        raise src.error(lineno, f"no table could be read: none of the {len(headers)} 'TABLE #' "
                                "headers is followed by a 'log R' (or 'logR') column label",
                        number)
    if read:
        _check_grids(src, read)
    held = {t.number for t in read}
    for number, lineno in summary:
        if number not in held:
            last = read[-1] if read else None
            tail = (f"; the file ends at line {len(src.lines)}"
                    + (f", after table #{last.number}" if last else "") + " (truncated?)")
            raise src.error(lineno, f"table #{number}, listed in the summary, is not in the file"
                                    + tail)
    tables = []
    for t in read:
        kappa = np.full((len(t.temps), len(t.columns)), np.nan)
        for i, values in enumerate(t.rows):
            kappa[i, :len(values)] = values
        kappa[kappa == HOLE_MARKER] = np.nan
        tables.append(OPALTable(t.number, t.X, t.Y, t.Z, np.array(t.temps, dtype=np.float64),
                                np.array(t.columns, dtype=np.float64),
                                np.ascontiguousarray(kappa, dtype=np.float64), t.header))
    return tables


def find_table(tables, X: float, Z: float, source) -> OPALTable:
    """The first table with this X and Z (within COMPOSITION_TOL), or ValueError
    listing what `source` (a path, named in the message) holds."""
    for t in tables:
        if abs(t.X - X) <= COMPOSITION_TOL and abs(t.Z - Z) <= COMPOSITION_TOL:
            return t
    held = ", ".join(f"(X={t.X:.4f}, Z={t.Z:.4f})" for t in tables) or "no tables"
    raise ValueError(f"no table with X={X:.4f}, Z={Z:.4f} in {os.fspath(source)}; "
                     f"the file holds {held}")


def load_opal(path, X: float, Z: float, oob=0, cold=None):
    """The opacity law of the first table in ``path`` with this X and Z.

    X and Z match within COMPOSITION_TOL.  ``oob`` chooses what happens
    outside the table (see ``table_law``): 0 or "raise", 1 or "clamp", 2 or
    "nan" give the bare C_OPALGridOpacity, which keeps views on the table's
    arrays (and so keeps them alive); "extend" gives the C_ExtendedOPALOpacity
    that covers every (T, rho) physically, with the optional ``cold`` law
    beyond the table's cool edge.
    """
    from .table_law import table_law

    table = find_table(read_opal(path), X, Z, path)
    return table_law(table, X, Z, oob, cold=cold)


def sample_table_path():
    """Path of the synthetic sample table shipped with the package."""
    return resources.files(__package__).joinpath("data", "sample_opal.txt")


def load_sample(X: float = 0.7, Z: float = 0.02, oob=0, cold=None):
    """The opacity law of the shipped synthetic sample table (``oob`` as in
    load_opal).

    The sample holds (X, Z) = (0.7, 0.02), (0.0, 0.02) and (0.7, 0.001),
    generated from analytic fits (electron scattering, Kramers free-free and
    bound-free, H-); it is not a real opacity tabulation.
    """
    with resources.as_file(sample_table_path()) as path:
        return load_opal(path, X, Z, oob, cold=cold)
