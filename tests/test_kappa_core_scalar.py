"""Scalar interface of the opacity-law base types: unimplemented slots, the
derived _opacity, argument binding and conversion, construction and layout."""

import ctypes
import gc
import math
import weakref

import pytest

import kappa_core_support as sup
import velmora.radiation.opacity.kappa_core as kc
from capi_helpers import frame_names

Q, raised = sup.Q, sup.raised
Grey, Freq = kc.C_GreyKappaCore, kc.C_KappaCore

# (type, wrapper, slot operation, arguments)
UNIMPLEMENTED = [
    (Grey, "log_opacity", "_log_opacity", (1.0, 2.0)),
    (Grey, "dlogkappa_dlogrho", "_dlogkappa_dlogrho", (1.0, 2.0)),
    (Grey, "dlogkappa_dlogT", "_dlogkappa_dlogT", (1.0, 2.0)),
    (Freq, "log_opacity", "_log_opacity", (0.0, 0.0, 0.0)),
    (Freq, "dlogkappa_dlogrho", "_dlogkappa_dlogrho", (0.0, 0.0, 0.0)),
    (Freq, "dlogkappa_dlogT", "_dlogkappa_dlogT", (0.0, 0.0, 0.0)),
    (Freq, "dlogkappa_dlognu", "_dlogkappa_dlognu", (0.0, 0.0, 0.0)),
]


# --- unimplemented slots ------------------------------------------------------

@pytest.mark.parametrize("cls, method, op, args", UNIMPLEMENTED)
def test_unimplemented_slot_names_type_and_operation(cls, method, op, args):
    e = raised(getattr(cls(), method), *args)
    assert type(e) is NotImplementedError
    assert e.args == (sup.unimplemented(cls, op),)
    assert frame_names(e) == [f"{Q}{cls.__name__}.{method}", f"{Q}{cls.__name__}.{op}"]


def test_messages_in_full():
    assert str(raised(Grey().log_opacity, 1.0, 2.0)) == "C_GreyKappaCore must implement _log_opacity(log_T, log_rho)."
    assert str(raised(Freq().dlogkappa_dlognu, 0.0, 0.0, 0.0)) == \
        "C_KappaCore must implement _dlogkappa_dlognu(log_nu, log_T, log_rho)."


@pytest.mark.parametrize("cls, args", [(Grey, (1.0, 1.0)), (Freq, (1.0e15, 1.0e-9, 1.0e4))])
def test_opacity_of_base_reports_slot_1(cls, args):
    e = raised(cls().opacity, *args)
    assert type(e) is NotImplementedError
    assert str(e) == sup.unimplemented(cls, "_log_opacity")
    name = cls.__name__
    assert frame_names(e) == [f"{Q}{name}.opacity", f"{Q}{name}._opacity", f"{Q}{name}._log_opacity"]


@pytest.mark.parametrize("cls, kwargs", [
    (Grey, dict(log_T=0.0, log_rho=0.0)),
    (Grey, dict(log_rho=0.0, log_T=0.0)),
    (Freq, dict(log_rho=0.0, log_nu=0.0, log_T=0.0)),
])
def test_keywords_work_like_positions(cls, kwargs):
    e = raised(cls().dlogkappa_dlogT, **kwargs)
    assert str(e) == sup.unimplemented(cls, "_dlogkappa_dlogT")


class PySub(Grey):
    def _log_opacity(self, log_T, log_rho):  # not a slot: ignored by the wrapper
        return 1.0


class PyFreqSub(Freq):
    def _log_opacity(self, log_nu, log_T, log_rho):
        return 1.0


@pytest.mark.parametrize("obj, args", [(PySub(), (1.0, 2.0)), (PyFreqSub(), (0.0, 0.0, 0.0))])
def test_interpreter_level_method_does_not_override_slot(obj, args):
    base = type(obj).__base__
    for method in ("log_opacity", "opacity"):
        e = raised(getattr(obj, method), *args)
        assert str(e) == sup.unimplemented(base, "_log_opacity", type(obj).__name__)
        # the entries name the base type that defines the code
        assert frame_names(e)[-1] == f"{Q}{base.__name__}._log_opacity"


class Shouty(str):
    def __format__(self, format_spec):
        return self.upper()


def _meta(name_getter):
    return type("Meta", (type,), {"__name__": property(name_getter)})


class NameIs42(Grey, metaclass=_meta(lambda cls: 42)):
    pass


class NameFormats(Grey, metaclass=_meta(lambda cls: Shouty("odd"))):
    pass


def _name_fails(cls):
    raise LookupError("no name")


class NameFails(Grey, metaclass=_meta(_name_fails)):
    pass


@pytest.mark.parametrize("cls, text", [(NameIs42, "42"), (NameFormats, "ODD")])
def test_type_name_is_formatted_like_an_fstring_field(cls, text):
    assert str(raised(cls().log_opacity, 0.0, 0.0)) == sup.unimplemented(Grey, "_log_opacity", text)


def test_failure_to_read_the_type_name_is_what_propagates():
    e = raised(NameFails().dlogkappa_dlogrho, 0.0, 0.0)
    assert type(e) is LookupError
    assert frame_names(e) == [f"{Q}C_GreyKappaCore.dlogkappa_dlogrho",
                              f"{Q}C_GreyKappaCore._dlogkappa_dlogrho", "_name_fails"]


# --- a law that implements slot 1 only -------------------------------------------

grey_law, freq_law = sup.grey_law, sup.freq_law


@pytest.mark.parametrize("rho, T", [(1.0e-9, 1.0e4), (3.5, 2.0e7), (1.0, 1.0)])
def test_grey_opacity_is_exp_of_slot_1_with_temperature_first(rho, T):
    law, seen = grey_law()
    expected = math.exp(sup.grey_ln_kappa(math.log(T), math.log(rho)))
    assert law.opacity(rho, T) == expected
    assert law.opacity(T=T, rho=rho) == expected
    assert seen == [(math.log(T), math.log(rho))] * 2


def test_freq_opacity_is_exp_of_slot_1_with_frequency_first():
    law, seen = freq_law()
    nu, rho, T = 1.0e15, 1.0e-9, 1.0e4
    assert law.opacity(nu, rho, T) == math.exp(sup.freq_ln_kappa(math.log(nu), math.log(T), math.log(rho)))
    assert seen == [(math.log(nu), math.log(T), math.log(rho))]


@pytest.mark.parametrize("rho, expected", [(0.0, -math.inf), (-1.0, math.nan)])
def test_opacity_passes_logs_of_nonpositive_inputs_on(rho, expected):
    law, seen = grey_law()
    law.opacity(rho, 1.0)
    (log_T, log_rho), = seen
    assert log_T == 0.0
    assert log_rho == expected or (math.isnan(expected) and math.isnan(log_rho))


def test_compiled_style_subclass_is_named_for_its_missing_slots():
    law, _ = grey_law()
    assert law.log_opacity(2.0, 4.0) == sup.grey_ln_kappa(2.0, 4.0)
    e = raised(law.dlogkappa_dlogrho, 0.0, 0.0)
    assert str(e) == sup.unimplemented(Grey, "_dlogkappa_dlogrho", "Law")


def test_results_without_meaning_are_not_errors():
    # -1.0 as an argument and 0.0 or -1.0 as a result are ordinary values
    law, seen = grey_law()
    assert law.log_opacity(0.0, 4.5) == -1.0
    assert law.log_opacity(0.0, 0.5) == 0.0
    law.log_opacity(-1.0, -1.0)
    assert seen[-1] == (-1.0, -1.0)


# --- conversions -------------------------------------------------------------------

class HasFloat:
    def __init__(self, v, log=None):
        self.v, self.log = v, log

    def __float__(self):
        if self.log is not None:
            self.log.append(self.v)
        if isinstance(self.v, BaseException):
            raise self.v
        return self.v


class HasIndex:
    def __index__(self):
        return 7


class FloatSub(float):
    def __float__(self):
        return 99.0


@pytest.mark.parametrize("value, expected", [
    (2, 2.0), (True, 1.0), (-1, -1.0), (2 ** 60 + 1, float(2 ** 60 + 1)),
    (HasFloat(2.5), 2.5), (HasIndex(), 7.0), (FloatSub(0.25), 0.25),
])
def test_arguments_convert_to_double(value, expected):
    law, seen = grey_law()
    law.log_opacity(value, 1.0)
    law.log_opacity(1.0, log_rho=value)
    assert seen == [(expected, 1.0), (1.0, expected)]


@pytest.mark.parametrize("value, exc, text", [
    ("1.0", TypeError, "must be real number, not str"),
    (None, TypeError, "must be real number, not NoneType"),
    (10 ** 400, OverflowError, "int too large to convert to float"),
    (HasFloat(3), TypeError, "HasFloat.__float__ returned non-float (type int)"),
])
def test_unconvertible_argument_propagates_the_interpreters_error(value, exc, text):
    e = raised(Grey().log_opacity, 1.0, value)
    assert type(e) is exc and str(e) == text
    assert frame_names(e) == [f"{Q}C_GreyKappaCore.log_opacity"]


def test_conversion_runs_first_to_last_and_stops_at_a_failure():
    log = []
    e = raised(Grey().dlogkappa_dlogT, HasFloat(ZeroDivisionError("x"), log), HasFloat(1.0, log))
    assert type(e) is ZeroDivisionError and len(log) == 1
    assert frame_names(e) == [f"{Q}C_GreyKappaCore.dlogkappa_dlogT", "__float__"]
    log.clear()
    raised(Freq().log_opacity, log_rho=HasFloat(3.0, log), log_T=HasFloat(2.0, log), log_nu=HasFloat(1.0, log))
    assert log == [1.0, 2.0, 3.0]


# --- argument binding --------------------------------------------------------------

GREY_METHODS = ["opacity", "log_opacity", "dlogkappa_dlogrho", "dlogkappa_dlogT", "opacity_array",
                "log_opacity_array", "dlogkappa_dlogrho_array", "dlogkappa_dlogT_array"]
FREQ_METHODS = ["opacity", "log_opacity", "dlogkappa_dlogrho", "dlogkappa_dlogT", "dlogkappa_dlognu",
                "log_opacity_array", "dlogkappa_dlogrho_array", "dlogkappa_dlogT_array",
                "dlogkappa_dlognu_array"]
ALL_METHODS = [(Grey, m, 2) for m in GREY_METHODS] + [(Freq, m, 3) for m in FREQ_METHODS]


@pytest.mark.parametrize("cls, method, n", ALL_METHODS)
@pytest.mark.parametrize("given", [-1, +1, "none"])
def test_wrong_argument_count(cls, method, n, given):
    count = 0 if given == "none" else n + given
    e = raised(getattr(cls(), method), *[0.0] * count)
    assert type(e) is TypeError
    assert str(e) == f"{method}() takes exactly {n} positional arguments ({count} given)"
    assert frame_names(e) == [f"{Q}{cls.__name__}.{method}"]


@pytest.mark.parametrize("cls, method, args, kwargs, text", [
    (Grey, "log_opacity", (1.0,), {}, "log_opacity() takes exactly 2 positional arguments (1 given)"),
    (Grey, "log_opacity", (1.0, 2.0, 3.0), {}, "log_opacity() takes exactly 2 positional arguments (3 given)"),
    (Freq, "log_opacity", (1.0, 2.0), {}, "log_opacity() takes exactly 3 positional arguments (2 given)"),
    (Grey, "log_opacity", (), dict(log_rho=1.0), "log_opacity() takes exactly 2 positional arguments (0 given)"),
    (Grey, "log_opacity", (), dict(log_T=1.0), "log_opacity() takes exactly 2 positional arguments (1 given)"),
    (Grey, "log_opacity", (1.0,), dict(log_rho=2.0, log_T=3.0),
     "log_opacity() got multiple values for keyword argument 'log_T'"),
    (Freq, "dlogkappa_dlognu", (1.0, 2.0), dict(log_rho=2.0, log_T=3.0),
     "dlogkappa_dlognu() got multiple values for keyword argument 'log_T'"),
    (Grey, "log_opacity", (1.0, 2.0), dict(foo=3.0), "log_opacity() got an unexpected keyword argument 'foo'"),
    (Grey, "opacity", (), dict(rho=1.0, T=1.0, log_T=1.0), "opacity() got an unexpected keyword argument 'log_T'"),
    (Freq, "opacity", (1.0,), dict(rho=1.0, T=1.0, Nu=1.0), "opacity() got an unexpected keyword argument 'Nu'"),
    (Grey, "opacity_array", (), dict(rho=None, t=None), "opacity_array() takes exactly 2 positional arguments (1 given)"),
])
def test_binding_messages(cls, method, args, kwargs, text):
    e = raised(getattr(cls(), method), *args, **kwargs)
    assert type(e) is TypeError and str(e) == text
    assert frame_names(e) == [f"{Q}{cls.__name__}.{method}"]


def test_non_text_keyword_through_vectorcall():
    # the interpreter itself refuses such keywords before any call; a C caller does not
    call = ctypes.pythonapi.PyObject_Vectorcall
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.py_object]
    args = (ctypes.py_object * 3)(1.0, 2.0, 3.0)
    e = raised(call, Grey().log_opacity, args, 2, (1,))
    assert type(e) is TypeError and str(e) == "log_opacity() keywords must be strings"
    assert frame_names(e) == [f"{Q}C_GreyKappaCore.log_opacity"]


@pytest.mark.parametrize("kwargs", [dict(log_T=2.0, log_rho=4.0), dict(log_rho=4.0, log_T=2.0)])
def test_keyword_binding_gives_the_positional_result(kwargs):
    law, seen = grey_law()
    assert law.log_opacity(2.0, log_rho=4.0) == law.log_opacity(**kwargs) == law.log_opacity(2.0, 4.0)
    assert seen == [(2.0, 4.0)] * 3


# --- construction, names and layout --------------------------------------------------

@pytest.mark.parametrize("cls", [Grey, Freq, PySub])
def test_constructor_accepts_and_ignores_arguments(cls):
    obj = cls(1, "two", three=3)
    assert type(obj) is cls


@pytest.mark.parametrize("cls", [Grey, Freq])
def test_type_names_and_base(cls):
    name = cls.__name__
    assert name in ("C_GreyKappaCore", "C_KappaCore")
    assert cls.__qualname__ == name
    assert cls.__module__ == "velmora.radiation.opacity.kappa_core"
    assert repr(cls) == f"<class '{Q}{name}'>"
    assert cls.__bases__ == (object,)
    assert getattr(kc, name) is cls


Py_TPFLAGS_HEAPTYPE, Py_TPFLAGS_BASETYPE, Py_TPFLAGS_HAVE_GC = 1 << 9, 1 << 10, 1 << 14


@pytest.mark.parametrize("cls", [Grey, Freq])
def test_instance_layout_is_header_plus_one_pointer(cls):
    assert cls.__basicsize__ == object.__basicsize__ + ctypes.sizeof(ctypes.c_void_p)
    assert cls.__itemsize__ == 0
    assert cls.__dictoffset__ == 0 and cls.__weakrefoffset__ == 0
    assert cls.__flags__ & Py_TPFLAGS_BASETYPE
    assert not cls.__flags__ & Py_TPFLAGS_HAVE_GC
    assert not cls.__flags__ & Py_TPFLAGS_HEAPTYPE
    obj = cls()
    assert not hasattr(obj, "__dict__")
    assert not gc.is_tracked(obj)
    with pytest.raises(AttributeError):
        obj.x = 1
    with pytest.raises(TypeError):
        weakref.ref(obj)


def test_the_two_types_are_unrelated():
    assert not issubclass(Freq, Grey) and not issubclass(Grey, Freq)
    assert not isinstance(Freq(), Grey) and not isinstance(Grey(), Freq)


def test_method_sets():
    public = lambda cls: {n for n in dir(cls) if not n.startswith("_")}
    assert public(Grey) == set(GREY_METHODS)
    assert public(Freq) == set(FREQ_METHODS)
    assert not hasattr(Freq(), "opacity_array")
    assert {"__reduce__", "__setstate__"} <= set(Grey.__dict__) & set(Freq.__dict__)


@pytest.mark.parametrize("cls, method", [(c, m) for c, m, _ in ALL_METHODS if not m.endswith("_array")])
def test_scalar_docstrings_are_one_line_with_math_and_the_operation(cls, method):
    doc = getattr(cls, method).__doc__
    assert "\n" not in doc and "$" in doc and f"_{method}" in doc


@pytest.mark.parametrize("cls, method", [(c, m) for c, m, _ in ALL_METHODS if m.endswith("_array")])
def test_array_docstrings_document_float64_arrays(cls, method):
    doc = getattr(cls, method).__doc__
    assert "$" in doc and "ndarray of float64" in doc
    assert "ndarray, dtype=float64, C-contiguous" in doc
    if method == "opacity_array":
        for unit in ("g cm^-3", "in K", "cm^2 g^-1", "same shape as inputs"):
            assert unit in doc
    if cls is Grey and method == "log_opacity_array":
        assert "log of temperature" in doc and "log of density" in doc


def test_module_docstring_names_both_types_and_tiers():
    for word in ("C_GreyKappaCore", "C_KappaCore", "Tier 1", "Tier 2"):
        assert word in kc.__doc__
