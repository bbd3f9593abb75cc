"""Parameter wrappers CAdvection and CFallback: records, validation, the
record-returning first operation."""

import copy
import ctypes
import gc
import math
import pickle

import pytest

import capi_helpers as ch
from disk_records import GET_RECORD, AdvectionParams, FallbackParams
from velmora.dynamics.accretion.one_zone.physics._param_wrappers import CAdvection, CFallback

PTR = ctypes.sizeof(ctypes.c_void_p)
HEAD = object.__basicsize__


def record_of(obj):
    return ch.slot(ch.vtable_address(type(obj)), 0, GET_RECORD)(obj)


@pytest.mark.parametrize("cls, record_type, args", [
    (CAdvection, AdvectionParams, (0.5,)),
    (CFallback, FallbackParams, (2e32, 4e7, 1e3, 5 / 3)),
])
def test_first_operation_returns_the_inline_record(cls, record_type, args):
    obj = cls(*args)
    address = record_of(obj)
    assert address == id(obj) + HEAD + PTR
    assert ch.table_pointer(obj) == ch.vtable_address(cls)
    rec = record_type.from_address(address)
    assert tuple(getattr(rec, name) for name, _ in record_type._fields_) == args
    assert cls.__basicsize__ == HEAD + PTR + ctypes.sizeof(record_type)


def test_record_stays_valid_while_the_wrapper_lives():
    keep = [CFallback(float(k + 1), 2.0, 3.0, -1.0) for k in range(50)]
    addresses = [record_of(w) for w in keep]
    garbage = [CFallback(9.0, 9.0, 9.0, 9.0) for _ in range(200)]
    del garbage
    gc.collect()
    assert len(set(addresses)) == 50
    for k, address in enumerate(addresses):
        rec = FallbackParams.from_address(address)
        assert (rec.M_fb_0, rec.R_c, rec.t_fb, rec.beta_fb) == (k + 1.0, 2.0, 3.0, -1.0)


def test_first_operation_runs_without_the_lock():
    obj = CAdvection(0.25)
    fn = ch.slot(ch.vtable_address(CAdvection), 0, ctypes.CFUNCTYPE(ctypes.c_void_p, ctypes.c_void_p))
    assert fn(id(obj)) == record_of(obj)


def test_attributes_and_keywords():
    fb = CFallback(R_c=4e7, M_fb_0=1, beta_fb=-2, t_fb=10)
    assert (fb.M_fb_0, fb.R_c, fb.t_fb, fb.beta_fb) == (1.0, 4e7, 10.0, -2.0)
    assert CAdvection(xi=0).xi == 0.0
    with pytest.raises(AttributeError):
        fb.R_c = 1.0
    assert repr(CAdvection(0.5)) == "CAdvection(xi=0.5)"
    assert repr(fb) == "CFallback(M_fb_0=1.0, R_c=40000000.0, t_fb=10.0, beta_fb=-2.0)"


BAD = [
    (CAdvection, {"xi": -0.1}, "xi", "non-negative and finite"),
    (CAdvection, {"xi": math.inf}, "xi", "non-negative and finite"),
    (CAdvection, {"xi": math.nan}, "xi", "non-negative and finite"),
    *[(CFallback, {name: bad}, name, "positive and finite")
      for name in ("M_fb_0", "R_c", "t_fb") for bad in (0.0, -1.0, math.inf, math.nan)],
    (CFallback, {"beta_fb": math.inf}, "beta_fb", "finite"),
    (CFallback, {"beta_fb": math.nan}, "beta_fb", "finite"),
]


@pytest.mark.parametrize("cls, bad, name, requirement", BAD)
def test_invalid_values_raise_value_error_naming_the_parameter(cls, bad, name, requirement):
    kwargs = {"xi": 0.5} if cls is CAdvection else {"M_fb_0": 1.0, "R_c": 1.0, "t_fb": 1.0, "beta_fb": 1.0}
    kwargs.update(bad)
    with pytest.raises(ValueError) as info:
        cls(**kwargs)
    assert str(info.value) == f"{cls.__name__}(): {name} must be {requirement}, got {bad[name]!r}"
    assert ch.frame_names(info.value)[-1] == (
        f"velmora.dynamics.accretion.one_zone.physics._param_wrappers.{cls.__name__}.__new__")


@pytest.mark.parametrize("call, message", [
    (lambda: CAdvection(), "CAdvection() takes exactly 1 positional argument (0 given)"),
    (lambda: CFallback(1, 2, 3), "CFallback() takes exactly 4 positional arguments (3 given)"),
    (lambda: CAdvection(0.5, xi=0.5), "CAdvection() got multiple values for keyword argument 'xi'"),
    (lambda: CAdvection(0.5, zeta=0.5), "CAdvection() got an unexpected keyword argument 'zeta'"),
    (lambda: CFallback(1.0, 1.0, 1.0, "5/3"), "must be real number, not str"),
])
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


@pytest.mark.parametrize("obj", [CAdvection(0.0), CFallback(2e32, 4e7, 1e3, 1.2)])
def test_pickle_and_copy_keep_the_record(obj):
    for clone in (pickle.loads(pickle.dumps(obj)), copy.copy(obj), copy.deepcopy(obj)):
        assert type(clone) is type(obj) and clone is not obj
        assert repr(clone) == repr(obj)

