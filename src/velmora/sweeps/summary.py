"""What a sweep keeps of each run: the summary variables (name, type, fill,
unit, meaning) and the summary of one run, taken in the worker."""

from __future__ import annotations

import numpy as np

from velmora.dynamics.accretion.one_zone.results import STATS

# Case status: pending (not computed yet), done, failed (the run stopped with
# an error: a result, kept), lost (the engine lost the case, e.g. its worker
# died each time it ran: computed again when the sweep resumes).
PENDING, DONE, FAILED, LOST = 0, 1, 2, 3
STATUS_NAMES = ("pending", "done", "failed", "lost")
FINISHED = (DONE, FAILED)

# name: (dtype, fill, unit, meaning); one value per case.
SUMMARY = {
    "status": ("i1", PENDING, "", "0 pending, 1 done, 2 failed (see error), 3 lost (computed again on resume)"),
    "error": ("str", "", "", "the error that stopped the run, empty when none"),
    "start_branch": ("str", "", "", "the thermal branch the disk started on"),
    "n_transitions": ("i4", -1, "", "number of transitions between thermal branches"),
    "t_first_collapse": ("f8", np.nan, "s", "time of the first transition onto the thin branch (NaN: none)"),
    "peak_Mdot": ("f8", np.nan, "g s^-1", "largest accretion rate onto the hole along the integration"),
    "t_peak": ("f8", np.nan, "s", "time of the largest accretion rate"),
    "t_reached": ("f8", np.nan, "s", "time the run reached"),
    "final_M_D": ("f8", np.nan, "g", "disk mass at t_end, of a finished run (NaN: the run did not finish)"),
    "final_R_D": ("f8", np.nan, "cm", "disk radius at t_end, of a finished run (NaN: the run did not finish)"),
    "n_rows": ("i4", -1, "", "output rows completed"),
    "steps": ("i8", -1, "", "accepted integration steps"),
    "rejected_steps": ("i8", -1, "", "rejected integration steps"),
    "evaluations": ("i8", -1, "", "evaluations of the rates"),
    "residual_evaluations": ("i8", -1, "", "evaluations of the energy balance"),
    "scans": ("i8", -1, "", "scans of the whole energy balance (at the start and at transitions)"),
    "run_time": ("f8", np.nan, "s", "wall time of the run in its worker"),
}

# name: (dtype, fill, unit, meaning); max_transitions values per case, in order.
TRANSITIONS = {
    "transition_t": ("f8", np.nan, "s", "time of each transition"),
    "transition_to": ("str", "", "", "the branch the disk fell onto at each transition"),
}
TRANSITION_DIM = "transition"


def numpy_dtype(code: str):
    return np.dtype(object) if code == "str" else np.dtype(code)


def summarise(result, max_transitions: int, run_time: float, rows: bool) -> dict:
    """The record of one run (an Evolution): the summary variables, the first
    `max_transitions` transitions and, with `rows`, the rows."""
    done = result.status == "done"
    transitions = result.transitions
    record = {
        "status": DONE if done else (FAILED if result.status == "failed" else LOST),
        "error": result.error or "",
        "start_branch": result.start_branch or "",
        "n_transitions": len(transitions),
        "t_first_collapse": next((tr["t"] for tr in transitions if tr["to_branch"] == "thin"), np.nan),
        "n_rows": len(result),
        "run_time": run_time,
    }
    for name in STATS:
        value = result.stats[name]
        record[name] = SUMMARY[name][1] if value is None else value
    # The last row of a finished run is at t_end; that of a run that stopped
    # lies on the output grid before t_reached, where it depends on n_out: no
    # result.
    for name in ("M_D", "R_D"):
        record[f"final_{name}"] = float(result[name][-1]) if done and len(result) else np.nan
    kept = transitions[:max_transitions]
    pad = max_transitions - len(kept)
    record["transition_t"] = np.array([tr["t"] for tr in kept] + [np.nan] * pad, dtype=np.float64)
    record["transition_to"] = np.array([tr["to_branch"] for tr in kept] + [""] * pad, dtype=object)
    if rows:
        record["rows"], record["columns"] = result.rows, result.names
    return record


def error_record(status: int, error: str, max_transitions: int) -> dict:
    """The record of a case that has no run: a disk that could not be built
    (FAILED) or a case the engine lost (LOST), with its error."""
    record = {name: fill for name, (_, fill, _, _) in SUMMARY.items()}
    for name, (code, fill, _, _) in TRANSITIONS.items():
        record[name] = np.full(max_transitions, fill, dtype=numpy_dtype(code))
    record.update(status=status, error=error)
    return record
