"""Property tests: random tables, points and modes, random callables for the
root finder, random rings for the closure and random run-time dictionaries
never crash, and agree with the pure-Python references (or raise what the
reference raises)."""

import ctypes
import math
from ctypes import byref

import numpy as np
from hypothesis import given, settings, strategies as st

import bracket_solver_helpers as bsh
import gasrad_adv_reference as ref
from capi_helpers import frame_names
from disk_records import DiskDerived, DiskState, FallbackParams
from grid_tables_reference import LAWS, LN10, Reference, outcome, same
from hostile_values import FloatRaises
from velmora.dynamics.accretion.one_zone.models._gasrad_adv import AdvectiveClosure
from velmora.math_utils import _bracket_solver as bs
from velmora.radiation.opacity.grey_opacity.rosseland._opal_grid import C_OPALGridOpacity

SETTINGS = settings(max_examples=60, deadline=None)
METHODS = ("log_opacity", "dlogkappa_dlogrho", "dlogkappa_dlogT")

# Doubles a table can hold: ordinary, huge, tiny, zero of both signs, and
# (where allowed) infinities and NaN.
special = st.sampled_from([0.0, -0.0, 1e300, -1e300, 1e-300, -1e-300, 5e-324, math.inf, -math.inf, math.nan])
entries = st.one_of(st.floats(-6.0, 6.0), special)
ordinary_grid = st.lists(st.floats(-10.0, 10.0), min_size=2, max_size=6).map(sorted)
hostile_grid = st.lists(st.one_of(st.floats(-10.0, 10.0), special), min_size=2, max_size=6)
grids = st.one_of(ordinary_grid, ordinary_grid, hostile_grid,
                  st.tuples(st.floats(-10.0, 10.0), st.floats(1e-12, 5.0)).map(lambda p: [p[0], p[0] + p[1]]))
modes = st.one_of(st.sampled_from([0, 1, 2]), st.integers(-2**31, 2**31 - 1))
coordinates = st.one_of(st.floats(-12.0, 12.0), special)


@st.composite
def tables(draw):
    g1, g2 = np.array(draw(grids)), np.array(draw(grids))
    extra = draw(st.tuples(st.integers(0, 2), st.integers(0, 2)))
    shape = (len(g1) + extra[0], len(g2) + extra[1])
    lk = np.array(draw(st.lists(entries, min_size=shape[0] * shape[1], max_size=shape[0] * shape[1])))
    return g1, g2, lk.reshape(shape)


@st.composite
def points(draw, g1, g2):
    """Table coordinates near the grids (nodes, just outside, far outside)
    or anywhere, NaN and infinities included."""
    def near(g):
        finite = [float(v) for v in g if math.isfinite(v)] or [0.0]
        return st.one_of(coordinates, st.sampled_from(finite).flatmap(
            lambda v: st.sampled_from([v, v + 5e-10, v - 5e-10, v + 2e-9, v - 0.3, v + 0.3])))
    return draw(st.lists(st.tuples(near(g1), near(g2)), min_size=1, max_size=6))


def caller_logs(law, x, y):
    log_T = x * LN10
    return log_T, ((y + (x - 6.0) * 3.0) if law["opal"] else y) * LN10


@SETTINGS
@given(name=st.sampled_from(sorted(LAWS)), table=tables(), mode=modes, data=st.data())
def test_random_tables_points_and_modes(name, table, mode, data):
    check_law_at(name, table, mode, data.draw(points(*table[:2])))


def check_law_at(name, table, mode, coords):
    """The law built from `table` against the reference at the table
    coordinates `coords`, [(x, y), ...], every method and its _array form.
    (The fuzzing harnesses in fuzz/ call this too.)"""
    law = LAWS[name]
    g1, g2, lk = table
    obj, reference = law["cls"](g1, g2, lk, mode), Reference(law, g1, g2, lk, mode)
    pts = [caller_logs(law, x, y) for x, y in coords]
    for p in pts:
        for m in METHODS:
            got, want = outcome(getattr(obj, m), *p), outcome(getattr(reference, m), *p)
            assert same(got, want), (m, p, got, want)
    # The vectorised form gives the scalar results, or the first failure.
    log_T, log_rho = np.array([p[0] for p in pts]), np.array([p[1] for p in pts])
    for m in METHODS:
        want = [outcome(getattr(reference, m), *p) for p in pts]
        failure = next((w for w in want if w[0] != "value"), None)
        got = outcome(getattr(obj, m + "_array"), log_T, log_rho)
        if failure is not None:
            assert got == failure
        else:
            assert all(same(("value", g), w) for g, w in zip(got[1].tolist(), want))


@SETTINGS
@given(name=st.sampled_from(sorted(LAWS)), table=tables(), mode=modes,
       rho=st.one_of(st.floats(0.0, 1e10), special), T=st.one_of(st.floats(0.0, 1e10), special))
def test_random_linear_opacity(name, table, mode, rho, T):
    law = LAWS[name]
    obj, reference = law["cls"](*table, mode), Reference(law, *table, mode)
    assert same(outcome(obj.opacity, rho, T), outcome(reference.opacity, rho, T))


# --- the root finder ------------------------------------------------------------------

@st.composite
def callables(draw):
    """Piecewise-linear functions through random values (NaN, infinities,
    huge and tiny values among them), optionally failing at the k-th call."""
    lo = draw(st.floats(-20.0, 20.0))
    width = draw(st.floats(1e-6, 20.0))
    values = draw(st.lists(st.one_of(st.floats(-1e3, 1e3), special), min_size=2, max_size=8))
    fail_at = draw(st.one_of(st.none(), st.integers(0, 40)))
    return piecewise_linear(lo, width, values), fail_at


def piecewise_linear(lo, width, values):
    """The function through `values` at equal steps over [lo, lo + width],
    constant beyond."""
    n = len(values) - 1

    def shape(x):
        t = (x - lo) / width * n
        if not t >= 0.0:
            return values[0] if not math.isnan(t) else math.nan
        if t >= n:
            return values[-1]
        i = int(t)
        return values[i] + (values[i + 1] - values[i]) * (t - i)

    return shape


class Counted:
    def __init__(self, shape, fail_at):
        self.shape, self.fail_at, self.xs = shape, fail_at, []

    def __call__(self, x):
        self.xs.append(x)
        if self.fail_at is not None and len(self.xs) > self.fail_at:
            raise bsh.CallbackFailed
        return self.shape(x)


def compare(name, fn_and_fail, args):
    shape, fail_at = fn_and_fail
    got_f, want_f = Counted(shape, fail_at), Counted(shape, fail_at)
    try:
        status, *outs = getattr(bs, "py_" + name)(got_f, *args)
        got = (status, tuple(outs))
    except ZeroDivisionError as e:
        assert frame_names(e)[0] == "velmora.math_utils._bracket_solver.py_" + name
        got = ("ZeroDivisionError",)
    try:
        status, outs = getattr(bsh, name)(want_f, *args)
        want = (status, outs if outs is not None else (0.0,) * bsh.N_OUT[name])
    except ZeroDivisionError:
        want = ("ZeroDivisionError",)
    assert got[0] == want[0], (got, want)
    if len(got) > 1:
        assert all(map(bsh.same, got[1], want[1])), (got, want)
    assert len(got_f.xs) == len(want_f.xs) and all(map(bsh.same, got_f.xs, want_f.xs))


solver_doubles = st.one_of(st.floats(-30.0, 30.0), special)
tolerances = st.sampled_from([0.0, 1e-30, 1e-12, 1e-6, 0.5, math.nan, -1.0])
counts = st.integers(-2, 30)


@SETTINGS
@given(f=callables(), x_guess=solver_doubles, step=solver_doubles, grow=st.one_of(st.floats(0.0, 4.0), special),
       max_expand=counts, x_min=solver_doubles, x_max=solver_doubles, tolerance=tolerances, tol_x=tolerances,
       tol_f=tolerances, maxiter=counts)
def test_random_callables_find_root(f, x_guess, step, grow, max_expand, x_min, x_max, tolerance, tol_x, tol_f,
                                    maxiter):
    compare("find_root", f, (x_guess, step, grow, max_expand, x_min, x_max, tolerance, tol_x, tol_f, maxiter))


@SETTINGS
@given(f=callables(), x_guess=solver_doubles, step=solver_doubles, grow=st.one_of(st.floats(0.0, 4.0), special),
       max_expand=counts, x_min=solver_doubles, x_max=solver_doubles, tolerance=tolerances)
def test_random_callables_expand_bracket(f, x_guess, step, grow, max_expand, x_min, x_max, tolerance):
    compare("expand_bracket", f, (x_guess, step, grow, max_expand, x_min, x_max, tolerance))


@SETTINGS
@given(f=callables(), x_lo=solver_doubles, x_hi=solver_doubles, f_lo=solver_doubles, f_hi=solver_doubles,
       tol_x=tolerances, tol_f=tolerances, maxiter=counts)
def test_random_callables_brent_root(f, x_lo, x_hi, f_lo, f_hi, tol_x, tol_f, maxiter):
    compare("brent_root", f, (x_lo, x_hi, f_lo, f_hi, tol_x, tol_f, maxiter))


# --- the closure on random rings --------------------------------------------------------

KRAMERS = {mode: C_OPALGridOpacity(*ref.TABLE, mode) for mode in (0, 1, 2)}


@settings(max_examples=40, deadline=None)
@given(log_R=st.floats(math.log(1e3), math.log(1e14)), log_Sigma=st.floats(math.log(1e-3), math.log(1e8)),
       omega_factor=st.floats(0.01, 100.0), xi=st.sampled_from([0.0, 0.1, 0.5, 2.0]),
       law=st.sampled_from(["electron scattering", 0, 1, 2]),
       previous=st.one_of(st.just(0.0), st.floats(-5.0, 40.0), special))
def test_random_rings_match_the_reference(log_R, log_Sigma, omega_factor, xi, law, previous):
    c = ref.bound_closure(xi=xi, law=None if law == "electron scattering" else KRAMERS[law])
    derived = (math.exp(log_R), math.exp(log_Sigma), ref.keplerian(math.exp(log_R)) * omega_factor)
    out = ref.result_record(fill=-7.25)
    try:
        status = ref.closure_func()(byref(DiskState(0.0, 1.0, 1.0)), byref(DiskDerived(*derived)),
                                    byref(ref.parameters_of(c)), byref(ref.result_record(previous)), byref(out))
        got = (status, ref.as_dict(out) if status == 0 else None)
    except (ValueError, ZeroDivisionError) as e:
        got = (type(e), str(e))
    try:
        want = ref.solve(derived, ref.RUN_PARAMS["alpha"], 0.6, xi, c.opacity, previous)
    except (ValueError, ZeroDivisionError) as e:
        want = (type(e), str(e))
    if got[0] == 0 == want[0]:
        assert all(bsh.same(got[1][k], want[1][k]) for k in ref.FIELDS), (got, want)
    else:
        assert got == want   # the same status with nothing written, or the same exception


# --- random run-time parameter dictionaries ------------------------------------------------

KEYS = ("log_M_BH", "log_R_in", "alpha", "log_M_fb_0", "log_R_c", "log_t_fb", "beta_fb")
values = st.one_of(st.floats(-800.0, 800.0), special, st.integers(-2**70, 2**70), st.just(None),
                   st.just("1.0"), st.just([1.0]), st.builds(FloatRaises), st.just(np.float32(2.5)),
                   st.just(True))


def to_double(v):
    """The package's conversion to a double, in Python."""
    if isinstance(v, (str, bytes)):
        raise TypeError("must be real number")
    return float(v)


def c_exp(v):
    try:
        return math.exp(v)
    except OverflowError:
        return math.inf


def expected_binding(d, with_fallback):
    """(the exception type or None, the stored values) of binding `d`."""
    stored = {}
    try:
        for key, name, fn in (("log_M_BH", "M_BH", c_exp), ("log_R_in", "R_in", c_exp), ("alpha", "alpha", None)):
            if key not in d:
                raise KeyError(key)
            x = to_double(d[key])
            stored[name] = fn(x) if fn else x
        if with_fallback:
            linear = []
            for key in ("log_M_fb_0", "log_R_c", "log_t_fb"):
                if key not in d:
                    raise KeyError(key)
                linear.append(c_exp(to_double(d[key])))
            if "beta_fb" not in d:
                raise KeyError("beta_fb")
            beta = to_double(d["beta_fb"])
            if not all(v > 0.0 and math.isfinite(v) for v in linear) or not math.isfinite(beta):
                raise ValueError("CFallback")
            stored["fallback"] = tuple(linear) + (beta,)
    except Exception as e:
        return type(e), stored
    return None, stored


VALID = {"log_M_BH": math.log(2e34), "log_R_in": math.log(1e7), "alpha": 0.1, "log_M_fb_0": math.log(1e32),
         "log_R_c": math.log(1e9), "log_t_fb": math.log(3e4), "beta_fb": 1.5}


@st.composite
def run_params(draw):
    """A valid dictionary with some keys dropped, some values replaced and
    some keys added."""
    d = {k: v for k, v in VALID.items() if draw(st.integers(0, 9)) > 0}
    for key in draw(st.lists(st.sampled_from(KEYS), max_size=3)):
        d[key] = draw(values)
    d.update(draw(st.dictionaries(st.text(max_size=8), values, max_size=2)))
    return d


@settings(max_examples=150, deadline=None)
@given(d=run_params(), with_fallback=st.booleans())
def test_random_run_params_bind_or_raise_clearly(d, with_fallback):
    check_binding(AdvectiveClosure(with_fallback=with_fallback), d, with_fallback)


def check_binding(c, d, with_fallback):
    """Binds `d` to the closure `c` and checks the outcome against the model:
    the same exception, or the same values stored; returns the exception
    type or None. (The fuzzing harnesses in fuzz/ call this too.)"""
    error, stored = expected_binding(d, with_fallback)
    try:
        c.bind_runtime_parameters(d)
        got = None
    except Exception as e:
        got = type(e)
        assert str(e) and "velmora.dynamics.accretion.one_zone.models._gasrad_adv.AdvectiveClosure." \
            "bind_runtime_parameters" in frame_names(e)
    assert got is error, (d, got, error)
    p = ref.parameters_of(c)
    for name, value in stored.items():
        if name == "fallback":
            record = ctypes.cast(p.fallback, ctypes.POINTER(FallbackParams)).contents
            assert (record.M_fb_0, record.R_c, record.t_fb, record.beta_fb) == value
        else:
            assert bsh.same(getattr(p, name), value)
    assert bool(p.advection) == ("alpha" in stored)
    return error
