"""Rosseland-mean table opacities: the OPAL-convention grid law and its table reader."""

from .opal_io import (HOLE_MARKER, OPALFormatError, OPALTable, load_opal, load_sample,
                      read_opal, sample_table_path)

__all__ = ["HOLE_MARKER", "OPALFormatError", "OPALTable", "load_opal", "load_sample",
           "read_opal", "sample_table_path"]
