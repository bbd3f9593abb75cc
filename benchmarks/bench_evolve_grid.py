"""The program's disk over a tidal-disruption grid: every run must finish with
the default step budget, and a run should take milliseconds.

Grid: 6 hole masses (1e5 to 3e7 M_sun) x alpha 0.01, 0.1, 0.3 x xi 0.1,
0.5, 1, 2 x electron scattering and the sample table x fallback on and off
(288 runs), and stars of 0.1 to 10 M_sun (fallback mass M_star / 3,
circularisation radius twice the tidal radius of a main-sequence star,
R_star = R_sun (M_star / M_sun)^0.8) around holes of 1e5 to 1e7 M_sun (60
runs), each at the program's defaults otherwise (1000 rows, rtol 1e-8).
Printed: how many finish, the median and worst time of one evolve call
against the goals (20 ms and 1 s), and one peer: the default disk's thick
phase integrated by SciPy's DOP853 on the same rates (solve_profile on the
thick branch per evaluation), at the same tolerance.
"""

from __future__ import annotations

import itertools
import math
import statistics
import sys
import time

import numpy as np

import _harness as h

NAME = "evolve-grid"
MEDIAN_GOAL, WORST_GOAL = 0.020, 1.0


def grid():
    for mbh, alpha, xi, opacity, fallback in itertools.product(
            [1e5, 3e5, 1e6, 3e6, 1e7, 3e7], [0.01, 0.1, 0.3], [0.1, 0.5, 1.0, 2.0], ["es", "sample"], [True, False]):
        yield ["--mbh", str(mbh), "--alpha", str(alpha), "--xi", str(xi), "--opacity", opacity] + \
              ([] if fallback else ["--no-fallback"])
    from velmora.cli import R_SUN
    for mstar, mbh, opacity, fallback in itertools.product(
            [0.1, 0.3, 1.0, 3.0, 10.0], [1e5, 1e6, 1e7], ["es", "sample"], [True, False]):
        R_t = R_SUN * mstar ** 0.8 * (mbh / mstar) ** (1.0 / 3.0)
        # without fallback the star's debris is the disk, at the circularisation radius
        yield ["--mbh", str(mbh), "--opacity", opacity] + (
            ["--fallback-mass", str(mstar / 3.0), "--circularisation-radius", str(2.0 * R_t)] if fallback
            else ["--no-fallback", "--disk-radius", str(2.0 * R_t)])


def run_grid(report):
    from velmora import cli
    from velmora.dynamics.accretion.one_zone.closure import evolve

    times, failed = [], []
    for argv in grid():
        args = cli.parse(argv)
        closure = cli.make_closure(args)
        t0 = time.perf_counter()
        try:
            evolve(closure, args.M_D0, args.R_D0, args.t_end, n_out=args.n_out, rtol=args.rtol,
                   max_steps=args.max_steps, branch=args.branch)
        except Exception as exc:  # noqa: BLE001 - every failure is counted and shown
            failed.append((" ".join(argv), f"{type(exc).__name__}: {exc}"))
            continue
        times.append(time.perf_counter() - t0)
    n = len(times) + len(failed)
    report.check(NAME, "every run finishes", not failed, f"{len(times)} of {n} finished", is_target=True)
    for argv, text in failed[:10]:
        report.note(f"failed: {argv}: {text}")
    median, worst = statistics.median(times), max(times)
    report.check(NAME, "median evolve", median <= MEDIAN_GOAL, f"{1e3 * median:.1f} ms (goal 20 ms)", is_target=True)
    report.check(NAME, "worst evolve", worst <= WORST_GOAL, f"{1e3 * worst:.1f} ms (goal 1000 ms)", is_target=True)


def scipy_thick_phase(args, closure, t_end, rtol):
    """The default disk on the thick branch to t_end by SciPy's DOP853."""
    from scipy.integrate import solve_ivp

    from velmora.cli import G_CGS
    from velmora.dynamics.accretion.one_zone.closure import solve_profile

    def rates(t, y):
        R_D = (y[1] / y[0]) ** 2 / (G_CGS * args.M_BH)
        Sigma, Omega = y[0] / (math.pi * R_D * R_D), math.sqrt(G_CGS * args.M_BH / R_D ** 3)
        row = solve_profile(closure, [R_D], [Sigma], [Omega], M_D=[y[0]], branch="thick")[0]
        Mdot = row[16]
        fb = (args.M_fb_0 / args.t_fb) * (1.0 + t / args.t_fb) ** (-args.beta_fb)
        return [fb - Mdot, fb * math.sqrt(G_CGS * args.M_BH * args.R_c) - Mdot * math.sqrt(G_CGS * args.M_BH * args.R_in)]

    y0 = [args.M_D0, args.M_D0 * math.sqrt(G_CGS * args.M_BH * args.R_D0)]
    return solve_ivp(rates, (0.0, t_end), y0, method="DOP853", rtol=rtol, atol=[1e-20 * v for v in y0]).y[:, -1]


def compare_with_scipy(report):
    from velmora import cli
    from velmora.dynamics.accretion.one_zone.closure import evolve

    args = cli.parse([])
    closure = cli.make_closure(args)
    t_end, rtol = 100 * 86400.0, 1e-8
    ours = evolve(closure, args.M_D0, args.R_D0, t_end, n_out=1, rtol=rtol, branch="thick")[0, 2:4]
    theirs = scipy_thick_phase(args, closure, t_end, rtol)
    agree = float(np.max(np.abs(ours / theirs - 1.0)))
    report.check(NAME, "thick phase agrees with SciPy", agree < 1e-6, f"largest relative difference {agree:.1e}")
    medians = h.interleaved_medians({
        "velmora": lambda: evolve(closure, args.M_D0, args.R_D0, t_end, n_out=1, rtol=rtol, branch="thick"),
        "scipy": lambda: scipy_thick_phase(args, closure, t_end, rtol),
    }, repeats=3)
    report.compare(NAME, "default disk, thick phase (100 d)", 1e3 * medians["velmora"], "SciPy DOP853",
                   1e3 * medians["scipy"], "ms")


def main(report):
    report.section("Disk evolution over a tidal-disruption grid (velmora-disk's disk)")
    run_grid(report)
    compare_with_scipy(report)


if __name__ == "__main__":
    rep = h.Report()
    h.print_machine()
    main(rep)
    sys.exit(rep.summary())
