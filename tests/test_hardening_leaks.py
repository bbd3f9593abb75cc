"""Leak checks: every public entry point, on its success path and on each of
its failure paths, repeated a few thousand times, must leave the number of
allocated blocks and the traced memory where they were. Objects that hold
others release them when dropped, cycles included.

Each case is warmed up first (interned names, traceback code objects, caches
that fill once); the growth is the smallest of a few rounds, so that noise
from the interpreter itself cannot fail a case while a leak of one block per
call always does."""

import ctypes
import gc
import math
import pickle
import sys
import tracemalloc
import weakref
from ctypes import byref, c_double

import numpy as np
import pytest

import bracket_solver_helpers as bsh
import gasrad_adv_reference as ref
from capi_helpers import c_api, slot, vtable_address
from disk_records import COMPUTE_DERIVED, DiskDerived, DiskParameters, DiskState, DiskStep, step_prototype
from hostile_values import FloatGivesStr, FloatRaises, IndexRaises, IntRaises
from grid_tables_reference import OPAL as OPAL_LAW, logs_for, random_table
from velmora.dynamics.accretion.one_zone.closure import OneZoneClosure, solve_profile
from velmora.dynamics.accretion.one_zone.models._gasrad_adv import AdvectiveClosure
from velmora.dynamics.accretion.one_zone.physics import _fallback, _viscous
from velmora.dynamics.accretion.one_zone.physics._param_wrappers import CAdvection, CFallback
from velmora.math_utils import _bracket_solver as bs
from velmora.radiation.opacity import ElectronScatteringOpacity, kappa_core
from velmora.radiation.opacity.grey_opacity._tops_grid import C_TOPSGridOpacity
from velmora.radiation.opacity.grey_opacity.rosseland._opal_grid import C_OPALGridOpacity

ROUNDS = 4
CALLS = 400          # per round: 1600 calls per case, after the warm-up
BLOCK_BOUND = 40     # allocated blocks a case may gain, whatever CALLS is
BYTE_BOUND = 8192    # traced bytes a case may gain

Grey, Freq = kappa_core.C_GreyKappaCore, kappa_core.C_KappaCore
G1, G2, LK = random_table(5, n1=6, n2=7, holes=0.2)
ES = ElectronScatteringOpacity()
X_IN, Y_IN = float(G1[2] + 0.01), float(G2[3] + 0.02)
LOG_T_IN = X_IN * math.log(10.0)
LOG_RHO_IN = Y_IN * math.log(10.0)    # a TOPS point inside the table


def law(cls=C_TOPSGridOpacity, oob=0):
    return cls(G1, G2, LK, oob)


TOPS = {oob: law(oob=oob) for oob in (0, 1, 2)}
OPAL = law(C_OPALGridOpacity)
ZERO_WIDTH = C_TOPSGridOpacity(np.array([4.0, 5.0, 5.0]), np.array([0.0, 1.0]), np.zeros((3, 2)), 0)


class Dicted(Grey):
    pass


def watched(fn, args, kwargs):
    """The objects a call is handed (and the object of a bound method): a
    reference kept by mistake shows in their reference counts."""
    objects = [fn, getattr(fn, "__self__", None), *args, *kwargs.values()]
    return [o for o in objects if o is not None and not isinstance(o, (int, float, str, bytes))]


def expect(exc, fn, *args, **kwargs):
    """A call that must raise `exc`."""
    def run():
        try:
            fn(*args, **kwargs)
        except exc:
            return
        raise AssertionError(f"{fn} did not raise {exc.__name__}")
    run.watched = watched(fn, args, kwargs)
    return run


def call(fn, *args, **kwargs):
    def run():
        fn(*args, **kwargs)
    run.watched = watched(fn, args, kwargs)
    return run


# The type attribute cache keeps a reference on the last name looked up in
# each of its slots, chosen by the name's address: names made afresh for each
# lookup (pickle's, the closure's import of its law) land in new slots when the
# allocator does not hand the same address back, as under AddressSanitizer.
clear_internal_caches = getattr(sys, "_clear_internal_caches", None) or sys._clear_type_cache


def measure():
    gc.collect(0)
    clear_internal_caches()
    return sys.getallocatedblocks(), tracemalloc.get_traced_memory()[0]


def assert_no_leak(run):
    """Blocks and traced bytes gained over ROUNDS rounds of CALLS calls, the
    smallest gain of each, within their bounds; the reference counts of the
    objects handed to the call as they were after the first call (which may
    store one, as a setter does). Automatic collection is off while
    measuring, so that collecting the young generation alone finds every
    cycle the calls made (a full collection of the whole test session's heap
    each round would cost more than the calls)."""
    run()
    objects = getattr(run, "watched", [])
    counts = [sys.getrefcount(o) for o in objects]
    gc.collect()   # also empties the free lists: the warm-up after it fills them again
    gc.disable()
    for _ in range(150):
        run()
    tracemalloc.start()
    try:
        gains = []
        for _ in range(ROUNDS):
            blocks, traced = measure()
            for _ in range(CALLS):
                run()
            after = measure()
            gains.append((after[0] - blocks, after[1] - traced))
    finally:
        tracemalloc.stop()
        gc.enable()
    blocks, traced = min(g[0] for g in gains), min(g[1] for g in gains)
    assert blocks <= BLOCK_BOUND and traced <= BYTE_BOUND, gains
    assert [sys.getrefcount(o) for o in objects] == counts


# --- the opacity-law bases and the electron-scattering law --------------------------

A3 = np.linspace(1.0, 2.0, 3)
GREY_SLOT1 = ctypes.PYFUNCTYPE(c_double, ctypes.py_object, c_double, c_double)
dicted = Dicted()
dicted.tag = 1

KAPPA_CORE = {
    "scalar": call(ES.log_opacity, 1.0, 2.0),
    "scalar by keyword": call(ES.opacity, T=1.0, rho=2.0),
    "scalar arity": expect(TypeError, ES.log_opacity, 1.0),
    "scalar keyword": expect(TypeError, ES.log_opacity, 1.0, x=2.0),
    "scalar conversion": expect(ArithmeticError, ES.log_opacity, FloatRaises(), 1.0),
    "scalar __index__ raises": expect(ArithmeticError, ES.log_opacity, IndexRaises(), 1.0),
    "scalar __float__ not float": expect(TypeError, ES.log_opacity, FloatGivesStr(), 1.0),
    "unimplemented grey slot": expect(NotImplementedError, Grey().dlogkappa_dlogT, 1.0, 2.0),
    "unimplemented grey slot 0": expect(NotImplementedError, Grey().opacity, 1.0, 2.0),
    "unimplemented freq slot": expect(NotImplementedError, Freq().dlogkappa_dlognu, 1.0, 2.0, 3.0),
    "array": call(ES.log_opacity_array, A3, A3),
    "array None": expect(TypeError, ES.opacity_array, A3, None),
    "array dtype": expect(ValueError, ES.opacity_array, A3, A3.astype(np.float32)),
    "array read-only": expect(ValueError, ES.opacity_array, np.broadcast_to(A3, (3,)), A3),
    "array too short": expect(ValueError, ES.opacity_array, A3, A3[:2]),
    "array not a buffer": expect(TypeError, ES.opacity_array, A3, [1.0, 2.0, 3.0]),
    "array arity": expect(TypeError, ES.opacity_array, A3),
    "array slot failure": expect(NotImplementedError, Freq().log_opacity_array, A3, A3, A3),
    "slot 1 through the table": call(slot(vtable_address(ElectronScatteringOpacity), 1, GREY_SLOT1), ES, 1.0, 2.0),
    "slot failure through the table": expect(NotImplementedError, slot(vtable_address(Grey), 0, GREY_SLOT1),
                                             Grey(), 1.0, 2.0),
    "base construction": call(Grey, 1, 2, x=3),
    "pickle round trip": lambda: pickle.loads(pickle.dumps(dicted)),
    "law pickle round trip": lambda: pickle.loads(pickle.dumps(ES)),
    "setstate not a tuple": expect(TypeError, dicted.__setstate__, [1]),
    "setstate None": expect(TypeError, dicted.__setstate__, None),
    "reduce arity": expect(TypeError, dicted.__reduce__, 1),
    "reconstructor checksum": expect(pickle.PickleError, kappa_core.__c_unpickle_C_GreyKappaCore, Grey, 5, None),
    "reconstructor checksum conversion": expect(ArithmeticError, kappa_core.__c_unpickle_C_KappaCore, Freq,
                                                IntRaises(), None),
    "reconstructor state type": expect(TypeError, kappa_core.__c_unpickle_C_GreyKappaCore, Grey, 0xE3B0C44, []),
    "reconstructor unsafe type": expect(TypeError, kappa_core.__c_unpickle_C_GreyKappaCore, C_TOPSGridOpacity,
                                        0xE3B0C44, None),
    "electron scattering": call(ElectronScatteringOpacity, 0.5),
    "electron scattering X out of range": expect(ValueError, ElectronScatteringOpacity, 1.5),
    "electron scattering X conversion": expect(ArithmeticError, ElectronScatteringOpacity, FloatRaises()),
    "electron scattering arity": expect(TypeError, ElectronScatteringOpacity, 0.1, 0.2),
}


@pytest.mark.parametrize("case", list(KAPPA_CORE))
def test_opacity_bases(case):
    assert_no_leak(KAPPA_CORE[case])


# --- the table laws --------------------------------------------------------------

TABLES = {
    "construction": call(C_TOPSGridOpacity, G1, G2, LK, 0),
    "construction by keyword": call(C_OPALGridOpacity, oob=1, lk=LK, g2=G2, g1=G1),
    "construction None": expect(TypeError, C_TOPSGridOpacity, G1, None, LK, 0),
    "construction dtype": expect(ValueError, C_TOPSGridOpacity, G1, G2.astype(np.int64), LK, 0),
    "construction dimensions": expect(ValueError, C_OPALGridOpacity, G1, G2, LK.ravel(), 0),
    "construction read-only": expect(ValueError, C_OPALGridOpacity, np.broadcast_to(G1, G1.shape), G2, LK, 0),
    "construction strided": expect(ValueError, C_OPALGridOpacity, G1, G2, LK[:, ::2], 0),
    "construction short grid": expect(ValueError, C_TOPSGridOpacity, G1[:1], G2, LK, 0),
    "construction small table": expect(ValueError, C_TOPSGridOpacity, G1, G2, LK[:3], 0),
    "construction oob overflow": expect(OverflowError, C_TOPSGridOpacity, G1, G2, LK, 2**40),
    "construction oob __int__ raises": expect(ArithmeticError, C_TOPSGridOpacity, G1, G2, LK, IntRaises()),
    "construction arity": expect(TypeError, C_TOPSGridOpacity, G1, G2, LK),
    "inside": call(TOPS[0].log_opacity, LOG_T_IN, LOG_RHO_IN),
    "opal inside": call(OPAL.log_opacity, *logs_for(OPAL_LAW, X_IN, Y_IN)),
    "outside, raise": expect(ValueError, TOPS[0].log_opacity, 1e3, 1e3),
    "outside, raise, through slot 0": expect(ValueError, TOPS[0].opacity, 1e300, 1e300),
    "outside, clamp": call(TOPS[1].log_opacity, -1e3, 1e3),
    "outside, nan": call(TOPS[2].log_opacity, 1e3, -1e3),
    "derivatives": lambda: (TOPS[0].dlogkappa_dlogrho(LOG_T_IN, LOG_RHO_IN), OPAL.dlogkappa_dlogT(30.0, -9.0)),
    "zero width": expect(ZeroDivisionError, ZERO_WIDTH.log_opacity, 5.0 * math.log(10.0), 0.5),
    "zero width derivative": expect(ZeroDivisionError, ZERO_WIDTH.dlogkappa_dlogT, 5.0 * math.log(10.0), 0.5),
    "array": call(TOPS[1].log_opacity_array, np.linspace(1.0, 30.0, 50), np.linspace(-20.0, 5.0, 50)),
    "array failing at an element": expect(ValueError, TOPS[0].log_opacity_array, np.array([LOG_T_IN, 1e3]),
                                          np.array([LOG_RHO_IN, 1e3])),
    "pickling refused": expect(TypeError, pickle.dumps, OPAL),
    "setstate refused": expect(TypeError, TOPS[0].__setstate__, ()),
}


@pytest.mark.parametrize("case", list(TABLES))
def test_table_laws(case):
    assert_no_leak(TABLES[case])


# --- the root finder --------------------------------------------------------------

class Stop(BaseException):
    """Outside the Exception hierarchy: aborts the solve."""


def failing(x):
    raise bsh.CallbackFailed


def stopping(x):
    raise Stop


FIND = (0.5, 0.05, 2.0, 60, -10.0, 10.0, 1e-30, 1e-10, 1e-12, 100)
SCALAR_FUNC = bsh.SCALAR(lambda x, data, out: (out.__setitem__(0, x * x - 2.0), 0)[1])
C_FIND_ROOT = bsh.c_function("find_root", locked=True)
C_FIND_ROOT_RELEASED = bsh.c_function("find_root", locked=False)


def c_find_root(fn):
    root = c_double(0.0)
    return fn(SCALAR_FUNC, None, 1.0, 0.05, 2.0, 60, -10.0, 10.0, 1e-30, 1e-10, 1e-12, 100, byref(root))


SOLVER = {
    "find_root": call(bs.py_find_root, lambda x: x**3 - 2.0 * x - 5.0, *FIND),
    "find_root by keyword": call(bs.py_find_root, f=lambda x: x - 0.25, x_guess=0.5, step=0.05, grow_factor=2.0,
                                 max_expand=60, x_min=-1.0, x_max=1.0, tolerance=0.0, tol_x=1e-12, tol_f=0.0,
                                 maxiter=100),
    "find_root failing callback": call(bs.py_find_root, failing, *FIND),
    "find_root non-number result": call(bs.py_find_root, lambda x: "x", *FIND),
    "find_root not callable": call(bs.py_find_root, 3, *FIND),
    "find_root BaseException": expect(Stop, bs.py_find_root, stopping, *FIND),
    "find_root expand fail": call(bs.py_find_root, lambda x: x * x + 1.0, *FIND),
    "find_root arity": expect(TypeError, bs.py_find_root, failing),
    "find_root conversion": expect(ArithmeticError, bs.py_find_root, failing, FloatRaises(), *FIND[1:]),
    "find_root int conversion": expect(OverflowError, bs.py_find_root, failing, *FIND[:3], 2**40, *FIND[4:]),
    "brent_root": call(bs.py_brent_root, lambda x: x - 0.3, 0.0, 1.0, -0.3, 0.7, 1e-12, 0.0, 100),
    "brent_root no bracket": call(bs.py_brent_root, lambda x: x, 0.0, 1.0, 1.0, 2.0, 1e-12, 0.0, 100),
    "brent_root zero divisor": expect(ZeroDivisionError, bs.py_brent_root, lambda x: 1.0, 0.0, 1.0, 0.0, 0.0,
                                      1e-3, 0.0, 10),
    "brent_root failing callback": call(bs.py_brent_root, failing, 0.0, 1.0, -0.3, 0.7, 1e-12, 0.0, 100),
    "expand_bracket": call(bs.py_expand_bracket, lambda x: x - 3.0, 0.0, 0.5, 2.0, 10, -9.0, 9.0, 0.0),
    "expand_bracket failing callback": call(bs.py_expand_bracket, failing, 0.0, 0.5, 2.0, 10, -9.0, 9.0, 0.0),
    "C find_root with the lock": call(c_find_root, C_FIND_ROOT),
    "C find_root without the lock": call(c_find_root, C_FIND_ROOT_RELEASED),
}


@pytest.mark.parametrize("case", list(SOLVER))
def test_root_finder(case):
    assert_no_leak(SOLVER[case])


# --- the framework layer and the advective closure ------------------------------------

R, SIGMA, OMEGA = (np.array(v) for v in zip((1e10, 1e5, ref.keplerian(1e10)), (3e10, 3e4, ref.keplerian(3e10))))
BOUND = ref.bound_closure()
FALLBACK_RUN = {**ref.RUN_PARAMS, "log_M_fb_0": math.log(1e32), "log_R_c": math.log(1e9),
                "log_t_fb": math.log(3e4), "beta_fb": 5.0 / 3.0}
WITH_FALLBACK = ref.bound_closure(run_params=FALLBACK_RUN, with_fallback=True)
OUTSIDE_LAW = ref.bound_closure(law=C_OPALGridOpacity(np.array([3.0, 3.5]), np.array([-1.0, 0.0]),
                                                      np.zeros((2, 2)), 0))
NO_SOLUTION = ref.bound_closure(xi=0.0)
UNBOUND = AdvectiveClosure()

compute_derived = slot(vtable_address(OneZoneClosure), 0, COMPUTE_DERIVED)
sound_speed = ref.sound_speed
viscous = c_api(_viscous, "viscous_derivative_func", step_prototype())
fallback_source = c_api(_fallback, "fallback_source_func", step_prototype())
closure_func = ref.closure_func()
writer_func = ref.writer_func()
params = ref.parameters_of(BOUND)
derived = DiskDerived(1e10, 1e5, ref.keplerian(1e10))
empty_params = DiskParameters()
row = (c_double * 21)()


def closure_call(p):
    out = ref.result_record()
    return closure_func(None, byref(derived), byref(p), byref(ref.result_record()), byref(out))


def set_opacity(obj, value):
    obj.opacity = value


def bind(obj, run_params):
    obj.bind_runtime_parameters(run_params)


class Explodes:
    def __float__(self):
        raise ArithmeticError("run parameter")


def raising_closure_law():
    bad = ref.bound_closure()
    bad.opacity = OPAL
    return bad


FRAMEWORK = {
    "CAdvection": call(CAdvection, 0.5),
    "CAdvection invalid": expect(ValueError, CAdvection, -1.0),
    "CAdvection conversion": expect(ArithmeticError, CAdvection, FloatRaises()),
    "CAdvection arity": expect(TypeError, CAdvection),
    "CFallback": call(CFallback, 1e32, 1e9, 3e4, 1.5),
    "CFallback invalid": expect(ValueError, CFallback, 1e32, 1e9, 0.0, 1.5),
    "CFallback keyword": expect(TypeError, CFallback, 1e32, 1e9, 3e4, beta=1.5),
    "CFallback repr": call(repr, CFallback(1e32, 1e9, 3e4, 1.5)),
    "CFallback pickle": lambda: pickle.loads(pickle.dumps(CFallback(1e32, 1e9, 3e4, 1.5))),
    "compute_derived": call(compute_derived, BOUND, byref(DiskState(0.0, 1e30, 1e45)), byref(params),
                            byref(DiskDerived())),
    "compute_derived refused": expect(ValueError, compute_derived, BOUND, byref(DiskState(0.0, -1.0, 1e45)),
                                      byref(params), byref(DiskDerived())),
    "sound speed refused": expect(ValueError, sound_speed, 1e4, -0.6, 1e5, 1e-3),
    "viscous step refused": expect(ZeroDivisionError, viscous, byref(DiskState()), byref(derived), byref(params),
                                   byref(ref.result_record()), byref(DiskStep())),
    "fallback step without a record": expect(ValueError, fallback_source, byref(DiskState()), byref(derived),
                                             byref(params), byref(ref.result_record()), byref(DiskStep())),
    "OneZoneClosure": call(OneZoneClosure, 1, x=2),
    "opacity setter": call(set_opacity, UNBOUND, ES),
    "opacity setter refused": expect(TypeError, set_opacity, UNBOUND, 1.0),
    "opacity delete refused": expect(TypeError, delattr, UNBOUND, "opacity"),
    "closure pickling refused": expect(TypeError, pickle.dumps, BOUND),
    "solve_profile": call(solve_profile, BOUND, R, SIGMA, OMEGA),
    "solve_profile with fallback and masses": call(solve_profile, WITH_FALLBACK, R, SIGMA, OMEGA, SIGMA * 1e15),
    "solve_profile nan rows": call(solve_profile, NO_SOLUTION, np.array([1e3]), np.array([0.23]),
                                   np.array([4.3e33]), on_failure="nan"),
    "solve_profile row without solution": expect(RuntimeError, solve_profile, NO_SOLUTION, np.array([1e3]),
                                                 np.array([0.23]), np.array([4.3e33])),
    "solve_profile failing opacity": expect(ValueError, solve_profile, OUTSIDE_LAW, R, SIGMA, OMEGA),
    "solve_profile lengths": expect(ValueError, solve_profile, BOUND, R, SIGMA[:1], OMEGA),
    "solve_profile values": expect(ValueError, solve_profile, BOUND, R, -SIGMA, OMEGA),
    "solve_profile conversion": expect(ArithmeticError, solve_profile, BOUND, [FloatRaises()], [1.0], [1.0]),
    "solve_profile unbound": expect(RuntimeError, solve_profile, UNBOUND, R, SIGMA, OMEGA),
    "solve_profile not a closure": expect(TypeError, solve_profile, ES, R, SIGMA, OMEGA),
    "solve_profile on_failure": expect(ValueError, solve_profile, BOUND, R, SIGMA, OMEGA, on_failure="skip"),
    "solve_profile arity": expect(TypeError, solve_profile, BOUND, R),
    "AdvectiveClosure": call(AdvectiveClosure, True, 0.6, 0.1),
    "AdvectiveClosure conversion": expect(ArithmeticError, AdvectiveClosure, False, FloatRaises()),
    "AdvectiveClosure arity": expect(TypeError, AdvectiveClosure, False, 0.6, 0.5, 1),
    "AdvectiveClosure pickling refused": expect(TypeError, pickle.dumps, UNBOUND),
    "bind": call(bind, UNBOUND, ref.RUN_PARAMS),
    "bind with fallback": call(bind, WITH_FALLBACK, FALLBACK_RUN),
    "bind missing key": expect(KeyError, bind, WITH_FALLBACK, ref.RUN_PARAMS),
    "bind value conversion": expect(ArithmeticError, bind, UNBOUND, {**ref.RUN_PARAMS, "alpha": Explodes()}),
    "bind invalid fallback": expect(ValueError, bind, WITH_FALLBACK, {**FALLBACK_RUN, "beta_fb": math.inf}),
    "bind not a dict": expect(TypeError, bind, UNBOUND, list(ref.RUN_PARAMS.items())),
    "bind None": expect(TypeError, bind, UNBOUND, None),
    "closure function": call(closure_call, params),
    "closure function, failing opacity": expect(ValueError, closure_call, ref.parameters_of(OUTSIDE_LAW)),
    "closure function, no record": expect(RuntimeError, closure_call, empty_params),
    "writer": call(writer_func, 0, byref(DiskState(0.0, 1e30, 1e45)), byref(derived), byref(params),
                   byref(ref.result_record(9.0)), byref(DiskStep()), row, 1),
    "writer zero radius": expect(ZeroDivisionError, writer_func, 0, byref(DiskState()), byref(DiskDerived()),
                                 byref(params), byref(ref.result_record()), byref(DiskStep()), row, 1),
}


@pytest.mark.parametrize("case", list(FRAMEWORK))
def test_framework_and_closure(case):
    assert_no_leak(FRAMEWORK[case])


# --- what objects hold is released with them --------------------------------------------

def arrays():
    return G1.copy(), G2.copy(), LK.copy()


@pytest.mark.parametrize("cls", [C_TOPSGridOpacity, C_OPALGridOpacity])
def test_table_law_in_a_cycle_releases_its_arrays(cls):
    class Law(cls):
        pass

    held = arrays()
    refs = [weakref.ref(a) for a in held]
    obj = Law(*held, 0)
    obj.me = obj
    law_ref = weakref.ref(obj)
    del obj, held
    gc.collect()
    assert law_ref() is None and all(r() is None for r in refs)


def test_closure_releases_law_arrays_and_wrappers_through_a_cycle():
    class Law(C_OPALGridOpacity):
        pass

    held = ref.TABLE[0].copy(), ref.TABLE[1].copy(), ref.TABLE[2].copy()
    array_refs = [weakref.ref(a) for a in held]
    c = ref.bound_closure(law=Law(*held, 1), run_params=FALLBACK_RUN, with_fallback=True)
    c.opacity.owner = c   # closure -> law -> closure
    solve_profile(c, R, SIGMA, OMEGA)
    law_ref = weakref.ref(c.opacity)
    wrappers = [o for o in gc.get_referents(c) if isinstance(o, (CAdvection, CFallback))]
    assert sorted(type(w).__name__ for w in wrappers) == ["CAdvection", "CFallback"]
    counts = [sys.getrefcount(w) for w in wrappers]
    del c, held
    gc.collect()
    assert law_ref() is None and all(r() is None for r in array_refs)
    assert [sys.getrefcount(w) for w in wrappers] == [n - 1 for n in counts]


def test_rebinding_many_times_keeps_one_set_of_wrappers():
    c = AdvectiveClosure(with_fallback=True)
    c.bind_runtime_parameters(FALLBACK_RUN)
    first = [o for o in gc.get_referents(c) if isinstance(o, (CAdvection, CFallback))]
    counts = [sys.getrefcount(w) for w in first]
    for _ in range(1000):
        c.bind_runtime_parameters(FALLBACK_RUN)
    now = [o for o in gc.get_referents(c) if isinstance(o, (CAdvection, CFallback))]
    assert len(now) == 2 and not any(a is b for a in first for b in now)
    assert [sys.getrefcount(w) for w in first] == [n - 1 for n in counts]


def test_callback_and_its_closure_are_released_after_solves():
    class F:
        def __call__(self, x):
            return x - 0.25

    f = F()
    f.me = f
    r = weakref.ref(f)
    for _ in range(50):
        bs.py_find_root(f, *FIND)
        bs.py_find_root(failing, *FIND)
    del f
    gc.collect()
    assert r() is None


def test_exception_with_traceback_entries_is_released():
    """The traceback entries added by the kernels hold frames; the exception
    and everything its frames hold go when it is dropped."""
    class Marker:
        pass

    m = Marker()
    r = weakref.ref(m)

    def fails(x, held=m):   # the callback's frame holds m while the exception lives
        raise Stop

    try:
        bs.py_find_root(fails, *FIND)
    except Stop as e:
        assert e.__traceback__ is not None
    del m, fails
    gc.collect()
    assert r() is None
