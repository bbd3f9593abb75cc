"""solve_profile: the thermal structure of a disk profile from Python, row by
row against the pure-Python closure, steps and writer; failure modes,
refusals, and the loop running without the interpreter lock."""

import math
import re

import numpy as np
import pytest

import gasrad_adv_reference as ref
from lock_probe import counted_during
from velmora.dynamics.accretion.one_zone.closure import OneZoneClosure, solve_profile
from velmora.dynamics.accretion.one_zone.models._gasrad_adv import AdvectiveClosure
from velmora.radiation.opacity.grey_opacity.rosseland._opal_grid import C_OPALGridOpacity
from velmora.radiation.opacity.kappa_core import C_GreyKappaCore
from columns import COL

Q_SOLVE = "velmora.dynamics.accretion.one_zone.closure.solve_profile"
FALLBACK_RUN = {**ref.RUN_PARAMS, "log_M_fb_0": math.log(1e32), "log_R_c": math.log(1e9),
                "log_t_fb": math.log(3e4), "beta_fb": 5.0 / 3.0}


def profile(n=12, R_in=3e7, R_out=1e12, Sigma_0=1e5):
    R = np.geomspace(R_in, R_out, n)
    Sigma = Sigma_0 * (R / 1e8) ** -0.75
    Omega = np.sqrt(ref.G * 2e34 / R ** 3)
    return R, Sigma, Omega


class RowFailed(Exception):
    pass


def reference_profile(c, R, Sigma, Omega, M_D=None, previous=0.0, nan_rows=False, xi=0.5, fallback=None):
    """The rows solve_profile should return, computed in Python."""
    p = ref.parameters_of(c)
    rows, last = [], previous
    for i, derived in enumerate(zip(R, Sigma, Omega)):
        R_D, S, _ = derived = tuple(float(v) for v in derived)
        M = float(M_D[i]) if M_D is not None else math.pi * R_D * R_D * S
        state = (0.0, M, 1.0 * M * math.sqrt(ref.G * p.M_BH * R_D))
        status, result = ref.solve(derived, p.alpha, p.mu, xi, c.opacity, last)
        if status != ref.SUCCESS:
            if not nan_rows:
                raise RowFailed(i, status)
            rows.append([math.nan] * 21)
            continue
        last = result["ln_T_c"]
        step = ref.viscous_step(M, result["t_visc"], p.M_BH, p.R_in)
        if fallback is not None:
            source = ref.fallback_step(0.0, *fallback, p.M_BH)
            step = [a + b for a, b in zip(step, source)]
        rows.append(ref.writer_row(i, state, derived, p.alpha, xi, result, step))
    return np.array(rows, dtype=np.float64).reshape(len(rows), 21)


def same(a, b):
    return a.shape == b.shape and np.array_equal(a, b, equal_nan=True)


# --- the thermal structure ----------------------------------------------------------

@pytest.mark.parametrize("xi", [0.5, 0.1])
@pytest.mark.parametrize("law", ["electron scattering", "Kramers table"])
def test_profile_matches_reference(xi, law):
    c = ref.bound_closure(xi=xi, law=None if law == "electron scattering" else C_OPALGridOpacity(*ref.TABLE, 1))
    R, Sigma, Omega = profile()
    out = solve_profile(c, R, Sigma, Omega)
    assert out.dtype == np.float64 and out.shape == (12, 21) and out.flags.c_contiguous
    assert same(out, reference_profile(c, R, Sigma, Omega, xi=xi))
    assert list(out[:, COL["row"]]) == list(range(12))


def test_structure_is_physical():
    c = ref.bound_closure()
    R, Sigma, Omega = profile(n=30)
    out = solve_profile(c, R, Sigma, Omega)
    T_c, T_eff, H_over_R = out[:, COL["T_c"]], out[:, COL["T_eff"]], out[:, COL["H_over_R"]]
    assert np.all(np.diff(T_c) < 0)  # hotter inwards
    assert np.all(T_eff < T_c)
    assert np.all(H_over_R[-5:] < 0.1)  # a thin outer disk
    assert np.all(out[:, COL["Mdot"]] > 0) and np.all(out[:, COL["dM_D_dt"]] == -out[:, COL["Mdot"]])  # accretion drains the ring


def test_given_masses_first_guess_and_lists():
    c = ref.bound_closure()
    R, Sigma, Omega = profile(n=6)
    M_D = 1e28 * np.arange(1, 7)
    out = solve_profile(c, list(R), tuple(Sigma), Omega, M_D=M_D, previous_ln_T_c=math.log(1e6))
    assert same(out, reference_profile(c, R, Sigma, Omega, M_D=M_D, previous=math.log(1e6)))
    assert list(out[:, COL["M_D"]]) == list(M_D)


def test_with_fallback_the_source_adds_to_the_step():
    c = ref.bound_closure(with_fallback=True, run_params=FALLBACK_RUN)
    R, Sigma, Omega = profile(n=5)
    out = solve_profile(c, R, Sigma, Omega)
    fb = (1e32, 1e9, 3e4, 5.0 / 3.0)
    fb = tuple(math.exp(math.log(v)) for v in fb[:3]) + (fb[3],)
    assert same(out, reference_profile(c, R, Sigma, Omega, fallback=fb))


def test_empty_profile():
    out = solve_profile(ref.bound_closure(), [], [], [])
    assert out.shape == (0, 21) and out.dtype == np.float64


# --- rows without a solution and raising kernels ------------------------------------------

def with_cold_row():
    """A profile whose third ring (6 K) has no solution in 10 K to 1e14 K."""
    R, Sigma, Omega = profile(n=5)
    R[2], Sigma[2], Omega[2] = ref.LOWER
    return R, Sigma, Omega


def test_row_without_solution_raises_naming_row_and_status():
    with pytest.raises(RuntimeError) as info:
        solve_profile(ref.bound_closure(), *with_cold_row())
    assert str(info.value) == ("solve_profile(): no central temperature found for row 2 (R_D = 1e+12 cm): "
                               "the closure returned status 2 (EXPAND_FAIL)")
    assert ref.kernel_frames(info.value) == [Q_SOLVE]


def test_nan_mode_fills_the_row_and_warm_starts_from_the_last_solved_row():
    c = ref.bound_closure()
    R, Sigma, Omega = with_cold_row()
    out = solve_profile(c, R, Sigma, Omega, on_failure="nan")
    assert np.isnan(out[2]).all() and not np.isnan(np.delete(out, 2, axis=0)).any()
    assert same(out, reference_profile(c, R, Sigma, Omega, nan_rows=True))


def test_raising_law_propagates_with_a_note():
    c = ref.bound_closure(law=C_GreyKappaCore())
    R, Sigma, Omega = profile(n=3)
    with pytest.raises(NotImplementedError) as info:
        solve_profile(c, R, Sigma, Omega, on_failure="nan")
    assert info.value.__notes__ == ["while solving row 0 (R_D = 3e+07 cm)"]
    assert ref.kernel_frames(info.value)[:2] == [
        Q_SOLVE, "velmora.dynamics.accretion.one_zone.models._gasrad_adv.gasrad_adv_closure_func"]


def test_raising_at_a_later_row_names_that_row():
    law = C_OPALGridOpacity(ref.TABLE[0][10:], ref.TABLE[1], ref.TABLE[2][10:], 0)  # nothing below 1e4 K
    c = ref.bound_closure(law=law)
    R, Sigma, Omega = profile(n=8)
    failing = text = None
    for k in range(8):
        try:
            reference_profile(c, R[:k + 1], Sigma[:k + 1], Omega[:k + 1])
        except ValueError as exc:
            failing, text = k, str(exc)
            break
    assert failing is not None and failing > 0
    with pytest.raises(ValueError) as info:
        solve_profile(c, R, Sigma, Omega)
    assert str(info.value) == text
    assert info.value.__notes__ == ["while solving row %d (R_D = %g cm)" % (failing, R[failing])]


# --- refusals, before any kernel runs ---------------------------------------------------

def raising_closure():
    """Bound, with a law that raises as soon as a kernel runs."""
    return ref.bound_closure(law=C_GreyKappaCore())


@pytest.mark.parametrize("which", [1, 2, 3, 4])
@pytest.mark.parametrize("bad", [0.0, -1.0, math.nan, math.inf])
def test_non_positive_or_non_finite_values_are_refused(which, bad):
    args = list(profile(n=3)) + [np.ones(3)]
    args[which - 1] = args[which - 1].copy()
    args[which - 1][1] = bad
    name = ["R_D", "Sigma", "Omega", "M_D"][which - 1]
    with pytest.raises(ValueError) as info:
        solve_profile(raising_closure(), *args[:3], M_D=args[3])
    assert str(info.value) == "solve_profile(): %s[1] must be positive and finite, got %r" % (name, bad)
    assert ref.kernel_frames(info.value) == [Q_SOLVE]


@pytest.mark.parametrize("lengths,text", [
    ((3, 2, 3, None), "solve_profile(): arrays 'R_D' and 'Sigma' have different lengths (3 and 2)"),
    ((3, 3, 4, None), "solve_profile(): arrays 'R_D' and 'Omega' have different lengths (3 and 4)"),
    ((3, 3, 3, 1), "solve_profile(): arrays 'R_D' and 'M_D' have different lengths (3 and 1)"),
])
def test_different_lengths_are_refused(lengths, text):
    arrays = [None if n is None else np.ones(n) for n in lengths]
    with pytest.raises(ValueError) as info:
        solve_profile(raising_closure(), *arrays[:3], M_D=arrays[3])
    assert str(info.value) == text


@pytest.mark.parametrize("on_failure", ["ignore", "NaN", b"nan", None])
def test_unknown_on_failure_is_refused(on_failure):
    with pytest.raises(ValueError) as info:
        solve_profile(raising_closure(), *profile(n=2), on_failure=on_failure)
    assert str(info.value) == "solve_profile(): on_failure must be 'raise' or 'nan', got %r" % (on_failure,)


@pytest.mark.parametrize("bad", [math.nan, math.inf])
def test_non_finite_first_guess_is_refused(bad):
    with pytest.raises(ValueError, match="previous_ln_T_c must be finite"):
        solve_profile(raising_closure(), *profile(n=2), previous_ln_T_c=bad)


def test_unbound_closure_is_refused():
    c = AdvectiveClosure()
    c.opacity = C_GreyKappaCore()
    with pytest.raises(RuntimeError) as info:
        solve_profile(c, *profile(n=2))
    assert str(info.value) == (
        "solve_profile(): the disk parameters of the "
        "velmora.dynamics.accretion.one_zone.models._gasrad_adv.AdvectiveClosure object hold no advection "
        "record; call bind_runtime_parameters first")


def test_closure_object_without_functions_is_refused():
    with pytest.raises(RuntimeError, match="has no closure function installed"):
        solve_profile(OneZoneClosure(), *profile(n=2))


def test_not_a_closure_object_is_refused():
    with pytest.raises(TypeError) as info:
        solve_profile(C_GreyKappaCore(), *profile(n=2))
    assert str(info.value) == ("Argument 'closure' has incorrect type (expected "
                               "velmora.dynamics.accretion.one_zone.closure.OneZoneClosure, got "
                               "velmora.radiation.opacity.kappa_core.C_GreyKappaCore)")


# --- the interpreter lock -------------------------------------------------------------------

@pytest.mark.parametrize("threads,branch,n", [(1, "closure", 20000), (2, "hottest", 2000)])
def test_rows_are_solved_with_the_lock_released(threads, branch, n):
    c = ref.bound_closure()
    R, Sigma, Omega = profile(n=n)
    out, during = counted_during(lambda: solve_profile(c, R, Sigma, Omega, threads=threads, branch=branch))
    assert during > 0
    assert same(out[:50], solve_profile(c, R[:50], Sigma[:50], Omega[:50], branch=branch))


# --- threads ----------------------------------------------------------------------------

def blocks_of(n, threads):
    """The contiguous blocks solve_profile splits n rows into."""
    k = min(threads, n)
    return [(n * b // k, n * (b + 1) // k) for b in range(k)]


@pytest.mark.parametrize("branch", ["hottest", "coolest"])
@pytest.mark.parametrize("law", ["electron scattering", "table"])
def test_threads_do_not_change_the_answer_on_a_named_branch(law, branch):
    """Each row on its branch whatever the split; with the table some rings
    have several stable roots, so a warm start could land elsewhere."""
    c = ref.bound_closure(law=None if law == "electron scattering" else C_OPALGridOpacity(*ref.TABLE, 1))
    R, Sigma, Omega = profile(n=40)
    single = solve_profile(c, R, Sigma, Omega, branch=branch)
    for threads in (2, 3, 7, 64):
        assert same(solve_profile(c, R, Sigma, Omega, threads=threads, branch=branch), single)
    assert solve_profile(c, [], [], [], threads=4, branch=branch).shape == (0, 21)


def test_nan_rows_with_threads():
    c = ref.bound_closure()
    R, Sigma, Omega = with_cold_row()
    out = solve_profile(c, R, Sigma, Omega, on_failure="nan", threads=2, branch="hottest")
    assert same(out, solve_profile(c, R, Sigma, Omega, on_failure="nan", branch="hottest"))
    assert np.isnan(out[2]).all() and not np.isnan(np.delete(out, 2, axis=0)).any()


def test_threads_need_a_named_branch():
    with pytest.raises(ValueError) as info:
        solve_profile(ref.bound_closure(), *profile(n=4), threads=2)
    assert str(info.value) == ("solve_profile(): threads > 1 needs a named branch (with branch='closure' each "
                               "row starts from the one before it)")


@pytest.mark.parametrize("threads,error,text", [
    (0, ValueError, "solve_profile(): threads must be at least 1, got 0"),
    (-3, ValueError, "solve_profile(): threads must be at least 1, got -3"),
    ("2", TypeError, "an integer is required"),
])
def test_invalid_thread_counts_are_refused(threads, error, text):
    with pytest.raises(error) as info:
        solve_profile(raising_closure(), *profile(n=2), threads=threads)
    assert str(info.value) == text
    assert ref.kernel_frames(info.value) == [Q_SOLVE]


# Rings for a table law that raises outside its domain: the table spans every
# temperature a scan of the balance visits, but "hot" rings leave it in log10 R
# at the cold end, where "fine" ones stay inside.
FINE = list(zip(*profile(n=4, R_in=1e10, R_out=1e11)))
HOT = list(zip(*profile(n=4, R_in=3e7, R_out=1e8)))[2:]


def rings(*names):
    pools = {"fine": iter(FINE * 4), "hot": iter(HOT * 4)}
    return [np.array(v) for v in zip(*[next(pools[name]) for name in names])]


def raising_table_closure():
    log10_T, log10_R = np.linspace(0.9, 14.1, 67), np.linspace(-70.0, 14.0, 85)
    lt, lr = np.meshgrid(log10_T, log10_R, indexing="ij")
    rho = 10.0 ** (lr + 3.0 * (lt - 6.0))
    log10_kappa = np.log10(0.34 + 6.3e22 * rho * 10.0 ** (-3.5 * lt))
    return ref.bound_closure(law=C_OPALGridOpacity(log10_T, log10_R, log10_kappa, 0))


@pytest.mark.parametrize("layout,failing", [
    (("fine", "fine", "hot", "fine"), 2),                        # on the worker
    (("fine", "fine", "fine", "hot", "hot", "fine"), 3),         # two workers raise: the first wins
    (("hot", "fine", "fine", "hot", "fine", "hot"), 0),          # the caller's own block first
])
def test_exceptions_of_worker_threads_reach_the_caller_intact(layout, failing):
    c = raising_table_closure()
    R, Sigma, Omega = rings(*layout)
    threads = len(layout) // 2
    one = slice(failing, failing + 1)
    with pytest.raises(ValueError) as alone:  # that ring as a profile of its own
        solve_profile(c, R[one], Sigma[one], Omega[one], branch="hottest")
    with pytest.raises(ValueError) as info:
        solve_profile(c, R, Sigma, Omega, threads=threads, branch="hottest")
    assert str(info.value) == str(alone.value)
    assert info.value.__notes__ == ["while solving row %d (R_D = %g cm)" % (failing, R[failing])]
    assert ref.kernel_frames(info.value) == ref.kernel_frames(alone.value)
    assert ref.kernel_frames(info.value)[-1].endswith("C_OPALGridOpacity._handle_oob")


def test_the_first_row_without_equilibrium_wins():
    R, Sigma, Omega = profile(n=6)
    R[1], Sigma[1], Omega[1] = ref.LOWER
    R[4], Sigma[4], Omega[4] = ref.LOWER
    with pytest.raises(RuntimeError) as info:
        solve_profile(ref.bound_closure(), R, Sigma, Omega, threads=3, branch="hottest")
    assert str(info.value) == ("solve_profile(): no thermal equilibrium between 10 K and 1e+14 K for row 1 "
                               "(R_D = 1e+12 cm)")
