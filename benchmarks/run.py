"""Runs every benchmark in turn and closes with the list of targets, each met,
not met or skipped. Run it through `make bench` (or `./dev.sh bench`), which
builds the harnesses first and clears the machine's OpenBLAS core override
for this command.

    python benchmarks/run.py [NAME ...]    NAME: table, opal-extended, root-c, root-py, disk, evolve-grid, sweep

Exits 1 when an agreement check fails (a wrong result is an error); a target
that is not met is reported, not an error.
"""

from __future__ import annotations

import sys

import _harness as h
import bench_disk_closure
import bench_evolve_grid
import bench_opal_extended
import bench_root_finder_c
import bench_root_finder_py
import bench_sweep
import bench_table_opacity

BENCHMARKS = {
    "table": bench_table_opacity,
    "opal-extended": bench_opal_extended,
    "root-c": bench_root_finder_c,
    "root-py": bench_root_finder_py,
    "disk": bench_disk_closure,
    "evolve-grid": bench_evolve_grid,
    "sweep": bench_sweep,
}


def main(argv: list[str]) -> int:
    unknown = [a for a in argv if a not in BENCHMARKS]
    if unknown:
        print(f"bench: unknown benchmark {', '.join(unknown)} (choose from {', '.join(BENCHMARKS)})",
              file=sys.stderr)
        return 2
    report = h.Report()
    h.print_machine()
    for name in argv or BENCHMARKS:
        BENCHMARKS[name].main(report)
        sys.stdout.flush()
    return report.summary()


if __name__ == "__main__":
    raise SystemExit(main(sys.argv[1:]))
