"""What the benchmarks share: interleaved median timing, the compiled
harnesses that `make bench` builds into benchmarks/_build/, and the report.

Every figure is velmora against a peer, measured in the same process on the
same inputs, with their ratio r = velmora / peer (time per unit of work, so
r < 1 means velmora is faster). A target is a bound on that ratio, and the
report says whether it is met; no absolute time is a verdict.
"""

from __future__ import annotations

import ctypes
import gc
import os
import platform
import statistics
import subprocess
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

BUILD = Path(__file__).resolve().parent / "_build"


def load_harness(name: str) -> ctypes.CDLL:
    """A shared library built by `make bench` (benchmarks/_build/NAME.so)."""
    path = BUILD / f"{name}.so"
    if not path.exists():
        raise SystemExit(f"bench: {path} is missing; build it with `make bench` (or `make harnesses`)")
    return ctypes.CDLL(str(path))


def interleaved_medians(candidates: dict, repeats: int, warmup: int = 1) -> dict:
    """Median wall time in seconds of one call of each candidate.

    The candidates are called in turn, round after round, so that a slow
    phase of the machine falls on all of them alike. The garbage collector
    is off while timing.
    """
    for _ in range(warmup):
        for fn in candidates.values():
            fn()
    times = {name: [] for name in candidates}
    enabled = gc.isenabled()
    gc.disable()
    try:
        for _ in range(repeats):
            for name, fn in candidates.items():
                t0 = time.perf_counter()
                fn()
                times[name].append(time.perf_counter() - t0)
    finally:
        if enabled:
            gc.enable()
    return {name: statistics.median(ts) for name, ts in times.items()}


@dataclass
class Target:
    """velmora / peer must not exceed `bound`; `text` says it in words."""

    bound: float
    text: str

    def met(self, ratio: float) -> bool:
        return ratio <= self.bound


FASTER_2X = Target(0.5, "at least 2x faster (ratio <= 0.50)")
WITHIN_1_5X = Target(1.5, "within 1.5x (ratio <= 1.50)")
NO_SLOWER = Target(1.0, "no slower (ratio <= 1.00)")


@dataclass
class Row:
    benchmark: str
    what: str
    verdict: str  # "met", "NOT met", "skipped", "failed"
    detail: str


@dataclass
class Report:
    rows: list = field(default_factory=list)
    failures: list = field(default_factory=list)

    def section(self, title: str) -> None:
        print(f"\n== {title}")

    def note(self, text: str) -> None:
        print(f"   {text}")

    def compare(self, benchmark: str, what: str, velmora: float, peer_name: str, peer: float, unit: str,
                target: Target | None = None) -> float:
        """Prints velmora, the peer and their ratio; records the target's verdict."""
        ratio = velmora / peer
        line = (f"   {what:<34} velmora {velmora:9.2f} {unit}   {peer_name} {peer:9.2f} {unit}"
                f"   ratio {ratio:6.3f}")
        if target is not None:
            verdict = "met" if target.met(ratio) else "NOT met"
            line += f"   target {target.text}: {verdict}"
            self.rows.append(Row(benchmark, f"{what} vs {peer_name}", verdict,
                                 f"ratio {ratio:.3f}, {target.text}"))
        print(line)
        return ratio

    def check(self, benchmark: str, what: str, ok: bool, detail: str, is_target: bool = False) -> None:
        """An agreement check (a failure is an error) or a yes/no target."""
        if is_target:
            verdict = "met" if ok else "NOT met"
            print(f"   {what}: {detail}   target: {verdict}")
            self.rows.append(Row(benchmark, what, verdict, detail))
            return
        print(f"   check {what}: {detail}: {'ok' if ok else 'FAILED'}")
        if not ok:
            self.failures.append(f"{benchmark}: {what}: {detail}")
            self.rows.append(Row(benchmark, what, "failed", detail))

    def skip(self, benchmark: str, what: str, reason: str) -> None:
        print(f"   {what}: skipped ({reason})")
        self.rows.append(Row(benchmark, what, "skipped", reason))

    def summary(self) -> int:
        print("\n== Summary of the targets")
        for r in self.rows:
            print(f"   [{r.verdict:>7}] {r.benchmark}: {r.what} ({r.detail})")
        met = sum(r.verdict == "met" for r in self.rows)
        unmet = sum(r.verdict == "NOT met" for r in self.rows)
        skipped = sum(r.verdict == "skipped" for r in self.rows)
        print(f"   {met} met, {unmet} not met, {skipped} skipped, {len(self.failures)} failed checks")
        return 1 if self.failures else 0


def _cpu_model() -> str:
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def _compiler() -> str:
    recorded = BUILD / "compiler.txt"  # written by `make harnesses`
    if recorded.exists():
        return recorded.read_text().strip()
    cxx = os.environ.get("CXX", "c++")
    try:
        out = subprocess.run([cxx, "--version"], capture_output=True, text=True, check=True).stdout
        return out.splitlines()[0]
    except (OSError, subprocess.CalledProcessError, IndexError):
        return f"{cxx}: not found"


def _blas() -> str:
    try:
        from threadpoolctl import threadpool_info
    except ImportError:
        return "threadpoolctl not installed"
    libs = [f"{i.get('internal_api')} {i.get('architecture')} x{i.get('num_threads')}" for i in threadpool_info()]
    return ", ".join(libs) or "none loaded"


def print_machine() -> None:
    import numpy
    import scipy
    import scipy.interpolate  # loads SciPy's BLAS, so that it is listed

    print("== Machine")
    print(f"   cpu: {_cpu_model()}, {os.cpu_count()} logical cores (nproc {len(os.sched_getaffinity(0))})")
    print(f"   compiler: {_compiler()}")
    print(f"   python {platform.python_version()}, numpy {numpy.__version__}, scipy {scipy.__version__}")
    unset = [v for v in ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE") if v not in os.environ]
    print(f"   BLAS: {_blas()}; unset here: {', '.join(unset) or 'none'}")
    sys.stdout.flush()
