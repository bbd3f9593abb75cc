"""The table laws' cell search and the calls between their operations.

The bisection runs a fixed number of halvings for a grid of n nodes; it must
give the cell of the halving loop for every n and every x, even on grids that
are not increasing. The operations call this law's own entries directly, so
an entry replaced in the operation table must still take effect everywhere."""

import ctypes
import math

import numpy as np
import pytest

from capi_helpers import frame_names, vtable_address
from grid_tables_reference import LAWS, Reference, bisect, logs_for, outcome, random_table, same

D, I = ctypes.c_double, ctypes.c_int
PD, PI = ctypes.POINTER(D), ctypes.POINTER(I)
FIND = ctypes.PYFUNCTYPE(I, ctypes.py_object, D, D, PI, PI)
BISECT = ctypes.CFUNCTYPE(I, ctypes.c_void_p, ctypes.c_void_p, I, D)
COORDS = ctypes.CFUNCTYPE(None, ctypes.c_void_p, D, D, PD, PD)
INTERP = ctypes.CFUNCTYPE(D, ctypes.c_void_p, D, D, I, I)
SLOT_BISECT, SLOT_INTERP, SLOT_COORDS, SLOT_FIND = 4, 5, 6, 7
WORD = ctypes.sizeof(ctypes.c_void_p)


@pytest.fixture(params=list(LAWS))
def law(request):
    return LAWS[request.param]


def find_cell(law, obj, x, y):
    fn = FIND(ctypes.c_void_p.from_address(vtable_address(law["cls"]) + SLOT_FIND * WORD).value)
    i, j = I(-7), I(-7)
    flag = fn(obj, x, y, ctypes.byref(i), ctypes.byref(j))
    return flag, i.value, j.value


@pytest.mark.parametrize("n", list(range(2, 35)) + [63, 64, 65, 66, 70, 129, 130])
def test_cell_search_for_every_grid_size(law, n):
    rng = np.random.default_rng(n)
    g1 = 3.0 + np.cumsum(rng.uniform(0.01, 0.3, n))
    g2 = np.array([-1.0, 0.0, 1.0])
    obj = law["cls"](g1, g2, np.zeros((n, 3)), 0)
    xs = list(g1) + list((g1[1:] + g1[:-1]) / 2) + [g1[0] - 1e-10, g1[-1] + 1e-10, math.nan]
    for x in xs:
        want = (0, min(bisect(list(g1), n, x), n - 2), 1)
        assert find_cell(law, obj, float(x), 0.5) == want, x


@pytest.mark.parametrize("seed", range(6))
def test_cell_search_on_grids_out_of_order(law, seed):
    # Not a valid table, but the search is defined step by step on any grid.
    rng = np.random.default_rng(seed)
    n1, n2 = int(rng.integers(3, 40)), int(rng.integers(3, 40))
    g1, g2 = rng.uniform(0.0, 1.0, n1), rng.uniform(0.0, 1.0, n2)
    g1[0], g1[-1], g2[0], g2[-1] = 0.0, 1.0, 0.0, 1.0  # every point lies inside
    obj = law["cls"](g1, g2, np.zeros((n1, n2)), 0)
    for x, y in rng.uniform(0.0, 1.0, (200, 2)):
        want = (0, min(bisect(list(g1), n1, x), n1 - 2), min(bisect(list(g2), n2, y), n2 - 2))
        assert find_cell(law, obj, float(x), float(y)) == want


class Replaced:
    """Replaces one entry of a law's operation table for the life of a with-block."""

    def __init__(self, law, index, prototype, fn):
        self.address = vtable_address(law["cls"]) + index * WORD
        self.callback = prototype(fn)

    def __enter__(self):
        self.saved = ctypes.c_void_p.from_address(self.address).value
        ctypes.c_void_p.from_address(self.address).value = ctypes.cast(self.callback, ctypes.c_void_p).value
        return self

    def __exit__(self, *exc):
        ctypes.c_void_p.from_address(self.address).value = self.saved


def make(law, oob=0):
    g1, g2, lk = random_table(31, holes=0.0)
    return law["cls"](g1, g2, lk, oob), Reference(law, g1, g2, lk, oob), g1, g2


def test_replaced_bisection_is_used_by_every_operation(law):
    obj, ref, g1, g2 = make(law)
    point = logs_for(law, (g1[4] + g1[5]) / 2, (g2[6] + g2[7]) / 2)
    calls = []

    def first_cell(_self, _grid, n, x):
        calls.append(n)
        return 0

    x, y = ref.coords(*point)
    with Replaced(law, SLOT_BISECT, BISECT, first_cell):
        got = [obj.log_opacity(*point), obj.dlogkappa_dlogrho(*point), obj.dlogkappa_dlogT(*point),
               obj.opacity(math.exp(point[1]), math.exp(point[0]))]
    # Every evaluation searched both axes through the replaced entry and
    # extrapolated from cell (0, 0).
    assert calls == [len(g1), len(g2)] * 4
    assert got[0] == ref.interp(x, y, 0, 0) * math.log(10.0)
    assert got[1] == ref.slope_second_axis(x, 0, 0)
    assert obj.log_opacity(*point) == ref.log_opacity(*point)  # restored


def test_replaced_coordinates_and_interpolation_are_used(law):
    obj, ref, g1, g2 = make(law)
    point = logs_for(law, (g1[2] + g1[3]) / 2, (g2[3] + g2[4]) / 2)

    def fixed_coords(_self, _log_T, _log_rho, px, py):
        px[0], py[0] = g1[1], g2[1]

    with Replaced(law, SLOT_COORDS, COORDS, fixed_coords):
        assert obj.log_opacity(*point) == ref.lk[1][1] * math.log(10.0)
    with Replaced(law, SLOT_INTERP, INTERP, lambda _s, _x, _y, i, j: 100.0 * i + j):
        _, i, j = ref.find_cell(*ref.coords(*point))
        assert obj.log_opacity(*point) == (100.0 * i + j) * math.log(10.0)
    assert same(outcome(obj.log_opacity, *point), outcome(ref.log_opacity, *point))


def test_failure_of_a_replaced_entry_is_passed_on(law):
    obj, ref, g1, g2 = make(law)
    point = logs_for(law, g1[3], g2[3])
    # PyErr_NoMemory as the bisection: it ignores the arguments, leaves
    # MemoryError pending and returns a null pointer, read as the cell 0.
    address = vtable_address(law["cls"]) + SLOT_BISECT * WORD
    saved = ctypes.c_void_p.from_address(address).value
    no_memory = ctypes.cast(ctypes.pythonapi.PyErr_NoMemory, ctypes.c_void_p).value
    ctypes.c_void_p.from_address(address).value = no_memory
    try:
        with pytest.raises(MemoryError) as e:
            obj.dlogkappa_dlogT(*point)
    finally:
        ctypes.c_void_p.from_address(address).value = saved
    assert frame_names(e.value) == ["velmora.radiation.opacity.kappa_core.C_GreyKappaCore.dlogkappa_dlogT",
                                    law["prefix"] + "._dlogkappa_dlogT", law["prefix"] + "._find_cell"]
    assert obj.dlogkappa_dlogT(*point) == ref.dlogkappa_dlogT(*point)
