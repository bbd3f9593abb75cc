"""Pure-Python root finder used as the reference for the compiled one, and
ctypes prototypes of its C-level functions.

Test functions signal a failing callback by raising CallbackFailed; every
call is recorded by a Recorder so that the points evaluated can be compared.
"""

import ctypes
import math
from ctypes import POINTER, c_double, c_int, c_void_p

import capi_helpers
import velmora.math_utils._bracket_solver as bs

SUCCESS, FUNC_ERROR, EXPAND_FAIL, NO_BRACKET, MAX_ITER = range(5)


class CallbackFailed(Exception):
    pass


class Recorder:
    def __init__(self, fn):
        self.fn = fn
        self.xs = []

    def __call__(self, x):
        self.xs.append(x)
        return self.fn(x)


def expand_bracket(f, x_guess, step, grow_factor, max_expand, x_min, x_max, tolerance):
    """(status, (x_lo, x_hi, f_lo, f_hi) or None)"""
    w = step
    widenings = 0
    while True:
        lo = x_guess - w
        if x_min > lo:
            lo = x_min
        hi = x_guess + w
        if hi > x_max:
            hi = x_max
        try:
            f_lo = f(lo)
            f_hi = f(hi)
        except CallbackFailed:
            return FUNC_ERROR, None
        if tolerance > abs(f_lo):
            return SUCCESS, (lo, lo, 0.0, 0.0)
        if tolerance > abs(f_hi):
            return SUCCESS, (hi, hi, 0.0, 0.0)
        if f_hi * f_lo < 0.0:
            return SUCCESS, (lo, hi, f_lo, f_hi)
        if widenings > 0 and lo == x_min and hi == x_max:
            return EXPAND_FAIL, None
        if widenings >= max_expand:
            return EXPAND_FAIL, None
        widenings += 1
        w = w * grow_factor


def brent_root(f, x_lo, x_hi, f_lo, f_hi, tol_x, tol_f, maxiter):
    """(status, (root,) or None); ZeroDivisionError for a zero divisor."""
    if f_lo * f_hi > 0.0:
        return NO_BRACKET, None
    if abs(f_hi) > abs(f_lo):
        b, fb, a, fa = x_lo, f_lo, x_hi, f_hi
    else:
        b, fb, a, fa = x_hi, f_hi, x_lo, f_lo
    c, fc, d, bisected = a, fa, 0.0, True
    for _ in range(maxiter):
        if tol_f > abs(fb) or tol_x > abs(b - a):
            return SUCCESS, (b,)
        if fa != fc and fb != fc:
            dens = ((fa - fb) * (fa - fc), (fb - fa) * (fb - fc), (fc - fa) * (fc - fb))
            if any(den == 0.0 for den in dens):
                raise ZeroDivisionError("float division")
            s = a * fb * fc / dens[0] + b * fa * fc / dens[1] + c * fa * fb / dens[2]
        else:
            if fb - fa == 0.0:
                raise ZeroDivisionError("float division")
            s = b - fb * (b - a) / (fb - fa)
        q = (a * 3.0 + b) * 0.25
        lo, hi = (b, q) if q > b else (q, b)
        prev = abs(b - c) if bisected else abs(c - d)
        if not lo < s < hi or abs(s - b) >= prev * 0.5 or tol_x > prev:
            s = (a + b) * 0.5
            bisected = True
        else:
            bisected = False
        try:
            fs = f(s)
        except CallbackFailed:
            return FUNC_ERROR, None
        d, c, fc = c, b, fb
        if fa * fs < 0.0:
            b, fb = s, fs
        else:
            a, fa = s, fs
        if abs(fb) > abs(fa):
            a, b, fa, fb = b, a, fb, fa
    return MAX_ITER, (b,)


def find_root(f, x_guess, step, grow_factor, max_expand, x_min, x_max, tolerance, tol_x, tol_f, maxiter):
    try:
        f0 = f(x_guess)
    except CallbackFailed:
        return FUNC_ERROR, None
    if f0 == 0.0:
        return SUCCESS, (x_guess,)
    status, bracket = expand_bracket(f, x_guess, step, grow_factor, max_expand, x_min, x_max, tolerance)
    if status != SUCCESS:
        return status, None
    lo, hi, f_lo, f_hi = bracket
    if lo == hi:
        return SUCCESS, (lo,)
    return brent_root(f, lo, hi, f_lo, f_hi, tol_x, tol_f, maxiter)


def same(a, b):
    """Equal as doubles, telling -0.0 from 0.0; NaN equals NaN."""
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return a == b and math.copysign(1.0, a) == math.copysign(1.0, b)


SENTINEL = -12345.5  # preset in C-level outputs, to see which were written
SCALAR = ctypes.CFUNCTYPE(c_int, c_double, c_void_p, POINTER(c_double))
_D, _I, _P = c_double, c_int, POINTER(c_double)
ARGTYPES = {
    "expand_bracket": [SCALAR, c_void_p, _D, _D, _D, _I, _D, _D, _D, _P, _P, _P, _P],
    "brent_root": [SCALAR, c_void_p, _D, _D, _D, _D, _D, _D, _I, _P],
    "find_root": [SCALAR, c_void_p, _D, _D, _D, _I, _D, _D, _D, _D, _D, _I, _P],
}
N_OUT = {"expand_bracket": 4, "brent_root": 1, "find_root": 1}


def c_function(name, locked=True):
    """The exported function; PYFUNCTYPE keeps the lock, CFUNCTYPE releases it."""
    kind = ctypes.PYFUNCTYPE if locked else ctypes.CFUNCTYPE
    return capi_helpers.c_api(bs, name, kind(c_int, *ARGTYPES[name]))
