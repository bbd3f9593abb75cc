"""The _array methods: validation of the input buffers, the element loop, the
module global np looked up on each call, and the release of every buffer."""

import math
import sys
import weakref

import numpy as np
import pytest

import kappa_core_support as sup
import velmora.radiation.opacity.kappa_core as kc
from capi_helpers import frame_names

Q, raised = sup.Q, sup.raised
Grey, Freq = kc.C_GreyKappaCore, kc.C_KappaCore

# (type, method, parameter names, slot operation)
METHODS = [
    (Grey, "opacity_array", ("rho", "T"), "_opacity"),
    (Grey, "log_opacity_array", ("log_T", "log_rho"), "_log_opacity"),
    (Grey, "dlogkappa_dlogrho_array", ("log_T", "log_rho"), "_dlogkappa_dlogrho"),
    (Grey, "dlogkappa_dlogT_array", ("log_T", "log_rho"), "_dlogkappa_dlogT"),
    (Freq, "log_opacity_array", ("log_nu", "log_T", "log_rho"), "_log_opacity"),
    (Freq, "dlogkappa_dlogrho_array", ("log_nu", "log_T", "log_rho"), "_dlogkappa_dlogrho"),
    (Freq, "dlogkappa_dlogT_array", ("log_nu", "log_T", "log_rho"), "_dlogkappa_dlogT"),
    (Freq, "dlogkappa_dlognu_array", ("log_nu", "log_T", "log_rho"), "_dlogkappa_dlognu"),
]
IDS = [f"{c.__name__}.{m}" for c, m, _, _ in METHODS]


def qual(cls, name):
    return f"{Q}{cls.__name__}.{name}"


def arrays(k, n=3):
    return [np.linspace(1.0, 2.0, n) + i for i in range(k)]


@pytest.mark.parametrize("cls, method, names, op", METHODS, ids=IDS)
def test_empty_arrays_give_an_empty_result_without_calling_the_slot(cls, method, names, op):
    out = getattr(cls(), method)(*[np.empty(0)] * len(names))
    assert type(out) is np.ndarray and out.dtype == np.float64 and out.shape == (0,)


@pytest.mark.parametrize("cls, method, names, op", METHODS, ids=IDS)
def test_unimplemented_slot_fails_the_whole_call(cls, method, names, op):
    e = raised(getattr(cls(), method), *arrays(len(names)))
    assert type(e) is NotImplementedError
    assert str(e) == sup.unimplemented(cls, "_log_opacity" if op == "_opacity" else op)
    inner = [qual(cls, "_opacity"), qual(cls, "_log_opacity")] if op == "_opacity" else [qual(cls, op)]
    assert frame_names(e) == [qual(cls, method)] + inner


def test_grey_arrays_evaluate_element_by_element():
    law, seen = sup.grey_law()
    rho = np.array([1.0e-9, 0.5, 3.0, 1.0e3])
    T = np.array([1.0e4, 2.0e6, 7.0, 1.0])
    logs = law.log_opacity_array(np.log(T), np.log(rho))
    assert logs.tolist() == [sup.grey_ln_kappa(math.log(t), math.log(r)) for r, t in zip(rho, T)]
    # the linear form swaps the order and takes the logs itself
    kappa = [math.exp(x) for x in logs]
    assert law.opacity_array(rho, T).tolist() == kappa
    assert law.opacity_array(T=T, rho=rho).tolist() == kappa
    assert seen[:4] == [(math.log(t), math.log(r)) for r, t in zip(rho, T)]


def test_freq_arrays_evaluate_element_by_element():
    law, seen = sup.freq_law()
    lnu, lT, lrho = np.array([30.0, 33.0]), np.array([9.0, 12.0]), np.array([-20.0, -3.0])
    out = law.log_opacity_array(log_rho=lrho, log_nu=lnu, log_T=lT)
    assert out.tolist() == [sup.freq_ln_kappa(*x) for x in zip(lnu, lT, lrho)]
    assert seen == list(zip(lnu.tolist(), lT.tolist(), lrho.tolist()))


def test_result_is_a_new_array_of_the_first_arrays_length():
    law, seen = sup.grey_law()
    a, b = np.array([1.0, 2.0]), np.array([3.0, 4.0, 5.0, 6.0])
    out = law.log_opacity_array(a, b)
    assert out.shape == (2,) and out.dtype == np.float64 and out.flags.c_contiguous and out.flags.writeable
    assert not np.shares_memory(out, a) and not np.shares_memory(out, b)
    assert seen == [(1.0, 3.0), (2.0, 4.0)]


@pytest.mark.parametrize("cls, method, names, op, short", [
    METHODS[1] + (1,), METHODS[4] + (1,), METHODS[4] + (2,)], ids=["grey", "freq-second", "freq-third"])
def test_a_later_array_shorter_than_the_first_is_refused_before_evaluation(cls, method, names, op, short):
    law, seen = sup.grey_law() if cls is Grey else sup.freq_law()
    args = arrays(len(names), 3)
    args[short] = args[short][:2]
    e = raised(getattr(law, method), *args)
    assert type(e) is ValueError
    assert str(e) == f"{method}(): array '{names[short]}' has 2 elements, fewer than the 3 of '{names[0]}'"
    assert frame_names(e) == [qual(cls, method)]
    assert seen == []


@pytest.mark.parametrize("cls, method, names, op", METHODS, ids=IDS)
def test_none_is_refused_in_every_position(cls, method, names, op):
    for k, name in enumerate(names):
        args = arrays(len(names))
        args[k] = None
        e = raised(getattr(cls(), method), *args)
        assert type(e) is TypeError and str(e) == f"Argument '{name}' must not be None"
        assert frame_names(e) == [qual(cls, method)]


@pytest.mark.parametrize("bad", [[1.0, 2.0], (1.0,), 1.0, "ab"])
def test_objects_without_a_buffer_are_refused(bad):
    e = raised(Grey().log_opacity_array, np.ones(2), bad)
    assert type(e) is TypeError and "bytes-like object is required" in str(e)
    assert frame_names(e) == [qual(Grey, "log_opacity_array")]


@pytest.mark.parametrize("value, text", [
    (np.ones(3, np.float32), "Buffer dtype mismatch, expected 'double' but got 'float'"),
    (np.ones(3, np.int64), "Buffer dtype mismatch, expected 'double' but got 'long'"),
    (np.ones(3, np.int32), "Buffer dtype mismatch, expected 'double' but got 'int'"),
    (np.ones(3, np.uint8), "Buffer dtype mismatch, expected 'double' but got 'unsigned char'"),
    (np.ones(3, np.bool_), "Buffer dtype mismatch, expected 'double' but got 'bool'"),
    (np.ones(3, np.complex128), "Buffer dtype mismatch, expected 'double' but got 'complex double'"),
    (np.ones((3, 2)), "Buffer has wrong number of dimensions (expected 1, got 2)"),
    (np.ones((3, 2), np.float32), "Buffer has wrong number of dimensions (expected 1, got 2)"),
    (np.array(1.0), "Buffer has wrong number of dimensions (expected 1, got 0)"),
])
@pytest.mark.parametrize("position", [0, 1])
def test_wrong_shape_or_type_is_refused_before_evaluation(value, text, position):
    law, seen = sup.grey_law()
    args = [np.ones(3), np.ones(3)]
    args[position] = value
    e = raised(law.opacity_array, *args)
    assert type(e) is ValueError and str(e) == text
    assert frame_names(e) == [qual(Grey, "opacity_array")]
    assert seen == []


@pytest.mark.skipif(sys.byteorder != "little", reason="needs a little-endian machine")
def test_foreign_byte_order_is_refused():
    e = raised(Grey().log_opacity_array, np.ones(2), np.ones(2, ">f8"))
    assert type(e) is ValueError and str(e) == "Big-endian buffer not supported on little-endian compiler"


def read_only(n):
    a = np.ones(n)
    a.flags.writeable = False
    return a


@pytest.mark.parametrize("make", [read_only, lambda n: np.ones(2 * n)[::2], lambda n: np.ones(n + 1)[::-1]],
                         ids=["read-only", "every-second", "reversed"])
def test_exporter_refuses_read_only_and_strided_arrays(make):
    law, seen = sup.grey_law()
    for args in ([make(3), np.ones(3)], [np.ones(3), make(3)]):
        with pytest.raises(ValueError):
            law.log_opacity_array(*args)
    assert seen == []


def test_fortran_ordered_and_sliced_contiguous_arrays_are_accepted():
    law, _ = sup.grey_law()
    a = np.asfortranarray(np.array([1.0, 2.0]))
    b = np.arange(6.0)[2:4]
    assert law.log_opacity_array(a, b).tolist() == [sup.grey_ln_kappa(1.0, 2.0), sup.grey_ln_kappa(2.0, 3.0)]


@pytest.mark.skipif(not sup.FLOAT_SLOT_OK, reason="slot double relies on the register calling convention")
@pytest.mark.parametrize("cls, method, names, op", [m for m in METHODS if m[3] in ("_opacity", "_log_opacity")],
                         ids=[i for i, m in zip(IDS, METHODS) if m[3] in ("_opacity", "_log_opacity")])
@pytest.mark.parametrize("k", [0, 2, 4])
def test_slot_failure_at_element_k_stops_the_loop(cls, method, names, op, k, monkeypatch):
    law = sup.float_law(cls, [0.5 * i for i in range(5)], fail_at=k)
    made = []
    real_empty = np.empty
    monkeypatch.setattr(kc, "np", type("NP", (), dict(
        empty=staticmethod(lambda n, dtype: made.append(real_empty(n, dtype)) or made[-1]),
        float64=np.float64, asarray=staticmethod(np.asarray)))())
    e = raised(getattr(law, method), *arrays(len(names), 5))
    assert type(e) is ArithmeticError and str(e) == f"element {k}"
    assert law.calls == k + 1
    inner = [qual(cls, "_opacity")] if op == "_opacity" else []
    assert frame_names(e) == [qual(cls, method)] + inner + ["__float__"]
    # the partly filled output is released with the failure
    out = weakref.ref(made.pop())
    assert out() is None


@pytest.mark.skipif(not sup.FLOAT_SLOT_OK, reason="slot double relies on the register calling convention")
def test_slot_values_are_stored_in_order():
    law = sup.float_law(Grey, [3.0, -1.0, 0.0, 2.5])
    assert law.log_opacity_array(np.zeros(4), np.zeros(4)).tolist() == [3.0, -1.0, 0.0, 2.5]
    law.setup([0.0, 2.5])
    assert law.opacity_array(np.ones(2), np.ones(2)).tolist() == [1.0, math.exp(2.5)]


# --- the module global np -------------------------------------------------------

@pytest.mark.parametrize("n", [0, 3])
@pytest.mark.parametrize("cls, method, names, op", [METHODS[0], METHODS[7]], ids=[IDS[0], IDS[7]])
def test_np_deleted_from_the_module(cls, method, names, op, n, monkeypatch):
    monkeypatch.delattr(kc, "np")
    e = raised(getattr(cls(), method), *arrays(len(names), n))
    assert type(e) is NameError and str(e) == "name 'np' is not defined"
    assert frame_names(e) == [qual(cls, method)]
    # the inputs are validated before np is looked up
    e = raised(getattr(cls(), method), *arrays(len(names), n)[:-1], np.ones((n, 1)))
    assert type(e) is ValueError


class Recorder:
    """A stand-in for numpy: logs attribute reads and calls into `log`."""

    def __init__(self, log, tag, then=None, **attrs):
        self._log, self._tag, self._then, self._attrs = log, tag, then, attrs

    def __getattr__(self, name):
        self._log.append((self._tag, "get", name))
        if self._then and name in self._then:
            setattr(kc, "np", self._then[name])  # the next lookup of np must see this one
        return self._attrs[name]


def test_np_is_looked_up_for_each_step(monkeypatch):
    log = []
    law, seen = sup.grey_law()
    dtype, sentinel = object(), object()

    def empty(*args, **kwargs):
        log.append(("call", "empty", args, kwargs, len(seen)))
        kc.np = third
        return np.zeros(*args)

    def asarray(*args, **kwargs):
        log.append(("call", "asarray", args, kwargs, len(seen)))
        return sentinel

    third = Recorder(log, "third", asarray=asarray)
    second = Recorder(log, "second", float64=dtype)
    first = Recorder(log, "first", then={"empty": second}, empty=empty)
    monkeypatch.setattr(kc, "np", first)
    assert law.log_opacity_array(np.array([1.0, 2.0]), np.array([3.0, 4.0])) is sentinel
    (call_empty, call_asarray) = [entry for entry in log if entry[0] == "call"]
    assert [entry for entry in log if entry[0] != "call"] == [
        ("first", "get", "empty"), ("second", "get", "float64"), ("third", "get", "asarray")]
    assert log.index(call_empty) == 2 and log[-1] is call_asarray
    assert call_empty[4] == 0 and call_asarray[4] == 2  # the loop runs between the two
    args, kwargs = call_empty[2], call_empty[3]
    assert args == (2,) and type(args[0]) is int and kwargs == {"dtype": dtype}
    (view,) = call_asarray[2]
    assert call_asarray[3] == {} and type(view) is memoryview
    assert view.format == "d" and view.shape == (2,) and view.tolist() == [
        sup.grey_ln_kappa(1.0, 3.0), sup.grey_ln_kappa(2.0, 4.0)]


@pytest.mark.parametrize("broken", ["empty", "float64", "asarray"])
def test_failures_of_numpy_propagate(broken, monkeypatch):
    law, seen = sup.grey_law()
    attrs = dict(empty=np.empty, float64=np.float64, asarray=np.asarray)

    def fail(*args, **kwargs):
        raise KeyError(broken)

    if broken == "float64":
        del attrs["float64"]
    else:
        attrs[broken] = fail
    monkeypatch.setattr(kc, "np", Recorder([], "np", **attrs))
    e = raised(law.log_opacity_array, np.ones(2), np.ones(2))
    assert type(e) is KeyError and e.args == (broken,)
    assert frame_names(e)[0] == qual(Grey, "log_opacity_array")
    assert len(seen) == (2 if broken == "asarray" else 0)


def test_an_output_shorter_than_the_inputs_is_refused(monkeypatch):
    law, seen = sup.grey_law()
    backing = np.zeros(6)  # the method is handed the first element only
    monkeypatch.setattr(kc, "np", Recorder([], "np", empty=lambda n, dtype: backing[:1],
                                           float64=np.float64, asarray=np.asarray))
    try:
        with pytest.raises(ValueError):
            law.log_opacity_array(np.ones(4), np.ones(4))
    finally:
        assert backing[1:].tolist() == [0.0] * 5, "written past the end of the output"


def test_an_unusable_output_from_empty_is_refused(monkeypatch):
    law, seen = sup.grey_law()
    monkeypatch.setattr(kc, "np", Recorder([], "np", empty=lambda n, dtype: np.zeros(n, np.float32),
                                           float64=np.float64, asarray=np.asarray))
    e = raised(law.log_opacity_array, np.ones(2), np.ones(2))
    assert str(e) == "Buffer dtype mismatch, expected 'double' but got 'float'"
    assert seen == []


# --- buffers are held only during the call -----------------------------------------

def test_input_buffers_are_released_on_success_and_failure(monkeypatch):
    law, _ = sup.grey_law()
    a, b = np.ones(3), np.ones(3)
    before = sys.getrefcount(a), sys.getrefcount(b)
    law.opacity_array(a, b)
    for bad_second in (np.ones(2), np.ones(3, np.float32), None):
        with pytest.raises((ValueError, TypeError)):
            law.opacity_array(a, bad_second)
    with pytest.raises(NotImplementedError):
        Grey().opacity_array(a, b)
    monkeypatch.delattr(kc, "np")
    with pytest.raises(NameError):
        law.opacity_array(a, b)
    assert (sys.getrefcount(a), sys.getrefcount(b)) == before


def test_element_count_beyond_32_bits_is_refused_unread():
    n = 2 ** 31
    big = sup.exporter([1.0], shape=n)
    e = raised(Grey().log_opacity_array, big, big)
    assert type(e) is ValueError
    assert str(e) == f"log_opacity_array(): array 'log_T' has {n} elements; at most 2147483647 are supported"
