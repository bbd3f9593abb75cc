"""The Python interface: AdvectiveDisk as a notebook user meets it, its
parameters, its results and their files, against the program, independent
formulas of the physics and the files' own readers."""

import json
import math
import pickle
import subprocess
import sys
import warnings

import numpy as np
import pytest

from velmora import AdvectiveDisk, ParameterError, load
from velmora.constants import C_CGS, G_CGS, KAPPA_ES, K_B_CGS, M_P_CGS, M_SUN, R_SUN, SIGMA_SB_CGS

DAY = 86400.0


@pytest.fixture(scope="module")
def default_run():
    from velmora import AdvectiveDisk

    disk = AdvectiveDisk()
    return disk.evolve()


def test_three_lines_give_the_programs_default_run_bit_for_bit(default_run, tmp_path):
    from velmora.cli import main

    assert main(["-o", str(tmp_path / "run.npz")]) == 0
    with np.load(tmp_path / "run.npz") as f:
        assert np.array_equal(f["data"], default_run.rows)
        assert json.loads(str(f["parameters"]))["status"] == "done"
    assert default_run.status == "done" and default_run.error is None and len(default_run) == 1000
    assert [tr["to_branch"] for tr in default_run.transitions] == ["thin", "thick", "thin"]
    assert default_run["H_over_R"] is not default_run.rows and np.array_equal(default_run["H_over_R"],
                                                                               default_run.rows[:, 19])


# --- parameters -----------------------------------------------------------------------

def test_unknown_and_inconsistent_parameters_are_refused_by_name():
    with pytest.raises(TypeError, match="'beta_FB'. Did you mean 'beta_fb'"):
        AdvectiveDisk(beta_FB=2.0)
    with pytest.raises(ParameterError, match="unknown parameter 'beta_FB' \\(did you mean 'beta_fb'\\?\\)"):
        AdvectiveDisk.from_params({"beta_FB": 2.0})
    # Fallback parameters without fallback would be ignored: they are refused.
    with pytest.raises(ParameterError, match="fallback_mass, fallback_time given with fallback=False") as info:
        AdvectiveDisk(fallback=False, fallback_mass=0.5, fallback_time=1e6)
    assert info.value.names == ("fallback_mass", "fallback_time")
    for bad in [dict(alpha=-0.1), dict(X=1.5), dict(mbh=float("nan")), dict(fallback="no"), dict(opacity="kramers"),
                dict(opal_set="GS98hz"), dict(disk_radius=1e11), dict(mbh=1e-300), dict(fallback_mass=1e300)]:
        with pytest.raises(ParameterError):
            AdvectiveDisk(**bad)


def test_parameters_rebuild_the_same_disk_and_follow_the_hole_mass():
    disk = AdvectiveDisk(mbh=3e6, fallback=False, opacity="sample", table_oob="clamp")
    assert AdvectiveDisk(**disk.params) == disk and hash(AdvectiveDisk(**disk.params)) == hash(disk)
    clone = pickle.loads(pickle.dumps(disk))
    assert clone == disk and np.array_equal(clone.evolve(t_end=1e7, n_out=5).rows, disk.evolve(t_end=1e7, n_out=5).rows)
    assert eval(repr(disk), {"AdvectiveDisk": AdvectiveDisk}) == disk
    # Radii and times left to the defaults are not frozen into the parameters.
    heavier = AdvectiveDisk(**{**AdvectiveDisk().params, "mbh": 8e6})
    assert heavier.cgs["R_c"] == pytest.approx(2 * AdvectiveDisk().cgs["R_c"], rel=1e-14)


def test_the_tidal_disruption_defaults_against_their_formulas():
    disk = AdvectiveDisk(mbh=2e6)
    M = 2e6 * M_SUN
    R_t = R_SUN * 2e6 ** (1 / 3)
    t_fb = 2 * math.pi * math.sqrt((R_t**2 / (2 * R_SUN)) ** 3 / (G_CGS * M))
    c = disk.cgs
    assert (c["R_c"], c["R_D0"], c["M_fb_0"]) == pytest.approx((2 * R_t, 2 * R_t, M_SUN / 3), rel=1e-14)
    assert c["t_fb"] == pytest.approx(t_fb, rel=1e-14) and c["R_in"] == pytest.approx(6 * G_CGS * M / C_CGS**2)
    t = np.array([0.0, 1e6, 1e8])
    assert np.allclose(disk.fallback_rate(t), (M_SUN / 3 / t_fb) * (1 + t / t_fb) ** (-5 / 3), rtol=1e-14)
    # Eddington: L_Edd = 4 pi G M c / kappa_es over eta c^2, eta = 1/12 at R_in = 6 G M / c^2.
    L_Edd = 4 * math.pi * G_CGS * M * C_CGS / (0.2 * 1.7)
    assert disk.eddington_rate() == pytest.approx(12 * L_Edd / C_CGS**2, rel=1e-14)


def test_quantities_are_converted_to_the_documented_units():
    u = pytest.importorskip("astropy.units")
    plain = AdvectiveDisk(mbh=2e6, disk_mass=0.02, fallback_time=40 * DAY, disk_radius=2e13)
    R_g = G_CGS * 2e6 * M_SUN / C_CGS**2
    given = AdvectiveDisk(mbh=2e6 * u.M_sun, disk_mass=0.02 * M_SUN * u.g, fallback_time=40 * u.day,
                          disk_radius=(2e13 * u.cm).to(u.au), r_in=6 * R_g * u.cm)
    for key, value in plain.params.items():
        assert given.params[key] == (value if value is None or isinstance(value, (bool, str)) else
                                     pytest.approx(value, rel=1e-13)), key
    run = given.evolve(t_end=(1e7 * u.s).to(u.yr), n_out=3)
    assert run.run["t_end"] == pytest.approx(1e7, rel=1e-14)
    with pytest.raises(u.UnitConversionError, match="fallback_time must be a time \\(in s\\), got a Quantity in kg"):
        AdvectiveDisk(fallback_time=3 * u.kg)


# --- results and their files -------------------------------------------------------------

@pytest.mark.parametrize("ext", [".csv", ".npz", ".nc"])
def test_files_read_back_bit_for_bit_and_rerun_the_same_rows(default_run, tmp_path, ext):
    if ext == ".nc":
        pytest.importorskip("xarray")
    path = tmp_path / f"run{ext}"
    default_run.write(path)
    back = load(path)
    assert np.array_equal(back.rows, default_run.rows) and back.columns == default_run.columns
    assert (back.params, back.run, back.transitions, back.stats, back.status, back.version) == (
        default_run.params, default_run.run, default_run.transitions, default_run.stats, "done",
        default_run.version)
    assert np.array_equal(back.rerun().rows, default_run.rows)


def test_a_file_takes_exactly_the_name_given(default_run, tmp_path):
    """An upper-case .NPZ is written under that name (np.savez given a name
    would append ".npz"), replacing what was there, with no temporary left."""
    path = tmp_path / "Run.NPZ"
    path.write_text("an earlier file")
    default_run.write(path)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["Run.NPZ"]
    assert np.array_equal(load(path).rows, default_run.rows)


def test_the_csv_round_trips_through_pandas_with_its_provenance(default_run, tmp_path):
    pd = pytest.importorskip("pandas")
    path = tmp_path / "run.csv"
    default_run.write(path)
    frame = pd.read_csv(path, comment="#")
    assert list(frame.columns) == [f"{n} [{u}]" for n, u, _ in default_run.columns]
    assert np.array_equal(frame.to_numpy(), default_run.rows)
    record = {k.strip(): json.loads(v) for k, _, v in (line[1:].partition("=") for line in open(path) if line[0] == "#")}
    assert record == json.loads(json.dumps(default_run.provenance()))
    assert (record["velmora"], record["status"], record["mbh"], record["n_out"]) == (default_run.version, "done",
                                                                                    1e6, 1000)


def test_an_interrupted_run_and_its_file_say_so(tmp_path):
    def stop(done):
        if done >= 0.5:
            raise KeyboardInterrupt

    disk = AdvectiveDisk()
    with pytest.raises(KeyboardInterrupt) as info:
        disk.evolve(n_out=40, progress=stop)
    partial = info.value.result
    assert partial.status == "interrupted" and len(partial) == 20 and not partial.complete
    assert np.array_equal(partial.rows, disk.evolve(n_out=40).rows[:20])
    for ext in (".csv", ".npz"):
        partial.write(tmp_path / f"run{ext}")
        back = load(tmp_path / f"run{ext}")
        assert back.status == "interrupted" and len(back) == 20 and back.stats["t_reached"] < 1e8
    assert '# status = "interrupted"\n' in open(tmp_path / "run.csv").read()


def test_a_failed_run_returns_its_rows_or_raises_them():
    disk = AdvectiveDisk()
    with pytest.warns(RuntimeWarning, match="the run failed after .* of 1000 rows: RuntimeError: evolve\\(\\): max_steps"):
        failed = disk.evolve(max_steps=50)
    assert failed.status == "failed" and failed.error.startswith("RuntimeError: evolve(): max_steps = 50")
    assert 0 < len(failed) < 1000 and failed.stats["steps"] + failed.stats["rejected_steps"] == 50
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(RuntimeError) as info:
            disk.evolve(max_steps=50, on_failure="raise")
    assert np.array_equal(info.value.result.rows, failed.rows)
    # Arguments refused before the run are errors whatever on_failure says.
    with pytest.raises(ParameterError, match="t_start \\(2e\\+08 s\\) must not exceed t_end"):
        disk.evolve(t_start=2e8)


def test_converters_carry_units_and_provenance(default_run):
    u = pytest.importorskip("astropy.units")
    xr = pytest.importorskip("xarray")
    pd = pytest.importorskip("pandas")
    ds = default_run.to_xarray()
    assert isinstance(ds, xr.Dataset) and np.array_equal(ds["t"].values, default_run["t"])
    assert ds["Mdot"].attrs["units"] == "g s^-1" and ds.attrs["mbh"] == 1e6 and ds.attrs["fallback"] == "true"
    assert json.loads(ds.attrs["provenance"])["transitions"] == default_run.transitions
    table = default_run.to_astropy()
    assert table["Sigma"].unit == u.g / u.cm**2 and table["tau"].unit == u.dimensionless_unscaled
    assert table["T_c"][0].to_value(u.K) == default_run["T_c"][0] and table.meta["status"] == "done"
    frame = default_run.to_pandas()
    assert isinstance(frame, pd.DataFrame) and frame.attrs["units"]["H"] == "cm"
    assert np.array_equal(frame["H_over_R"].to_numpy(), default_run["H_over_R"])


@pytest.mark.parametrize("method, extra", [("to_xarray", "xarray"), ("to_pandas", "pandas"), ("to_astropy", "units")])
def test_a_missing_optional_package_is_named_with_its_extra(method, extra):
    module = {"xarray": "xarray", "pandas": "pandas", "units": "astropy"}[extra]
    code = (f"import sys; sys.modules[{module!r}] = None\n"
            "from velmora import AdvectiveDisk\n"
            "run = AdvectiveDisk().evolve(t_end=1e6, n_out=2)\n"
            f"try:\n    run.{method}()\nexcept ImportError as exc:\n    print(exc)\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert out.stdout == f"this needs {module}, which is not installed (pip install 'velmora[{extra}]')\n", out.stderr


# --- profiles and the S-curve --------------------------------------------------------------

def test_a_profile_is_the_closures_on_keplerian_rings():
    from velmora.dynamics.accretion.one_zone.closure import solve_profile

    disk = AdvectiveDisk()
    R = np.geomspace(1e12, 1e14, 5)
    rings = disk.profile(R, 3e3, branch="thin")
    assert np.allclose(rings["Omega"], np.sqrt(G_CGS * 1e6 * M_SUN / R**3), rtol=1e-15)
    assert np.array_equal(rings.rows, solve_profile(disk.closure, R, np.full(5, 3e3), rings["Omega"], branch="thin"))
    assert rings.run == {"branch": "thin"} and np.array_equal(rings.rerun().rows, rings.rows)
    assert np.all(disk.profile(R, 3e3, branch="thick")["H_over_R"] > 10 * rings["H_over_R"])


def test_the_s_curve_against_the_analytic_limits_of_its_branches():
    """Gas-pressure radiative thin branch at low Sigma, T_c^3 = (27/32) k alpha
    kappa Omega Sigma^2 / (sigma mu m_p); without advection the radiation-
    pressure root, T_c^4 = c^2 Omega / (3 pi sigma alpha kappa), is unstable;
    with it, the thick branch tends to H/R = sqrt(3 / (4 xi))."""
    R = 1.4e13
    radiative = AdvectiveDisk(xi=0.0)
    Omega = float(radiative.keplerian_omega(R))
    curve = radiative.scurve(R, [10.0, 2e3], n=2)
    assert curve["Sigma"].tolist() == [10.0, 10.0, 2e3, 2e3]
    assert curve["branch"].tolist() == ["thin", "unstable"] * 2 and curve["stable"].tolist() == [True, False] * 2
    thin = curve.rows[0]
    T3 = (27 / 32) * K_B_CGS * 0.1 * KAPPA_ES * Omega * 10.0**2 / (SIGMA_SB_CGS * 0.6 * M_P_CGS)
    assert thin[8] == pytest.approx(T3 ** (1 / 3), rel=1e-5)
    T4 = C_CGS**2 * Omega / (3 * math.pi * SIGMA_SB_CGS * 0.1 * KAPPA_ES)
    assert curve.rows[1][8] == pytest.approx(T4**0.25, rel=1e-4)
    thick = AdvectiveDisk(xi=1.0).scurve(R, (1e4, 1e8), n=5).branch("thick")
    assert thick["H_over_R"][-1] == pytest.approx(math.sqrt(3 / 4), rel=1e-4)
    # Each row is its root, solved by the closure.
    from velmora import thermal_equilibria
    roots = thermal_equilibria(radiative.closure, R, 2e3, Omega)["roots"]
    assert curve.rows[2:, 8] == pytest.approx([r["T_c"] for r in roots], rel=1e-9)


# --- the top level ---------------------------------------------------------------------

def test_importing_velmora_loads_no_optional_package():
    code = ("import sys, velmora\n"
            "from velmora import AdvectiveDisk, C_OPALGridOpacity, constants, evolve\n"
            "print(sorted(m for m in ('astropy', 'xarray', 'pandas', 'rm_tables', 'tqdm', 'matplotlib') "
            "if m in sys.modules))")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert out.stdout == "[]\n", out.stderr
