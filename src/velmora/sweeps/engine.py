"""Running a sweep on dask.distributed: a LocalCluster of single-threaded
worker processes on this machine by default, or any scheduler by address, or
a client the caller holds.

Cases go out in batches (one task runs several disks, so that the engine's
few milliseconds per task stay small against runs of 5 to 20 ms), each as the
values of the varied parameters alone, and come back as records of plain
values; the client writes them as they arrive. A
batch whose worker died is computed again by the engine (the scheduler
reschedules it); a batch that keeps killing its workers is split into single
cases, so that only the case at fault is lost, and a lost case is recorded
with the error and computed again when the sweep resumes.
"""

from __future__ import annotations

import contextlib
import itertools
import json
import logging
import math
import numbers
import os
import signal
import sys
import threading
import time
import uuid

import velmora

from ._extra import require
from .cases import run_batch, worker_version
from .grid import make_grid
from .store import Layout, MemorySink, ZarrSink
from .summary import FAILED, LOST, error_record

__all__ = ["sweep", "run_options"]

BATCH_MAX = 64      # cases per task at most: 0.3 to 0.6 s of default runs
TASKS_PER_WORKER = 8  # batches per worker at least, for balance at the end


def run_options(given: dict) -> dict:
    """The options of each run (the disk model's run arguments) with their
    defaults, updated with `given` and checked as the model checks them."""
    from velmora.dynamics.accretion.one_zone.disk_parameters import RUN_DEFAULTS, _unknown, run_parameters

    _unknown(given, RUN_DEFAULTS, "run option")
    return run_parameters(**{**RUN_DEFAULTS, **given})


def batch_size(n_cases: int, n_workers: int) -> int:
    return max(1, min(BATCH_MAX, math.ceil(n_cases / (TASKS_PER_WORKER * max(1, n_workers)))))


class _Interrupts:
    """Ctrl-C for the client loop: raised at once, except inside a critical
    section (writing results), where it waits for the section's end."""

    def __init__(self):
        self.depth, self.pending, self.previous = 0, False, None

    def __enter__(self):
        if threading.current_thread() is threading.main_thread():
            self.previous = signal.signal(signal.SIGINT, self._handler)
        return self

    def __exit__(self, *exc):
        if self.previous is not None:
            signal.signal(signal.SIGINT, self.previous)
        return False

    def _handler(self, signum, frame):
        if self.depth:
            self.pending = True
        else:
            raise KeyboardInterrupt

    @contextlib.contextmanager
    def critical(self):
        self.depth += 1
        try:
            yield
        finally:
            self.depth -= 1
            if not self.depth and self.pending:
                self.pending = False
                raise KeyboardInterrupt


@contextlib.contextmanager
def connect(client=None, scheduler=None, n_workers=None):
    """The client to run on: `client` as it is, a new one to the scheduler at
    `scheduler`, or a LocalCluster of `n_workers` single-threaded processes
    (default: one per core this process may use), closed afterwards."""
    distributed = require("distributed")
    if client is not None:
        yield client
        return
    if scheduler is not None:
        with distributed.Client(scheduler, set_as_default=False) as c:
            yield c
        return
    with local_cluster(n_workers) as cluster, distributed.Client(cluster, set_as_default=False) as c:
        yield c


# Dask starts its worker processes with MALLOC_TRIM_THRESHOLD_=65536, which
# also fixes glibc's mmap threshold at its floor: every array of a run's
# result (about 170 kB) then comes from a fresh mmap and its page faults, 6%
# of a run. The workers velmora starts keep glibc's adaptive thresholds; the
# runs hold little memory for long. (A value set in this process's
# environment still reaches them.)
_WORKER_ENVIRON = {"distributed.nanny.pre-spawn-environ.MALLOC_TRIM_THRESHOLD_": None}


def local_cluster(n_workers=None):
    """A LocalCluster of `n_workers` single-threaded worker processes
    (default: one per core this process may use) on 127.0.0.1 only, its
    diagnostics server on a free port."""
    import dask

    distributed = require("distributed")
    n = n_workers or os.process_cpu_count() or 1
    with dask.config.set(_WORKER_ENVIRON):
        return distributed.LocalCluster(n_workers=n, threads_per_worker=1, processes=True, host="127.0.0.1",
                                        dashboard_address="127.0.0.1:0", silence_logs=logging.ERROR)


class _Progress:
    """tqdm's bar on stderr (shown on a terminal, or always with True), or a
    callable progress(done, total)."""

    def __init__(self, progress, total):
        self.call = progress if callable(progress) else None
        tqdm = require("tqdm").tqdm
        self.bar = tqdm(total=total, unit="case", desc="velmora sweep", file=sys.stderr, smoothing=0.1,
                        disable=True if self.call or progress is False else (None if progress is None else False))
        self.done, self.total = 0, total

    def update(self, n, failed, lost):
        self.done += n
        if failed or lost:
            self.bar.set_postfix(failed=failed, lost=lost, refresh=False)
        self.bar.update(n)
        if self.call:
            self.call(self.done, self.total)

    def close(self):
        self.bar.close()


def _run(client, grid, run, layout, sink, todo, size, progress, counts) -> None:
    """Runs the cases `todo` (flat indices) on `client`, in batches of `size`,
    writing each batch's records to `sink` as it arrives; counts in `counts`."""
    distributed = require("distributed")
    KilledWorker = distributed.scheduler.KilledWorker
    mine = velmora.__version__
    versions = client.run(worker_version)  # also loads the kernels on every worker before the clock starts
    other = {w: v for w, v in versions.items() if v != mine}
    if other:
        raise RuntimeError(f"workers run another velmora than this client ({mine}): "
                           + ", ".join(f"{w} {v}" for w, v in sorted(other.items())))
    tag = uuid.uuid4().hex[:12]
    counter = itertools.count()
    owner, live = {}, {}

    def submit(batches):
        """One future per batch of flat indices, sent to the scheduler at once."""
        futures = client.map(run_batch, [[grid.values(int(i)) for i in b] for b in batches], names=grid.varied,
                             fixed=dict(grid.fixed), run=run, max_transitions=layout.max_transitions,
                             rows=layout.rows, pure=False,
                             key=[f"velmora-sweep-{tag}-{next(counter)}" for _ in batches])
        for fut, indices in zip(futures, batches):
            owner[fut.key], live[fut.key] = indices, fut
        return futures

    def lost(exc, n):
        return [error_record(LOST, f"{type(exc).__name__}: {exc}", layout.max_transitions)] * n

    t0 = time.perf_counter()
    done = distributed.as_completed(submit([todo[i:i + size] for i in range(0, len(todo), size)]),
                                    loop=client.loop)
    bar = _Progress(progress, len(todo))
    with _Interrupts() as interrupts:
        try:
            for fut in done:
                with interrupts.critical():
                    indices = owner.pop(fut.key)
                    del live[fut.key]
                    records = None
                    try:
                        # Waits if the result was lost with its worker after it finished: the
                        # scheduler computes it again.
                        version, records = fut.result()
                    except KilledWorker as exc:
                        if len(indices) > 1:
                            counts["split"] += 1
                            for single in submit([indices[k:k + 1] for k in range(len(indices))]):
                                done.add(single)  # find the case at fault: each alone
                        else:
                            records = lost(exc, len(indices))
                    except Exception as exc:  # the engine's own failure, a cancelled task
                        records = lost(exc, len(indices))
                    else:
                        if version != mine:
                            records = lost(RuntimeError(f"the worker ran velmora {version}, this client {mine}"),
                                           len(indices))
                    fut.release()
                    if records is None:
                        continue
                    sink.add(indices, records)
                    sink.flush()
                    counts["computed"] += len(indices)
                    counts["failed"] += sum(r["status"] == FAILED for r in records)
                    counts["lost"] += sum(r["status"] == LOST for r in records)
                    bar.update(len(indices), counts["failed"], counts["lost"])
        finally:
            counts["compute_seconds"] = time.perf_counter() - t0
            bar.close()
            with interrupts.critical():
                if live:
                    client.cancel(list(live.values()))
                sink.flush(force=True)


def sweep(grid, output=None, *, fixed=None, rows=False, max_transitions=16, client=None, scheduler=None,
          n_workers=None, batch=None, progress=None, **run):
    """Runs a disk for every case of `grid` on dask.distributed and returns
    the results as an xarray Dataset over the grid's dimensions.

    Parameters
    ----------
    grid : mapping, sequence of mappings, DataFrame or Grid
        A mapping from disk parameters (the keywords of AdvectiveDisk, in its
        units: solar masses, gravitational radii, cm, s) to lists of values
        is a product: every combination is a case and each parameter a
        dimension. A value may be text, as on the command line
        (``"0.01:0.3:5log"``). A sequence of mappings (or a DataFrame's
        rows) is a table of cases along the dimension ``case``.
    output : path, optional
        A Zarr store (a directory, e.g. ``sweep.zarr``) written as cases
        finish. An existing store of the same sweep is resumed: cases done
        or failed there are not computed again. Without it the results are
        held in memory.
    fixed : mapping, optional
        Disk parameters given for every case (else the model's defaults).
    rows : bool
        Also keep every run's rows (n_out x 21) on the common time axis.
    max_transitions : int
        Transitions kept per case (their count is kept in full).
    client, scheduler, n_workers
        Where to run: a dask.distributed Client; or the address of a
        scheduler (``"tcp://host:8786"``; its workers need this velmora);
        else a LocalCluster of `n_workers` single-threaded processes (default:
        one per core), started and closed here. A LocalCluster starts worker
        processes that import the calling script: guard a script's top level
        with ``if __name__ == "__main__":``.
    batch : int, optional
        Cases per task (default: enough tasks for balance, at most 64).
    progress : None, bool or callable
        tqdm's bar on stderr (None: on a terminal only), or a callable
        called as progress(done, total) after each batch.
    **run
        Options of each run, as AdvectiveDisk.evolve takes them (t_end,
        n_out, rtol, t_start, max_steps, branch).

    Returns
    -------
    xarray.Dataset
        Per case: ``status`` (0 pending, 1 done, 2 failed, 3 lost), ``error``,
        ``start_branch``, ``n_transitions``, ``t_first_collapse``,
        ``peak_Mdot``, ``t_peak``, ``t_reached``, ``final_M_D``,
        ``final_R_D``, the run's counts and ``run_time`` (-1 or NaN where
        unknown: a case not run, or a disk that could not be built);
        ``transition_t`` and ``transition_to`` over ``transition``; with
        `rows`, ``rows`` over (``t``, ``column``). Attributes: the velmora version, the grid, the
        fixed parameters, the run options, the model's defaults; and
        ``sweep_run``, how this call went (not stored).

    Raises
    ------
    KeyboardInterrupt
        On Ctrl-C, once the finished cases are written; it carries the
        results so far as ``dataset``. Calling again with the same output
        resumes.
    ValueError
        A bad grid or parameter value (before anything runs); an output that
        holds another sweep (velmora.sweeps.store.StoreMismatch).
    """
    start = time.perf_counter()
    require("distributed", "xarray", "tqdm")
    g = make_grid(grid, fixed)
    g.validate()
    opts = run_options(run)
    if max_transitions < 1:
        raise ValueError(f"max_transitions must be at least 1, got {max_transitions}")
    if batch is not None and (isinstance(batch, bool) or not isinstance(batch, numbers.Integral) or batch < 1):
        raise ValueError(f"batch must be an integer of at least 1, got {batch!r}")
    layout = Layout(g, opts, bool(rows), int(max_transitions), _columns(g))
    sink = ZarrSink(output, layout) if output is not None else MemorySink(layout)
    todo = sink.pending()
    report = {"cases": g.size, "finished_before": g.size - len(todo), "computed": 0, "failed": 0, "lost": 0,
              "split": 0, "workers": 0, "batch": 0, "compute_seconds": 0.0}
    try:
        if len(todo):
            with connect(client, scheduler, n_workers) as c:
                report["workers"] = len(c.scheduler_info()["workers"])
                report["batch"] = int(batch) if batch is not None else batch_size(len(todo), report["workers"])
                _run(c, g, opts, layout, sink, todo, report["batch"], progress, report)
    except KeyboardInterrupt as exc:
        exc.dataset = sink.dataset()
        where = f"written to {output}; the same call resumes" if output is not None else "kept in exc.dataset"
        exc.add_note(f"velmora.sweep: {report['finished_before'] + report['computed']} of {g.size} cases "
                     f"finished, {where}")
        raise
    report["seconds"] = time.perf_counter() - start
    ds = sink.dataset()
    ds.attrs["sweep_run"] = json.dumps(report)
    return ds


def _columns(grid) -> list:
    """The writers' columns of the disk models in `grid`, each name once, in
    the order the models give them."""
    from velmora.dynamics.accretion.one_zone.results import model_columns

    columns = {}
    for model in grid.distinct("model"):
        for column in model_columns(model=model):
            columns.setdefault(column[0], column)
    return list(columns.values())
