"""The compiled solver against the pure-Python reference: status, outputs
and the exact sequence of points evaluated, through the interpreter wrappers
and through the C-level functions with and without the interpreter lock."""

import ctypes
import math
import traceback
from ctypes import c_double

import pytest
from hypothesis import given, settings, strategies as st

import bracket_solver_helpers as ref
import velmora.math_utils._bracket_solver as bs
from bracket_solver_helpers import N_OUT, SCALAR, SENTINEL, CallbackFailed, Recorder, c_function, same

PREFIX = "velmora.math_utils._bracket_solver."
NAN = math.nan


def scalar_callback(fn):
    def cb(x, user_data, f_out):
        try:
            f_out[0] = fn(x)
        except CallbackFailed:
            return -7  # any non-zero code is a failure
        return 0

    return SCALAR(cb)


def solver_names(exc):
    return [f.name for f in traceback.extract_tb(exc.__traceback__) if f.name.startswith(PREFIX)]


def run(path, name, fn, args):
    """(status, outputs) or ("ZeroDivisionError", solver traceback entries)."""
    try:
        if path == "wrapper":
            status, *outs = getattr(bs, "py_" + name)(fn, *args)
            return status, tuple(outs)
        outs = [c_double(SENTINEL) for _ in range(N_OUT[name])]
        c_fn = c_function(name, locked=path == "c_locked")
        status = c_fn(scalar_callback(fn), None, *args, *[ctypes.byref(o) for o in outs])
        return status, tuple(o.value for o in outs)
    except SystemError as e:  # lock released: the pending error surfaces as the cause
        assert path == "c_unlocked"
        exc = e.__cause__
    except ZeroDivisionError as e:
        exc = e
    assert isinstance(exc, ZeroDivisionError) and str(exc) == "float division"
    return "ZeroDivisionError", solver_names(exc)


def expected(path, name, fn, args):
    try:
        status, outs = getattr(ref, name)(fn, *args)
    except ZeroDivisionError:
        entries = ([PREFIX + "py_" + name] if path == "wrapper" else []) + [PREFIX + name]
        if name == "find_root":
            entries.append(PREFIX + "brent_root")
        return "ZeroDivisionError", entries
    if outs is None:
        outs = (0.0 if path == "wrapper" else SENTINEL,) * N_OUT[name]
    return status, outs


def check(path, name, f, *args):
    rec_c, rec_r = Recorder(fresh(f)), Recorder(fresh(f))
    got = run(path, name, rec_c, args)
    want = expected(path, name, rec_r, args)
    assert got[0] == want[0]
    if got[0] == "ZeroDivisionError":
        assert got[1] == want[1]
    else:
        assert all(map(same, got[1], want[1])), (got, want)
    assert len(rec_c.xs) == len(rec_r.xs) and all(map(same, rec_c.xs, rec_r.xs))
    return got, rec_c.xs


class FailingAfter:
    """fn for the first n calls, then a failing callback."""

    def __init__(self, n, fn):
        self.n, self.fn, self.calls = n, fn, 0

    def __call__(self, x):
        self.calls += 1
        if self.calls > self.n:
            raise CallbackFailed
        return self.fn(x)


def fresh(f):
    return FailingAfter(f.n, f.fn) if isinstance(f, FailingAfter) else f


def cubic(x):
    return x**3 - 2.0 * x - 5.0


def tiny(x):  # |f| products underflow to zero
    return (x - 0.7) * 1e-200


def table(*values):
    """Piecewise-linear f on [0, 1] through values at k/16: exact dyadic
    arithmetic that lands on the equality edges of the bisection tests."""

    def f(x):
        t = min(max(x, 0.0), 1.0) * 16
        i = min(int(t), 15)
        return values[i] + (values[i + 1] - values[i]) * (t - i)

    return f


EXPAND_CASES = {
    "sign change": (cubic, 1.0, 0.05, 2.0, 60, -10.0, 10.0, 1e-30),
    "both ends under tolerance": (lambda x: 1e-12, 0.5, 0.1, 2.0, 5, -1.0, 1.0, 1e-9),
    "upper end under tolerance": (lambda x: x - 0.55, 0.5, 0.05, 2.0, 5, -1.0, 1.0, 1e-9),
    "zero tolerance, exact zero": (lambda x: 0.0 if x <= 0.0 else 1.0, 0.5, 0.5, 2.0, 3, -9.0, 9.0, 0.0),
    "underflowing product": (tiny, 0.5, 0.1, 2.0, 5, -9.0, 9.0, 0.0),
    "nan": (lambda x: NAN, 0.0, 1.0, 2.0, 4, -9.0, 9.0, 1.0),
    "no sign change": (lambda x: x * x + 1.0, 0.0, 1.0, 2.0, 6, -1e9, 1e9, 1e-12),
    "max_expand 0": (lambda x: x * x + 1.0, 0.0, 1.0, 2.0, 0, -9.0, 9.0, 1e-12),
    "max_expand negative": (lambda x: x * x + 1.0, 0.0, 1.0, 2.0, -3, -9.0, 9.0, 1e-12),
    "pinned from the start": (lambda x: x * x + 1.0, 0.0, 5.0, 2.0, 7, -1.0, 1.0, 1e-12),
    "lower end pinned": (lambda x: x - 3.0, 0.0, 0.5, 2.0, 10, -0.1, 10.0, 1e-12),
    "bound cuts the root side": (lambda x: x - 3.0, 0.0, 0.5, 2.0, 10, -9.0, 2.0, 1e-12),
    "negative step": (lambda x: x - 0.3, 0.0, -0.5, 2.0, 5, -9.0, 9.0, 1e-12),
    "zero step": (lambda x: x - 0.3, 0.0, 0.0, 2.0, 3, -9.0, 9.0, 1e-12),
    "nan guess": (lambda x: x, NAN, 1.0, 2.0, 2, -9.0, 9.0, 1e-12),
    "fails at a lower end": (FailingAfter(2, lambda x: x * x + 1.0), 0.0, 1.0, 2.0, 5, -9.0, 9.0, 0.0),
    "fails at an upper end": (FailingAfter(3, lambda x: x * x + 1.0), 0.0, 1.0, 2.0, 5, -9.0, 9.0, 0.0),
}

BRENT_CASES = {
    "cubic": (cubic, 1.0, 3.0, cubic(1.0), cubic(3.0), 1e-12, 1e-14, 100),
    "reversed bracket": (cubic, 3.0, 1.0, cubic(3.0), cubic(1.0), 1e-12, 1e-14, 100),
    "steep": (lambda x: math.tanh((x - 1.3) * 50.0), -4.0, 7.0, math.tanh(-265.0), math.tanh(285.0),
              1e-13, 0.0, 200),
    "exp": (lambda x: math.exp(x) - 3.0, -2.0, 5.0, math.exp(-2.0) - 3.0, math.exp(5.0) - 3.0, 0.0, 1e-15, 80),
    "root at x_lo": (cubic, 1.0, 3.0, 0.0, 16.0, 1e-12, 1e-14, 100),
    "equal magnitudes": (cubic, 1.0, 3.0, -1.0, 1.0, 1e-12, 1e-14, 0),
    "maxiter 0 at a root": (cubic, 1.0, 3.0, 0.0, 16.0, 1e-12, 1e-14, 0),
    "maxiter negative": (cubic, 1.0, 3.0, -6.0, 16.0, 1e-12, 1e-14, -5),
    "no tolerances": (cubic, 1.0, 3.0, -6.0, 16.0, 0.0, -1.0, 25),
    "exact zero found": (lambda x: x - 0.5, 0.0, 1.0, -0.5, 0.5, 0.0, 1e-300, 10),
    "within tolerance on the last step": (lambda x: x - 0.5, 0.0, 1.0, -0.5, 0.5, 0.0, 1e-300, 1),
    "no bracket": (cubic, 3.0, 4.0, cubic(3.0), cubic(4.0), 1e-12, 1e-14, 100),
    "nan end": (lambda x: x - 0.3, 0.0, 1.0, NAN, 0.7, 1e-12, 1e-14, 50),
    "underflowing product": (lambda x: cubic(x) * 1e-200, 1.0, 3.0, -6e-200, 16e-200, 1e-14, 0.0, 60),
    "secant zero divisor": (cubic, 0.0, 1.0, 0.0, 0.0, 1e-3, 0.0, 10),
    "interpolation divisor underflows": (lambda x: 1.00001e-161, 0.0, 1.0, -1e-161, 0.99999e-161, 0.0, 0.0, 10),
    "underflow to a zero divisor": (lambda x: cubic(x) * 1e-200, 1.0, 3.0, -6e-200, 16e-200, 0.0, 0.0, 100),
    "fails on a step": (FailingAfter(3, cubic), 1.0, 3.0, -6.0, 16.0, 1e-12, 1e-14, 100),
    "kinked": (lambda x: (x - 0.5) * (4.0 if x > 0.5 else 1.0), 0.0, 2.0, -0.5, 6.0, 0.0625, 1e-14, 33),
    "table a": (table(-0.25, 1, .5, -.5, -.5, -.75, 1, .75, -.75, -.75, -1, -.25, .5, -.75, .5, 1, .25),
                0.0, 1.0, -0.25, 0.25, 0.5, 1e-14, 12),
    "table b": (table(-2, .75, .75, -.75, -.75, .5, -.25, -.75, -.75, .5, .25, .5, -.25, -1, 1, -.5, 2),
                0.0, 1.0, -2.0, 2.0, 0.5, 0.0, 40),
    "table c": (table(-.5, -.75, -.75, 2, -1, 2, -.75, -.5, .75, -.25, -.75, -.5, .5, 2, -1, .25, .25),
                0.0, 1.0, -0.5, 0.25, 0.0, 0.0, 13),
    "table d": (table(-.75, .75, -.75, 2, -1, -1, 2, .75, -.25, -.5, -1, -.25, 2, .5, 2, .25, .75),
                0.0, 1.0, -0.75, 0.75, 0.015625, 0.0, 19),
    "table e": (table(-.75, -.75, .75, 1, .5, -.5, -.25, -.5, .25, 2, .25, .75, .75, 2, -.25, .25, .25),
                0.0, 1.0, -0.75, 0.25, 0.015625, 1e-14, 30),
}

FIND_CASES = {
    "cubic": (cubic, 1.0, 0.05, 2.0, 60, -10.0, 10.0, 1e-30, 1e-10, 1e-12, 100),
    "root at the guess": (lambda x: x - 0.5, 0.5, 0.05, 2.0, 60, -10.0, 10.0, 1e-30, 1e-10, 1e-12, 100),
    "negative zero at the guess": (lambda x: -0.0, 0.5, 0.05, 2.0, 60, -10.0, 10.0, 1.0, 1e-10, 1e-12, 100),
    "guess under tolerance": (lambda x: x - 0.5 + 1e-20, 0.5, 0.05, 2.0, 60, -10.0, 10.0, 1e-6, 1e-10, 1e-12,
                              100),
    "end under tolerance": (lambda x: x - 0.55, 0.5, 0.05, 2.0, 60, -10.0, 10.0, 1e-9, 1e-10, 1e-12, 100),
    "end under tolerance, no refinement": (lambda x: x - 0.55, 0.5, 0.05, 2.0, 60, -10.0, 10.0, 1e-9, 0.0, 0.0,
                                           0),
    "maxiter 0": (cubic, 1.0, 0.05, 2.0, 60, -10.0, 10.0, 1e-30, 1e-10, 1e-12, 0),
    "no sign change": (lambda x: x * x + 1.0, 0.0, 0.05, 2.0, 8, -10.0, 10.0, 1e-30, 1e-10, 1e-12, 100),
    "nan below": (lambda x: NAN if x < 0.0 else x - 5.0, 0.0, 0.05, 2.0, 60, -9.0, 9.0, 1e-30, 1e-10, 1e-12,
                  100),
    "bounded": (lambda x: x - 3.0, 0.0, 0.5, 2.0, 10, -0.1, 10.0, 1e-30, 1e-10, 1e-12, 100),
    "root outside the bounds": (lambda x: x + 3.0, -5.0, 1.0, 2.0, 10, -2.0, 10.0, 1e-30, 1e-10, 1e-12, 100),
    "negative step": (cubic, 1.0, -0.05, 2.0, 60, -10.0, 10.0, 1e-30, 1e-10, 1e-12, 100),
    "zero step": (cubic, 1.0, 0.0, 2.0, 4, -10.0, 10.0, 1e-30, 1e-10, 1e-12, 100),
    "underflowing product": (tiny, 0.5, 0.1, 2.0, 5, -9.0, 9.0, 0.0, 0.0, 0.0, 100),
    "zero tolerances": (cubic, 1.0, 0.05, 2.0, 60, -10.0, 10.0, 0.0, 0.0, 0.0, 100),
    "zero divisor": (lambda x: {0.0: -1e-161, 1.0: 0.99999e-161}.get(x, 1.00001e-161), 0.5, 0.5, 2.0, 5, -9.0, 9.0, 0.0, 0.0, 0.0, 100),
    "fails at the guess": (FailingAfter(0, cubic), 1.0, 0.05, 2.0, 60, -10.0, 10.0, 1e-30, 1e-10, 1e-12, 100),
    "fails expanding": (FailingAfter(4, cubic), 1.0, 0.05, 2.0, 60, -10.0, 10.0, 1e-30, 1e-10, 1e-12, 100),
    "fails refining": (FailingAfter(20, cubic), 1.0, 0.05, 2.0, 60, -10.0, 10.0, 1e-30, 1e-10, 1e-12, 100),
}

PATHS = ["wrapper", "c_locked", "c_unlocked"]
CASES = [(name, case_id, case) for name, cases in
         [("expand_bracket", EXPAND_CASES), ("brent_root", BRENT_CASES), ("find_root", FIND_CASES)]
         for case_id, case in cases.items()]


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("name, case", [(n, c) for n, _, c in CASES], ids=[f"{n}: {i}" for n, i, _ in CASES])
def test_matches_reference(path, name, case):
    check(path, name, *case)


def test_cases_reach_their_branches():
    # A few outcomes that pin down that the cases above exercise what they say.
    assert check("wrapper", "find_root", *FIND_CASES["root at the guess"])[1] == [0.5]
    got, xs = check("wrapper", "expand_bracket", *EXPAND_CASES["zero step"])
    assert got[0] == ref.EXPAND_FAIL and xs == [0.0] * 8
    assert len(check("wrapper", "expand_bracket", *EXPAND_CASES["pinned from the start"])[1]) == 4
    assert len(check("wrapper", "expand_bracket", *EXPAND_CASES["max_expand negative"])[1]) == 2
    got, _ = check("wrapper", "expand_bracket", *EXPAND_CASES["negative step"])
    assert got[0] == ref.SUCCESS and got[1][0] > got[1][1]
    assert check("wrapper", "find_root", *FIND_CASES["root outside the bounds"])[0] == (0, (-3.0,))
    for case in ["secant zero divisor", "interpolation divisor underflows", "underflow to a zero divisor"]:
        assert check("wrapper", "brent_root", *BRENT_CASES[case])[0][0] == "ZeroDivisionError"
    assert check("wrapper", "find_root", *FIND_CASES["zero divisor"])[0][0] == "ZeroDivisionError"
    got, xs = check("wrapper", "find_root", *FIND_CASES["zero tolerances"])
    assert got[0] == ref.MAX_ITER and len(xs) == 1 + 12 + 100
    assert len(check("wrapper", "brent_root", *BRENT_CASES["no tolerances"])[1]) == 25


finite = st.floats(-50.0, 50.0, allow_nan=False)


@settings(max_examples=150, deadline=None)
@given(roots=st.lists(finite, min_size=1, max_size=3), x_guess=finite, step=st.floats(-2.0, 4.0),
       grow=st.floats(0.5, 4.0), max_expand=st.integers(-1, 12), x_min=st.floats(-80.0, 0.0),
       x_max=st.floats(0.0, 80.0), tolerance=st.sampled_from([0.0, 1e-30, 1e-8, 0.5]),
       tol_x=st.sampled_from([0.0, 1e-12, 1e-3]), tol_f=st.sampled_from([0.0, 1e-14, 1e-6]),
       maxiter=st.integers(0, 60), path=st.sampled_from(["wrapper", "c_locked"]))
def test_random_polynomials(roots, x_guess, step, grow, max_expand, x_min, x_max, tolerance, tol_x, tol_f,
                            maxiter, path):
    def f(x):
        y = 1.0
        for r in roots:
            y = y * (x - r)
        return y

    check(path, "find_root", f, x_guess, step, grow, max_expand, x_min, x_max, tolerance, tol_x, tol_f, maxiter)
