"""The velmora-disk program end to end, in subprocesses: the default run (what
./dev.sh run does), its output file and summary, the physics of its default
disk, the options, the progress bar on a terminal, failures, and one-line
refusals of bad options."""

import fcntl
import importlib.metadata
import json
import math
import os
import pty
import signal
import struct
import subprocess
import sys
import termios
import time

import numpy as np
import pytest

from velmora.radiation.opacity.grey_opacity.rosseland import sample_table_path
from columns import COL

HEADER = ("row [-],t [s],M_D [g],J_D [g cm^2 s^-1],R_D [cm],Sigma [g cm^-2],Omega [s^-1],T_eff [K],T_c [K],"
          "tau [-],c_s [cm s^-1],nu [cm^2 s^-1],Q_visc [erg cm^-2 s^-1],Q_adv [erg cm^-2 s^-1],"
          "dM_D_dt [g s^-1],dJ_D_dt [g cm^2 s^-2],Mdot [g s^-1],t_visc [s],H [cm],H_over_R [-],"
          "rho_c [g cm^-3]")

G, C, M_SUN, R_SUN = 6.67430e-8, 2.99792458e10, 1.98847e33, 6.957e10


def velmora_disk(*argv, cwd, stderr=subprocess.PIPE, prelude=None):
    """Runs the program as ``python -m velmora``, or after `prelude` code."""
    if prelude is None:
        cmd = [sys.executable, "-m", "velmora", *argv]
    else:
        cmd = [sys.executable, "-c", prelude + "\nfrom velmora.cli import main\nraise SystemExit(main(%r))"
               % (list(argv),)]
    return subprocess.run(cmd, cwd=cwd, stdout=subprocess.PIPE, stderr=stderr, text=True, timeout=120)


def read_csv(path):
    """(header line, rows) of an output CSV, past its ``#`` provenance lines."""
    with open(path) as f:
        lines = [line for line in f if not line.startswith("#")]
    return lines[0].rstrip("\n"), np.loadtxt(lines[1:], delimiter=",", ndmin=2)


def provenance(path):
    """The ``# key = value`` lines of an output CSV, values read as JSON."""
    with open(path) as f:
        return {k.strip(): json.loads(v) for k, _, v in (line[1:].partition("=") for line in f if line[0] == "#")}


@pytest.fixture(scope="module")
def default_run(tmp_path_factory):
    cwd = tmp_path_factory.mktemp("default")
    proc = velmora_disk(cwd=cwd)
    return proc, cwd / "disk_evolution.csv"


# --- the default run ---------------------------------------------------------------

def test_default_run_writes_the_csv_and_a_summary(default_run):
    proc, path = default_run
    assert proc.returncode == 0, proc.stderr
    assert proc.stderr == ""  # no bar when stderr is not a terminal
    header, rows = read_csv(path)
    assert header == HEADER
    assert rows.shape == (1000, 21)
    assert list(rows[:, COL["row"]]) == list(range(1000))
    assert np.allclose(rows[:, COL["t"]], np.geomspace(1e4, 1e8, 1000), rtol=1e-13, atol=0)
    lines = proc.stdout.splitlines()
    assert lines[0] == f"velmora-disk evolve: 1000 rows from t = 1e+04 s to 1e+08 s written to {path}"
    said = {line[:23]: line[23:] for line in lines[1:]}
    assert said["  starting branch      "] == "thick (the hottest stable one)"
    assert said["  transitions          "] == "3"
    collapse, outburst, back = (line.split() for line in lines[3:6])
    assert collapse[1:4] == ["d", "thick", "->"] and collapse[4] == "thin" and 128 < float(collapse[0]) < 131
    assert outburst[2:5] == ["thin", "->", "thick"] and back[2:5] == ["thick", "->", "thin"]
    # The peak comes from the integration: at least the largest row, inside the outburst.
    words = said["  peak accretion rate  "].split()
    peak, t_peak = float(words[0]), float(words[words.index("t") + 2])
    assert peak >= float(f"{rows[:, COL["Mdot"]].max():.3e}")
    assert float(outburst[0]) * 86400 * (1 - 1e-3) <= t_peak <= float(back[0]) * 86400
    assert said["  final disk mass      "].startswith(f"{rows[-1, COL["M_D"]]:.3e} g")
    assert said["  final disk radius    "].startswith(f"{rows[-1, COL["R_D"]]:.3e} cm")
    assert said["  rows with H/R > 1    "] == "0"


def test_the_default_disk_is_physical(default_run):
    """The documented default: a Sun-like star disrupted by a 1e6 M_sun hole."""
    _, path = default_run
    rows = read_csv(path)[1]
    t, M_D, J_D, R_D = rows[:, COL["t"]], rows[:, COL["M_D"]], rows[:, COL["J_D"]], rows[:, COL["R_D"]]
    M_BH = 1e6 * M_SUN
    # The ring: radius from mass and angular momentum, Kepler's angular velocity.
    assert np.allclose(R_D, (J_D / M_D) ** 2 / (G * M_BH), rtol=1e-12)
    assert np.allclose(rows[:, COL["Omega"]], np.sqrt(G * M_BH / R_D ** 3), rtol=1e-12)
    # Positive, finite structure; thinner than a sphere; optically thick.
    assert np.all(np.isfinite(rows)) and np.all(rows[:, 2:13] > 0)
    assert np.all(rows[:, COL["H_over_R"]] < 1.0) and np.all(rows[:, COL["tau"]] > 1.0)
    assert np.all(rows[:, COL["T_eff"]] < rows[:, COL["T_c"]])  # T_eff below T_c
    # The mass budget of each row: fallback in, accretion out.
    R_t = R_SUN * 1e6 ** (1 / 3)
    t_fb = 2 * math.pi * math.sqrt((R_t ** 2 / (2 * R_SUN)) ** 3 / (G * M_BH))
    fallback = (M_SUN / 3 / t_fb) * (1 + t / t_fb) ** (-5 / 3)
    assert np.allclose(rows[:, COL["dM_D_dt"]], fallback - rows[:, COL["Mdot"]], rtol=1e-9, atol=1e-9 * fallback.max())
    l_in, l_c = math.sqrt(G * M_BH * 6 * G * M_BH / C ** 2), math.sqrt(G * M_BH * 2 * R_t)
    assert np.allclose(rows[:, COL["dJ_D_dt"]], fallback * l_c - rows[:, COL["Mdot"]] * l_in, rtol=1e-9, atol=1e-9 * (fallback * l_c).max())
    # Thick and advective while the fallback is strong, thin at the end.
    early = t < 1e7
    assert np.all(rows[early, COL["H_over_R"]] > 0.5) and np.all(rows[early, COL["Mdot"]] > 1e25)
    assert rows[-1, COL["H_over_R"]] < 0.01


def test_console_script_is_the_same_program():
    (entry,) = [e for e in importlib.metadata.entry_points(group="console_scripts") if e.name == "velmora-disk"]
    assert entry.value == "velmora.cli:main"


def test_evolve_is_the_default_command(tmp_path):
    a = velmora_disk("evolve", "--n-out", "5", "-o", "a.csv", cwd=tmp_path)
    b = velmora_disk("--n-out", "5", "-o", "b.csv", cwd=tmp_path)
    assert a.returncode == b.returncode == 0
    assert np.array_equal(read_csv(tmp_path / "a.csv")[1], read_csv(tmp_path / "b.csv")[1])


# --- options ------------------------------------------------------------------------

def test_npz_output_without_fallback(tmp_path):
    proc = velmora_disk("--no-fallback", "--n-out", "20", "--t-end", "1e6", "--t-start", "10",
                        "-o", "run.npz", cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    with np.load(tmp_path / "run.npz") as f:
        data, columns, units = f["data"], list(f["columns"]), list(f["units"])
    assert data.shape == (20, 21)
    assert ",".join(f"{n} [{u}]" for n, u in zip(columns, units)) == HEADER
    assert data[0, COL["t"]] == pytest.approx(10.0, rel=1e-14) and data[-1, COL["t"]] == 1e6
    assert np.array_equal(data[:, COL["dM_D_dt"]], -data[:, COL["Mdot"]])  # nothing falls back


@pytest.mark.parametrize("options,changed", [
    (("--mbh", "2e6", "--r-in", "9"), "hole"),
    (("--alpha", "0.3", "--mu", "1.2", "--xi", "1.5"), "disk"),
    (("--disk-mass", "0.1", "--disk-radius", "3e13"), "initial"),
    (("--fallback-mass", "0.1", "--fallback-time", "1e6", "--circularisation-radius", "2e13",
      "--beta-fb", "2.2"), "fallback"),
    (("--X", "0.0",), "opacity"),
])
def test_each_option_changes_the_run(tmp_path, options, changed):
    base = velmora_disk("--n-out", "10", "-o", "base.csv", cwd=tmp_path)
    other = velmora_disk("--n-out", "10", "-o", "other.csv", *options, cwd=tmp_path)
    assert base.returncode == other.returncode == 0, other.stderr
    a, b = read_csv(tmp_path / "base.csv")[1], read_csv(tmp_path / "other.csv")[1]
    assert np.array_equal(a[:, COL["t"]], b[:, COL["t"]]) and not np.array_equal(a[:, COL["M_D"]:], b[:, COL["M_D"]:])


def test_sample_table_and_the_same_file_in_opal_format(tmp_path):
    sample = velmora_disk("--opacity", "sample", "--n-out", "10", "-o", "sample.csv", cwd=tmp_path)
    opal = velmora_disk("--opacity", "opal", "--opal-file", str(sample_table_path()), "--n-out", "10",
                        "-o", "opal.csv", cwd=tmp_path)
    es = velmora_disk("--n-out", "10", "-o", "es.csv", cwd=tmp_path)
    assert sample.returncode == opal.returncode == es.returncode == 0
    a, b, c = (read_csv(tmp_path / f"{name}.csv")[1] for name in ("sample", "opal", "es"))
    assert np.array_equal(a, b) and not np.array_equal(a, c)


def test_a_published_set_extended_beyond_its_table(tmp_path):
    """--opacity opal without a file: the set GS98hz at X, Z through rm-tables,
    covering the whole disk (most of it lies below the table's log10 R range)."""
    pytest.importorskip("rm_tables")
    proc = velmora_disk("--opacity", "opal", "--X", "0.7", "--Z", "0.02", "--n-out", "40", cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    outside = [line for line in proc.stdout.splitlines() if line.startswith("  outside the table")]
    assert len(outside) == 1 and outside[0].endswith(" of 40 rows (opacity from its physical extension)")
    assert 0 < int(outside[0].split()[3]) < 40
    clamped = velmora_disk("--opacity", "opal", "--table-oob", "clamp", "--n-out", "40", "-o", "c.csv",
                           cwd=tmp_path)
    assert clamped.returncode == 0 and "outside the table" not in clamped.stdout
    a, b = read_csv(tmp_path / "disk_evolution.csv")[1], read_csv(tmp_path / "c.csv")[1]
    assert not np.array_equal(a, b)


def test_plot(tmp_path):
    pytest.importorskip("matplotlib")
    proc = velmora_disk("--n-out", "30", "--plot", "run.png", cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert (tmp_path / "run.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert f"plot                 {tmp_path / 'run.png'}" not in proc.stdout  # the path as given
    assert "  plot                 run.png" in proc.stdout


def test_plot_without_matplotlib_is_a_one_line_error(tmp_path):
    proc = velmora_disk("--plot", "run.png", cwd=tmp_path, prelude="import sys; sys.modules['matplotlib'] = None")
    assert proc.returncode == 2
    assert proc.stderr == ("velmora-disk evolve: error: --plot needs matplotlib, which is not installed "
                           "(pip install 'velmora[plot]')\n")
    assert not (tmp_path / "disk_evolution.csv").exists()


def on_a_terminal(*argv, cwd, prelude=None):
    """(process, what it drew on stderr) of a run whose stderr is a terminal
    of 80 columns."""
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))
    try:
        proc = velmora_disk(*argv, cwd=cwd, stderr=slave, prelude=prelude)
        os.close(slave)
        slave = None
        shown = b""
        while True:
            try:
                chunk = os.read(master, 65536)
            except OSError:
                break
            if not chunk:
                break
            shown += chunk
    finally:
        if slave is not None:
            os.close(slave)
        os.close(master)
    return proc, shown.decode()


def test_plain_progress_bar_on_a_terminal(tmp_path):
    proc, text = on_a_terminal("--n-out", "50", cwd=tmp_path, prelude="import sys; sys.modules['tqdm'] = None")
    assert proc.returncode == 0
    assert "\rvelmora-disk: [" in text and "] 100%" in text and " 50%" in text
    assert text.endswith("\r")  # the bar is wiped at the end


def test_tqdm_progress_bar_on_a_terminal(tmp_path):
    pytest.importorskip("tqdm")
    proc, text = on_a_terminal("--n-out", "50", cwd=tmp_path)
    assert proc.returncode == 0
    # tqdm redraws at most every 0.1 s: this short run shows its start, and the
    # line is wiped at the end.
    assert text.startswith("\rvelmora-disk:   0%|") and "/50 [" in text and "row/s]" in text
    assert text.endswith(" \r")


# --- failures and bad options ----------------------------------------------------------

def test_a_failing_run_writes_the_rows_it_completed(tmp_path):
    """With the sample table and no extrapolation the cooling disk leaves the
    table after some rows (with the closure's own search: a named branch
    scans the whole temperature range from the start)."""
    proc = velmora_disk("--opacity", "sample", "--table-oob", "raise", "--no-fallback", "--disk-mass", "1e-3",
                        "--t-end", "1e12", "--n-out", "50", "--branch", "closure", cwd=tmp_path)
    assert proc.returncode == 1
    first, note, written = proc.stderr.splitlines()
    assert first.startswith("velmora-disk evolve: error: ValueError: (log10_T=")
    assert "is outside the table domain [3.75, 8.70] x [-8.00, 1.00]." in first
    assert note.startswith("  while evolving the disk at t = ")
    # The rows completed go to a file of their own, which says what happened.
    assert not (tmp_path / "disk_evolution.csv").exists()
    path = tmp_path / "disk_evolution.partial.csv"
    header, rows = read_csv(path)
    assert header == HEADER and 0 < len(rows) < 50
    record = provenance(path)
    assert record["status"] == "failed" and record["error"] == first.removeprefix("velmora-disk evolve: error: ")
    assert record["t_reached"] >= rows[-1, COL["t"]] and record["n_out"] == 50
    assert written == (f"velmora-disk evolve: the {len(rows)} rows completed were written to "
                       "disk_evolution.partial.csv (status = failed)")
    assert float(note.split("t = ")[1].split(" s")[0]) > rows[-1, COL["t"]]


@pytest.mark.parametrize("argv,text", [
    (["--alpha", "x"], "velmora-disk evolve: error: argument --alpha: invalid number: 'x'"),
    (["--alpha", "-1"], "velmora-disk evolve: error: argument --alpha: must be positive, got -1"),
    (["--mbh", "inf"], "velmora-disk evolve: error: argument --mbh: must be positive, got inf"),
    (["--X", "1.5"], "velmora-disk evolve: error: argument --X: must be between 0 and 1, got 1.5"),
    (["--n-out", "0"], "velmora-disk evolve: error: argument --n-out: must be at least 1, got 0"),
    (["--n-out", "2.5"], "velmora-disk evolve: error: argument --n-out: invalid integer: '2.5'"),
    (["--max-steps", "0"], "velmora-disk evolve: error: argument --max-steps: must be at least 1, got 0"),
    (["--rtol", "1"], "velmora-disk evolve: error: argument --rtol: must be between 0 and 1, got 1"),
    (["--opacity", "kramers"], None),
    (["--bogus"], "velmora-disk: error: unrecognized arguments: --bogus"),
    (["evolve", "extra"], "velmora-disk: error: unrecognized arguments: extra"),
    (["--opal-set", "GS98hz"], "velmora-disk evolve: error: --opal-set needs --opacity opal"),
    (["--opacity", "opal", "--opal-set", "GS98hz", "--opal-file", "t.txt"],
     "velmora-disk evolve: error: --opal-set and --opal-file exclude each other"),
    (["--table-oob", "wrap"], None),
    (["--opal-file", "t.txt"], "velmora-disk evolve: error: --opal-file needs --opacity opal"),
    (["--opacity", "opal", "--opal-file", "missing.txt"],
     "velmora-disk evolve: error: --opal-file: no such file: missing.txt"),
    (["--opacity", "sample", "--Z", "0.5"], None),
    (["--t-start", "1e9"], "velmora-disk evolve: error: --t-start (1e+09 s) must not exceed --t-end (1e+08 s)"),
    (["--disk-radius", "1e11"], "velmora-disk evolve: error: the disk radius (1e+11 cm) must lie outside the "
                                "inner edge (8.86e+11 cm)"),
    (["-o", "run.txt"], "velmora-disk evolve: error: --output must end in .csv, .npz or .nc, got run.txt"),
    (["--plot", "run.gif"], "velmora-disk evolve: error: --plot must end in .png, .pdf or .svg, got run.gif"),
])
def test_bad_options_get_one_line_and_status_2(tmp_path, argv, text):
    proc = velmora_disk(*argv, cwd=tmp_path)
    assert proc.returncode == 2
    assert proc.stdout == ""
    lines = proc.stderr.splitlines()
    assert len(lines) == 1 and "Traceback" not in proc.stderr
    assert lines[0].startswith("velmora-disk")
    if text is not None:
        assert lines[0] == text
    assert list(tmp_path.iterdir()) == []


def test_missing_output_directory_is_refused(tmp_path):
    proc = velmora_disk("-o", "nowhere/run.csv", cwd=tmp_path)
    assert proc.returncode == 2
    assert proc.stderr == f"velmora-disk evolve: error: --output: no such directory: {tmp_path / 'nowhere'}\n"


def test_help_lists_the_defaults(tmp_path):
    proc = velmora_disk("evolve", "--help", cwd=tmp_path)
    assert proc.returncode == 0
    for option in ("--mbh", "--disk-mass", "--disk-radius", "--alpha", "--mu", "--xi", "--no-fallback",
                   "--opacity", "--opal-file", "--X", "--Z", "--t-end", "--n-out", "--plot"):
        assert option in proc.stdout
    assert "(default: 1000000.0)" in proc.stdout


def test_a_spent_step_budget_keeps_the_rows(tmp_path):
    proc = velmora_disk("--max-steps", "50", "-o", "run.csv", cwd=tmp_path)
    assert proc.returncode == 1
    lines = proc.stderr.splitlines()
    assert lines[0].startswith("velmora-disk evolve: error: RuntimeError: evolve(): max_steps = 50 steps did not reach")
    rows = read_csv(tmp_path / "run.partial.csv")[1]
    assert lines[1:] == [f"velmora-disk evolve: the {len(rows)} rows completed were written to run.partial.csv "
                         "(status = failed)"]


# --- the program as a tool ----------------------------------------------------------

def test_version(tmp_path):
    proc = velmora_disk("--version", cwd=tmp_path)
    assert proc.returncode == 0 and proc.stdout == f"velmora-disk (velmora) {importlib.metadata.version('velmora')}\n"


@pytest.mark.parametrize("argv, named", [
    (["--fallback-mass", "1e300"], "fallback_mass = 1e+300 gives M_fb_0 = inf g"),
    (["--mbh", "1e-300"], "mbh = 1e-300 gives t_fb = 0 s"),
    (["--mbh", "1e300"], "mbh = 1e+300 gives M_BH = inf g"),
    (["--mbh", "1e270"], "mbh = 1e+270 gives t_fb = inf s"),
    (["--disk-mass", "1e300"], "disk_mass = 1e+300 gives M_D0 = inf g"),
    (["--r-in", "1e300", "--disk-radius", "1e13"], "r_in = 1e+300, mbh = 1000000.0 gives R_in = inf cm"),
    (["--no-fallback", "--beta-fb", "2"], "beta_fb given with fallback=False"),
    (["--n-out", "3000000000"], "--n-out: must be at least 1 (and below 2**31)"),
])
def test_extreme_options_get_one_line_and_status_2(tmp_path, argv, named):
    """Accepted by each option's own check, refused by the disk they make."""
    proc = velmora_disk(*argv, cwd=tmp_path)
    assert proc.returncode == 2, proc.stderr
    (line,) = proc.stderr.splitlines()
    assert line.startswith("velmora-disk evolve: error: ") and named in line
    assert list(tmp_path.iterdir()) == []


def test_a_config_file_and_the_options_that_override_it(tmp_path):
    (tmp_path / "run.toml").write_text('mbh = 2e6\nalpha = 0.05\nfallback = true\nn_out = 40\noutput = "a.csv"\n')
    proc = velmora_disk("--config", "run.toml", "--n-out", "7", cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert "  configuration        run.toml" in proc.stdout
    record = provenance(tmp_path / "a.csv")
    # The effective configuration is in the output: the file's values, the option that overrode one.
    assert (record["mbh"], record["alpha"], record["n_out"], record["status"]) == (2e6, 0.05, 7, "done")
    same = velmora_disk("--mbh", "2e6", "--alpha", "0.05", "--n-out", "7", "-o", "b.csv", cwd=tmp_path)
    assert same.returncode == 0
    assert np.array_equal(read_csv(tmp_path / "a.csv")[1], read_csv(tmp_path / "b.csv")[1])
    # A result file as the configuration runs the same disk again, bit for bit.
    again = velmora_disk("--config", "a.csv", "-o", "c.npz", cwd=tmp_path)
    assert again.returncode == 0, again.stderr
    with np.load(tmp_path / "c.npz") as f:
        assert np.array_equal(f["data"], read_csv(tmp_path / "a.csv")[1])
        assert json.loads(str(f["parameters"]))["mbh"] == 2e6


@pytest.mark.parametrize("text, said", [
    ("beta_FB = 2.0\n", "unknown key 'beta_FB' (did you mean 'beta_fb'?)"),
    ("mbh = \n", "--config run.toml: Invalid value"),
    ('opacity = "kramers"\n', "opacity must be one of 'es', 'sample', 'opal', got 'kramers'"),
    ("n_out = 0\n", "n_out must be at least 1"),
    ("output = 3\n", "--config run.toml: output must be a string, got 3"),
])
def test_a_bad_config_file_gets_one_line(tmp_path, text, said):
    (tmp_path / "run.toml").write_text(text)
    proc = velmora_disk("--config", "run.toml", cwd=tmp_path)
    assert proc.returncode == 2
    (line,) = proc.stderr.splitlines()
    assert said in line
    assert sorted(p.name for p in tmp_path.iterdir()) == ["run.toml"]


def test_an_unwritable_output_is_refused_before_the_run(tmp_path):
    (tmp_path / "taken.csv").mkdir()
    proc = velmora_disk("-o", "taken.csv", cwd=tmp_path)
    assert proc.returncode == 2
    assert proc.stderr == "velmora-disk evolve: error: --output: taken.csv is a directory\n"


def test_a_closed_pipe_ends_the_program_quietly(tmp_path):
    proc = subprocess.Popen([sys.executable, "-m", "velmora", "--n-out", "5"], cwd=tmp_path,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    proc.stdout.close()  # the reader is gone before the summary is printed
    _, err = proc.communicate(timeout=120)
    assert proc.returncode == 141 and err == b""
    assert provenance(tmp_path / "disk_evolution.csv")["status"] == "done"


def test_ctrl_c_keeps_the_rows_marked_interrupted(tmp_path):
    """SIGINT a second into a run of about ten seconds: the program stops at
    once, writes the rows it has under the partial name, and exits 130. (The
    second leaves room for the set-up, which takes more than a third of a
    second in the sanitizer build.)"""
    prelude = ("import signal\n"
               "signal.signal(signal.SIGALRM, lambda *a: signal.raise_signal(signal.SIGINT))\n"
               "signal.setitimer(signal.ITIMER_REAL, 1.0)")
    start = time.monotonic()
    proc = velmora_disk("--opacity", "sample", "--n-out", "2000000", "-o", "run.npz", cwd=tmp_path,
                        prelude=prelude)
    assert proc.returncode == 130, proc.stderr
    assert time.monotonic() - start < 5.0  # the whole run takes several seconds more
    assert "status = interrupted" in proc.stderr.splitlines()[-1]
    assert not (tmp_path / "run.npz").exists()
    with np.load(tmp_path / "run.partial.npz") as f:
        record, rows = json.loads(str(f["parameters"])), f["data"]
    assert record["status"] == "interrupted" and 0 <= len(rows) < 2000000


def test_a_failed_run_still_draws_its_plot(tmp_path):
    pytest.importorskip("matplotlib")
    proc = velmora_disk("--max-steps", "120", "--plot", "run.png", cwd=tmp_path)
    assert proc.returncode == 1
    assert (tmp_path / "run.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert proc.stderr.splitlines()[-1] == "velmora-disk evolve: the plot of the rows completed is run.png"


def test_the_thin_disk_model_runs_with_its_own_columns(tmp_path):
    """--model thin: the textbook thin disk through the same program; its rows
    carry its own schema (no advective column) and T_c^3 follows the analytic
    thin disk with electron scattering."""
    proc = velmora_disk("--model", "thin", "--n-out", "20", "-o", "thin.csv", cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    header, rows = read_csv(tmp_path / "thin.csv")
    names = [column.split(" [")[0] for column in header.split(",")]
    assert len(names) == 20 and "Q_adv" not in names
    col = {name: rows[:, k] for k, name in enumerate(names)}
    T3 = 27 / 32 * 1.380649e-16 * 0.1 * 0.34 * col["Omega"] * col["Sigma"] ** 2 / (5.670374419e-5 * 0.6 * 1.67262192369e-24)
    assert np.allclose(col["T_c"] ** 3, T3, rtol=1e-9)
    refused = velmora_disk("--model", "thin", "--xi", "2", cwd=tmp_path)
    assert (refused.returncode, refused.stderr) == (
        2, "velmora-disk evolve: error: xi given with model='thin': that model has no advection\n")


def test_a_thin_run_in_netcdf_loads_with_its_columns_and_reruns_through_config(tmp_path):
    """The .nc reader takes the columns of the model the file records, not the
    advective model's."""
    pytest.importorskip("xarray")
    pytest.importorskip("netCDF4")
    from velmora import load
    first = velmora_disk("--model", "thin", "--n-out", "20", "-o", "thin.nc", cwd=tmp_path)
    assert first.returncode == 0, first.stderr
    run = load(tmp_path / "thin.nc")
    assert (run.params["model"], len(run.columns), "Q_adv" in run, run.status) == ("thin", 20, False, "done")
    again = velmora_disk("--config", "thin.nc", "-o", "again.nc", cwd=tmp_path)
    assert again.returncode == 0, again.stderr
    assert np.array_equal(load(tmp_path / "again.nc").rows, run.rows)
