"""The operation tables as compiled callers see them: the __c_vtable__
capsules, the table pointer in each object, and calls of the slots with the
interpreter lock held and released, also from two threads at once."""

import ctypes
import math
import threading
import traceback

import pytest

import capi_helpers
import kappa_core_support as sup
import velmora.radiation.opacity.kappa_core as kc
from capi_helpers import frame_names

Q, raised = sup.Q, sup.raised
Grey, Freq = kc.C_GreyKappaCore, kc.C_KappaCore
D, O = ctypes.c_double, ctypes.py_object


def prototype(cls, factory):
    return factory(D, O, D, D) if cls is Grey else factory(D, O, D, D, D)


class GreySub(Grey):
    pass


class FreqSub(Freq):
    pass


@pytest.mark.parametrize("cls", [Grey, Freq])
def test_vtable_capsule_is_unnamed_without_destructor(cls):
    capsule = cls.__dict__["__c_vtable__"]
    assert type(capsule).__name__ == "PyCapsule"
    assert capi_helpers.capsule_name(capsule) is None
    destructor = ctypes.pythonapi.PyCapsule_GetDestructor
    destructor.restype, destructor.argtypes = ctypes.c_void_p, [O]
    assert destructor(capsule) is None
    assert capi_helpers.vtable_address(cls)


def test_each_type_has_its_own_table():
    assert capi_helpers.vtable_address(Grey) != capi_helpers.vtable_address(Freq)
    entries = sup.table_entries(Grey, 4) + sup.table_entries(Freq, 5)
    assert all(entries) and len(set(entries)) == 9


@pytest.mark.parametrize("cls, sub", [(Grey, GreySub), (Freq, FreqSub)])
def test_objects_point_at_their_types_table(cls, sub):
    address = capi_helpers.vtable_address(cls)
    assert capi_helpers.table_pointer(cls()) == address
    # an interpreter-level subclass inherits the table unchanged
    assert "__c_vtable__" not in sub.__dict__
    assert capi_helpers.table_pointer(sub()) == address


SLOTS = [(Grey, i, op) for i, op in enumerate(sup.GREY_SLOTS)] + \
        [(Freq, i, op) for i, op in enumerate(sup.FREQ_SLOTS)]


def expected_failure(cls, op):
    name = cls.__name__
    if op == "_opacity":
        return "_log_opacity", [f"{Q}{name}._opacity", f"{Q}{name}._log_opacity"]
    return op, [f"{Q}{name}.{op}"]


message = sup.unimplemented


@pytest.mark.parametrize("cls, index, op", SLOTS)
def test_slot_called_with_the_lock_held(cls, index, op):
    fn = capi_helpers.slot(capi_helpers.vtable_address(cls), index, prototype(cls, ctypes.PYFUNCTYPE))
    reported, frames = expected_failure(cls, op)
    with pytest.raises(NotImplementedError) as info:
        fn(cls(), *[1.0] * (2 if cls is Grey else 3))
    assert str(info.value) == message(cls, reported)
    assert frame_names(info.value) == frames


@pytest.mark.parametrize("cls, index, op", SLOTS)
def test_slot_called_without_the_lock_takes_it_itself(cls, index, op):
    fn = capi_helpers.slot(capi_helpers.vtable_address(cls), index, prototype(cls, ctypes.CFUNCTYPE))
    reported, frames = expected_failure(cls, op)
    sub = GreySub if cls is Grey else FreqSub
    with pytest.raises(SystemError) as info:
        fn(sub(), *[1.0] * (2 if cls is Grey else 3))
    cause = info.value.__cause__
    assert type(cause) is NotImplementedError
    assert str(cause) == message(cls, reported, sub.__name__)
    assert [f.name for f in traceback.extract_tb(cause.__traceback__)] == frames


def opacity_slot(cls, factory):
    return capi_helpers.slot(capi_helpers.vtable_address(cls), 0, prototype(cls, factory))


@pytest.mark.parametrize("factory", [ctypes.PYFUNCTYPE, ctypes.CFUNCTYPE])
def test_base_opacity_dispatches_through_the_objects_table(factory):
    grey, _ = sup.grey_law()
    freq, _ = sup.freq_law()
    rho, T, nu = 2.0e-8, 3.0e5, 4.0e14
    assert opacity_slot(Grey, factory)(grey, rho, T) == math.exp(sup.grey_ln_kappa(math.log(T), math.log(rho)))
    assert opacity_slot(Freq, factory)(freq, nu, rho, T) == \
        math.exp(sup.freq_ln_kappa(math.log(nu), math.log(T), math.log(rho)))
    # a caller that knows only the base table reaches the law's own slot 1 too
    own = capi_helpers.slot(capi_helpers.table_pointer(grey), 1, prototype(Grey, factory))
    assert own(grey, 1.0, 2.0) == sup.grey_ln_kappa(1.0, 2.0)


@pytest.mark.parametrize("factory, failure", [(ctypes.CFUNCTYPE, SystemError), (ctypes.PYFUNCTYPE, NotImplementedError)],
                         ids=["lock-released", "lock-held"])
def test_slots_run_concurrently_on_two_threads(factory, failure):
    kappa = opacity_slot(Grey, factory)
    law, _ = sup.grey_law()
    inputs = [(10.0 ** (-k), 10.0 ** (3 + k / 4)) for k in range(40)]
    barrier = threading.Barrier(2)
    results = {}

    def work(key):
        barrier.wait()
        good, failures = [], []
        for rho, T in inputs:
            good.append(kappa(law, rho, T))
            try:
                kappa(GreySub(), rho, T)
            except failure as e:
                failures.append(str(e.__cause__ if failure is SystemError else e))
        results[key] = good, failures

    threads = [threading.Thread(target=work, args=(k,)) for k in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    expected = [math.exp(sup.grey_ln_kappa(math.log(T), math.log(rho))) for rho, T in inputs]
    assert len(results) == 2
    for good, failures in results.values():
        assert good == expected
        assert failures == ["GreySub must implement _log_opacity(log_T, log_rho)."] * len(inputs)
