"""Grids of a sweep without an engine: the value syntax of the command line
and TOML files, products and tables of cases, refusals, and the one-line
error when the sweep extra is missing."""

import sys

import numpy as np
import pytest

from velmora.cli import UsageError
from velmora.sweeps import make_grid, parse_values, read_toml
from velmora.sweeps.cli import parse


@pytest.mark.parametrize("text, default, expected", [
    ("1e5,1e6,1e7", 1e6, [1e5, 1e6, 1e7]),
    ("1:3:3", 1e6, [1.0, 2.0, 3.0]),
    ("0.1, 1:100:3log", 0.1, [0.1, 1.0, 10.0, 100.0]),
    ("2:5:1", 1.0, [2.0]),
    ("yes,off,1", True, [True, False, True]),
    ("es,sample", "es", ["es", "sample"]),
    ("none,1e13", None, [None, 1e13]),
    ("GS98hz,none", None, ["GS98hz", None]),
])
def test_values(text, default, expected):
    values = parse_values(text, default)
    assert values == expected
    assert [type(v) for v in values] == [type(v) for v in expected]


def test_log_range_is_geometric_with_exact_ends():
    values = np.array(parse_values("0.01:0.3:5log", 0.1))
    assert values[0] == 0.01 and values[-1] == 0.3
    ratios = values[1:] / values[:-1]
    assert np.allclose(ratios, (0.3 / 0.01) ** 0.25, rtol=1e-14)


@pytest.mark.parametrize("text, default, message", [
    ("1:2:0", 1.0, "at least 1 value"),
    ("-1:1:3log", 1.0, "positive ends"),
    ("abc", 1.0, "not a number"),
    ("1,,2", 1.0, "empty item"),
    ("maybe", True, "not a boolean"),
])
def test_bad_values(text, default, message):
    with pytest.raises(ValueError, match=message):
        parse_values(text, default)


def test_product_runs_every_combination_in_c_order():
    grid = make_grid({"mbh": [1e5, 1e6], "alpha": "0.01,0.1,0.3", "xi": 0.5}, {"mu": 0.5})
    assert grid.dims == ("mbh", "alpha") and grid.shape == (2, 3)  # a scalar is fixed, not a dimension
    cases = [grid.case(i) for i in range(grid.size)]
    assert [(c["mbh"], c["alpha"]) for c in cases] == [(m, a) for m in (1e5, 1e6) for a in (0.01, 0.1, 0.3)]
    assert all(c["xi"] == 0.5 and c["mu"] == 0.5 for c in cases)


def test_table_of_cases_and_coordinates():
    rows = [{"mbh": 1e6, "disk_radius": None}, {"mbh": 1e7, "opacity": "sample"}, {"fallback": False}]
    grid = make_grid(rows, {"alpha": np.float64(0.2)})
    assert grid.dims == ("case",) and grid.size == 3
    assert grid.varied == ("mbh", "disk_radius", "opacity", "fallback")
    assert grid.case(2) == {"alpha": 0.2, "mbh": 1e6, "disk_radius": None, "opacity": "es", "fallback": False}
    assert type(grid.case(0)["alpha"]) is float
    coords = grid.coords()
    assert np.array_equal(coords["mbh"][1], [1e6, 1e7, 1e6])  # absent: the default
    assert list(coords["opacity"][1]) == ["es", "sample", "es"]
    assert np.isnan(coords["disk_radius"][1]).all()
    assert grid.spec()["rows"][1] == {"mbh": 1e7, "opacity": "sample"}


@pytest.mark.parametrize("grid, fixed, message", [
    ({"mass": [1, 2]}, None, "unknown disk parameter 'mass'"),
    ({"mbh": [1e6, 1e6]}, None, "repeated"),
    ({"mbh": []}, None, "no values"),
    ({"mbh": [1e5, 1e6]}, {"mbh": 1e6}, "both varied and fixed"),
    ([], None, "empty"),
])
def test_bad_grids(grid, fixed, message):
    with pytest.raises(ValueError, match=message):
        make_grid(grid, fixed)


@pytest.mark.parametrize("grid, fixed, message", [
    ({"mbh": [1e6, -1e6]}, None, r"mbh=-1000000\.0"),
    ({"mbh": [1e5, 1e6]}, {"alpha": -1}, r"^alpha must be positive"),  # the fixed value, not a varied one
])
def test_a_bad_value_is_refused_before_anything_runs(grid, fixed, message):
    grid = make_grid(grid, fixed)
    with pytest.raises(ValueError, match=message):
        grid.validate()


def test_toml_file_and_command_line_combine(tmp_path):
    path = tmp_path / "grid.toml"
    path.write_text('[grid]\nmbh = [1e5, 1e6]\nalpha = "0.01:0.3:3log"\n[fixed]\nmu = 0.5\n[run]\nn_out = 50\n')
    args = parse(["--grid", str(path), "--xi", "0.5,1", "--alpha", "0.1", "--t-end", "1e7", "-o",
                  str(tmp_path / "s.zarr")])
    grid = args.sweep_grid
    assert grid.dims == ("mbh", "xi")  # --alpha 0.1 fixes what the file varied
    assert dict(grid.fixed) == {"mu": 0.5, "alpha": 0.1}
    assert args.run == {"n_out": 50, "t_end": 1e7}

    table = tmp_path / "cases.toml"
    table.write_text("[[cases]]\nmbh = 1e6\n[[cases]]\nmbh = 1e7\nxi = 0.5\n")
    assert read_toml(table)["grid"] == [{"mbh": 1e6}, {"mbh": 1e7, "xi": 0.5}]
    assert parse(["--grid", str(table), "-o", str(tmp_path / "t.zarr")]).sweep_grid.size == 2


@pytest.mark.parametrize("argv, message", [
    (["--mbh", "1e6"], "nothing varies"),
    (["--mbh", "1e6,2e6", "-o", "out.nc"], "ending in .zarr"),
    (["--alpha", "0.1,-0.1"], "alpha=-0.1"),
    (["--mbh", "1e6,2e6", "--plot-axes", "mbh,xi"], "two varied parameters"),
    (["--grid", "[run]\nn_out = 0"], r"--grid \[run\]: n_out must be at least 1"),
    (["--grid", "[run]\nnout = 10"], r"--grid \[run\]: unknown run option 'nout' \(did you mean 'n_out'\?\)"),
    (["--grid", "[run]\nbranch = 'hot'"], r"--grid \[run\]: branch must be one of"),
    (["--mbh", "1e6,2e6", "--t-start", "2e8"], r"error: t_start \(2e\+08 s\) must not exceed t_end"),
])
def test_bad_options(argv, message, tmp_path):
    path = tmp_path / "grid.toml"  # a [run] table beside a grid
    path.write_text("[grid]\nmbh = [1e5, 1e6]\n" + argv[-1])
    with pytest.raises(UsageError, match=message):
        parse(argv[:-1] + [str(path)] if argv[0] == "--grid" else argv)


def test_missing_extra_is_named_in_one_line(monkeypatch):
    from velmora.sweeps import sweep

    monkeypatch.setitem(sys.modules, "distributed", None)  # an import of it fails
    with pytest.raises(ImportError) as info:
        sweep({"mbh": [1e5, 1e6]})
    assert str(info.value) == ("sweeps need dask[distributed], which is not installed "
                               "(pip install 'velmora[sweep]')")
