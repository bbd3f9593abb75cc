# Stubs of the compiled module velmora.dynamics.accretion.one_zone.closure.
from collections.abc import Callable
from typing import Any

import numpy as np
import numpy.typing as npt

from velmora.radiation.opacity.kappa_core import C_GreyKappaCore

CONSTANTS: dict[str, float]

class OneZoneClosure:
    def __init__(self) -> None: ...
    @property
    def opacity(self) -> C_GreyKappaCore | None: ...
    @opacity.setter
    def opacity(self, value: C_GreyKappaCore) -> None: ...
    @property
    def n_result_fields(self) -> int: ...
    def __reduce__(self) -> Any: ...
    def __setstate__(self, __c_state: Any) -> None: ...

def solve_profile(
    closure: OneZoneClosure,
    R_D: npt.ArrayLike,
    Sigma: npt.ArrayLike,
    Omega: npt.ArrayLike,
    M_D: npt.ArrayLike | None = None,
    previous_ln_T_c: float = 0.0,
    on_failure: str = "raise",
    threads: int = 1,
    branch: str | None = "closure",
) -> npt.NDArray[np.float64]: ...
def evolve(
    closure: OneZoneClosure,
    M_D0: float,
    R_D0: float,
    t_end: float,
    n_out: int = 200,
    rtol: float = 1e-08,
    progress: Callable[[float], object] | None = None,
    t_start: float | None = None,
    max_steps: int = 100000,
    branch: str | None = None,
    full_output: bool = False,
) -> Any: ...
def thermal_equilibria(closure: OneZoneClosure, R_D: float, Sigma: float, Omega: float) -> dict[str, Any]: ...
def model_info(closure: OneZoneClosure) -> dict[str, Any] | None: ...
