"""Disk closure: solve_profile over 10^5 radii, with the electron-scattering
law and with the shipped sample table, in microseconds per row, against a
pure NumPy/SciPy implementation of the same closure (brentq per row, written
here); and with threads=2 against threads=1.

Targets: at least 100x faster per row than the NumPy/SciPy implementation;
threads=2 at least 1.8x faster than threads=1 on two cores.

velmora.dynamics.accretion.one_zone.closure.solve_profile does not exist yet;
until it does, this benchmark reports both targets as skipped. Its
measurement goes in `measure` below, with the figures reported through
report.compare (ratios: velmora / NumPy-SciPy <= 0.01, threads=2 / threads=1
<= 1 / 1.8).
"""

from __future__ import annotations

import importlib

import _harness as h

NAME = "disk closure"
MODULE = "velmora.dynamics.accretion.one_zone.closure"
TARGET_VS_SCIPY = h.Target(0.01, "at least 100x faster (ratio <= 0.01)")
TARGET_THREADS = h.Target(1 / 1.8, "threads=2 at least 1.8x faster (ratio <= 0.56)")


def measure(report: h.Report, solve_profile) -> None:
    raise NotImplementedError("the solve_profile benchmark is still to be written")


def main(report: h.Report) -> None:
    report.section("4. Disk closure: solve_profile vs NumPy/SciPy, threads=2 vs threads=1")
    solve_profile = getattr(importlib.import_module(MODULE), "solve_profile", None)
    if solve_profile is None:
        reason = f"{MODULE}.solve_profile is not there yet"
        report.skip(NAME, "solve_profile per row vs NumPy/SciPy brentq", reason)
        report.skip(NAME, "solve_profile threads=2 vs threads=1", reason)
        return
    measure(report, solve_profile)


if __name__ == "__main__":
    r = h.Report()
    h.print_machine()
    main(r)
    raise SystemExit(r.summary())
