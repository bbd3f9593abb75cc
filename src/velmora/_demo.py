"""A short worked example: build a table opacity law and evaluate it.

The table is synthetic but physical: electron scattering plus Kramers'
free-free absorption, kappa = 0.2 (1 + X) + 3.7e22 (1 + X) (1 - Z) rho T^-3.5
(cm^2 g^-1), tabulated in the OPAL convention over log10 T and
log10 R = log10 rho - 3 log10 T6.
"""

from __future__ import annotations

import math

import numpy as np


def kramers_table(X: float = 0.7, Z: float = 0.02):
    """An OPAL-shaped table: 70 log10 T rows from 3.75 to 8.70, 19 log10 R
    columns from -8 to 1, entries log10 kappa."""
    log10_T = np.linspace(3.75, 8.70, 70)
    log10_R = np.linspace(-8.0, 1.0, 19)
    lt, lr = np.meshgrid(log10_T, log10_R, indexing="ij")
    log10_rho = lr + 3.0 * (lt - 6.0)
    kappa_es = 0.2 * (1.0 + X)
    kappa_ff = 3.7e22 * (1.0 + X) * (1.0 - Z) * 10.0**log10_rho * 10.0 ** (-3.5 * lt)
    return log10_T, log10_R, np.ascontiguousarray(np.log10(kappa_es + kappa_ff))


def main() -> int:
    from velmora.radiation.opacity.grey_opacity.rosseland._opal_grid import C_OPALGridOpacity

    g1, g2, lk = kramers_table()
    law = C_OPALGridOpacity(g1, g2, lk, 2)  # oob = 2: NaN outside the table
    print("velmora: grey Rosseland opacity from a 70 x 19 OPAL-format table")
    print(f"{'T [K]':>10} {'rho [g cm^-3]':>14} {'kappa [cm^2 g^-1]':>18} "
          f"{'dlnk/dlnrho':>12} {'dlnk/dlnT':>10}")
    for T, rho in [(1e4, 1e-9), (1e5, 1e-6), (1e6, 1e-3), (1e7, 1.0), (1e8, 1e-2)]:
        lnT, lnrho = math.log(T), math.log(rho)
        print(f"{T:10.3g} {rho:14.3g} {law.opacity(rho, T):18.6g} "
              f"{law.dlogkappa_dlogrho(lnT, lnrho):12.4f} {law.dlogkappa_dlogT(lnT, lnrho):10.4f}")
    # Along the line log10 R = -4 of the table, vectorised.
    T = np.logspace(4.0, 8.0, 5)
    rho = 1e-4 * (T / 1e6) ** 3
    print("T   [K]          :", np.array2string(T, precision=3))
    print("kappa, log10 R=-4:", np.array2string(law.opacity_array(rho, T), precision=4))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
