"""Published OPAL sets at any composition through rm-tables, against the
reader on a published-layout file written from the same numbers."""

import math
import sys

import numpy as np
import pytest

from velmora.radiation.opacity.grey_opacity.rosseland import (load_opal, load_opal_set, read_opal,
                                                              read_opal_set)

pytest.importorskip("rm_tables")


def published_file(path, tables):
    """The tables in the published fixed-width layout: summary, banner, 'log R'
    label, logT column line, 4 + 7-character fields, 9.999 for holes on the
    left and blanks for those that end a row."""
    lines = [f"Table Summaries- There are {len(tables)} tables", ""]
    for n, t in enumerate(tables, 1):
        lines.append(f"TABLE #{n:3d}  $set$    X={t.X:.4f} Y={t.Y:.4f} Z={t.Z:.4f} dXc=0.0000 dXo=0.0000")
    lines += ["", "*" * 36 + " Tables " + "*" * 36, ""]
    for n, t in enumerate(tables, 1):
        lines += [f"TABLE #{n:3d}     $set$     X={t.X:.4f} Y={t.Y:.4f} Z={t.Z:.4f} dXc=0.0000 dXo=0.0000",
                  "", " " * 49 + "log R", "",
                  "logT" + "".join(f"{r:6.1f}" if j == 0 else f"{r:7.1f}" for j, r in enumerate(t.log10_R)),
                  ""]
        for log10_T, row in zip(t.log10_T, t.log10_kappa):
            finite = np.flatnonzero(np.isfinite(row))
            last = finite[-1] + 1 if finite.size else 0
            lines.append(f"{log10_T:4.2f}" + "".join(
                "  9.999" if math.isnan(v) else f"{v:7.3f}" for v in row[:last]))
        lines.append("")
    path.write_text("\n".join(lines) + "\n")
    return path


@pytest.mark.parametrize("opal_set", ["GS98hz", "GN93hz"])
def test_set_tables_equal_the_reader_on_the_published_layout(tmp_path, opal_set):
    # Tabulated compositions: the set's numbers are the published three-decimal
    # ones, stored as float32.
    tables = [read_opal_set(X, Z, opal_set) for X, Z in [(0.7, 0.02), (0.0, 0.004), (0.35, 0.1)]]
    read = read_opal(published_file(tmp_path / "set.txt", tables))
    assert len(read) == 3
    for t, r in zip(tables, read):
        assert (r.X, r.Z) == pytest.approx((t.X, t.Z), abs=5e-5)
        assert r.log10_T.tolist() == t.log10_T.tolist() and r.log10_R.tolist() == t.log10_R.tolist()
        assert t.log10_T.shape == (70,) and t.log10_T[[0, -1]].tolist() == [3.75, 8.7]
        np.testing.assert_array_equal(r.log10_kappa.astype(np.float32), t.log10_kappa.astype(np.float32))
    assert np.isnan(tables[0].log10_kappa).any()          # the published blanks are holes


def test_interpolated_composition_and_its_laws(tmp_path):
    t = read_opal_set(0.62, 0.013)                          # between tabulated compositions
    path = published_file(tmp_path / "one.txt", [t])
    np.testing.assert_allclose(read_opal(path)[0].log10_kappa, t.log10_kappa, rtol=0, atol=5.0001e-4)
    covering, bare = load_opal_set(0.62, 0.013, cold=None), load_opal_set(0.62, 0.013, oob="nan")
    from_file = load_opal(path, 0.62, 0.013, oob="extend")
    log_T, log_rho = math.log(2e5), math.log(1e-7)
    assert covering.log_opacity(log_T, log_rho) == bare.log_opacity(log_T, log_rho)
    assert from_file.log_opacity(log_T, log_rho) == pytest.approx(covering.log_opacity(log_T, log_rho),
                                                                  abs=5e-4 * math.log(10.0))
    # With the low-temperature table beyond its cool edge: dust and molecules
    # at 1000 K, where the ionised gas would give kappa_es + kappa_ff.
    with_cold = load_opal_set(0.62, 0.013)
    assert with_cold.cold is not None
    cool = with_cold.opacity(1e-9, 1000.0)
    assert cool < 0.5 * load_opal_set(0.62, 0.013, cold=None).opacity(1e-9, 1000.0)


def test_without_rm_tables_the_error_names_the_extra(monkeypatch):
    for name in [m for m in sys.modules if m == "rm_tables" or m.startswith("rm_tables.")]:
        monkeypatch.delitem(sys.modules, name)
    monkeypatch.setitem(sys.modules, "rm_tables", None)
    with pytest.raises(ImportError, match=r"need the package rm-tables \(pip install 'velmora\[tables\]'\)"):
        read_opal_set(0.7, 0.02)


def test_unknown_set_lists_the_sets():
    with pytest.raises(ValueError, match="no OPAL set 'GS99hz'; the sets are .*GS98hz"):
        load_opal_set(0.7, 0.02, "GS99hz")
