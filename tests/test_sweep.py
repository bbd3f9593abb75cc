"""Sweeps on a real dask.distributed LocalCluster (two single-threaded worker
processes on 127.0.0.1, shared by the module): every finished case equals a
single run of the same disk bit for bit; failed runs keep their error and
rows; a killed worker costs nothing; Ctrl-C keeps what was computed and the
same call or command resumes without computing it again; the program end to
end, with a real SIGINT to its process group."""

import json
import os
import signal
import subprocess
import sys
import time
import warnings

import numpy as np
import pytest

distributed = pytest.importorskip("distributed")
xr = pytest.importorskip("xarray")
zarr = pytest.importorskip("zarr")

from velmora.sweeps import StoreMismatch, open_sweep, sweep  # noqa: E402
from velmora import AdvectiveDisk  # noqa: E402
from velmora.sweeps.cases import run_batch as engine_run_batch  # noqa: E402
from velmora.sweeps.summary import DONE, FAILED, LOST, PENDING  # noqa: E402

GRID = {"mbh": [1e5, 1e6, 1e7], "alpha": [0.01, 0.1, 0.3], "xi": [0.5, 1.0]}
RUN = {"n_out": 300}


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                  dashboard_address="127.0.0.1:0") as cluster, distributed.Client(cluster) as c:
        yield c


def single_run(params, run):
    """The run of one disk in this process (a failed one as its partial result;
    a disk that cannot be built as its error)."""
    try:
        disk = AdvectiveDisk(**params)
    except ValueError as exc:
        return f"{type(exc).__name__}: {exc}"
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        return disk.evolve(**run)


@pytest.fixture(scope="module")
def reference():
    """The grid's cases run one by one in this process."""
    out = {}
    for mbh in GRID["mbh"]:
        for alpha in GRID["alpha"]:
            for xi in GRID["xi"]:
                out[mbh, alpha, xi] = single_run({"mbh": mbh, "alpha": alpha, "xi": xi}, RUN)
    return out


def assert_case_equals_run(case, run):
    """A case of a sweep against the run of the same disk, bit for bit."""
    if isinstance(run, str):  # no disk
        assert case["status"].item() == FAILED and case["error"].item() == run
        assert case["n_rows"].item() == -1 and np.isnan(case["peak_Mdot"].item())
        return
    names = list(run.names)
    assert case["error"].item() == (run.error or "")
    assert case["status"].item() == (DONE if run.status == "done" else FAILED)
    k = len(run.rows)
    assert case["n_rows"].item() == k
    if "rows" in case:
        table = case["rows"].sel(column=names).values  # the columns this model writes
        assert np.array_equal(table[:k], run.rows)
        assert np.isnan(table[k:]).all()
        assert np.isnan(case["rows"].drop_sel(column=names).values).all()
    for name, value in run.stats.items():
        assert np.array_equal(case[name].values, value, equal_nan=True), name
    assert case["n_transitions"].item() == len(run.transitions)
    times = [tr["t"] for tr in run.transitions]
    assert np.array_equal(case["transition_t"].values[:len(times)], times)
    assert list(case["transition_to"].values[:len(times)]) == [tr["to_branch"] for tr in run.transitions]
    collapse = [tr["t"] for tr in run.transitions if tr["to_branch"] == "thin"]
    assert np.array_equal(case["t_first_collapse"].item(), collapse[0] if collapse else np.nan, equal_nan=True)
    if run.status == "done":  # at t_end
        assert case["final_M_D"].item() == run.rows[-1, names.index("M_D")]
        assert case["final_R_D"].item() == run.rows[-1, names.index("R_D")]
    else:  # the last row of a run that stopped depends on n_out
        assert np.isnan(case["final_M_D"].item()) and np.isnan(case["final_R_D"].item())


def assert_equals_reference(ds, reference):
    for (mbh, alpha, xi), run in reference.items():
        assert_case_equals_run(ds.sel(mbh=mbh, alpha=alpha, xi=xi), run)


@pytest.fixture(scope="module")
def swept(client, tmp_path_factory):
    out = tmp_path_factory.mktemp("sweep") / "sweep.zarr"
    return out, sweep(GRID, out, rows=True, client=client, progress=False, **RUN)


def test_sweep_equals_single_runs_and_resumes_to_nothing(client, reference, swept):
    out, ds = swept
    assert ds.sizes == {"mbh": 3, "alpha": 3, "xi": 2, "t": 300, "column": 21, "transition": 16}
    assert (ds["status"] == DONE).all()
    assert_equals_reference(ds, reference)
    some = next(iter(reference.values()))
    assert np.array_equal(ds["t"].values, some.rows[:, 1])  # the common time axis
    assert list(ds["column"].values) == [c[0] for c in some.columns]
    spec = json.loads(ds.attrs["velmora_sweep"])
    assert spec["grid"]["axes"] == GRID and spec["run"]["n_out"] == 300 and spec["velmora"] == ds.attrs[
        "velmora_version"]
    assert json.loads(ds.attrs["run_options"])["rtol"] == 1e-8

    # The store alone holds the same; a second call finds nothing to do and starts no engine.
    assert_equals_reference(open_sweep(out), reference)
    again = sweep(GRID, out, rows=True, progress=False, **RUN)
    report = json.loads(again.attrs["sweep_run"])
    assert report["finished_before"] == 18 and report["computed"] == 0 and report["workers"] == 0
    # Another sweep is refused, saying what differs.
    with pytest.raises(StoreMismatch, match=r"run\.rtol: stored 1e-08, asked 1e-06"):
        sweep(GRID, out, rows=True, client=client, rtol=1e-6, **RUN)


def test_summary_plot(swept, tmp_path):
    pytest.importorskip("matplotlib")
    from velmora.sweeps.plot import plot_summary

    for axes in (None, ("xi", "mbh")):
        plot_summary(swept[1], tmp_path / "summary.png", axes=axes)
        assert (tmp_path / "summary.png").stat().st_size > 10000


def test_failed_runs_keep_their_error_and_rows(client):
    cases = [{}, {"opacity": "sample", "table_oob": "raise"}, {"xi": 0.0}, {"mbh": 1e5, "disk_radius": 1e11},
             {"mbh": 1e7, "disk_radius": 1e11},  # inside the inner edge of its hole: no disk
             {"model": "thin"}]  # a model whose writer fills 20 of the 21 columns
    run = {"n_out": 100, "max_steps": 3000}
    ds = sweep(cases, rows=True, client=client, progress=False, batch=2, **run)  # held in memory
    assert list(ds["status"].values) == [DONE, FAILED, FAILED, FAILED, FAILED, DONE]
    assert ds["n_rows"].values[3] > 0  # a run that failed on the way keeps its rows
    assert "inner edge" in ds["error"].values[4]
    for k, params in enumerate(cases):
        assert_case_equals_run(ds.isel(case=k), single_run(params, run))
    assert list(ds["opacity"].values) == ["es", "sample", "es", "es", "es", "es"]


@pytest.mark.parametrize("options, message", [
    ({"batch": -1}, "batch must be an integer of at least 1, got -1"),
    ({"batch": 2.5}, "batch must be an integer of at least 1, got 2.5"),
    ({"nout": 10}, r"unknown run option 'nout' \(did you mean 'n_out'\?\)"),
])
def test_bad_engine_options_are_refused_before_anything_runs(options, message):
    with pytest.raises(ValueError, match=message):
        sweep(GRID, progress=False, **options)  # no client: refused before one is started


def test_a_killed_worker_costs_nothing(client, reference):
    killed = []

    def kill_a_worker(done, total):
        if not killed:
            pids = client.run(os.getpid)
            address, pid = sorted(pids.items())[0]
            os.kill(pid, signal.SIGKILL)
            killed.append(pid)

    ds = sweep(GRID, client=client, progress=kill_a_worker, batch=1, **RUN)
    assert killed and killed[0] not in client.run(os.getpid).values()
    assert (ds["status"] == DONE).all(), ds["error"].values[ds["status"].values != DONE]
    assert_equals_reference(ds, reference)
    client.wait_for_workers(2, timeout=60)


BAD_CASE = (1e6, 0.1, 0.5)  # (mbh, alpha, xi) of the case whose worker "dies" each time


def killing_batch(values, names, **kwargs):
    """run_batch, except that a batch holding BAD_CASE ends as the scheduler
    reports a task whose workers all died."""
    from types import SimpleNamespace

    from velmora.sweeps.cases import run_batch

    if BAD_CASE in values:
        raise distributed.scheduler.KilledWorker("task", SimpleNamespace(address="tcp://127.0.0.1:1"), 3)
    return run_batch(values, names, **kwargs)


def test_a_case_that_kills_its_workers_is_lost_alone_and_computed_on_resume(reference, tmp_path, monkeypatch):
    from velmora.sweeps import engine

    out = tmp_path / "sweep.zarr"
    with distributed.LocalCluster(n_workers=1, processes=False, protocol="tcp", host="127.0.0.1",
                                  dashboard_address="127.0.0.1:0") as cluster, \
            distributed.Client(cluster) as c:
        monkeypatch.setattr(engine, "run_batch", killing_batch)
        ds = sweep(GRID, out, client=c, progress=False, batch=4, **RUN)
        report = json.loads(ds.attrs["sweep_run"])
        assert report["split"] == 1 and report["lost"] == 1
        status = ds["status"].sel(mbh=BAD_CASE[0], alpha=BAD_CASE[1], xi=BAD_CASE[2]).item()
        assert status == LOST and (ds["status"] == DONE).sum() == 17
        assert "all those workers died" in ds["error"].sel(mbh=1e6, alpha=0.1, xi=0.5).item()

        monkeypatch.setattr(engine, "run_batch", engine_run_batch)
        again = sweep(GRID, out, client=c, progress=False, **RUN)
    assert json.loads(again.attrs["sweep_run"])["computed"] == 1
    assert_equals_reference(again, reference)


def test_interrupt_keeps_finished_cases_and_the_same_call_resumes(client, reference, tmp_path):
    out = tmp_path / "sweep.zarr"
    calls = []

    def interrupt_at_the_third_batch(done, total):
        calls.append(done)
        if len(calls) == 3:
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt) as info:
        sweep(GRID, out, client=client, progress=interrupt_at_the_third_batch, batch=2, **RUN)
    assert "6 of 18 cases finished" in str(info.value.__notes__)
    stored = open_sweep(out)
    finished = stored["status"].values == DONE
    assert finished.sum() == 6 and (stored["status"].values[~finished] == PENDING).all()
    first_times = stored["run_time"].values[finished]

    seen = []
    ds = sweep(GRID, out, client=client, progress=lambda done, total: seen.append((done, total)), batch=2, **RUN)
    assert seen[-1] == (12, 12)  # only the rest ran
    assert np.array_equal(ds["run_time"].values[finished], first_times)  # the finished ones were not run again
    assert_equals_reference(ds, reference)


def finished_cases(path) -> int:
    try:
        return int((open_sweep(path)["status"].values != PENDING).sum())
    except (OSError, ValueError, KeyError):  # not written yet
        return 0


def test_program_resumes_after_ctrl_c(client, tmp_path):
    out = tmp_path / "sweep.zarr"
    argv = [sys.executable, "-m", "velmora", "sweep", "--mbh", "1e5:1e7:20log", "--alpha", "0.01:0.3:20log",
            "--xi", "0.5,1", "--n-out", "20", "-o", str(out)]
    proc = subprocess.Popen(argv + ["--workers", "2", "--batch", "4"], cwd=tmp_path, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, start_new_session=True)
    deadline = time.monotonic() + 120
    while proc.poll() is None and time.monotonic() < deadline:
        if finished_cases(out):
            os.killpg(proc.pid, signal.SIGINT)  # Ctrl-C reaches the program and its worker processes
            break
        time.sleep(0.05)
    stdout, stderr = proc.communicate(timeout=120)
    assert proc.returncode == 130, stderr
    finished = finished_cases(out)
    assert 0 < finished < 800
    assert f"interrupted: {finished} of 800 cases finished, written to {out}" in stderr

    address = client.scheduler.address
    proc = subprocess.run(argv + ["--scheduler", address], cwd=tmp_path, capture_output=True, text=True,
                          timeout=300)
    assert proc.returncode == 0, proc.stderr
    assert f"{800 - finished} computed on 2 workers" in proc.stdout
    assert f"; {finished} finished before" in proc.stdout
    assert "800 done, 0 failed, 0 lost" in proc.stdout
