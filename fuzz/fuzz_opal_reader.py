"""Fuzzing target: the OPAL text reader, through its public functions
read_opal and load_opal only, on fuzzed file contents. Malformed input must
end in a ValueError (OPALFormatError is one), never another exception."""

import os
import tempfile

import atheris

from _harness import run

with atheris.instrument_imports(include=["velmora"]):   # coverage of the reader's Python code
    from velmora.radiation.opacity.grey_opacity.rosseland import load_opal, read_opal

PATH = os.path.join(tempfile.mkdtemp(prefix="velmora-fuzz-opal-"), "table.txt")


def test_one_input(data: bytes) -> None:
    with open(PATH, "wb") as f:
        f.write(data)
    try:
        tables = read_opal(PATH)
    except (ValueError, UnicodeDecodeError):
        return
    for t in tables:
        assert t.log10_kappa.shape == (t.log10_T.size, t.log10_R.size)
    if tables:
        # Every out-of-bounds mode, the law that extends the table included,
        # chosen by the input's length; evaluated at a corner of the table
        # and beyond its cool, dense edge.
        oob = (0, 1, 2, "extend")[len(data) % 4]
        try:
            law = load_opal(PATH, tables[0].X, tables[0].Z, oob)
        except ValueError:
            return   # a table the law refuses (unordered grids, say)
        ln10 = 2.302585092994046
        for log10_T, log10_rho in ((tables[0].log10_T[0], -10.0), (tables[0].log10_T[0] - 0.5, 3.0)):
            try:
                law.log_opacity(float(log10_T) * ln10, log10_rho * ln10)
            except (ValueError, ZeroDivisionError):
                pass   # outside the table in mode 0, or a cell of zero width


if __name__ == "__main__":
    run(test_one_input)
