"""The parameters of a one-zone disk and of a run: their defaults and units,
the checks that turn what a caller gives into plain values, and the cgs values
the closure binds.

Every refusal is a :class:`ParameterError` that names the parameters
concerned, so that the model class, the program and the sweeps report the
same thing in the same words.
"""

from __future__ import annotations

import difflib
import math
import os

from velmora import _quantities
from velmora.constants import C_CGS, G_CGS, M_SUN, R_SUN

__all__ = ["BRANCHES", "DEFAULTS", "MODELS", "RUN_DEFAULTS", "ParameterError", "closure_type", "derived_cgs",
           "plain_parameters", "run_parameters", "tde_defaults"]

# The disk's parameters with their defaults: the one place for the defaults of
# the model class and of the program. Units: mbh, disk_mass and fallback_mass
# in M_sun; r_in in G M_BH / c^2; disk_radius and circularisation_radius in
# cm; fallback_time in s. None: derived from the hole mass (R_c, t_fb) or from
# R_c (the disk radius).
DEFAULTS = {
    "model": "advective",
    "mbh": 1e6,
    "r_in": 6.0,
    "alpha": 0.1,
    "mu": 0.6,
    "xi": 1.0,
    "disk_mass": 0.01,
    "disk_radius": None,
    "fallback": True,
    "fallback_mass": 1.0 / 3.0,
    "fallback_time": None,
    "circularisation_radius": None,
    "beta_fb": 5.0 / 3.0,
    "opacity": "es",
    "X": 0.7,
    "Z": 0.02,
    "opal_set": None,
    "opal_file": None,
    "table_oob": "extend",
}

# The disk models: the closure type each builds (module, class). "advective":
# gas plus radiation pressure, radiative and advective cooling (xi); "thin":
# the textbook thin disk, gas pressure and radiative cooling only.
MODELS = {
    "advective": ("velmora.dynamics.accretion.one_zone.models._gasrad_adv", "AdvectiveClosure"),
    "thin": ("velmora.dynamics.accretion.one_zone.models._thin", "ThinClosure"),
}

# The arguments of a run, with their defaults (times in s).
RUN_DEFAULTS = {
    "t_end": 1e8,
    "n_out": 1000,
    "rtol": 1e-8,
    "t_start": None,
    "max_steps": 100000,
    "branch": "hottest",
}

# The starting branches of a run: the hottest stable root that exists (the
# default), a named branch, the coolest stable root, or the closure's own
# search from its first guess (no branches, no transitions).
BRANCHES = ("hottest", "thick", "thin", "coolest", "closure")

# The units of the cgs values a disk derives from its parameters.
_CGS_UNITS = {"M_BH": "g", "R_g": "cm", "R_in": "cm", "M_D0": "g", "R_D0": "cm", "J_D0": "g cm^2 s^-1",
              "R_c": "cm", "t_fb": "s", "M_fb_0": "g"}

# Parameters that only mean something with fallback on.
_FALLBACK_ONLY = ("fallback_mass", "fallback_time", "circularisation_radius", "beta_fb")


class ParameterError(ValueError):
    """A parameter of the disk or of a run that is unknown, out of range or
    inconsistent with another; ``names`` are the parameters concerned.

    Examples
    --------
    >>> from velmora import AdvectiveDisk, ParameterError
    >>> try:
    ...     AdvectiveDisk(alpha=-0.1)
    ... except ParameterError as exc:
    ...     print(exc.names, exc)
    ('alpha',) alpha must be positive and finite, got -0.1
    """

    def __init__(self, text: str, *names: str):
        super().__init__(text)
        self.names = names


def tde_defaults(M_BH: float) -> dict:
    """Tidal radius R_t, circularisation radius R_c [cm] and fallback time
    t_fb [s] of a Sun-like star disrupted by a hole of mass M_BH [g].

    Examples
    --------
    >>> from velmora.dynamics.accretion.one_zone.disk_parameters import tde_defaults
    >>> {k: float(f"{v:.3g}") for k, v in tde_defaults(1.98847e39).items()}
    {'R_t': 6960000000000.0, 'R_c': 13900000000000.0, 't_fb': 3540000.0}
    """
    R_t = R_SUN * (M_BH / M_SUN) ** (1.0 / 3.0)
    a_min = R_t * R_t / (2.0 * R_SUN)  # semi-major axis of the most bound debris
    try:
        t_fb = 2.0 * math.pi * math.sqrt(a_min ** 3 / (G_CGS * M_BH))
    except OverflowError:  # a_min^3 beyond the largest double (M_BH above about 2e138 M_sun)
        t_fb = math.inf
    return {"R_t": R_t, "R_c": 2.0 * R_t, "t_fb": t_fb}


def _unknown(given, known, what: str):
    unknown = [k for k in given if k not in known]
    if not unknown:
        return
    hints = []
    for key in unknown:
        close = difflib.get_close_matches(key, known, n=1)
        hints.append(f"{key!r}" + (f" (did you mean {close[0]!r}?)" if close else ""))
    raise ParameterError(f"unknown {what} {', '.join(hints)}", *unknown)


def _number(value, name: str, check=lambda v: v > 0.0, what="positive"):
    if isinstance(value, bool) or not isinstance(value, (int, float)) and not hasattr(value, "__float__"):
        raise ParameterError(f"{name} must be a number, got {value!r}", name)
    try:
        x = float(value)
    except (TypeError, ValueError):
        raise ParameterError(f"{name} must be a number, got {value!r}", name) from None
    if not (math.isfinite(x) and check(x)):
        raise ParameterError(f"{name} must be {what} and finite, got {x!r}", name)
    return x


def _mass_in_msun(value, name: str):
    """A mass in M_sun; a Quantity in solar masses keeps its value exactly, any
    other mass is converted through grams."""
    if _quantities.is_quantity(value):
        import astropy.units as u
        if value.unit == u.M_sun:
            return value.to_value(u.M_sun)
        return _quantities.value_in(value, "g", name, "a mass") / M_SUN
    return value


def _choice(value, name: str, choices):
    if value not in choices:
        raise ParameterError(f"{name} must be one of {', '.join(map(repr, choices))}, got {value!r}", name)
    return value


def closure_type(model: str):
    """The compiled closure type of the disk model named `model` (MODELS)."""
    import importlib
    module, name = MODELS[_choice(model, "model", tuple(MODELS))]
    return getattr(importlib.import_module(module), name)


def plain_parameters(given: dict) -> dict:
    """The parameters as plain Python values in the documented units,
    checked one by one and for consistency."""
    p = {}
    p["model"] = _choice(given["model"], "model", tuple(MODELS))
    p["mbh"] = _number(_mass_in_msun(given["mbh"], "mbh"), "mbh")
    M_BH = p["mbh"] * M_SUN
    r_in = given["r_in"]
    if _quantities.is_quantity(r_in):
        r_in = _quantities.value_in(r_in, "cm", "r_in", "a length") / (G_CGS * M_BH / C_CGS ** 2)
    p["r_in"] = _number(r_in, "r_in")
    for name in ("alpha", "mu"):
        p[name] = _number(given[name], name)
    if p["model"] == "advective":
        p["xi"] = _number(given["xi"], "xi", lambda v: v >= 0.0, "non-negative")
    elif given["xi"] is not None and given["xi"] != DEFAULTS["xi"]:
        raise ParameterError(f"xi given with model={p['model']!r}: that model has no advection", "xi", "model")
    else:
        p["xi"] = None
    p["disk_mass"] = _number(_mass_in_msun(given["disk_mass"], "disk_mass"), "disk_mass")
    for name in ("disk_radius", "circularisation_radius"):
        value = _quantities.value_in(given[name], "cm", name, "a length")
        p[name] = None if value is None else _number(value, name)
    fallback = given["fallback"]
    if not isinstance(fallback, bool) and type(fallback).__name__ != "bool_":
        raise ParameterError(f"fallback must be True or False, got {fallback!r}", "fallback")
    p["fallback"] = bool(fallback)
    # None for the fallback's mass scale and index: the default (what a
    # disk without fallback records).
    mass = given["fallback_mass"]
    p["fallback_mass"] = None if mass is None else _number(_mass_in_msun(mass, "fallback_mass"), "fallback_mass")
    value = _quantities.value_in(given["fallback_time"], "s", "fallback_time", "a time")
    p["fallback_time"] = None if value is None else _number(value, "fallback_time")
    p["beta_fb"] = None if given["beta_fb"] is None else _number(given["beta_fb"], "beta_fb")
    if p["fallback"]:
        for name in ("fallback_mass", "beta_fb"):
            p[name] = DEFAULTS[name] if p[name] is None else p[name]
    else:
        # Without fallback these mean nothing: refuse them rather than ignore
        # them (the defaults are no request).
        stray = [n for n in _FALLBACK_ONLY if p[n] is not None and p[n] != DEFAULTS[n]]
        if stray:
            raise ParameterError(f"{', '.join(stray)} given with fallback=False: {'it has' if len(stray) == 1 else 'they have'} "
                                 "no effect without fallback (give fallback=True, or leave "
                                 f"{'it' if len(stray) == 1 else 'them'} out)", *stray)
        for name in _FALLBACK_ONLY:
            p[name] = None
    from velmora.radiation.opacity.choice import KINDS, TABLE_OOB
    p["opacity"] = _choice(given["opacity"], "opacity", KINDS)
    for name in ("X", "Z"):
        p[name] = _number(given[name], name, lambda v: 0.0 <= v <= 1.0, "between 0 and 1")
    opal_set, opal_file = given["opal_set"], given["opal_file"]
    if opal_set is not None and not isinstance(opal_set, str):
        raise ParameterError(f"opal_set must be a set's name, got {opal_set!r}", "opal_set")
    for name, value in (("opal_set", opal_set), ("opal_file", opal_file)):
        if value is not None and p["opacity"] != "opal":
            raise ParameterError(f"{name} needs opacity='opal', got opacity={p['opacity']!r}", name, "opacity")
    if opal_set is not None and opal_file is not None:
        raise ParameterError("opal_set and opal_file exclude each other", "opal_set", "opal_file")
    p["opal_set"] = opal_set
    # A file is recorded by its absolute path, so that the parameters
    # rebuild the same disk from any directory.
    p["opal_file"] = None if opal_file is None else os.path.abspath(os.fspath(opal_file))
    p["table_oob"] = _choice(given["table_oob"], "table_oob", TABLE_OOB)
    return {name: p[name] for name in DEFAULTS}


def derived_cgs(p: dict) -> dict:
    """The cgs values the closure and the run take, each checked to be a
    positive finite number with a finite logarithm."""
    M_BH = p["mbh"] * M_SUN
    tde = tde_defaults(M_BH)  # inf or nan where M_BH is out of range, refused below
    cgs = {"M_BH": M_BH,
           "R_g": G_CGS * M_BH / C_CGS ** 2,
           # the same operations as the closure's inner edge has always been given
           "R_in": p["r_in"] * G_CGS * M_BH / C_CGS ** 2,
           "M_D0": p["disk_mass"] * M_SUN}
    R_c = p["circularisation_radius"] or tde["R_c"]
    cgs["R_D0"] = p["disk_radius"] or R_c
    sources = {"M_BH": ("mbh",), "R_g": ("mbh",), "R_in": ("r_in", "mbh"), "M_D0": ("disk_mass",),
               "R_D0": ("disk_radius",) if p["disk_radius"] else ("circularisation_radius",)
               if p["circularisation_radius"] else ("mbh",)}
    if p["fallback"]:
        cgs.update(R_c=R_c, t_fb=p["fallback_time"] or tde["t_fb"], M_fb_0=p["fallback_mass"] * M_SUN,
                   beta_fb=p["beta_fb"])
        sources.update(R_c=("circularisation_radius",) if p["circularisation_radius"] else ("mbh",),
                       t_fb=("fallback_time",) if p["fallback_time"] else ("mbh",),
                       M_fb_0=("fallback_mass",))
    cgs["J_D0"] = cgs["M_D0"] * math.sqrt(G_CGS * M_BH * cgs["R_D0"]) if M_BH < math.inf else math.inf
    sources["J_D0"] = ("disk_mass", "mbh") + sources["R_D0"]
    for key, names in sources.items():
        x = cgs[key]
        if not (math.isfinite(x) and x > 0.0 and math.isfinite(math.log(x) if x > 0.0 else math.nan)):
            given = ", ".join(f"{n} = {p[n]!r}" for n in dict.fromkeys(names))
            raise ParameterError(f"out of range: {given} gives {key} = {x:.4g} {_CGS_UNITS[key]}, which is "
                                 "not a positive finite number", *dict.fromkeys(names))
    if cgs["R_D0"] <= cgs["R_in"]:
        raise ParameterError(f"the disk radius ({cgs['R_D0']:.4g} cm) must lie outside the inner edge "
                             f"({cgs['R_in']:.4g} cm)", "disk_radius", "r_in")
    return cgs


def run_parameters(t_end, n_out, rtol, t_start, max_steps, branch) -> dict:
    t_end = _number(_quantities.value_in(t_end, "s", "t_end", "a time"), "t_end")
    t_start = _quantities.value_in(t_start, "s", "t_start", "a time")
    if t_start is not None:
        t_start = _number(t_start, "t_start")
        if t_start > t_end:
            raise ParameterError(f"t_start ({t_start:g} s) must not exceed t_end ({t_end:g} s)",
                                 "t_start", "t_end")
    counts = {}
    for name, value in (("n_out", n_out), ("max_steps", max_steps)):
        if isinstance(value, bool) or not isinstance(value, int) and not hasattr(value, "__index__"):
            raise ParameterError(f"{name} must be an integer, got {value!r}", name)
        counts[name] = int(value)
        if not 1 <= counts[name] <= 2**31 - 1:
            raise ParameterError(f"{name} must be at least 1 (and below 2**31), got {value!r}", name)
    rtol = _number(rtol, "rtol", lambda v: 0.0 < v < 1.0, "between 0 and 1")
    _choice(branch, "branch", BRANCHES)
    return {"t_end": t_end, "n_out": counts["n_out"], "rtol": rtol, "t_start": t_start,
            "max_steps": counts["max_steps"], "branch": branch}
