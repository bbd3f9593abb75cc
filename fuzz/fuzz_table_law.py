"""Fuzzing target: the table laws' constructor and every evaluation, scalar
and _array, against the pure-Python reference of the property tests."""

import numpy as np

from _harness import Doubles, run
from grid_tables_reference import LAWS
from test_hardening_properties import check_law_at


def test_one_input(data: bytes) -> None:
    d = Doubles(data)
    name = ("opal", "tops")[d.int(0, 1)]
    g1 = d.list(d.int(1, 6), -10.0, 10.0)
    g2 = d.list(d.int(1, 6), -10.0, 10.0)
    if d.int(0, 3):   # mostly ordered grids, which reach the interpolation
        g1, g2 = sorted(g1), sorted(g2)
    shape = (len(g1) + d.int(0, 2), len(g2) + d.int(0, 2))
    lk = np.array(d.list(shape[0] * shape[1], -6.0, 6.0)).reshape(shape)
    mode = d.int(-1, 3) if d.int(0, 3) else d.fdp.ConsumeInt(4)
    coords = [(d(-12.0, 12.0), d(-12.0, 12.0)) for _ in range(d.int(1, 6))]
    table = (np.array(g1), np.array(g2), lk)
    try:
        LAWS[name]["cls"](*table, mode)
    except ValueError:
        return   # a table the constructor refuses (too small, too short)
    check_law_at(name, table, mode, coords)


if __name__ == "__main__":
    run(test_one_input)
