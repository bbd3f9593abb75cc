"""Root finder at the interpreter level: py_find_root and py_brent_root
against scipy.optimize.brentq, all three calling the same Python callable,
which counts its calls.

Each solve finds the root of x^3 - 2x - 5 (x = 2.0945515) in the bracket
[1, 3] (py_find_root: from the guess 2 with step 1, whose first pair is that
bracket; py_brent_root: given it with its end values, which it does not
evaluate again) with the absolute width tolerance 1e-10. brentq is given
xtol=1e-10 and its smallest accepted rtol, 4 times the machine epsilon.

The interpreter call dominates an evaluation, and the variants take
different numbers of evaluations per solve, so the target is per evaluation:
velmora no slower than brentq.
"""

from __future__ import annotations

import numpy as np

import _harness as h

NAME = "root finder, interpreter level"
N_SOLVES = 20000
REPEATS = 7
TOL_X = 1e-10


class Counted:
    """x^3 - 2x - 5, counting its calls."""

    def __init__(self):
        self.calls = 0

    def __call__(self, x):
        self.calls += 1
        return (x * x - 2.0) * x - 5.0


def main(report: h.Report) -> None:
    from scipy.optimize import brentq

    from velmora.math_utils._bracket_solver import py_brent_root, py_find_root

    report.section("3. Root finder, interpreter level: py_find_root, py_brent_root vs scipy.optimize.brentq")
    f = Counted()
    f_lo, f_hi = f(1.0), f(3.0)
    rtol = 4.0 * np.finfo(float).eps

    def solves(solve):
        def run():
            for _ in range(N_SOLVES):
                solve()
        return run

    candidates = {
        "py_find_root": lambda: py_find_root(f, 2.0, 1.0, 2.0, 60, -1e3, 1e3, 1e-30, TOL_X, 0.0, 100),
        "py_brent_root": lambda: py_brent_root(f, 1.0, 3.0, f_lo, f_hi, TOL_X, 0.0, 100),
        "brentq": lambda: brentq(f, 1.0, 3.0, xtol=TOL_X, rtol=rtol, maxiter=100),
    }
    evals, roots = {}, {}
    for name, solve in candidates.items():
        f.calls = 0
        result = solve()
        evals[name] = f.calls
        roots[name] = result if name == "brentq" else result[1]
        if name != "brentq":
            report.check(NAME, f"{name} status", result[0] == 0, f"status {result[0]}")
    spread = max(roots.values()) - min(roots.values())
    report.check(NAME, "roots agree", spread <= 2 * TOL_X, f"max difference {spread:.1e}")

    t = h.interleaved_medians({k: solves(v) for k, v in candidates.items()}, REPEATS)
    per_solve = {k: v / N_SOLVES * 1e6 for k, v in t.items()}
    per_eval = {k: per_solve[k] / evals[k] * 1e3 for k in t}
    report.note(f"{N_SOLVES} solves per repeat, median of {REPEATS}; evaluations per solve: "
                + ", ".join(f"{k} {v}" for k, v in evals.items()))
    for name in ("py_find_root", "py_brent_root"):
        report.compare(NAME, f"{name} per solve", per_solve[name], "brentq", per_solve["brentq"], "us")
        report.compare(NAME, f"{name} per evaluation", per_eval[name], "brentq", per_eval["brentq"], "ns",
                       h.NO_SLOWER)


if __name__ == "__main__":
    r = h.Report()
    h.print_machine()
    main(r)
    raise SystemExit(r.summary())
