"""The advective closure gasrad_adv_closure_func against the pure-Python
reference: energy balance, first guess, range of T_c, failures."""

import ctypes
import math
from ctypes import byref

import pytest

import gasrad_adv_reference as ref
from disk_records import DiskDerived, DiskState
from velmora.dynamics.accretion.one_zone.models._gasrad_adv import AdvectiveClosure
from velmora.radiation.opacity.grey_opacity.rosseland._opal_grid import C_OPALGridOpacity
from velmora.radiation.opacity.kappa_core import C_GreyKappaCore

PREFIX = "velmora.dynamics.accretion.one_zone.models._gasrad_adv."
ALPHA, MU = 0.1, 0.6
UNTOUCHED = -7.25  # preset in every field of an output record

# Rings around a 2e34 g hole, from the hot, advective inner disk to the cold
# outer one.
DISKS = [
    (1e8, 1e5), (1e9, 3e4), (1e10, 1e4), (1e11, 1e3), (1e12, 100.0), (1e9, 10.0), (3e7, 1e6),
]




def call(closure, derived, params, previous_ln_T_c=0.0, state=(0.0, 1.0, 1.0), factory=ctypes.PYFUNCTYPE):
    out = ref.result_record(fill=UNTOUCHED)
    status = ref.closure_func(factory)(byref(DiskState(*state)), byref(DiskDerived(*derived)), byref(params),
                                       byref(ref.result_record(previous_ln_T_c)), byref(out))
    return status, out


def ring(R_D, Sigma):
    return (R_D, Sigma, ref.keplerian(R_D))


@pytest.fixture(scope="module", params=["electron scattering", "Kramers table"])
def law(request):
    if request.param == "electron scattering":
        return None  # the closure's own default
    return C_OPALGridOpacity(*ref.TABLE, 1)


@pytest.mark.parametrize("xi", [0.5, 0.0, 2.0])
@pytest.mark.parametrize("R_D,Sigma", DISKS)
@pytest.mark.parametrize("guess", [0.0, math.log(3e5), math.log(2e3)])
def test_matches_reference(law, xi, R_D, Sigma, guess):
    c = ref.bound_closure(xi=xi, mu=MU, law=law)
    derived = ring(R_D, Sigma)
    status, out = call(c, derived, ref.parameters_of(c), guess)
    expected_status, expected = ref.solve(derived, ALPHA, MU, xi, c.opacity, guess)
    assert status == expected_status
    if status == ref.SUCCESS:
        assert ref.as_dict(out) == expected
    else:
        assert all(v == UNTOUCHED for v in ref.as_dict(out).values())
    assert (out.reserved0, out.reserved1) == (UNTOUCHED, UNTOUCHED)


def test_solution_satisfies_the_energy_balance():
    c = ref.bound_closure()
    R_D, Sigma, Omega = derived = ring(1e9, 3e4)
    _, out = call(c, derived, ref.parameters_of(c))
    T, c_s, rho = math.exp(out.ln_T_c), math.exp(out.ln_c_s), math.exp(out.ln_rho)
    kappa = 0.2 * 1.7
    A = (32 / 27) * 5.670374419e-5 / (ALPHA * Omega * Sigma ** 2)
    B = (4 / 3) * 0.5 / (R_D ** 2 * Omega ** 2)
    assert 1 - A * T ** 4 / (kappa * c_s ** 2) - B * c_s ** 2 == pytest.approx(0.0, abs=1e-9)
    assert rho == pytest.approx(Sigma * Omega / (math.sqrt(2 * math.pi) * c_s), rel=1e-12)
    assert out.t_visc == pytest.approx(R_D ** 2 / (ALPHA * c_s ** 2 / Omega), rel=1e-12)


def test_xi_zero_is_the_purely_radiative_balance():
    c = ref.bound_closure(xi=0.0)
    derived = ring(1e12, 100.0)
    _, out = call(c, derived, ref.parameters_of(c))
    T, c_s = math.exp(out.ln_T_c), math.exp(out.ln_c_s)
    A = (32 / 27) * 5.670374419e-5 / (ALPHA * derived[2] * derived[1] ** 2)
    assert A * T ** 4 / (0.34 * c_s ** 2) == pytest.approx(1.0, abs=1e-9)


def test_previous_zero_of_either_sign_asks_for_the_computed_guess():
    c = ref.bound_closure()
    params = ref.parameters_of(c)
    derived = ring(1e11, 1e3)
    assert ref.as_dict(call(c, derived, params, 0.0)[1]) == ref.as_dict(call(c, derived, params, -0.0)[1])


def test_state_is_never_read():
    c = ref.bound_closure()
    params = ref.parameters_of(c)
    derived = ring(1e10, 1e4)
    a = call(c, derived, params, state=(0.0, 1.0, 1.0))[1]
    b = call(c, derived, params, state=(math.nan, -1e300, math.inf))[1]
    assert ref.as_dict(a) == ref.as_dict(b)


def test_runs_without_the_interpreter_lock():
    c = ref.bound_closure()
    derived = ring(1e9, 3e4)
    status, out = call(c, derived, ref.parameters_of(c), factory=ctypes.CFUNCTYPE)
    assert status == 0
    assert ref.as_dict(out) == ref.solve(derived, ALPHA, MU, 0.5, c.opacity, 0.0)[1]


# --- the range 10 K to 1e14 K ------------------------------------------------------

# Below: T_c = 6.3 K. Above: T_c = 2.65e14 K (xi = 0). The guess decides
# whether the bracket expansion fails by itself or brackets the solution from
# outside the range, which the closure refuses in the same way.
LOWER, UPPER = ref.LOWER, ref.UPPER


@pytest.mark.parametrize("derived,xi,guess,solver_status", [
    (LOWER, 0.5, 0.0, ref.SUCCESS),              # computed guess 5 K brackets 6.3 K
    (LOWER, 0.5, math.log(2.0), ref.SUCCESS),
    (LOWER, 0.5, math.log(100.0), ref.EXPAND_FAIL),
    (UPPER, 0.0, 0.0, ref.EXPAND_FAIL),          # computed guess 2e14 K, below the solution
    (UPPER, 0.0, math.log(1e15), ref.SUCCESS),
    (UPPER, 0.0, math.log(1e12), ref.EXPAND_FAIL),
], ids=["low-computed", "low-below", "low-above", "high-computed", "high-above", "high-below"])
def test_solution_outside_range_is_expand_fail_with_output_untouched(derived, xi, guess, solver_status):
    c = ref.bound_closure(xi=xi)
    wide = ref.find_ln_T_c(derived, ALPHA, MU, xi, c.opacity, 0.0, math.log(1e-3), math.log(1e30))[1]
    assert not math.log(10.0) <= wide <= math.log(1e14)
    # What the root finder itself reports with the closure's range.
    assert ref.find_ln_T_c(derived, ALPHA, MU, xi, c.opacity, guess)[0] == solver_status
    status, out = call(c, derived, ref.parameters_of(c), guess)
    assert status == ref.EXPAND_FAIL
    assert all(v == UNTOUCHED for v in ref.as_dict(out).values())


def test_nan_guess_is_passed_on_and_fails_to_bracket():
    c = ref.bound_closure()
    status, out = call(c, ring(1e10, 1e4), ref.parameters_of(c), math.nan)
    assert status == ref.EXPAND_FAIL
    assert out.ln_T_c == UNTOUCHED


# --- failures ------------------------------------------------------------------------

def test_opacity_that_raises_gives_entries_of_residual_and_closure():
    c = ref.bound_closure(law=C_GreyKappaCore())
    with pytest.raises(NotImplementedError, match="must implement _log_opacity") as info:
        call(c, ring(1e10, 1e4), ref.parameters_of(c))
    assert ref.kernel_frames(info.value) == [
        PREFIX + "gasrad_adv_closure_func",
        "velmora.math_utils._bracket_solver.find_root",
        PREFIX + "gasrad_adv_residual",
        "velmora.radiation.opacity.kappa_core.C_GreyKappaCore._log_opacity",
    ]


def test_table_law_out_of_its_domain_raises_through_the_closure():
    c = ref.bound_closure(law=C_OPALGridOpacity(*ref.TABLE, 0))
    with pytest.raises(ValueError, match="outside the table domain") as info:
        call(c, ring(1e12, 1e3), ref.parameters_of(c), math.log(20.0))
    names = ref.kernel_frames(info.value)
    assert names[0] == PREFIX + "gasrad_adv_closure_func"
    assert PREFIX + "gasrad_adv_residual" in names


@pytest.mark.parametrize("missing,text", [
    ("advection", "the disk parameters hold no advection record; call bind_runtime_parameters first"),
    ("opacity", "the disk parameters hold no opacity law; call bind_runtime_parameters first"),
])
def test_unfilled_parameter_record_is_refused_not_dereferenced(missing, text):
    c = ref.bound_closure()
    params = ref.parameters_of(c)
    setattr(params, missing, None)
    with pytest.raises(RuntimeError) as info:
        call(c, ring(1e10, 1e4), params)
    assert str(info.value) == "gasrad_adv_closure_func(): " + text
    assert ref.kernel_frames(info.value) == [PREFIX + "gasrad_adv_closure_func"]


def test_unbound_closure_object_is_refused():
    c = AdvectiveClosure()
    with pytest.raises(RuntimeError, match="call bind_runtime_parameters first"):
        call(c, ring(1e10, 1e4), ref.parameters_of(c))


def test_none_as_opacity_is_refused():
    c = ref.bound_closure()
    params = ref.parameters_of(c)
    params.opacity = id(None)
    with pytest.raises(RuntimeError, match="no opacity law"):
        call(c, ring(1e10, 1e4), params)
