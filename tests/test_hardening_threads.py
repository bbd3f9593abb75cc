"""Thread stress: several threads evaluate the same table law, run the root
finder and solve profiles with the same closure object at once, with the
interpreter lock released, and get exactly what a serial run gives; a thread
that keeps writing into a law's arrays while others evaluate may change the
results but never crashes the process or makes a kernel read outside them
(the sanitizer run of the suite checks the latter)."""

import ctypes
import math
import threading
import time
from ctypes import byref, c_double

import numpy as np
import pytest

import bracket_solver_helpers as bsh
import gasrad_adv_reference as ref
from capi_helpers import slot, vtable_address
from grid_tables_reference import LAWS, logs_for, random_table
from velmora.dynamics.accretion.one_zone.closure import solve_profile
from velmora.math_utils import _bracket_solver as bs
from velmora.radiation.opacity.grey_opacity.rosseland._opal_grid import C_OPALGridOpacity

N_THREADS = 4
RELEASED = ctypes.CFUNCTYPE(c_double, ctypes.py_object, c_double, c_double)


def run_threads(work, n=N_THREADS):
    """Runs work(k) on n threads started together; re-raises the first
    failure of any of them."""
    barrier = threading.Barrier(n)
    errors = []

    def body(k):
        try:
            barrier.wait()
            work(k)
        except BaseException as e:  # noqa: BLE001 - handed to the main thread
            errors.append(e)

    threads = [threading.Thread(target=body, args=(k,)) for k in range(n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        raise errors[0]


def with_writer(write, work, n=N_THREADS - 1):
    """Runs work(k) on n threads while another calls write(rng) over and
    over, handing the lock back between writes; returns the number of
    writes made."""
    stop = threading.Event()
    writes = [0]

    def writer():
        rng = np.random.default_rng(1)
        while not stop.is_set():
            write(rng)
            writes[0] += 1
            time.sleep(1e-5)

    w = threading.Thread(target=writer)
    w.start()
    try:
        run_threads(work, n)
    finally:
        stop.set()
        w.join()
    return writes[0]


def outcome(fn, *args):
    """("value", v), or the pending exception the released call surfaced."""
    try:
        return ("value", fn(*args))
    except SystemError as e:
        return (type(e.__cause__), str(e.__cause__))


def same(a, b):
    if a[0] == "value" == b[0]:
        return a[1] == b[1] or (math.isnan(a[1]) and math.isnan(b[1]))
    return a == b


@pytest.fixture(params=list(LAWS))
def law(request):
    return LAWS[request.param]


def slots(cls):
    table = vtable_address(cls)
    return [slot(table, k, RELEASED) for k in range(4)]


def test_one_table_law_on_many_threads(law):
    g1, g2, lk = random_table(31, n1=40, n2=30, holes=0.1)
    obj = law["cls"](g1, g2, lk, 0)    # points outside raise: per-thread exceptions
    fns = slots(law["cls"])
    rng = np.random.default_rng(5)
    pts = [logs_for(law, x, y) for x, y in zip(rng.uniform(g1[0] - 0.3, g1[-1] + 0.3, 300),
                                               rng.uniform(g2[0] - 0.5, g2[-1] + 0.5, 300))]
    lin = [(math.exp(lr), math.exp(lt)) for lt, lr in pts]
    serial = [[outcome(fn, obj, *(lin[i] if k == 0 else pts[i])) for i in range(len(pts))]
              for k, fn in enumerate(fns)]
    assert any(o[0] is ValueError for o in serial[1]) and any(o[0] == "value" for o in serial[1])
    mismatches = []

    def work(t):
        for rep in range(4):
            for k in ((t + rep) % 4, (t + rep + 1) % 4):
                for i, want in enumerate(serial[k]):
                    got = outcome(fns[k], obj, *(lin[i] if k == 0 else pts[i]))
                    if not same(got, want):
                        mismatches.append((t, k, i, got, want))

    run_threads(work)
    assert not mismatches[:5]


SCALAR_FUNCS = {
    "cubic": lambda x: x**3 - 2.0 * x - 5.0,
    "exp": lambda x: math.exp(x) - 3.0,
    "steep": lambda x: math.tanh((x - 1.3) * 50.0),
    "failing": None,
}


def c_callback(fn):
    def cb(x, data, out):
        if fn is None:
            return 1
        out[0] = fn(x)
        return 0
    return bsh.SCALAR(cb)


def test_root_finder_on_many_threads():
    """The C-level solver without the lock (its callback takes the lock for
    each evaluation) and the interpreter wrappers, at once."""
    find_root = bsh.c_function("find_root", locked=False)
    callbacks = {name: c_callback(fn) for name, fn in SCALAR_FUNCS.items()}
    guesses = np.linspace(-2.0, 4.0, 25)

    def c_solve(name, x0):
        root = c_double(bsh.SENTINEL)
        status = find_root(callbacks[name], None, x0, 0.05, 2.0, 60, -10.0, 10.0, 1e-30, 1e-12, 1e-14, 100,
                           byref(root))
        return status, root.value

    def fails(x):
        raise bsh.CallbackFailed

    def py_solve(name, x0):
        f = SCALAR_FUNCS[name] or fails
        return tuple(bs.py_find_root(f, x0, 0.05, 2.0, 60, -10.0, 10.0, 1e-30, 1e-12, 1e-14, 100))

    serial = {(kind, name, x0): solve(name, x0) for kind, solve in (("c", c_solve), ("py", py_solve))
              for name in SCALAR_FUNCS for x0 in guesses}
    mismatches = []

    def work(t):
        for rep in range(3):
            for (kind, name, x0), want in serial.items():
                got = (c_solve if kind == "c" else py_solve)(name, x0)
                if got != want and not (got[0] == want[0] and bsh.same(got[1], want[1])):
                    mismatches.append((t, kind, name, x0, got, want))

    run_threads(work)
    assert not mismatches[:5]


def profile(n, R_in=3e7, R_out=1e12):
    R = np.geomspace(R_in, R_out, n)
    return R, 1e5 * (R / 1e8) ** -0.75, np.sqrt(ref.G * 2e34 / R**3)


@pytest.mark.parametrize("law", ["electron scattering", "Kramers table"])
def test_one_closure_solving_profiles_on_many_threads(law):
    c = ref.bound_closure(law=None if law == "electron scattering" else C_OPALGridOpacity(*ref.TABLE, 1))
    R, Sigma, Omega = profile(400)
    slices = [slice(k, None, N_THREADS) for k in range(N_THREADS)]
    serial = [solve_profile(c, R[s], Sigma[s], Omega[s]) for s in slices]
    results = [[] for _ in range(N_THREADS)]

    def work(t):
        for rep in range(3):
            k = (t + rep) % N_THREADS
            s = slices[k]
            results[t].append((k, solve_profile(c, R[s], Sigma[s], Omega[s])))

    run_threads(work)
    for per_thread in results:
        for k, out in per_thread:
            assert np.array_equal(out, serial[k])


def test_failures_stay_on_their_own_thread():
    """Threads solving rows that fail and rows that succeed, at once: each
    sees only its own exception."""
    failing = ref.bound_closure(law=C_OPALGridOpacity(np.array([3.0, 3.5]), np.array([-1.0, 0.0]),
                                                      np.zeros((2, 2)), 0))
    good = ref.bound_closure()
    R, Sigma, Omega = profile(200)
    want = solve_profile(good, R, Sigma, Omega)
    outcomes = [[] for _ in range(N_THREADS)]

    def work(t):
        for _ in range(3):
            if t % 2:
                try:
                    solve_profile(failing, R, Sigma, Omega)
                    outcomes[t].append("no error")
                except ValueError as e:
                    outcomes[t].append("row 0" in e.__notes__[0])
            else:
                outcomes[t].append(np.array_equal(solve_profile(good, R, Sigma, Omega), want))

    run_threads(work)
    assert all(o == [True] * 3 for o in outcomes)


# --- a writer thread ------------------------------------------------------------

def test_writer_thread_while_others_evaluate(law):
    """One thread overwrites grid and table entries with random values,
    NaN, infinities, repeated nodes and out-of-order grids included, while
    the others evaluate through the table without the lock and through the
    _array methods with it."""
    g1, g2, lk = random_table(9, n1=12, n2=10, holes=0.0)
    obj = law["cls"](g1, g2, lk, 1)
    fns = slots(law["cls"])
    pts = [logs_for(law, x, y) for x, y in zip(np.linspace(g1[0] - 1, g1[-1] + 1, 60),
                                               np.linspace(g2[0] - 1, g2[-1] + 1, 60))]
    log_T, log_rho = np.array([p[0] for p in pts]), np.array([p[1] for p in pts])
    allowed = (ValueError, ZeroDivisionError)
    unexpected = []
    specials = np.array([np.nan, np.inf, -np.inf, 0.0, 1e300, -1e300])

    def write(rng):
        for a in (g1, g2, lk.ravel()):
            i = rng.integers(a.size)
            a[i] = specials[rng.integers(specials.size)] if rng.random() < 0.3 else rng.uniform(-10, 10)
        if rng.random() < 0.05:
            g1[:] = np.sort(rng.uniform(3.0, 9.0, g1.size))
            g2[:] = np.sort(rng.uniform(-9.0, 3.0, g2.size))

    def evaluator(t):
        for _ in range(60):
            for k in (1, 2, 3):
                for p in pts:
                    got = outcome(fns[k], obj, *p)
                    if got[0] != "value" and got[0] not in allowed:
                        unexpected.append(got)
            try:
                obj.log_opacity_array(log_T, log_rho)
            except allowed:
                pass

    writes = with_writer(write, evaluator)
    assert not unexpected[:5] and writes > 10


def test_writer_thread_under_profile_solves():
    """The same for a closure's law while profiles are solved with it."""
    g1, g2, lk = (a.copy() for a in ref.TABLE)
    c = ref.bound_closure(law=C_OPALGridOpacity(g1, g2, lk, 1))
    R, Sigma, Omega = profile(300)
    solved = []

    def write(rng):
        lk[rng.integers(lk.shape[0]), rng.integers(lk.shape[1])] = rng.choice([np.nan, np.inf, -2.0, 5.0])
        g2[rng.integers(g2.size)] = rng.uniform(-9.0, 3.0)

    def work(t):
        for _ in range(3):
            try:
                out = solve_profile(c, R, Sigma, Omega, on_failure="nan")
            except ZeroDivisionError:   # two grid nodes made equal
                continue
            assert out.shape == (300, 21)
            solved.append(int(np.isfinite(out[:, 8]).sum()))

    writes = with_writer(write, work)
    assert solved and writes > 0


@pytest.mark.parametrize("change", ["new law", "rebinding"])
def test_profile_works_from_the_parameters_it_started_with(change):
    """Another thread installing new laws or binding new parameters while
    profiles are solved without the lock neither frees what a solve reads nor
    mixes two sets of parameters in one solve: each works from the copy it
    took at its start, so its rows are those of one set or the other."""
    from velmora.radiation.opacity import ElectronScatteringOpacity

    c = ref.bound_closure()
    R, Sigma, Omega = profile(20000)
    if change == "new law":
        settings = [lambda: setattr(c, "opacity", ElectronScatteringOpacity(0.7)),
                    lambda: setattr(c, "opacity", ElectronScatteringOpacity(0.0))]
    else:
        settings = [lambda: c.bind_runtime_parameters(dict(ref.RUN_PARAMS)),
                    lambda: c.bind_runtime_parameters(dict(ref.RUN_PARAMS, alpha=0.3))]
    expected = []
    for apply in settings:
        apply()
        expected.append(solve_profile(c, R, Sigma, Omega, on_failure="nan"))
    assert not np.array_equal(expected[0], expected[1], equal_nan=True)
    toggle = [0]

    def write(rng):
        toggle[0] ^= 1
        settings[toggle[0]]()

    got = []
    writes = with_writer(write, lambda k: got.extend(solve_profile(c, R, Sigma, Omega, on_failure="nan")
                                                     for _ in range(3)), n=2)
    assert writes > 1
    for out in got:
        assert any(np.array_equal(out, e, equal_nan=True) for e in expected)


def test_runs_survive_reinitialisation_rebinding_and_new_laws():
    """Another thread calls __init__ again (which changes nothing), rebinds
    the closure and swaps its law while evolve and solve_profile run without
    the lock: every run works from the functions, records and law it started
    with, so its rows are those of one serial run (the sanitizer run checks
    that nothing freed or rewritten is read)."""
    from velmora.dynamics.accretion.one_zone.closure import evolve
    from velmora.radiation.opacity import ElectronScatteringOpacity

    c = ref.bound_closure(with_fallback=True, run_params=dict(ref.RUN_PARAMS, log_M_fb_0=math.log(1e28),
                          log_R_c=math.log(3e10), log_t_fb=math.log(1e2), beta_fb=5.0 / 3.0))
    params = [dict(ref.RUN_PARAMS, log_M_fb_0=math.log(m), log_R_c=math.log(3e10), log_t_fb=math.log(1e2),
                   beta_fb=5.0 / 3.0) for m in (1e28, 3e28)]
    laws = [ElectronScatteringOpacity(0.7), ElectronScatteringOpacity(0.0)]
    states = [(law, p) for law in laws for p in params]
    R, Sigma, Omega = profile(2000)

    def apply(state):
        c.opacity, p = state
        c.bind_runtime_parameters(dict(p))

    def runs():
        return (evolve(c, 1e28, 1e10, 3e3, n_out=20, rtol=1e-7, branch="thick"),
                solve_profile(c, R, Sigma, Omega, on_failure="nan", branch="hottest", threads=2))

    expected = []
    for state in states:
        apply(state)
        expected.append(runs())
    turn = [0]

    def write(rng):
        turn[0] += 1
        c.__init__(bool(turn[0] % 2), 2.0, 0.9)
        apply(states[turn[0] % len(states)])

    got = []
    writes = with_writer(write, lambda k: got.extend(runs() for _ in range(2)), n=2)
    assert writes > 1 and len(got) == 4
    for rows, out in got:
        assert any(np.array_equal(rows, e[0]) for e in expected)
        assert any(np.array_equal(out, e[1], equal_nan=True) for e in expected)
