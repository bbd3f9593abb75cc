"""The operation tables of the table laws through ctypes: layout, the appended
slots on exact table coordinates, and evaluation without the interpreter lock."""

import ctypes
import math
import threading

import numpy as np
import pytest

from capi_helpers import frame_names, slot, table_pointer, vtable_address
from grid_tables_reference import LAWS, Reference, logs_for, random_table
from velmora.radiation.opacity import kappa_core

D, I, OBJ = ctypes.c_double, ctypes.c_int, ctypes.py_object
PD, PI = ctypes.POINTER(D), ctypes.POINTER(I)
GREY = ctypes.PYFUNCTYPE(D, OBJ, D, D)
INTERP = ctypes.PYFUNCTYPE(D, OBJ, D, D, I, I)
COORDS = ctypes.PYFUNCTYPE(None, OBJ, D, D, PD, PD)
FIND = ctypes.PYFUNCTYPE(I, OBJ, D, D, PI, PI)
NEAREST = ctypes.PYFUNCTYPE(D, OBJ, I, I)
OOB = ctypes.PYFUNCTYPE(D, OBJ, D, D)


@pytest.fixture(params=list(LAWS))
def law(request):
    return LAWS[request.param]


def make(law, oob=0, seed=21, **kw):
    g1, g2, lk = random_table(seed, **kw)
    return law["cls"](g1, g2, lk, oob), Reference(law, g1, g2, lk, oob), g1, g2, lk


def test_table_layout(law):
    obj = make(law, holes=0.0)[0]
    table = vtable_address(law["cls"])
    assert table_pointer(obj) == table != vtable_address(kappa_core.C_GreyKappaCore)
    p = logs_for(law, 5.0, -3.0)
    for index, method in enumerate(["log_opacity", "dlogkappa_dlogrho", "dlogkappa_dlogT"], start=1):
        assert slot(table, index, GREY)(obj, *p) == getattr(obj, method)(*p)
    assert slot(table, 0, GREY)(obj, 1e-6, 1e5) == obj.opacity(1e-6, 1e5)


def test_coords_and_find_cell(law):
    obj, ref, g1, g2, _ = make(law)
    table = vtable_address(law["cls"])
    x, y, i, j = D(), D(), I(-1), I(-1)
    p = logs_for(law, 5.1, -2.2)
    slot(table, 6, COORDS)(obj, *p, ctypes.byref(x), ctypes.byref(y))
    assert (x.value, y.value) == ref.coords(*p)
    find = slot(table, 7, FIND)
    n1, n2 = len(g1), len(g2)
    cases = [(g1[0], g2[0], 0, 0), (g1[3], g2[4], 3, 4), (g1[-1], g2[-1], n1 - 2, n2 - 2),
             (g1[0] - 5e-10, g2[1] - 1e-12, 0, 0), (math.nan, g2[5], 0, 5), (g1[2], math.nan, 2, 0)]
    for cx, cy, ci, cj in cases:
        assert find(obj, cx, cy, ctypes.byref(i), ctypes.byref(j)) == 0
        assert (i.value, j.value) == (ci, cj)
    for cx, cy in [(g1[0] - 2e-9, g2[0]), (g1[0], g2[-1] + 2e-9), (math.inf, g2[0])]:
        i.value = j.value = -1
        assert find(obj, cx, cy, ctypes.byref(i), ctypes.byref(j)) == 1
        assert (i.value, j.value) == (0, 0)


def test_interp_nearest_and_handle_oob(law):
    obj, ref, g1, g2, lk = make(law, holes=0.4)
    table = vtable_address(law["cls"])
    interp, nearest = slot(table, 5, INTERP), slot(table, 8, NEAREST)
    for i in range(len(g1) - 1):
        for j in range(len(g2) - 1):
            x, y = g1[i] + 0.3 * (g1[i + 1] - g1[i]), g2[j] + 0.6 * (g2[j + 1] - g2[j])
            got, want = interp(obj, x, y, i, j), ref.interp(x, y, i, j)
            assert got == want or (math.isnan(got) and math.isnan(want))
    for i in range(len(g1)):
        for j in range(len(g2)):
            got, want = nearest(obj, i, j), ref.nearest_finite(i, j)
            assert got == want or (math.isnan(got) and math.isnan(want))
    for mode in (1, 2, 7):
        o, r = make(law, oob=mode, holes=0.4)[:2]
        handle = slot(table, 9, OOB)
        for x, y in [(g1[-1] + 1, g2[0] - 1), (g1[0] - 1, g2[4])]:
            if mode == 7:
                with pytest.raises(ValueError) as e:
                    handle(o, x, y)
                assert frame_names(e.value) == [law["prefix"] + "._handle_oob"]
            else:
                got, want = handle(o, x, y), r.handle_oob(x, y)
                assert got == want or (math.isnan(got) and math.isnan(want))


def test_zero_width_cell_through_interp(law):
    g = np.array([4.0, 5.0, 5.0, 6.0])
    obj = law["cls"](g, g - 9.0, np.zeros((4, 4)), 0)
    with pytest.raises(ZeroDivisionError, match="^float division$") as e:
        slot(vtable_address(law["cls"]), 5, INTERP)(obj, 5.0, -4.0, 1, 0)
    assert frame_names(e.value) == [law["prefix"] + "._interp"]


def test_slots_run_without_the_lock_from_two_threads(law):
    obj, ref, g1, g2, _ = make(law, oob=1, n1=30, n2=30)
    table = vtable_address(law["cls"])
    released = ctypes.CFUNCTYPE(D, OBJ, D, D)
    calls = {k: slot(table, k, released) for k in (1, 2, 3)}
    names = {1: "log_opacity", 2: "dlogkappa_dlogrho", 3: "dlogkappa_dlogT"}
    rng = np.random.default_rng(22)
    pts = [logs_for(law, x, y) for x, y in zip(rng.uniform(g1[0] - 0.5, g1[-1] + 0.5, 400),
                                               rng.uniform(g2[0] - 0.5, g2[-1] + 0.5, 400))]
    want = {k: [getattr(ref, names[k])(*p) for p in pts] for k in calls}
    mismatches = []

    def run():
        for _ in range(5):
            for k, fn in calls.items():
                for p, w in zip(pts, want[k]):
                    g = fn(obj, *p)
                    if not (g == w or (math.isnan(g) and math.isnan(w))):
                        mismatches.append((k, p, g, w))

    threads = [threading.Thread(target=run) for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not mismatches


def test_failure_without_the_lock_is_left_pending(law):
    obj, _, g1, g2, _ = make(law, oob=0)
    fn = slot(vtable_address(law["cls"]), 1, ctypes.CFUNCTYPE(D, OBJ, D, D))
    with pytest.raises(SystemError) as e:
        fn(obj, *logs_for(law, g1[-1] + 1.0, g2[0]))
    assert isinstance(e.value.__cause__, ValueError)
    assert "is outside the table domain" in str(e.value.__cause__)
