#!/usr/bin/env python3
"""Write the synthetic sample opacity table shipped with velmora.

    python scripts/make_sample_opal_table.py [OUTPUT]

OUTPUT defaults to the package data file
src/velmora/radiation/opacity/grey_opacity/rosseland/data/sample_opal.txt.

The tables are NOT a real opacity tabulation: every entry comes from the
textbook analytic fits below (cgs; T in K, rho in g cm^-3, kappa in cm^2 g^-1),

    electron scattering  kappa_es = 0.2 (1 + X)
    Kramers free-free    kappa_ff = 3.68e22 (1 - Z) (1 + X) rho T^-3.5
    Kramers bound-free   kappa_bf = 4.34e25 Z (1 + X) rho T^-3.5
    H- (about 3e3-6e3 K) kappa_Hm = 2.5e-31 (Z / 0.02) rho^0.5 T^9

combined as 1/kappa = 1/kappa_Hm + 1/(kappa_es + kappa_ff + kappa_bf): H-
absorption limits the opacity in cool gas, where hydrogen is neutral and the
free electrons the other terms assume are missing.  No Klein-Nishina,
degeneracy, guillotine or Gaunt factors.

The layout is the plain-text OPAL one: a summary, then per table a header
line with X, Y, Z, a logR column line (-8.0 to +1.0 in steps of 0.5) and 70
rows of log10 T (3.75 to 6.00 by 0.05, to 8.10 by 0.1, to 8.70 by 0.2), each
holding log10 kappa to three decimals.  Entries with log10 rho > 6 are left
blank, as holes at the high-T, high-R corner of a real tabulation are; since
log10 rho grows along a row these blanks always end the row.

Output is deterministic (only float arithmetic and fixed formats), so the
shipped file can be checked by regenerating it.
"""

from __future__ import annotations

import math
import sys
from pathlib import Path

# (X, Z) per table.  Z = 0.001 rather than 0 for the metal-poor mixture: the
# H- fit scales with Z, and at Z = 0 the harmonic sum would be zero.
COMPOSITIONS = [(0.70, 0.02), (0.00, 0.02), (0.70, 0.001)]

# Standard grid in hundredths of a dex: 46 + 21 + 3 = 70 rows.
LOG10_T = [k / 100 for k in [*range(375, 601, 5), *range(610, 811, 10), 830, 850, 870]]
LOG10_R = [-8.0 + 0.5 * j for j in range(19)]

# Densities above this (log10 rho) are holes.
LOG10_RHO_MAX = 6.0

DEFAULT_OUTPUT = (Path(__file__).resolve().parents[1] / "src" / "velmora" / "radiation"
                  / "opacity" / "grey_opacity" / "rosseland" / "data" / "sample_opal.txt")


def kappa(X: float, Z: float, T: float, rho: float) -> float:
    """Combined analytic Rosseland mean, cm^2 g^-1."""
    k_es = 0.2 * (1.0 + X)
    k_ff = 3.68e22 * (1.0 - Z) * (1.0 + X) * rho * T**-3.5
    k_bf = 4.34e25 * Z * (1.0 + X) * rho * T**-3.5
    k_hm = 2.5e-31 * (Z / 0.02) * math.sqrt(rho) * T**9
    return 1.0 / (1.0 / k_hm + 1.0 / (k_es + k_ff + k_bf))


def table_rows(X: float, Z: float) -> list[str]:
    rows = []
    for lt in LOG10_T:
        T = 10.0**lt
        cells = []
        for lr in LOG10_R:
            log10_rho = lr + 3.0 * (lt - 6.0)
            if log10_rho > LOG10_RHO_MAX:
                break
            cells.append(f"{math.log10(kappa(X, Z, T, 10.0**log10_rho)):7.3f}")
        rows.append(f"{lt:5.2f} " + " ".join(cells))
    return rows


def render() -> str:
    out = [
        "SYNTHETIC Rosseland-mean opacity tables in the OPAL text layout.",
        "These numbers are NOT a real opacity tabulation: they are generated from",
        "analytic fits by scripts/make_sample_opal_table.py (velmora), cgs units:",
        "  kappa_es = 0.2 (1 + X)                        electron scattering",
        "  kappa_ff = 3.68e22 (1 - Z) (1 + X) rho T^-3.5  Kramers free-free",
        "  kappa_bf = 4.34e25 Z (1 + X) rho T^-3.5        Kramers bound-free",
        "  kappa_Hm = 2.5e-31 (Z / 0.02) rho^0.5 T^9      H- (about 3000-6000 K)",
        "  1/kappa = 1/kappa_Hm + 1/(kappa_es + kappa_ff + kappa_bf)",
        "Entries are log10 kappa (cm^2 g^-1); rows log10 T (K); columns log10 R,",
        "R = rho / T6^3, T6 = 1e-6 T.  Blank entries (log10 rho > 6) are holes.",
        "",
        "Summary of the tables in this file:",
    ]
    headers = []
    for number, (X, Z) in enumerate(COMPOSITIONS, start=1):
        headers.append(f"TABLE # {number:2d}   X={X:.4f} Y={1.0 - X - Z:.4f} Z={Z:.4f}")
        out.append(f"Table # {number:2d}   X={X:.4f} Y={1.0 - X - Z:.4f} Z={Z:.4f}")
    columns = "logR  " + " ".join(f"{lr:7.1f}" for lr in LOG10_R)
    for header, (X, Z) in zip(headers, COMPOSITIONS):
        out += ["", "*" * 80, header + "   synthetic, analytic fits", "", columns,
                "logT", *table_rows(X, Z)]
    return "\n".join(out) + "\n"


def main(argv: list[str]) -> int:
    if len(argv) > 2:
        print("usage: make_sample_opal_table.py [OUTPUT]", file=sys.stderr)
        return 2
    path = Path(argv[1]) if len(argv) == 2 else DEFAULT_OUTPUT
    path.parent.mkdir(parents=True, exist_ok=True)
    with open(path, "w", encoding="ascii", newline="\n") as f:
        f.write(render())
    return 0


if __name__ == "__main__":
    raise SystemExit(main(sys.argv))
