"""velmora-disk: the time evolution of a one-zone accretion disk.

``velmora-disk evolve`` (the default command, also run by ``python -m
velmora``) follows a disk of mass M_D and angular momentum J_D around a
black hole: the advective closure (gas plus radiation pressure, radiative
and advective cooling) gives its thermal structure at every step, the disk
drains onto the hole on its viscous time, and debris falling back after a
tidal disruption feeds it.

The default disk is the debris of a Sun-like star torn apart by a hole of
1e6 solar masses:

- hole mass M_BH = 1e6 M_sun; inner edge R_in = 6 G M_BH / c^2 (the
  innermost stable orbit of a hole without spin);
- tidal radius R_t = R_sun (M_BH / M_sun)^(1/3); the debris circularises at
  R_c = 2 R_t (1.39e13 cm);
- fallback rate Mdot_fb = (M_fb_0 / t_fb) (1 + t / t_fb)^(-beta_fb) with
  beta_fb = 5/3; t_fb is the orbital period of the most bound debris,
  2 pi sqrt(a^3 / (G M_BH)) with a = R_t^2 / (2 R_sun) (3.54e6 s, 41 days);
  M_fb_0 = M_sun / 3, so that the fallback delivers M_fb_0 / (beta_fb - 1)
  = M_sun / 2 in all, the bound half of the star;
- a seed disk of M_D0 = 0.01 M_sun on a ring at R_D0 = R_c;
- alpha = 0.1, mu = 0.6 (ionised solar mix), xi = 1 (on the advective branch
  the aspect ratio tends to sqrt(3 / (4 xi)), 0.87);
- electron-scattering opacity with X = 0.7 (0.34 cm^2 g^-1); table opacities
  (--opacity sample|opal) are extended physically beyond their tables by
  default (--table-oob extend);
- output at 1000 times log-spaced from 1e4 s to t_end = 1e8 s (3.2 years),
  relative tolerance 1e-8.

With these values the disk starts thick and advective (H/R near 0.87),
accreting at about the fallback rate. Its energy balance has two stable
roots, a thick (radiation-pressure, advective) one and a thin (gas-pressure)
one: the disk stays on its branch until that branch ends. The thick branch
ends at 129.5 days, where H/R has fallen to 0.5 (sqrt(1 / (4 xi))), and the
disk collapses to the thin branch, whose accretion rate is five orders of
magnitude lower; the refilled thin disk ends its branch at 452 days, where
gas pressure is 2/5 of the pressure, and goes through an outburst on the
thick branch that lasts 17 days. The transitions are located events: their
times do not depend on the output rows and converge with the tolerance.
--branch chooses the branch the disk starts on (by default the hottest that
exists: a fresh disruption disk is thick).

Every value has an option, and a TOML file can give any of them (--config
run.toml: keys named as the options, disk_mass = 0.02); options on the
command line win. --config also takes a result file of an earlier run (.csv,
.npz or .nc), whose recorded parameters reproduce that run bit for bit. The
fallback's R_c and t_fb follow the hole mass unless given. The defaults and
the physics are those of velmora.AdvectiveDisk, which builds the disk.

Output: the 21 columns of the closure's writer (COLUMNS), one row per output
time, to CSV (``# key = value`` lines with the effective configuration, the
version and the completion status, then a header line of names and units) or
to .npz (arrays ``data``, ``columns``, ``units`` and ``parameters``) or .nc
(NetCDF, through xarray). A run that fails or is interrupted writes the rows
it completed to FILE.partial.csv (or .npz, .nc), marked ``status = failed``
or ``interrupted``, and still draws its plot from them.

Exit status: 0 done, 1 the run failed, 2 bad options, 130 interrupted (Ctrl-C),
141 the standard output closed early (a broken pipe, quietly).
"""

from __future__ import annotations

import argparse
import math
import os
import sys
import tempfile
import textwrap
import time

import velmora
from velmora.constants import C_CGS, DAY, G_CGS, M_SUN, R_SUN, YEAR  # noqa: F401 - the program's units
from velmora.dynamics.accretion.one_zone.core import (BRANCHES, DEFAULTS, MODELS, RUN_DEFAULTS, AdvectiveDisk,
                                                      ParameterError, tde_defaults)
from velmora.dynamics.accretion.one_zone.disk_parameters import _unknown, run_parameters
from velmora.dynamics.accretion.one_zone.result_files import FORMATS, load
from velmora.dynamics.accretion.one_zone.results import model_columns

__all__ = ["BRANCHES", "COLUMNS", "main", "tde_defaults"]

PROG = "velmora-disk"

# The writer's columns (name, unit, meaning), as the model describes them.
COLUMNS = model_columns()

# What a --config file may set: the disk's parameters, the run's, and the files.
CONFIG_KEYS = (*DEFAULTS, *RUN_DEFAULTS, "output", "plot")
TEXT_KEYS = ("opacity", "opal_set", "opal_file", "table_oob", "branch", "output", "plot")
OUTPUT = "disk_evolution.csv"


class UsageError(Exception):
    """A bad option: one line on stderr, exit status 2."""


def fail(text):
    raise UsageError(f"{PROG} evolve: error: {text}")


# --- options ----------------------------------------------------------------------

class _Parser(argparse.ArgumentParser):
    """Reports a bad option in one line, without the usage text."""

    def error(self, message):
        raise UsageError(f"{self.prog}: error: {message}")


class _Defaults(argparse.ArgumentDefaultsHelpFormatter):
    """Shows defaults, except those that the help text explains."""

    def _get_help_string(self, action):
        if action.default is None:
            return action.help
        return super()._get_help_string(action)


def _number(check, what):
    def convert(text):
        try:
            value = float(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"invalid number: {text!r}") from None
        if not (math.isfinite(value) and check(value)):
            raise argparse.ArgumentTypeError(f"must be {what}, got {text}")
        return value
    return convert


positive = _number(lambda v: v > 0.0, "positive")
non_negative = _number(lambda v: v >= 0.0, "non-negative")
fraction = _number(lambda v: 0.0 <= v <= 1.0, "between 0 and 1")
tolerance = _number(lambda v: 0.0 < v < 1.0, "between 0 and 1")


def count(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid integer: {text!r}") from None
    if not 1 <= value <= 2**31 - 1:
        raise argparse.ArgumentTypeError(f"must be at least 1 (and below 2**31), got {text}"
                                         if value >= 1 else f"must be at least 1, got {text}")
    return value


def build_parser() -> argparse.ArgumentParser:
    """The program's parser; ``parser.evolve_parser`` is the evolve command's."""
    parser = _Parser(prog=PROG, description="Time evolution of a one-zone accretion disk.")
    parser.add_argument("--version", action="version", version=f"{PROG} (velmora) {velmora.__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    p = sub.add_parser(
        "evolve", help="evolve a disk in time (the default command)",
        description="Evolve a one-zone accretion disk fed by tidal-disruption fallback. Defaults: the "
                    "debris of a Sun-like star around a 1e6 M_sun hole (see the values below).",
        formatter_class=_Defaults)
    d, r = DEFAULTS, RUN_DEFAULTS
    p.add_argument("--config", metavar="FILE",
                   help="parameters from a TOML file (keys named as the options: disk_mass = 0.02) or from "
                        "the result file (.csv, .npz, .nc) of an earlier run; options given here win")
    hole = p.add_argument_group("hole and disk")
    hole.add_argument("--model", choices=tuple(MODELS), default=d["model"],
                      help="the disk's closure: gas plus radiation pressure with advection, or the textbook thin "
                           "disk (gas pressure, radiative cooling; no --xi)")
    hole.add_argument("--mbh", type=positive, default=d["mbh"], metavar="MSUN",
                      help="black-hole mass [M_sun]")
    hole.add_argument("--r-in", type=positive, default=d["r_in"], metavar="RG",
                      help="inner edge of the disk [G M_BH / c^2]")
    hole.add_argument("--disk-mass", type=positive, default=d["disk_mass"], metavar="MSUN",
                      help="initial disk mass [M_sun]")
    hole.add_argument("--disk-radius", type=positive, default=d["disk_radius"], metavar="CM",
                      help="initial disk radius [cm] (default: the circularisation radius)")
    hole.add_argument("--alpha", type=positive, default=d["alpha"], help="viscosity parameter")
    hole.add_argument("--mu", type=positive, default=d["mu"], help="mean molecular weight")
    hole.add_argument("--xi", type=non_negative, default=d["xi"], help="advection (entropy-gradient) parameter")

    fb = p.add_argument_group("fallback")
    fb.add_argument("--fallback", action=argparse.BooleanOptionalAction, default=d["fallback"],
                    help="feed the disk with fallback debris")
    fb.add_argument("--fallback-mass", type=positive, default=d["fallback_mass"], metavar="MSUN",
                    help="fallback mass scale M_fb_0 [M_sun]; M_fb_0 / (beta_fb - 1) falls back in all")
    fb.add_argument("--fallback-time", type=positive, default=d["fallback_time"], metavar="S",
                    help="fallback time t_fb [s] (default: orbital period of the most bound debris "
                         "of a Sun-like star, 3.54e6 s at 1e6 M_sun)")
    fb.add_argument("--circularisation-radius", type=positive, default=d["circularisation_radius"],
                    metavar="CM", help="radius R_c where the debris joins the disk [cm] (default: twice the "
                                       "tidal radius of a Sun-like star, 1.39e13 cm at 1e6 M_sun)")
    fb.add_argument("--beta-fb", type=positive, default=d["beta_fb"], metavar="BETA",
                    help="late-time power-law index of the fallback rate")

    op = p.add_argument_group("opacity")
    op.add_argument("--opacity", choices=("es", "sample", "opal"), default=d["opacity"],
                    help="electron scattering, the shipped synthetic sample table, or a real OPAL table "
                         "(a published set, --opal-set, or a file, --opal-file)")
    op.add_argument("--opal-set", metavar="NAME", default=d["opal_set"],
                    help="published OPAL set for --opacity opal, at --X and --Z through rm-tables "
                         "(pip install 'velmora[tables]'; default: GS98hz)")
    op.add_argument("--opal-file", metavar="PATH", default=d["opal_file"],
                    help="OPAL-format table file for --opacity opal")
    op.add_argument("--X", type=fraction, default=d["X"], help="hydrogen mass fraction")
    op.add_argument("--Z", type=fraction, default=d["Z"], help="metal mass fraction (tables only)")
    op.add_argument("--table-oob", choices=("extend", "clamp", "raise"), default=d["table_oob"],
                    help="outside a table: extend it physically (ionised gas beyond its edges, the "
                         "low-temperature table below a set), take its edge value, or stop the run")

    th = p.add_argument_group("thermal branches")
    th.add_argument("--branch", choices=BRANCHES, default=r["branch"],
                    help="the branch the disk starts on: the hottest or coolest stable one, thick, thin, or "
                         "the closure's own search from its first guess (no branches)")

    run = p.add_argument_group("run and output")
    run.add_argument("--t-end", type=positive, default=r["t_end"], metavar="S", help="end time [s]")
    run.add_argument("--t-start", type=positive, default=r["t_start"], metavar="S",
                     help="first output time [s] (default: 1e-4 t_end)")
    run.add_argument("--n-out", type=count, default=r["n_out"], metavar="N", help="number of output rows")
    run.add_argument("--rtol", type=tolerance, default=r["rtol"], help="relative tolerance of each step")
    run.add_argument("--max-steps", type=count, default=r["max_steps"], metavar="N",
                     help="most integration steps the run may take")
    run.add_argument("-o", "--output", default=OUTPUT, metavar="FILE", help="output file, .csv, .npz or .nc")
    run.add_argument("--plot", metavar="FILE.png",
                     help="also draw T_c, the accretion rate and H/R against time (needs matplotlib)")
    sub.add_parser("sweep", add_help=False,
                   help="run a disk for every case of a grid of parameters on dask (velmora-disk sweep --help)")
    parser.evolve_parser = p
    return parser


def read_config(path) -> dict:
    """The settings of a --config file: a TOML file of option keys, or the
    parameters recorded in a result file."""
    if not os.path.isfile(path):
        fail(f"--config: no such file: {path}")
    ext = os.path.splitext(path)[1].lower()
    try:
        if ext in FORMATS:
            result = load(path)
            if result.kind != "evolution":
                fail(f"--config {path}: a result file of an evolution is needed, not of a {result.kind}")
            return {**result.params, **result.run}
        import tomllib
        with open(path, "rb") as f:
            config = tomllib.load(f)
    except (ValueError, OSError, KeyError, ImportError) as exc:
        fail(f"--config {path}: {exc}")
    try:
        _unknown(config, CONFIG_KEYS, "key")
    except ParameterError as exc:
        fail(f"--config {path}: {exc}")
    for key in TEXT_KEYS:
        if key in config and not isinstance(config[key], str):
            fail(f"--config {path}: {key} must be a string, got {config[key]!r}")
    return config


def parse(argv):
    """The options, with the disk built (``args.disk``), the run's checked
    arguments (``args.run``) and the disk's cgs values as attributes
    (``args.M_BH``, ``args.R_D0``, ...)."""
    argv = list(argv)
    # The command may be left out: evolve is the default.
    if not argv or argv[0] not in ("evolve", "-h", "--help", "--version"):
        argv.insert(0, "evolve")
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.config:
        # The file's values replace the defaults; what the command line gives wins.
        parser.evolve_parser.set_defaults(**read_config(args.config))
        args = parser.parse_args(argv)

    if args.t_start is not None and args.t_start > args.t_end:
        fail(f"--t-start ({args.t_start:g} s) must not exceed --t-end ({args.t_end:g} s)")
    if args.opal_set and args.opal_file:
        fail("--opal-set and --opal-file exclude each other")
    if args.opal_set and args.opacity != "opal":
        fail("--opal-set needs --opacity opal")
    if args.opal_file and args.opacity != "opal":
        fail("--opal-file needs --opacity opal")
    if args.opal_file and not os.path.isfile(args.opal_file):
        fail(f"--opal-file: no such file: {args.opal_file}")
    if os.path.splitext(args.output)[1].lower() not in FORMATS:
        fail(f"--output must end in .csv, .npz or .nc, got {args.output}")
    folder = os.path.dirname(os.path.abspath(args.output))
    if not os.path.isdir(folder):
        fail(f"--output: no such directory: {folder}")
    if args.plot and (problem := plot_problem(args.plot)):
        fail(problem)
    if args.output.lower().endswith(".nc"):
        try:
            import xarray  # noqa: F401
        except ImportError:
            fail("--output .nc needs xarray, which is not installed (pip install 'velmora[xarray]')")
    for option, path in (("--output", args.output), ("--plot", args.plot)):
        if path:
            check_writable(option, path)

    try:
        args.disk = AdvectiveDisk(**{key: getattr(args, key) for key in DEFAULTS})
        args.run = run_parameters(**{key: getattr(args, key) for key in RUN_DEFAULTS})
    except ParameterError as exc:
        fail(exc)
    except (ValueError, OSError, ImportError) as exc:
        fail(f"--opacity {args.opacity}: {exc}")
    vars(args).update(args.disk.cgs)
    return args


def plot_problem(path) -> str | None:
    """Why a --plot to `path` cannot be drawn, in the words of the error
    (None: it can); velmora-disk sweep checks its --plot with it too."""
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        return f"--plot: no such directory: {folder}"
    if os.path.splitext(path)[1].lower() not in (".png", ".pdf", ".svg"):
        return f"--plot must end in .png, .pdf or .svg, got {path}"
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        return "--plot needs matplotlib, which is not installed (pip install 'velmora[plot]')"
    return None


def check_writable(option, path):
    """Refuses, before the run, a file that cannot be written (a folder, no
    permission, a read-only file system); a file made for the test is removed.
    The output is written beside its name and renamed into place, so its
    folder must take a new file too."""
    if os.path.isdir(path):
        fail(f"{option}: {path} is a directory")
    existed = os.path.exists(path)
    try:
        if option == "--output":
            with tempfile.TemporaryFile(dir=os.path.dirname(os.path.realpath(path))):
                pass
        with open(path, "a"):
            pass
    except OSError as exc:
        fail(f"{option}: cannot write {path}: {exc.strerror}")
    if not existed:
        os.remove(path)


# --- the run ----------------------------------------------------------------------

def make_closure(args):
    """The bound AdvectiveClosure of the options' disk."""
    return args.disk.closure


def partial_path(path):
    """Where the rows of a run that did not complete go: FILE.partial.EXT, so
    that they never take the place of a complete run's file."""
    stem, ext = os.path.splitext(path)
    return f"{stem}.partial{ext}"


def draw(path, result, disk):
    """T_c, the accretion rate (with the fallback and the Eddington rates) and
    H/R against time in days; the transitions marked, the parameters below."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    days = result["t"] / DAY
    fig, axes = plt.subplots(3, 1, sharex=True, figsize=(7.5, 9.0))
    axes[0].loglog(days, result["T_c"])
    axes[0].set_ylabel("central temperature [K]")
    rate = axes[1]
    rate.loglog(days, result["Mdot"], label="onto the hole")
    if disk.params["fallback"]:
        rate.loglog(days, disk.fallback_rate(days * DAY), "--", label="fallback")
    edd = disk.eddington_rate()
    rate.axhline(edd, color="0.3", linestyle="-.", linewidth=0.9, label="Eddington rate")
    right = rate.secondary_yaxis("right", functions=(lambda m: m / edd, lambda x: x * edd))
    right.set_ylabel(r"$\dot M / \dot M_{\rm Edd}$")
    rate.set_ylabel("accretion rate [g s$^{-1}$]")
    axes[2].loglog(days, result["H_over_R"])
    axes[2].set_ylabel("aspect ratio H / R")
    axes[2].set_xlabel("t [days]")
    for k, tr in enumerate(result.transitions):
        for ax in axes:
            ax.axvline(tr["t"] / DAY, color="0.5", linestyle=":", linewidth=0.8,
                       label="transition" if ax is axes[0] and k == 0 else None)
    if result.transitions:
        axes[0].legend()
    rate.legend(fontsize="small")
    title = f"one-zone disk, M_BH = {disk.params['mbh']:g} M_sun"
    if result.status != "done":
        title += f" (run {result.status} at t = {result.stats['t_reached'] or 0.0:.3g} s)"
    axes[0].set_title(title)
    shown = ", ".join(f"{k} = {v:g}" if isinstance(v, float) else f"{k} = {v}"
                      for k, v in {**disk.params, **result.run}.items() if v is not None)
    fig.text(0.02, 0.01, textwrap.fill(shown, 120), fontsize=6.5, va="bottom", family="monospace")
    fig.tight_layout(rect=(0.0, 0.07, 1.0, 1.0))
    fig.savefig(path, dpi=120)
    plt.close(fig)


def transition_line(tr):
    return (f"    {tr['t'] / DAY:9.6g} d  {tr['from_branch']:>6} -> {tr['to_branch']:<6} "
            f"Mdot {tr['Mdot_before']:.3e} -> {tr['Mdot_after']:.3e} g/s, "
            f"T_c {tr['T_c_before']:.4g} -> {tr['T_c_after']:.4g} K, "
            f"H/R {tr['H_over_R_before']:.3g} -> {tr['H_over_R_after']:.3g}")


def summary(result, args, path, seconds, outside=None):
    t = result["t"]
    M_D, R_D = result["M_D"][-1], result["R_D"][-1]
    stats = result.stats
    peak, t_peak = stats["peak_Mdot"], stats["t_peak"]
    thick = int((result["H_over_R"] > 1.0).sum())
    transitions = result.transitions
    lines = [
        f"{PROG} evolve: {len(result)} rows from t = {t[0]:.3g} s to {t[-1]:.3g} s written to "
        f"{os.path.abspath(path)}",
        *([f"  configuration        {args.config}"] if args.config else []),
        f"  starting branch      {result.start_branch}"
        + (" (the hottest stable one)" if result.run["branch"] == "hottest" else ""),
        f"  transitions          {len(transitions)}",
        *[transition_line(tr) for tr in transitions],
        f"  peak accretion rate  {peak:.3e} g/s ({peak * YEAR / M_SUN:.3g} M_sun/yr, "
        f"{peak / args.disk.eddington_rate():.3g} Eddington) at t = {t_peak:.3e} s ({t_peak / DAY:.4g} d)",
        f"  final disk mass      {M_D:.3e} g ({M_D / M_SUN:.3g} M_sun)",
        f"  final disk radius    {R_D:.3e} cm ({R_D / args.R_g:.3g} G M_BH/c^2)",
        f"  rows with H/R > 1    {thick}"
        + (" (the one-zone ring is no longer thin there: read those rows with care)" if thick else ""),
        *([f"  outside the table    {outside} of {len(result)} rows (opacity from its physical extension)"]
          if outside is not None else []),
        f"  integration          {stats['steps']} steps ({stats['rejected_steps']} rejected), "
        f"{stats['evaluations']} evaluations, {stats['residual_evaluations']} of the energy balance",
        f"  run time             {seconds:.2f} s",
    ]
    return "\n".join(lines)


def progress_bar(args):
    """tqdm's bar, or the plain one, on stderr when it is a terminal."""
    if not sys.stderr.isatty():
        return None
    from velmora._progress import progress_bar
    return progress_bar(args.n_out, label=PROG, stream=sys.stderr)


def evolve_command(args) -> int:
    disk = args.disk
    bar = progress_bar(args)
    start = time.perf_counter()
    try:
        result = disk.evolve(**args.run, progress=bar, on_failure="raise")
    except (Exception, KeyboardInterrupt) as exc:
        result = getattr(exc, "result", None)
        if result is None:
            raise
        return report_failure(exc, result, args, bar)
    finally:
        if bar:
            bar.close()
    seconds = time.perf_counter() - start
    result.write(args.output)
    if args.plot:
        draw(args.plot, result, disk)
    from velmora.radiation.opacity.grey_opacity.rosseland import rows_outside
    outside = rows_outside(disk.opacity_law, result["rho_c"], result["T_c"])
    print(summary(result, args, args.output, seconds, outside))
    if args.plot:
        print(f"  plot                 {args.plot}")
    return 0


def report_failure(exc, result, args, bar) -> int:
    """A run that stopped: why, its notes, and where its rows went (a file of
    their own, marked with the status, and the plot)."""
    if bar:
        bar.close()
    interrupted = isinstance(exc, KeyboardInterrupt)
    say = lambda text: print(f"{PROG} evolve: {text}", file=sys.stderr)  # noqa: E731
    say(f"error: {result.error}")
    for note in getattr(exc, "__notes__", ()):
        if "'rows' attribute" not in note:  # said below, in this program's terms
            print(f"  {note}", file=sys.stderr)
    path = partial_path(args.output)
    result.write(path)
    say(f"the {len(result)} rows completed were written to {path} (status = {result.status})")
    if args.plot and len(result):
        draw(args.plot, result, args.disk)
        say(f"the plot of the rows completed is {args.plot}")
    return 130 if interrupted else 1


def main(argv=None) -> int:
    argv = sys.argv[1:] if argv is None else list(argv)
    if argv[:1] == ["sweep"]:
        from velmora.sweeps.cli import main as sweep_main
        return sweep_main(argv[1:])
    try:
        args = parse(argv)
        return evolve_command(args)
    except UsageError as exc:
        print(exc, file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader of our output went away (velmora-disk | head): stop quietly,
        # and keep the interpreter from complaining about the flush at exit.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 141
    except OSError as exc:
        print(f"{PROG}: error: {exc}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    raise SystemExit(main())
