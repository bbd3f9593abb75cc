"""The advective output writer gasrad_adv_writer_func: the 21 columns, their
placement at row + k * stride, and the zero radius."""

import ctypes
import math
from ctypes import byref, c_double

import pytest

import gasrad_adv_reference as ref
from disk_records import DiskDerived, DiskState, DiskStep

PREFIX = "velmora.dynamics.accretion.one_zone.models._gasrad_adv."
SENTINEL = -12345.5
STATE = (3.5e4, 2.0e30, 7.0e49)
STEP = (1.0e20, -2.0e20, 3.0e40)


def solved(xi=0.5, R_D=1e10, Sigma=1e4):
    """A bound closure, its parameters and a closure result for one ring."""
    c = ref.bound_closure(xi=xi)
    derived = (R_D, Sigma, ref.keplerian(R_D))
    status, fields = ref.solve(derived, 0.1, 0.6, xi, c.opacity, 0.0)
    assert status == ref.SUCCESS
    result = ref.result_record()
    for name, value in fields.items():
        setattr(result, name, value)
    return c, ref.parameters_of(c), derived, result, fields


def write(row, stride, size, derived, params, result, state=STATE, factory=ctypes.PYFUNCTYPE):
    buf = (c_double * size)(*[SENTINEL] * size)
    status = ref.writer_func(factory)(row, byref(DiskState(*state)), byref(DiskDerived(*derived)), byref(params),
                                      byref(result), byref(DiskStep(*STEP)), buf, stride)
    return status, list(buf)


@pytest.mark.parametrize("xi", [0.5, 0.0, 3.0])
@pytest.mark.parametrize("R_D,Sigma", [(1e9, 10.0), (1e11, 1e3), (1e12, 100.0)])
def test_columns_match_reference(xi, R_D, Sigma):
    c, params, derived, result, fields = solved(xi, R_D, Sigma)
    status, buf = write(0, 1, 21, derived, params, result)
    assert status == 0
    assert buf == ref.writer_row(0, STATE, derived, 0.1, xi, fields, STEP)


def test_xi_zero_gives_no_advective_cooling():
    c, params, derived, result, _ = solved(xi=0.0, R_D=1e12, Sigma=100.0)
    _, buf = write(0, 1, 21, derived, params, result)
    assert buf[13] == 0.0


def test_row_3_stride_10_lands_at_3_13_to_203():
    c, params, derived, result, fields = solved()
    status, buf = write(3, 10, 211, derived, params, result)
    assert status == 0
    written = [3 + 10 * k for k in range(21)]
    assert [i for i, v in enumerate(buf) if v != SENTINEL] == written
    assert [buf[i] for i in written] == ref.writer_row(3, STATE, derived, 0.1, 0.5, fields, STEP)
    assert buf[3] == 3.0


def test_stride_1_row_0_fills_indices_0_to_20():
    c, params, derived, result, _ = solved()
    status, buf = write(0, 1, 30, derived, params, result)
    assert status == 0
    assert all(v != SENTINEL for v in buf[:21]) and buf[21:] == [SENTINEL] * 9


def test_runs_without_the_interpreter_lock():
    c, params, derived, result, fields = solved()
    status, buf = write(2, 1, 25, derived, params, result, factory=ctypes.CFUNCTYPE)
    assert status == 0
    assert buf[2:23] == ref.writer_row(2, STATE, derived, 0.1, 0.5, fields, STEP)


def test_zero_radius_raises_after_columns_0_to_18():
    c, params, derived, result, _ = solved()
    zero = (0.0, derived[1], derived[2])
    with pytest.raises(ZeroDivisionError) as info:
        write(1, 5, 110, zero, params, result)
    assert str(info.value) == "float division"
    assert ref.kernel_frames(info.value) == [PREFIX + "gasrad_adv_writer_func"]
    buf = (c_double * 110)(*[SENTINEL] * 110)
    f = ref.writer_func()
    with pytest.raises(ZeroDivisionError):
        f(1, byref(DiskState(*STATE)), byref(DiskDerived(*zero)), byref(params), byref(result),
          byref(DiskStep(*STEP)), buf, 5)
    assert [buf[1 + 5 * k] != SENTINEL for k in range(21)] == [True] * 19 + [False, False]
    assert buf[1 + 5 * 13] == math.inf
    assert buf[1 + 5 * 4] == 0.0


def test_nan_radius_is_not_zero():
    c, params, derived, result, _ = solved()
    status, buf = write(0, 1, 21, (math.nan, derived[1], derived[2]), params, result)
    assert status == 0
    assert math.isnan(buf[19])


def test_parameters_without_advection_record_are_refused():
    c, params, derived, result, _ = solved()
    params.advection = None
    with pytest.raises(RuntimeError) as info:
        write(0, 1, 21, derived, params, result)
    assert str(info.value) == ("gasrad_adv_writer_func(): the disk parameters hold no advection record; "
                               "call bind_runtime_parameters first")
    assert ref.kernel_frames(info.value) == [PREFIX + "gasrad_adv_writer_func"]
