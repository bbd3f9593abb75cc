"""The C-level export of the root finder: capsule texts, the calling contract
(user data, pending exceptions) and solves on two threads at once with the
interpreter lock released. Outputs left untouched on failure are checked
against the reference in test_bracket_solver_algorithms."""

import ctypes
import threading
from ctypes import byref, c_double, c_void_p

import pytest

import bracket_solver_helpers as ref
import capi_helpers
import velmora.math_utils._bracket_solver as bs
from bracket_solver_helpers import N_OUT, SCALAR, SENTINEL, c_function

PREFIX = "velmora.math_utils._bracket_solver."
T = "velmora_math_utils__bracket_solver_scalar_func"
SIGNATURES = {
    "brent_root": f"int ({T}, void *, double, double, double, double, double, double, int, double *)",
    "expand_bracket": f"int ({T}, void *, double, double, double, int, double, double, double, double *, "
                      "double *, double *, double *)",
    "find_root": f"int ({T}, void *, double, double, double, int, double, double, double, double, double, int, "
                 "double *)",
}
ARGS = {  # everything after f and user_data, outputs excluded
    "expand_bracket": (0.0, 0.5, 2.0, 5, -9.0, 9.0, 1e-12),
    "brent_root": (0.0, 1.0, -0.3, 0.7, 1e-12, 1e-14, 50),
    "find_root": (0.0, 0.5, 2.0, 5, -9.0, 9.0, 1e-12, 1e-12, 1e-14, 50),
}


def test_export_dictionary():
    assert list(bs.__c_api__) == ["brent_root", "expand_bracket", "find_root"]
    for name, capsule in bs.__c_api__.items():
        assert type(capsule).__name__ == "PyCapsule"
        assert capi_helpers.capsule_name(capsule) == SIGNATURES[name]


@pytest.mark.parametrize("name", list(ARGS))
def test_user_data_passed_unchanged(name):
    context = c_double(0.3)  # the callback's own record: f(x) = x^3 - *user_data
    address = ctypes.addressof(context)
    seen = []

    def f(x, user_data, f_out):
        seen.append(user_data)
        f_out[0] = x**3 - ctypes.c_double.from_address(user_data).value
        return 0

    outs = [c_double(SENTINEL) for _ in range(N_OUT[name])]
    status = c_function(name, locked=False)(SCALAR(f), address, *ARGS[name], *map(byref, outs))
    outs = [o.value for o in outs]
    assert status == 0 and len(seen) > 1 and set(seen) == {address} and context.value == 0.3
    assert outs[0] == pytest.approx(0.3 ** (1 / 3) if name != "expand_bracket" else -1.0)


# Returns 0 with a TypeError pending: a callback that fails by the exception
# alone. Called with the lock held, as the solver is through PYFUNCTYPE.
bad_argument = SCALAR(ctypes.cast(ctypes.pythonapi.PyErr_BadArgument, c_void_p).value)


@pytest.mark.parametrize("name, entries", [("expand_bracket", ["expand_bracket"]), ("brent_root", ["brent_root"]),
                                           ("find_root", ["find_root"])])
def test_pending_exception_stops_the_solve(name, entries):
    outs = [c_double(SENTINEL) for _ in range(N_OUT[name])]
    with pytest.raises(TypeError, match="bad argument type") as info:
        c_function(name)(bad_argument, None, *ARGS[name], *map(byref, outs))
    assert capi_helpers.frame_names(info.value) == [PREFIX + e for e in entries]
    assert [o.value for o in outs] == [SENTINEL] * N_OUT[name]


def test_two_threads_solve_at_once():
    # Each callback first waits until the other thread is inside its solve too.
    barrier = threading.Barrier(2, timeout=30)
    find_root = c_function("find_root", locked=False)
    results = {}

    def solve(shift):
        points = []

        def f(x, user_data, f_out):
            if not points:
                barrier.wait()
            points.append(x)
            f_out[0] = x**3 - shift
            return 0

        root = c_double(SENTINEL)
        args = (1.0, 0.05, 2.0, 60, -10.0, 10.0, 1e-30, 1e-13, 1e-14, 100)
        status = find_root(SCALAR(f), None, *args, byref(root))
        results[shift] = status, root.value, points, args

    threads = [threading.Thread(target=solve, args=(s,)) for s in (2.0, 30.0)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for shift, (status, root, points, args) in results.items():
        rec = ref.Recorder(lambda x: x**3 - shift)
        assert (status, (root,)) == ref.find_root(rec, *args)
        assert points == rec.xs
