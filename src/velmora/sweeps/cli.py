"""velmora-disk sweep: a disk for every case of a grid of parameters, on dask.

Every disk option of ``velmora-disk evolve`` takes VALUES here: one value
(the same for every case), a list ``1e5,1e6,1e7``, or a range ``0.01:0.3:5``
(evenly spaced) or ``0.01:0.3:5log`` (evenly spaced in the logarithm); each
option given more than one value is a dimension of the grid, and the grid is
their product. ``--grid FILE.toml`` reads the same from a file (a product,
``[grid]``, or a table of cases, ``[[cases]]``, with ``[fixed]`` and
``[run]``); options on the command line add to it. The run options (t_end,
n_out, ...) take one value for the whole sweep.

The cases run on a LocalCluster of single-threaded worker processes (one per
core, --workers), or on the dask.distributed scheduler at --scheduler. The
results go to a Zarr store (-o, default sweep.zarr) as cases finish; running
the same command again resumes, skipping finished cases.

Exit status: 0 every case finished (done or failed: a failed run is a
result), 1 cases were lost by the engine or remain (run again to retry them),
2 bad options, 130 interrupted (run again to resume).
"""

from __future__ import annotations

import argparse
import json
import os
import sys

import numpy as np

from velmora.cli import PROG, UsageError, _Defaults, _Parser, count, plot_problem, positive, tolerance
from velmora.constants import DAY
from velmora.dynamics.accretion.one_zone.disk_parameters import BRANCHES, RUN_DEFAULTS

from ._extra import MissingExtra
from .grid import disk_parameters, make_grid, parse_values, read_toml
from .store import StoreMismatch
from .summary import DONE, FAILED, LOST, PENDING

NAME = f"{PROG} sweep"
RUN_TYPES = {"t_end": positive, "t_start": positive, "n_out": count, "rtol": tolerance, "max_steps": count}


def _option(name: str) -> str:
    return "--" + (name if name.isupper() else name.replace("_", "-"))


def _evolve_help() -> dict:
    """The help texts of velmora-disk evolve's options, by destination: the
    same parameters, with their meanings and units."""
    from velmora.cli import build_parser as evolve_parser

    commands = next(a for a in evolve_parser()._actions if isinstance(a, argparse._SubParsersAction))
    return {a.dest: a.help for a in commands.choices["evolve"]._actions}


def _described(text, name, default) -> str:
    """An option's help with its default, unless the text says it."""
    text = text or name
    if "default" in text:
        return text
    return f"{text} (default: {f'{default:g}' if isinstance(default, float) else default})"


def build_parser():
    texts = _evolve_help()
    parser = _Parser(prog=NAME, formatter_class=_Defaults,
                     description="Run a one-zone disk for every case of a grid of parameters on dask.distributed "
                                 "and write the results to a resumable Zarr store. VALUES: one value, a list "
                                 "a,b,c, or a range START:STOP:N (evenly spaced) or START:STOP:Nlog; options given "
                                 "several values span the grid. Names and units as in velmora-disk evolve.")
    disk = parser.add_argument_group("disk parameters (VALUES)")
    for name, default in disk_parameters().items():
        disk.add_argument(_option(name), dest=f"disk_{name}", metavar="VALUES",
                          help=_described(texts.get(name), name, default))
    disk.add_argument("--grid", metavar="FILE.toml",
                      help="the grid from a file: [grid] (a product) or [[cases]] (a table), [fixed], [run]")

    run = parser.add_argument_group("each run (one value)")
    for name, default in RUN_DEFAULTS.items():
        text = _described(texts.get(name), name, default)
        if name == "branch":
            run.add_argument("--branch", dest="run_branch", choices=BRANCHES, help=text)
        else:
            run.add_argument(_option(name), dest=f"run_{name}", type=RUN_TYPES.get(name, positive),
                             metavar="N" if RUN_TYPES.get(name) is count else "X", help=text)

    out = parser.add_argument_group("results")
    out.add_argument("-o", "--output", default="sweep.zarr", metavar="DIR.zarr",
                     help="Zarr store written as cases finish; an existing store of the same sweep is resumed")
    out.add_argument("--rows", action="store_true", help="also keep every run's rows (n_out x 21 each)")
    out.add_argument("--max-transitions", type=count, default=16, metavar="K",
                     help="transitions kept per case (their count is kept in full)")
    out.add_argument("--plot", metavar="FILE.png",
                     help="draw the first-collapse time and the peak accretion rate over two dimensions")
    out.add_argument("--plot-axes", metavar="X,Y", help="the two dimensions of --plot (default: the two longest)")

    engine = parser.add_argument_group("engine")
    where = engine.add_mutually_exclusive_group()
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="a dask.distributed scheduler (tcp://host:8786) whose workers have velmora")
    where.add_argument("--workers", type=count, metavar="N",
                       help="worker processes of the LocalCluster (default: one per core)")
    engine.add_argument("--batch", type=count, metavar="N", help="cases per task (default: chosen for balance)")
    return parser


def parse(argv):
    args = build_parser().parse_args(argv)

    def fail(text):
        raise UsageError(f"{NAME}: error: {text}")

    known = disk_parameters()
    grid, fixed, run = {}, {}, {}
    if args.grid:
        try:
            doc = read_toml(args.grid)
        except (OSError, ValueError) as exc:
            fail(f"--grid: {exc}")
        grid, fixed, run = doc["grid"], dict(doc["fixed"]), dict(doc["run"])
    for name, default in known.items():
        text = getattr(args, f"disk_{name}")
        if text is None:
            continue
        try:
            values = parse_values(text, default)
        except ValueError as exc:
            fail(f"{_option(name)}: {exc}")
        if len(values) == 1 and "," not in text and ":" not in text:
            fixed[name] = values[0]
            if isinstance(grid, dict):
                grid.pop(name, None)
        elif isinstance(grid, dict):
            grid[name] = values
            fixed.pop(name, None)
        else:
            fail(f"{_option(name)}: with a table of cases ([[cases]]), other parameters take one value")
    in_file = set(run)
    for name in list(vars(args)):
        if name.startswith("run_") and getattr(args, name) is not None:
            run[name[4:]] = getattr(args, name)
            in_file.discard(name[4:])
    from .engine import run_options

    try:
        run_options(run)  # checked here, so that a bad [run] is one line; args.run keeps what was given
    except (TypeError, ValueError) as exc:
        names = getattr(exc, "names", ())
        fail(f"--grid [run]: {exc}" if in_file & set(names) or (in_file and not names) else str(exc))
    if not grid:
        fail("nothing varies: give an option several values (e.g. --mbh 1e5,1e6,1e7) or --grid FILE.toml")
    try:
        args.sweep_grid = make_grid(grid, fixed)
        args.sweep_grid.validate()
    except (TypeError, ValueError) as exc:
        fail(str(exc))
    args.run = run
    if not args.output.rstrip("/").endswith(".zarr"):
        fail(f"--output must be a Zarr store ending in .zarr, got {args.output}")
    if not os.path.isdir(os.path.dirname(os.path.abspath(args.output))):
        fail(f"--output: no such directory: {os.path.dirname(os.path.abspath(args.output))}")
    if args.plot and (problem := plot_problem(args.plot)):
        fail(problem)
    if args.plot_axes:
        axes = args.plot_axes.split(",")
        if len(axes) != 2 or not set(axes) <= set(args.sweep_grid.varied):
            fail(f"--plot-axes takes two varied parameters X,Y (varied: {', '.join(args.sweep_grid.varied)})")
        args.plot_axes = axes
    return args


def summary(ds, args) -> str:
    grid = args.sweep_grid
    report = json.loads(ds.attrs["sweep_run"])
    status = ds["status"].values
    counts = {k: int(np.count_nonzero(status == k)) for k in (DONE, FAILED, LOST, PENDING)}
    lines = [f"{NAME}: {grid.size} cases ({grid.describe()}) in {os.path.abspath(args.output)}"]
    if report["computed"]:
        rate = report["computed"] / report["compute_seconds"]
        lines.append(f"  this run             {report['computed']} computed on {report['workers']} workers "
                     f"(tasks of {report['batch']}) in {report['compute_seconds']:.2f} s, {rate:.3g} cases/s "
                     f"({report['seconds']:.1f} s with the engine's start); {report['finished_before']} "
                     "finished before")
    else:
        lines.append(f"  this run             nothing to compute: all {grid.size} cases finished before")
    lines.append(f"  status               {counts[DONE]} done, {counts[FAILED]} failed, {counts[LOST]} lost"
                 + (f", {counts[PENDING]} pending" if counts[PENDING] else ""))
    done = status == DONE
    collapse = ds["t_first_collapse"].values[done]
    if done.any():
        seen = np.isfinite(collapse)
        lines.append(f"  first collapse       in {int(seen.sum())} of {int(done.sum())} done cases"
                     + (f", from {collapse[seen].min() / DAY:.4g} to {collapse[seen].max() / DAY:.4g} d"
                        if seen.any() else ""))
        peak = ds["peak_Mdot"].values[done]
        lines.append(f"  peak accretion rate  from {np.nanmin(peak):.3e} to {np.nanmax(peak):.3e} g/s")
    errors = ds["error"].values
    bad = np.flatnonzero((status == FAILED).ravel() | (status == LOST).ravel())
    for i in bad[:3]:
        case = grid.case(int(i))
        where = ", ".join(f"{k}={case[k]!r}" for k in grid.varied)
        lines.append(f"  {'failed' if status.ravel()[i] == FAILED else 'lost'} case          {where}: "
                     f"{str(errors.ravel()[i]).splitlines()[0]}")
    if len(bad) > 3:
        lines.append(f"  ... and {len(bad) - 3} more (the variable 'error')")
    return "\n".join(lines)


def main(argv=None) -> int:
    try:
        args = parse(sys.argv[1:] if argv is None else argv)
        from .engine import sweep

        try:
            ds = sweep(args.sweep_grid, args.output, rows=args.rows, max_transitions=args.max_transitions,
                       scheduler=args.scheduler, n_workers=args.workers, batch=args.batch, **args.run)
        except KeyboardInterrupt as exc:
            status = exc.dataset["status"].values
            done = int(np.count_nonzero(np.isin(status, (DONE, FAILED))))
            print(f"{NAME}: interrupted: {done} of {status.size} cases finished, written to {args.output}; "
                  "run the same command again to resume", file=sys.stderr)
            return 130
        if args.plot:
            from .plot import plot_summary

            plot_summary(ds, args.plot, axes=args.plot_axes)
        print(summary(ds, args))
        if args.plot:
            print(f"  plot                 {args.plot}")
        status = ds["status"].values
        return 0 if np.isin(status, (DONE, FAILED)).all() else 1
    except (UsageError, StoreMismatch, MissingExtra) as exc:
        text = str(exc)
        print(text if text.startswith(PROG) else f"{NAME}: error: {text}", file=sys.stderr)
        return 2
    except OSError as exc:
        print(f"{NAME}: error: {exc}", file=sys.stderr)
        return 1
