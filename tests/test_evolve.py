"""evolve: the disk's time evolution against SciPy's integrator on the same
right-hand side (evaluated through solve_profile), output times and rows,
the progress callback, failures mid-run with the completed rows attached,
refusals before any kernel runs, and the physics of a tidal-disruption disk."""

import functools
import math
import re

import numpy as np
import pytest

import gasrad_adv_reference as ref
from lock_probe import counted_during
from velmora.dynamics.accretion.one_zone.closure import OneZoneClosure, evolve, solve_profile
from velmora.dynamics.accretion.one_zone.models._gasrad_adv import AdvectiveClosure
from velmora.radiation.opacity.grey_opacity.rosseland._opal_grid import C_OPALGridOpacity
from velmora.radiation.opacity.kappa_core import C_GreyKappaCore
from columns import COL

solve_ivp = pytest.importorskip("scipy.integrate").solve_ivp

Q_EVOLVE = "velmora.dynamics.accretion.one_zone.closure.evolve"
G = ref.G
M_BH = math.exp(ref.RUN_PARAMS["log_M_BH"])
R_IN = math.exp(ref.RUN_PARAMS["log_R_in"])
ROWS_NOTE = ("evolve(): %d of %d output rows were completed before the run stopped; "
             "they are in this exception's 'rows' attribute")

# Two disks around the 10 M_sun hole of the reference parameters that stay on
# one thermal branch: a thin, gas-pressure ring and a thick, advective one.
# Fallback: (M_fb_0, R_c, t_fb, beta_fb).
CASES = {
    "thin": dict(M_D0=1e18, R_D0=1e8, t_end=1e6, alpha=1.0, fallback=(1e18, 1e8, 1e4, 5.0 / 3.0)),
    "thick": dict(M_D0=1e28, R_D0=1e10, t_end=3e3, alpha=0.1, fallback=(3e28, 3e10, 1e2, 5.0 / 3.0)),
}


def run_params(alpha, fallback=None):
    p = {**ref.RUN_PARAMS, "alpha": alpha}
    if fallback:
        M_fb_0, R_c, t_fb, beta_fb = fallback
        p.update(log_M_fb_0=math.log(M_fb_0), log_R_c=math.log(R_c), log_t_fb=math.log(t_fb), beta_fb=beta_fb)
    return p


def closure_for(case, with_fallback, law=None):
    c = CASES[case]
    return ref.bound_closure(law=law, with_fallback=with_fallback,
                             run_params=run_params(c["alpha"], c["fallback"] if with_fallback else None))


def bound_fallback(case):
    """The fallback record's values, as binding rounds them (exp of the log)."""
    M_fb_0, R_c, t_fb, beta_fb = CASES[case]["fallback"]
    return math.exp(math.log(M_fb_0)), math.exp(math.log(R_c)), math.exp(math.log(t_fb)), beta_fb


def ring(M_D, J_D):
    R_D = (J_D / M_D) ** 2 / (G * M_BH)
    return R_D, M_D / (math.pi * R_D * R_D), math.sqrt(G * M_BH / R_D ** 3)


@functools.lru_cache(maxsize=None)
def reference_run(case, with_fallback, n_out=40):
    """(times, M_D, J_D) by SciPy's DOP853 at rtol 1e-12: the viscous rates
    from solve_profile on a closure without fallback, the fallback rates from
    the Python formula at time t."""
    c = CASES[case]
    closure = closure_for(case, False)
    fallback = bound_fallback(case) if with_fallback else None
    last = [0.0]

    def rates(t, y):
        R_D, Sigma, Omega = ring(*y)
        row = solve_profile(closure, [R_D], [Sigma], [Omega], M_D=[y[0]], previous_ln_T_c=last[0])[0]
        last[0] = math.log(row[COL["T_c"]])
        dM, dJ = row[COL["dM_D_dt"]], row[COL["dJ_D_dt"]]
        if fallback:
            _, fb_M, fb_J = ref.fallback_step(t, *fallback, M_BH)
            dM, dJ = dM + fb_M, dJ + fb_J
        return [dM, dJ]

    J_D0 = c["M_D0"] * math.sqrt(G * M_BH * c["R_D0"])
    times = np.geomspace(1e-4 * c["t_end"], c["t_end"], n_out)
    sol = solve_ivp(rates, (0.0, c["t_end"]), [c["M_D0"], J_D0], method="DOP853", rtol=1e-12,
                    atol=[1e-16 * c["M_D0"], 1e-16 * J_D0], t_eval=times)
    assert sol.status == 0
    return sol.t, sol.y[0], sol.y[1]


def run(case, with_fallback, rtol, n_out=40, **kw):
    """The case on its own branch (the thin ring also has a thick root)."""
    c = CASES[case]
    kw.setdefault("branch", case)
    return evolve(closure_for(case, with_fallback), c["M_D0"], c["R_D0"], c["t_end"], n_out=n_out, rtol=rtol, **kw)


def state_error(case, with_fallback, rtol):
    _, M_ref, J_ref = reference_run(case, with_fallback)
    out = run(case, with_fallback, rtol)
    return max(np.abs(out[:, COL["M_D"]] / M_ref - 1).max(), np.abs(out[:, COL["J_D"]] / J_ref - 1).max())


# --- against an independent integrator ----------------------------------------------

@pytest.mark.parametrize("rtol", [1e-6, 1e-8])
@pytest.mark.parametrize("with_fallback", [False, True], ids=["no fallback", "fallback"])
@pytest.mark.parametrize("case", sorted(CASES))
def test_agrees_with_scipy_to_the_requested_tolerance(case, with_fallback, rtol):
    """Rows between the steps' ends come from the continuous extension (fourth
    order): their error is a few rtol, as the steps' own are."""
    t_ref, M_ref, _ = reference_run(case, with_fallback)
    out = run(case, with_fallback, rtol)
    assert np.allclose(out[:, COL["t"]], t_ref, rtol=1e-14, atol=0)
    assert abs(M_ref[-1] / M_ref[0] - 1) > 0.3  # the disk does evolve
    assert state_error(case, with_fallback, rtol) < 4 * rtol


@pytest.mark.parametrize("case", sorted(CASES))
def test_converges_as_rtol_shrinks(case):
    errors = [state_error(case, True, rtol) for rtol in (1e-5, 1e-7, 1e-9)]
    assert errors[1] < errors[0] / 10 and errors[2] < errors[1] / 10


# --- output rows ---------------------------------------------------------------------

def test_output_times_shape_and_row_numbers():
    out = run("thin", False, 1e-6, n_out=7, t_start=2.0)
    assert out.shape == (7, 21) and out.dtype == np.float64 and out.flags.c_contiguous
    assert list(out[:, COL["row"]]) == list(range(7))
    expected = [math.exp(math.log(2.0) + (math.log(1e6) - math.log(2.0)) * k / 6) for k in range(6)] + [1e6]
    assert np.allclose(out[:, COL["t"]], expected, rtol=1e-15, atol=0)
    assert out[0, COL["t"]] == 2.0 and out[-1, COL["t"]] == 1e6  # both ends exactly


def test_default_times_and_a_single_row():
    out = evolve(closure_for("thin", False), 1e18, 1e8, 1e6)
    assert out.shape == (200, 21)
    assert out[0, COL["t"]] == pytest.approx(100.0, rel=1e-15) and out[-1, COL["t"]] == 1e6
    last = evolve(closure_for("thin", False), 1e18, 1e8, 1e6, n_out=1)
    assert last.shape == (1, 21) and last[0, COL["t"]] == 1e6
    assert last[0, COL["M_D"]] == pytest.approx(out[-1, COL["M_D"]], rel=1e-6)


def test_each_row_is_the_closure_and_steps_at_its_time():
    """Every column but the time follows from the row's state: solve_profile
    on the same ring (warm-started at the row's own T_c) writes the same row."""
    out = run("thin", False, 1e-8, n_out=12)
    R_D, Sigma, Omega, M_D = out[:, COL["R_D"]], out[:, COL["Sigma"]], out[:, COL["Omega"]], out[:, COL["M_D"]]
    for k, row in enumerate(out):
        assert ring(row[COL["M_D"]], row[COL["J_D"]]) == pytest.approx((R_D[k], Sigma[k], Omega[k]), rel=1e-12)
        again = solve_profile(closure_for("thin", False), R_D[k:k + 1], Sigma[k:k + 1], Omega[k:k + 1],
                              M_D=M_D[k:k + 1], previous_ln_T_c=math.log(row[COL["T_c"]]))[0]
        assert np.allclose(np.delete(again, [COL["row"], COL["t"]]), np.delete(row, [COL["row"], COL["t"]]), rtol=1e-9, atol=0)


@pytest.mark.parametrize("case", sorted(CASES))
def test_rates_with_fallback_add_the_source_at_the_row_time(case):
    out = run(case, True, 1e-6, n_out=10)
    M_fb_0, R_c, t_fb, beta_fb = bound_fallback(case)
    for row in out:
        t, Mdot = row[COL["t"]], row[COL["Mdot"]]
        source = ref.fallback_step(t, M_fb_0, R_c, t_fb, beta_fb, M_BH)
        assert row[COL["dM_D_dt"]] == pytest.approx(-Mdot + source[1], rel=1e-12, abs=1e-12 * Mdot)
        assert row[COL["dJ_D_dt"]] == pytest.approx(-Mdot * math.sqrt(G * M_BH * R_IN) + source[2], rel=1e-12)


# --- progress -------------------------------------------------------------------------

def test_progress_gets_the_fraction_done_after_each_row():
    seen = []
    out = run("thin", True, 1e-6, n_out=8, progress=seen.append)
    assert seen == [(k + 1) / 8 for k in range(8)]
    assert np.array_equal(out, run("thin", True, 1e-6, n_out=8))


class Stop(Exception):
    pass


def test_an_exception_from_progress_stops_the_run_keeping_the_rows():
    def progress(fraction):
        if fraction >= 0.3:
            raise Stop()

    with pytest.raises(Stop) as info:
        run("thin", True, 1e-6, n_out=10, progress=progress)
    assert np.array_equal(info.value.rows, run("thin", True, 1e-6, n_out=10)[:3])
    assert info.value.__notes__ == [ROWS_NOTE % (3, 10)]
    assert ref.kernel_frames(info.value) == [Q_EVOLVE]


def test_rebinding_from_progress_stops_the_run():
    c = closure_for("thin", False)
    with pytest.raises(RuntimeError) as info:
        evolve(c, 1e18, 1e8, 1e6, n_out=5, progress=lambda f: c.bind_runtime_parameters(run_params(1.0)))
    assert str(info.value) == ("evolve(): the velmora.dynamics.accretion.one_zone.models._gasrad_adv."
                               "AdvectiveClosure object was rebound or given another opacity law during the run")
    assert info.value.rows.shape == (1, 21)


# --- failures mid-run ---------------------------------------------------------------

# A cold ring that keeps cooling: its central temperature falls below the
# closure's 10 K after about 1e9 s.
COOLING = dict(alpha=1.0, M_D0=1e20, R_D0=1e11, t_end=1e10)


@functools.lru_cache(maxsize=None)
def cooling_crossing_time():
    """When the cooling ring reaches 10 K: SciPy's integration of the pure-
    Python closure (its temperature range widened below 10 K) with an event
    at T_c = 10 K. Rates: Mdot = M_D / t_visc, t_visc = R_D^2 / nu,
    nu = alpha c_s^2 / Omega."""
    law = ref.bound_closure().opacity
    alpha = COOLING["alpha"]

    def ln_T_c(y):
        derived = ring(*y)
        return ref.find_ln_T_c(derived, alpha, 0.6, 0.5, law, 0.0, x_min=0.0)[1], derived

    def rates(t, y):
        root, (R_D, Sigma, Omega) = ln_T_c(y)
        c_s = ref.sound_speed(math.exp(root), 0.6, Sigma, Omega)
        Mdot = y[0] * (alpha * c_s * c_s / Omega) / (R_D * R_D)
        return [-Mdot, -Mdot * math.sqrt(G * M_BH * R_IN)]

    def at_10_K(t, y):
        return ln_T_c(y)[0] - math.log(10.0)

    at_10_K.terminal = True
    J_D0 = COOLING["M_D0"] * math.sqrt(G * M_BH * COOLING["R_D0"])
    sol = solve_ivp(rates, (0.0, COOLING["t_end"]), [COOLING["M_D0"], J_D0], method="DOP853", rtol=1e-10,
                    atol=[1e-20 * COOLING["M_D0"], 1e-20 * J_D0], events=at_10_K)
    return float(sol.t_events[0][0])


@pytest.mark.parametrize("n_out", [10, 40])
def test_no_central_temperature_mid_run_names_time_state_and_status(n_out):
    c = ref.bound_closure(run_params=run_params(COOLING["alpha"]))
    with pytest.raises(RuntimeError) as info:
        evolve(c, COOLING["M_D0"], COOLING["R_D0"], COOLING["t_end"], n_out=n_out, t_start=1e6)
    exc = info.value
    m = re.fullmatch(r"evolve\(\): no central temperature found at t = (\S+) s \(M_D = (\S+) g, R_D = (\S+) cm\): "
                     r"the closure returned status 2 \(EXPAND_FAIL\)", str(exc))
    assert m
    t, M_D, R_D = map(float, m.groups())
    rows = exc.rows
    assert 0 < len(rows) < n_out and rows.shape[1] == 21
    assert np.all(rows[:, COL["t"]] < t) and np.all(rows[:, COL["T_c"]] > 10.0)
    assert exc.__notes__ == [ROWS_NOTE % (len(rows), n_out)]
    assert ref.kernel_frames(exc) == [Q_EVOLVE]
    # Trial steps beyond the crossing are only shortened, so the run stops
    # where the solution reaches 10 K: the state named (to its six digits)
    # has its root there.
    derived = (R_D, M_D / (math.pi * R_D ** 2), ref.keplerian(R_D))
    status, root = ref.find_ln_T_c(derived, 1.0, 0.6, 0.5, c.opacity, 0.0, x_min=math.log(1.0))
    assert status == ref.SUCCESS and abs(root - math.log(10.0)) < 1e-4
    assert t == pytest.approx(cooling_crossing_time(), rel=1e-4)


def test_a_raising_kernel_mid_run_keeps_its_exception_and_the_rows():
    """A table that ends at log10 T = 4.5 (raise outside) stops the run when
    the cooling disk leaves it; up to then the run is the clamping one. (The
    closure's own search: a named branch scans the whole temperature range.)"""
    grid_T, grid_R, kappa = ref.TABLE

    def law(oob):
        return C_OPALGridOpacity(grid_T[15:], grid_R, kappa[15:], oob)

    params = run_params(0.3)
    clamped = evolve(ref.bound_closure(law=law(1), run_params=params), 1e24, 1e10, 1e7, n_out=50, branch="closure")
    assert clamped[0, COL["T_c"]] > 10 ** 4.5 > clamped[-1, COL["T_c"]]
    with pytest.raises(ValueError, match="outside the table domain") as info:
        evolve(ref.bound_closure(law=law(0), run_params=params), 1e24, 1e10, 1e7, n_out=50, branch="closure")
    exc = info.value
    k = len(exc.rows)
    assert 0 < k < 50 and np.array_equal(exc.rows, clamped[:k])
    note, rows_note = exc.__notes__
    m = re.fullmatch(r"while evolving the disk at t = (\S+) s \(M_D = (\S+) g, J_D = (\S+) g cm\^2 s\^-1\)", note)
    assert m and clamped[k - 1, 1] < float(m.group(1)) <= clamped[k, COL["t"]]
    assert rows_note == ROWS_NOTE % (k, 50)
    assert ref.kernel_frames(exc)[:2] == [
        Q_EVOLVE, "velmora.dynamics.accretion.one_zone.models._gasrad_adv.gasrad_adv_closure_func"]


# --- refusals, before any kernel runs ---------------------------------------------------

def raising_closure():
    """Bound, with a law that raises as soon as a kernel runs."""
    return ref.bound_closure(law=C_GreyKappaCore())


@pytest.mark.parametrize("kwargs,text", [
    (dict(M_D0=0.0), "evolve(): M_D0 must be positive and finite, got 0.0"),
    (dict(M_D0=math.nan), "evolve(): M_D0 must be positive and finite, got nan"),
    (dict(R_D0=-1.0), "evolve(): R_D0 must be positive and finite, got -1.0"),
    (dict(t_end=math.inf), "evolve(): t_end must be positive and finite, got inf"),
    (dict(rtol=0.0), "evolve(): rtol must be finite and between 0 and 1, got 0.0"),
    (dict(rtol=1.0), "evolve(): rtol must be finite and between 0 and 1, got 1.0"),
    (dict(rtol=math.nan), "evolve(): rtol must be finite and between 0 and 1, got nan"),
    (dict(n_out=0), "evolve(): n_out must be at least 1, got 0"),
    (dict(max_steps=0), "evolve(): max_steps must be at least 1, got 0"),
    (dict(t_start=0.0), "evolve(): t_start must be positive and finite, got 0.0"),
    (dict(t_start=2e6), "evolve(): t_start must be at most t_end = 1000000.0, got 2000000.0"),
])
def test_invalid_values_are_refused(kwargs, text):
    args = {**dict(M_D0=1e18, R_D0=1e8, t_end=1e6), **kwargs}
    with pytest.raises(ValueError) as info:
        evolve(raising_closure(), **args)
    assert str(info.value) == text
    assert ref.kernel_frames(info.value) == [Q_EVOLVE]


def test_non_callable_progress_is_refused():
    with pytest.raises(TypeError, match=r"^evolve\(\): progress must be callable or None, not int$"):
        evolve(raising_closure(), 1e18, 1e8, 1e6, progress=3)


@pytest.mark.parametrize("make,error,text", [
    (AdvectiveClosure, RuntimeError,
     "evolve(): the disk parameters of the velmora.dynamics.accretion.one_zone.models._gasrad_adv."
     "AdvectiveClosure object hold no advection record; call bind_runtime_parameters first"),
    (OneZoneClosure, RuntimeError,
     "evolve(): the velmora.dynamics.accretion.one_zone.closure.OneZoneClosure object has no closure "
     "function installed"),
    (C_GreyKappaCore, TypeError,
     "Argument 'closure' has incorrect type (expected velmora.dynamics.accretion.one_zone.closure."
     "OneZoneClosure, got velmora.radiation.opacity.kappa_core.C_GreyKappaCore)"),
])
def test_unready_closures_are_refused(make, error, text):
    with pytest.raises(error) as info:
        evolve(make(), 1e18, 1e8, 1e6)
    assert str(info.value) == text


def test_arguments_bind_by_position_and_keyword():
    c = closure_for("thin", False)
    a = evolve(c, 1e18, 1e8, 1e6, 5, 1e-6, None, 10.0, 5000, "thin", False)
    b = evolve(full_output=False, branch="thin", max_steps=5000, t_start=10.0, rtol=1e-6, n_out=5, t_end=1e6,
               R_D0=1e8, M_D0=1e18, closure=c)
    assert np.array_equal(a, b)
    with pytest.raises(TypeError, match=r"evolve\(\) takes at most 11 positional arguments \(12 given\)"):
        evolve(c, 1e18, 1e8, 1e6, 5, 1e-6, None, 10.0, 5000, "thin", False, 1)


def test_spent_step_budget_stops_the_run_keeping_the_rows():
    full = run("thin", True, 1e-6, n_out=10)
    with pytest.raises(RuntimeError) as info:
        run("thin", True, 1e-6, n_out=10, max_steps=20)
    m = re.fullmatch(r"evolve\(\): max_steps = 20 steps did not reach t = (\S+) s \(stopped at t = (\S+) s\)",
                     str(info.value))
    assert m
    rows = info.value.rows
    assert 0 < len(rows) < 10 and np.array_equal(rows, full[:len(rows)])
    assert float(m.group(1)) == pytest.approx(full[len(rows), 1], rel=1e-5)


# --- the interpreter lock ---------------------------------------------------------------

def test_steps_run_with_the_lock_released():
    _, during = counted_during(lambda: run("thin", True, 1e-11, n_out=20000))
    assert during > 0


# --- physics of a tidal-disruption disk ---------------------------------------------

def test_tidal_disruption_disk_conserves_mass_and_angular_momentum():
    """The program's default disk over its thick phase (t < 5e6 s): what the
    disk holds plus what it has accreted equals what it started with plus what
    fell back, for mass and for angular momentum (the accreted matter leaves
    with sqrt(G M_BH R_in) per gram, the fallback brings sqrt(G M_BH R_c))."""
    from velmora import cli

    args = cli.parse(["--t-end", "5e6"])
    rows = evolve(cli.make_closure(args), args.M_D0, args.R_D0, 5e6, n_out=3000, rtol=1e-9, t_start=1e-3)
    t, M_D, J_D, Mdot = rows[:, COL["t"]], rows[:, COL["M_D"]], rows[:, COL["J_D"]], rows[:, COL["Mdot"]]
    # Accreted mass: the trapezoid rule, from t = 0 at the first row's rate.
    accreted = np.concatenate([[Mdot[0] * t[0]], 0.5 * (Mdot[1:] + Mdot[:-1]) * np.diff(t)]).cumsum()
    beta = args.beta_fb
    fallen = args.M_fb_0 / (beta - 1.0) * (1.0 - (1.0 + t / args.t_fb) ** (1.0 - beta))
    assert np.allclose(M_D + accreted, args.M_D0 + fallen, rtol=1e-5, atol=0)
    l_in, l_c = math.sqrt(cli.G_CGS * args.M_BH * args.R_in), math.sqrt(cli.G_CGS * args.M_BH * args.R_c)
    J_D0 = args.M_D0 * math.sqrt(cli.G_CGS * args.M_BH * args.R_D0)
    assert np.allclose(J_D + accreted * l_in, J_D0 + fallen * l_c, rtol=1e-5, atol=0)
    # A thick but not spherical, optically thick disk, hotter inside than at its surface.
    assert np.all((rows[:, COL["H_over_R"]] > 0.5) & (rows[:, COL["H_over_R"]] < 1.0))
    assert np.all(rows[:, COL["tau"]] > 1.0) and np.all((0 < rows[:, COL["T_eff"]]) & (rows[:, COL["T_eff"]] < rows[:, COL["T_c"]]))


def test_rebinding_twice_from_progress_is_seen():
    """The records of a second binding may land where the first one's were:
    the run tells by the object's count of bindings, not by addresses."""
    c = closure_for("thin", True)
    same = run_params(1.0, CASES["thin"]["fallback"])

    def rebind_twice(fraction):
        c.bind_runtime_parameters(dict(same))
        c.bind_runtime_parameters(dict(same))

    with pytest.raises(RuntimeError, match="was rebound or given another opacity law during the run"):
        evolve(c, 1e18, 1e8, 1e6, n_out=5, progress=rebind_twice)


def test_output_times_never_pass_t_end():
    """A first output time 3 ulps below t_end: log-spaced times computed
    through exp(log) overshoot it at this t_end."""
    t_end = 3949.5051680381566
    t_start = np.nextafter(np.nextafter(np.nextafter(t_end, 0), 0), 0)
    assert math.exp(math.log(t_start) + (math.log(t_end) - math.log(t_start)) * 4 / 5) > t_end
    out = evolve(closure_for("thin", False), 1e18, 1e8, t_end, n_out=6, t_start=t_start, branch="thin")
    assert np.all(np.diff(out[:, COL["t"]]) >= 0) and out[-1, COL["t"]] == t_end and out[:, COL["t"]].max() == t_end
