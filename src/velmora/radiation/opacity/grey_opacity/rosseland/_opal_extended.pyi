# Stubs of the compiled module velmora.radiation.opacity.grey_opacity.rosseland._opal_extended.
from typing import Any, NoReturn

import numpy as np
from numpy.typing import NDArray

from velmora.radiation.opacity.kappa_core import C_GreyKappaCore

class C_ExtendedOPALOpacity(C_GreyKappaCore):
    def __init__(
        self,
        g1: NDArray[np.float64],
        g2: NDArray[np.float64],
        lk: NDArray[np.float64],
        X: float,
        Z: float,
        cold: C_GreyKappaCore | None = None,
        decay_T: float = 0.1,
        decay_R: float = 1.0,
    ) -> None: ...
    def in_table(self, rho: float, T: float) -> bool: ...
    @property
    def X(self) -> float: ...
    @property
    def Z(self) -> float: ...
    @property
    def decay_T(self) -> float: ...
    @property
    def decay_R(self) -> float: ...
    @property
    def cold(self) -> C_GreyKappaCore | None: ...
    def __reduce__(self) -> NoReturn: ...
    def __setstate__(self, __c_state: Any) -> NoReturn: ...
