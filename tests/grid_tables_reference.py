"""Pure-Python reference of the two table opacity laws, step by step in the
same order of floating-point operations, for exact comparison.

A point's outcome is ("value", float) or (exception type, message)."""

import math

import numpy as np

from velmora.radiation.opacity.grey_opacity import _tops_grid
from velmora.radiation.opacity.grey_opacity.rosseland import _opal_grid

LN10 = math.log(10.0)
NAN = float("nan")

OPAL = dict(cls=_opal_grid.C_OPALGridOpacity, opal=True, label="log10_g2",
            prefix="velmora.radiation.opacity.grey_opacity.rosseland._opal_grid.C_OPALGridOpacity")
TOPS = dict(cls=_tops_grid.C_TOPSGridOpacity, opal=False, label="log10_rho",
            prefix="velmora.radiation.opacity.grey_opacity._tops_grid.C_TOPSGridOpacity")
LAWS = {"opal": OPAL, "tops": TOPS}


def c_log(v):
    if v == 0.0:
        return -math.inf
    return math.log(v) if v > 0.0 else NAN


def c_exp(v):
    try:
        return math.exp(v)
    except OverflowError:
        return math.inf


def bisect(grid, n, x):
    if n - 2 <= 0:
        return 0
    lo, hi = 0, n - 1
    while lo < hi - 1:
        mid = (lo + hi) // 2
        if x >= grid[mid]:
            lo = mid
        else:
            hi = mid
    return lo


class Reference:
    def __init__(self, law, g1, g2, lk, oob):
        self.opal, self.label, self.oob = law["opal"], law["label"], oob
        self.g1 = [float(v) for v in g1]
        self.g2 = [float(v) for v in g2]
        self.n1, self.n2 = len(self.g1), len(self.g2)
        self.lk = [[float(v) for v in row[: self.n2]] for row in np.asarray(lk)[: self.n1]]

    def coords(self, log_T, log_rho):
        x = log_T / LN10
        y = log_rho / LN10 - (x - 6.0) * 3.0 if self.opal else log_rho / LN10
        return x, y

    def find_cell(self, x, y):
        g1, g2 = self.g1, self.g2
        if x < g1[0] - 1e-9 or x > g1[-1] + 1e-9 or y < g2[0] - 1e-9 or y > g2[-1] + 1e-9:
            return 1, 0, 0
        return 0, min(bisect(g1, self.n1, x), self.n1 - 2), min(bisect(g2, self.n2, y), self.n2 - 2)

    def corners(self, i, j):
        lk = self.lk
        return lk[i][j], lk[i + 1][j], lk[i][j + 1], lk[i + 1][j + 1]

    def widths(self, i, j):
        return self.g1[i + 1] - self.g1[i], self.g2[j + 1] - self.g2[j]

    def interp(self, x, y, i, j):
        f00, f10, f01, f11 = self.corners(i, j)
        if any(math.isnan(f) for f in (f00, f10, f01, f11)):
            return NAN
        dx, dy = self.widths(i, j)
        if dx == 0.0:
            raise ZeroDivisionError("float division")
        t = (x - self.g1[i]) / dx
        if dy == 0.0:
            raise ZeroDivisionError("float division")
        u = (y - self.g2[j]) / dy
        return ((1 - t) * f00) * (1 - u) + (t * f10) * (1 - u) + ((1 - t) * f01) * u + (t * f11) * u

    def nearest_finite(self, i0, j0):
        for d in range(self.n1 + self.n2):
            for ii in range(max(i0 - d, 0), min(i0 + d, self.n1 - 1) + 1):
                for jj in range(max(j0 - d, 0), min(j0 + d, self.n2 - 1) + 1):
                    if (abs(ii - i0) == d or abs(jj - j0) == d) and not math.isnan(self.lk[ii][jj]):
                        return self.lk[ii][jj]
        return NAN

    def handle_oob(self, x, y):
        if self.oob == 1:
            i = min(bisect(self.g1, self.n1, x), self.n1 - 2)
            j = min(bisect(self.g2, self.n2, y), self.n2 - 2)
            return self.nearest_finite(i, j)
        if self.oob == 2:
            return NAN
        g1, g2 = self.g1, self.g2
        raise ValueError(f"(log10_T={x:.3f}, {self.label}={y:.3f}) is outside the table domain "
                         f"[{g1[0]:.2f}, {g1[-1]:.2f}] x [{g2[0]:.2f}, {g2[-1]:.2f}].")

    def log_opacity(self, log_T, log_rho):
        x, y = self.coords(log_T, log_rho)
        outside, i, j = self.find_cell(x, y)
        if outside:
            return self.handle_oob(x, y) * LN10
        v = self.interp(x, y, i, j)
        if math.isnan(v) and self.oob == 1:
            v = self.nearest_finite(i, j)
        return v * LN10

    def opacity(self, rho, T):
        return c_exp(self.log_opacity(c_log(T), c_log(rho)))

    def give_up(self):
        return NAN if self.oob == 2 else 0.0

    def locate(self, log_T, log_rho):
        x, y = self.coords(log_T, log_rho)
        return (x, y) + self.find_cell(x, y)

    def slope_second_axis(self, x, i, j):
        """(kB - kA) / dy at fixed T, or None where a NaN corner enters."""
        f00, f10, f01, f11 = self.corners(i, j)
        dx, dy = self.widths(i, j)
        if dx == 0.0:
            raise ZeroDivisionError("float division")
        t = (x - self.g1[i]) / dx
        kA = t * f10 + (1 - t) * f00
        kB = t * f11 + (1 - t) * f01
        if math.isnan(kA) or math.isnan(kB):
            return None
        if dy == 0.0:
            raise ZeroDivisionError("float division")
        return (kB - kA) / dy

    def dlogkappa_dlogrho(self, log_T, log_rho):
        x, y, outside, i, j = self.locate(log_T, log_rho)
        s = None if outside else self.slope_second_axis(x, i, j)
        return self.give_up() if s is None else s

    def dlogkappa_dlogT(self, log_T, log_rho):
        x, y, outside, i, j = self.locate(log_T, log_rho)
        if outside:
            return self.give_up()
        f00, f10, f01, f11 = self.corners(i, j)
        dx, dy = self.widths(i, j)
        if dy == 0.0:
            raise ZeroDivisionError("float division")
        u = (y - self.g2[j]) / dy
        kLo = f01 * u + f00 * (1 - u)
        kHi = f11 * u + f10 * (1 - u)
        if math.isnan(kLo) or math.isnan(kHi):
            return self.give_up()
        if dx == 0.0:
            raise ZeroDivisionError("float division")
        sT = (kHi - kLo) / dx
        if not self.opal:
            return sT
        s = self.slope_second_axis(x, i, j)
        return self.give_up() if s is None else sT - s * 3.0


def outcome(fn, *args):
    try:
        return ("value", fn(*args))
    except (ValueError, ZeroDivisionError) as exc:
        return (type(exc), str(exc))


def same(a, b):
    """Outcomes equal to the bit, every NaN counted as equal."""
    if a[0] != "value" or b[0] != "value":
        return a == b
    x, y = a[1], b[1]
    if math.isnan(x) or math.isnan(y):
        return math.isnan(x) and math.isnan(y)
    return x == y and math.copysign(1.0, x) == math.copysign(1.0, y)


def random_table(seed, n1=9, n2=11, holes=0.15):
    rng = np.random.default_rng(seed)
    g1 = 3.5 + np.cumsum(rng.uniform(0.05, 0.6, n1))
    g2 = -8.5 + np.cumsum(rng.uniform(0.1, 1.2, n2))
    lk = rng.uniform(-3.0, 5.0, (n1, n2))
    lk[rng.random((n1, n2)) < holes] = np.nan
    return g1, g2, lk


def logs_for(law, x, y):
    """(log_T, log_rho) whose table coordinates are close to (x, y)."""
    log_T = x * LN10
    return log_T, ((y + (x - 6.0) * 3.0) if law["opal"] else y) * LN10
