"""Rosseland-mean table opacities: the OPAL-convention grid law, its table
reader, and the choice of what a law does outside its table."""

from .opal_io import (HOLE_MARKER, OPALFormatError, OPALTable, load_opal, load_sample,
                      read_opal, sample_table_path)
from .table_law import OOB_MODES, rows_outside, table_law

__all__ = ["HOLE_MARKER", "OOB_MODES", "OPALFormatError", "OPALTable", "load_opal", "load_sample",
           "read_opal", "rows_outside", "sample_table_path", "table_law"]
