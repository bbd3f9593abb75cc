"""The one-zone advective disk as a model object: parameters in natural
units, the program's defaults, and runs that return labelled results.

``AdvectiveDisk`` stands above the compiled closure
(``models._gasrad_adv.AdvectiveClosure``) and the framework's drivers
(``closure.evolve``, ``solve_profile``, ``thermal_equilibria``): it converts
its keyword arguments to the cgs values and natural logs the closure binds,
refuses unknown or inconsistent ones, builds the opacity law by name, and
wraps the drivers' arrays in :class:`~.results.Evolution`,
:class:`~.results.Profile` and :class:`~.results.SCurve` results.

The default disk is the debris of a Sun-like star torn apart by a hole of
1e6 solar masses (the program ``velmora-disk`` runs it): the fallback rate
Mdot_fb = (M_fb_0 / t_fb) (1 + t / t_fb)^-beta_fb deposits mass at the
circularisation radius R_c = 2 R_t, R_t = R_sun (M_BH / M_sun)^(1/3), and t_fb
is the orbital period of the most bound debris, 2 pi sqrt(a^3 / (G M_BH)) with
a = R_t^2 / (2 R_sun).
"""

from __future__ import annotations

import math
import warnings

import numpy as np

from velmora import _quantities
from velmora.constants import C_CGS, G_CGS

from .closure import evolve, solve_profile, thermal_equilibria
from .disk_parameters import (BRANCHES, DEFAULTS, MODELS, RUN_DEFAULTS, ParameterError, _choice, _number, _unknown,
                              closure_type, derived_cgs, plain_parameters, run_parameters, tde_defaults)

__all__ = ["BRANCHES", "DEFAULTS", "MODELS", "RUN_DEFAULTS", "AdvectiveDisk", "ParameterError", "evolve", "solve_profile",
           "tde_defaults", "thermal_equilibria"]


class AdvectiveDisk:
    """A one-zone accretion disk with gas plus radiation pressure and
    advective cooling, fed by tidal-disruption fallback.

    All arguments are keywords; the defaults are those of the program
    ``velmora-disk``. Plain numbers are taken in the units below; astropy
    Quantities are converted (a length for ``r_in`` into G M_BH / c^2).

    Parameters
    ----------
    model : {"advective", "thin"}
        The closure: gas plus radiation pressure with radiative and advective
        cooling (AdvectiveClosure), or the textbook thin disk, gas pressure and
        radiative cooling only (ThinClosure; no ``xi``).
    mbh : float
        Black-hole mass [M_sun].
    r_in : float
        Inner edge of the disk [G M_BH / c^2].
    alpha, mu, xi : float
        Viscosity parameter, mean molecular weight, advection (entropy-
        gradient) parameter (0 turns advection off).
    disk_mass : float
        Initial disk mass [M_sun].
    disk_radius : float or None
        Initial ring radius [cm]; None: the circularisation radius.
    fallback : bool
        Whether debris falls back onto the disk.
    fallback_mass : float
        Fallback mass scale M_fb_0 [M_sun]; M_fb_0 / (beta_fb - 1) falls back
        in all. None stands for the default here and for ``beta_fb``.
    fallback_time : float or None
        Fallback time t_fb [s]; None: the orbital period of the most bound
        debris of a Sun-like star.
    circularisation_radius : float or None
        Radius R_c [cm] where the debris joins the disk; None: twice the tidal
        radius of a Sun-like star.
    beta_fb : float
        Late-time power-law index of the fallback rate.
    opacity : {"es", "sample", "opal"}
        Electron scattering, the shipped synthetic sample table, or a real
        OPAL table (``opal_set`` through rm-tables, or ``opal_file``).
    X, Z : float
        Hydrogen and metal mass fractions (Z for tables only).
    opal_set, opal_file : str or None
        The OPAL table of ``opacity="opal"``: a published set (default
        GS98hz) or a file.
    table_oob : {"extend", "clamp", "raise"}
        What a table law does outside its table.

    Raises
    ------
    TypeError
        An unknown keyword (Python names it, with the nearest known one).
    ValueError
        A value out of range, one whose cgs value is not representable, the
        fallback parameters with ``fallback=False``, or an opacity request
        that cannot be met (ParameterError names the parameters).
    OSError, ImportError
        An OPAL file that cannot be read; rm-tables missing for a set.

    Examples
    --------
    >>> from velmora import AdvectiveDisk
    >>> disk = AdvectiveDisk(mbh=2e6, alpha=0.05)
    >>> disk.params["mbh"], disk.params["fallback_time"] is None
    (2000000.0, True)
    >>> f"{disk.cgs['R_c']:.4g} cm, {disk.cgs['t_fb'] / 86400:.4g} d"
    '1.753e+13 cm, 57.92 d'
    >>> AdvectiveDisk(**disk.params) == disk
    True
    >>> AdvectiveDisk(beta_FB=2.0)
    Traceback (most recent call last):
        ...
    TypeError: AdvectiveDisk.__init__() got an unexpected keyword argument 'beta_FB'. Did you mean 'beta_fb'?
    >>> AdvectiveDisk(fallback=False, fallback_time=1e6)
    Traceback (most recent call last):
        ...
    velmora.dynamics.accretion.one_zone.disk_parameters.ParameterError: fallback_time given with fallback=False: ...
    """

    def __init__(self, *, model=DEFAULTS["model"], mbh=DEFAULTS["mbh"], r_in=DEFAULTS["r_in"],
                 alpha=DEFAULTS["alpha"],
                 mu=DEFAULTS["mu"], xi=DEFAULTS["xi"], disk_mass=DEFAULTS["disk_mass"],
                 disk_radius=DEFAULTS["disk_radius"], fallback=DEFAULTS["fallback"],
                 fallback_mass=DEFAULTS["fallback_mass"], fallback_time=DEFAULTS["fallback_time"],
                 circularisation_radius=DEFAULTS["circularisation_radius"], beta_fb=DEFAULTS["beta_fb"],
                 opacity=DEFAULTS["opacity"], X=DEFAULTS["X"], Z=DEFAULTS["Z"], opal_set=DEFAULTS["opal_set"],
                 opal_file=DEFAULTS["opal_file"], table_oob=DEFAULTS["table_oob"]):
        given = dict(model=model, mbh=mbh, r_in=r_in, alpha=alpha, mu=mu, xi=xi, disk_mass=disk_mass,
                     disk_radius=disk_radius, fallback=fallback, fallback_mass=fallback_mass,
                     fallback_time=fallback_time, circularisation_radius=circularisation_radius,
                     beta_fb=beta_fb, opacity=opacity, X=X, Z=Z, opal_set=opal_set, opal_file=opal_file,
                     table_oob=table_oob)
        self._params = plain_parameters(given)
        self._cgs = derived_cgs(self._params)
        self._closure = self._build()

    # --- parameters -----------------------------------------------------------------

    def _runtime_parameters(self) -> dict:
        c = self._cgs
        params = {"log_M_BH": math.log(c["M_BH"]), "log_R_in": math.log(c["R_in"]), "alpha": self._params["alpha"]}
        if self._params["fallback"]:
            params.update(log_M_fb_0=math.log(c["M_fb_0"]), log_R_c=math.log(c["R_c"]),
                          log_t_fb=math.log(c["t_fb"]), beta_fb=c["beta_fb"])
        return params

    def _build(self):
        from velmora.radiation.opacity.choice import opacity_law

        p = self._params
        model = closure_type(p["model"])
        closure = (model(p["fallback"], p["mu"], p["xi"]) if p["model"] == "advective"
                   else model(p["fallback"], p["mu"]))
        closure.opacity = opacity_law(p["opacity"], p["X"], p["Z"], opal_set=p["opal_set"],
                                      opal_file=p["opal_file"], table_oob=p["table_oob"])
        closure.bind_runtime_parameters(self._runtime_parameters())
        return closure

    @property
    def params(self) -> dict:
        """The parameters as plain Python values (a new dict): enough to build
        the same disk again, ``AdvectiveDisk(**disk.params)``. Values derived
        from others are None as given (they follow the hole mass); the
        fallback parameters are None without fallback."""
        return dict(self._params)

    @property
    def cgs(self) -> dict:
        """The cgs values the run takes (a new dict): ``M_BH`` [g], ``R_g`` =
        G M_BH / c^2 and ``R_in`` [cm], ``M_D0`` [g], ``R_D0`` [cm], ``J_D0``
        [g cm^2 s^-1]; with fallback ``R_c`` [cm], ``t_fb`` [s], ``M_fb_0``
        [g] and ``beta_fb``."""
        return dict(self._cgs)

    @property
    def closure(self):
        """The bound compiled closure the runs use (an AdvectiveClosure, or a
        ThinClosure for model="thin")."""
        return self._closure

    @property
    def opacity_law(self):
        """The grey opacity law of the disk."""
        return self._closure.opacity

    def __eq__(self, other):
        if not isinstance(other, AdvectiveDisk):
            return NotImplemented
        return self._params == other._params

    def __hash__(self):
        return hash(tuple(self._params.items()))

    def __repr__(self):
        shown = ", ".join(f"{k}={v!r}" for k, v in self._params.items() if v is not None)
        return f"{type(self).__name__}({shown})"

    def __reduce__(self):
        # The compiled closure does not pickle; the parameters rebuild it.
        return (_rebuild, (type(self), self._params))

    @classmethod
    def from_params(cls, params: dict) -> "AdvectiveDisk":
        """The disk of a parameter dict (such as a result's ``params``),
        refusing unknown keys by name.

        Examples
        --------
        >>> from velmora import AdvectiveDisk
        >>> AdvectiveDisk.from_params({"mbh": 1e7, "alpha": 0.2}).params["alpha"]
        0.2
        >>> AdvectiveDisk.from_params({"mbh": 1e7, "beta_FB": 2.0})
        Traceback (most recent call last):
            ...
        velmora.dynamics.accretion.one_zone.disk_parameters.ParameterError: unknown parameter 'beta_FB' (did you mean 'beta_fb'?)
        """
        _unknown(params, DEFAULTS, "parameter")
        return cls(**params)

    # --- physics of the fallback and of the hole -------------------------------------

    def fallback_rate(self, t):
        """The fallback rate Mdot_fb [g s^-1] at times t [s] (a number or an
        array; 0 without fallback).

        Examples
        --------
        >>> from velmora import AdvectiveDisk
        >>> disk = AdvectiveDisk()
        >>> f"{disk.fallback_rate(0.0):.4g} g/s"
        '1.873e+26 g/s'
        """
        t = _quantities.value_in(t, "s", "t", "a time")
        if not self._params["fallback"]:
            return 0.0 * t
        c = self._cgs
        return (c["M_fb_0"] / c["t_fb"]) * (1.0 + t / c["t_fb"]) ** (-c["beta_fb"])

    def eddington_rate(self) -> float:
        """The Eddington accretion rate L_Edd / (eta c^2) [g s^-1], with
        L_Edd = 4 pi G M_BH c / kappa_es (electron scattering at the disk's X)
        and the efficiency eta = G M_BH / (2 R_in c^2) of accretion onto the
        inner edge (1/12 for R_in = 6 G M_BH / c^2).

        Examples
        --------
        >>> from velmora import AdvectiveDisk
        >>> f"{AdvectiveDisk().eddington_rate():.4g} g/s"
        '1.963e+24 g/s'
        """
        from velmora.radiation.opacity import ElectronScatteringOpacity

        kappa = ElectronScatteringOpacity(self._params["X"]).opacity(1.0, 1.0)
        L_Edd = 4.0 * math.pi * G_CGS * self._cgs["M_BH"] * C_CGS / kappa
        efficiency = self._cgs["R_g"] / (2.0 * self._cgs["R_in"])
        return L_Edd / (efficiency * C_CGS ** 2)

    def keplerian_omega(self, R):
        """Angular velocity sqrt(G M_BH / R^3) [s^-1] of a circular orbit at
        R [cm] (a number or an array).

        Examples
        --------
        >>> from velmora import AdvectiveDisk
        >>> f"{AdvectiveDisk(mbh=1e6).keplerian_omega(1e13):.4e} s^-1"
        '3.6430e-04 s^-1'
        """
        R = np.asarray(_quantities.value_in(R, "cm", "R", "a length"), dtype=np.float64)
        return np.sqrt(G_CGS * self._cgs["M_BH"] / R ** 3)

    # --- runs ---------------------------------------------------------------------------

    def evolve(self, t_end=RUN_DEFAULTS["t_end"], n_out=RUN_DEFAULTS["n_out"], rtol=RUN_DEFAULTS["rtol"],
               t_start=RUN_DEFAULTS["t_start"], max_steps=RUN_DEFAULTS["max_steps"],
               branch=RUN_DEFAULTS["branch"], progress=None, on_failure="return"):
        """The disk's evolution in time: an :class:`~.results.Evolution`.

        Parameters
        ----------
        t_end : float
            End time [s] (a time Quantity is converted).
        n_out : int
            Number of output rows, log-spaced from t_start to t_end.
        rtol : float
            Relative tolerance of each step (1e-8 converges the default disk).
        t_start : float or None
            First output time [s]; None: 1e-4 t_end.
        max_steps : int
            Most integration steps the run may take.
        branch : {"hottest", "thick", "thin", "coolest", "closure"}
            The thermal branch the disk starts on (see ``closure.evolve``).
        progress : None, True or callable
            True draws a bar (tqdm when installed, else a plain one on
            stderr); a callable is called with the fraction of rows done.
        on_failure : {"return", "raise"}
            A run that fails once started: return its partial result with
            ``status="failed"`` and a RuntimeWarning, or raise the error with
            the partial result as its attribute ``result``. Ctrl-C always
            raises KeyboardInterrupt, with the partial result (status
            "interrupted") as ``result``.

        Raises
        ------
        ValueError
            A run argument out of range (ParameterError), before the run.

        Examples
        --------
        >>> from velmora import AdvectiveDisk
        >>> run = AdvectiveDisk().evolve(t_end=3e7, n_out=3)
        >>> run.status, len(run), [(tr["from_branch"], tr["to_branch"]) for tr in run.transitions]
        ('done', 3, [('thick', 'thin')])
        >>> run["H_over_R"].round(3).tolist()
        [0.864, 0.851, 0.003]
        """
        from .results import Evolution

        run = run_parameters(t_end, n_out, rtol, t_start, max_steps, branch)
        _choice(on_failure, "on_failure", ("return", "raise"))
        bar, owned = _progress_of(progress, run["n_out"])
        c = self._cgs
        try:
            rows, info = evolve(self._closure, c["M_D0"], c["R_D0"], run["t_end"], n_out=run["n_out"],
                                rtol=run["rtol"], progress=bar, t_start=run["t_start"],
                                max_steps=run["max_steps"], branch=run["branch"], full_output=True)
        except (Exception, KeyboardInterrupt) as exc:
            if getattr(exc, "rows", None) is None:
                raise  # refused before the run started
            interrupted = isinstance(exc, KeyboardInterrupt)
            exc.result = Evolution._of_run(self, run, exc.rows, getattr(exc, "info", None) or {},
                                          status="interrupted" if interrupted else "failed",
                                          error="interrupted" if interrupted else f"{type(exc).__name__}: {exc}")
            if interrupted or on_failure == "raise":
                raise
            warnings.warn(f"the run failed after {len(exc.rows)} of {run['n_out']} rows: {exc.result.error}",
                          RuntimeWarning, stacklevel=2)
            return exc.result
        finally:
            if owned:
                bar.close()
        return Evolution._of_run(self, run, rows, info)

    def profile(self, R, Sigma, Omega=None, branch="hottest", M_D=None, threads=1, on_failure="raise"):
        """The thermal structure of rings of the disk at one time: a
        :class:`~.results.Profile` with one row of the writer's columns per
        ring.

        Parameters
        ----------
        R, Sigma : float or array_like
            Ring radius [cm] and surface density [g cm^-2] (Quantities
            converted), broadcast against each other.
        Omega : float, array_like or None
            Angular velocity [s^-1]; None: Keplerian, sqrt(G M_BH / R^3).
        branch : {"hottest", "thick", "thin", "coolest", "closure"}
            The thermal branch whose root each ring takes (see
            ``closure.solve_profile``); a named branch gives the same rows
            on any number of threads.
        M_D : float, array_like or None
            Disk mass [g] of each ring's state; None: pi R^2 Sigma.
        threads : int
            Native threads for the rows (more than 1 needs a named branch).
        on_failure : {"raise", "nan"}
            A ring without a root on the branch: raise, or a row of NaN.

        Examples
        --------
        >>> from velmora import AdvectiveDisk
        >>> disk = AdvectiveDisk()
        >>> thin = disk.profile([1e13, 1e14], 1e3, branch="thin")
        >>> thin["T_c"].round(-2).tolist(), len(thin.columns)
        ([29400.0, 9300.0], 21)
        """
        from .results import Profile, model_columns

        R = _quantities.value_in(R, "cm", "R", "a length")
        Sigma = _quantities.value_in(Sigma, "g / cm2", "Sigma", "a surface density")
        Omega = self.keplerian_omega(R) if Omega is None else _quantities.value_in(
            Omega, "1 / s", "Omega", "an angular velocity")
        arrays = np.broadcast_arrays(*(np.asarray(x, dtype=np.float64) for x in (R, Sigma, Omega)))
        R, Sigma, Omega = (np.ascontiguousarray(np.ravel(x)) for x in arrays)
        if M_D is not None:
            M_D = np.ascontiguousarray(np.broadcast_to(
                np.asarray(_quantities.value_in(M_D, "g", "M_D", "a mass"), dtype=np.float64), R.shape))
        rows = solve_profile(self._closure, R, Sigma, Omega, M_D=M_D, on_failure=on_failure, threads=threads,
                             branch=branch)
        return Profile(rows, model_columns(self._closure), self.params, {"branch": branch})

    def scurve(self, R, Sigma_range, n=200, Omega=None):
        """The thermal equilibria of the ring at radius R over a range of
        surface densities (the S-curve): an :class:`~.results.SCurve` with
        one row of the writer's columns per root, labelled with its branch.

        Parameters
        ----------
        R : float
            Ring radius [cm] (a Quantity is converted).
        Sigma_range : (float, float) or array_like
            Surface densities [g cm^-2]: a pair (low, high) gives `n` values
            log-spaced between them (n=2: the pair itself); more than two
            values are taken as they are.
        n : int
            Number of surface densities of a pair.
        Omega : float or None
            Angular velocity [s^-1]; None: Keplerian.

        Each surface density's roots come from ``closure.thermal_equilibria``
        (stable and unstable); each root's row is the closure solved from
        that root, so that its columns (Mdot = M_D / t_visc with M_D = pi R^2
        Sigma, H/R, tau, ...) are the model's own. A root the closure's
        search does not settle on (next to a fold, where two roots lie
        closer than its first step) gets a row of NaN beyond R, Sigma and
        Omega.

        Examples
        --------
        >>> from velmora import AdvectiveDisk
        >>> curve = AdvectiveDisk().scurve(1.4e13, [3e3, 1e4, 3e4])
        >>> [(round(s), b) for s, b in zip(curve["Sigma"], curve["branch"].tolist())]
        [(3000, 'thin'), (3000, 'unstable'), (3000, 'thick'), (10000, 'thin'), (10000, 'unstable'), (10000, 'thick'), (30000, 'thick')]
        """
        from .results import SCurve, model_columns

        R = _number(_quantities.value_in(R, "cm", "R", "a length"), "R")
        Omega = self.keplerian_omega(R) if Omega is None else _number(
            _quantities.value_in(Omega, "1 / s", "Omega", "an angular velocity"), "Omega")
        values = np.ravel(np.asarray(_quantities.value_in(Sigma_range, "g / cm2", "Sigma_range",
                                                          "a surface density"), dtype=np.float64))
        if values.size == 2:
            values = np.geomspace(values[0], values[1], int(n))
        columns = model_columns(self._closure)
        names = [name for name, _, _ in columns]
        k_T = names.index("T_c")
        solved = [k for k, name in enumerate(names) if name not in ("row", "t", "M_D", "J_D", "R_D", "Sigma", "Omega")]
        rows, branches, stable = [], [], []
        for Sigma in values:
            Sigma = float(Sigma)
            for root in thermal_equilibria(self._closure, R, Sigma, Omega)["roots"]:
                row = solve_profile(self._closure, [R], [Sigma], [Omega], previous_ln_T_c=root["ln_T_c"],
                                    on_failure="nan", branch="closure")[0]
                if not abs(np.log(row[k_T]) - root["ln_T_c"]) < 1e-6:
                    row[solved] = np.nan  # the search left this root: keep only the ring
                rows.append(row)
                branches.append(root["branch"])
                stable.append(root["stable"])
        return SCurve(np.reshape(rows, (len(rows), len(columns))), columns, self.params,
                      {"R": R, "Omega": Omega}, labels={"branch": np.array(branches, dtype=str),
                                                         "stable": np.array(stable, dtype=bool)})


def _rebuild(cls, params):
    return cls(**params)


def _progress_of(progress, total):
    """(the callable the driver calls with the fraction done, or None; whether
    it is a bar made here, to be closed after the run)."""
    if progress is None or progress is False:
        return None, False
    if progress is True:
        from velmora._progress import progress_bar
        return progress_bar(total), True
    if not callable(progress):
        raise ParameterError(f"progress must be None, True or a callable, got {progress!r}", "progress")
    return progress, False
