"""Opacity laws: the base types in kappa_core and the concrete laws."""

from ._electron_scattering import ElectronScatteringOpacity

__all__ = ["ElectronScatteringOpacity"]
