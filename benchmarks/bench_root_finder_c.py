"""Root finder at the C level: find_root through its `__c_api__` address
against GSL's Brent solver (gsl_root_fsolver_brent), 10^6 solves of a cheap
C callback each (root_harness.cpp), timed inside C.

The harness is called once through ctypes.PYFUNCTYPE, so the calling thread
holds the interpreter lock during the solves, and once through
ctypes.CFUNCTYPE, which releases it: find_root's pending-exception test after
every callback call then runs on a thread without the lock.

Targets: within 1.5x of GSL per solve, with the lock held and without it; no
allocation per solve (glibc's heap bytes in use, read at every evaluation and
after the last solve, never move).
"""

from __future__ import annotations

import ctypes
import json
import os
import subprocess
import sys

import numpy as np

import _harness as h

NAME = "root finder, C level"
N_SOLVES = 10**6
N_HEAP_CHECK = 20000
REPEATS = 5
TOL_X = 1e-10

D, I, LL, P = ctypes.c_double, ctypes.c_int, ctypes.c_longlong, ctypes.c_void_p
PLL, PI = ctypes.POINTER(LL), ctypes.POINTER(I)
VELMORA_ARGS = (P, D, I, P, PLL, PI)
GSL_ARGS = (D, I, P, PLL, PI)
HEAP_ARGS = (P, D, I, PLL, PLL)  # solver address, tol_x, n, growth, spread


def find_root_address() -> int:
    from velmora.math_utils import _bracket_solver

    capsule = _bracket_solver.__c_api__["find_root"]
    get_name = ctypes.pythonapi.PyCapsule_GetName
    get_name.restype, get_name.argtypes = ctypes.c_char_p, [ctypes.py_object]
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype, get_pointer.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    return get_pointer(capsule, get_name(capsule))


def bound(lib, name, restype, argtypes, lock_held):
    """The harness function `name`, called with the lock held or released."""
    factory = ctypes.PYFUNCTYPE if lock_held else ctypes.CFUNCTYPE
    return factory(restype, *argtypes)(ctypes.cast(getattr(lib, name), P).value)


class Run:
    """One timed call of a harness function: ns per solve, evaluations, roots."""

    def __init__(self, fn, *leading):
        self.fn, self.leading = fn, leading
        self.roots = np.empty(N_SOLVES)
        self.evals, self.failures = LL(), I()
        self.ns = float("nan")

    def __call__(self):
        self.ns = self.fn(*self.leading, N_SOLVES, self.roots.ctypes.data, ctypes.byref(self.evals),
                          ctypes.byref(self.failures))

    @property
    def evals_per_solve(self):
        return self.evals.value / N_SOLVES


def main(report: h.Report) -> None:
    report.section("2. Root finder, C level: find_root vs gsl_root_fsolver_brent")
    lib = h.load_harness("root_harness")
    address = find_root_address()
    report.note(f"{N_SOLVES} solves of x^3 - 2x - c, c in [4, 6), bracket [1, 3], tol_x {TOL_X:g}, "
                f"median of {REPEATS}, timed inside C")
    for lock_held in (True, False):
        mode = "lock held" if lock_held else "lock released"
        velmora = Run(bound(lib, "bench_velmora", D, VELMORA_ARGS, lock_held), address, TOL_X)
        gsl = Run(bound(lib, "bench_gsl", D, GSL_ARGS, lock_held), TOL_X)
        ns = {"velmora": [], "gsl": []}

        def timed(run, key):
            def call():
                run()
                ns[key].append(run.ns)
            return call

        h.interleaved_medians({"velmora": timed(velmora, "velmora"), "gsl": timed(gsl, "gsl")}, REPEATS)
        ok = velmora.failures.value == 0 and gsl.failures.value == 0
        report.check(NAME, f"every solve succeeded ({mode})", ok,
                     f"failures: velmora {velmora.failures.value}, GSL {gsl.failures.value}")
        diff = float(np.max(np.abs(velmora.roots - gsl.roots)))
        report.check(NAME, f"roots agree ({mode})", diff <= 2 * TOL_X, f"max |velmora - GSL| {diff:.1e}")
        # The first (warm-up) call is not a repeat.
        med = {k: float(np.median(v[1:])) for k, v in ns.items()}
        report.compare(NAME, f"find_root per solve, {mode}", med["velmora"], "GSL Brent", med["gsl"], "ns",
                       h.WITHIN_1_5X)
        report.note(f"evaluations per solve, {mode}: velmora {velmora.evals_per_solve:.3f} "
                    f"(1 at the guess + 2 for the bracket + Brent steps), GSL {gsl.evals_per_solve:.3f} "
                    f"(2 for the bracket + iterations); per evaluation velmora "
                    f"{med['velmora'] / velmora.evals_per_solve:.2f} ns, GSL {med['gsl'] / gsl.evals_per_solve:.2f} ns")

    heap_check(report)


def heap_readings(lock_held: bool) -> dict:
    """Runs in a child process started with glibc's thread cache off."""
    lib = h.load_harness("root_harness")
    probe = lib.allocating_solver_address
    probe.restype = P
    heap = bound(lib, "heap_check", I, HEAP_ARGS, lock_held)
    out = {}
    for name, address in (("probe", probe()), ("find_root", find_root_address())):
        growth, spread = LL(), LL()
        failed = heap(address, TOL_X, N_HEAP_CHECK, ctypes.byref(growth), ctypes.byref(spread))
        out[name] = {"failed": failed, "growth": growth.value, "spread": spread.value}
    return out


def heap_check(report: h.Report) -> None:
    """No allocation per solve: glibc's count of heap bytes in use, read at
    every evaluation and after the last solve, must not move. The count is
    blind to blocks reused from glibc's per-thread cache, so the reading runs
    in a child process with that cache off, and a stand-in solver that holds
    a block while it calls back must show up in it."""
    env = dict(os.environ, GLIBC_TUNABLES="glibc.malloc.tcache_count=0")
    proc = subprocess.run([sys.executable, __file__, "--heap-readings"], env=env, capture_output=True, text=True)
    if proc.returncode != 0:
        report.check(NAME, "allocation check", False, f"child process failed: {proc.stderr.strip()[-300:]}")
        return
    readings = json.loads(proc.stdout)
    for mode, r in readings.items():
        probe, fr = r["probe"], r["find_root"]
        report.check(NAME, f"allocation check sees a held block ({mode})", probe["spread"] > 0,
                     f"stand-in solver: {probe['spread']} bytes at the evaluations")
        ok = fr["failed"] == 0 and fr["growth"] == 0 and fr["spread"] == 0
        report.check(NAME, f"no allocation per solve ({mode})", ok,
                     f"{N_HEAP_CHECK} solves: heap bytes in use changed by {fr['growth']} overall, "
                     f"by at most {fr['spread']} at any evaluation", is_target=True)

if __name__ == "__main__":
    if sys.argv[1:] == ["--heap-readings"]:
        print(json.dumps({("lock held" if held else "lock released"): heap_readings(held) for held in (True, False)}))
        raise SystemExit(0)
    r = h.Report()
    h.print_machine()
    main(r)
    raise SystemExit(r.summary())
