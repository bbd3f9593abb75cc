"""A second disk model, the textbook thin disk, through every driver of the
framework: its temperature against the analytic thin-disk solution, the
roots of its balance with a table opacity against a fine scan of the same
balance written here, its rows by its own schema, and its time evolution."""

import math

import numpy as np
import pytest

from velmora.dynamics.accretion.one_zone.closure import evolve, model_info, solve_profile, thermal_equilibria
from velmora.dynamics.accretion.one_zone.models._thin import ThinClosure
from velmora.radiation.opacity.grey_opacity.rosseland import load_sample

G, K_B, M_P, SIGMA_SB = 6.67430e-8, 1.380649e-16, 1.67262192369e-24, 5.670374419e-5
M_BH, ALPHA, MU = 2e39, 0.1, 0.6
FALLBACK = dict(log_M_fb_0=math.log(6.6e32), log_R_c=math.log(1.4e13), log_t_fb=math.log(3.5e6), beta_fb=5 / 3)


def thin_disk(law=None, fallback=False):
    c = ThinClosure(fallback, MU)
    if law is not None:
        c.opacity = law
    c.bind_runtime_parameters({"log_M_BH": math.log(M_BH), "log_R_in": math.log(8.9e11), "alpha": ALPHA,
                               **(FALLBACK if fallback else {})})
    return c


def rings(n=7):
    R = np.geomspace(1e11, 1e15, n)
    return R, 1e3 * (R / 1e13) ** -0.75, np.sqrt(G * M_BH / R ** 3)


@pytest.mark.parametrize("branch", ["closure", "thick", "thin"])
def test_electron_scattering_gives_the_analytic_thin_disk(branch):
    """T^3 = (27/32) k alpha kappa Omega Sigma^2 / (sigma mu m_p)."""
    R, Sigma, Omega = rings()
    rows = solve_profile(thin_disk(), R, Sigma, Omega, branch=branch)
    T = (27 / 32 * K_B * ALPHA * 0.34 * Omega * Sigma ** 2 / (SIGMA_SB * MU * M_P)) ** (1 / 3)
    assert np.allclose(rows[:, 8], T, rtol=1e-12, atol=0)
    names = [name for name, _, _ in model_info(thin_disk())["columns"]]
    assert rows.shape == (7, len(names)) and "Q_adv" not in names
    col = dict(zip(names, rows.T))
    c_s = np.sqrt(K_B * T / (MU * M_P))
    assert np.allclose(col["c_s"], c_s, rtol=1e-12) and np.allclose(col["H_over_R"], c_s / Omega / R, rtol=1e-12)


@pytest.mark.parametrize("R_D,Sigma", [(1e13, 1e2), (1e13, 3e2), (1e14, 30.0), (3e12, 1e3)])
def test_table_balance_roots_against_a_fine_scan(R_D, Sigma):
    law = load_sample(0.7, 0.02, "extend")
    Omega = math.sqrt(G * M_BH / R_D ** 3)
    ln_A = math.log(32 / 27 * SIGMA_SB / (ALPHA * Omega * Sigma ** 2))

    def f(x):
        ln_c_s = 0.5 * (math.log(K_B / (MU * M_P)) + x)
        ln_rho = math.log(Omega) + math.log(Sigma) - ln_c_s - 0.5 * math.log(2 * math.pi)
        return 1.0 - math.exp(ln_A - law.log_opacity(x, ln_rho) - 2 * ln_c_s + 4 * x)

    from scipy.optimize import brentq
    x = np.linspace(math.log(10.0), math.log(1e14), 20000)
    fx = np.array([f(v) for v in x])
    expected = [(brentq(f, x[i], x[i + 1], xtol=1e-14, rtol=1e-15), fx[i] > 0)
                for i in np.nonzero(np.sign(fx[:-1]) != np.sign(fx[1:]))[0]]
    roots = thermal_equilibria(thin_disk(law), R_D, Sigma, Omega)["roots"]
    assert [r["stable"] for r in roots] == [s for _, s in expected]
    assert np.allclose([r["ln_T_c"] for r in roots], [v for v, _ in expected], rtol=0, atol=1e-11)


def test_evolves_with_fallback_keeping_its_mass_budget():
    c = thin_disk(load_sample(0.7, 0.02, "extend"), fallback=True)
    rows, info = evolve(c, 2e31, 1.4e13, 1e8, n_out=50, full_output=True)
    names = [name for name, _, _ in model_info(c)["columns"]]
    col = dict(zip(names, rows.T))
    t = col["t"]
    fallback = (6.6e32 / 3.5e6) * (1 + t / 3.5e6) ** (-5 / 3)
    assert np.allclose(col["dM_D_dt"], fallback - col["Mdot"], rtol=1e-9, atol=1e-9 * fallback.max())
    assert info["steps"] > 0 and np.all(np.isfinite(rows))


def test_an_unbound_thin_disk_is_refused():
    with pytest.raises(RuntimeError, match=r"^solve_profile\(\): the .*ThinClosure object is not bound; call "
                                           r"bind_runtime_parameters first$"):
        solve_profile(ThinClosure(), *rings(2))
