// Module velmora.radiation.opacity.grey_opacity.rosseland._opal_grid: the
// Rosseland-mean table law over (log10 T, log10 R), R = rho / T6^3.
#include "radiation/opacity/grey_opacity/grid_table.hpp"

namespace velmora::opacity {
namespace {

struct OpalTable : grid::OpalConvention {
    static constexpr const char* qualname =
        "velmora.radiation.opacity.grey_opacity.rosseland._opal_grid.C_OPALGridOpacity";
    static constexpr const char* class_name = "C_OPALGridOpacity";
    static constexpr const char* label = "log10_g2";
    static constexpr const char* axis = "log10 R";
    static constexpr const char* class_doc =
        VELMORA_GRID_CLASS_DOC("Bilinear-interpolation Rosseland opacity from a 2-D OPAL log-space table.",
                               "log10 of R grid values, where R = rho / T6^3.")
        "\nExamples\n--------\n"
        "A table that is linear in its coordinates, log10 kappa = 5 - log10 T + 0.5 log10 R,\n"
        "is interpolated exactly:\n\n"
        ">>> import math\n"
        ">>> import numpy as np\n"
        ">>> from velmora.radiation.opacity.grey_opacity.rosseland._opal_grid import C_OPALGridOpacity\n"
        ">>> log10_T = np.linspace(3.75, 8.70, 70)\n"
        ">>> log10_R = np.linspace(-8.0, 1.0, 19)\n"
        ">>> lk = 5.0 - log10_T[:, None] + 0.5 * log10_R[None, :]\n"
        ">>> law = C_OPALGridOpacity(log10_T, log10_R, lk, 1)\n"
        ">>> law\n"
        "C_OPALGridOpacity(70 x 19, log10 T 3.75..8.70, log10 R -8.00..1.00, oob=clamp)\n"
        ">>> round(law.opacity(1e-6, 1e5), 9)  # log10 R = -6 - 3 (5 - 6) = -3\n"
        "0.031622777\n"
        ">>> ln_T, ln_rho = math.log(1e5), math.log(1e-6)\n"
        ">>> round(law.dlogkappa_dlogrho(ln_T, ln_rho), 12), round(law.dlogkappa_dlogT(ln_T, ln_rho), 12)\n"
        "(0.5, -2.5)\n\n"
        "The law holds the caller's arrays, not copies; its properties are read-only\n"
        "views of them:\n\n"
        ">>> law.shape, law.oob, law.domain\n"
        "((70, 19), 1, ((3.75, 8.7), (-8.0, 1.0)))\n"
        ">>> np.shares_memory(law.lk, lk), law.lk.flags.writeable\n"
        "(True, False)\n";
};

constexpr const char* module_doc =
    "C-level bilinear-interpolation opacity from a pre-tabulated 2-D OPAL grid.\n\n"
    "Table convention (OPAL native): the first axis is log10 T (T in K), the\n"
    "second axis is log10 R with R = rho / T6^3 and T6 = 10^-6 T (rho in\n"
    "g cm^-3), and each entry is log10 kappa (kappa in cm^2 g^-1); NaN marks a\n"
    "hole, a cell outside the range the tabulation covers.\n\n"
    "Every public log-space method takes (log_T, log_rho) in natural logarithms,\n"
    "like every other opacity class of the package; the conversion to table\n"
    "coordinates happens inside the class.\n\n" VELMORA_GRID_OOB_DOC
    "\nExamples\n--------\n"
    "The three modes at a point above the table's temperature range\n"
    "(rho = 1e-6 g cm^-3, T = 1e7 K, so log10 T = 7 and log10 R = -9):\n\n"
    ">>> import numpy as np\n"
    ">>> from velmora.radiation.opacity.grey_opacity.rosseland._opal_grid import C_OPALGridOpacity\n"
    ">>> g1, g2 = np.array([4.0, 5.0]), np.array([-4.0, -2.0])\n"
    ">>> lk = np.array([[1.0, 2.0], [3.0, 4.0]])\n"
    ">>> C_OPALGridOpacity(g1, g2, lk, 0).opacity(1e-6, 1e7)\n"
    "Traceback (most recent call last):\n"
    "    ...\n"
    "ValueError: (log10_T=7.000, log10_g2=-9.000) is outside the table domain [4.00, 5.00] x [-4.00, -2.00].\n"
    ">>> round(C_OPALGridOpacity(g1, g2, lk, 1).opacity(1e-6, 1e7), 9)  # entry lk[0, 0]\n"
    "10.0\n"
    ">>> C_OPALGridOpacity(g1, g2, lk, 2).opacity(1e-6, 1e7)\n"
    "nan\n";

}  // namespace
}  // namespace velmora::opacity

VELMORA_MODULE(_opal_grid, velmora::opacity::module_doc,
               "velmora/radiation/opacity/grey_opacity/rosseland/_opal_grid.cpp",
               velmora::opacity::grid::GridLaw<velmora::opacity::OpalTable>::exec_module)
