# Stubs of the compiled module velmora.dynamics.accretion.one_zone.models._gasrad_adv.
from typing import Any

from velmora.dynamics.accretion.one_zone.closure import OneZoneClosure

ADV_N_RESULT_FIELDS_PY: int

class AdvectiveClosure(OneZoneClosure):
    def __init__(self, with_fallback: bool = False, mu: float = 0.6, xi: float = 0.5) -> None: ...
    def bind_runtime_parameters(self, run_params: dict[str, float]) -> None: ...
    def __reduce__(self) -> Any: ...
    def __setstate__(self, __c_state: Any) -> None: ...

gasradAdvClosure = AdvectiveClosure
