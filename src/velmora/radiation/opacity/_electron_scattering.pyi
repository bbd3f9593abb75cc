# Stubs of the compiled module velmora.radiation.opacity._electron_scattering.
from typing import Any

from velmora.radiation.opacity.kappa_core import C_GreyKappaCore

class ElectronScatteringOpacity(C_GreyKappaCore):
    def __init__(self, X: float = 0.7) -> None: ...
    @property
    def X(self) -> float: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
