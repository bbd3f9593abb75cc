"""Opacity laws: the base types in kappa_core and the concrete laws."""
