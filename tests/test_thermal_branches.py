"""Thermal branches: the roots of the energy balance against an independent
scan of the pure-Python residual, named branches in solve_profile, and the
time evolution that follows a branch and locates its end as an event:
against SciPy's own event location on the same equations, against the
analytic ends of the branches, converged in rtol and independent of the
output times, without chattering, conserving what the equations conserve."""

import functools
import math

import numpy as np
import pytest

import gasrad_adv_reference as ref
from velmora import cli
from velmora.dynamics.accretion.one_zone.closure import evolve, solve_profile, thermal_equilibria
from velmora.radiation.opacity.grey_opacity.rosseland import load_sample
from columns import COL

optimize = pytest.importorskip("scipy.optimize")
solve_ivp = pytest.importorskip("scipy.integrate").solve_ivp

DAY = 86400.0
K_B, M_P, RAD_A = 1.380649e-16, 1.67262192369e-24, 4.0 * 5.670374419e-5 / 2.99792458e10


@functools.lru_cache(maxsize=None)
def program(*argv):
    """The program's disk for these options: (args, bound closure)."""
    args = cli.parse(list(argv))
    return args, cli.make_closure(args)


@functools.lru_cache(maxsize=None)
def default_run(rtol=1e-8, n_out=1000):
    args, c = program()
    return evolve(c, args.M_D0, args.R_D0, args.t_end, n_out=n_out, rtol=rtol, full_output=True)


def python_roots(derived, alpha, xi, law, mu=0.6, n=20000):
    """(ln T_c, stable) of every sign change of the pure-Python residual on a
    fine grid, refined by brentq."""
    f = ref.make_residual(*ref.coefficients(alpha, xi, *derived), mu, derived[1], derived[2], law)
    x = np.linspace(math.log(10.0), math.log(1e14), n)
    fx = np.array([f(v) for v in x])
    return [(optimize.brentq(f, x[i], x[i + 1], xtol=1e-14, rtol=1e-15), fx[i] > 0)
            for i in np.nonzero(np.sign(fx[:-1]) != np.sign(fx[1:]))[0]]


def ring_of(M_D, R_D, M_BH):
    return R_D, M_D / (math.pi * R_D * R_D), math.sqrt(ref.G * M_BH / R_D ** 3)


def row_ring(row):
    return float(row[COL["R_D"]]), float(row[COL["Sigma"]]), float(row[COL["Omega"]])


# --- the branches of one ring ---------------------------------------------------------

def test_the_default_runs_last_thick_row_has_three_roots_and_each_branch_its_own():
    """At t = 114.4 d the closure's own search slipped to the thin root; the
    branches keep each its own."""
    args, c = program()
    rows, _ = default_run(n_out=1000)
    row = rows[np.argmin(np.abs(rows[:, COL["t"]] / DAY - 114.4))]
    derived = row_ring(row)
    expected = python_roots(derived, args.alpha, args.xi, c.opacity)
    assert [s for _, s in expected] == [True, False, True]
    assert [round(math.exp(x)) for x, _ in expected] == [7354, 131055, 137820]
    roots = thermal_equilibria(c, *derived)["roots"]
    assert [r["branch"] for r in roots] == ["thin", "unstable", "thick"]
    assert np.allclose([r["ln_T_c"] for r in roots], [x for x, _ in expected], rtol=0, atol=1e-12)
    for branch, (x, _) in (("thick", expected[2]), ("thin", expected[0])):
        out = solve_profile(c, *map(lambda v: [v], derived), M_D=[row[COL["M_D"]]], branch=branch)[0]
        assert out[COL["T_c"]] == pytest.approx(math.exp(x), rel=1e-12)
        # The row is what the closure writes at that root, field for field.
        result = ref.result_at(math.log(out[COL["T_c"]]), derived, args.alpha, args.mu, c.opacity)
        step = ref.viscous_step(row[COL["M_D"]], result["t_visc"], args.M_BH, args.R_in)
        source = ref.fallback_step(0.0, args.M_fb_0, args.R_c, args.t_fb, args.beta_fb, args.M_BH)
        state = (0.0, row[COL["M_D"]], out[COL["J_D"]])
        written = ref.writer_row(0, state, derived, args.alpha, args.xi, result,
                                 [step[0], step[1] + source[1], step[2] + source[2]])
        assert np.array_equal(np.delete(out, [COL["dM_D_dt"], COL["dJ_D_dt"]]), np.delete(written, [COL["dM_D_dt"], COL["dJ_D_dt"]]))


def test_past_the_end_of_its_branch_the_thick_branch_is_gone():
    """The thick disk drains until its branch ends: with a little less surface
    density than at the collapse, only the thin root is left."""
    args, c = program()
    collapse = default_run()[1]["transitions"][0]
    R_D, Sigma, Omega = ring_of(collapse["M_D"], collapse["R_D"], args.M_BH)
    eq = thermal_equilibria(c, R_D, 0.99 * Sigma, Omega)
    assert [r["branch"] for r in eq["roots"]] == ["thin"]
    fold = [e for e in eq["extrema"] if e["kind"] == "maximum"]
    assert len(fold) == 1 and fold[0]["f"] < 0 and fold[0]["T"] > eq["roots"][0]["T_c"]
    ring = [[R_D], [0.99 * Sigma], [Omega]]
    with pytest.raises(RuntimeError) as info:
        solve_profile(c, *ring, branch="thick")
    assert str(info.value) == f"solve_profile(): the thick branch does not exist at row 0 (R_D = {R_D:g} cm)"
    assert solve_profile(c, *ring, branch="hottest")[0, COL["T_c"]] == solve_profile(c, *ring, branch="thin")[0, COL["T_c"]]


@pytest.mark.parametrize("R_D,Sigma", [(1e14, 1e3), (1e15, 5623.413251903491), (1e13, 3e4), (3e12, 1e2), (1e14, 3e4)])
def test_every_root_of_a_table_balance_against_a_fine_scan(R_D, Sigma):
    """The synthetic table gives up to five roots (three stable branches)."""
    args, c = program("--opacity", "sample")
    derived = (R_D, Sigma, math.sqrt(ref.G * args.M_BH / R_D ** 3))
    expected = python_roots(derived, args.alpha, args.xi, c.opacity)
    roots = thermal_equilibria(c, *derived)["roots"]
    assert [r["stable"] for r in roots] == [s for _, s in expected]
    assert np.allclose([r["ln_T_c"] for r in roots], [x for x, _ in expected], rtol=0, atol=1e-11)
    stable = [r["branch"] for r in roots if r["stable"]]
    if len(stable) > 1:
        assert stable[0] == "thin" and stable[-1] == "thick" and set(stable[1:-1]) <= {"middle"}


# --- the end of a branch as an event ------------------------------------------------------

@functools.lru_cache(maxsize=None)
def scipy_collapse_time():
    """When the default disk's thick branch ends, by SciPy's DOP853 with an
    event on the same equations in Python: the thick root bracketed between
    the residual's maximum and 1e14 K, the event the maximum reaching zero."""
    args, c = program()
    law = c.opacity

    def balance(y):
        derived = ring_of(y[0], (y[1] / y[0]) ** 2 / (ref.G * args.M_BH), args.M_BH)
        f = ref.make_residual(*ref.coefficients(args.alpha, args.xi, *derived), args.mu, derived[1], derived[2],
                              law)
        peak = optimize.minimize_scalar(lambda x: -f(x), bounds=(math.log(5e4), math.log(1e7)), method="bounded",
                                        options={"xatol": 1e-10})
        return derived, f, peak.x, -peak.fun

    def rates(t, y):
        # Trial stages past the end keep to the fold, where the branch ended.
        derived, f, x_max, top = balance(y)
        root = optimize.brentq(f, x_max, math.log(1e14), xtol=1e-14) if top > 0 else x_max
        result = ref.result_at(root, derived, args.alpha, args.mu, law)
        Mdot = y[0] / result["t_visc"]
        _, fb_M, fb_J = ref.fallback_step(t, args.M_fb_0, args.R_c, args.t_fb, args.beta_fb, args.M_BH)
        return [fb_M - Mdot, fb_J - Mdot * math.sqrt(ref.G * args.M_BH * args.R_in)]

    def margin(t, y):
        return balance(y)[3]

    margin.terminal, margin.direction = True, -1
    y0 = [args.M_D0, args.M_D0 * math.sqrt(ref.G * args.M_BH * args.R_D0)]
    sol = solve_ivp(rates, (0.0, 200 * DAY), y0, method="DOP853", rtol=1e-10, atol=[1e-20 * v for v in y0],
                    events=margin)
    return float(sol.t_events[0][0])


def test_the_collapse_is_where_scipy_finds_the_end_of_the_thick_branch():
    """The disk reaches the fold tangentially (the maximum of the balance falls
    as (t_end - t)^2), so a state error e moves the end by about sqrt(e):
    the two integrations agree to 1e-5, each converges to better than 1e-6."""
    _, info = default_run()
    collapse = info["transitions"][0]
    assert (collapse["from_branch"], collapse["to_branch"]) == ("thick", "thin")
    assert collapse["t"] == pytest.approx(scipy_collapse_time(), rel=1e-5)
    assert 128.0 * DAY < collapse["t"] < 131.0 * DAY  # not where the closure's search slipped (114 d)


@pytest.mark.parametrize("xi", [0.5, 1.0, 2.0])
def test_branches_end_where_the_analytic_limits_put_them(xi):
    """With electron scattering the thick branch ends where the advective
    share of the cooling reaches 1/3, H/R = sqrt(1 / (4 xi)) in the radiation-
    dominated limit, and the thin one where gas pressure is 2/5 of the total."""
    args, c = program("--xi", str(xi))
    _, info = evolve(c, args.M_D0, args.R_D0, args.t_end, n_out=2, rtol=1e-9, full_output=True)
    ends = {tr["from_branch"]: tr for tr in info["transitions"]}
    assert ends["thick"]["H_over_R_before"] == pytest.approx(math.sqrt(1.0 / (4.0 * xi)), rel=2e-4)
    thin = ends["thin"]
    derived = ring_of(thin["M_D"], thin["R_D"], args.M_BH)
    row = solve_profile(c, *[[v] for v in derived], M_D=[thin["M_D"]], branch="thin")[0]
    P_gas, P_rad = row[COL["rho_c"]] * K_B * row[COL["T_c"]] / (args.mu * M_P), RAD_A * row[COL["T_c"]] ** 4 / 3.0
    assert P_gas / (P_gas + P_rad) == pytest.approx(0.4, rel=1e-3)


def test_transition_times_converge_and_do_not_depend_on_the_rows():
    _, coarse = default_run(rtol=1e-8, n_out=200)
    _, dense = default_run(rtol=1e-8, n_out=20000)
    _, tight = default_run(rtol=1e-10, n_out=1000)
    times = [[tr["t"] for tr in info["transitions"]] for info in (coarse, dense, tight)]
    assert len(times[0]) == 3 and times[0] == times[1]  # the rows never shape the steps
    assert np.allclose(times[0], times[2], rtol=1e-6, atol=0)
    assert coarse["steps"] == dense["steps"] and coarse["peak_Mdot"] == dense["peak_Mdot"]
    # The disk on either side of each transition converges with rtol as well.
    for a, b in zip(coarse["transitions"], tight["transitions"]):
        for key in ("T_c", "Mdot", "H_over_R"):
            for side in ("before", "after"):
                assert a[f"{key}_{side}"] == pytest.approx(b[f"{key}_{side}"], rel=1e-6)


def test_transitions_record_the_disk_on_either_branch():
    args, c = program()
    rows, info = default_run()
    for tr in info["transitions"]:
        derived = ring_of(tr["M_D"], tr["R_D"], args.M_BH)
        # Before: the end of the old branch, the fold of the balance where its
        # stable root meets the unstable one (to the precision of an extremum).
        folds = [e["T"] for e in thermal_equilibria(c, *derived)["extrema"]]
        fold = min(folds, key=lambda T: abs(math.log(T / tr["T_c_before"])))
        assert tr["T_c_before"] == pytest.approx(fold, rel=1e-6)
        # After: the root of the new branch.
        out = solve_profile(c, *[[v] for v in derived], M_D=[tr["M_D"]], branch=tr["to_branch"])[0]
        assert tr["T_c_after"] == pytest.approx(out[COL["T_c"]], rel=1e-9)
        assert tr["H_over_R_after"] == pytest.approx(out[COL["H_over_R"]], rel=1e-9)
        assert tr["Mdot_after"] == pytest.approx(out[COL["Mdot"]], rel=1e-9)
    # The outburst's peak is the largest rate of the run, at least that of any row.
    assert info["peak_Mdot"] >= rows[:, COL["Mdot"]].max()
    assert info["transitions"][1]["t"] <= info["t_peak"] < info["transitions"][2]["t"]


@pytest.mark.parametrize("argv", [("--mbh", "1e7"), ("--mbh", "1e5"), ("--mbh", "3e6", "--alpha", "0.3", "--xi", "0.5"),
                                  ("--mbh", "3e7", "--alpha", "0.3", "--xi", "0.1", "--opacity", "sample")])
def test_a_disk_held_at_a_branch_end_does_not_chatter(argv):
    """Runs that spent the step budget while the fallback held the disk at the
    end of a branch finish in few steps."""
    args, c = program(*argv)
    rows, info = evolve(c, args.M_D0, args.R_D0, args.t_end, n_out=args.n_out, rtol=args.rtol, full_output=True)
    assert info["steps"] + info["rejected_steps"] < 10_000 and len(info["transitions"]) >= 2
    assert rows[-1, COL["t"]] == args.t_end


def test_angular_momentum_beyond_the_inner_edge_follows_the_fallback_alone():
    """d(J_D - j_in M_D)/dt = Mdot_fb (l_c - j_in): the accretion terms cancel,
    through every transition."""
    args, c = program()
    rows, info = evolve(c, args.M_D0, args.R_D0, args.t_end, n_out=500, rtol=1e-11, full_output=True)
    assert len(info["transitions"]) == 3
    t, M_D, J_D = rows[:, COL["t"]], rows[:, COL["M_D"]], rows[:, COL["J_D"]]
    j_in, l_c = math.sqrt(ref.G * args.M_BH * args.R_in), math.sqrt(ref.G * args.M_BH * args.R_c)
    b = args.beta_fb
    fallen = args.M_fb_0 / (b - 1.0) * (1.0 - (1.0 + t / args.t_fb) ** (1.0 - b))
    expected = args.M_D0 * math.sqrt(ref.G * args.M_BH * args.R_D0) - j_in * args.M_D0 + (l_c - j_in) * fallen
    assert np.abs((J_D - j_in * M_D) / expected - 1.0).max() < 1e-10


def test_the_starting_branch_is_chosen():
    """A disk where both branches exist (the default disk at 114 d)."""
    args, c = program()
    rows, _ = default_run()
    row = rows[np.argmin(np.abs(rows[:, COL["t"]] / DAY - 114.4))]
    start = dict(M_D0=row[COL["M_D"]], R_D0=row[COL["R_D"]], t_end=1e3, n_out=2, full_output=True)
    rows, info = evolve(c, **start)
    assert info["start_branch"] == "thick" and rows[0, COL["H_over_R"]] > 0.5
    assert np.array_equal(evolve(c, branch="thick", **start)[0], rows)
    rows, info = evolve(c, branch="thin", **start)
    assert info["start_branch"] == "thin" and rows[0, COL["H_over_R"]] < 0.01
    with pytest.raises(ValueError, match=r"^evolve\(\): branch must be one of 'closure', 'hottest'"):
        evolve(c, branch="warm", **start)


def test_a_missing_starting_branch_is_refused():
    """A light seed disk far out has only the thin branch."""
    args, c = program()
    with pytest.raises(RuntimeError) as info:
        evolve(c, 1e-8 * args.M_D0, 30 * args.R_D0, 1e5, branch="thick")
    assert str(info.value).startswith("evolve(): the thick branch does not exist at the start (M_D = ")
    assert len(info.value.rows) == 0
