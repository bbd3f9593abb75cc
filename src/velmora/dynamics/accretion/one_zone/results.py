"""Labelled results of the one-zone disk: the writer's rows with their column
names and units, the parameters that made them, the velmora version and the
run's completion status.

- :class:`Evolution`: a run in time (``AdvectiveDisk.evolve``), with its
  thermal-branch transitions and the integration's counts;
- :class:`Profile`: rings solved at one time (``AdvectiveDisk.profile``);
- :class:`SCurve`: every thermal equilibrium of one ring over a range of
  surface densities (``AdvectiveDisk.scurve``), each row labelled with its
  branch.

Each converts to pandas (``to_pandas``), xarray (``to_xarray``) and astropy
(``to_astropy``), importing those only when asked, and writes CSV, .npz or
NetCDF files (``write``) that :func:`~.result_files.load` reads back. The
provenance (``provenance()``) is a flat dict of plain values: what the
files carry and what rebuilds the computation.
"""

from __future__ import annotations

import difflib
import json

import numpy as np

from .disk_parameters import DEFAULTS, RUN_DEFAULTS, closure_type

__all__ = ["STATS", "STATUSES", "Evolution", "Profile", "Result", "SCurve", "model_columns"]

STATUSES = ("done", "failed", "interrupted")
# The integration's counts and its peak, as evolve(full_output=True) reports them.
STATS = ("steps", "rejected_steps", "evaluations", "residual_evaluations", "scans", "peak_Mdot", "t_peak",
         "t_reached")


def _needs(module: str, extra: str):
    import importlib
    try:
        return importlib.import_module(module)
    except ImportError:
        raise ImportError(f"this needs {module.split('.')[0]}, which is not installed "
                          f"(pip install 'velmora[{extra}]')") from None


def model_columns(closure=None, model: str = "advective") -> tuple:
    """The (name, unit, meaning) of each column a model's writer fills: of
    `closure`'s model, or else of a fresh closure of the disk model named
    `model` ("advective" or "thin").

    Examples
    --------
    >>> from velmora.dynamics.accretion.one_zone.results import model_columns
    >>> model_columns()[19]
    ('H_over_R', '-', 'aspect ratio H / R_D')
    >>> len(model_columns(model="thin")), "Q_adv" in [name for name, _, _ in model_columns(model="thin")]
    (20, False)
    """
    from .closure import model_info
    if closure is None:
        closure = closure_type(model)()
    return tuple(tuple(c) for c in model_info(closure)["columns"])


def _astropy_unit(unit: str):
    """The astropy unit of a column's unit text ("-": dimensionless)."""
    u = _needs("astropy.units", "units")
    return u.dimensionless_unscaled if unit == "-" else u.Unit(unit)


class Result:
    """Rows of the writer's columns with their labels and provenance.

    ``rows`` is a read-only (n, k) float64 array; ``columns`` the (name,
    unit, meaning) of each column; ``result[name]`` one column (a read-only
    view). ``params`` are the disk's parameters, ``run`` the arguments of the
    computation; ``status`` is "done", "failed" or "interrupted" (``error``
    says why), ``version`` the velmora version that computed it.

    Examples
    --------
    >>> import os, tempfile
    >>> from velmora import AdvectiveDisk
    >>> run = AdvectiveDisk().evolve(t_end=1e7, n_out=4)
    >>> run["T_c"].shape, run.names[:3], run.units["Sigma"]
    ((4,), ('row', 't', 'M_D'), 'g cm^-2')
    >>> record = run.provenance()
    >>> record["status"], record["mbh"], record["n_out"]
    ('done', 1000000.0, 4)
    >>> run.to_pandas()["H_over_R"].round(3).tolist()
    [0.864, 0.862, 0.848, 0.545]
    >>> ds = run.to_xarray()
    >>> ds["Mdot"].attrs["units"], ds.attrs["status"]
    ('g s^-1', 'done')
    >>> run.to_astropy()["R_D"].unit
    Unit("cm")
    >>> run.write(os.path.join(tempfile.mkdtemp(), "run.npz"))
    """

    kind = "result"
    dim = "row"      # the dimension of the rows in xarray
    coord = None     # the column that labels the rows in xarray, if any
    run_keys = ()    # the computation's arguments in the provenance

    def __init__(self, rows, columns, params: dict, run: dict, *, status: str = "done", error=None,
                 version: str | None = None, labels: dict | None = None):
        import velmora
        rows = np.array(rows, dtype=np.float64, copy=True, ndmin=2)
        if rows.size == 0:
            rows = rows.reshape(0, len(columns))
        if rows.shape[1] != len(columns):
            raise ValueError(f"rows have {rows.shape[1]} columns, the schema {len(columns)}")
        if status not in STATUSES:
            raise ValueError(f"status must be one of {', '.join(STATUSES)}, got {status!r}")
        rows.flags.writeable = False
        self.rows = rows
        self.columns = tuple(tuple(c) for c in columns)
        self.params = dict(params)
        self.run = dict(run)
        self.status = status
        self.error = error
        self.version = velmora.__version__ if version is None else version
        # Per-row labels beside the numbers (text or truth values).
        self.labels = {k: np.asarray(v) for k, v in (labels or {}).items()}
        self._index = {name: k for k, (name, _, _) in enumerate(self.columns)}

    # --- the rows ----------------------------------------------------------------------

    @property
    def names(self) -> tuple:
        """The column names, in order."""
        return tuple(name for name, _, _ in self.columns)

    @property
    def units(self) -> dict:
        """The unit of each column (cgs; "-" for a pure number)."""
        return {name: unit for name, unit, _ in self.columns}

    def __getitem__(self, name: str):
        if name in self.labels:
            return self.labels[name]
        try:
            return self.rows[:, self._index[name]]
        except KeyError:
            close = difflib.get_close_matches(str(name), list(self._index) + list(self.labels), n=1)
            raise KeyError(f"no column {name!r}" + (f" (did you mean {close[0]!r}?)" if close else "")) from None

    def __len__(self) -> int:
        return len(self.rows)

    def __contains__(self, name) -> bool:
        return name in self._index or name in self.labels

    @property
    def complete(self) -> bool:
        """Whether the computation completed (status "done")."""
        return self.status == "done"

    def __repr__(self):
        text = f"<{type(self).__name__}: {len(self)} rows x {len(self.columns)} columns, status {self.status}"
        if self.error:
            text += f" ({self.error})"
        return text + self._describe() + ">"

    def _describe(self) -> str:
        return ""

    # --- provenance --------------------------------------------------------------------

    def _record(self) -> dict:
        """What this kind of result records beyond the parameters."""
        return {}

    @classmethod
    def _extra(cls, record: dict) -> dict:
        """The constructor's keywords of what _record recorded."""
        return {}

    @classmethod
    def _from_record(cls, record: dict, columns, rows, labels=None):
        """The result of a provenance record (as ``provenance()`` gives it)
        with its columns, rows and labels."""
        return cls(rows, columns, {k: record[k] for k in DEFAULTS}, {k: record[k] for k in cls.run_keys},
                   status=record["status"], error=record["error"], version=record["velmora"],
                   labels=labels, **cls._extra(record))

    def provenance(self) -> dict:
        """A flat dict of plain values (numbers, text, truth values, None,
        lists and dicts of those): the velmora version, the kind of result,
        the model, the completion status and error, the disk's parameters,
        the computation's arguments and what this kind of result records."""
        return {"velmora": self.version, "kind": self.kind, "model": self.params.get("model"), "status": self.status,
                "error": self.error, **self.params, **self.run, **self._record()}

    # --- other containers --------------------------------------------------------------

    def to_pandas(self):
        """A pandas DataFrame of the columns (and labels); ``attrs`` hold the
        units (``attrs["units"]``) and the provenance."""
        pd = _needs("pandas", "pandas")
        frame = pd.DataFrame(np.array(self.rows), columns=list(self.names))
        for key, values in self.labels.items():
            frame[key] = values
        frame.attrs.update(self.provenance())
        frame.attrs["units"] = self.units
        return frame

    def to_astropy(self):
        """An astropy QTable: each column a Quantity in its unit; ``meta``
        holds the provenance."""
        table = _needs("astropy.table", "units")
        qtable = table.QTable(meta=self.provenance())
        for name, unit, meaning in self.columns:
            qtable[name] = np.array(self.rows[:, self._index[name]]) * _astropy_unit(unit)
            qtable[name].info.description = meaning
        for key, values in self.labels.items():
            qtable[key] = values
        return qtable

    def to_xarray(self):
        """An xarray Dataset: one variable per column with its ``units`` and
        ``long_name`` (the meaning), along the result's dimension (time for
        an evolution). The provenance is in the attributes: numbers and
        text as they are, other values (None, truth values, lists) as JSON
        text, and all of it as JSON under ``provenance``."""
        xr = _needs("xarray", "xarray")
        coords = {}
        if self.coord is not None:
            name, unit, meaning = self.columns[self._index[self.coord]]
            coords[self.dim] = (self.dim, np.array(self[self.coord]), {"units": unit, "long_name": meaning})
        for key, values in self.labels.items():
            coords[key] = (self.dim, np.array(values))
        data = {name: (self.dim, np.array(self.rows[:, k]), {"units": unit, "long_name": meaning})
                for k, (name, unit, meaning) in enumerate(self.columns) if name != self.coord}
        attrs = {}
        for key, value in self.provenance().items():
            plain = isinstance(value, (int, float, str)) and not isinstance(value, bool)
            attrs[key] = value if plain else json.dumps(value)
        attrs["provenance"] = json.dumps(self.provenance())
        return xr.Dataset(data, coords=coords, attrs=attrs)

    def write(self, path) -> None:
        """Writes the result to `path` by its ending: ``.csv`` (``# key =
        value`` provenance lines, then a header of names and units, then the
        rows), ``.npz`` (arrays ``data``, ``columns``, ``units`` and
        ``parameters``, the provenance as JSON) or ``.nc`` (NetCDF through
        xarray). Numbers are written so that they read back bit for bit; the
        file is renamed into place once written, so that `path` never holds
        a part of a result."""
        from .result_files import write
        write(self, path)


class Evolution(Result):
    """The disk's evolution in time, as ``AdvectiveDisk.evolve`` returns it.

    Beyond a :class:`Result`: ``transitions`` (the thermal-branch changes,
    dicts as ``closure.evolve(full_output=True)`` gives them), ``stats``
    (``steps``, ``rejected_steps``, ``evaluations``,
    ``residual_evaluations``, ``scans``, ``peak_Mdot`` [g s^-1], ``t_peak``
    and ``t_reached`` [s]) and ``start_branch``; ``run`` holds t_end, n_out,
    rtol, t_start, max_steps and branch.

    Examples
    --------
    >>> from velmora import AdvectiveDisk
    >>> run = AdvectiveDisk().evolve(t_end=3e7, n_out=4)
    >>> run
    <Evolution: 4 rows x 21 columns, status done, start thick, 1 transition>
    >>> f"{run.transitions[0]['t'] / 86400:.2f} d", run.units["Mdot"]
    ('129.45 d', 'g s^-1')
    >>> run.stats["steps"] > 0 and run.params == AdvectiveDisk().params
    True
    >>> run.disk() == AdvectiveDisk(), bool((run.rerun(n_out=2)["t"] == run["t"][[0, -1]]).all())
    (True, True)
    """

    kind = "evolution"
    dim = "t"
    coord = "t"
    run_keys = tuple(RUN_DEFAULTS)

    def __init__(self, rows, columns, params: dict, run: dict, *, transitions=(), stats=None,
                 start_branch=None, **kwargs):
        super().__init__(rows, columns, params, run, **kwargs)
        self.transitions = [dict(tr) for tr in transitions]
        self.stats = {key: (stats or {}).get(key) for key in STATS}
        self.start_branch = start_branch

    @classmethod
    def _of_run(cls, disk, run: dict, rows, info: dict, status: str = "done", error=None) -> "Evolution":
        """The result of `disk`'s run with arguments `run`, from the driver's
        rows and record."""
        return cls(rows, model_columns(disk.closure), disk.params, run,
                   transitions=info.get("transitions", ()), stats=info, start_branch=info.get("start_branch"),
                   status=status, error=error)

    def _record(self) -> dict:
        return {"start_branch": self.start_branch, **self.stats, "transitions": self.transitions}

    @classmethod
    def _extra(cls, record: dict) -> dict:
        return {"transitions": record["transitions"], "stats": {k: record[k] for k in STATS},
                "start_branch": record["start_branch"]}

    def _describe(self) -> str:
        n = len(self.transitions)
        return f", start {self.start_branch}, {n} transition{'' if n == 1 else 's'}"

    def disk(self):
        """The disk that made this run, rebuilt from its parameters."""
        from .core import AdvectiveDisk
        return AdvectiveDisk.from_params(self.params)

    def rerun(self, **changes) -> "Evolution":
        """The same run again (bit for bit the same rows), with any run
        argument changed by keyword (``progress``, ``on_failure`` too)."""
        return self.disk().evolve(**{**self.run, **changes})


class Profile(Result):
    """Rings of the disk solved at one time, as ``AdvectiveDisk.profile``
    returns them; ``run`` holds the thermal ``branch`` followed.

    Examples
    --------
    >>> import numpy as np
    >>> from velmora import AdvectiveDisk
    >>> rings = AdvectiveDisk().profile(np.geomspace(1e12, 1e14, 3), 1e4, branch="thick")
    >>> rings["H_over_R"].round(2).tolist()
    [0.86, 0.86, 0.85]
    >>> rings.rerun(branch="thin")["H_over_R"].round(4).tolist()
    [0.0009, 0.0013, 0.0022]
    """

    kind = "profile"
    dim = "R_D"
    coord = "R_D"
    run_keys = ("branch",)

    def rerun(self, **changes) -> "Profile":
        """The same rings solved again, with the branch or other arguments
        changed by keyword."""
        from .core import AdvectiveDisk
        disk = AdvectiveDisk.from_params(self.params)
        return disk.profile(self["R_D"], self["Sigma"], self["Omega"], **{**self.run, **changes})


class SCurve(Result):
    """Every thermal equilibrium of one ring over a range of surface
    densities, as ``AdvectiveDisk.scurve`` returns it: one row of the
    writer's columns per root, labelled with its ``branch`` ("thin",
    "middle", "thick", "single" or "unstable") and whether it is
    ``stable``; ``run`` holds the ring's radius ``R`` [cm] and angular
    velocity ``Omega`` [s^-1]. ``curve.branch(name)`` selects the rows of
    one branch.

    Examples
    --------
    >>> from velmora import AdvectiveDisk
    >>> curve = AdvectiveDisk().scurve(1.4e13, (1e2, 1e5), n=7)
    >>> sorted(set(curve["branch"].tolist()))
    ['thick', 'thin', 'unstable']
    >>> thin = curve.branch("thin")
    >>> bool((thin["H_over_R"] < 0.01).all())
    True
    """

    kind = "scurve"
    dim = "root"
    run_keys = ("R", "Omega")

    def branch(self, name: str) -> "SCurve":
        """The rows on one branch, as an SCurve."""
        keep = self.labels["branch"] == name
        return SCurve(self.rows[keep], self.columns, self.params, self.run, status=self.status,
                      error=self.error, version=self.version,
                      labels={k: v[keep] for k, v in self.labels.items()})

    def _describe(self) -> str:
        names = sorted(set(self.labels["branch"].tolist()))
        return f", branches {', '.join(names)}"
