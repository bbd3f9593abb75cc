"""Result files: CSV, .npz and NetCDF, each carrying the result's provenance,
and the loader that reads any of them back into a result.

CSV: ``# key = value`` lines first (the value as JSON), then a header line of
``name [unit]`` (and the names of text labels), then the rows; pandas reads
it with ``pandas.read_csv(path, comment="#")``. Numbers are written with 17
significant digits, so that they read back bit for bit.

.npz: the arrays ``data``, ``columns`` and ``units``, ``parameters`` (the
provenance as JSON text) and one array per text label.

.nc: the result's xarray Dataset (``to_xarray``), written by xarray's NetCDF
engine; the provenance is its JSON attribute ``provenance``.
"""

from __future__ import annotations

import errno
import json
import os
import secrets
import shutil

import numpy as np

from .results import Evolution, Profile, SCurve, _needs, model_columns

__all__ = ["FORMATS", "load", "write"]

FORMATS = (".csv", ".npz", ".nc")
_KINDS = {cls.kind: cls for cls in (Evolution, Profile, SCurve)}


def _format(path) -> str:
    ext = os.path.splitext(os.fspath(path))[1].lower()
    if ext not in FORMATS:
        raise ValueError(f"a result file ends in {', '.join(FORMATS)}, got {os.fspath(path)!r}")
    return ext


def write(result, path) -> None:
    """Writes `result` to `path` in the format its ending names (the same
    as ``result.write(path)``). The file is written beside `path` under a
    temporary name and then renamed into place, so that `path` holds either
    a whole result or what it held before, never a part of one.

    Examples
    --------
    >>> import os, tempfile
    >>> from velmora import AdvectiveDisk
    >>> from velmora.dynamics.accretion.one_zone.result_files import write
    >>> path = os.path.join(tempfile.mkdtemp(), "rings.csv")
    >>> write(AdvectiveDisk().profile([1e13, 1e14], 1e4), path)
    >>> open(path).readline().startswith('# velmora = "')
    True
    """
    ext = _format(path)
    # Through a link, the file it names is replaced, as writing it in place would.
    target = os.path.realpath(path)
    folder, name = os.path.split(target)
    # A file that may not be written is not replaced either, as writing it in place would fail.
    if os.path.exists(target) and not os.access(target, os.W_OK):
        raise PermissionError(errno.EACCES, os.strerror(errno.EACCES), os.fspath(path))
    temporary = os.path.join(folder, f".{name}.{secrets.token_hex(8)}{os.path.splitext(name)[1]}")
    # Created with the mode a new file gets (umask), or the mode of the file replaced.
    try:
        fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
    except OSError as exc:  # said of the file asked for (no such folder, no permission)
        raise type(exc)(exc.errno, exc.strerror, os.fspath(path)) from None
    try:
        if os.path.exists(target):
            shutil.copymode(target, temporary)
        with open(fd, "w", newline="") if ext == ".csv" else open(fd, "wb") as f:
            _WRITERS[ext](result, f, temporary)
        os.replace(temporary, target)
    except BaseException:
        try:
            os.remove(temporary)
        except OSError:
            pass
        raise


def _write_nc(result, f, path):
    f.close()  # xarray's engine writes the file by its name
    result.to_xarray().to_netcdf(path)


def _write_npz(result, f, path):
    # To the open file: np.savez given a name appends ".npz" to one not ending so.
    np.savez(f, data=np.array(result.rows), columns=np.array(list(result.names)),
             units=np.array([unit for _, unit, _ in result.columns]),
             parameters=np.array(json.dumps(result.provenance())),
             **{k: np.asarray(v) for k, v in result.labels.items()})


def _write_csv(result, f, path):
    for key, value in result.provenance().items():
        f.write(f"# {key} = {json.dumps(value)}\n")
    f.write(",".join([f"{n} [{u}]" for n, u, _ in result.columns] + list(result.labels)) + "\n")
    if not result.labels:
        np.savetxt(f, result.rows, fmt="%.17g", delimiter=",")
        return
    labels = list(zip(*result.labels.values()))
    for row, tags in zip(result.rows, labels):
        f.write(",".join([f"{x:.17g}" for x in row] + [str(t) for t in tags]) + "\n")


_WRITERS = {".csv": _write_csv, ".npz": _write_npz, ".nc": _write_nc}


def _read_csv(path):
    record, header, start = {}, None, 0
    with open(path) as f:
        for start, line in enumerate(f):
            if not line.startswith("#"):
                header = line.rstrip("\n").split(",")
                break
            key, sep, value = line[1:].partition("=")
            if sep:
                record[key.strip()] = json.loads(value)
    if header is None:
        raise ValueError(f"{os.fspath(path)}: no header line")
    numeric = [h for h in header if h.endswith("]")]
    columns = [tuple(h[:-1].split(" [", 1)) for h in numeric]
    n = len(numeric)
    text = np.loadtxt(path, delimiter=",", skiprows=start + 1, dtype=str, ndmin=2)
    rows = text[:, :n].astype(np.float64) if text.size else np.empty((0, n))
    labels = {name: text[:, n + k] for k, name in enumerate(header[n:])} if text.size else {}
    return record, columns, rows, labels


def _read_npz(path):
    with np.load(path) as f:
        record = json.loads(str(f["parameters"]))
        columns = list(zip(f["columns"].tolist(), f["units"].tolist()))
        rows = f["data"]
        labels = {k: f[k] for k in f.files if k not in ("data", "columns", "units", "parameters")}
    return record, columns, rows, labels


def _read_nc(path):
    xr = _needs("xarray", "xarray")
    with xr.open_dataset(path) as ds:
        record = json.loads(ds.attrs["provenance"])
        cls = _KINDS[record["kind"]]
        names = [name for name, _, _ in model_columns(model=record["model"])]
        columns = [(name, ds[name].attrs["units"]) for name in names]
        rows = np.column_stack([ds[name].values for name in names]) if ds.sizes[cls.dim] else np.empty((0, len(names)))
        labels = {k: ds[k].values for k in ds.coords if k not in names}
    return record, columns, rows, labels


def load(path):
    """The result in the file `path` (.csv, .npz or .nc, as ``write`` makes
    them): an Evolution, Profile or SCurve with its rows, columns,
    parameters and status.

    Examples
    --------
    >>> import os, tempfile
    >>> from velmora import AdvectiveDisk, load
    >>> run = AdvectiveDisk().evolve(t_end=1e7, n_out=5)
    >>> path = os.path.join(tempfile.mkdtemp(), "run.csv")
    >>> run.write(path)
    >>> again = load(path)
    >>> again.status, again.params == run.params, bool((again.rows == run.rows).all())
    ('done', True, True)
    >>> bool((again.rerun().rows == run.rows).all())  # bit for bit from the file's parameters
    True
    """
    ext = _format(path)
    record, columns, rows, labels = {".csv": _read_csv, ".npz": _read_npz, ".nc": _read_nc}[ext](path)
    kind = record.get("kind")
    if kind not in _KINDS:
        raise ValueError(f"{os.fspath(path)}: not a velmora result file (kind {kind!r})")
    meanings = {name: meaning for name, _, meaning in model_columns(model=record["model"])}
    columns = [(name, unit, meanings.get(name, "")) for name, unit in columns]
    if "stable" in labels:
        labels["stable"] = np.asarray(labels["stable"]).astype(str) == "True"
    return _KINDS[kind]._from_record(record, columns, rows, labels)
