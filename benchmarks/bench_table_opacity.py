"""Table opacity: the _array methods of C_OPALGridOpacity and C_TOPSGridOpacity
against SciPy's RegularGridInterpolator and against the bare kernel.

The table has the OPAL shape (70 log10 T rows from 3.75 to 8.70, 19 columns:
log10 R from -8 to 1 for OPAL, log10 rho from -14 to 4 for TOPS) and holds
electron scattering plus Kramers' free-free opacity. 10^6 seeded random
points lie inside it.

Peers, per point:
- RegularGridInterpolator, given the points already in table coordinates
  (x = log10 T, y = log10 R or log10 rho, computed from the same points): only
  its call is timed, plus the conversion of its result to the method's
  quantity (times ln 10, or exp of that). Values: method="linear";
  derivatives: method="slinear" with nu, since "linear" computes none (the
  OPAL temperature derivative takes two calls, d/dx - 3 d/dy).
- The bare kernel (table_kernel.cpp): the same numerical core in a plain loop
  without operation-table dispatch or exception tests, the limit for this work.

Targets: at least 2x faster than RegularGridInterpolator; within 1.5x of the
bare kernel. Checks: velmora equals the bare kernel exactly and agrees with
RegularGridInterpolator to 1e-12 relative (slopes: 1e-10).
"""

from __future__ import annotations

import ctypes
import math

import numpy as np

import _harness as h

NAME = "table opacity"
N_POINTS = 10**6
REPEATS = 7
SEED = 20240611
LN10 = math.log(10.0)


class PlainTable(ctypes.Structure):
    _fields_ = [("g1", ctypes.c_void_p), ("g2", ctypes.c_void_p), ("lk", ctypes.c_void_p),
                ("row_items", ctypes.c_longlong), ("n1", ctypes.c_int), ("n2", ctypes.c_int),
                ("ln10", ctypes.c_double)]


def kramers_log10_kappa(log10_T, log10_rho, X=0.7, Z=0.02):
    kappa = 0.2 * (1.0 + X) + 3.7e22 * (1.0 + X) * (1.0 - Z) * 10.0**log10_rho * 10.0 ** (-3.5 * log10_T)
    return np.log10(kappa)


def make_table(opal: bool):
    g1 = np.linspace(3.75, 8.70, 70)
    g2 = np.linspace(-8.0, 1.0, 19) if opal else np.linspace(-14.0, 4.0, 19)
    lt, l2 = np.meshgrid(g1, g2, indexing="ij")
    log10_rho = l2 + 3.0 * (lt - 6.0) if opal else l2
    return g1, g2, np.ascontiguousarray(kramers_log10_kappa(lt, log10_rho))


def table_coordinates(opal: bool, log_T, log_rho):
    """x, y as the laws compute them (the same IEEE operations)."""
    x = log_T / LN10
    y = log_rho / LN10 - (x - 6.0) * 3.0 if opal else log_rho / LN10
    return x, y


# Values agree to 1e-12 relative. A slope is a difference quotient of table
# values, so its rounding error relative to its size is larger by about
# |log10 kappa| / (|slope| x cell width): slopes agree to 1e-10.
VALUE_BOUND = 1e-12
SLOPE_BOUND = 1e-10


def relative_difference(a, b):
    """max |a - b| / |b|, with |b| floored at 1e-3 of the largest |b| so that
    values crossing zero do not dominate."""
    scale = np.maximum(np.abs(b), 1e-3 * np.max(np.abs(b)))
    return float(np.max(np.abs(a - b) / scale))


def bench_law(report, kernel, label, cls, opal):
    from scipy.interpolate import RegularGridInterpolator

    g1, g2, lk = make_table(opal)
    law = cls(g1, g2, lk, 0)
    rng = np.random.default_rng(SEED)
    x = rng.uniform(g1[0], g1[-1], N_POINTS)
    y = rng.uniform(g2[0], g2[-1], N_POINTS)
    log10_rho = y + 3.0 * (x - 6.0) if opal else y
    log_T, log_rho = x * LN10, log10_rho * LN10
    T, rho = np.exp(log_T), np.exp(log_rho)
    # The points as the laws see them, in table coordinates, for the peer.
    tx, ty = table_coordinates(opal, log_T, log_rho)
    xi = np.column_stack([tx, ty])
    xi_opacity = np.column_stack(table_coordinates(opal, np.log(T), np.log(rho)))

    plain = PlainTable(g1.ctypes.data, g2.ctypes.data, lk.ctypes.data, lk.strides[0] // 8,
                       len(g1), len(g2), LN10)
    fn = kernel.bare_table_kernel
    fn.restype = ctypes.c_int
    fn.argtypes = [ctypes.POINTER(PlainTable), ctypes.c_int, ctypes.c_int] + [ctypes.c_void_p] * 3 + [ctypes.c_int]

    def bare(method, a, b):
        out = np.empty(N_POINTS)
        if fn(ctypes.byref(plain), 0 if opal else 1, method, a.ctypes.data, b.ctypes.data, out.ctypes.data,
              N_POINTS) != 0:
            raise RuntimeError("bare kernel refused its arguments")
        return out

    linear = RegularGridInterpolator((g1, g2), lk, method="linear", bounds_error=False, fill_value=None)
    slinear = RegularGridInterpolator((g1, g2), lk, method="slinear", bounds_error=False, fill_value=None)

    def own_coordinates():
        """kappa(rho, T) with RGI, converting (rho, T) to table coordinates itself."""
        x10 = np.log10(T)
        y10 = np.log10(rho) - (x10 - 6.0) * 3.0 if opal else np.log10(rho)
        return 10.0 ** linear(np.column_stack([x10, y10]))

    # (method, index in the bare kernel, inputs, peer, peer's name, agreement bound)
    cases = [
        ("opacity_array", 0, rho, T, lambda: np.exp(linear(xi_opacity) * LN10), "RGI linear", VALUE_BOUND),
        ("log_opacity_array", 1, log_T, log_rho, lambda: linear(xi) * LN10, "RGI linear", VALUE_BOUND),
        ("dlogkappa_dlogrho_array", 2, log_T, log_rho, lambda: slinear(xi, nu=(0, 1)), "RGI slinear", SLOPE_BOUND),
        ("dlogkappa_dlogT_array", 3, log_T, log_rho,
         (lambda: slinear(xi, nu=(1, 0)) - 3.0 * slinear(xi, nu=(0, 1))) if opal
         else (lambda: slinear(xi, nu=(1, 0))), "RGI slinear", SLOPE_BOUND),
    ]
    report.note(f"{label}: table 70 x 19, {N_POINTS} random points inside, median of {REPEATS}, ns per point")
    for method_name, method, a, b, peer, peer_name, bound_rel in cases:
        method_fn = getattr(law, method_name)
        got = method_fn(a, b)
        same = np.array_equal(got, bare(method, a, b), equal_nan=True)
        report.check(NAME, f"{label}.{method_name} == bare kernel", same,
                     "bit for bit" if same else "results differ")
        rel = relative_difference(got, peer())
        report.check(NAME, f"{label}.{method_name} ~ {peer_name}", rel <= bound_rel,
                     f"max relative difference {rel:.1e} (bound {bound_rel:.0e})")
        candidates = {"velmora": lambda: method_fn(a, b), "peer": peer, "bare": lambda: bare(method, a, b)}
        if method == 0:
            candidates["own"] = own_coordinates
        t = h.interleaved_medians(candidates, REPEATS)
        ns = {k: v / N_POINTS * 1e9 for k, v in t.items()}
        report.compare(NAME, f"{label}.{method_name}", ns["velmora"], peer_name, ns["peer"], "ns/pt", h.FASTER_2X)
        report.compare(NAME, f"{label}.{method_name}", ns["velmora"], "bare kernel", ns["bare"], "ns/pt",
                       h.WITHIN_1_5X)
        if "own" in ns:
            report.note(f"  (for comparison, no target: RGI converting (rho, T) itself with np.log10 and 10**: "
                        f"{ns['own']:.2f} ns/pt, ratio {ns['velmora'] / ns['own']:.2f})")


def main(report: h.Report) -> None:
    from velmora.radiation.opacity.grey_opacity._tops_grid import C_TOPSGridOpacity
    from velmora.radiation.opacity.grey_opacity.rosseland._opal_grid import C_OPALGridOpacity

    report.section("1. Table opacity: _array methods vs RegularGridInterpolator and the bare kernel")
    kernel = h.load_harness("table_kernel")
    bench_law(report, kernel, "C_OPALGridOpacity", C_OPALGridOpacity, True)
    bench_law(report, kernel, "C_TOPSGridOpacity", C_TOPSGridOpacity, False)


if __name__ == "__main__":
    r = h.Report()
    h.print_machine()
    main(r)
    raise SystemExit(r.summary())
