"""Hostile input: every constructor, method and C-level entry reachable from
Python refuses what it cannot handle with a clear exception, and the process
goes on. Input classes are grouped by how an argument is converted (to a
double, to a 32-bit int, to a float64 buffer view, copied as an array, read
from a run-time dictionary, called back); each class is tried at every entry
of its kind."""

import array
import ctypes
import decimal
import fractions
import gc
import math
import mmap
import pickle
import warnings
from collections import OrderedDict
from ctypes import POINTER, byref, c_double, c_int, c_void_p, py_object

import numpy as np
import pytest

import gasrad_adv_reference as ref
import kappa_core_support as sup
from capi_helpers import frame_names, slot, vtable_address
from hostile_values import (FloatGivesStr, FloatGivesSubclass, FloatRaises, FloatSub, IndexGivesFloat,
                            IndexOnly, IndexRaises, IntGivesBool, IntGivesFloat, IntRaises)
from grid_tables_reference import LAWS, Reference, logs_for, random_table, same, outcome
from velmora.dynamics.accretion.one_zone.closure import OneZoneClosure, solve_profile
from velmora.dynamics.accretion.one_zone.models._gasrad_adv import AdvectiveClosure
from velmora.dynamics.accretion.one_zone.physics._param_wrappers import CAdvection, CFallback
from velmora.math_utils import _bracket_solver as bs
from velmora.radiation.opacity import ElectronScatteringOpacity, kappa_core
from velmora.radiation.opacity.grey_opacity._tops_grid import C_TOPSGridOpacity
from velmora.radiation.opacity.grey_opacity.rosseland._opal_grid import C_OPALGridOpacity

Grey, Freq = kappa_core.C_GreyKappaCore, kappa_core.C_KappaCore
G1, G2, LK = random_table(3, n1=6, n2=5, holes=0.0)
TOPS = C_TOPSGridOpacity(G1, G2, LK, 0)
INT_MAX, INT_MIN = 2**31 - 1, -(2**31)
ACCEPT = "accepted"


def outcome_of(fn, value):
    """ACCEPT, or the exception's type; DeprecationWarnings of the
    interpreter's conversions are allowed."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        try:
            fn(value)
        except Exception as e:
            return type(e)
    return ACCEPT


# --- doubles -----------------------------------------------------------------

BOUND = ref.bound_closure()
EMPTY = np.zeros(0)

DOUBLE_ENTRIES = {
    "log_opacity(log_T)": lambda v: ElectronScatteringOpacity().log_opacity(v, 1.0),
    "ElectronScatteringOpacity(X)": lambda v: ElectronScatteringOpacity(v),
    "CAdvection(xi)": lambda v: CAdvection(v),
    "CFallback(beta_fb)": lambda v: CFallback(1.0, 1.0, 1.0, v),
    "AdvectiveClosure(mu)": lambda v: AdvectiveClosure(False, v),
    "AdvectiveClosure(xi)": lambda v: AdvectiveClosure(xi=v),
    "bind_runtime_parameters(alpha)": lambda v: AdvectiveClosure().bind_runtime_parameters(
        {**ref.RUN_PARAMS, "alpha": v}),
    "py_find_root(x_guess)": lambda v: bs.py_find_root(lambda x: x, v, 0.1, 2.0, 5, -1.0, 1.0, 0.0, 0.0, 0.0, 5),
    "py_brent_root(tol_x)": lambda v: bs.py_brent_root(lambda x: x, -1.0, 1.0, -1.0, 1.0, v, 0.0, 5),
    "py_expand_bracket(x_max)": lambda v: bs.py_expand_bracket(lambda x: x, 0.0, 0.1, 2.0, 5, -1.0, v, 0.0),
    "solve_profile(previous_ln_T_c)": lambda v: solve_profile(BOUND, EMPTY, EMPTY, EMPTY, None, v),
}

DOUBLE_CLASSES = {
    "None": (None, TypeError),
    "str": ("0.5", TypeError),
    "bytes": (b"0.5", TypeError),
    "list": ([0.5], TypeError),
    "object": (object(), TypeError),
    "complex": (0.5 + 0j, TypeError),
    "__float__ raises": (FloatRaises(), ArithmeticError),
    "__float__ returns str": (FloatGivesStr(), TypeError),
    "__float__ returns a float subclass": (FloatGivesSubclass(), ACCEPT),
    "__index__ raises": (IndexRaises(), ArithmeticError),
    "__index__ returns float": (IndexGivesFloat(), TypeError),
    "int beyond a double": (2**2000, OverflowError),
    "float subclass": (FloatSub(0.5), ACCEPT),
    "bool": (True, ACCEPT),
    "numpy float32": (np.float32(0.5), ACCEPT),
    "numpy int64": (np.int64(0), ACCEPT),
    "numpy 0-d array": (np.array(0.5), ACCEPT),
    "Fraction": (fractions.Fraction(1, 2), ACCEPT),
    "Decimal": (decimal.Decimal("0.5"), ACCEPT),
}


@pytest.mark.parametrize("entry", list(DOUBLE_ENTRIES))
@pytest.mark.parametrize("kind", list(DOUBLE_CLASSES))
def test_double_arguments(entry, kind):
    value, expected = DOUBLE_CLASSES[kind]
    assert outcome_of(DOUBLE_ENTRIES[entry], value) == expected


# --- 32-bit ints -----------------------------------------------------------------

INT_ENTRIES = {
    "C_TOPSGridOpacity(oob)": lambda v: C_TOPSGridOpacity(G1, G2, LK, v),
    "C_OPALGridOpacity(oob)": lambda v: C_OPALGridOpacity(G1, G2, LK, v),
    "py_find_root(max_expand)": lambda v: bs.py_find_root(lambda x: x - 0.03, 0.0, 0.1, 2.0, v, -1.0, 1.0, 0.0,
                                                          1e-12, 0.0, 5),
    "py_find_root(maxiter)": lambda v: bs.py_find_root(lambda x: x - 0.03, 0.0, 0.1, 2.0, 5, -1.0, 1.0, 0.0, 1e-12,
                                                       0.0, v),
    "py_brent_root(maxiter)": lambda v: bs.py_brent_root(lambda x: x - 0.1, -1.0, 1.0, -1.1, 0.9, 1e-12, 0.0, v),
    "py_expand_bracket(max_expand)": lambda v: bs.py_expand_bracket(lambda x: x - 0.5, 0.0, 0.1, 2.0, v, -1.0,
                                                                    1.0, 0.0),
}

INT_CLASSES = {
    "None": (None, TypeError),
    "str": ("1", TypeError),
    "object": (object(), TypeError),
    "float truncates": (1.9, ACCEPT),
    "nan": (math.nan, ValueError),
    "inf": (math.inf, OverflowError),
    "2**31": (2**31, OverflowError),
    "-2**31 - 1": (INT_MIN - 1, OverflowError),
    "2**31 - 1": (INT_MAX, ACCEPT),
    "-2**31": (INT_MIN, ACCEPT),
    "2**64": (2**64, OverflowError),
    "__int__ raises": (IntRaises(), ArithmeticError),
    "__int__ returns float": (IntGivesFloat(), TypeError),
    "__int__ returns an int subclass": (IntGivesBool(), ACCEPT),
    "__index__ only": (IndexOnly(), TypeError),
    "__index__ raises (no __int__)": (IndexRaises(), TypeError),
    "bool": (True, ACCEPT),
    "numpy int64": (np.int64(3), ACCEPT),
    "numpy int64 beyond 32 bits": (np.int64(2**40), OverflowError),
    "numpy float64": (np.float64(2.5), ACCEPT),
    "Fraction": (fractions.Fraction(3, 2), ACCEPT),
    "Decimal": (decimal.Decimal("2.5"), ACCEPT),
}


@pytest.mark.parametrize("entry", list(INT_ENTRIES))
@pytest.mark.parametrize("kind", list(INT_CLASSES))
def test_int_arguments(entry, kind):
    value, expected = INT_CLASSES[kind]
    assert outcome_of(INT_ENTRIES[entry], value) == expected


@pytest.mark.parametrize("kind", list(INT_CLASSES))
def test_unpickle_checksum_is_converted_like_an_int(kind):
    value, expected = INT_CLASSES[kind]
    # A value that converts is then compared with the known checksums.
    want = pickle.PickleError if expected == ACCEPT else expected
    assert outcome_of(lambda v: kappa_core.__c_unpickle_C_GreyKappaCore(Grey, v, None), value) == want


# --- float64 buffer views ------------------------------------------------------------

class NdSub(np.ndarray):
    pass


def read_only(a):
    a = a.copy()
    a.flags.writeable = False
    return a


def views(a):
    """Hostile variants of a 1-D or 2-D float64 array: (kind, value, outcome
    in a 1-D position, outcome in a 2-D position)."""
    mv = memoryview(bytearray(a.tobytes())).cast("B").cast("d", a.shape)
    return {
        "None": (None, TypeError, TypeError),
        "list": (a.tolist(), TypeError, TypeError),
        "int": (3, TypeError, TypeError),
        "str": ("abc", TypeError, TypeError),
        "bytes": (a.tobytes(), BufferError, BufferError),
        "bytearray": (bytearray(a.tobytes()), ValueError, ValueError),
        "memoryview of doubles": (mv, ACCEPT if a.ndim == 1 else ValueError, ACCEPT if a.ndim == 2 else ValueError),
        "read-only": (read_only(a), ValueError, ValueError),
        "broadcast, zero stride": (np.broadcast_to(a, a.shape), ValueError, ValueError),
        "writable zero stride": (np.lib.stride_tricks.as_strided(a.copy(), a.shape, (0,) * a.ndim), ValueError,
                                 ValueError),
        "negative stride": (a[::-1], ValueError, ValueError),
        "every other element": (np.repeat(a, 2, axis=0)[::2], ValueError, ValueError),
        "Fortran order": (np.asfortranarray(a), ACCEPT if a.ndim == 1 else ValueError,
                          ValueError),
        "0-d": (np.array(1.0), ValueError, ValueError),
        "3-d": (a.reshape(a.shape + (1,) * (3 - a.ndim)), ValueError, ValueError),
        "float32": (a.astype(np.float32), ValueError, ValueError),
        "float16": (a.astype(np.float16), ValueError, ValueError),
        "long double": (a.astype(np.longdouble), ValueError, ValueError),
        "int64": (a.astype(np.int64), ValueError, ValueError),
        "bool": (a.astype(bool), ValueError, ValueError),
        "complex": (a.astype(complex), ValueError, ValueError),
        "object": (a.astype(object), ValueError, ValueError),
        "structured": (np.zeros(a.shape, dtype=[("v", "f8")]), ValueError, ValueError),
        "big-endian": (a.astype(">f8"), ValueError, ValueError),
        "datetime": (np.zeros(a.shape, "M8[s]"), ValueError, ValueError),
        "ndarray subclass": (a.copy().view(NdSub), ACCEPT if a.ndim == 1 else ValueError,
                             ACCEPT if a.ndim == 2 else ValueError),
        "masked array": (np.ma.array(a.copy()), ACCEPT if a.ndim == 1 else ValueError,
                         ACCEPT if a.ndim == 2 else ValueError),
        "array.array of doubles": (array.array("d", a.ravel()), ACCEPT if a.ndim == 1 else ValueError, ValueError),
        "array.array of floats": (array.array("f", a.ravel()), ValueError, ValueError),
    }


GRID_KINDS = views(G1)
TABLE_KINDS = views(LK)


@pytest.mark.parametrize("kind", list(GRID_KINDS))
@pytest.mark.parametrize("cls", [C_TOPSGridOpacity, C_OPALGridOpacity])
@pytest.mark.parametrize("position", ["g1", "g2", "lk"])
def test_table_law_arrays(kind, cls, position):
    if position == "lk":
        value, _, expected = TABLE_KINDS[kind]     # a 2-D position sees the 2-D variants
    else:
        value, expected, _ = views(G1 if position == "g1" else G2)[kind]
    args = dict(g1=G1, g2=G2, lk=LK, oob=0)
    args[position] = value
    assert outcome_of(lambda v: cls(**args), None) == expected


@pytest.mark.parametrize("kind", list(GRID_KINDS))
@pytest.mark.parametrize("position", [0, 1])
def test_array_method_arguments(kind, position):
    value, expected = GRID_KINDS[kind][0], GRID_KINDS[kind][1]
    args = [G1 * math.log(10.0), G1 * math.log(10.0)]
    args[position] = value
    assert outcome_of(lambda v: ElectronScatteringOpacity().log_opacity_array(*args), None) == expected


@pytest.mark.parametrize("position", ["g1", "g2"])
def test_grid_lengths_beyond_32_bits_are_refused_unread(position):
    args = dict(g1=G1, g2=G2, lk=LK, oob=0)
    args[position] = sup.exporter([1.0], shape=2**31)
    with pytest.raises(ValueError) as e:
        C_TOPSGridOpacity(**args)
    assert str(e.value) == f"C_TOPSGridOpacity(): array '{position}' has 2147483648 elements; at most " \
                           "2147483647 are supported"


def huge_zero_mapping(n_doubles):
    """Doubles in a private anonymous mapping that reserves no memory: only
    the pages touched are ever backed."""
    flags = mmap.MAP_PRIVATE | getattr(mmap, "MAP_ANONYMOUS", 0x20) | getattr(mmap, "MAP_NORESERVE", 0)
    try:
        m = mmap.mmap(-1, n_doubles * 8, flags=flags)
    except (OSError, OverflowError, ValueError) as e:
        pytest.skip(f"no {n_doubles * 8} byte mapping here: {e}")
    return np.frombuffer(m, dtype=np.float64)


@pytest.mark.parametrize("cls", [C_TOPSGridOpacity, C_OPALGridOpacity])
def test_grid_of_2_31_minus_1_points(cls):
    """The largest grid the laws take: cell indices near INT_MAX, evaluated
    and clamped on a table of 2**31 - 1 rows that is never read in full."""
    n = INT_MAX
    memory = huge_zero_mapping(3 * n)
    g1, lk = memory[:n], memory[n:].reshape(n, 2)
    g1[n - 2], g1[n - 1] = 0.5, 1.0    # nodes 0 .. n-3 at 0.0
    lk[n - 2] = (1.0, 2.0)
    lk[n - 1] = (3.0, 4.0)
    g2 = np.array([0.0, 1.0])
    law = cls(g1, g2, lk, 1)
    ln10 = math.log(10.0)
    x, y = 0.75, 0.5                    # in the last cell, (n - 2, 0)
    log_T, log_rho = logs_for(LAWS["opal" if cls is C_OPALGridOpacity else "tops"], x, y)
    expected = ((0.5 * 1.0) * 0.5 + (0.5 * 3.0) * 0.5 + (0.5 * 2.0) * 0.5 + (0.5 * 4.0) * 0.5) * ln10
    assert law.log_opacity(log_T, log_rho) == expected
    # Far above: clamped to the lower-left node of the last cell.
    assert law.log_opacity(*logs_for(LAWS["opal" if cls is C_OPALGridOpacity else "tops"], 5.0, y)) == 1.0 * ln10
    del law, g1, lk, memory
    gc.collect()


# --- array_like input of solve_profile ----------------------------------------------

# Each kind makes a value from the two positive numbers of its position.
PROFILE_KINDS = {
    "list": (list, ACCEPT),
    "tuple": (tuple, ACCEPT),
    "read-only": (lambda v: read_only(np.array(v)), ACCEPT),
    "strided": (lambda v: np.array([v[0], 0.0, v[1]])[::2], ACCEPT),
    "big-endian": (lambda v: np.array(v, ">f8"), ACCEPT),
    "int64": (lambda v: np.array([max(1, min(int(x), 2**62)) for x in v], np.int64), ACCEPT),
    "object": (lambda v: np.array(v, dtype=object), ACCEPT),
    "float32": (lambda v: np.array(v, np.float32), ACCEPT),
    "None": (lambda v: None, ValueError),        # a 0-d NaN array: wrong number of dimensions
    "scalar": (lambda v: v[0], ValueError),
    "2-d": (lambda v: np.array([v, v]), ValueError),
    "text": (lambda v: ["a", "b"], ValueError),
    "__float__ raises": (lambda v: [FloatRaises(), v[1]], ArithmeticError),
    "dict": (lambda v: {}, TypeError),
    "wrong length": (lambda v: v[:1], ValueError),
    "zero": (lambda v: [0.0, v[1]], ValueError),
    "negative": (lambda v: [-v[0], v[1]], ValueError),
    "nan": (lambda v: [math.nan, v[1]], ValueError),
    "inf": (lambda v: [math.inf, v[1]], ValueError),
}
PROFILE = dict(R_D=[1e10, 2e10], Sigma=[1e5, 5e4], Omega=[ref.keplerian(1e10), ref.keplerian(2e10)],
               M_D=[1e30, 2e30])


@pytest.mark.parametrize("kind", list(PROFILE_KINDS))
@pytest.mark.parametrize("position", list(PROFILE))
def test_solve_profile_array_likes(kind, position):
    make, expected = PROFILE_KINDS[kind]
    args = dict(PROFILE)
    args[position] = make(PROFILE[position])
    if position == "M_D" and kind == "None":
        expected = ACCEPT   # the default: the rings' own masses
    assert outcome_of(lambda v: solve_profile(BOUND, **args), None) == expected


# --- run-time parameter dictionaries ------------------------------------------------

class CollidingKey:
    """Hashes like "alpha" and, once armed, fails every comparison."""

    armed = False

    def __hash__(self):
        return hash("alpha")

    def __eq__(self, other):
        if self.armed:
            raise LookupError("compared")
        return False


class Mutating:
    """Converts to a float after emptying the dictionary it sits in."""

    def __init__(self, d):
        self.d = d

    def __float__(self):
        self.d.clear()
        return 0.1


FULL = {**ref.RUN_PARAMS, "log_M_fb_0": math.log(1e32), "log_R_c": math.log(1e9), "log_t_fb": math.log(3e4),
        "beta_fb": 1.5}


def run_params_cases():
    mutating = dict(FULL)
    mutating["log_R_in"] = Mutating(mutating)
    colliding, key = dict(FULL), CollidingKey()
    del colliding["alpha"]   # so that looking "alpha" up meets the impostor
    colliding[key] = 1.0
    key.armed = True
    return {
        "dict": (dict(FULL), ACCEPT),
        "extra keys of any type": ({**FULL, 1: 2, (3,): None, "log_M_BH_": "x"}, ACCEPT),
        "dict subclass": (type("D", (dict,), {})(FULL), TypeError),
        "OrderedDict": (OrderedDict(FULL), TypeError),
        "mapping proxy": (__import__("types").MappingProxyType(FULL), TypeError),
        "list of pairs": (list(FULL.items()), TypeError),
        "None": (None, TypeError),
        "empty": ({}, KeyError),
        "missing a fallback key": ({k: v for k, v in FULL.items() if k != "log_t_fb"}, KeyError),
        "value raises on conversion": ({**FULL, "log_M_BH": FloatRaises()}, ArithmeticError),
        "value of the wrong type": ({**FULL, "alpha": "0.1"}, TypeError),
        "value beyond a double": ({**FULL, "alpha": 2**2000}, OverflowError),
        "fallback mass overflowing": ({**FULL, "log_M_fb_0": 1e3}, ValueError),
        "fallback index not finite": ({**FULL, "beta_fb": math.nan}, ValueError),
        "fallback index raises": ({**FULL, "beta_fb": FloatRaises()}, ArithmeticError),
        "key whose comparison raises": (colliding, LookupError),
        "value that empties the dictionary": (mutating, KeyError),
        "nan hole mass": ({**FULL, "log_M_BH": math.nan}, ACCEPT),
    }


RUN_PARAMS_CASES = run_params_cases()


@pytest.mark.parametrize("kind", list(RUN_PARAMS_CASES))
def test_run_params(kind):
    value, expected = RUN_PARAMS_CASES[kind]
    c = AdvectiveClosure(with_fallback=True)
    assert outcome_of(c.bind_runtime_parameters, value) == expected
    # Whatever happened, the object is usable: bound again, it solves.
    c.bind_runtime_parameters(dict(FULL))
    assert solve_profile(c, [1e10], [1e5], [ref.keplerian(1e10)]).shape == (1, 21)


def test_value_that_rebinds_the_same_closure_while_it_is_being_bound():
    c = AdvectiveClosure(with_fallback=True)

    class Rebinds:
        def __float__(self):
            c.bind_runtime_parameters(dict(FULL))
            c.__init__(True, 0.6, 0.25)
            return 0.1

    c.bind_runtime_parameters({**FULL, "alpha": Rebinds()})
    out = solve_profile(c, [1e10], [1e5], [ref.keplerian(1e10)])
    assert np.all(np.isfinite(out))


# --- callables handed to the root finder -------------------------------------------

class Stop(BaseException):
    pass


def raiser(exc):
    def f(x):
        raise exc
    return f


CALLBACKS = {
    "returns None": (lambda x: None, 1),
    "returns str": (lambda x: "1.0", 1),
    "returns an int beyond a double": (lambda x: 2**2000, 1),
    "returns complex": (lambda x: 1j, 1),
    "returns an object whose __float__ raises": (lambda x: FloatRaises(), 1),
    "returns a numpy float": (lambda x: np.float64(x - 0.25), 0),
    "returns a 0-d array": (lambda x: np.array(x - 0.25), 0),
    "returns nan": (lambda x: math.nan, 2),
    "raises ValueError": (raiser(ValueError), 1),
    "raises StopIteration": (raiser(StopIteration), 1),
    "raises RecursionError": (raiser(RecursionError), 1),
    "raises MemoryError": (raiser(MemoryError), 1),
    "not callable": (3, 1),
    "wrong arity": (lambda: 0.0, 1),
    "raises KeyboardInterrupt": (raiser(KeyboardInterrupt), KeyboardInterrupt),
    "raises SystemExit": (raiser(SystemExit), SystemExit),
    "raises GeneratorExit": (raiser(GeneratorExit), GeneratorExit),
    "raises a BaseException subclass": (raiser(Stop), Stop),
}


@pytest.mark.parametrize("kind", list(CALLBACKS))
@pytest.mark.parametrize("wrapper", ["py_find_root", "py_expand_bracket", "py_brent_root"])
def test_callbacks(kind, wrapper):
    f, expected = CALLBACKS[kind]
    args = {
        "py_find_root": (0.5, 0.1, 2.0, 8, -1.0, 1.0, 0.0, 1e-12, 0.0, 50),
        "py_expand_bracket": (0.5, 0.1, 2.0, 8, -1.0, 1.0, 0.0),
        "py_brent_root": (-1.0, 1.0, -1.25, 0.75, 1e-12, 0.0, 50),
    }[wrapper]
    if isinstance(expected, type):
        with pytest.raises(expected) as e:
            getattr(bs, wrapper)(f, *args)
        assert frame_names(e.value)[0] == "velmora.math_utils._bracket_solver." + wrapper
        return
    if wrapper == "py_brent_root" and kind == "returns nan":
        expected = 0   # the end values are given; NaN inside only moves the contrapoint until |b - a| < tol_x
    assert getattr(bs, wrapper)(f, *args)[0] == expected


def test_callback_that_solves_again_inside_the_solve():
    def inner(x):
        status, root = bs.py_find_root(lambda y: y - x, 0.0, 0.1, 2.0, 60, -10.0, 10.0, 0.0, 1e-14, 0.0, 100)
        assert status == 0
        return root - 0.25

    status, root = bs.py_find_root(inner, 0.5, 0.1, 2.0, 60, -1.0, 1.0, 0.0, 1e-12, 0.0, 100)
    assert status == 0 and abs(root - 0.25) < 1e-9


def test_deep_recursion_through_the_solver_is_an_error_not_a_crash():
    """Each callback starts a solve that calls it once more, until the
    interpreter's recursion limit turns the deepest call into a failure."""
    depth = [0]
    statuses = []

    def f(x):
        depth[0] += 1
        statuses.append(bs.py_brent_root(f, -1.0, 1.0, -1.0, 1.0, 0.0, 0.0, 1)[0])
        return x

    assert bs.py_brent_root(f, -1.0, 1.0, -1.0, 1.0, 0.0, 0.0, 1)[0] == 4
    assert depth[0] > 50 and statuses[0] == 1 and set(statuses[1:]) == {4}


# --- objects that are not what a slot expects ------------------------------------

@pytest.mark.parametrize("value", [Freq(), 1.0, None, "law", CAdvection(0.1), Grey, C_OPALGridOpacity])
def test_opacity_attribute_takes_only_grey_laws(value):
    c = AdvectiveClosure()
    with pytest.raises(TypeError):
        c.opacity = value
    assert isinstance(c.opacity, ElectronScatteringOpacity)


def test_unimplemented_grey_law_fails_the_profile_cleanly():
    c = ref.bound_closure(law=Grey())
    with pytest.raises(NotImplementedError) as e:
        solve_profile(c, [1e10], [1e5], [ref.keplerian(1e10)])
    assert "while solving row 0" in e.value.__notes__[0]


@pytest.mark.parametrize("bases", [
    (C_TOPSGridOpacity, C_OPALGridOpacity), (C_OPALGridOpacity, ElectronScatteringOpacity), (Grey, Freq),
    (AdvectiveClosure, Grey), (CAdvection, CFallback), (C_TOPSGridOpacity, CAdvection),
    (OneZoneClosure, ElectronScatteringOpacity),
])
def test_conflicting_layouts_cannot_be_combined(bases):
    with pytest.raises(TypeError, match="lay-out conflict"):
        type("Mixed", bases, {})


@pytest.mark.parametrize("make", [
    lambda: Grey.__new__(C_TOPSGridOpacity),
    lambda: Grey.__new__(type("Sub", (C_OPALGridOpacity,), {})),
    lambda: object.__new__(C_OPALGridOpacity),
    lambda: Grey.__new__(ElectronScatteringOpacity),
    lambda: OneZoneClosure.__new__(AdvectiveClosure),
    lambda: CAdvection.__new__(CFallback, 1.0),
    lambda: kappa_core.__c_unpickle_C_GreyKappaCore(C_TOPSGridOpacity, 0xE3B0C44, None),
    lambda: kappa_core.__c_unpickle_C_KappaCore(Grey, 0xE3B0C44, None),
    lambda: kappa_core.__c_unpickle_C_GreyKappaCore(int, 0xE3B0C44, None),
    lambda: kappa_core.__c_unpickle_C_GreyKappaCore(3, 0xE3B0C44, None),
], ids=["grey new of a table law", "grey new of a table subclass", "object new of a table law",
        "grey new of electron scattering", "framework new of the closure", "one wrapper's new of the other",
        "reconstructor of a table law", "reconstructor across bases", "reconstructor of int",
        "reconstructor of a non-type"])
def test_objects_without_their_own_construction_are_refused(make):
    """A table law, a law with a composition or a closure object made by a
    base's allocation would lack its arrays or records."""
    with pytest.raises(TypeError):
        make()


def test_closure_object_allocated_without_init_is_constructed():
    c = AdvectiveClosure.__new__(AdvectiveClosure)
    assert type(c.opacity).__name__ == "ElectronScatteringOpacity" and c.n_result_fields == 21
    with pytest.raises(RuntimeError, match="hold no advection record"):
        solve_profile(c, [1e10], [1e5], [1e-3])
    c.bind_runtime_parameters(dict(ref.RUN_PARAMS))
    assert solve_profile(c, [1e10], [1e5], [1e-3]).shape == (1, 21)


# --- C-level entries handed what the object does not hold ---------------------------------

D, I, OBJ = c_double, c_int, py_object
INTERP = ctypes.PYFUNCTYPE(D, OBJ, D, D, I, I)
BISECT = ctypes.PYFUNCTYPE(I, OBJ, c_void_p, I, D)
NEAREST = ctypes.PYFUNCTYPE(D, OBJ, I, I)


class PyBuffer(ctypes.Structure):
    _fields_ = sup.Py_buffer._fields_


class View(ctypes.Structure):
    """A table law's buffer view: the buffer, then its data pointer and sizes."""
    _fields_ = [("buffer", PyBuffer), ("data", c_void_p), ("shape0", ctypes.c_ssize_t),
                ("shape1", ctypes.c_ssize_t), ("row_stride", ctypes.c_ssize_t)]


def view_address(obj, index, array):
    """Address of the law's view number `index` (0 g1, 1 g2, 2 lk), checked
    against the array it holds."""
    address = id(obj) + object.__basicsize__ + ctypes.sizeof(c_void_p) + index * ctypes.sizeof(View)
    assert View.from_address(address).buffer.obj == id(array)
    return address


@pytest.fixture(params=list(LAWS))
def law(request):
    return LAWS[request.param]


@pytest.mark.parametrize("i, j", [(-1, 0), (0, -1), (5, 0), (0, 4), (4, 3 + 1), (INT_MAX, INT_MAX), (INT_MIN, 0),
                                  (0, INT_MIN)])
def test_interp_refuses_cells_outside_the_table(law, i, j):
    obj = law["cls"](G1, G2, LK, 0)
    fn = slot(vtable_address(law["cls"]), 5, INTERP)
    with pytest.raises(IndexError) as e:
        fn(obj, 4.0, -3.0, i, j)
    assert str(e.value) == f"_interp(): cell ({i}, {j}) lies outside the table, whose cells run from (0, 0) to (4, 3)"
    assert frame_names(e.value) == [law["prefix"] + "._interp"]
    # The last cell is still inside.
    assert fn(obj, G1[4], G2[3], 4, 3) == LK[4, 3]


def test_bisect_refuses_a_length_beyond_its_grid(law):
    obj = law["cls"](G1, G2, LK, 0)
    fn = slot(vtable_address(law["cls"]), 4, BISECT)
    g2_view = view_address(obj, 1, G2)
    assert fn(obj, g2_view, 5, 1e9) == 3           # the grid's own length
    assert fn(obj, g2_view, 2, 1e9) == 0           # a shorter length reads less
    with pytest.raises(IndexError) as e:
        fn(obj, g2_view, 6, 1e9)                  # g1's length on g2
    assert str(e.value) == "_bisect(): length 6 exceeds the grid's 5 points"
    assert frame_names(e.value) == [law["prefix"] + "._bisect"]


@pytest.mark.parametrize("i, j", [(INT_MAX, INT_MAX), (INT_MIN, INT_MIN), (INT_MAX, 0), (-3, 2), (8, -2), (20, 20)])
def test_nearest_finite_far_outside_the_table(law, i, j):
    g1, g2, lk = random_table(7, n1=6, n2=5, holes=0.5)
    obj = law["cls"](g1, g2, lk, 1)
    got = slot(vtable_address(law["cls"]), 8, NEAREST)(obj, i, j)
    want = Reference(law, g1, g2, lk, 1).nearest_finite(i, j) if abs(i) < 100 and abs(j) < 100 else math.nan
    assert same(("value", got), ("value", want))


FIND_CELL = ctypes.CFUNCTYPE(I, c_void_p, D, D, POINTER(I), POINTER(I))


def with_find_cell(obj, cls, cell):
    """Gives `obj` a copy of its type's table whose _find_cell answers `cell`
    for every point, as an overriding compiled subclass might."""
    def find_cell(self, x, y, i, j):
        i[0], j[0] = cell
        return 0

    entries = sup.table_entries(cls, 10)
    callback = FIND_CELL(find_cell)
    entries[7] = ctypes.cast(callback, c_void_p).value
    table = (c_void_p * 10)(*entries)
    sup._keep.extend([callback, table])
    c_void_p.from_address(id(obj) + object.__basicsize__).value = ctypes.addressof(table)
    return obj


@pytest.mark.parametrize("cell", [(5, 0), (0, 4), (-1, 0), (INT_MAX, INT_MIN)])
def test_cell_from_an_overriding_find_cell_is_checked(law, cell):
    class Sub(law["cls"]):
        pass

    obj = with_find_cell(Sub(G1, G2, LK, 0), law["cls"], cell)
    p = logs_for(law, G1[1], G2[1])
    for method, entry in [("log_opacity", "_interp"), ("dlogkappa_dlogrho", "_dlogkappa_dlogrho"),
                          ("dlogkappa_dlogT", "_dlogkappa_dlogT")]:
        with pytest.raises(IndexError, match=rf"^{entry}\(\): cell \({cell[0]}, {cell[1]}\) lies outside"):
            getattr(obj, method)(*p)
    # A cell inside is used as given.
    obj = with_find_cell(Sub(G1, G2, LK, 0), law["cls"], (2, 1))
    reference = Reference(law, G1, G2, LK, 0)
    x, y = reference.coords(*p)
    assert same(outcome(obj.log_opacity, *p), ("value", reference.interp(x, y, 2, 1) * math.log(10.0)))


def test_closure_refuses_a_record_whose_opacity_is_not_a_grey_law():
    c = ref.bound_closure()
    for impostor in (Freq(), CAdvection(0.5), 1.5, c):
        params = ref.parameters_of(c)
        params.opacity = id(impostor)
        status, out = -2, ref.result_record()
        with pytest.raises(TypeError) as e:
            status = ref.closure_func()(None, byref(ref.DiskDerived(1e10, 1e5, ref.keplerian(1e10))),
                                        byref(params), byref(ref.result_record()), byref(out))
        assert str(e.value) == ("gasrad_adv_closure_func(): the disk parameters' opacity is not a "
                                f"C_GreyKappaCore instance (got {type(impostor).__module__}."
                                f"{type(impostor).__qualname__})".replace("builtins.", ""))
        assert status == -2 and out.ln_T_c == 0.0


class TypeHead(ctypes.Structure):
    """The head of a type object, up to tp_clear (CPython 3.13)."""
    _fields_ = [("ob_refcnt", c_void_p), ("ob_type", c_void_p), ("ob_size", c_void_p), ("tp_name", ctypes.c_char_p)]
    _fields_ += [(f"slot{k}", c_void_p) for k in range(4, 23)] + [("tp_traverse", c_void_p), ("tp_clear", c_void_p)]


def test_a_cleared_closure_object_holds_no_records():
    """The collector's clear step unbinds the object along with its wrappers:
    no record pointer is left into a wrapper it released."""
    head = TypeHead.from_address(id(AdvectiveClosure))
    assert head.tp_name == b"velmora.dynamics.accretion.one_zone.models._gasrad_adv.AdvectiveClosure"
    clear = ctypes.PYFUNCTYPE(c_int, py_object)(head.tp_clear)
    c = ref.bound_closure(run_params=FULL, with_fallback=True)
    p = ref.parameters_of(c)
    assert p.advection and p.fallback
    assert clear(c) == 0
    p = ref.parameters_of(c)
    assert not p.advection and not p.fallback and c.opacity is None
    with pytest.raises(RuntimeError, match="hold no advection record"):
        solve_profile(c, [1e10], [1e5], [1e-3])
    c.opacity = ElectronScatteringOpacity()
    c.bind_runtime_parameters(dict(FULL))
    assert solve_profile(c, [1e10], [1e5], [ref.keplerian(1e10)]).shape == (1, 21)
