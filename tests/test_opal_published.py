"""The reader on the published fixed-width OPAL layout: a file of our own in
that layout against a fixed-width parse written here, corrupted copies of it,
and the reader's cost against the size of hostile input."""

import math
import time
from pathlib import Path

import numpy as np
import pytest

from velmora.radiation.opacity.grey_opacity.rosseland import OPALFormatError, read_opal

PUBLISHED = Path(__file__).parent / "data" / "opal_published_layout.txt"
LINES = PUBLISHED.read_text().split("\n")


def fixed_width_tables(lines):
    """Every table after the banner: (number, X, Z, log10 T, log10 R, kappa),
    fields cut at 4 + 7 k; blanks and 9.999 are NaN."""
    start = next(k for k, line in enumerate(lines) if line.startswith("*") and "Tables" in line)
    tables = []
    for k in range(start, len(lines)):
        if not lines[k].startswith("TABLE #"):
            continue
        header = lines[k].split()
        number = int(header[2])
        comp = {w.split("=")[0]: float(w.split("=")[1]) for w in header if w[:2] in ("X=", "Z=")}
        col = next(m for m in range(k, len(lines)) if lines[m].startswith("logT"))
        log10_R = [float(lines[col][4 + 7 * j:10 + 7 * j]) for j in range(19)]
        temps, rows = [], []
        m = col + 2
        while m < len(lines) and lines[m].strip():
            line = lines[m]
            temps.append(float(line[:4]))
            fields = [line[4 + 7 * j:11 + 7 * j].strip() for j in range(19)]
            rows.append([math.nan if f in ("", "9.999") else float(f) for f in fields])
            m += 1
        tables.append((number, comp["X"], comp["Z"], temps, log10_R, np.array(rows)))
    return tables


@pytest.mark.parametrize("line_end", ["\n", "\r\n"])
def test_published_layout_reads_as_its_fixed_width_fields(tmp_path, line_end):
    path = tmp_path / "published.txt"
    path.write_bytes(PUBLISHED.read_text().replace("\n", line_end).encode())
    got = read_opal(path)
    expected = fixed_width_tables(LINES)
    assert len(got) == len(expected) == 4
    for t, (number, X, Z, temps, log10_R, kappa) in zip(got, expected):
        assert (t.number, t.X, t.Z) == (number, X, Z)
        assert t.log10_T.tolist() == temps and t.log10_R.tolist() == log10_R
        np.testing.assert_array_equal(t.log10_kappa, kappa)
    # The holes the file was written with: markers at the left, blank right
    # ends, and a blank and a marker inside a row (table 2, log10 T = 5.00).
    k2 = got[1].log10_kappa
    assert np.isnan(k2[0, :6]).all() and np.isnan(k2[-1, 7:]).all()
    assert np.isnan(k2[7, [8, 11]]).all() and np.isfinite(k2[7, [7, 9, 10, 12]]).all()
    assert np.isnan(got[2].log10_kappa[4, 0]) and np.isfinite(got[2].log10_kappa[4, 1:]).all()


def row_line(table, log10_T):
    """Index into LINES of the row log10_T of table `table`."""
    start = LINES.index(next(line for line in LINES if line.startswith(f"TABLE #{table:3d}     ")))
    return next(k for k in range(start, len(LINES)) if LINES[k].startswith(f"{log10_T:4.2f}"))


def without(k):
    return LINES[:k] + LINES[k + 1:]


def replaced(k, text):
    return LINES[:k] + [text] + LINES[k + 1:]


R3 = row_line(3, 4.50)
R2 = row_line(2, 3.95)
END3 = row_line(3, 8.30)
TABLE3 = LINES.index(next(line for line in LINES if line.startswith("TABLE #  3     ")))


@pytest.mark.parametrize("lines, lineno, table, fragment", [
    # a missing row: named by the log10 T it lacked, at the row found instead
    (without(R3), R3 + 1, 3, "the row log10 T = 4.5 is missing (found log10 T = 5)"),
    # a blank field where a number must be
    (replaced(R2, "    " + LINES[R2][4:]), R2 + 1, 2, "expected log10 T in columns 1-4, found a blank"),
    (replaced(R2, LINES[R2][:11] + " -0.4x8" + LINES[R2][18:]), R2 + 1, 2,
     "expected a number or a blank in columns 12-18 (log R = -7.5), found '-0.4x8'"),
    (replaced(R2, LINES[R2] + "  1.000"), R2 + 1, 2, "more than the 19 fields"),
    # truncated inside a table, at a line end and inside a row
    (LINES[:END3] + [""], END3, 3, "the table ends after log10 T = 8; expected the row log10 T = 8.3"),
    (LINES[:END3] + [LINES[END3][:30]], END3 + 1, 3, "the file ends inside this row"),
    # truncated between tables: the summary lists what is missing
    (LINES[:TABLE3], 5, None, "table #3, listed in the summary, is not in the file; the file ends"),
    # a header after the banner that no label follows
    (without(TABLE3 + 2), TABLE3 + 4, 3, "expected the 'log R' label line after the header, "
                                         "found 'logT  -8.0   -7.5   ...'"),
])
def test_corrupted_copies_name_line_table_and_what_was_expected(tmp_path, lines, lineno, table,
                                                                 fragment):
    path = tmp_path / "corrupt.txt"
    text = "\n".join(lines)
    path.write_text(text if fragment == "the file ends inside this row" else text + "\n")
    with pytest.raises(OPALFormatError) as e:
        read_opal(path)
    assert (e.value.lineno, e.value.table) == (lineno, table), str(e.value)
    prefix = f"{path}, line {lineno}: " + (f"table #{table}: " if table else "")
    assert str(e.value).startswith(prefix) and fragment in str(e.value), str(e.value)


def test_headers_from_which_no_table_parses_are_an_error(tmp_path):
    # The published layout's label is "log R": a reader that knows only
    # "logR" would see summary entries here and return no table.
    text = "\n".join(line.replace("log R", "lg R") for line in LINES[:10] + LINES[11:]) + "\n"
    path = tmp_path / "nolabel.txt"
    path.write_text(text.replace("*" * 36 + " Tables " + "*" * 36, "*" * 80))
    with pytest.raises(OPALFormatError, match=r"line 3: table #1: no table could be read: none "
                                               r"of the 8 'TABLE #' headers"):
        read_opal(path)


def crafted(n):
    """Input built to make a backtracking number pattern quadratic: long digit
    runs ending in a letter, in the summary, a header and the failing row,
    around n / 10 good rows."""
    digits = "1" * n
    return (f"{digits}a summary {digits}\nTABLE # 1 X=0.7 Z=0.02 dXc={digits}a\nlogR -1.0 0.0\n"
            + "".join(f"{4 + k * 1e-6:.6f} 1 2\n" for k in range(n // 10))
            + f"5.0 {digits}x 2\n")


def read_time(path):
    best = math.inf
    for _ in range(5):
        start = time.perf_counter()
        with pytest.raises(OPALFormatError):
            read_opal(path)
        best = min(best, time.perf_counter() - start)
    return best


def test_reading_hostile_input_costs_time_in_proportion_to_its_size(tmp_path):
    small, large = tmp_path / "small.txt", tmp_path / "large.txt"
    small.write_text(crafted(2_000))
    large.write_text(crafted(16_000))
    ratio = large.stat().st_size / small.stat().st_size
    # Linear: 8x the size costs about 8x the time; quadratic would be 64x.
    assert read_time(large) < 3.0 * ratio * read_time(small) + 0.01
