"""Where a sweep's results go: an xarray Dataset over the grid's dimensions,
held in memory or in a Zarr store that is written as cases finish.

The store is written by the client process alone. Finished cases are
buffered and written every few seconds (and at the end, and on an
interrupt): each variable's touched chunks, the case status last, so that a
case counts as finished only once everything it wrote is there; chunk files
are replaced whole. A re-run with the same store resumes: cases already
done or failed are skipped, the rest computed. A store holding another
sweep (another grid, fixed parameters, run options or velmora version) is
refused rather than mixed.
"""

from __future__ import annotations

import json
import os
import shutil
import tempfile
import time
import warnings

import numpy as np

import velmora

from ._extra import require
from .summary import FINISHED, PENDING, STATUS_NAMES, SUMMARY, TRANSITION_DIM, TRANSITIONS, numpy_dtype

ROWS, ROW_DIM, COLUMN_DIM = "rows", "t", "column"
SPEC_ATTR = "velmora_sweep"
SUMMARY_CHUNK = 8192  # cases per chunk of a summary variable
FORMAT = 1


class StoreMismatch(ValueError):
    """The output holds another sweep."""


def _chunks(shape: tuple[int, ...], target: int) -> tuple[int, ...]:
    """Chunks of about `target` cases, whole along the last dimensions."""
    out, size = [], 1
    for n in reversed(shape):
        c = max(1, min(n, target // size))
        out.append(c)
        size *= c
    return tuple(reversed(out))


class Layout:
    """The variables of a sweep's Dataset: the summary of each case, its
    first transitions and, on request, its rows on the common time axis."""

    def __init__(self, grid, run: dict, rows: bool, max_transitions: int, columns):
        self.grid, self.run, self.rows, self.max_transitions = grid, dict(run), rows, max_transitions
        self.columns = tuple(columns)
        self.n_out = int(run["n_out"])
        self.spec = {"format": FORMAT, "velmora": velmora.__version__, "grid": grid.spec(), "run": self.run,
                     "rows": rows, "max_transitions": max_transitions}

    def empty(self, lazy_rows: bool = False):
        """The Dataset with every case pending; `lazy_rows` leaves the rows
        unallocated (a dask array of fill values, for a store's template)."""
        xr = require("xarray")
        dims, shape = self.grid.dims, self.grid.shape
        data = {}
        for name, (code, fill, unit, meaning) in SUMMARY.items():
            data[name] = (dims, np.full(shape, fill, dtype=numpy_dtype(code)), _attrs(name, unit, meaning))
        for name, (code, fill, unit, meaning) in TRANSITIONS.items():
            data[name] = (dims + (TRANSITION_DIM,),
                          np.full(shape + (self.max_transitions,), fill, dtype=numpy_dtype(code)),
                          _attrs(name, unit, meaning))
        coords = dict(self.grid.coords())
        if self.rows:
            full = shape + (self.n_out, len(self.columns))
            if lazy_rows:
                import dask.array as da

                values = da.full(full, np.nan, chunks=self.rows_chunks())
            else:
                values = np.full(full, np.nan)
            data[ROWS] = (dims + (ROW_DIM, COLUMN_DIM), values,
                          {"long_name": "the writer's rows at the output times (NaN beyond a failed run's last "
                                        "row, and in a column the case's model does not write)"})
            coords[ROW_DIM] = (ROW_DIM, np.full(self.n_out, np.nan),
                               {"units": "s", "long_name": "output time (NaN until a case has completed)"})
            coords[COLUMN_DIM] = (COLUMN_DIM, np.array([c[0] for c in self.columns], dtype=object))
            coords["column_unit"] = (COLUMN_DIM, np.array([c[1] for c in self.columns], dtype=object))
        return xr.Dataset(data, coords=coords, attrs=self.attrs())

    def attrs(self) -> dict:
        from .grid import disk_parameters

        return {"title": "velmora sweep of one-zone disk evolutions", "velmora_version": velmora.__version__,
                "grid_kind": self.grid.kind, "cases": self.grid.size,
                "fixed": json.dumps(dict(self.grid.fixed)), "run_options": json.dumps(self.run),
                "disk_defaults": json.dumps(disk_parameters()), SPEC_ATTR: json.dumps(self.spec)}

    def summary_chunks(self) -> tuple[int, ...]:
        return _chunks(self.grid.shape, SUMMARY_CHUNK)

    def rows_chunks(self) -> tuple[int, ...]:
        return (1,) * len(self.grid.shape) + (self.n_out, len(self.columns))

    def encoding(self) -> dict:
        chunks = self.summary_chunks()
        enc = {name: {"chunks": chunks} for name in SUMMARY}
        enc.update({name: {"chunks": chunks + (self.max_transitions,)} for name in TRANSITIONS})
        if self.rows:
            enc[ROWS] = {"chunks": self.rows_chunks()}
        return enc

    def columns_of(self, records: list[dict]) -> dict:
        """The values of `records` per variable (summary and transitions)."""
        out = {}
        for name, (code, _, _, _) in {**SUMMARY, **TRANSITIONS}.items():
            values = [r[name] for r in records]
            out[name] = np.stack(values) if name in TRANSITIONS else np.array(values, dtype=numpy_dtype(code))
        return out

    def padded_rows(self, record: dict) -> np.ndarray | None:
        """A case's rows in the layout's columns (a model's writer may fill
        fewer), padded with NaN to n_out (None: the run kept none)."""
        table = record.get(ROWS)
        if table is None:
            return None
        names = [c[0] for c in self.columns]
        out = np.full((self.n_out, len(self.columns)), np.nan)
        out[: len(table), [names.index(n) for n in record["columns"]]] = table
        return out

    def time_axis(self, records: list[dict]) -> np.ndarray | None:
        """The output times, from the first case that completed its rows."""
        for r in records:
            table = r.get(ROWS)
            if table is not None and len(table) == self.n_out:
                return table[:, list(r["columns"]).index("t")].copy()
        return None


def _attrs(name, unit, meaning) -> dict:
    attrs = {"long_name": meaning}
    if unit:
        attrs["units"] = unit
    if name == "status":
        attrs.update(flag_values=list(range(len(STATUS_NAMES))), flag_meanings=" ".join(STATUS_NAMES))
    return attrs


class MemorySink:
    """Results held in memory: the Dataset is filled as cases finish."""

    def __init__(self, layout: Layout):
        self.layout = layout
        self.ds = layout.empty()
        self.values = {name: self.ds[name].values for name in self.ds.data_vars}  # filled in place
        self.has_time = False

    def pending(self) -> np.ndarray:
        return np.flatnonzero(self.values["status"].ravel() == PENDING)

    def add(self, indices, records) -> None:
        where = np.unravel_index(np.asarray(indices), self.layout.grid.shape)
        for name, values in self.layout.columns_of(records).items():
            self.values[name][where] = values
        if self.layout.rows:
            for k, record in enumerate(records):
                table = self.layout.padded_rows(record)
                if table is not None:
                    self.values[ROWS][tuple(w[k] for w in where)] = table
            if not self.has_time and (t := self.layout.time_axis(records)) is not None:
                self.ds = self.ds.assign_coords({ROW_DIM: (ROW_DIM, t, self.ds[ROW_DIM].attrs)})
                self.has_time = True

    def flush(self, force: bool = False) -> None:
        pass

    def dataset(self):
        return self.ds


class ZarrSink:
    """Results written to a Zarr store as cases finish; resumable."""

    def __init__(self, path, layout: Layout, flush_interval: float = 2.0):
        self.path, self.layout = os.fspath(path), layout
        self.buffer: list[tuple[int, dict]] = []
        self.flush_interval = flush_interval
        self.last_flush = time.monotonic()
        self.flush_cost = 0.0
        zarr = require("zarr")
        if os.path.exists(self.path):
            self._check()
        else:
            self._create()
        self.group = zarr.open_group(self.path, mode="r+")
        self.arrays = {name: self.group[name] for name in (*SUMMARY, *TRANSITIONS)}
        self.has_time = not layout.rows or bool(np.isfinite(self.group[ROW_DIM][:]).all())

    def _create(self) -> None:
        """Writes the empty store beside its place and moves it there, so that
        a store that exists is whole."""
        ds = self.layout.empty(lazy_rows=True)
        folder = os.path.dirname(os.path.abspath(self.path))
        part = tempfile.mkdtemp(prefix=os.path.basename(self.path) + ".", suffix=".part", dir=folder)
        try:
            with warnings.catch_warnings():
                # Consolidated metadata is what lets xarray open the store quickly.
                warnings.filterwarnings("ignore", message="Consolidated metadata", category=UserWarning)
                ds.to_zarr(part, mode="w", compute=False, encoding=self.layout.encoding(), consolidated=True)
            os.rename(part, self.path)
        except BaseException:
            shutil.rmtree(part, ignore_errors=True)
            raise

    def _check(self) -> None:
        zarr = require("zarr")
        try:
            attrs = dict(zarr.open_group(self.path, mode="r").attrs)
            stored = json.loads(attrs[SPEC_ATTR])
        except Exception:
            raise StoreMismatch(f"{self.path} exists and is not a velmora sweep store; "
                                "choose another output") from None
        difference = _difference(stored, self.layout.spec)
        if difference:
            raise StoreMismatch(f"{self.path} holds another sweep ({difference}); choose another output, or "
                                "remove it to start afresh")

    def pending(self) -> np.ndarray:
        status = self.arrays["status"][...].ravel()
        return np.flatnonzero(~np.isin(status, FINISHED))

    def add(self, indices, records) -> None:
        self.buffer.extend(zip(indices, records))

    def flush(self, force: bool = False) -> None:
        """Writes the buffered cases when the interval has passed (or `force`);
        the interval grows with the cost of a write, so that writing takes a
        small share of the client's time."""
        now = time.monotonic()
        if not self.buffer or (not force and now - self.last_flush < max(self.flush_interval, 20 * self.flush_cost)):
            return
        indices = np.array([i for i, _ in self.buffer])
        records = [r for _, r in self.buffer]
        where = np.unravel_index(indices, self.layout.grid.shape)
        values = self.layout.columns_of(records)
        K = self.layout.max_transitions
        for name in (*SUMMARY, *TRANSITIONS):
            if name == "status":
                continue
            if name in TRANSITIONS:
                index = tuple(np.repeat(w, K) for w in where) + (np.tile(np.arange(K), len(records)),)
                self.arrays[name].vindex[index] = values[name].reshape(-1)
            else:
                self.arrays[name].vindex[where] = values[name]
        if self.layout.rows:
            rows = self.group[ROWS]
            for k, record in enumerate(records):
                table = self.layout.padded_rows(record)
                if table is not None:
                    rows[tuple(int(w[k]) for w in where)] = table
            if not self.has_time and (t := self.layout.time_axis(records)) is not None:
                self.group[ROW_DIM][:] = t
                self.has_time = True
        self.arrays["status"].vindex[where] = values["status"]  # last: the cases count as finished now
        self.buffer.clear()
        self.last_flush = time.monotonic()
        self.flush_cost = self.last_flush - now

    def dataset(self):
        return open_sweep(self.path)


def open_sweep(path):
    """The Dataset of a sweep's Zarr store, read lazily (no dask)."""
    return require("xarray").open_zarr(path, chunks=None, consolidated=True)


def _difference(stored: dict, asked: dict, where: str = "") -> str:
    """The first difference between two specs, in words ("" when equal)."""
    for key in sorted(set(stored) | set(asked), key=str):
        a, b = stored.get(key, "(none)"), asked.get(key, "(none)")
        if isinstance(a, dict) and isinstance(b, dict):
            inner = _difference(a, b, f"{where}{key}.")
            if inner:
                return inner
        elif a != b:
            return f"{where}{key}: stored {json.dumps(a)}, asked {json.dumps(b)}"
    return ""
