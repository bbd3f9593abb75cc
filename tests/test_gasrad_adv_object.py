"""AdvectiveClosure and the module surface of _gasrad_adv: construction,
binding of run-time parameters, fill_parameters, table, GC and pickling."""

import copy
import ctypes
import gc
import math
import pickle
import sys
import weakref

import pytest

import capi_helpers as ch
import gasrad_adv_reference as ref
import velmora.radiation.opacity as opacity_pkg
from disk_records import DiskParameters, FallbackParams
from velmora.dynamics.accretion.one_zone.closure import OneZoneClosure
from velmora.dynamics.accretion.one_zone.models import _gasrad_adv as ga
from velmora.dynamics.accretion.one_zone.physics import _fallback, _param_wrappers, _viscous
from velmora.dynamics.accretion.one_zone.models._gasrad_adv import AdvectiveClosure
from velmora.radiation.opacity import ElectronScatteringOpacity
from velmora.radiation.opacity.kappa_core import C_GreyKappaCore

PTR = ctypes.sizeof(ctypes.c_void_p)
HEAD = object.__basicsize__
BASE = OneZoneClosure.__basicsize__
PREFIX = "velmora.dynamics.accretion.one_zone.models._gasrad_adv."
FALLBACK_RUN = {**ref.RUN_PARAMS, "log_M_fb_0": math.log(1e32), "log_R_c": math.log(1e9),
                "log_t_fb": math.log(3e4), "beta_fb": 5.0 / 3.0}


def word(obj, offset):
    return ctypes.c_void_p.from_address(id(obj) + offset).value


def doubles(obj):
    """mu, xi, M_BH, R_in, alpha after the base's fields."""
    return [ctypes.c_double.from_address(id(obj) + BASE + 8 * k).value for k in range(5)]


def wrapper_of(record_address):
    """The parameter-wrapper object whose inline record is at that address."""
    return ctypes.cast(record_address - HEAD - PTR, ctypes.py_object).value


def installed(obj):
    """closure, derivative, writer and source function addresses."""
    return [word(obj, HEAD + PTR * (1 + k)) for k in range(4)]


CLOSURE = ch.c_api(ga, "gasrad_adv_closure_func")
WRITER = ch.c_api(ga, "gasrad_adv_writer_func")
VISCOUS = ch.c_api(_viscous, "viscous_derivative_func")
FALLBACK = ch.c_api(_fallback, "fallback_source_func")


# --- module surface ---------------------------------------------------------------

def test_exports_and_names():
    assert list(ga.__c_api__) == ["ADV_N_RESULT_FIELDS", "gasrad_adv_writer_func", "gasrad_adv_closure_func"]
    assert ch.capsule_name(ga.__c_api__["ADV_N_RESULT_FIELDS"]) == "int"
    assert ctypes.c_int.from_address(ch.c_api(ga, "ADV_N_RESULT_FIELDS")).value == 21
    assert ch.capsule_name(ga.__c_api__["gasrad_adv_writer_func"]) == (
        "int (int const , struct DiskState const *, struct DiskDerived const *, struct DiskParameters const *, "
        "struct ClosureResult const *, struct DiskStep const *, double *, int)")
    assert ch.capsule_name(ga.__c_api__["gasrad_adv_closure_func"]) == (
        "int (struct DiskState const *, struct DiskDerived const *, struct DiskParameters const *, "
        "struct ClosureResult const *, struct ClosureResult *)")
    assert ga.gasradAdvClosure is AdvectiveClosure
    assert ga.ADV_N_RESULT_FIELDS_PY == 21 and type(ga.ADV_N_RESULT_FIELDS_PY) is int


def test_table_inherits_slot_0_and_replaces_fill_parameters():
    mine, base = ch.vtable_address(AdvectiveClosure), ch.vtable_address(OneZoneClosure)
    assert mine != base
    slot = lambda table, i: ctypes.c_void_p.from_address(table + i * PTR).value
    assert slot(mine, 0) == slot(base, 0)
    assert slot(mine, 1) != slot(base, 1)
    assert ch.table_pointer(AdvectiveClosure()) == mine


# --- construction ------------------------------------------------------------------

def test_defaults():
    c = AdvectiveClosure()
    assert doubles(c)[:2] == [0.6, 0.5]
    assert installed(c) == [CLOSURE, VISCOUS, WRITER, None]
    assert c.n_result_fields == 21
    assert type(c.opacity) is ElectronScatteringOpacity
    p = ref.parameters_of(c)
    assert (p.mu, p.fallback, p.advection, p.opacity) == (0.6, None, None, id(c.opacity))
    assert (word(c, BASE + 48), word(c, BASE + 48 + 2 * PTR)) == (id(None), None)  # fallback_obj, its record


@pytest.mark.parametrize("args,kwargs,expected", [
    ((True,), {}, (1, 0.6, 0.5)),
    (([1],), {"xi": 0}, (1, 0.6, 0.0)),
    ((0, 1, 2), {}, (0, 1.0, 2.0)),
    ((), {"mu": 0.5, "with_fallback": ""}, (0, 0.5, 0.5)),
])
def test_arguments(args, kwargs, expected):
    c = AdvectiveClosure(*args, **kwargs)
    with_fallback = ctypes.c_int.from_address(id(c) + BASE + 40).value
    assert (with_fallback, *doubles(c)[:2]) == expected
    assert installed(c)[3] == (FALLBACK if expected[0] else None)


@pytest.mark.parametrize("args,kwargs,exc,text", [
    ((0, 1, 2, 3), {}, TypeError, "__init__() takes at most 3 positional arguments (4 given)"),
    ((), {"eta": 1}, TypeError, "__init__() got an unexpected keyword argument 'eta'"),
    ((0,), {"with_fallback": 1}, TypeError, "__init__() got multiple values for keyword argument 'with_fallback'"),
    ((0, "0.6"), {}, TypeError, "must be real number, not str"),
    ((0, 0.6, None), {}, TypeError, "must be real number, not NoneType"),
])
def test_construction_errors(args, kwargs, exc, text):
    with pytest.raises(exc) as info:
        AdvectiveClosure(*args, **kwargs)
    assert str(info.value) == text
    assert ref.kernel_frames(info.value) == [PREFIX + "AdvectiveClosure.__init__"]


class OwnInit(AdvectiveClosure):
    def __init__(self, *args, **kwargs):  # does not call the base's
        self.tag = "mine"


@pytest.mark.parametrize("make", [
    lambda: AdvectiveClosure.__new__(AdvectiveClosure, True, 0.7, 0.9),
    lambda: OwnInit(True, 0.7, 0.9),
], ids=["__new__ alone", "subclass with its own __init__"])
def test_construction_happens_at_allocation(make):
    c = make()
    with_fallback = ctypes.c_int.from_address(id(c) + BASE + 40).value
    assert (with_fallback, *doubles(c)[:2]) == (1, 0.7, 0.9)
    assert installed(c) == [CLOSURE, VISCOUS, WRITER, FALLBACK]
    assert type(c.opacity) is ElectronScatteringOpacity and c.n_result_fields == 21


def test_a_second_init_changes_nothing():
    c = ref.bound_closure(with_fallback=False, run_params=ref.RUN_PARAMS)
    law, before = c.opacity, ref.parameters_of(c)
    c.__init__(True, 2.0, 0.9)
    after = ref.parameters_of(c)
    assert c.opacity is law and installed(c)[3] is None and doubles(c)[:2] == [0.6, 0.5]
    assert [getattr(after, f) for f, _ in after._fields_] == [getattr(before, f) for f, _ in before._fields_]


def test_law_is_imported_at_every_construction(monkeypatch):
    class Marked(ElectronScatteringOpacity):
        pass

    monkeypatch.setattr(opacity_pkg, "ElectronScatteringOpacity", Marked)
    assert type(AdvectiveClosure().opacity) is Marked


def test_law_from_the_loaded_submodule_when_the_attribute_is_missing(monkeypatch):
    monkeypatch.delattr(opacity_pkg, "ElectronScatteringOpacity")
    monkeypatch.setitem(sys.modules, "velmora.radiation.opacity.ElectronScatteringOpacity",
                        ElectronScatteringOpacity)
    assert type(AdvectiveClosure().opacity) is ElectronScatteringOpacity


def test_missing_law_is_an_import_error(monkeypatch):
    monkeypatch.delattr(opacity_pkg, "ElectronScatteringOpacity")
    with pytest.raises(ImportError) as info:
        AdvectiveClosure()
    assert str(info.value) == "cannot import name ElectronScatteringOpacity"


# --- binding -------------------------------------------------------------------------

def test_binding_stores_linear_values_and_an_advection_record():
    c = AdvectiveClosure(xi=0.25)
    assert c.bind_runtime_parameters({"log_M_BH": 0.0, "log_R_in": 0.0, "alpha": 0.1}) is None
    p = ref.parameters_of(c)
    assert (p.M_BH, p.R_in, p.alpha, p.mu, p.fallback) == (1.0, 1.0, 0.1, 0.6, None)
    advection = wrapper_of(p.advection)
    assert type(advection) is _param_wrappers.CAdvection and advection.xi == 0.25
    assert word(c, BASE + 48 + PTR) == id(advection)


def test_binding_with_fallback_needs_all_seven_keys():
    c = AdvectiveClosure(True)
    c.bind_runtime_parameters(dict(FALLBACK_RUN))
    p = ref.parameters_of(c)
    record = FallbackParams.from_address(p.fallback)
    assert (record.M_fb_0, record.R_c, record.t_fb, record.beta_fb) == (
        math.exp(math.log(1e32)), math.exp(math.log(1e9)), math.exp(math.log(3e4)), 5.0 / 3.0)
    assert type(wrapper_of(p.fallback)) is _param_wrappers.CFallback
    for key in ("log_M_fb_0", "log_R_c", "log_t_fb", "beta_fb"):
        partial = {k: v for k, v in FALLBACK_RUN.items() if k != key}
        with pytest.raises(KeyError) as info:
            AdvectiveClosure(True).bind_runtime_parameters(partial)
        assert info.value.args == (key,)


def test_fallback_keys_are_not_read_without_fallback():
    c = AdvectiveClosure()
    c.bind_runtime_parameters({**ref.RUN_PARAMS, "log_M_fb_0": "never read"})
    assert ref.parameters_of(c).fallback is None


def test_binding_twice_replaces_and_releases_the_wrapper_objects():
    c = AdvectiveClosure(True)
    c.bind_runtime_parameters(dict(FALLBACK_RUN))
    p = ref.parameters_of(c)
    old_adv, old_fb = wrapper_of(p.advection), wrapper_of(p.fallback)
    counts = sys.getrefcount(old_adv), sys.getrefcount(old_fb)
    c.bind_runtime_parameters({**FALLBACK_RUN, "alpha": 0.3})
    q = ref.parameters_of(c)
    assert wrapper_of(q.advection) is not old_adv and wrapper_of(q.fallback) is not old_fb
    assert (sys.getrefcount(old_adv), sys.getrefcount(old_fb)) == (counts[0] - 1, counts[1] - 1)
    assert q.alpha == 0.3


@pytest.mark.parametrize("run_params,text", [
    (type("RunParams", (dict,), {})(ref.RUN_PARAMS),
     "Argument 'run_params' has incorrect type (expected dict, got RunParams)"),
    ([("alpha", 0.1)], "Argument 'run_params' has incorrect type (expected dict, got list)"),
    (None, "'NoneType' object is not subscriptable"),
])
def test_run_params_must_be_exactly_a_dict(run_params, text):
    with pytest.raises(TypeError) as info:
        AdvectiveClosure().bind_runtime_parameters(run_params)
    assert str(info.value) == text
    assert ref.kernel_frames(info.value) == [PREFIX + "AdvectiveClosure.bind_runtime_parameters"]


@pytest.mark.parametrize("args,kwargs,text", [
    ((), {}, "bind_runtime_parameters() takes exactly 1 positional argument (0 given)"),
    (({}, {}), {}, "bind_runtime_parameters() takes exactly 1 positional argument (2 given)"),
    (({},), {"run_params": {}},
     "bind_runtime_parameters() got multiple values for keyword argument 'run_params'"),
])
def test_binding_arity(args, kwargs, text):
    with pytest.raises(TypeError) as info:
        AdvectiveClosure().bind_runtime_parameters(*args, **kwargs)
    assert str(info.value) == text


def test_values_read_before_a_failure_stay_stored():
    c = AdvectiveClosure(True)
    c.bind_runtime_parameters(dict(FALLBACK_RUN))
    before = ref.parameters_of(c)
    with pytest.raises(KeyError) as info:
        c.bind_runtime_parameters({"log_M_BH": 2.0, "log_R_in": 3.0})
    assert info.value.args == ("alpha",)
    p = ref.parameters_of(c)
    assert (p.M_BH, p.R_in, p.alpha, p.advection) == (math.exp(2.0), math.exp(3.0), 0.1, before.advection)
    # A failure among the fallback keys keeps the new advection object and the
    # old fallback record.
    with pytest.raises(KeyError):
        c.bind_runtime_parameters({**ref.RUN_PARAMS, "alpha": 0.2})
    q = ref.parameters_of(c)
    assert q.alpha == 0.2 and q.advection != before.advection and q.fallback == before.fallback


def test_invalid_xi_fails_at_binding_in_the_wrapper():
    c = AdvectiveClosure(xi=-1.0)
    with pytest.raises(ValueError, match="xi must be non-negative and finite") as info:
        c.bind_runtime_parameters(dict(ref.RUN_PARAMS))
    assert ref.kernel_frames(info.value)[0] == PREFIX + "AdvectiveClosure.bind_runtime_parameters"
    p = ref.parameters_of(c)
    assert p.alpha == 0.1 and p.advection is None


def test_fill_parameters_leaves_the_fifth_field():
    c = ref.bound_closure()
    p = DiskParameters(reserved=123.25)
    ref.fill_parameters(c, ctypes.byref(p))
    assert p.reserved == 123.25
    assert (p.M_BH, p.R_in, p.alpha) == (math.exp(math.log(2e34)), math.exp(math.log(1e7)), 0.1)


# --- garbage collection and pickling -----------------------------------------------

def test_traversal_visits_opacity_then_fallback_then_advection():
    c = AdvectiveClosure(True)
    assert gc.get_referents(c) == [c.opacity, None, None]
    c.bind_runtime_parameters(dict(FALLBACK_RUN))
    p = ref.parameters_of(c)
    assert gc.get_referents(c) == [c.opacity, wrapper_of(p.fallback), wrapper_of(p.advection)]


def test_cycles_through_a_subclass_are_collected():
    class Model(AdvectiveClosure):
        pass

    m = Model(True, xi=0.1)
    m.bind_runtime_parameters(dict(FALLBACK_RUN))
    m.me = m
    alive = weakref.ref(m)
    del m
    gc.collect()
    assert alive() is None


@pytest.mark.parametrize("action", [pickle.dumps, copy.copy, copy.deepcopy])
def test_pickling_is_refused(action):
    with pytest.raises(TypeError) as info:
        action(ref.bound_closure())
    assert str(info.value) == "no default __reduce__ due to non-trivial __cinit__"


