"""ElectronScatteringOpacity, and the kappa_core wrappers on a law that
implements its slots."""

import ctypes
import math
import pickle

import numpy as np
import pytest

import capi_helpers as ch
from velmora.radiation import opacity
from velmora.radiation.opacity import ElectronScatteringOpacity
from velmora.radiation.opacity.kappa_core import C_GreyKappaCore

SLOT = ctypes.PYFUNCTYPE(ctypes.c_double, ctypes.py_object, ctypes.c_double, ctypes.c_double)


def kappa(X):
    return 0.2 * (1 + X)


def test_exported_from_the_package():
    assert opacity.ElectronScatteringOpacity is ElectronScatteringOpacity
    assert ElectronScatteringOpacity.__name__ == "ElectronScatteringOpacity"
    assert issubclass(ElectronScatteringOpacity, C_GreyKappaCore)


@pytest.mark.parametrize("X", [0.0, 0.7, 1.0])
def test_constant_law(X):
    law = ElectronScatteringOpacity(X)
    assert law.X == X
    for log_T, log_rho in [(0.0, 0.0), (10.0, -20.0), (-3.0, 5.0)]:
        assert law.log_opacity(log_T, log_rho) == pytest.approx(math.log(kappa(X)), rel=1e-15)
        assert law.dlogkappa_dlogrho(log_T, log_rho) == 0.0
        assert law.dlogkappa_dlogT(log_T=log_T, log_rho=log_rho) == 0.0
    assert law.opacity(1e-9, 1e7) == pytest.approx(kappa(X), rel=1e-15)


def test_default_and_keyword():
    assert ElectronScatteringOpacity().X == 0.7
    assert ElectronScatteringOpacity(X=0.0).X == 0.0


def test_opacity_is_exp_of_log_opacity():
    law = ElectronScatteringOpacity(0.3)
    for rho, T in [(1.0, 1.0), (1e-8, 3e4), (0.0, 10.0)]:  # rho = 0 hands -inf to slot 1 without complaint
        log_rho = math.log(rho) if rho else -math.inf
        assert law.opacity(rho, T) == math.exp(law.log_opacity(math.log(T), log_rho))


def test_array_methods_agree_with_the_scalars():
    law = ElectronScatteringOpacity(0.6)
    log_T = np.linspace(8.0, 20.0, 7)
    log_rho = np.linspace(-25.0, 2.0, 7)
    logs = law.log_opacity_array(log_T, log_rho)
    assert logs.dtype == np.float64 and logs.shape == (7,)
    assert list(logs) == [law.log_opacity(a, b) for a, b in zip(log_T, log_rho)]
    # opacity_array takes (rho, T): the other order from the log-space methods.
    rho, T = np.exp(log_rho), np.exp(log_T)
    np.testing.assert_array_equal(law.opacity_array(rho, T), np.exp(law.log_opacity_array(np.log(T), np.log(rho))))
    np.testing.assert_array_equal(law.dlogkappa_dlogrho_array(log_T, log_rho), np.zeros(7))
    np.testing.assert_array_equal(law.dlogkappa_dlogT_array(log_T, log_rho), np.zeros(7))


def test_table_extends_the_base_table():
    base = ch.vtable_address(C_GreyKappaCore)
    table = ch.vtable_address(ElectronScatteringOpacity)
    law = ElectronScatteringOpacity(1.0)
    assert ch.table_pointer(law) == table != base
    words = [ctypes.c_void_p.from_address(a + k * 8).value for a in (base, table) for k in range(4)]
    assert words[0] == words[4]  # _opacity is the base's exp of slot 1
    assert all(words[k] != words[k + 4] for k in (1, 2, 3))
    assert ch.slot(table, 1, SLOT)(law, 5.0, 1.0) == pytest.approx(math.log(0.4), rel=1e-15)
    assert ch.slot(table, 0, SLOT)(law, 1.0, 1.0) == pytest.approx(0.4, rel=1e-15)
    # slots 1 to 3 run without the interpreter lock
    no_lock = ctypes.CFUNCTYPE(ctypes.c_double, ctypes.c_void_p, ctypes.c_double, ctypes.c_double)
    assert [ch.slot(table, k, no_lock)(id(law), 1.0, 1.0) for k in (1, 2, 3)] == [math.log(0.4), 0.0, 0.0]


def test_interpreter_subclass_cannot_override_a_slot():
    class Shadow(ElectronScatteringOpacity):
        def _log_opacity(self, log_T, log_rho):
            return 99.0

    assert Shadow(1.0).log_opacity(0.0, 0.0) == ElectronScatteringOpacity(1.0).log_opacity(0.0, 0.0)


@pytest.mark.parametrize("X", [-0.01, 1.0000001, math.nan, math.inf, -math.inf])
def test_invalid_hydrogen_fraction(X):
    with pytest.raises(ValueError) as info:
        ElectronScatteringOpacity(X)
    assert str(info.value) == f"ElectronScatteringOpacity(): X must be finite and between 0 and 1, got {X!r}"
    assert ch.frame_names(info.value)[-1] == (
        "velmora.radiation.opacity._electron_scattering.ElectronScatteringOpacity.__new__")


def test_argument_errors():
    with pytest.raises(TypeError, match=r"^ElectronScatteringOpacity\(\) takes at most 1 positional argument "
                                        r"\(2 given\)$"):
        ElectronScatteringOpacity(0.1, 0.2)
    with pytest.raises(TypeError):
        ElectronScatteringOpacity("0.7")
    with pytest.raises(AttributeError):
        ElectronScatteringOpacity().X = 0.1


class Tagged(ElectronScatteringOpacity):
    pass


def test_pickle_keeps_the_composition():
    clone = pickle.loads(pickle.dumps(ElectronScatteringOpacity(0.15)))
    assert type(clone) is ElectronScatteringOpacity
    assert clone.X == 0.15 and clone.opacity(1.0, 1.0) == pytest.approx(kappa(0.15), rel=1e-15)
    t = Tagged(0.9)
    t.note = "envelope"
    clone = pickle.loads(pickle.dumps(t))
    assert (type(clone), clone.X, clone.note) == (Tagged, 0.9, "envelope")
