"""What every fuzzing target shares: the test suite's references on the
path, libFuzzer through atheris, and a reader of fuzzed doubles.

A target module defines test_one_input(data: bytes) and ends with
run(test_one_input). scripts/fuzz.sh runs the targets against a build of the
package instrumented for coverage (clang, -fsanitize=fuzzer-no-link,address);
`python fuzz/fuzz_NAME.py CRASH_FILE` replays one input there.
"""

from __future__ import annotations

import math
import os
import sys

import atheris

# The references and oracles of the property tests (tests/) serve as the
# fuzzing oracles.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests"))

SPECIAL = [0.0, -0.0, 1e300, -1e300, 1e-300, -1e-300, 5e-324, math.inf, -math.inf, math.nan]


class Doubles:
    """Doubles from the fuzzer's bytes: mostly in a range, sometimes one of
    the special values or any bit pattern at all."""

    def __init__(self, data: bytes):
        self.fdp = atheris.FuzzedDataProvider(data)

    def __call__(self, lo: float, hi: float) -> float:
        kind = self.fdp.ConsumeIntInRange(0, 7)
        if kind == 0:
            return self.fdp.PickValueInList(SPECIAL)
        if kind == 1:
            return self.fdp.ConsumeFloat()
        return self.fdp.ConsumeFloatInRange(lo, hi)

    def plain(self, lo: float, hi: float) -> float:
        """A double in [lo, hi] only."""
        return self.fdp.ConsumeFloatInRange(lo, hi)

    def int(self, lo: int, hi: int) -> int:
        return self.fdp.ConsumeIntInRange(lo, hi)

    def list(self, n: int, lo: float, hi: float) -> list[float]:
        return [self(lo, hi) for _ in range(n)]


def run(test_one_input) -> None:
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
