"""Disk closure: solve_profile over 10^5 radii, with the electron-scattering
law and with the shipped sample table, in microseconds per row, against a
pure NumPy/SciPy implementation of the same closure (brentq per row, written
here); and with threads=2 against threads=1.

Targets: at least 100x faster per row than the NumPy/SciPy implementation;
threads=2 at least 1.8x faster than threads=1 on two cores.

The peer is what a user would write without the kernels: the energy balance
1 = A T^4 / (kappa c_s^2) + B c_s^2 in ln T_c solved by scipy.optimize.brentq
on [ln 10, ln 1e14], the sound speed from the same quadratic, the opacity from
the law's own interpreter-level method (electron scattering) or from
scipy.interpolate.RegularGridInterpolator over the table (the sample table),
and the thermal structure computed in Python. It is timed on a subset of the
rows (it is slow) and compared per row.
"""

from __future__ import annotations

import importlib
import math
import time

import _harness as h

NAME = "disk closure"
MODULE = "velmora.dynamics.accretion.one_zone.closure"
TARGET_VS_SCIPY = h.Target(0.01, "at least 100x faster (ratio <= 0.01)")
TARGET_THREADS = h.Target(1 / 1.8, "threads=2 at least 1.8x faster (ratio <= 0.56)")


G = 6.6743e-8             # cm^3 g^-1 s^-2
M_SUN = 1.98841e33        # g
N_ROWS = 100_000


def _disk(n: int):
    """A steady disk profile around a 1e6 solar-mass hole: radii from 1e12 to
    1e15 cm, Keplerian Omega, Sigma = 1e4 (R / 1e13 cm)^-3/4 g cm^-2."""
    import numpy as np

    M = 1e6 * M_SUN
    R = np.logspace(12.0, 15.0, n)
    Omega = np.sqrt(G * M / R**3)
    Sigma = 1e4 * (R / 1e13) ** -0.75
    return M, R, Sigma, Omega


def _closure(M, law=None):
    from velmora.dynamics.accretion.one_zone.models._gasrad_adv import AdvectiveClosure

    c = AdvectiveClosure(False, 0.6, 0.5)
    c.bind_runtime_parameters({"log_M_BH": math.log(M), "log_R_in": math.log(6.0 * G * M / 2.99792458e10**2),
                               "alpha": 0.1})
    if law is not None:
        c.opacity = law
    return c


def _constants():
    """The framework's constants, as the compiled closure reads them."""
    import ctypes

    from velmora.dynamics.accretion.one_zone import closure as fw

    get = ctypes.pythonapi.PyCapsule_GetPointer
    get.restype = ctypes.c_void_p
    get.argtypes = [ctypes.py_object, ctypes.c_char_p]
    return {k: ctypes.c_double.from_address(get(v, b"double")).value for k, v in fw.__c_api__.items()}


def scipy_profile(R, Sigma, Omega, alpha, mu, xi, ln_kappa):
    """ln T_c per row, the closure written with SciPy (NaN where no root lies
    in range). Like solve_profile, the first row starts from the gas-pressure,
    electron-scattering estimate and later rows from the last root, and the
    bracket is widened geometrically around the guess: the balance can have
    several roots, and this finds the same one."""
    import numpy as np
    from scipy.optimize import brentq

    k = _constants()
    sigma_sb, k_b, m_p, a_rad = k["SIGMA_SB_CGS"], k["K_B_CGS"], k["M_P_CGS"], k["RAD_A_CGS"]
    root_2pi = math.sqrt(2.0 * math.pi)
    out = np.full(len(R), np.nan)
    x_min, x_max = math.log(10.0), math.log(1e14)
    guess = None
    for i, (r, sig, om) in enumerate(zip(R, Sigma, Omega)):
        A = (32.0 / 27.0) * sigma_sb / (alpha * om * sig**2)
        B = (4.0 / 3.0) * xi / (r**2 * om**2)

        def sound_speed(T):
            g = k_b * T / (mu * m_p)
            h = root_2pi * a_rad * T**4 / (6.0 * sig * om)
            return h + math.hypot(h, math.sqrt(g))

        def f(x):
            T = math.exp(x)
            c_s = sound_speed(T)
            ln_rho = math.log(sig * om / (root_2pi * c_s))
            kappa = math.exp(ln_kappa(x, ln_rho))
            return 1.0 - A * T**4 / (kappa * c_s**2) - B * c_s**2

        if guess is None:
            guess = math.log((27.0 / 64.0) * k_b * alpha * 0.34 * om * sig**2 / (mu * m_p * sigma_sb)) / 3.0
        w, bracket = 0.05, None
        for _ in range(61):
            lo, hi = max(guess - w, x_min), min(guess + w, x_max)
            f_lo, f_hi = f(lo), f(hi)
            if f_lo * f_hi < 0.0:
                bracket = (lo, hi)
                break
            w *= 2.0
        if bracket is None:
            continue
        x = brentq(f, *bracket, xtol=1e-10, rtol=4 * np.finfo(float).eps, maxiter=100)
        # The rest of the thermal structure, as the closure fills it.
        T = math.exp(x)
        c_s = sound_speed(T)
        rho = sig * om / (root_2pi * c_s)
        kappa = math.exp(ln_kappa(x, math.log(rho)))
        nu = alpha * c_s**2 / om
        structure = (0.5 * kappa * sig, (8.0 * T**4 / (3.0 * kappa * sig)) ** 0.25, 1.125 * nu * sig * om**2,
                     r**2 / nu)
        del structure
        out[i] = guess = x
    return out


def _table_ln_kappa(law_table):
    """ln kappa(ln T, ln rho) from RegularGridInterpolator over the table,
    coordinates clamped to its edges (the law's clamp mode)."""
    import numpy as np
    from scipy.interpolate import RegularGridInterpolator

    g1, g2, lk = law_table.log10_T, law_table.log10_R, law_table.log10_kappa
    rgi = RegularGridInterpolator((g1, g2), lk, method="linear")
    ln10 = math.log(10.0)

    def ln_kappa(log_T, log_rho):
        x = log_T / ln10
        y = log_rho / ln10 - (x - 6.0) * 3.0
        p = np.array([[min(max(x, g1[0]), g1[-1]), min(max(y, g2[0]), g2[-1])]])
        return float(rgi(p)[0]) * ln10

    return ln_kappa


def measure(report: h.Report, solve_profile) -> None:
    import numpy as np

    from velmora.radiation.opacity import ElectronScatteringOpacity
    from velmora.radiation.opacity.grey_opacity.rosseland import read_opal, sample_table_path

    M, R, Sigma, Omega = _disk(N_ROWS)
    es = ElectronScatteringOpacity(0.7)
    table = next(t for t in read_opal(sample_table_path()) if abs(t.X - 0.7) < 1e-4 and abs(t.Z - 0.02) < 1e-4)
    from velmora.radiation.opacity.grey_opacity.rosseland._opal_grid import C_OPALGridOpacity

    tlaw = C_OPALGridOpacity(table.log10_T, table.log10_R, table.log10_kappa, 1)
    cases = [
        ("electron scattering", es, lambda x, y, law=es: law.log_opacity(x, y), 50),
        ("sample table (clamp)", tlaw, _table_ln_kappa(table), 400),
    ]
    for label, law, peer_ln_kappa, every in cases:
        c = _closure(M, law)
        t_velmora = h.interleaved_medians({"v": lambda: solve_profile(c, R, Sigma, Omega, on_failure="nan")},
                                          repeats=5)["v"]
        rows = solve_profile(c, R, Sigma, Omega, on_failure="nan")
        sub = slice(0, N_ROWS // every)  # consecutive rows: the same warm starts
        t0 = time.perf_counter()
        peer = scipy_profile(R[sub], Sigma[sub], Omega[sub], 0.1, 0.6, 0.5, peer_ln_kappa)
        t_peer = (time.perf_counter() - t0) / len(peer)
        ours = np.log(rows[sub, 8])
        both = ~np.isnan(peer) & ~np.isnan(ours)
        worst = float(np.max(np.abs(ours[both] - peer[both]))) if both.any() else float("nan")
        report.check(NAME, f"ln T_c agrees with SciPy ({label})", bool(both.all() and worst < 1e-8),
                     f"{int(both.sum())} of {len(peer)} rows, max |d ln T_c| = {worst:.1e}")
        report.compare(NAME, f"per row, {label}", t_velmora / N_ROWS * 1e6, "NumPy/SciPy", t_peer * 1e6, "us",
                       TARGET_VS_SCIPY)

    # Threads split the rows; a named branch takes that branch's root in every
    # row, so the threaded profile equals the serial one whatever the split.
    c = _closure(M, es)
    times = h.interleaved_medians({
        "1": lambda: solve_profile(c, R, Sigma, Omega, threads=1, branch="hottest"),
        "2": lambda: solve_profile(c, R, Sigma, Omega, threads=2, branch="hottest"),
    }, repeats=7)
    two = solve_profile(c, R, Sigma, Omega, threads=2, branch="hottest")
    one = solve_profile(c, R, Sigma, Omega, threads=1, branch="hottest")
    same = bool(np.array_equal(two, one, equal_nan=True))
    report.check(NAME, "threads=2 equals threads=1", same, "bit for bit" if same else "results differ")
    report.compare(NAME, "profile of 1e5 rows, electron scattering", times["2"] * 1e3, "threads=1",
                   times["1"] * 1e3, "ms", TARGET_THREADS)


def main(report: h.Report) -> None:
    report.section("4. Disk closure: solve_profile vs NumPy/SciPy, threads=2 vs threads=1")
    solve_profile = getattr(importlib.import_module(MODULE), "solve_profile", None)
    if solve_profile is None:
        reason = f"{MODULE}.solve_profile is not there yet"
        report.skip(NAME, "solve_profile per row vs NumPy/SciPy brentq", reason)
        report.skip(NAME, "solve_profile threads=2 vs threads=1", reason)
        return
    measure(report, solve_profile)


if __name__ == "__main__":
    r = h.Report()
    h.print_machine()
    main(r)
    raise SystemExit(r.summary())
