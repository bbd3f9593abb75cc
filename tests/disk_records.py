"""ctypes mirrors of the one-zone disk framework's C records and prototypes."""

import ctypes
from ctypes import POINTER, c_double, c_int, c_void_p, py_object


class DiskState(ctypes.Structure):
    _fields_ = [("state0", c_double), ("M_D", c_double), ("state2", c_double)]


class DiskDerived(ctypes.Structure):
    _fields_ = [("R_D", c_double), ("Sigma", c_double), ("Omega", c_double)]


class DiskParameters(ctypes.Structure):
    _fields_ = [
        ("M_BH", c_double), ("R_in", c_double), ("alpha", c_double), ("mu", c_double),
        ("reserved", c_double), ("fallback", c_void_p), ("advection", c_void_p), ("opacity", c_void_p),
    ]


class ClosureResult(ctypes.Structure):
    _fields_ = [(name, c_double) for name in (
        "reserved0", "reserved1", "t_visc", "ln_T_eff", "ln_T_c", "ln_tau", "ln_c_s", "ln_nu", "ln_Q_visc",
        "ln_rho")]


class DiskStep(ctypes.Structure):
    _fields_ = [("step0", c_double), ("step1", c_double), ("step2", c_double)]


class AdvectionParams(ctypes.Structure):
    _fields_ = [("xi", c_double)]


class FallbackParams(ctypes.Structure):
    _fields_ = [("M_fb_0", c_double), ("R_c", c_double), ("t_fb", c_double), ("beta_fb", c_double)]


def step_prototype(factory=ctypes.PYFUNCTYPE):
    return factory(c_int, POINTER(DiskState), POINTER(DiskDerived), POINTER(DiskParameters),
                   POINTER(ClosureResult), POINTER(DiskStep))


def sound_speed_prototype(factory=ctypes.PYFUNCTYPE):
    return factory(c_double, c_double, c_double, c_double, c_double)


COMPUTE_DERIVED = ctypes.PYFUNCTYPE(c_int, py_object, POINTER(DiskState), POINTER(DiskParameters),
                                    POINTER(DiskDerived))
FILL_PARAMETERS = ctypes.PYFUNCTYPE(None, py_object, POINTER(DiskParameters))
GET_RECORD = ctypes.PYFUNCTYPE(c_void_p, py_object)
