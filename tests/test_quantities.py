"""astropy Quantities at the compiled interfaces: converted to the documented
cgs units, or refused saying what was expected; plain numbers and arrays keep
their path and their messages."""

import math

import numpy as np
import pytest

u = pytest.importorskip("astropy.units")

from velmora import ElectronScatteringOpacity, load_sample, solve_profile, thermal_equilibria  # noqa: E402
from velmora.dynamics.accretion.one_zone.models._gasrad_adv import AdvectiveClosure  # noqa: E402
from velmora.radiation.opacity.kappa_core import C_GreyKappaCore, C_KappaCore  # noqa: E402


@pytest.fixture(scope="module")
def sample():
    return load_sample(0.7, 0.02, "extend")


def test_a_density_in_si_units_is_converted(sample):
    """1e-3 kg m^-3 is 1e-6 g cm^-3: 5.20 cm^2/g at 1e5 K, not the 4864 of
    1e-3 g cm^-3 that the bare numbers would give."""
    rho, T = 1e-3 * u.kg / u.m**3, 1e5 * u.K
    expected = sample.opacity(1e-6, 1e5)
    assert f"{expected:.3g}" == "5.2" and sample.opacity(1e-3, 1e5) > 4000
    kappa = sample.opacity(rho, T)
    assert kappa.unit == u.cm**2 / u.g and kappa.value == expected
    arrays = sample.opacity_array(np.array([1e-3, 1.0]) * u.kg / u.m**3, np.array([1e5, 1e6]))
    assert arrays.unit == u.cm**2 / u.g
    assert np.array_equal(arrays.value, sample.opacity_array(np.array([1e-6, 1e-3]), np.array([1e5, 1e6])))
    # A temperature in another scale, through astropy's equivalency.
    assert sample.opacity(1e-6, (1e5 * u.K).to(u.deg_C, equivalencies=u.temperature())).value == pytest.approx(
        expected, rel=1e-12)
    assert sample.in_table(1e-3 * u.kg / u.m**3, T) == sample.in_table(1e-6, 1e5)


LN_T, LN_RHO = math.log(1e5), math.log(1e-6)


@pytest.mark.parametrize("method, args", [
    ("log_opacity", (u.Dex(5.0, u.dex(u.K)), u.Dex(-6.0, u.dex(u.g / u.cm**3)))),
    ("log_opacity_array", (np.array([5.0]) * u.dex(u.K), np.array([-3.0]) * u.dex(u.kg / u.m**3))),
    ("dlogkappa_dlogT", (LN_T * u.one, LN_RHO)),
])
def test_logarithmic_arguments(sample, method, args):
    """A log argument is a natural log: a logarithmic Quantity (dex of the unit)
    is converted, a dimensionless one taken as it is."""
    value = np.ravel(getattr(sample, method)(*args))[0]
    scalar = getattr(sample, method.removesuffix("_array"))
    assert not isinstance(value, u.Quantity)
    assert value == pytest.approx(scalar(LN_T, LN_RHO), rel=1e-13)


@pytest.mark.parametrize("call, text", [
    (lambda law: law.opacity(1.0 * u.K, 1e5), "opacity(): rho must be a density (in g / cm3), got a Quantity in K"),
    (lambda law: law.opacity_array(np.ones(2), np.ones(2) * u.m),
     "opacity_array(): T must be a temperature (in K), got a Quantity in m"),
    (lambda law: law.log_opacity(1.0 * u.K, 1.0), "log_opacity(): log_T is the natural log of a temperature in K"),
])
def test_impossible_conversions_are_refused_clearly(sample, call, text):
    with pytest.raises(u.UnitConversionError) as info:
        call(sample)
    assert text in str(info.value)


def test_plain_arguments_keep_their_messages():
    law = ElectronScatteringOpacity()
    with pytest.raises(ValueError, match="Buffer has wrong number of dimensions"):
        law.opacity_array(np.ones((2, 2)), np.ones(2))
    with pytest.raises(TypeError, match="must be real number, not str"):
        law.opacity("x", 1.0)
    # A NumPy array subclass without a unit takes the plain path.
    sub = np.ones(3).view(type("Plain", (np.ndarray,), {}))
    assert np.array_equal(law.opacity_array(sub, sub), law.opacity_array(np.ones(3), np.ones(3)))
    # The abstract bases still say what is missing, after converting.
    with pytest.raises(NotImplementedError, match="C_GreyKappaCore must implement _log_opacity"):
        C_GreyKappaCore().opacity(1.0 * u.g / u.cm**3, 1.0 * u.K)
    with pytest.raises(NotImplementedError):
        C_KappaCore().opacity(1.0 * u.GHz, 1.0 * u.g / u.cm**3, 1.0 * u.K)


def test_other_arrays_with_units(sample):
    """An astropy table column is read through its Quantity; any other array
    type with a unit is refused rather than read as bare numbers."""
    table = pytest.importorskip("astropy.table")
    columns = table.Table({"rho": [1e-3, 1.0], "T": [1e5, 1e6]}, units={"rho": "kg / m3", "T": "K"})
    assert np.array_equal(sample.opacity_array(columns["rho"], columns["T"]).value,
                          sample.opacity_array(np.array([1e-6, 1e-3]), np.array([1e5, 1e6])))
    bare = table.Column([1e-6, 1e-3])
    assert np.array_equal(sample.opacity_array(bare, np.array([1e5, 1e6])),
                          sample.opacity_array(np.array([1e-6, 1e-3]), np.array([1e5, 1e6])))

    class Tagged(np.ndarray):
        unit = "kg/m3"

    with pytest.raises(TypeError, match=r"opacity_array\(\): rho carries a unit \(Tagged in kg/m3\)"):
        sample.opacity_array(np.ones(2).view(Tagged), np.ones(2))


def test_frequency_through_the_spectral_equivalency():
    seen = []

    class Law(C_KappaCore):
        def opacity(self, nu, rho, T):  # what the converter calls, with plain numbers
            seen.append((nu, rho, T))
            return 1.0

    C_KappaCore.opacity(Law(), 1.0 * u.um, 1.0, 1.0 * u.K)
    assert seen[0][0] == pytest.approx(2.99792458e14) and seen[0][1:] == (1.0, 1.0)


@pytest.fixture(scope="module")
def closure():
    c = AdvectiveClosure(False, 0.6, 1.0)
    c.bind_runtime_parameters({"log_M_BH": math.log(2e39), "log_R_in": math.log(8.9e11), "alpha": 0.1})
    return c


@pytest.mark.parametrize("where", ["velmora", "velmora.dynamics.accretion.one_zone.closure"])
def test_framework_functions_convert_quantities(closure, where):
    import importlib
    m = importlib.import_module(where)
    R = np.geomspace(1e12, 1e14, 4)
    Sigma = 1e4 * (R / 1e13) ** -0.75
    Omega = np.sqrt(6.6743e-8 * 2e39 / R**3)
    plain = m.solve_profile(closure, R, Sigma, Omega, branch="thick")
    quantities = m.solve_profile(closure, (R * u.cm).to(u.au), Sigma * 10 * u.kg / u.m**2, Omega / u.s,
                                 branch="thick")
    assert np.allclose(quantities, plain, rtol=1e-12, atol=0)
    eq = m.thermal_equilibria(closure, R[0] * u.cm, Sigma[0] * u.g / u.cm**2, Omega=Omega[0] * u.Hz)
    assert eq == m.thermal_equilibria(closure, R[0], Sigma[0], Omega[0])
    with pytest.raises(u.UnitConversionError, match="solve_profile\\(\\): Sigma must be a surface density"):
        m.solve_profile(closure, R, Sigma * u.g, Omega)
    run = m.evolve(closure, 2e31, 1.4e13, 1e7, n_out=3)
    assert np.array_equal(m.evolve(closure, 2e28 * u.kg, 1.4e13 * u.cm, t_end=1e7 * u.s, n_out=3), run)
