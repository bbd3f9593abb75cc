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

Every value has an option; the fallback's R_c and t_fb follow the hole mass
unless given. Output: the 21 columns of the closure's writer (COLUMNS), one
row per output time, to CSV with a header line of names and units, or to
.npz (arrays ``data``, ``columns``, ``units``).

Exit status: 0 done, 1 the run failed (the rows computed so far are written),
2 bad options.
"""

from __future__ import annotations

import argparse
import math
import os
import sys
import time

import numpy as np

__all__ = ["BRANCHES", "COLUMNS", "main", "tde_defaults"]

PROG = "velmora-disk"

# cgs; CODATA 2018 and the IAU nominal solar values.
G_CGS = 6.67430e-8
C_CGS = 2.99792458e10
M_SUN = 1.98847e33
R_SUN = 6.957e10
DAY = 86400.0
YEAR = 3.15576e7

# The writer's 21 columns: name, unit, meaning.
COLUMNS = (
    ("row", "-", "output row number"),
    ("t", "s", "time since the disruption"),
    ("M_D", "g", "disk mass"),
    ("J_D", "g cm^2 s^-1", "disk angular momentum"),
    ("R_D", "cm", "disk radius"),
    ("Sigma", "g cm^-2", "surface density"),
    ("Omega", "s^-1", "angular velocity"),
    ("T_eff", "K", "effective temperature"),
    ("T_c", "K", "central temperature"),
    ("tau", "-", "optical depth"),
    ("c_s", "cm s^-1", "sound speed"),
    ("nu", "cm^2 s^-1", "kinematic viscosity"),
    ("Q_visc", "erg cm^-2 s^-1", "viscous heating rate"),
    ("Q_adv", "erg cm^-2 s^-1", "advective cooling rate"),
    ("dM_D_dt", "g s^-1", "rate of change of the disk mass"),
    ("dJ_D_dt", "g cm^2 s^-2", "rate of change of the disk angular momentum"),
    ("Mdot", "g s^-1", "accretion rate onto the hole"),
    ("t_visc", "s", "viscous time"),
    ("H", "cm", "scale height"),
    ("H_over_R", "-", "aspect ratio H / R_D"),
    ("rho_c", "g cm^-3", "central density"),
)
COL = {name: k for k, (name, _, _) in enumerate(COLUMNS)}

# The starting branches of --branch: the hottest stable root that exists
# (the default), a named branch, or the closure's own search from its first
# guess (no branches, no transitions).
BRANCHES = ("hottest", "thick", "thin", "closure")

DEFAULTS = {
    "mbh": 1e6,
    "disk_mass": 0.01,
    "alpha": 0.1,
    "mu": 0.6,
    "xi": 1.0,
    "r_in": 6.0,
    "fallback_mass": 1.0 / 3.0,
    "beta_fb": 5.0 / 3.0,
    "X": 0.7,
    "Z": 0.02,
    "t_end": 1e8,
    "n_out": 1000,
    "rtol": 1e-8,
    "max_steps": 100000,
    "branch": "hottest",
    "output": "disk_evolution.csv",
}


class UsageError(Exception):
    """A bad option: one line on stderr, exit status 2."""


def tde_defaults(M_BH: float) -> dict:
    """Tidal radius, circularisation radius and fallback time [cgs] of a
    Sun-like star disrupted by a hole of mass M_BH [g]."""
    R_t = R_SUN * (M_BH / M_SUN) ** (1.0 / 3.0)
    a_min = R_t * R_t / (2.0 * R_SUN)  # semi-major axis of the most bound debris
    return {"R_t": R_t, "R_c": 2.0 * R_t, "t_fb": 2.0 * math.pi * math.sqrt(a_min ** 3 / (G_CGS * M_BH))}


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
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {text}")
    return value


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog=PROG, description="Time evolution of a one-zone accretion disk.")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    p = sub.add_parser(
        "evolve", help="evolve a disk in time (the default command)",
        description="Evolve a one-zone accretion disk fed by tidal-disruption fallback. Defaults: the "
                    "debris of a Sun-like star around a 1e6 M_sun hole (see the values below).",
        formatter_class=_Defaults)
    d = DEFAULTS
    hole = p.add_argument_group("hole and disk")
    hole.add_argument("--mbh", type=positive, default=d["mbh"], metavar="MSUN",
                      help="black-hole mass [M_sun]")
    hole.add_argument("--r-in", type=positive, default=d["r_in"], metavar="RG",
                      help="inner edge of the disk [G M_BH / c^2]")
    hole.add_argument("--disk-mass", type=positive, default=d["disk_mass"], metavar="MSUN",
                      help="initial disk mass [M_sun]")
    hole.add_argument("--disk-radius", type=positive, default=None, metavar="CM",
                      help="initial disk radius [cm] (default: the circularisation radius)")
    hole.add_argument("--alpha", type=positive, default=d["alpha"], help="viscosity parameter")
    hole.add_argument("--mu", type=positive, default=d["mu"], help="mean molecular weight")
    hole.add_argument("--xi", type=non_negative, default=d["xi"], help="advection (entropy-gradient) parameter")

    fb = p.add_argument_group("fallback")
    fb.add_argument("--fallback", action=argparse.BooleanOptionalAction, default=True,
                    help="feed the disk with fallback debris")
    fb.add_argument("--fallback-mass", type=positive, default=d["fallback_mass"], metavar="MSUN",
                    help="fallback mass scale M_fb_0 [M_sun]; M_fb_0 / (beta_fb - 1) falls back in all")
    fb.add_argument("--fallback-time", type=positive, default=None, metavar="S",
                    help="fallback time t_fb [s] (default: orbital period of the most bound debris "
                         "of a Sun-like star, 3.54e6 s at 1e6 M_sun)")
    fb.add_argument("--circularisation-radius", type=positive, default=None, metavar="CM",
                    help="radius R_c where the debris joins the disk [cm] (default: twice the tidal "
                         "radius of a Sun-like star, 1.39e13 cm at 1e6 M_sun)")
    fb.add_argument("--beta-fb", type=positive, default=d["beta_fb"], metavar="BETA",
                    help="late-time power-law index of the fallback rate")

    op = p.add_argument_group("opacity")
    op.add_argument("--opacity", choices=("es", "sample", "opal"), default="es",
                    help="electron scattering, the shipped synthetic sample table, or a real OPAL table "
                         "(a published set, --opal-set, or a file, --opal-file)")
    op.add_argument("--opal-set", metavar="NAME",
                    help="published OPAL set for --opacity opal, at --X and --Z through rm-tables "
                         "(pip install 'velmora[tables]'; default: GS98hz)")
    op.add_argument("--opal-file", metavar="PATH", help="OPAL-format table file for --opacity opal")
    op.add_argument("--X", type=fraction, default=d["X"], help="hydrogen mass fraction")
    op.add_argument("--Z", type=fraction, default=d["Z"], help="metal mass fraction (tables only)")
    op.add_argument("--table-oob", choices=("extend", "clamp", "raise"), default="extend",
                    help="outside a table: extend it physically (ionised gas beyond its edges, the "
                         "low-temperature table below a set), take its edge value, or stop the run")

    th = p.add_argument_group("thermal branches")
    th.add_argument("--branch", choices=BRANCHES, default=d["branch"],
                    help="the branch the disk starts on: the hottest stable one, thick, thin, or the closure's "
                         "own search from its first guess (no branches)")

    run = p.add_argument_group("run and output")
    run.add_argument("--t-end", type=positive, default=d["t_end"], metavar="S", help="end time [s]")
    run.add_argument("--t-start", type=positive, default=None, metavar="S",
                     help="first output time [s] (default: 1e-4 t_end)")
    run.add_argument("--n-out", type=count, default=d["n_out"], metavar="N", help="number of output rows")
    run.add_argument("--rtol", type=tolerance, default=d["rtol"], help="relative tolerance of each step")
    run.add_argument("--max-steps", type=count, default=d["max_steps"], metavar="N",
                     help="most integration steps the run may take")
    run.add_argument("-o", "--output", default=d["output"], metavar="FILE",
                     help="output file, .csv or .npz")
    run.add_argument("--plot", metavar="FILE.png",
                     help="also draw T_c, the accretion rate and H/R against time (needs matplotlib)")
    sub.add_parser("sweep", add_help=False,
                   help="run a disk for every case of a grid of parameters on dask (velmora-disk sweep --help)")
    return parser


def parse(argv):
    argv = list(argv)
    # The command may be left out: evolve is the default.
    if not argv or argv[0] not in ("evolve", "-h", "--help"):
        argv.insert(0, "evolve")
    args = build_parser().parse_args(argv)

    def fail(text):
        raise UsageError(f"{PROG} evolve: error: {text}")

    M_BH = args.mbh * M_SUN
    tde = tde_defaults(M_BH)
    args.M_BH = M_BH
    args.R_in = args.r_in * G_CGS * M_BH / C_CGS ** 2
    args.R_c = args.circularisation_radius or tde["R_c"]
    args.t_fb = args.fallback_time or tde["t_fb"]
    args.M_fb_0 = args.fallback_mass * M_SUN
    args.M_D0 = args.disk_mass * M_SUN
    args.R_D0 = args.disk_radius or args.R_c
    if args.R_D0 <= args.R_in:
        fail(f"the disk radius ({args.R_D0:.4g} cm) must lie outside the inner edge ({args.R_in:.4g} cm)")
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
    if os.path.splitext(args.output)[1].lower() not in (".csv", ".npz"):
        fail(f"--output must end in .csv or .npz, got {args.output}")
    for option, path in (("--output", args.output), ("--plot", args.plot)):
        folder = os.path.dirname(os.path.abspath(path)) if path else None
        if folder and not os.path.isdir(folder):
            fail(f"{option}: no such directory: {folder}")
    if args.plot:
        if os.path.splitext(args.plot)[1].lower() not in (".png", ".pdf", ".svg"):
            fail(f"--plot must end in .png, .pdf or .svg, got {args.plot}")
        try:
            import matplotlib  # noqa: F401
        except ImportError:
            fail("--plot needs matplotlib, which is not installed (pip install 'velmora[plot]')")
    return args


# --- the run ----------------------------------------------------------------------

def make_closure(args):
    """The bound AdvectiveClosure with its opacity law."""
    from velmora.dynamics.accretion.one_zone.models._gasrad_adv import AdvectiveClosure
    from velmora.radiation.opacity.choice import opacity_law

    closure = AdvectiveClosure(args.fallback, args.mu, args.xi)
    try:
        closure.opacity = opacity_law(args.opacity, args.X, args.Z, opal_set=args.opal_set,
                                      opal_file=args.opal_file, table_oob=args.table_oob)
    except (ValueError, OSError, ImportError) as exc:
        raise UsageError(f"{PROG} evolve: error: --opacity {args.opacity}: {exc}") from None
    params = {"log_M_BH": math.log(args.M_BH), "log_R_in": math.log(args.R_in), "alpha": args.alpha}
    if args.fallback:
        params.update(log_M_fb_0=math.log(args.M_fb_0), log_R_c=math.log(args.R_c),
                      log_t_fb=math.log(args.t_fb), beta_fb=args.beta_fb)
    closure.bind_runtime_parameters(params)
    return closure


class ProgressBar:
    """A bar on stderr, redrawn in place; only on a terminal."""

    width = 40

    def __init__(self, stream):
        self.stream = stream
        self.shown = -1

    def __call__(self, done):
        percent = int(100.0 * done)
        if percent == self.shown:
            return
        self.shown = percent
        filled = int(self.width * done)
        self.stream.write(f"\r{PROG}: [{'#' * filled}{'.' * (self.width - filled)}] {percent:3d}%")
        self.stream.flush()

    def close(self):
        if self.shown >= 0:
            self.stream.write("\r" + " " * (len(PROG) + self.width + 10) + "\r")
            self.stream.flush()


def write_rows(path, rows):
    names = [name for name, _, _ in COLUMNS]
    units = [unit for _, unit, _ in COLUMNS]
    if path.lower().endswith(".npz"):
        np.savez(path, data=rows, columns=np.array(names), units=np.array(units))
        return
    header = ",".join(f"{name} [{unit}]" for name, unit in zip(names, units))
    np.savetxt(path, rows, fmt="%.17g", delimiter=",", header=header, comments="")


def fallback_rate(args, t):
    return (args.M_fb_0 / args.t_fb) * (1.0 + t / args.t_fb) ** (-args.beta_fb)


def draw(path, rows, args, transitions=()):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    days = rows[:, COL["t"]] / DAY
    fig, axes = plt.subplots(3, 1, sharex=True, figsize=(7.0, 8.0))
    axes[0].loglog(days, rows[:, COL["T_c"]])
    axes[0].set_ylabel("central temperature [K]")
    axes[1].loglog(days, rows[:, COL["Mdot"]], label="onto the hole")
    if args.fallback:
        axes[1].loglog(days, fallback_rate(args, days * DAY), "--", label="fallback")
        axes[1].legend()
    axes[1].set_ylabel("accretion rate [g s$^{-1}$]")
    axes[2].loglog(days, rows[:, COL["H_over_R"]])
    axes[2].set_ylabel("aspect ratio H / R")
    axes[2].set_xlabel("t [days]")
    for k, tr in enumerate(transitions):
        for ax in axes:
            ax.axvline(tr["t"] / DAY, color="0.5", linestyle=":", linewidth=0.8,
                       label="transition" if ax is axes[0] and k == 0 else None)
    if transitions:
        axes[0].legend()
    axes[0].set_title(f"one-zone disk, M_BH = {args.mbh:g} M_sun")
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    plt.close(fig)


def transition_line(tr):
    return (f"    {tr['t'] / DAY:9.6g} d  {tr['from_branch']:>6} -> {tr['to_branch']:<6} "
            f"Mdot {tr['Mdot_before']:.3e} -> {tr['Mdot_after']:.3e} g/s, "
            f"T_c {tr['T_c_before']:.4g} -> {tr['T_c_after']:.4g} K, "
            f"H/R {tr['H_over_R_before']:.3g} -> {tr['H_over_R_after']:.3g}")


def summary(rows, info, args, path, seconds, outside=None):
    t = rows[:, COL["t"]]
    R_g = G_CGS * args.M_BH / C_CGS ** 2
    final = rows[-1]
    peak, t_peak = info["peak_Mdot"], info["t_peak"]
    thick = int(np.count_nonzero(rows[:, COL["H_over_R"]] > 1.0))
    transitions = info["transitions"]
    lines = [
        f"{PROG} evolve: {len(rows)} rows from t = {t[0]:.3g} s to {t[-1]:.3g} s written to "
        f"{os.path.abspath(path)}",
        f"  starting branch      {info['start_branch']}"
        + (" (the hottest stable one)" if info["branch"] == "hottest" else ""),
        f"  transitions          {len(transitions)}",
        *[transition_line(tr) for tr in transitions],
        f"  peak accretion rate  {peak:.3e} g/s ({peak * YEAR / M_SUN:.3g} M_sun/yr) "
        f"at t = {t_peak:.3e} s ({t_peak / DAY:.4g} d)",
        f"  final disk mass      {final[COL['M_D']]:.3e} g ({final[COL['M_D']] / M_SUN:.3g} M_sun)",
        f"  final disk radius    {final[COL['R_D']]:.3e} cm ({final[COL['R_D']] / R_g:.3g} G M_BH/c^2)",
        f"  rows with H/R > 1    {thick}"
        + (" (the one-zone ring is no longer thin there: read those rows with care)" if thick else ""),
        *([f"  outside the table    {outside} of {len(rows)} rows (opacity from its physical extension)"]
          if outside is not None else []),
        f"  integration          {info['steps']} steps ({info['rejected_steps']} rejected), "
        f"{info['evaluations']} evaluations, {info['residual_evaluations']} of the energy balance",
        f"  run time             {seconds:.2f} s",
    ]
    return "\n".join(lines)


def evolve_command(args) -> int:
    from velmora.dynamics.accretion.one_zone.closure import evolve

    closure = make_closure(args)
    bar = ProgressBar(sys.stderr) if sys.stderr.isatty() else None
    start = time.perf_counter()
    try:
        rows, info = evolve(closure, args.M_D0, args.R_D0, args.t_end, n_out=args.n_out, rtol=args.rtol,
                            progress=bar, t_start=args.t_start, max_steps=args.max_steps, branch=args.branch,
                            full_output=True)
    except (Exception, KeyboardInterrupt) as exc:
        if bar:
            bar.close()
        rows = getattr(exc, "rows", None)
        text = "interrupted" if isinstance(exc, KeyboardInterrupt) else f"{type(exc).__name__}: {exc}"
        print(f"{PROG} evolve: error: {text}", file=sys.stderr)
        for note in getattr(exc, "__notes__", ()):
            if "'rows' attribute" not in note:  # said below, in this program's terms
                print(f"  {note}", file=sys.stderr)
        if rows is not None and len(rows):
            write_rows(args.output, rows)
            print(f"{PROG} evolve: the {len(rows)} rows completed were written to {args.output}",
                  file=sys.stderr)
        return 130 if isinstance(exc, KeyboardInterrupt) else 1
    seconds = time.perf_counter() - start
    if bar:
        bar.close()
    write_rows(args.output, rows)
    if args.plot:
        draw(args.plot, rows, args, info["transitions"])
    from velmora.radiation.opacity.grey_opacity.rosseland import rows_outside
    outside = rows_outside(closure.opacity, rows[:, COL["rho_c"]], rows[:, COL["T_c"]])
    print(summary(rows, info, args, args.output, seconds, outside))
    if args.plot:
        print(f"  plot                 {args.plot}")
    return 0


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
    except OSError as exc:
        print(f"{PROG}: error: {exc}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    raise SystemExit(main())
