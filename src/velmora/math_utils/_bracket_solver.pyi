# Stubs of the compiled module velmora.math_utils._bracket_solver.
from collections.abc import Callable
from types import CapsuleType
from typing import SupportsFloat

__c_api__: dict[str, CapsuleType]

def py_expand_bracket(
    f: Callable[[float], SupportsFloat],
    x_guess: float,
    step: float,
    grow_factor: float,
    max_expand: int,
    x_min: float,
    x_max: float,
    tolerance: float,
) -> tuple[int, float, float, float, float]: ...
def py_brent_root(
    f: Callable[[float], SupportsFloat],
    x_lo: float,
    x_hi: float,
    f_lo: float,
    f_hi: float,
    tol_x: float,
    tol_f: float,
    maxiter: int,
) -> tuple[int, float]: ...
def py_find_root(
    f: Callable[[float], SupportsFloat],
    x_guess: float,
    step: float,
    grow_factor: float,
    max_expand: int,
    x_min: float,
    x_max: float,
    tolerance: float,
    tol_x: float,
    tol_f: float,
    maxiter: int,
) -> tuple[int, float]: ...
