"""The work of one task, in a worker: build each disk from its plain
parameters (laws and closures never cross the wire) and run it."""

from __future__ import annotations

import time

import velmora

from .summary import FAILED, error_record, summarise


def run_batch(values: list[tuple], names: tuple, fixed: dict, run: dict, max_transitions: int,
              rows: bool) -> tuple[str, list[dict]]:
    """Runs one disk per entry of `values` (the values of the parameters
    `names`, beside the parameters `fixed`) one after another with the run
    options `run`; returns this process's velmora version and one record per
    case. A run that fails is a record with its error."""
    from velmora.dynamics.accretion.one_zone.core import AdvectiveDisk

    records = []
    for case in values:
        start = time.perf_counter()
        try:
            result = AdvectiveDisk(**fixed, **dict(zip(names, case))).evolve(**run, on_failure="raise")
        except Exception as exc:
            result = getattr(exc, "result", None)  # the partial result of a run that failed on the way
            if result is None:  # a disk that cannot be built from this combination of values
                records.append(error_record(FAILED, f"{type(exc).__name__}: {exc}", max_transitions))
                continue
        records.append(summarise(result, max_transitions, time.perf_counter() - start, rows))
    return velmora.__version__, records


def worker_version() -> str:
    """This process's velmora version, once its kernels are loaded."""
    from velmora.dynamics.accretion.one_zone import closure  # noqa: F401
    from velmora.dynamics.accretion.one_zone.models import _gasrad_adv  # noqa: F401

    return velmora.__version__
