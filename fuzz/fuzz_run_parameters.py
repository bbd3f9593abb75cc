"""Fuzzing target: AdvectiveClosure.bind_runtime_parameters on dictionaries
of known and unknown keys with hostile values, against the binding model of
the property tests; a bound closure then solves a few rings."""

import math

import numpy as np

from _harness import Doubles, run
from hostile_values import FloatRaises
from test_hardening_properties import KEYS, VALID, check_binding
from velmora.dynamics.accretion.one_zone.closure import solve_profile
from velmora.dynamics.accretion.one_zone.models._gasrad_adv import AdvectiveClosure


def value(d: Doubles):
    kind = d.int(0, 9)
    if kind <= 4:
        return d(-800.0, 800.0)
    return (lambda: d.fdp.ConsumeIntInRange(-2**70, 2**70), lambda: None, lambda: "1.0",
            lambda: [1.0], FloatRaises)[kind - 5]()


def test_one_input(data: bytes) -> None:
    d = Doubles(data)
    params = {k: v for k, v in VALID.items() if d.int(0, 9) > 0}
    for _ in range(d.int(0, 3)):
        params[KEYS[d.int(0, len(KEYS) - 1)]] = value(d)
    if d.int(0, 3) == 0:
        params[d.fdp.ConsumeUnicodeNoSurrogates(8)] = value(d)
    with_fallback = bool(d.int(0, 1))
    # mu and xi in their valid ranges: the binding model knows nothing else.
    c = AdvectiveClosure(with_fallback, d.plain(0.1, 5.0), d.plain(0.0, 3.0))
    if check_binding(c, params, with_fallback) is None:
        R = np.array([math.exp(d.plain(math.log(1e3), math.log(1e15))) for _ in range(3)])
        try:
            solve_profile(c, R, np.full(3, 1e4), np.sqrt(6.674e-8 * 2e34 / R**3), on_failure="nan")
        except (ValueError, ZeroDivisionError, RuntimeError):
            pass   # parameters without a solution (NaN, or a non-positive hole mass)


if __name__ == "__main__":
    run(test_one_input)
