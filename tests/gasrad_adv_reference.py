"""Pure-Python reference of the advective one-zone disk closure, its writer and
the framework's step functions, with ctypes access to the compiled ones.

The constants are read from the framework's ``__c_api__`` and the sound speed
is the framework's own ``compute_gas_rad_cs`` (through its capsule); the root
finder is the pure-Python reference of bracket_solver_helpers.
"""

import ctypes
import math
from ctypes import POINTER, byref, c_double, c_int

import numpy as np

import bracket_solver_helpers as bsh
import capi_helpers as ch
from disk_records import (FILL_PARAMETERS, ClosureResult, DiskDerived, DiskParameters, DiskState, DiskStep,
                          sound_speed_prototype)
from velmora.dynamics.accretion.one_zone import closure as framework
from velmora.dynamics.accretion.one_zone.models import _gasrad_adv as ga
from velmora.dynamics.accretion.one_zone.physics import _eos

SUCCESS, EXPAND_FAIL, MAX_ITER = bsh.SUCCESS, bsh.EXPAND_FAIL, bsh.MAX_ITER
TWO_PI = 6.283185307179586
FIELDS = ("ln_T_c", "ln_c_s", "ln_rho", "ln_tau", "ln_T_eff", "ln_nu", "ln_Q_visc", "t_visc")


def constant(name):
    return c_double.from_address(ch.c_api(framework, name)).value


LOG_SIGMA_SB = constant("LOG_SIGMA_SB_CGS")
LOG_K_B = constant("LOG_K_B_CGS")
LOG_KAPPA_ES = constant("LOG_KAPPA_ES")
LOG_M_P = constant("LOG_M_P_CGS")
LOG_DISK_F0 = constant("LOG_DISK_F0")
G = constant("G_CGS")

sound_speed = ch.c_api(_eos, "compute_gas_rad_cs", sound_speed_prototype())


def ln(v):
    """C's log: -inf at 0."""
    return -math.inf if v == 0.0 else math.log(v)


def exp(v):
    """C's exp: inf on overflow."""
    try:
        return math.exp(v)
    except OverflowError:
        return math.inf


# --- closure -------------------------------------------------------------------

def coefficients(alpha, xi, R_D, Sigma, Omega):
    ln_A = math.log(32.0 / 27.0) + LOG_SIGMA_SB - ln(alpha) - ln(Omega) - 2.0 * ln(Sigma)
    ln_B = ln(xi) + math.log(4.0 / 3.0) - 2.0 * ln(R_D) - 2.0 * ln(Omega)
    return ln_A, ln_B


def first_guess(alpha, mu, Sigma, Omega):
    s = (math.log(27.0 / 64.0) + LOG_K_B + ln(alpha) + LOG_KAPPA_ES - LOG_M_P - ln(mu) - LOG_SIGMA_SB
         + ln(Omega) + 2.0 * ln(Sigma))
    return s * (1.0 / 3.0)


def make_residual(ln_A, ln_B, mu, Sigma, Omega, law):
    def f(x):
        c_s = sound_speed(exp(x), mu, Sigma, Omega)
        ln_c_s = ln(c_s)
        ln_rho = ln(Omega) + ln(Sigma) - ln_c_s - 0.5 * math.log(TWO_PI)
        ln_kappa = law.log_opacity(x, ln_rho)
        return 1.0 - exp(ln_A - ln_kappa - 2.0 * ln_c_s + 4.0 * x) - exp(2.0 * ln_c_s + ln_B)
    return f


def find_ln_T_c(derived, alpha, mu, xi, law, previous_ln_T_c, x_min=math.log(10.0), x_max=math.log(1e14)):
    """(status, root or None) of the closure's search; x_min and x_max may be
    widened to see where a solution outside the closure's range lies."""
    R_D, Sigma, Omega = derived
    ln_A, ln_B = coefficients(alpha, xi, R_D, Sigma, Omega)
    x0 = first_guess(alpha, mu, Sigma, Omega) if previous_ln_T_c == 0.0 else previous_ln_T_c
    f = make_residual(ln_A, ln_B, mu, Sigma, Omega, law)
    status, found = bsh.find_root(f, x0, 0.05, 2.0, 60, x_min, x_max, 1e-30, 1e-10, 1e-12, 100)
    return status, (found[0] if status == SUCCESS else None)


def solve(derived, alpha, mu, xi, law, previous_ln_T_c):
    """(status, {field: value} or None), as the closure computes them."""
    status, root = find_ln_T_c(derived, alpha, mu, xi, law, previous_ln_T_c)
    if status != SUCCESS:
        return status, None
    if root < math.log(10.0) or root > math.log(1e14):
        return EXPAND_FAIL, None
    return SUCCESS, result_at(root, derived, alpha, mu, law)


def result_at(root, derived, alpha, mu, law):
    """{field: value} of the closure result at ln T_c = root."""
    R_D, Sigma, Omega = derived
    ln_c_s = ln(sound_speed(exp(root), mu, Sigma, Omega))
    ln_rho = ln(Sigma) + ln(Omega) - ln_c_s - 0.5 * math.log(TWO_PI)
    ln_kappa = law.log_opacity(root, ln_rho)
    ln_nu = ln(alpha) + 2.0 * ln_c_s - ln(Omega)
    return {
        "ln_T_c": root,
        "ln_c_s": ln_c_s,
        "ln_rho": ln_rho,
        "ln_tau": math.log(0.5) + ln_kappa + ln(Sigma),
        "ln_T_eff": root + 0.25 * (math.log(8.0 / 3.0) - ln_kappa - ln(Sigma)),
        "ln_nu": ln_nu,
        "ln_Q_visc": math.log(1.125) + ln_nu + ln(Sigma) + 2.0 * ln(Omega),
        "t_visc": exp(2.0 * ln(R_D) - ln_nu),
    }


# --- writer and steps ------------------------------------------------------------

def writer_row(row, state, derived, alpha, xi, result, step):
    t, M_D, J_D = state
    R_D, Sigma, Omega = derived
    E = (ln(xi) + math.log(4.0 / (9.0 * math.pi)) + LOG_DISK_F0 + ln(alpha) + ln(M_D) - 4.0 * ln(R_D)
         - 2.0 * ln(Omega) - ln(Sigma) + result["ln_Q_visc"] + 2.0 * result["ln_c_s"])
    H = exp(result["ln_c_s"] - ln(Omega))
    return [float(row), t, M_D, J_D, R_D, Sigma, Omega, exp(result["ln_T_eff"]), exp(result["ln_T_c"]),
            exp(result["ln_tau"]), exp(result["ln_c_s"]), exp(result["ln_nu"]), exp(result["ln_Q_visc"]), exp(E),
            step[1], step[2], step[0], result["t_visc"], H, H / R_D, exp(result["ln_rho"])]


def viscous_step(M_D, t_visc, M_BH, R_in):
    Mdot = 1.0 * M_D / t_visc
    return [Mdot, -Mdot, -Mdot * math.sqrt(G * M_BH * R_in)]


def fallback_step(t, M_fb_0, R_c, t_fb, beta_fb, M_BH):
    Mdot_fb = (M_fb_0 / t_fb) * math.pow(1.0 + t / t_fb, -beta_fb)
    return [0.0, Mdot_fb, Mdot_fb * math.sqrt(G * M_BH * R_c)]


# --- the compiled side -------------------------------------------------------------

def closure_prototype(factory=ctypes.PYFUNCTYPE):
    return factory(c_int, POINTER(DiskState), POINTER(DiskDerived), POINTER(DiskParameters),
                   POINTER(ClosureResult), POINTER(ClosureResult))


def writer_prototype(factory=ctypes.PYFUNCTYPE):
    return factory(c_int, c_int, POINTER(DiskState), POINTER(DiskDerived), POINTER(DiskParameters),
                   POINTER(ClosureResult), POINTER(DiskStep), POINTER(c_double), c_int)


def closure_func(factory=ctypes.PYFUNCTYPE):
    return ch.c_api(ga, "gasrad_adv_closure_func", closure_prototype(factory))


def writer_func(factory=ctypes.PYFUNCTYPE):
    return ch.c_api(ga, "gasrad_adv_writer_func", writer_prototype(factory))


fill_parameters = ch.slot(ch.vtable_address(ga.AdvectiveClosure), 1, FILL_PARAMETERS)

RUN_PARAMS = {"log_M_BH": math.log(2e34), "log_R_in": math.log(1e7), "alpha": 0.1}


def bound_closure(xi=0.5, mu=0.6, law=None, run_params=RUN_PARAMS, with_fallback=False):
    c = ga.AdvectiveClosure(with_fallback, mu, xi)
    if law is not None:
        c.opacity = law
    c.bind_runtime_parameters(dict(run_params))
    return c


def parameters_of(c):
    p = DiskParameters()
    fill_parameters(c, byref(p))
    return p


def result_record(ln_T_c=None, fill=0.0):
    r = ClosureResult(*[fill] * len(ClosureResult._fields_))
    if ln_T_c is not None:
        r.ln_T_c = ln_T_c
    return r


def kernel_frames(exc):
    """The package's traceback entries of an exception, outermost first."""
    return [name for name in ch.frame_names(exc) if name.startswith("velmora.")]


def as_dict(record):
    return {name: getattr(record, name) for name in FIELDS}


def keplerian(R_D, M_BH=2e34):
    return math.sqrt(G * M_BH / R_D ** 3)


# --- test disks and laws ---------------------------------------------------------------

def kramers_table():
    """An OPAL-convention table of electron scattering plus Kramers opacity."""
    log10_T = np.linspace(3.0, 9.0, 61)
    log10_R = np.linspace(-9.0, 3.0, 25)
    lt, lr = np.meshgrid(log10_T, log10_R, indexing="ij")
    rho = 10.0 ** (lr + 3.0 * (lt - 6.0))
    log10_kappa = np.log10(0.34 + 3.7e22 * 1.7 * rho * 10.0 ** (-3.5 * lt))
    return log10_T, log10_R, log10_kappa


TABLE = kramers_table()

# Rings whose solution lies outside 10 K to 1e14 K: 6.3 K, and (with xi = 0)
# 2.65e14 K.
LOWER = (1e12, 0.01, keplerian(1e12))
UPPER = (1e3, 0.23, 4.3e33)
