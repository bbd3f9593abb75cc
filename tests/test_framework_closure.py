"""The framework's closure module: constants, OneZoneClosure's layout, table,
ring physics, opacity attribute and garbage collection."""

import ctypes
import gc
import math
import pickle
import weakref

import pytest

import capi_helpers as ch
from disk_records import COMPUTE_DERIVED, FILL_PARAMETERS, DiskDerived, DiskParameters, DiskState
from velmora.dynamics.accretion.one_zone import closure
from velmora.dynamics.accretion.one_zone.closure import OneZoneClosure
from velmora.radiation.opacity import ElectronScatteringOpacity
from velmora.radiation.opacity.kappa_core import C_GreyKappaCore, C_KappaCore

PTR = ctypes.sizeof(ctypes.c_void_p)
HEAD = object.__basicsize__
G = 6.67430e-8

CONSTANTS = {
    "G_CGS": 6.67430e-8,
    "K_B_CGS": 1.380649e-16,
    "M_P_CGS": 1.67262192369e-24,
    "SIGMA_SB_CGS": 5.670374419e-5,
    "RAD_A_CGS": 4 * 5.670374419e-5 / 2.99792458e10,
    "KAPPA_ES": 0.34,
    "DISK_A": 1.0,
    "DISK_B": 1.0,
    "DISK_F0": 1.0,
    "DISK_XI": 0.5,
}
LOGS = {"LOG_" + k: math.log(v) for k, v in CONSTANTS.items() if k != "DISK_B"}
LOGS["LOG_PI"] = math.log(math.pi)


def constant(name):
    return ctypes.c_double.from_address(ch.c_api(closure, name)).value


def test_exports_exactly_the_twenty_constants_named_double():
    assert sorted(closure.__c_api__) == sorted([*CONSTANTS, *LOGS])
    assert len(closure.__c_api__) == 20
    assert {ch.capsule_name(c) for c in closure.__c_api__.values()} == {"double"}


@pytest.mark.parametrize("name", sorted({**CONSTANTS, **LOGS}))
def test_constant_values(name):
    expected = {**CONSTANTS, **LOGS}[name]
    assert constant(name) == pytest.approx(expected, rel=1e-15, abs=1e-300)


# --- layout ------------------------------------------------------------------

def closure_with_law():
    c = OneZoneClosure()
    law = ElectronScatteringOpacity()
    c.opacity = law
    return c, law


def test_instance_layout():
    c, law = closure_with_law()
    assert OneZoneClosure.__basicsize__ == HEAD + 6 * PTR + 8
    assert ch.table_pointer(c) == ch.vtable_address(OneZoneClosure)
    words = [ctypes.c_void_p.from_address(id(c) + HEAD + PTR * (1 + k)).value for k in range(4)]
    assert words == [None] * 4  # no closure, derivative, writer or source installed
    assert ctypes.c_void_p.from_address(id(c) + HEAD + 5 * PTR).value == id(law)
    assert ctypes.c_int.from_address(id(c) + HEAD + 6 * PTR).value == 0 == c.n_result_fields


def slot(cls, index, prototype):
    return ch.slot(ch.vtable_address(cls), index, prototype)


# --- compute_derived ---------------------------------------------------------

def ring(M_D, J_D, M_BH):
    R = (J_D / M_D) ** 2 / (G * M_BH)
    return R, M_D / (math.pi * R * R), math.sqrt(G * M_BH / R ** 3)


NO_LOCK = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.POINTER(DiskState),
                           ctypes.POINTER(DiskParameters), ctypes.POINTER(DiskDerived))


@pytest.mark.parametrize("M_D, J_D, M_BH, locked", [
    (1e32, 1e50, 2e34, True),
    (3.0e33, 7.1e52, 1.989e33 * 10, True),
    (1.0, 1.0, 1.0, False),  # the slot runs without the interpreter lock
])
def test_compute_derived_ring(M_D, J_D, M_BH, locked):
    c, _ = closure_with_law()
    out = DiskDerived(-1.0, -1.0, -1.0)
    fn = slot(OneZoneClosure, 0, COMPUTE_DERIVED if locked else NO_LOCK)
    rc = fn(c if locked else id(c), DiskState(123.0, M_D, J_D), DiskParameters(M_BH=M_BH), ctypes.byref(out))
    assert rc == 0
    R, Sigma, Omega = ring(M_D, J_D, M_BH)
    assert out.R_D == pytest.approx(R, rel=1e-14)
    assert out.Sigma == pytest.approx(Sigma, rel=1e-14)
    assert out.Omega == pytest.approx(Omega, rel=1e-14)
    # Kepler: the ring's angular momentum is M_D R^2 Omega.
    assert M_D * out.R_D ** 2 * out.Omega == pytest.approx(J_D, rel=1e-13)


@pytest.mark.parametrize("field, value", [("M_D", 0.0), ("M_D", math.nan), ("J_D", -5.0), ("J_D", math.inf),
                                          ("M_BH", 0.0)])
def test_compute_derived_refuses_bad_rings(field, value):
    args = {"M_D": 1e32, "J_D": 1e50, "M_BH": 2e34, field: value}
    out = DiskDerived(7.0, 8.0, 9.0)
    with pytest.raises(ValueError) as info:
        slot(OneZoneClosure, 0, COMPUTE_DERIVED)(
            OneZoneClosure(), DiskState(0.0, args["M_D"], args["J_D"]), DiskParameters(M_BH=args["M_BH"]),
            ctypes.byref(out))
    assert str(info.value) == (
        f"OneZoneClosure.compute_derived(): {field} must be positive and finite, got {value!r}")
    assert ch.frame_names(info.value)[-1] == (
        "velmora.dynamics.accretion.one_zone.closure.OneZoneClosure.compute_derived")
    assert (out.R_D, out.Sigma, out.Omega) == (7.0, 8.0, 9.0)


# --- fill_parameters ---------------------------------------------------------

def test_fill_parameters_writes_only_the_opacity():
    c, law = closure_with_law()
    params = DiskParameters(1.0, 2.0, 3.0, 4.0, 5.0, 6, 7, 8)
    slot(OneZoneClosure, 1, FILL_PARAMETERS)(c, ctypes.byref(params))
    assert params.opacity == id(law)
    assert [params.M_BH, params.R_in, params.alpha, params.mu, params.reserved, params.fallback,
            params.advection] == [1.0, 2.0, 3.0, 4.0, 5.0, 6, 7]


# --- the opacity attribute ---------------------------------------------------

class Law(ElectronScatteringOpacity):
    pass


def test_opacity_starts_as_none_and_accepts_grey_laws():
    c = OneZoneClosure()
    assert c.opacity is None
    base = C_GreyKappaCore()
    c.opacity = base
    assert c.opacity is base
    law = ElectronScatteringOpacity(0.5)
    c.opacity = law
    assert c.opacity is law


@pytest.mark.parametrize("value, type_name", [
    (object(), "object"), (None, "NoneType"), (0.34, "float"),
    (C_KappaCore(), "velmora.radiation.opacity.kappa_core.C_KappaCore"),
])
def test_opacity_setter_refuses_other_objects(value, type_name):
    c, law = closure_with_law()
    with pytest.raises(TypeError) as info:
        c.opacity = value
    assert str(info.value) == f"opacity must be a C_GreyKappaCore instance, not {type_name}"
    assert ch.frame_names(info.value)[-1] == (
        "velmora.dynamics.accretion.one_zone.closure.OneZoneClosure.opacity.__set__")
    assert c.opacity is law


def test_opacity_cannot_be_deleted():
    c, law = closure_with_law()
    with pytest.raises(TypeError, match="^opacity cannot be deleted$"):
        del c.opacity
    assert c.opacity is law


def test_replaced_law_is_released():
    c, law = closure_with_law()
    first = Law()
    c.opacity = first
    ref = weakref.ref(first)
    del first
    c.opacity = law
    assert ref() is None


# --- garbage collection, subclassing, pickling -------------------------------

class Model(OneZoneClosure):
    pass


@pytest.mark.parametrize("cls", [OneZoneClosure, Model])
def test_cycle_through_opacity_is_collected(cls):
    c = cls()
    law = Law()
    law.owner = c
    c.opacity = law
    ref = weakref.ref(law)
    del c, law
    gc.collect()
    assert ref() is None


def test_interpreter_subclass_inherits_table_and_attribute():
    m = Model()
    m.extra = 1
    assert ch.table_pointer(m) == ch.vtable_address(OneZoneClosure)
    m.opacity = ElectronScatteringOpacity()
    with pytest.raises(TypeError):
        m.opacity = "kappa"
    params = DiskParameters()
    slot(OneZoneClosure, 1, FILL_PARAMETERS)(m, ctypes.byref(params))
    assert params.opacity == id(m.opacity)


def test_constructor_ignores_arguments():
    assert OneZoneClosure(1, 2, key=3).opacity is None


def test_pickling_is_refused():
    with pytest.raises(TypeError, match="^no default __reduce__ due to non-trivial __cinit__$"):
        pickle.dumps(OneZoneClosure())
