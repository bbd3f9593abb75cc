"""The module guard of the runtime layer, as kappa_core shows it: one module
object per process, no re-initialisation, no second interpreter."""

import ctypes
import importlib
import os
import sys
import tempfile
import types

import pytest

import velmora.radiation.opacity.kappa_core as kc

NAME = "velmora.radiation.opacity.kappa_core"
REINIT = "Module 'kappa_core' has already been imported. Re-initialisation is not supported."

_get_def = ctypes.pythonapi.PyModule_GetDef
_get_def.restype, _get_def.argtypes = ctypes.c_void_p, [ctypes.py_object]
_exec_def = ctypes.pythonapi.PyModule_ExecDef
_exec_def.restype, _exec_def.argtypes = ctypes.c_int, [ctypes.py_object, ctypes.c_void_p]


def test_reimport_after_removal_from_sys_modules_gives_the_same_module(monkeypatch):
    monkeypatch.delitem(sys.modules, NAME)
    again = importlib.import_module(NAME)
    assert again is kc
    assert again.C_GreyKappaCore is kc.C_GreyKappaCore
    assert importlib.reload(kc) is kc


def test_initialisation_again_on_the_same_module_is_a_no_op():
    definition = _get_def(kc)
    assert definition
    assert _exec_def(kc, definition) == 0
    assert kc.C_GreyKappaCore().__reduce__()[1][1] == 0xE3B0C44


@pytest.mark.parametrize("name", [
    "kappa_core",
    "fresh",
])
def test_initialisation_with_another_module_object_is_refused(name):
    fresh = types.ModuleType(name)
    with pytest.raises(RuntimeError) as info:
        _exec_def(fresh, _get_def(kc))
    assert str(info.value) == REINIT
    assert not hasattr(fresh, "C_GreyKappaCore")


def test_second_interpreter_is_refused():
    interpreters = pytest.importorskip("_interpreters")
    try:
        iid = interpreters.create(interpreters.new_config("legacy"))
    except Exception as e:  # pragma: no cover - depends on the interpreter build
        pytest.skip(f"no legacy subinterpreter: {e}")
    fd, path = tempfile.mkstemp()
    os.close(fd)
    try:
        script = (
            "try:\n"
            f"    import {NAME}\n"
            "except BaseException as e:\n"
            "    text = type(e).__name__ + ': ' + str(e)\n"
            "else:\n"
            "    text = 'imported'\n"
            f"with open({path!r}, 'w') as f:\n"
            "    f.write(text)\n")
        assert interpreters.exec(iid, script) is None
        with open(path) as f:
            text = f.read()
    finally:
        interpreters.destroy(iid)
        os.unlink(path)
    assert text == ("ImportError: Interpreter change detected - this module can only be loaded "
                    "into one interpreter per process.")
    # the main interpreter's module is untouched
    assert sys.modules[NAME] is kc
