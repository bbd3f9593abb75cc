"""Module initialisation of _gasrad_adv: every binding is checked, and a broken
export makes the import fail with the binding's message. Each case runs in a
fresh interpreter, since a module is initialised once per process."""

import subprocess
import sys
import textwrap

import pytest

OZ = "velmora.dynamics.accretion.one_zone"
CAPSULE = """
import ctypes
new_capsule = ctypes.pythonapi.PyCapsule_New
new_capsule.restype = ctypes.py_object
new_capsule.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
NAME = ctypes.create_string_buffer(b"int (void)")
"""

CASES = {
    "find_root signature": (
        CAPSULE + "import velmora.math_utils._bracket_solver as m\n"
        "m.__c_api__['find_root'] = new_capsule(1, NAME, None)",
        "TypeError: C function velmora.math_utils._bracket_solver.find_root has wrong signature "
        "(expected int (velmora_math_utils__bracket_solver_scalar_func, void *, double, double, double, int, "
        "double, double, double, double, double, int, double *), got int (void))"),
    "sound speed missing": (
        f"import {OZ}.physics._eos as m\ndel m.__c_api__['compute_gas_rad_cs']",
        f"ImportError: {OZ}.physics._eos does not export expected C function compute_gas_rad_cs"),
    "source signature": (
        CAPSULE + f"import {OZ}.physics._fallback as m\n"
        "m.__c_api__['fallback_source_func'] = new_capsule(1, NAME, None)",
        f"TypeError: C function {OZ}.physics._fallback.fallback_source_func has wrong signature"),
    "constant missing": (
        f"import {OZ}.closure as m\ndel m.__c_api__['LOG_DISK_F0']",
        f"ImportError: {OZ}.closure does not export expected C variable LOG_DISK_F0"),
    "wrapper not a type": (
        f"import {OZ}.physics._param_wrappers as m\nm.CAdvection = 1",
        f"TypeError: {OZ}.physics._param_wrappers.CAdvection is not a type object"),
    "wrapper too small": (
        f"import {OZ}.physics._param_wrappers as m\nm.CFallback = object",
        f"ValueError: {OZ}.physics._param_wrappers.CFallback size changed, may indicate binary "
        "incompatibility. Expected 56 from C header, got 16 from PyObject"),
    "opacity base not a type": (
        "import velmora.radiation.opacity.kappa_core as m\nm.C_KappaCore = 'x'",
        "TypeError: velmora.radiation.opacity.kappa_core.C_KappaCore is not a type object"),
}


@pytest.mark.parametrize("case", sorted(CASES))
def test_broken_binding_fails_the_import(case):
    setup, expected = CASES[case]
    script = textwrap.dedent(setup) + f"\nimport {OZ}.models._gasrad_adv\n"
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert run.returncode != 0
    assert expected in run.stderr.strip().splitlines()[-1]


def test_clean_import_in_a_fresh_interpreter():
    script = (f"import {OZ}.models._gasrad_adv as m\n"
              "print(m.AdvectiveClosure.__name__, m.ADV_N_RESULT_FIELDS_PY)")
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    assert run.stdout.split() == ["AdvectiveClosure", "21"]
