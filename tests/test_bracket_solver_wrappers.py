"""Interpreter surface of the root finder: module contents, argument binding
and conversions, and what happens to exceptions raised by the callable."""

import ctypes
import sys

import pytest

import capi_helpers
import velmora.math_utils._bracket_solver as bs

PREFIX = "velmora.math_utils._bracket_solver."
LINEAR = lambda x: x - 0.3  # noqa: E731
EXPAND = dict(f=LINEAR, x_guess=0.0, step=0.5, grow_factor=2.0, max_expand=5, x_min=-9.0, x_max=9.0, tolerance=1e-12)
ARGS = {
    "py_expand_bracket": EXPAND,
    "py_brent_root": dict(f=LINEAR, x_lo=0.0, x_hi=1.0, f_lo=-0.3, f_hi=0.7, tol_x=1e-12, tol_f=1e-14, maxiter=50),
    "py_find_root": dict(EXPAND, tol_x=1e-12, tol_f=1e-14, maxiter=50),
}


def test_module_surface():
    assert [k for k in vars(bs) if not k.startswith("__") or k == "__c_api__"] == ["__c_api__", *ARGS]
    for name in ARGS:
        fn = getattr(bs, name)
        assert type(fn) is type(len) and (fn.__module__, fn.__qualname__) == (bs.__name__, name)
        assert fn.__doc__.splitlines()[0] == f"Python wrapper around :func:`{name[3:]}`."
    assert all(f"{i}  {s}" in bs.__doc__ for i, s in enumerate("SUCCESS FUNC_ERROR EXPAND_FAIL NO_BRACKET "
                                                                 "MAX_ITER".split()))


def raises(exc_type, fn, *args, **kwargs):
    """Message and solver traceback entries of the exception raised."""
    with pytest.raises(exc_type) as info:
        fn(*args, **kwargs)
    return str(info.value), [n for n in capi_helpers.frame_names(info.value) if n.startswith(PREFIX)]


@pytest.mark.parametrize("name", ARGS)
def test_binding(name):
    fn, kwargs, names = getattr(bs, name), ARGS[name], list(ARGS[name])
    positional = list(kwargs.values())
    assert fn(*positional)[0] == 0 and fn(**kwargs) == fn(*positional) == fn(*positional[:3], **{
        k: kwargs[k] for k in names[3:]})
    arity = f"{name}() takes exactly {len(names)} positional arguments (%d given)"
    assert raises(TypeError, fn) == (arity % 0, [PREFIX + name])
    assert raises(TypeError, fn, *positional, 1)[0] == arity % (len(names) + 1)
    # With keywords, the count is the position of the first parameter left without a value.
    assert raises(TypeError, fn, **{k: v for k, v in kwargs.items() if k != names[3]})[0] == arity % 3
    assert raises(TypeError, fn, **kwargs, bogus=1)[0] == f"{name}() got an unexpected keyword argument 'bogus'"
    assert raises(TypeError, fn, *positional[:2], **{k: kwargs[k] for k in names[1:]})[0] == (
        f"{name}() got multiple values for keyword argument '{names[1]}'")


class Number:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return float(self.value)

    def __int__(self):
        return self.value


class MyInt(int):
    pass


def test_conversions():
    def call(**kw):
        return bs.py_find_root(**dict(ARGS["py_find_root"], **kw))

    assert call(x_guess=Number(0.0)) == call(x_guess=0, x_min=-9) == call() and call(max_expand=Number(5)) == call()
    assert raises(TypeError, call, step="a", maxiter="b") == ("must be real number, not str", [PREFIX + "py_find_root"])
    assert raises(TypeError, call, maxiter="3")[0] == "an integer is required"
    assert raises(TypeError, call, max_expand=Number(2.0))[0] == "__int__ returned non-int (type float)"
    for big in [2**40, -(2**31) - 1]:
        assert raises(OverflowError, call, maxiter=big)[0] == "value too large to convert to int"
    with pytest.warns(DeprecationWarning, match=r"__int__ returned non-int \(type MyInt\)"):
        assert call(maxiter=Number(MyInt(50))) == call()
    calls = []
    status, _ = bs.py_brent_root(lambda x: calls.append(x) or 1.0, 0.0, 1.0, -1.0, 1.0, 0.0, 0.0, 25.9)
    assert status == 4 and len(calls) == 25


@pytest.mark.parametrize("name", ARGS)
@pytest.mark.parametrize("f, status", [(lambda x: int(x > 0.3) * 2 - 1, 0), (lambda x: Number(x - 0.3), 0),
                                       (lambda x: "1.0", 1), (lambda x: 1 / 0, 1), ("not callable", 1)])
def test_callable_results(name, f, status):
    result = getattr(bs, name)(**dict(ARGS[name], f=f))
    assert result[0] == status and (status == 0 or result[1:] == (0.0,) * (len(result) - 1))
    assert sys.exception() is None


@pytest.mark.parametrize("name, inner, fail_at", [
    ("py_expand_bracket", ["expand_bracket"], 1),
    ("py_brent_root", ["brent_root"], 1),
    ("py_find_root", ["find_root"], 1),
    ("py_find_root", ["find_root", "expand_bracket"], 2),
    ("py_find_root", ["find_root", "brent_root"], 4),
])
@pytest.mark.parametrize("exc_type", [KeyboardInterrupt, SystemExit, GeneratorExit])
def test_base_exception_propagates(name, inner, fail_at, exc_type):
    calls = []

    def interrupted(x):
        calls.append(x)
        if len(calls) == fail_at:
            raise exc_type("stop")
        return x - 0.3

    with pytest.raises(exc_type) as info:
        getattr(bs, name)(**dict(ARGS[name], f=interrupted))
    assert len(calls) == fail_at
    assert capi_helpers.frame_names(info.value) == (
        [PREFIX + q for q in [name, *inner, "_py_trampoline"]] + ["interrupted"])


set_handled = ctypes.pythonapi.PyErr_SetHandledException
set_handled.argtypes, set_handled.restype = [ctypes.py_object], None


@pytest.mark.parametrize("outcome", [LINEAR, lambda x: 1 / 0, "interrupt"])
def test_handled_exception_reinstated(outcome):
    def f(x):  # as C code called from the callable might, leave another handled exception behind
        set_handled(RuntimeError("left behind"))
        if outcome == "interrupt":
            raise KeyboardInterrupt
        return outcome(x)

    def solve():
        try:
            bs.py_find_root(**dict(ARGS["py_find_root"], f=f))
        except KeyboardInterrupt:
            pass

    solve()
    assert sys.exception() is None
    try:
        raise ValueError("outer")
    except ValueError as outer:
        solve()
        assert sys.exception() is outer
