"""Stand-in for the disk model of the Python interface until it lands: builds
the bound closure the way velmora-disk does and runs evolve, with the
keywords, `params` and result attributes the sweep relies on."""

from __future__ import annotations

import math
import types

import velmora
from velmora import cli

_DEFAULTS = dict(mbh=1e6, r_in=6.0, alpha=0.1, mu=0.6, xi=1.0, disk_mass=0.01, disk_radius=None, fallback=True,
                 fallback_mass=1 / 3, fallback_time=None, circularisation_radius=None, beta_fb=5 / 3, opacity="es",
                 X=0.7, Z=0.02, opal_set=None, opal_file=None, table_oob="extend")


class AdvectiveDisk:
    def __init__(self, *, mbh=1e6, r_in=6.0, alpha=0.1, mu=0.6, xi=1.0, disk_mass=0.01, disk_radius=None,
                 fallback=True, fallback_mass=1 / 3, fallback_time=None, circularisation_radius=None, beta_fb=5 / 3,
                 opacity="es", X=0.7, Z=0.02, opal_set=None, opal_file=None, table_oob="extend"):
        self.params = {k: v for k, v in locals().items() if k in _DEFAULTS}
        for name in ("mbh", "r_in", "alpha", "mu", "disk_mass", "fallback_mass", "beta_fb"):
            if not (isinstance(self.params[name], (int, float)) and self.params[name] > 0):
                raise ValueError(f"{name} must be positive, got {self.params[name]!r}")

    def _closure(self):
        from velmora.dynamics.accretion.one_zone.models._gasrad_adv import AdvectiveClosure
        from velmora.radiation.opacity.choice import opacity_law

        p = self.params
        M_BH = p["mbh"] * cli.M_SUN
        tde = cli.tde_defaults(M_BH)
        R_c = p["circularisation_radius"] or tde["R_c"]
        closure = AdvectiveClosure(p["fallback"], p["mu"], p["xi"])
        closure.opacity = opacity_law(p["opacity"], p["X"], p["Z"], opal_set=p["opal_set"],
                                      opal_file=p["opal_file"], table_oob=p["table_oob"])
        bound = {"log_M_BH": math.log(M_BH), "log_R_in": math.log(p["r_in"] * cli.G_CGS * M_BH / cli.C_CGS ** 2),
                 "alpha": p["alpha"]}
        if p["fallback"]:
            bound.update(log_M_fb_0=math.log(p["fallback_mass"] * cli.M_SUN), log_R_c=math.log(R_c),
                         log_t_fb=math.log(p["fallback_time"] or tde["t_fb"]), beta_fb=p["beta_fb"])
        closure.bind_runtime_parameters(bound)
        return closure, p["disk_mass"] * cli.M_SUN, p["disk_radius"] or R_c

    def evolve(self, t_end=1e8, n_out=1000, rtol=1e-8, t_start=None, max_steps=100000, branch="hottest",
               progress=None):
        from velmora.dynamics.accretion.one_zone.closure import evolve

        closure, M_D0, R_D0 = self._closure()
        try:
            rows, info = evolve(closure, M_D0, R_D0, t_end, n_out=n_out, rtol=rtol, t_start=t_start,
                                max_steps=max_steps, branch=branch, progress=progress, full_output=True)
            status, error = "done", None
        except Exception as exc:
            rows, info = getattr(exc, "rows", None), getattr(exc, "info", None) or {}
            status, error = "failed", f"{type(exc).__name__}: {exc}"
            if rows is None:
                raise
        stats = {k: info.get(k) for k in ("steps", "rejected_steps", "evaluations", "residual_evaluations",
                                          "scans", "peak_Mdot", "t_peak", "t_reached")}
        return types.SimpleNamespace(rows=rows, transitions=info.get("transitions", []), stats=stats,
                                     status=status, error=error, columns=cli.COLUMNS, params=dict(self.params),
                                     version=velmora.__version__, start_branch=info.get("start_branch"))
