"""Covering OPAL law: C_ExtendedOPALOpacity per point against the bare table
law it extends, and against rm-tables' own opacity function.

The table is the published set GS98hz at X = 0.7, Z = 0.02 (through
rm-tables; the shipped synthetic sample when rm-tables is missing), the law
the one velmora-disk builds by default (load_opal_set, extended, with the
low-temperature table beyond the cool edge). 10^6 seeded random points lie
inside the table, in cells whose four corners are tabulated.

Peers, per point:
- the bare table law C_OPALGridOpacity on the same arrays, log_opacity_array:
  inside, both do the same arithmetic; the covering law adds its test for
  holes, and skips the table law's dispatch through its operation table, its
  pending-exception test after the coordinate mapping and its clamp test, so
  it runs somewhat faster;
- rm_tables.opacity(X, Z, cold="ferguson")(T, rho), its compiled bilinear
  lookup (numba), against opacity_array (kappa in cm^2 g^-1) on the same
  points; only points at or above 10^4 K are used, where it reads the OPAL
  table alone.

Targets: within 1.3x of the bare table law; no slower than rm-tables. Checks:
the covering law equals the bare law bit for bit (values and both slopes) and
agrees with rm-tables to 1e-5 relative (its axes are float32, ours the
published nodes: a node off by 5e-8 dex in a cell 0.05 dex wide moves the
interpolation weight by 1e-6, times up to a few dex across the cell). For information, the covering law's cost beyond the table.
"""

from __future__ import annotations

import math

import numpy as np

import _harness as h

NAME = "covering OPAL law"
N_POINTS = 10**6
REPEATS = 7
SEED = 20260301
LN10 = math.log(10.0)
WITHIN_1_3X = h.Target(1.3, "within 1.3x (ratio <= 1.30)")


def points_in_finite_cells(table, rng, n, log10_T_min):
    """n points (ln T, ln rho) inside `table`, in cells with four tabulated corners."""
    g1, g2, lk = table.log10_T, table.log10_R, table.log10_kappa
    finite = np.isfinite(lk[:-1, :-1]) & np.isfinite(lk[1:, :-1]) & np.isfinite(lk[:-1, 1:]) & np.isfinite(lk[1:, 1:])
    x = np.empty(0)
    y = np.empty(0)
    while x.size < n:
        cx = rng.uniform(max(g1[0], log10_T_min), g1[-1], 2 * n)
        cy = rng.uniform(g2[0], g2[-1], 2 * n)
        i = np.clip(np.searchsorted(g1, cx, side="right") - 1, 0, len(g1) - 2)
        j = np.clip(np.searchsorted(g2, cy, side="right") - 1, 0, len(g2) - 2)
        keep = finite[i, j]
        x, y = np.concatenate([x, cx[keep]]), np.concatenate([y, cy[keep]])
    x, y = x[:n], y[:n]
    return x * LN10, (y + 3.0 * (x - 6.0)) * LN10


def main(report: h.Report) -> None:
    from velmora.radiation.opacity.grey_opacity import rosseland as ros
    from velmora.radiation.opacity.grey_opacity.rosseland._opal_grid import C_OPALGridOpacity

    report.section("2. Covering OPAL law: per point against the bare table law and rm-tables")
    try:
        import rm_tables
        table = ros.read_opal_set(0.7, 0.02)
        law = ros.load_opal_set(0.7, 0.02)
        source = "GS98hz at X = 0.7, Z = 0.02 (rm-tables), low-temperature table beyond the cool edge"
    except ImportError:
        rm_tables = None
        table = ros.read_opal(ros.sample_table_path())[0]
        law = ros.table_law(table, 0.7, 0.02, "extend")
        source = "the synthetic sample (rm-tables is not installed)"
    bare = C_OPALGridOpacity(table.log10_T, table.log10_R, table.log10_kappa, 2)
    rng = np.random.default_rng(SEED)
    log_T, log_rho = points_in_finite_cells(table, rng, N_POINTS, 0.0)
    report.note(f"table: {source}; {N_POINTS} random points in its finite cells, median of {REPEATS}, "
                "ns per point")

    for method in ("log_opacity_array", "dlogkappa_dlogrho_array", "dlogkappa_dlogT_array"):
        same = np.array_equal(getattr(law, method)(log_T, log_rho), getattr(bare, method)(log_T, log_rho))
        report.check(NAME, f"{method} == bare table law", same, "bit for bit" if same else "results differ")
    t = h.interleaved_medians({"covering": lambda: law.log_opacity_array(log_T, log_rho),
                               "bare": lambda: bare.log_opacity_array(log_T, log_rho)}, REPEATS)
    report.compare(NAME, "log_opacity_array", t["covering"] / N_POINTS * 1e9, "bare table law",
                   t["bare"] / N_POINTS * 1e9, "ns/pt", WITHIN_1_3X)

    # Beyond the table, for information: the blend zones and the physics alone.
    x = rng.uniform(table.log10_T[0] - 0.3, table.log10_T[-1] + 0.3, N_POINTS)
    y = rng.uniform(table.log10_R[0] - 3.0, table.log10_R[0], N_POINTS)
    out_T, out_rho = x * LN10, (y + 3.0 * (x - 6.0)) * LN10
    t_out = h.interleaved_medians({"outside": lambda: law.log_opacity_array(out_T, out_rho),
                                   "inside": lambda: law.log_opacity_array(log_T, log_rho)}, 3)
    report.note(f"(no target) beyond the table's low-density edge, within 3 dex: "
                f"{t_out['outside'] / N_POINTS * 1e9:.1f} ns/pt against {t_out['inside'] / N_POINTS * 1e9:.1f} "
                "inside")

    if rm_tables is None:
        report.skip(NAME, "opacity_array vs rm_tables.opacity", "rm-tables is not installed")
        return
    hot_T, hot_rho = points_in_finite_cells(table, rng, N_POINTS, 4.0)
    T, rho = np.exp(hot_T), np.exp(hot_rho)
    kappa = rm_tables.opacity(X=0.7, Z=0.02, cold="ferguson")
    mine = law.opacity_array(rho, T)
    theirs = np.asarray(kappa(T, rho))
    rel = float(np.max(np.abs(mine / theirs - 1.0)))
    report.check(NAME, "opacity_array ~ rm_tables.opacity", rel <= 1e-5,
                 f"max relative difference {rel:.1e} (bound 1e-05)")
    t = h.interleaved_medians({"velmora": lambda: law.opacity_array(rho, T), "rm": lambda: kappa(T, rho)},
                              REPEATS)
    report.compare(NAME, "opacity_array", t["velmora"] / N_POINTS * 1e9, "rm_tables.opacity",
                   t["rm"] / N_POINTS * 1e9, "ns/pt", h.NO_SLOWER)


if __name__ == "__main__":
    r = h.Report()
    h.print_machine()
    main(r)
    raise SystemExit(r.summary())
