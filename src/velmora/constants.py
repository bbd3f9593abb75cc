"""Physical and astronomical constants in cgs units.

The physical constants are the ones the compiled disk closure computes with
(CODATA 2018), read from the framework so that they are defined once:

- ``G_CGS`` [cm^3 g^-1 s^-2], ``C_CGS`` [cm s^-1], ``K_B_CGS`` [erg K^-1],
  ``M_P_CGS`` [g], ``SIGMA_SB_CGS`` [erg cm^-2 s^-1 K^-4],
  ``RAD_A_CGS`` [erg cm^-3 K^-4], ``KAPPA_ES`` [cm^2 g^-1] (the closure's
  electron-scattering opacity of its first guess, 0.34).

The astronomical ones are the IAU nominal solar values and the Julian year:
``M_SUN`` [g] (the nominal G M_sun, 1.3271244e26 cm^3 s^-2, over the CODATA
2014 G, 6.67408e-8: 1.988475e33 cut to six figures; over G_CGS it would be
1.98841e33), ``R_SUN`` [cm], ``DAY`` and ``YEAR`` [s].

Examples
--------
>>> from velmora import constants
>>> constants.G_CGS, constants.M_SUN
(6.6743e-08, 1.98847e+33)
>>> round(constants.G_CGS * 1e6 * constants.M_SUN / constants.C_CGS**2 / 1e11, 4)  # G M / c^2 of 1e6 M_sun
1.4767
"""

from __future__ import annotations

from velmora.dynamics.accretion.one_zone.closure import CONSTANTS as _FRAMEWORK

__all__ = ["C_CGS", "DAY", "G_CGS", "KAPPA_ES", "K_B_CGS", "M_P_CGS", "M_SUN", "RAD_A_CGS", "R_SUN",
           "SIGMA_SB_CGS", "YEAR"]

G_CGS: float = _FRAMEWORK["G_CGS"]
C_CGS: float = _FRAMEWORK["C_CGS"]
K_B_CGS: float = _FRAMEWORK["K_B_CGS"]
M_P_CGS: float = _FRAMEWORK["M_P_CGS"]
SIGMA_SB_CGS: float = _FRAMEWORK["SIGMA_SB_CGS"]
RAD_A_CGS: float = _FRAMEWORK["RAD_A_CGS"]
KAPPA_ES: float = _FRAMEWORK["KAPPA_ES"]

M_SUN: float = 1.98847e33
R_SUN: float = 6.957e10
DAY: float = 86400.0
YEAR: float = 365.25 * DAY
