"""Pickling and copying of the opacity-law base types and of interpreter-level
subclasses: the reduced forms, the reconstructors and __setstate__."""

import copy
import pickle

import pytest

import kappa_core_support as sup
import velmora.radiation.opacity.kappa_core as kc
from capi_helpers import frame_names

Q, raised = sup.Q, sup.raised
Grey, Freq = kc.C_GreyKappaCore, kc.C_KappaCore
R_GREY, R_FREQ = kc.__c_unpickle_C_GreyKappaCore, kc.__c_unpickle_C_KappaCore
WRITTEN = 0xE3B0C44
ACCEPTED = [0xE3B0C44, 0xD41D8CD, 0xDA39A3E]
PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)


class GreySub(Grey):
    def __init__(self, *args):
        raise AssertionError("reconstruction must not run an initialiser")


class FreqSub(Freq):
    pass


class Slotted(Grey):
    __slots__ = ()


class NoisyDict(dict):
    updates = []

    def update(self, *args):
        NoisyDict.updates.append(args)
        super().update(*args)


class TupleSub(tuple):
    pass


def new(cls, **attrs):
    obj = cls.__new__(cls)
    for k, v in attrs.items():
        setattr(obj, k, v)
    return obj


def reconstructor(cls):
    return R_FREQ if issubclass(cls, Freq) else R_GREY


# --- reduced forms ---------------------------------------------------------------

@pytest.mark.parametrize("cls", [Grey, Freq, GreySub, FreqSub, Slotted])
def test_reduce_without_dict_state_is_a_pair(cls):
    obj = new(cls)
    r = obj.__reduce__()
    assert r == (reconstructor(cls), (cls, 238750788, ()))
    assert type(r[1][0]) is type and r[1][0] is cls
    for protocol in PROTOCOLS:
        assert obj.__reduce_ex__(protocol) == r


@pytest.mark.parametrize("cls", [GreySub, FreqSub])
def test_reduce_with_dict_state_is_a_triple(cls):
    obj = new(cls, x=1)
    r = obj.__reduce__()
    assert r == (reconstructor(cls), (cls, WRITTEN, None), ({"x": 1},))
    assert r[2][0] is obj.__dict__


def test_reconstructors_are_recorded_by_module_and_name():
    for r, name in [(R_GREY, "__c_unpickle_C_GreyKappaCore"), (R_FREQ, "__c_unpickle_C_KappaCore")]:
        assert r.__module__ == "velmora.radiation.opacity.kappa_core" and r.__name__ == name
        assert pickle.loads(pickle.dumps(r)) is r


@pytest.mark.parametrize("protocol", PROTOCOLS)
@pytest.mark.parametrize("cls", [Grey, Freq, GreySub, FreqSub, Slotted])
def test_pickle_round_trip(cls, protocol):
    obj = new(cls)
    back = pickle.loads(pickle.dumps(obj, protocol))
    assert type(back) is cls and back is not obj
    if hasattr(obj, "__dict__"):
        obj.x, obj.items = 1, [1, 2]
        back = pickle.loads(pickle.dumps(obj, protocol))
        assert type(back) is cls and back.__dict__ == {"x": 1, "items": [1, 2]}


@pytest.mark.parametrize("cls", [Grey, Freq, GreySub, FreqSub])
def test_copy_and_deepcopy(cls):
    obj = new(cls)
    for f in (copy.copy, copy.deepcopy):
        c = f(obj)
        assert type(c) is cls and c is not obj
    if cls in (GreySub, FreqSub):
        obj.items = [1]
        shallow, deep = copy.copy(obj), copy.deepcopy(obj)
        assert shallow.items is obj.items
        assert deep.items == [1] and deep.items is not obj.items


# --- reconstructors -----------------------------------------------------------

@pytest.mark.parametrize("r, cls", [(R_GREY, Grey), (R_GREY, GreySub), (R_FREQ, Freq), (R_FREQ, FreqSub)])
@pytest.mark.parametrize("checksum", ACCEPTED)
def test_reconstructor_accepts_the_three_checksums(r, cls, checksum):
    for state in (None, ()):
        obj = r(cls, checksum, state)
        assert type(obj) is cls
    obj = r(__c_state=None, __c_checksum=checksum, __c_type=cls)
    assert type(obj) is cls
    if cls in (GreySub, FreqSub):
        assert obj.__dict__ == {}


@pytest.mark.parametrize("r", [R_GREY, R_FREQ])
@pytest.mark.parametrize("checksum", [0, 0x1234, 0xE3B0C45, 2 ** 31 - 1])
def test_reconstructor_refuses_other_checksums(r, checksum):
    e = raised(r, Grey if r is R_GREY else Freq, checksum, None)
    assert type(e) is pickle.PickleError
    assert str(e) == f"Incompatible checksums ({checksum:#x} vs (0xe3b0c44, 0xda39a3e, 0xd41d8cd) = ())"
    assert frame_names(e) == [Q + r.__name__]


def test_reconstructor_checksum_message_for_0x1234():
    e = raised(R_GREY, Grey, 0x1234, ())
    assert str(e) == "Incompatible checksums (0x1234 vs (0xe3b0c44, 0xda39a3e, 0xd41d8cd) = ())"


class IntReturnsStr:
    def __int__(self):
        return "1"


@pytest.mark.parametrize("checksum, exc, text", [
    ("abc", TypeError, "an integer is required"),
    (None, TypeError, "an integer is required"),
    (IntReturnsStr(), TypeError, "__int__ returned non-int (type str)"),
    (2 ** 31, OverflowError, "value too large to convert to int"),
    (-2 ** 40, OverflowError, "value too large to convert to int"),
])
def test_reconstructor_checksum_conversion(checksum, exc, text):
    # conversion comes before the state check
    e = raised(R_GREY, Grey, checksum, [])
    assert type(e) is exc and str(e) == text
    assert frame_names(e) == [Q + "__c_unpickle_C_GreyKappaCore"]


@pytest.mark.parametrize("r", [R_GREY, R_FREQ])
@pytest.mark.parametrize("state, got", [([], "list"), (TupleSub(), "TupleSub"), ({}, "dict"), (0, "int")])
def test_reconstructor_state_must_be_exactly_a_tuple_or_none(r, state, got):
    # the state is checked before the checksum
    e = raised(r, Grey if r is R_GREY else Freq, 0, state)
    assert type(e) is TypeError
    assert str(e) == f"Argument '__c_state' has incorrect type (expected tuple, got {got})"
    assert frame_names(e) == [Q + r.__name__]


@pytest.mark.parametrize("r, cls", [(R_GREY, Freq), (R_GREY, int), (R_FREQ, Grey), (R_FREQ, FreqSub())])
def test_reconstructor_type_must_derive_from_the_base(r, cls):
    e = raised(r, cls, WRITTEN, None)
    assert type(e) is TypeError and "__new__" in str(e)
    assert frame_names(e) == [Q + r.__name__]


@pytest.mark.parametrize("args, kwargs, text", [
    ((Grey, WRITTEN), {}, "takes exactly 3 positional arguments (2 given)"),
    ((Grey, WRITTEN, None, None), {}, "takes exactly 3 positional arguments (4 given)"),
    ((Grey, WRITTEN), dict(state=None), "takes exactly 3 positional arguments (2 given)"),
    ((Grey, WRITTEN, None), dict(x=1), "got an unexpected keyword argument 'x'"),
    ((Grey, WRITTEN, None), dict(__c_type=Grey), "got multiple values for keyword argument '__c_type'"),
])
def test_reconstructor_binding(args, kwargs, text):
    e = raised(R_GREY, *args, **kwargs)
    assert type(e) is TypeError and str(e) == "__c_unpickle_C_GreyKappaCore() " + text
    assert frame_names(e) == [Q + "__c_unpickle_C_GreyKappaCore"]


def test_reconstructor_restores_a_dict_state():
    obj = R_GREY(GreySub, WRITTEN, ({"x": 1},))
    assert type(obj) is GreySub and obj.x == 1
    for state in [({},), (0,), (None, {"y": 2}), ()]:
        assert R_GREY(GreySub, WRITTEN, state).__dict__ == {}


def test_reconstructor_dict_state_onto_a_base_instance():
    e = raised(R_GREY, Grey, WRITTEN, ({"x": 1},))
    assert type(e) is AttributeError
    assert frame_names(e) == [Q + "__c_unpickle_C_GreyKappaCore", Q + "__c_unpickle_C_GreyKappaCore__set_state"]


def test_reduce_looks_the_reconstructor_up_in_the_module(monkeypatch):
    monkeypatch.delattr(kc, "__c_unpickle_C_GreyKappaCore")
    e = raised(Grey().__reduce__)
    assert type(e) is NameError and str(e) == "name '__c_unpickle_C_GreyKappaCore' is not defined"
    assert frame_names(e) == [Q + "C_GreyKappaCore.__reduce__"]
    stand_in = object()
    monkeypatch.setattr(kc, "__c_unpickle_C_GreyKappaCore", stand_in, raising=False)
    assert new(GreySub, x=1).__reduce__()[0] is stand_in


@pytest.mark.parametrize("cls", [Grey, Freq])
def test_reduce_binding(cls):
    for args, kwargs, text in [((1,), {}, "__reduce__() takes exactly 0 positional arguments (1 given)"),
                               ((), dict(x=1), "__reduce__() got an unexpected keyword argument 'x'")]:
        e = raised(cls().__reduce__, *args, **kwargs)
        assert type(e) is TypeError and str(e) == text
        assert frame_names(e) == [f"{Q}{cls.__name__}.__reduce__"]


# --- __setstate__ ------------------------------------------------------------------

@pytest.mark.parametrize("cls", [Grey, Freq])
def test_setstate_with_nothing_to_restore(cls):
    obj = cls()
    for state in [(), ({},), (0,), (None, 1)]:
        assert obj.__setstate__(state) is None
    assert obj.__setstate__(__c_state=()) is None


@pytest.mark.parametrize("cls", [GreySub, FreqSub])
def test_setstate_updates_the_instance_dict(cls):
    obj = new(cls, x=1, y=2)
    assert obj.__setstate__(({"y": 3, "z": 4},)) is None
    assert obj.__dict__ == {"x": 1, "y": 3, "z": 4}


def test_setstate_uses_the_update_method_of_a_dict_subclass():
    obj = new(GreySub)
    obj.__dict__ = NoisyDict()
    del NoisyDict.updates[:]
    obj.__setstate__(({"x": 1},))
    assert NoisyDict.updates == [({"x": 1},)] and obj.x == 1


@pytest.mark.parametrize("cls", [Grey, Freq])
@pytest.mark.parametrize("state, exc, text", [
    (None, TypeError, "cannot pass None into a C function argument that is declared 'not None'"),
    ([], TypeError, "Expected tuple, got list"),
    (TupleSub(), TypeError, "Expected tuple, got TupleSub"),
    ({"x": 1}, TypeError, "Expected tuple, got dict"),
])
def test_setstate_argument_checks(cls, state, exc, text):
    e = raised(cls().__setstate__, state)
    assert type(e) is exc and str(e) == text
    assert frame_names(e) == [f"{Q}{cls.__name__}.__setstate__"]


@pytest.mark.parametrize("cls", [Grey, Freq])
def test_setstate_dict_onto_a_base_instance(cls):
    e = raised(cls().__setstate__, ({"x": 1},))
    assert type(e) is AttributeError
    assert frame_names(e) == [f"{Q}{cls.__name__}.__setstate__",
                              f"{Q}__c_unpickle_{cls.__name__}__set_state"]


@pytest.mark.parametrize("args, kwargs, text", [
    ((), {}, "__setstate__() takes exactly 1 positional argument (0 given)"),
    (((), ()), {}, "__setstate__() takes exactly 1 positional argument (2 given)"),
    ((), dict(state=()), "__setstate__() takes exactly 1 positional argument (0 given)"),
    (((),), dict(__c_state=()), "__setstate__() got multiple values for keyword argument '__c_state'"),
])
def test_setstate_binding(args, kwargs, text):
    e = raised(Grey().__setstate__, *args, **kwargs)
    assert type(e) is TypeError and str(e) == text
