"""The cases of a sweep: disk parameters varied over a grid.

A grid is either a *product* (a mapping from parameter names to lists of
values: every combination is a case, and each parameter is a dimension of the
result) or a *table* (a sequence of mappings, one case each, along the single
dimension ``case``). Parameters not varied keep the values given as `fixed`,
else the disk model's defaults; a derived default (the fallback time and the
circularisation radius follow the hole mass) is derived anew for every case.

Values from the command line or a TOML file are text: ``1e5,1e6,1e7`` lists
values, ``0.01:0.3:5`` gives 5 values evenly spaced from 0.01 to 0.3 and
``0.01:0.3:5log`` 5 values evenly spaced in the logarithm; items combine, as
in ``0.1,1:10:3log``. ``none`` is None (a derived default); booleans read
yes/no, true/false, on/off, 1/0.
"""

from __future__ import annotations

import math
import re
import tomllib
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from functools import cached_property

import numpy as np

__all__ = ["Grid", "disk_parameters", "make_grid", "parse_values", "read_toml"]

TABLE_DIM = "case"
_RANGE = re.compile(r"^([^:]+):([^:]+):(\d+)(log)?$")
_TRUE, _FALSE = ("yes", "true", "on", "1"), ("no", "false", "off", "0")


def disk_model():
    from velmora.dynamics.accretion.one_zone.core import AdvectiveDisk

    return AdvectiveDisk


def disk_parameters() -> dict:
    """The disk model's keywords and their defaults."""
    from velmora.dynamics.accretion.one_zone.disk_parameters import DEFAULTS

    return dict(DEFAULTS)


def _scalar(text: str, default):
    word = text.strip()
    if isinstance(default, bool):
        if word.lower() in _TRUE:
            return True
        if word.lower() in _FALSE:
            return False
        raise ValueError(f"not a boolean: {word!r} (use yes/no, true/false, on/off, 1/0)")
    if word.lower() == "none":
        return None
    if isinstance(default, str):
        return word
    try:
        return float(word)
    except ValueError:
        if isinstance(default, (int, float)):
            raise ValueError(f"not a number: {word!r}") from None
        return word  # a parameter whose default is None: a number or a name


def _range(match) -> list[float]:
    start, stop = float(match.group(1)), float(match.group(2))
    n, log = int(match.group(3)), bool(match.group(4))
    if n < 1:
        raise ValueError(f"a range needs at least 1 value: {match.group(0)!r}")
    if not (math.isfinite(start) and math.isfinite(stop)):
        raise ValueError(f"a range needs finite ends: {match.group(0)!r}")
    if log:
        if start <= 0.0 or stop <= 0.0:
            raise ValueError(f"a logarithmic range needs positive ends: {match.group(0)!r}")
        values = np.geomspace(start, stop, n)
    else:
        values = np.linspace(start, stop, n)
    values[0] = start  # the ends exactly as written
    if n > 1:
        values[-1] = stop
    return [float(v) for v in values]


def parse_values(text: str, default=0.0) -> list:
    """The values `text` lists for a parameter whose default is `default`
    (which decides how a word reads: a number, a boolean or a name)."""
    values = []
    for item in text.split(","):
        if not item.strip():
            raise ValueError(f"empty item in {text!r}")
        match = _RANGE.match(item.strip())
        if match and not isinstance(default, (bool, str)):
            values.extend(_range(match))
        else:
            values.append(_scalar(item, default))
    return values


def _plain(value, name):
    """A value as a plain Python scalar (NumPy scalars included), checked."""
    if isinstance(value, np.generic):
        value = value.item()
    if value is None or isinstance(value, (bool, str)):
        return value
    if isinstance(value, (int, float)):
        return float(value)
    raise TypeError(f"{name}: a value must be a number, a boolean, a string or None, got {type(value).__name__}")


def _coordinate(values) -> np.ndarray:
    """One parameter's values as a coordinate: booleans, numbers (None as
    NaN, a derived default) or strings (None as "")."""
    if all(isinstance(v, bool) for v in values):
        return np.array(values, dtype=bool)
    if all(v is None or (isinstance(v, float)) for v in values):
        return np.array([math.nan if v is None else v for v in values], dtype=np.float64)
    return np.array(["" if v is None else str(v) for v in values], dtype=str)


@dataclass(frozen=True)
class Grid:
    """The cases: `kind` "product" (`axes`: name -> values, in order) or
    "table" (`rows`: one mapping per case); `fixed`: the parameters given
    for every case."""

    kind: str
    axes: tuple          # product: ((name, (values...)), ...)
    rows: tuple          # table: (((name, value), ...), ...)
    fixed: tuple         # ((name, value), ...)

    @property
    def dims(self) -> tuple[str, ...]:
        return tuple(name for name, _ in self.axes) if self.kind == "product" else (TABLE_DIM,)

    @property
    def shape(self) -> tuple[int, ...]:
        return tuple(len(v) for _, v in self.axes) if self.kind == "product" else (len(self.rows),)

    @property
    def size(self) -> int:
        return math.prod(self.shape)

    def describe(self) -> str:
        """The grid's shape in words, e.g. ``mbh 3 x alpha 3 x xi 2``."""
        return " x ".join(f"{d} {n}" for d, n in zip(self.dims, self.shape))

    # Cached (in the instance's __dict__, which frozen does not guard): a
    # table's varied names come from a walk over all its rows, and values(i)
    # reads them for every case.
    @cached_property
    def varied(self) -> tuple[str, ...]:
        if self.kind == "product":
            return self.dims
        return tuple(dict.fromkeys(name for row in self.rows for name, _ in row))

    @cached_property
    def _defaults(self) -> tuple:
        """The model's defaults of the varied parameters, in their order."""
        known = disk_parameters()
        return tuple(known[name] for name in self.varied)

    def values(self, index: int) -> tuple:
        """The varied parameters' values of case `index` (C order over the
        dimensions), in the order of `varied`; a parameter a row of a table
        leaves out has the model's default."""
        if self.kind == "product":
            where = np.unravel_index(index, self.shape)
            return tuple(values[k] for (_, values), k in zip(self.axes, where))
        row = dict(self.rows[index])
        return tuple(row.get(name, default) for name, default in zip(self.varied, self._defaults))

    def distinct(self, name: str) -> list:
        """The values parameter `name` takes over the cases, each once."""
        if self.kind == "product" and name in self.varied:
            values = dict(self.axes)[name]
        elif name in self.varied:
            k = self.varied.index(name)
            values = [self.values(i)[k] for i in range(self.size)]
        else:
            values = [dict(self.fixed).get(name, disk_parameters()[name])]
        return list(dict.fromkeys(values))

    def case(self, index: int) -> dict:
        """The disk keywords of case `index`."""
        return {**dict(self.fixed), **dict(zip(self.varied, self.values(index)))}

    def coords(self) -> dict:
        """Coordinates for the result: one per dimension (product), or one per
        varied parameter along ``case`` (table, with the defaults a row leaves
        out)."""
        if self.kind == "product":
            return {name: (name, _coordinate(values)) for name, values in self.axes}
        coords = {TABLE_DIM: (TABLE_DIM, np.arange(len(self.rows)))}
        columns = zip(*(self.values(i) for i in range(self.size)))
        for name, values in zip(self.varied, columns):
            coords[name] = (TABLE_DIM, _coordinate(list(values)))
        return coords

    def spec(self) -> dict:
        """The grid as plain data (JSON), enough to rebuild it."""
        out = {"kind": self.kind, "fixed": dict(self.fixed)}
        if self.kind == "product":
            out["axes"] = {name: list(values) for name, values in self.axes}
        else:
            out["rows"] = [dict(row) for row in self.rows]
        return out

    def validate(self) -> None:
        """Builds a disk of the fixed parameters alone, then one for every
        value of every varied parameter, each alone with the fixed ones, so
        that a bad value is refused before anything runs, and blamed on the
        parameter it belongs to. A value that only clashes with another
        parameter (the model names both) may suit other cases: such a
        combination fails its case alone."""
        model = disk_model()
        fixed = dict(self.fixed)
        try:
            model(**fixed)
        except (TypeError, ValueError) as exc:
            names = getattr(exc, "names", ())
            # A fault of the fixed values themselves; one that names a varied
            # parameter or a second one is a clash with the defaults, which
            # the varied values may avoid.
            if not self.varied or (len(names) <= 1 and not set(names) & set(self.varied)):
                raise ValueError(str(exc)) from None
        if self.kind == "product":
            pairs = [(name, v) for name, values in self.axes for v in values]
        else:
            pairs = list(dict.fromkeys(item for row in self.rows for item in row))
        for name, value in pairs:
            try:
                model(**{**fixed, name: value})
            except (TypeError, ValueError) as exc:
                if len(getattr(exc, "names", (name,))) > 1:
                    continue
                raise ValueError(f"{name}={value!r}: {exc}") from None


def make_grid(grid, fixed: Mapping | None = None) -> Grid:
    """A Grid from a mapping of lists (a product; a scalar or a text of values
    is allowed), a sequence of mappings or a DataFrame (a table), or a Grid;
    `fixed` gives the parameters that are not varied."""
    known = disk_parameters()
    fixed = dict(fixed or {})
    if isinstance(grid, Grid):
        if fixed:
            grid = make_grid(grid.spec()["axes"] if grid.kind == "product" else grid.spec()["rows"],
                             {**dict(grid.fixed), **fixed})
        return grid
    if hasattr(grid, "to_dict") and hasattr(grid, "columns"):  # a DataFrame: its rows
        grid = grid.to_dict("records")

    from velmora.dynamics.accretion.one_zone.disk_parameters import _unknown

    _unknown(fixed, known, "disk parameter")
    fixed_items = tuple((name, _plain(v, name)) for name, v in fixed.items())
    if isinstance(grid, Mapping):
        axes = []
        _unknown(grid, known, "disk parameter")
        for name, values in grid.items():
            if name in fixed:
                raise ValueError(f"{name} is both varied and fixed")
            if isinstance(values, str):
                values = parse_values(values, known[name])
            elif not isinstance(values, Sequence):  # one value: not a dimension
                fixed_items += ((name, _plain(values, name)),)
                continue
            values = tuple(_plain(v, name) for v in values)
            if not values:
                raise ValueError(f"{name}: no values")
            if len(set(map(repr, values))) != len(values):
                raise ValueError(f"{name}: a value is repeated in {list(values)}")
            axes.append((name, values))
        return Grid("product", tuple(axes), (), fixed_items)
    if isinstance(grid, Sequence) and all(isinstance(row, Mapping) for row in grid):
        if not grid:
            raise ValueError("the table of cases is empty")
        rows = []
        for row in grid:
            _unknown(row, known, "disk parameter")
            for name in row:
                if name in fixed:
                    raise ValueError(f"{name} is both varied and fixed")
            rows.append(tuple((name, _plain(v, name)) for name, v in row.items()))
        return Grid("table", (), tuple(rows), fixed_items)
    raise TypeError("grid must be a mapping of parameter values (a product), a sequence of mappings or a "
                    f"DataFrame (a table of cases), got {type(grid).__name__}")


def read_toml(path) -> dict:
    """A sweep described in a TOML file: ``[grid]`` (a product: lists or text
    of values) or ``[[cases]]`` (a table), ``[fixed]`` (parameters given for
    every case) and ``[run]`` (options of each run). Returns the keywords
    ``grid``, ``fixed`` and ``run``."""
    with open(path, "rb") as f:
        doc = tomllib.load(f)
    unknown = set(doc) - {"grid", "cases", "fixed", "run"}
    if unknown:
        raise ValueError(f"{path}: unknown table {sorted(unknown)[0]!r} (use grid, cases, fixed, run)")
    if ("grid" in doc) == ("cases" in doc):
        raise ValueError(f"{path}: give either [grid] (a product) or [[cases]] (a table)")
    return {"grid": doc.get("grid", doc.get("cases")), "fixed": doc.get("fixed", {}), "run": doc.get("run", {})}

