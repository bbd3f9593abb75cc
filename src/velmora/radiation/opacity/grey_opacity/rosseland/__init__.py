"""Rosseland-mean table opacities: the OPAL-convention grid law, the law that
covers every (T, rho), the table reader and published tables at any
composition."""

from .opal_io import (HOLE_MARKER, OPALFormatError, OPALTable, load_opal, load_sample,
                      read_opal, sample_table_path)
from .opal_sets import DEFAULT_OPAL_SET, load_opal_set, read_cold_table, read_opal_set
from .table_law import OOB_MODES, rows_outside, table_law

__all__ = ["DEFAULT_OPAL_SET", "HOLE_MARKER", "OOB_MODES", "OPALFormatError", "OPALTable",
           "load_opal", "load_opal_set", "load_sample", "read_cold_table", "read_opal",
           "read_opal_set", "rows_outside", "sample_table_path", "table_law"]
