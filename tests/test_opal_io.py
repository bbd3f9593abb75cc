"""The OPAL-layout table reader and the shipped synthetic sample table."""

import gc
import math
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from velmora.radiation.opacity.grey_opacity.rosseland import (
    OPALFormatError, load_opal, load_sample, read_opal, sample_table_path)

SCRIPT = Path(__file__).resolve().parents[1] / "scripts" / "make_sample_opal_table.py"
LN10 = math.log(10.0)

SMALL = """\
Two small tables; free text, with X=0.1 and numbers 1 2 3 in it.
 Table # 7  X=0.7000 Y=0.2800 Z=0.0200
 Table # 9  X=0.0000 Y=0.9900 Z=0.0100
12 34 this summary line starts with a number and is ignored

*****************
TABLE # 7   mix A X=0.7000 Y=0.2800 Z=0.0200 dXc=0.1000 dXo=0.0000
 logR  -1.0  -0.5   0.0
logT
 4.00  -1.000  -0.500   0.250
 4.50\t-2.000  -1.500   1.500

 5.00  -3.000   9.999   2.000
*****************
TABLE # 9   X=0.0000 Y=0.9900 Z=0.0100

logT    logR =  -1.0   -0.5    0.0
   4.00  1.000  2.000  3.000
   4.50  1.100  2.100  3.100
   5.00  1.200
"""


def write(tmp_path, text, name="t.txt"):
    path = tmp_path / name
    path.write_text(text)
    return path


def node_log_rho(log10_T, log10_R):
    """ln rho of a table node: log10 rho = log10 R + 3 (log10 T - 6)."""
    return (log10_R + 3.0 * (log10_T - 6.0)) * LN10


def test_reads_tables_holes_and_short_rows(tmp_path):
    a, b = read_opal(write(tmp_path, SMALL))
    nan = math.nan
    assert (a.number, a.X, a.Y, a.Z) == (7, 0.7, 0.28, 0.02)
    assert (b.number, b.X, b.Y, b.Z) == (9, 0.0, 0.99, 0.01)
    for t in (a, b):
        assert t.log10_T.tolist() == [4.0, 4.5, 5.0]
        assert t.log10_R.tolist() == [-1.0, -0.5, 0.0]
        for arr in (t.log10_T, t.log10_R, t.log10_kappa):
            assert arr.dtype == np.float64 and arr.flags.c_contiguous and arr.flags.writeable
    np.testing.assert_array_equal(
        a.log10_kappa, [[-1.0, -0.5, 0.25], [-2.0, -1.5, 1.5], [-3.0, nan, 2.0]])
    np.testing.assert_array_equal(
        b.log10_kappa, [[1.0, 2.0, 3.0], [1.1, 2.1, 3.1], [1.2, nan, nan]])


@pytest.mark.parametrize("column_lines", [
    "logR -1.0 -0.5 0.0",
    "  logT  logR: -1.0 -0.5 0.0",
    "logR\n\nlogT -1.0 -0.5 0.0",
    "LOGR = -1.0\t-0.5   0.0",
])
def test_column_line_variants(tmp_path, column_lines):
    text = f"TABLE #1 Z=0.02 X=0.7\n{column_lines}\n\n4.0 1 2 3\n4.5 4 5\n"
    (t,) = read_opal(write(tmp_path, text))
    assert t.log10_R.tolist() == [-1.0, -0.5, 0.0]
    assert t.Y == pytest.approx(0.28)               # from 1 - X - Z when not given
    np.testing.assert_array_equal(t.log10_kappa, [[1, 2, 3], [4, 5, np.nan]])


TABLE1 = "TABLE # 1 X=0.7 Y=0.28 Z=0.02\nlogR -1.0 0.0\n"


@pytest.mark.parametrize("body, lineno, fragment", [
    (TABLE1 + "4.0 1.0 2.0\n4.5 1.0 x2.0\n", 4, "non-numeric entry 'x2.0'"),
    # A blank inside a whitespace-separated row would shift the entries after it.
    (TABLE1.replace("-1.0 0.0", "-1.0 0.0 1.0") + "4.0  1.0  2.0  3.0\n4.5  1.0       3.0\n", 4,
     "do not stand in the columns of the full row at line 4: a blank field inside the row?"),
    (TABLE1 + "4.0 1.0 2.0\n4.5 1.0 nan\n", 4, "non-numeric entry 'nan'"),
    (TABLE1 + "4.0 1.0 2.0 3.0\n4.5 1 2\n", 3, "row has 3 values for 2 logR columns"),
    (TABLE1 + "4.0 1 2\n4.0 1 2\n", 4, "does not increase"),
    (TABLE1 + "4.0 1 2\n4.5 1 2\n4.2 1 2\n", 5, "does not increase"),
    ("TABLE # 5 X=0.7 Y=0.28 Z=0.02\n\n4.0 1 2\n", 3, "table #5 has no logR header"),
    ("TABLE # 1 X=0.7 Y=0.28\nlogR -1 0\n4.0 1 2\n4.5 1 2\n", 1, "does not give X= and Z="),
    ("TABLE # 1 X=0.7 Z=0.02\nlogR\n4.0 1 2\n", 2, "logR header without column values"),
    ("TABLE # 1 X=0.7 Z=0.02\nlogR -1 0 q\n4.0 1 2\n", 2, "non-numeric logR column 'q'"),
    ("TABLE # 1 X=0.7 Z=0.02\nlogR 0 -1\n4.0 1 2\n", 2, "strictly increasing"),
    (TABLE1 + "4.0 1 2\n", 1, "table #1 has fewer than two logT rows"),
    (TABLE1 + "4.0 1 2\n4.5 1 2\n--\n5.0 1 2\n", 6, "data row outside a table"),
    (TABLE1 + "4.0 1 2\n4.5 1 2\n" + TABLE1.replace("# 1", "# 2") + "4.0 1 2\n4.6 1 2\n",
     8, "log10 T rows differ from those of table #1"),
    (TABLE1 + "4.0 1 2\n4.5 1 2\n" + TABLE1.replace("# 1", "# 2") + "4.0 1 2\n4.5 1 2\n"
     "5.0 1 2\n", 9, "log10 T rows differ"),
    (TABLE1 + "4.0 1 2\n4.5 1 2\nTABLE # 2 X=0 Z=0.02\nlogR -1.0 0.5\n4.0 1 2\n4.5 1 2\n",
     6, "logR columns differ from those of table #1"),
])
def test_malformed_input_names_file_and_line(tmp_path, body, lineno, fragment):
    path = write(tmp_path, "header text\n" + body)
    with pytest.raises(OPALFormatError) as e:
        read_opal(path)
    assert isinstance(e.value, ValueError)
    assert e.value.lineno == lineno + 1 and e.value.path == str(path)
    assert str(e.value).startswith(f"{path}, line {lineno + 1}: ")
    assert fragment in str(e.value)


def test_load_opal_picks_the_composition(tmp_path):
    path = write(tmp_path, SMALL)
    for (X, Z), row in [((0.7, 0.02), [-1.0, -0.5, 0.25]), ((0.00004, 0.01), [1.0, 2.0, 3.0])]:
        law = load_opal(path, X, Z)
        gc.collect()                                # the law alone keeps the arrays alive
        for log10_R, value in zip([-1.0, -0.5, 0.0], row):
            assert law.log_opacity(4.0 * LN10, node_log_rho(4.0, log10_R)) == \
                pytest.approx(value * LN10, rel=1e-12)
    # A hole reads as NaN inside the domain; the out-of-bounds mode is passed on.
    assert math.isnan(load_opal(path, 0.7, 0.02).log_opacity(4.75 * LN10,
                                                          node_log_rho(4.75, -0.75)))
    assert math.isnan(load_opal(path, 0.7, 0.02, oob=2).log_opacity(6.0 * LN10, 0.0))
    with pytest.raises(ValueError, match="outside the table domain"):
        load_opal(path, 0.7, 0.02, oob=0).log_opacity(6.0 * LN10, 0.0)


def test_programs_read_a_table_once_and_a_changed_file_again(tmp_path):
    from velmora.radiation.opacity.choice import opacity_law
    assert opacity_law("sample", 0.7, 0.02) is opacity_law("sample", 0.7, 0.02)
    assert opacity_law("sample", 0.7, 0.02) is not opacity_law("sample", 0.7, 0.02, table_oob="clamp")
    path = write(tmp_path, SMALL)
    node = (4.0 * LN10, node_log_rho(4.0, -1.0))
    first = opacity_law("opal", 0.7, 0.02, opal_file=path, table_oob="raise")
    assert opacity_law("opal", 0.7, 0.02, opal_file=str(path), table_oob="raise") is first
    path.write_text(SMALL.replace(" 4.00  -1.000", " 4.00  -1.250"))
    changed = opacity_law("opal", 0.7, 0.02, opal_file=path, table_oob="raise")
    assert changed.log_opacity(*node) == pytest.approx(-1.25 * LN10, rel=1e-12)
    assert first.log_opacity(*node) == pytest.approx(-1.0 * LN10, rel=1e-12)


def test_absent_composition_lists_what_the_file_holds(tmp_path):
    path = write(tmp_path, SMALL)
    with pytest.raises(ValueError) as e:
        load_opal(path, 0.7001, 0.02)
    assert not isinstance(e.value, OPALFormatError)
    assert str(e.value) == (f"no table with X=0.7001, Z=0.0200 in {path}; the file holds "
                            "(X=0.7000, Z=0.0200), (X=0.0000, Z=0.0100)")


# The shipped sample, against an independent evaluation of the fits it documents.

SAMPLE_COMPOSITIONS = [(0.7, 0.02), (0.0, 0.02), (0.7, 0.001)]
SAMPLE_T = np.concatenate([np.linspace(3.75, 6.0, 46), np.linspace(6.1, 8.1, 21),
                           [8.3, 8.5, 8.7]])
SAMPLE_R = np.linspace(-8.0, 1.0, 19)


def analytic_log10_kappa(X, Z, log10_T, log10_rho):
    T, rho = 10.0**log10_T, 10.0**log10_rho
    conductive = (0.2 * (1 + X) + 3.68e22 * (1 - Z) * (1 + X) * rho / T**3.5
                  + 4.34e25 * Z * (1 + X) * rho / T**3.5)
    h_minus = 2.5e-31 * (Z / 0.02) * rho**0.5 * T**9
    return math.log10(h_minus * conductive / (h_minus + conductive))


def sample_node(X, Z, i, j):
    """(log10 kappa or NaN for a hole) at node (i, j) of the documented sample."""
    log10_rho = SAMPLE_R[j] + 3.0 * (SAMPLE_T[i] - 6.0)
    return math.nan if log10_rho > 6.0 else analytic_log10_kappa(X, Z, SAMPLE_T[i], log10_rho)


@pytest.fixture(scope="module")
def sample():
    return read_opal(sample_table_path())


def test_sample_says_it_is_synthetic():
    head = sample_table_path().read_text().splitlines()[:3]
    assert head[0].startswith("SYNTHETIC") and "NOT a real opacity tabulation" in head[1]


def test_sample_grids_holes_and_values(sample):
    assert [(t.X, t.Z) for t in sample] == SAMPLE_COMPOSITIONS
    for t in sample:
        assert t.Y == pytest.approx(1.0 - t.X - t.Z, abs=1e-12)
        assert t.log10_kappa.shape == (70, 19)
        np.testing.assert_allclose(t.log10_T, SAMPLE_T, rtol=0, atol=1e-12)
        np.testing.assert_allclose(t.log10_R, SAMPLE_R, rtol=0, atol=1e-12)
        ref = np.array([[sample_node(t.X, t.Z, i, j) for j in range(19)] for i in range(70)])
        np.testing.assert_array_equal(np.isnan(t.log10_kappa), np.isnan(ref))
        assert 0 < np.isnan(ref).sum() < ref.size // 10
        np.testing.assert_allclose(t.log10_kappa, ref, rtol=0, atol=5.0001e-4)


def bilinear(f, gx, gy, x, y):
    i = min(max(np.searchsorted(gx, x, side="right") - 1, 0), len(gx) - 2)
    j = min(max(np.searchsorted(gy, y, side="right") - 1, 0), len(gy) - 2)
    t = (x - gx[i]) / (gx[i + 1] - gx[i])
    u = (y - gy[j]) / (gy[j + 1] - gy[j])
    return ((1 - t) * (1 - u) * f(i, j) + t * (1 - u) * f(i + 1, j)
            + (1 - t) * u * f(i, j + 1) + t * u * f(i + 1, j + 1))


@pytest.mark.parametrize("X, Z", SAMPLE_COMPOSITIONS)
@pytest.mark.parametrize("T, rho", [(6.3e3, 1e-9), (1.2e4, 3e-7), (5.5e4, 1e-5),
                                    (3.3e5, 2e-4), (2.2e6, 1e-1), (4.4e7, 3.0), (3.2e8, 1e2)])
def test_sample_law_evaluates_the_fits(X, Z, T, rho):
    law = load_sample(X, Z) if (X, Z) != (0.7, 0.02) else load_sample()
    log10_T = math.log10(T)
    log10_R = math.log10(rho) - 3.0 * (log10_T - 6.0)
    got = law.opacity(rho, T)
    # Bilinear in the exact node values: equal up to the three-decimal rounding.
    interpolated = bilinear(lambda i, j: sample_node(X, Z, i, j), SAMPLE_T, SAMPLE_R,
                            log10_T, log10_R)
    assert abs(math.log10(got) - interpolated) <= 5.0001e-4
    # And the interpolation error of log10 kappa itself, h^2/8 |f''| per axis.
    i = min(np.searchsorted(SAMPLE_T, log10_T) - 1, 68)
    hx, hy = SAMPLE_T[i + 1] - SAMPLE_T[i], 0.5
    f = lambda x, y: analytic_log10_kappa(X, Z, x, y + 3.0 * (x - 6.0))  # noqa: E731
    fxx = (f(log10_T + hx, log10_R) - 2 * f(log10_T, log10_R) + f(log10_T - hx, log10_R)) / hx**2
    fyy = (f(log10_T, log10_R + hy) - 2 * f(log10_T, log10_R) + f(log10_T, log10_R - hy)) / hy**2
    bound = (hx**2 * abs(fxx) + hy**2 * abs(fyy)) / 8.0
    assert abs(math.log10(got) - f(log10_T, log10_R)) <= 5.0001e-4 + 2.0 * bound


def test_generator_reproduces_the_shipped_file(tmp_path):
    out = tmp_path / "regenerated.txt"
    subprocess.run([sys.executable, str(SCRIPT), str(out)], check=True)
    assert out.read_bytes() == sample_table_path().read_bytes()
