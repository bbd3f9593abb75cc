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
        try:
            law = load_opal(PATH, tables[0].X, tables[0].Z, 1)
        except ValueError:
            return   # a table the law refuses (unordered grids, say)
        try:
            law.log_opacity(float(tables[0].log10_T[0]) * 2.302585092994046, -10.0)
        except ZeroDivisionError:
            pass   # a cell of zero width


if __name__ == "__main__":
    run(test_one_input)
