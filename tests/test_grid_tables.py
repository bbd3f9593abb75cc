"""Table opacity laws against the pure-Python reference: values, derivatives,
out-of-bounds modes, holes, ties at nodes, live views."""

import math

import numpy as np
import pytest

from capi_helpers import frame_names
from grid_tables_reference import LAWS, LN10, NAN, Reference, logs_for, outcome, random_table, same

MODES = [0, 1, 2, 7]
METHODS = ["log_opacity", "dlogkappa_dlogrho", "dlogkappa_dlogT"]


def exact_logs(law, x, y):
    """(log_T, log_rho) mapping exactly onto (x, y), searched a few ulps around
    the nearest guess; None where no such pair exists."""
    ref = Reference(law, [0.0, 1.0], [0.0, 1.0], np.zeros((2, 2)), 0)
    lt0, lr0 = logs_for(law, x, y)
    for lt in _near(lt0):
        for lr in _near(lr0):
            if ref.coords(lt, lr) == (x, y):
                return lt, lr
    return None


def _near(v, k=6):
    out = [v]
    lo = hi = v
    for _ in range(k):
        lo, hi = math.nextafter(lo, -math.inf), math.nextafter(hi, math.inf)
        out += [lo, hi]
    return out


def sample_points(law, g1, g2, rng):
    xs = [rng.uniform(g1[0], g1[-1]) for _ in range(40)]
    ys = [rng.uniform(g2[0], g2[-1]) for _ in range(40)]
    pts = [logs_for(law, x, y) for x, y in zip(xs, ys)]
    # nodes, exactly where the mapping allows it
    for x in g1:
        for y in g2[::3]:
            p = exact_logs(law, float(x), float(y))
            if p:
                pts.append(p)
    # within the 1e-9 tolerance outside, and clearly outside
    for dx, dy in [(-5e-10, 0), (5e-10, 0), (0, -5e-10), (0, 5e-10), (-2e-9, 0), (0, 2e-9),
                   (-0.7, 0), (0.7, 0), (0, -2.0), (0, 2.0), (1.0, 1.0)]:
        x = (g1[0] if dx < 0 else g1[-1]) + dx if dx else xs[0]
        y = (g2[0] if dy < 0 else g2[-1]) + dy if dy else ys[0]
        pts.append(logs_for(law, x, y))
    lt, lr = pts[0]
    pts += [(NAN, lr), (lt, NAN), (NAN, NAN), (math.inf, lr), (-math.inf, lr), (lt, -math.inf)]
    return pts


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("seed", [1, 2, 3])
@pytest.mark.parametrize("name", LAWS)
def test_random_tables_match_reference(name, seed, mode):
    law = LAWS[name]
    g1, g2, lk = random_table(seed)
    obj, ref = law["cls"](g1, g2, lk, mode), Reference(law, g1, g2, lk, mode)
    for lt, lr in sample_points(law, g1, g2, np.random.default_rng(seed)):
        for m in METHODS:
            got, want = outcome(getattr(obj, m), lt, lr), outcome(getattr(ref, m), lt, lr)
            assert same(got, want), (m, lt, lr, got, want)
        rho, T = math.exp(lr) if not math.isnan(lr) else lr, math.exp(lt) if not math.isnan(lt) else lt
        assert same(outcome(obj.opacity, rho, T), outcome(ref.opacity, rho, T))


@pytest.mark.parametrize("name", LAWS)
def test_corner_nodes_give_table_entries(name):
    law = LAWS[name]
    g1, g2, lk = random_table(4, holes=0.0)
    obj = law["cls"](g1, g2, lk, 0)
    for i, j in [(0, 0), (-1, -1)]:
        p = exact_logs(law, float(g1[i]), float(g2[j]))
        if p:
            assert obj.log_opacity(*p) == lk[i, j] * LN10


@pytest.mark.parametrize("name", LAWS)
def test_out_of_domain_message_and_traceback(name):
    law = LAWS[name]
    g1, g2 = np.linspace(3.75, 8.7, 6), np.linspace(-8.0, 1.0, 7)
    obj = law["cls"](g1, g2, np.zeros((6, 7)), 7)
    with pytest.raises(ValueError) as e:
        obj.log_opacity(*logs_for(law, 9.1234, -3.0))
    assert str(e.value) == (f"(log10_T=9.123, {law['label']}=-3.000) is outside the table domain "
                            "[3.75, 8.70] x [-8.00, 1.00].")
    p = law["prefix"]
    base = "velmora.radiation.opacity.kappa_core.C_GreyKappaCore."
    assert frame_names(e.value) == [base + "log_opacity", p + "._log_opacity", p + "._handle_oob"]
    with pytest.raises(ValueError) as e:
        obj.opacity(1e-3, 0.0)
    tail = "inf" if law["opal"] else "-3.000"
    assert str(e.value).startswith(f"(log10_T=-inf, {law['label']}={tail}) is outside the table domain")
    assert frame_names(e.value)[:3] == [base + "opacity", p + "._opacity", p + "._log_opacity"]
    # the derivatives never raise outside
    assert obj.dlogkappa_dlogrho(*logs_for(law, 9.1234, -3.0)) == 0.0


@pytest.mark.parametrize("name", LAWS)
def test_clamp_outside_uses_lower_left_node_of_edge_cell(name):
    law = LAWS[name]
    g1, g2 = np.linspace(4.0, 6.0, 5), np.linspace(-6.0, 0.0, 4)
    lk = np.arange(20.0).reshape(5, 4)
    obj = law["cls"](g1, g2, lk, 1)
    assert obj.log_opacity(*logs_for(law, 7.0, -3.0)) == lk[3, 1] * LN10   # row n1-2, not n1-1
    assert obj.log_opacity(*logs_for(law, 3.0, 5.0)) == lk[0, 2] * LN10
    lk[0, 2] = np.nan                                                     # then its nearest finite entry
    assert obj.log_opacity(*logs_for(law, 3.0, 5.0)) == lk[0, 1] * LN10
    lk[:] = np.nan
    assert math.isnan(obj.log_opacity(*logs_for(law, 3.0, 5.0)))


def degenerate(axis, where):
    """A table whose first (where=0) or last (where=-1) cell along `axis` has
    zero width, and a point in that cell (within the tolerance outside)."""
    g = [4.0, 4.0, 5.0, 6.0] if where == 0 else [4.0, 5.0, 6.0, 6.0]
    edge = g[where] + (-5e-10 if where == 0 else 5e-10)
    if axis == 1:
        g1, g2, x, y = g, [-3.0, -2.0, -1.0], edge, -2.6
    else:
        g1, g2, x, y = [4.0, 5.0, 6.0], [v - 9.0 for v in g], 5.3, edge - 9.0
    lk = np.random.default_rng(5).uniform(0, 1, (len(g1), len(g2)))
    return np.array(g1), np.array(g2), lk, x, y


@pytest.mark.parametrize("hole", [False, True])
@pytest.mark.parametrize("where", [0, -1])
@pytest.mark.parametrize("axis", [1, 2])
@pytest.mark.parametrize("name", LAWS)
def test_zero_width_cells(name, axis, where, hole):
    # each operation tests the widths and the corners in its own order
    law = LAWS[name]
    g1, g2, lk, x, y = degenerate(axis, where)
    if hole:
        lk[1 if axis == 2 else where, 1 if axis == 1 else where] = np.nan
    lt, lr = logs_for(law, x, y)
    for mode in (0, 2):
        obj, ref = law["cls"](g1, g2, lk, mode), Reference(law, g1, g2, lk, mode)
        assert ref.find_cell(*ref.coords(lt, lr))[0] == 0
        for m in METHODS:
            got, want = outcome(getattr(obj, m), lt, lr), outcome(getattr(ref, m), lt, lr)
            assert same(got, want), (m, got, want)
    if not hole:
        with pytest.raises(ZeroDivisionError, match="^float division$") as e:
            obj.log_opacity(lt, lr)
        assert frame_names(e.value)[1:] == [law["prefix"] + "._log_opacity", law["prefix"] + "._interp"]
        with pytest.raises(ZeroDivisionError) as e:
            obj.dlogkappa_dlogT(lt, lr)
        assert frame_names(e.value)[1:] == [law["prefix"] + "._dlogkappa_dlogT"]


@pytest.mark.parametrize("name", LAWS)
def test_writes_after_construction_are_seen(name):
    law = LAWS[name]
    g1, g2, lk = random_table(6, holes=0.0)
    obj = law["cls"](g1, g2, lk, 2)
    pts = sample_points(law, g1, g2, np.random.default_rng(6))
    lk[2:5, 3:6] = np.nan
    lk[0, 0] = 42.0
    g1[-1] += 0.5
    g2[4] -= 0.05
    ref = Reference(law, g1, g2, lk, 2)
    for lt, lr in pts:
        for m in METHODS:
            assert same(outcome(getattr(obj, m), lt, lr), outcome(getattr(ref, m), lt, lr))


@pytest.mark.parametrize("name", LAWS)
def test_linear_table_derivatives(name):
    law = LAWS[name]
    g1, g2 = np.linspace(3.8, 8.0, 8), np.linspace(-7.0, 0.5, 9)
    k0, kT, kR = 0.3, -1.7, 0.45
    obj = law["cls"](g1, g2, k0 + kT * g1[:, None] + kR * g2[None, :], 0)
    want_T = kT - 3 * kR if law["opal"] else kT
    rng = np.random.default_rng(7)
    for x, y in zip(rng.uniform(g1[0], g1[-1], 50), rng.uniform(g2[0], g2[-1], 50)):
        p = logs_for(law, x, y)
        assert obj.dlogkappa_dlogrho(*p) == pytest.approx(kR, rel=1e-10)
        assert obj.dlogkappa_dlogT(*p) == pytest.approx(want_T, rel=1e-10)
        assert obj.log_opacity(*p) == pytest.approx((k0 + kT * x + kR * y) * LN10, rel=1e-10, abs=1e-10)


def test_the_two_laws_look_up_different_cells():
    g1, g2 = np.linspace(3.0, 8.0, 6), np.linspace(-12.0, 3.0, 16)
    lk = np.add.outer(np.zeros(6), np.arange(16.0))
    lt, lr = 7.0 * LN10, -2.0 * LN10
    opal, tops = (LAWS[n]["cls"](g1, g2, lk, 0) for n in ("opal", "tops"))
    assert tops.log_opacity(lt, lr) / LN10 == pytest.approx(10.0)
    assert opal.log_opacity(lt, lr) / LN10 == pytest.approx(7.0)
