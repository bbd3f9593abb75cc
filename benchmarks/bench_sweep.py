"""Sweep: 200 disks (hole mass x alpha x xi, the default run of each) on a
LocalCluster of 2 single-threaded worker processes against the same cases
run one after another in this process, in ms per case.

Target: 2 workers at least 1.8x the serial rate on two cores (ratio of the
times <= 0.56). Also printed: the same batches on two bare processes (a
ProcessPoolExecutor: what the two cores give at the time, without an
engine), the same batches through client.map alone on the same cluster
(dask without velmora's engine around it), the CPU time of this process per
sweep (the client and the LocalCluster's scheduler, which runs in it), the
engine's cost per task (a task that does nothing, and what the sweep loses
per task against the serial runs), the cluster's start, and the sweep with
its results written to a Zarr store.

The serial peer runs the very work a task runs (velmora.sweeps.cases.run_batch
over all the cases: build each disk, evolve it, summarise it); the results
agree bit for bit.
"""

from __future__ import annotations

import json
import multiprocessing
import os
import resource
import shutil
import statistics
import tempfile
import time
from concurrent.futures import ProcessPoolExecutor

import _harness as h

NAME = "sweep"
GRID = {"mbh": "1e5:1e7:10log", "alpha": "0.01:0.3:10log", "xi": [0.5, 1.0]}
TARGET = h.Target(1 / 1.8, "2 workers at least 1.8x the serial rate (ratio <= 0.56)")
REPEATS = 5


def _nothing(x):
    return x


def measure(report: h.Report) -> None:
    import numpy as np
    from distributed import Client

    from velmora.sweeps import make_grid, sweep
    from velmora.sweeps.cases import run_batch
    from velmora.sweeps.engine import batch_size, local_cluster, run_options

    grid = make_grid(GRID)
    run = run_options({})
    values = [grid.values(i) for i in range(grid.size)]
    size = batch_size(grid.size, 2)  # what the sweep chooses on 2 workers
    batches = [values[i:i + size] for i in range(0, len(values), size)]
    fixed = dict(grid.fixed)
    report.note(f"{grid.size} cases ({grid.describe()}), each the default run (n_out {run['n_out']}, "
                f"rtol {run['rtol']:g}); summaries only")

    t0 = time.perf_counter()
    cluster = local_cluster(2)  # the cluster velmora-disk sweep starts
    client = Client(cluster, set_as_default=False)
    start = time.perf_counter() - t0
    try:
        results, cpu = {}, []

        def serial():
            results["serial"] = run_batch(values, grid.varied, fixed, run, 16, False)[1]

        def engine():
            before = resource.getrusage(resource.RUSAGE_SELF)
            results["sweep"] = sweep(grid, client=client, progress=False)
            after = resource.getrusage(resource.RUSAGE_SELF)
            cpu.append(after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime)

        def processes():
            list(pool.map(run_batch, batches, *([x] * len(batches) for x in (grid.varied, fixed, run, 16, False))))

        def bare_dask():
            client.gather(client.map(run_batch, batches, names=grid.varied, fixed=fixed, run=run,
                                     max_transitions=16, rows=False, pure=False))

        with ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("spawn")) as pool:
            medians = h.interleaved_medians({"serial": serial, "sweep": engine, "processes": processes,
                                             "client.map": bare_dask}, repeats=REPEATS)
        per_case = {k: v / grid.size * 1e3 for k, v in medians.items()}
        report.compare(NAME, "200 runs on 2 dask workers", per_case["sweep"], "serial", per_case["serial"],
                       "ms/case", TARGET)
        report.compare(NAME, "the same on 2 bare processes", per_case["processes"], "serial", per_case["serial"],
                       "ms/case")
        report.compare(NAME, "the same batches by client.map", per_case["client.map"], "serial",
                       per_case["serial"], "ms/case")
        report.note(f"rates: {grid.size / medians['sweep']:.1f} (dask), {grid.size / medians['processes']:.1f} "
                    f"(bare processes), {grid.size / medians['client.map']:.1f} (client.map alone) against "
                    f"{grid.size / medians['serial']:.1f} cases/s (serial); the bare processes show what the two "
                    "cores give at the time (ProcessPoolExecutor, same batches, no engine), client.map what dask "
                    "gives on the same cluster without velmora's engine around it")
        timed = cpu[1:]  # the first call warms up
        report.note(f"CPU time of this process (the client and the scheduler, which runs in it) per sweep: "
                    f"median {statistics.median(timed):.3f} s, from {min(timed):.3f} to {max(timed):.3f} s over "
                    f"{len(timed)} sweeps of {len(batches)} tasks")

        ds, serial_records = results["sweep"], results["serial"]
        flat = {name: ds[name].values.ravel() for name in ("peak_Mdot", "t_first_collapse", "steps", "final_M_D")}
        same = all(np.array_equal(flat[name], [r[name] for r in serial_records], equal_nan=True) for name in flat)
        report.check(NAME, "sweep equals the serial runs", same, "peak, first collapse, steps, final mass bit for bit")

        in_workers = float(np.mean(ds["run_time"].values)) * 1e3
        in_serial = float(np.mean([r["run_time"] for r in serial_records])) * 1e3
        report.note(f"one run took {in_workers:.2f} ms in a worker against {in_serial:.2f} ms serially "
                    "(alike on an idle machine; more in the workers: other processes had the cores)")

        info = json.loads(ds.attrs["sweep_run"])
        tasks = -(-grid.size // info["batch"])
        lost = (2 * medians["sweep"] - medians["serial"]) / tasks * 1e3
        report.note(f"tasks of {info['batch']} cases ({tasks} tasks): the sweep loses {lost:.2f} ms of worker time "
                    "per task against the serial runs (scheduling, transfer, the client's work, imbalance at the end)")

        n = 1000
        t0 = time.perf_counter()
        client.gather(client.map(_nothing, range(n), pure=False))
        report.note(f"engine per task (a task that does nothing, {n} tasks on 2 workers): "
                    f"{(time.perf_counter() - t0) / n * 1e3:.2f} ms; cluster start {start:.2f} s")

        folder = tempfile.mkdtemp(prefix="velmora-bench-sweep-")
        try:
            t0 = time.perf_counter()
            sweep(grid, os.path.join(folder, "sweep.zarr"), client=client, progress=False)
            stored = time.perf_counter() - t0
            report.note(f"with a Zarr store: {grid.size / stored:.1f} cases/s "
                        f"({stored / medians['sweep']:.2f}x the time held in memory; creating the store included)")
        finally:
            shutil.rmtree(folder, ignore_errors=True)
    finally:
        client.close()
        cluster.close()


def main(report: h.Report) -> None:
    report.section("5. Sweep: 200 disks on a LocalCluster of 2 workers vs serial")
    try:
        import distributed  # noqa: F401
    except ImportError:
        report.skip(NAME, "200 runs on 2 dask workers vs serial", "dask.distributed is not installed (velmora[sweep])")
        return
    measure(report)


if __name__ == "__main__":
    r = h.Report()
    h.print_machine()
    main(r)
    raise SystemExit(r.summary())
