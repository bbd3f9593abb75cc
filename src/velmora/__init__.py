"""velmora: compiled numerical kernels of an astrophysics code.

Subpackages
-----------
radiation.opacity
    Opacity laws: the base types (``kappa_core``) and the tabulated OPAL and
    TOPS laws.
math_utils
    A bracketed root finder (bracket expansion plus Brent's method).
dynamics.accretion.one_zone
    The one-zone accretion-disk framework and its advective closure.

Units are cgs throughout; logarithms are natural unless a name says log10.
"""

__version__ = "0.1.0"
