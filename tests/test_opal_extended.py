"""The covering OPAL law: the table law inside, a continuous physical extension
outside the table and in its holes, the physical limits far away, and its
slots called without the interpreter lock."""

import ctypes
import math
import pickle
from pathlib import Path

import numpy as np
import pytest

from capi_helpers import frame_names, slot, vtable_address
from velmora.radiation.opacity import ElectronScatteringOpacity
from velmora.radiation.opacity.grey_opacity.rosseland import read_opal, sample_table_path, table_law
from velmora.radiation.opacity.grey_opacity.rosseland._opal_extended import C_ExtendedOPALOpacity
from velmora.radiation.opacity.grey_opacity.rosseland._opal_grid import C_OPALGridOpacity

LN10 = math.log(10.0)
PUBLISHED = Path(__file__).parent / "data" / "opal_published_layout.txt"
# Tables with holes at both ends of rows and inside them, and the full sample.
TABLES = [*read_opal(PUBLISHED), read_opal(sample_table_path())[0]]
IDS = [f"published-{t.number}" for t in TABLES[:-1]] + ["sample"]
Q = "velmora.radiation.opacity.grey_opacity.rosseland._opal_extended.C_ExtendedOPALOpacity."


def logs(x, y):
    """(ln T, ln rho) of table coordinates x = log10 T, y = log10 R."""
    return x * LN10, (y + 3.0 * (x - 6.0)) * LN10


def extended(t, **kw):
    return C_ExtendedOPALOpacity(t.log10_T, t.log10_R, t.log10_kappa, t.X, t.Z, **kw)


def evaluate(law, log_T, log_rho):
    log_T, log_rho = np.broadcast_arrays(np.asarray(log_T, float), np.asarray(log_rho, float))
    log_T, log_rho = np.ascontiguousarray(log_T), np.ascontiguousarray(log_rho)
    return (law.log_opacity_array(log_T, log_rho), law.dlogkappa_dlogrho_array(log_T, log_rho),
            law.dlogkappa_dlogT_array(log_T, log_rho))


@pytest.mark.parametrize("t", TABLES, ids=IDS)
def test_inside_the_finite_cells_it_is_the_table_law_bit_for_bit(t):
    law = extended(t)
    bare = C_OPALGridOpacity(t.log10_T, t.log10_R, t.log10_kappa, 2)
    rng = np.random.default_rng(7)
    x = rng.uniform(t.log10_T[0], t.log10_T[-1], 20000)
    y = rng.uniform(t.log10_R[0], t.log10_R[-1], 20000)
    # and the nodes themselves, where the cell search decides
    gx, gy = np.meshgrid(t.log10_T, t.log10_R, indexing="ij")
    log_T, log_rho = logs(np.concatenate([x, gx.ravel()]), np.concatenate([y, gy.ravel()]))
    mine, table = evaluate(law, log_T, log_rho), evaluate(bare, log_T, log_rho)
    inside = np.isfinite(table[0])
    assert 0.5 < inside.mean() < 1.0
    for a, b in zip(mine, table):
        assert np.array_equal(a[inside], b[inside])
    assert [law.in_table(math.exp(r), math.exp(T)) for T, r in zip(log_T[:500], log_rho[:500])] == \
        inside[:500].tolist()
    # Holes get finite values from the extension instead.
    assert all(np.isfinite(a).all() for a in mine)


def one_sided_limits(law, log_T, log_rho, direction, h=1e-8):
    """ln kappa at a point, extrapolated linearly from each side along
    `direction` ("T" at fixed rho, "rho" at fixed T, or "x" along log10 T at
    fixed log10 R) with that side's own slope; and the two slopes."""
    def at(s):
        dT, drho = {"T": (s, 0.0), "rho": (0.0, s), "x": (s, 3.0 * s)}[direction]
        v, d_rho, d_T = (float(a[0]) for a in evaluate(law, [log_T + dT], [log_rho + drho]))
        slope = {"T": d_T, "rho": d_rho, "x": d_T + 3.0 * d_rho}[direction]
        return v, slope
    (v_lo, s_lo), (v_hi, s_hi) = at(-h), at(h)
    return v_lo + h * s_lo, v_hi - h * s_hi, s_lo, s_hi


@pytest.mark.parametrize("t", TABLES, ids=IDS)
def test_continuous_across_every_edge_of_the_table_in_value_and_slope(t):
    law = extended(t)
    rng = np.random.default_rng(11)
    (x0, x1), (y0, y1) = t.log10_T[[0, -1]], t.log10_R[[0, -1]]
    crossings = [(x, y, "rho") for x in rng.uniform(x0, x1, 40) for y in (y0, y1)]
    crossings += [(x, y, "T") for y in rng.uniform(y0 + 0.1, y1 - 0.1, 40) for x in (x0, x1)]
    for x, y, direction in crossings:
        # the point on the edge, reached at fixed T or at fixed rho
        log_T, log_rho = logs(x, y)
        left, right, s_left, s_right = one_sided_limits(law, log_T, log_rho, direction)
        assert abs(left - right) / LN10 < 1e-12, (x, y, direction)
        # The slopes on the two sides close in on each other as h shrinks
        # (their difference is the curvature times h); a jump would stay.
        _, _, s_left_far, s_right_far = one_sided_limits(law, log_T, log_rho, direction, h=1e-5)
        assert abs(s_left - s_right) <= 0.02 * abs(s_left_far - s_right_far) + 1e-12, (x, y, direction)


@pytest.mark.parametrize("t", TABLES, ids=IDS)
def test_continuous_across_every_grid_line_holes_included(t):
    law = extended(t)
    rng = np.random.default_rng(5)
    for j in range(1, len(t.log10_R) - 1):                   # lines of constant log10 R
        for x in rng.uniform(t.log10_T[0], t.log10_T[-1], 8):
            left, right, _, _ = one_sided_limits(law, *logs(x, t.log10_R[j]), "rho")
            assert abs(left - right) / LN10 < 1e-12, (x, t.log10_R[j])
    for i in range(1, len(t.log10_T) - 1):                   # lines of constant log10 T
        for y in rng.uniform(t.log10_R[0], t.log10_R[-1], 8):
            left, right, _, _ = one_sided_limits(law, *logs(t.log10_T[i], y), "x")
            assert abs(left - right) / LN10 < 1e-12, (t.log10_T[i], y)


def ionised_kappa(X, Z, T, rho):
    return 0.2 * (1.0 + X) + 3.68e22 * (1.0 - Z) * (1.0 + X) * rho * T**-3.5


@pytest.mark.parametrize("t", TABLES[:2] + TABLES[-1:], ids=IDS[:2] + IDS[-1:])
def test_far_outside_it_is_a_fully_ionised_gas(t):
    law = extended(t)
    X, Z = t.X, t.Z
    # Hot and thin: electron scattering.
    for T, rho in [(1e10, 1e-10), (1e12, 1e-3), (3e9, 1e-20)]:
        assert law.opacity(rho, T) == pytest.approx(0.2 * (1.0 + X), rel=1e-12)
        assert abs(law.dlogkappa_dlogrho(math.log(T), math.log(rho))) < 1e-12
    # Below the table's log10 R range: Kramers free-free on top of scattering,
    # kappa - kappa_es proportional to rho T^-3.5.
    excess = []
    for log10_T, log10_R in [(4.2, -11.0), (4.2, -13.0), (5.5, -11.0), (7.0, -12.0), (3.0, -10.0)]:
        T = 10.0**log10_T
        rho = 10.0 ** (log10_R + 3.0 * (log10_T - 6.0))
        kappa = law.opacity(rho, T)
        assert kappa == pytest.approx(ionised_kappa(X, Z, T, rho), rel=1e-13)
        excess.append((kappa - 0.2 * (1.0 + X)) / (rho * T**-3.5))
    np.testing.assert_allclose(excess, 3.68e22 * (1.0 - Z) * (1.0 + X), rtol=1e-6)


@pytest.mark.parametrize("t", TABLES, ids=IDS)
def test_slopes_outside_are_those_of_its_values(t):
    law = extended(t)
    rng = np.random.default_rng(3)
    # Points in the blend zones beyond every edge and corner, and farther out.
    x = np.concatenate([rng.uniform(t.log10_T[0] - 0.3, t.log10_T[-1] + 0.3, 300),
                        rng.uniform(t.log10_T[0], t.log10_T[-1], 100)])
    y = np.concatenate([rng.uniform(t.log10_R[0] - 2.5, t.log10_R[-1] + 2.5, 300),
                        rng.choice([t.log10_R[0] - 0.4, t.log10_R[-1] + 0.6], 100)])
    log_T, log_rho = logs(x, y)
    _, d_rho, d_T = evaluate(law, log_T, log_rho)
    h = 1e-6
    fd_rho = (evaluate(law, log_T, log_rho + h)[0] - evaluate(law, log_T, log_rho - h)[0]) / (2 * h)
    fd_T = (evaluate(law, log_T + h, log_rho)[0] - evaluate(law, log_T - h, log_rho)[0]) / (2 * h)
    outside = np.array([not law.in_table(math.exp(r), math.exp(T)) for T, r in zip(log_T, log_rho)])
    assert outside.sum() > 200
    np.testing.assert_allclose(d_rho[outside], fd_rho[outside], rtol=1e-6, atol=1e-6)
    np.testing.assert_allclose(d_T[outside], fd_T[outside], rtol=1e-6, atol=1e-6)


def test_a_cold_law_takes_over_beyond_the_table():
    hot = TABLES[0]
    cold = ElectronScatteringOpacity(0.3)           # any grey law will do
    law = extended(hot, cold=cold)
    assert law.cold is cold and extended(hot).cold is None
    log_T, log_rho = logs(hot.log10_T[0] - 0.2, -3.0)   # beyond the decay length in T
    assert law.log_opacity(log_T, log_rho) == cold.log_opacity(log_T, log_rho)
    # inside, the table; in the blend, continuous with it
    inside = logs(hot.log10_T[5] + 0.01, -3.0)
    assert law.log_opacity(*inside) == extended(hot).log_opacity(*inside)
    left, right, _, _ = one_sided_limits(law, *logs(hot.log10_T[0], -3.0), "T")
    assert abs(left - right) / LN10 < 1e-12


def test_a_hole_the_cold_law_leaves_nan_is_nan_as_beyond_the_edge():
    # A cold law that gives NaN everywhere here (its own table lies far away):
    # the filled node is NaN, and so is every cell that uses it.
    g1, g2 = np.array([4.0, 4.5, 5.0]), np.array([-3.0, -2.0, -1.0])
    lk = np.ones((3, 3))
    lk[1, 1] = np.nan
    cold = C_OPALGridOpacity(np.array([7.0, 8.0]), np.array([3.0, 4.0]), np.zeros((2, 2)), 2)
    law = C_ExtendedOPALOpacity(g1, g2, lk, 0.7, 0.02, cold=cold)
    log_T, log_rho = logs(np.array([4.2, 4.2, 4.7, 4.7, 3.95]), np.array([-2.6, -1.4, -2.6, -1.4, -2.5]))
    # the four cells, and just beyond the edge
    assert np.isnan(evaluate(law, log_T, log_rho)).all()
    assert np.isnan(law.opacity_array(np.exp(log_rho), np.exp(log_T))).all()
    assert not any(law.in_table(math.exp(r), math.exp(T)) for T, r in zip(log_T, log_rho))


def test_a_hole_beyond_the_decay_length_takes_the_physics_alone():
    # The cold law covers only the hole's node: the offsets of its neighbours
    # are NaN, but they lie a decay length or more away and must not count.
    g1, g2 = np.array([4.0, 4.5, 5.0]), np.array([-3.0, -2.0, -1.0])
    lk = np.ones((3, 3))
    lk[1, 1] = np.nan
    cold = C_OPALGridOpacity(np.array([4.4, 4.6]), np.array([-2.2, -1.8]), np.full((2, 2), 0.5), 2)
    law = C_ExtendedOPALOpacity(g1, g2, lk, 0.7, 0.02, cold=cold)
    node = logs(4.5, -2.0)
    assert law.log_opacity(*node) == pytest.approx(cold.log_opacity(*node), rel=1e-14)


def test_a_failing_cold_law_fails_the_slot_with_its_traceback_entry_without_the_lock():
    t = TABLES[0]
    cold = C_OPALGridOpacity(t.log10_T, t.log10_R, t.log10_kappa, 0)   # raises outside
    law = extended(t, cold=cold)
    with pytest.raises(ValueError, match="outside the table domain") as e:
        law.log_opacity(*logs(9.5, 0.0))
    names = frame_names(e.value)
    assert Q + "_log_opacity" in names
    assert names[-1].endswith("C_OPALGridOpacity._handle_oob")     # the cold law's own entries
    # Slot 1 through a prototype that releases the lock: the closure's call.
    released = ctypes.CFUNCTYPE(ctypes.c_double, ctypes.py_object, ctypes.c_double, ctypes.c_double)
    fn = slot(vtable_address(C_ExtendedOPALOpacity), 1, released)
    plain = extended(t)
    point = logs(9.5, -9.5)
    assert fn(plain, *point) == plain.log_opacity(*point)
    with pytest.raises(SystemError) as e:
        fn(law, *point)
    assert isinstance(e.value.__cause__, ValueError)


@pytest.mark.parametrize("change, error, fragment", [
    ({"g1": np.array([3.0, 3.0, 4.0])}, ValueError, "grid 'g1' must be finite and strictly increasing"),
    ({"g2": np.array([0.0, np.nan])}, ValueError, "grid 'g2' must be finite and strictly increasing"),
    ({"lk": np.full((3, 2), np.nan)}, ValueError, "holds no finite entry"),
    ({"lk": np.array([[1.0, np.inf], [1.0, 1.0], [1.0, 1.0]])}, ValueError, "holds inf at (0, 1)"),
    ({"X": 0.9, "Z": 0.2}, ValueError, "X + Z must be at most 1"),
    ({"X": -0.1}, ValueError, "X must be finite and between 0 and 1"),
    ({"cold": 1.0}, TypeError, "cold must be a C_GreyKappaCore instance or None, not float"),
    ({"decay_R": 0.0}, ValueError, "decay_R must be positive and finite"),
])
def test_construction_refuses_what_it_cannot_extend(change, error, fragment):
    args = {"g1": np.array([3.0, 3.5, 4.0]), "g2": np.array([-1.0, 0.0]),
            "lk": np.zeros((3, 2)), "X": 0.7, "Z": 0.02} | change
    with pytest.raises(error) as e:
        C_ExtendedOPALOpacity(**args)
    assert fragment in str(e.value)


def test_the_law_copies_its_table_and_refuses_pickling():
    t = TABLES[-1]
    lk = t.log10_kappa.copy()
    law = C_ExtendedOPALOpacity(t.log10_T, t.log10_R, lk, t.X, t.Z)
    point = logs(5.0, -3.0)
    before = law.log_opacity(*point)
    lk[:] = 0.0
    assert law.log_opacity(*point) == before
    with pytest.raises(TypeError, match="no default __reduce__"):
        pickle.dumps(law)


def test_table_law_chooses_by_mode():
    t = TABLES[-1]
    assert isinstance(table_law(t, 0.7, 0.02), C_ExtendedOPALOpacity)
    for mode, number in [("raise", 0), ("clamp", 1), ("nan", 2), (1, 1)]:
        law = table_law(t, 0.7, 0.02, mode)
        assert type(law) is C_OPALGridOpacity
        beyond = logs(9.0, 0.0)
        if number == 0:
            with pytest.raises(ValueError, match="outside the table domain"):
                law.log_opacity(*beyond)
        elif number == 2:
            assert math.isnan(law.log_opacity(*beyond))
    with pytest.raises(ValueError, match="oob must be one of 'raise', 'clamp', 'nan', 'extend'"):
        table_law(t, 0.7, 0.02, "wrap")
