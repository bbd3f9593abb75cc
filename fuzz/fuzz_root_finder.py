"""Fuzzing target: the three interpreter-level root-finder wrappers on
piecewise-linear callables that may fail at a chosen call, against the
pure-Python solver of the property tests (status, outputs, points)."""

from _harness import Doubles, run
from test_hardening_properties import compare, piecewise_linear


def test_one_input(data: bytes) -> None:
    d = Doubles(data)
    lo, width = d(-20.0, 20.0), d.plain(1e-6, 20.0)   # the callable itself never fails
    values = d.list(d.int(2, 8), -1e3, 1e3)
    fail_at = d.int(-1, 40)
    fail_at = None if fail_at < 0 else fail_at
    shape = piecewise_linear(lo, width, values)

    which = d.int(0, 2)
    counts = [d.int(-2, 40) for _ in range(2)]
    x = [d(-30.0, 30.0) for _ in range(5)]
    tol = [d(0.0, 1e-3) for _ in range(3)]
    if which == 0:
        args = (x[0], x[1], d(0.0, 4.0), counts[0], x[2], x[3], tol[0], tol[1], tol[2], counts[1])
        compare("find_root", (shape, fail_at), args)
    elif which == 1:
        compare("expand_bracket", (shape, fail_at), (x[0], x[1], d(0.0, 4.0), counts[0], x[2], x[3], tol[0]))
    else:
        compare("brent_root", (shape, fail_at), (x[0], x[1], x[2], x[3], tol[1], tol[2], counts[1]))


if __name__ == "__main__":
    run(test_one_input)
