"""The framework's kernels: the gas-plus-radiation sound speed and the two
step functions, against the formulas they implement."""

import ctypes
import math
from decimal import Decimal, getcontext

import pytest

import capi_helpers as ch
from disk_records import (ClosureResult, DiskDerived, DiskParameters, DiskState, DiskStep, FallbackParams,
                          sound_speed_prototype, step_prototype)
from velmora.dynamics.accretion.one_zone.physics import _eos, _fallback, _viscous

G = 6.67430e-8
K_B = 1.380649e-16
M_P = 1.67262192369e-24
RAD_A = 4 * 5.670374419e-5 / 2.99792458e10
STEP_TEXT = ("int (struct DiskState const *, struct DiskDerived const *, struct DiskParameters const *, "
             "struct ClosureResult const *, struct DiskStep *)")


@pytest.mark.parametrize("module, name, text", [
    (_eos, "compute_gas_rad_cs", "double (double, double, double, double)"),
    (_viscous, "viscous_derivative_func", STEP_TEXT),
    (_fallback, "fallback_source_func", STEP_TEXT),
])
def test_exports(module, name, text):
    assert list(module.__c_api__) == [name]
    assert ch.capsule_name(module.__c_api__[name]) == text


# --- compute_gas_rad_cs ------------------------------------------------------

def sound_speed(factory=ctypes.PYFUNCTYPE):
    return ch.c_api(_eos, "compute_gas_rad_cs", sound_speed_prototype(factory))


def reference_cs(T, mu, Sigma, Omega):
    """Positive root of c^2 - b c - g = 0 in 50-digit decimal arithmetic."""
    getcontext().prec = 50
    D = Decimal
    g = D(K_B) * D(T) / (D(mu) * D(M_P))
    b = (2 * D(math.pi)).sqrt() * D(RAD_A) * D(T) ** 4 / (3 * D(Sigma) * D(Omega))
    return float((b + (b * b + 4 * g).sqrt()) / 2)


def pressure_over_density(c_s, T, mu, Sigma, Omega):
    rho = Sigma * Omega / (math.sqrt(2 * math.pi) * c_s)
    P = rho * K_B * T / (mu * M_P) + RAD_A * T ** 4 / 3
    return P / rho


CASES = [  # (T, mu, Sigma, Omega): gas-dominated, mixed, radiation-dominated
    (1e4, 0.6, 1e5, 1e-2),
    (3e6, 0.6, 1e4, 1e-1),
    (1e8, 0.5, 1e3, 1e2),
    (1e10, 1.0, 1e2, 1e-3),
]


@pytest.mark.parametrize("T, mu, Sigma, Omega", CASES)
def test_sound_speed_solves_the_pressure_balance(T, mu, Sigma, Omega):
    c = sound_speed()(T, mu, Sigma, Omega)
    assert c > 0
    assert sound_speed(ctypes.CFUNCTYPE)(T, mu, Sigma, Omega) == c  # runs without the lock
    assert c == pytest.approx(reference_cs(T, mu, Sigma, Omega), rel=2e-15)
    assert c * c == pytest.approx(pressure_over_density(c, T, mu, Sigma, Omega), rel=1e-13)


@pytest.mark.parametrize("T, Sigma, Omega, limit", [
    (1e4, 1e10, 1e3, lambda T, Sigma, Omega: math.sqrt(K_B * T / (0.6 * M_P))),  # isothermal gas
    (1e9, 1.0, 1e-3, lambda T, Sigma, Omega: math.sqrt(2 * math.pi) * RAD_A * T ** 4 / (3 * Sigma * Omega)),
])
def test_gas_and_radiation_dominated_limits(T, Sigma, Omega, limit):
    assert sound_speed()(T, 0.6, Sigma, Omega) == pytest.approx(limit(T, Sigma, Omega), rel=1e-12)


def test_no_overflow_where_the_radiation_term_squared_would():
    T, Sigma, Omega = 1e12, 1e-85, 1e-85
    b = math.sqrt(2 * math.pi) * RAD_A * T ** 4 / (3 * Sigma * Omega)
    assert b * b == math.inf
    assert sound_speed()(T, 0.6, Sigma, Omega) == pytest.approx(b, rel=1e-14)


def test_nan_temperature_gives_nan_without_error():
    assert math.isnan(sound_speed()(math.nan, 0.6, 1e4, 1e-2))


@pytest.mark.parametrize("args, message", [
    ((-1.0, 0.6, 1e4, 1e-2), "T must be non-negative, got -1.0"),
    ((1e6, 0.0, 1e4, 1e-2), "mu must be positive, got 0.0"),
    ((1e6, 0.6, -1e4, 1e-2), "Sigma must be positive, got -10000.0"),
    ((1e6, 0.6, 1e4, 0.0), "Omega must be positive, got 0.0"),
])
def test_sound_speed_refuses_unphysical_input(args, message):
    with pytest.raises(ValueError) as info:
        sound_speed()(*args)
    assert str(info.value) == "compute_gas_rad_cs(): " + message
    assert ch.frame_names(info.value)[-1] == "velmora.dynamics.accretion.one_zone.physics._eos.compute_gas_rad_cs"


# --- step functions ----------------------------------------------------------

def call_step(module, name, state, params, result, factory=ctypes.PYFUNCTYPE):
    fn = ch.c_api(module, name, step_prototype(factory))
    out = DiskStep(-7.0, -8.0, -9.0)
    rc = fn(ctypes.byref(state), ctypes.byref(DiskDerived()), ctypes.byref(params), ctypes.byref(result),
            ctypes.byref(out))
    return rc, out


def test_viscous_step():
    M_D, t_visc, M_BH, R_in = 3e32, 250.0, 2e34, 3e6
    rc, out = call_step(_viscous, "viscous_derivative_func", DiskState(1.0, M_D, 1e50),
                        DiskParameters(M_BH=M_BH, R_in=R_in), ClosureResult(t_visc=t_visc), ctypes.CFUNCTYPE)
    Mdot = M_D / t_visc
    assert rc == 0
    assert (out.step0, out.step1) == (Mdot, -Mdot)
    assert out.step2 == pytest.approx(-Mdot * math.sqrt(G * M_BH * R_in), rel=1e-15)


@pytest.mark.parametrize("params, result, exc, message", [
    (DiskParameters(M_BH=1.0, R_in=1.0), ClosureResult(t_visc=0.0), ZeroDivisionError, "float division"),
    (DiskParameters(M_BH=-1.0, R_in=1.0), ClosureResult(t_visc=1.0), ValueError,
     "viscous_derivative_func(): M_BH must be non-negative, got -1.0"),
    (DiskParameters(M_BH=1.0, R_in=-2.0), ClosureResult(t_visc=1.0), ValueError,
     "viscous_derivative_func(): R_in must be non-negative, got -2.0"),
])
def test_viscous_step_failures(params, result, exc, message):
    fn = ch.c_api(_viscous, "viscous_derivative_func", step_prototype())
    out = DiskStep(-7.0, -8.0, -9.0)
    with pytest.raises(exc) as info:
        fn(ctypes.byref(DiskState(0, 1.0, 1.0)), None, ctypes.byref(params), ctypes.byref(result),
           ctypes.byref(out))
    assert str(info.value) == message
    assert ch.frame_names(info.value)[-1] == (
        "velmora.dynamics.accretion.one_zone.physics._viscous.viscous_derivative_func")
    assert (out.step0, out.step1, out.step2) == (-7.0, -8.0, -9.0)


def fallback_params(record):
    params = DiskParameters(M_BH=2e34)
    params.fallback = ctypes.addressof(record)
    return params


@pytest.mark.parametrize("t, beta", [(0.0, 5 / 3), (1e4, 5 / 3), (3.5e6, 1.2), (10.0, -0.5), (50.0, 0.0)])
def test_fallback_source(t, beta):
    record = FallbackParams(M_fb_0=2e32, R_c=4e7, t_fb=1e3, beta_fb=beta)
    rc, out = call_step(_fallback, "fallback_source_func", DiskState(t, 1.0, 1.0), fallback_params(record),
                        ClosureResult(), ctypes.CFUNCTYPE)
    Mdot = (2e32 / 1e3) * (1 + t / 1e3) ** (-beta)
    assert rc == 0
    assert out.step0 == 0.0
    assert out.step1 == pytest.approx(Mdot, rel=1e-14)
    assert out.step2 == pytest.approx(Mdot * math.sqrt(G * 2e34 * 4e7), rel=1e-14)


@pytest.mark.parametrize("record, exc, message", [
    (None, ValueError, "fallback_source_func(): the disk parameters hold no fallback record"),
    (FallbackParams(1.0, 1.0, 0.0, 1.0), ZeroDivisionError, "float division"),
    (FallbackParams(1.0, -1.0, 1.0, 1.0), ValueError, "fallback_source_func(): R_c must be non-negative, got -1.0"),
])
def test_fallback_source_failures(record, exc, message):
    params = DiskParameters(M_BH=1.0) if record is None else fallback_params(record)
    fn = ch.c_api(_fallback, "fallback_source_func", step_prototype())
    out = DiskStep(-7.0, -8.0, -9.0)
    with pytest.raises(exc) as info:
        fn(ctypes.byref(DiskState()), None, ctypes.byref(params), None, ctypes.byref(out))
    assert str(info.value) == message
    assert ch.frame_names(info.value)[-1] == (
        "velmora.dynamics.accretion.one_zone.physics._fallback.fallback_source_func")
    assert (out.step0, out.step1, out.step2) == (-7.0, -8.0, -9.0)


def test_failure_without_the_lock_leaves_the_exception_pending():
    with pytest.raises(SystemError) as info:
        sound_speed(ctypes.CFUNCTYPE)(1e6, 0.6, 1e4, -1.0)
    assert isinstance(info.value.__cause__, ValueError)
    assert str(info.value.__cause__) == "compute_gas_rad_cs(): Omega must be positive, got -1.0"
