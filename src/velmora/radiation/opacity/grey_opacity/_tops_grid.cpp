// Module velmora.radiation.opacity.grey_opacity._tops_grid: the table law
// over (log10 T, log10 rho).
#include "radiation/opacity/grey_opacity/grid_table.hpp"

namespace velmora::opacity {
namespace {

struct TopsTable : grid::TopsConvention {
    static constexpr const char* qualname = "velmora.radiation.opacity.grey_opacity._tops_grid.C_TOPSGridOpacity";
    static constexpr const char* class_name = "C_TOPSGridOpacity";
    static constexpr const char* label = "log10_rho";
    static constexpr const char* axis = "log10 rho";
    static constexpr const char* class_doc =
        VELMORA_GRID_CLASS_DOC("Bilinear-interpolation opacity from a 2-D TOPS log-space table.",
                               "log10 of rho in g cm^-3 grid values, strictly increasing.")
        "\nExamples\n--------\n"
        "A Kramers-like table, log10 kappa = 23 + log10 rho - 3.5 log10 T, is linear\n"
        "in the table's coordinates and is interpolated exactly:\n\n"
        ">>> import math\n"
        ">>> import numpy as np\n"
        ">>> from velmora.radiation.opacity.grey_opacity._tops_grid import C_TOPSGridOpacity\n"
        ">>> log10_T = np.linspace(3.0, 8.0, 51)\n"
        ">>> log10_rho = np.linspace(-12.0, 2.0, 29)\n"
        ">>> lk = 23.0 + log10_rho[None, :] - 3.5 * log10_T[:, None]\n"
        ">>> law = C_TOPSGridOpacity(log10_T, log10_rho, lk, 2)\n"
        ">>> law\n"
        "C_TOPSGridOpacity(51 x 29, log10 T 3.00..8.00, log10 rho -12.00..2.00, oob=nan)\n"
        ">>> round(law.opacity(1e-8, 1e6), 9)  # 10^(23 - 8 - 21)\n"
        "1e-06\n"
        ">>> ln_T, ln_rho = math.log(1e6), math.log(1e-8)\n"
        ">>> round(law.dlogkappa_dlogrho(ln_T, ln_rho), 12), round(law.dlogkappa_dlogT(ln_T, ln_rho), 12)\n"
        "(1.0, -3.5)\n"
        ">>> law.opacity(1e-8, 1e9)  # log10 T = 9 lies outside: mode 2 gives NaN\n"
        "nan\n"
        ">>> law.shape, law.domain\n"
        "((51, 29), ((3.0, 8.0), (-12.0, 2.0)))\n";
};

constexpr const char* module_doc =
    "C-level bilinear-interpolation opacity from a pre-tabulated 2-D TOPS grid.\n\n"
    "C_TOPSGridOpacity stores a single (n1 x n2) table of log10 kappa (kappa in\n"
    "cm^2 g^-1) on a (log10 T, log10 rho) grid (T in K, rho in g cm^-3), NaN\n"
    "marking holes, and evaluates the opacity and its log-space partial\n"
    "derivatives at arbitrary (T, rho) by bilinear interpolation.\n\n"
    "Every public log-space method takes (log_T, log_rho) in natural logarithms,\n"
    "like every other opacity class of the package.\n\n" VELMORA_GRID_OOB_DOC
    "\nExamples\n--------\n"
    ">>> import numpy as np\n"
    ">>> from velmora.radiation.opacity.grey_opacity._tops_grid import C_TOPSGridOpacity\n"
    ">>> g1, g2 = np.array([4.0, 5.0]), np.array([-10.0, -8.0])  # log10 T, log10 rho\n"
    ">>> lk = np.array([[1.0, 2.0], [3.0, 4.0]])\n"
    ">>> law = C_TOPSGridOpacity(g1, g2, lk, 0)\n"
    ">>> round(law.opacity(1e-9, 10**4.5), 9)  # the cell's centre: log10 kappa = 2.5\n"
    "316.227766017\n"
    ">>> law.opacity(1e-9, 1e6)\n"
    "Traceback (most recent call last):\n"
    "    ...\n"
    "ValueError: (log10_T=6.000, log10_rho=-9.000) is outside the table domain [4.00, 5.00] x [-10.00, -8.00].\n";

}  // namespace
}  // namespace velmora::opacity

VELMORA_MODULE(_tops_grid, velmora::opacity::module_doc, "velmora/radiation/opacity/grey_opacity/_tops_grid.cpp",
               velmora::opacity::grid::GridLaw<velmora::opacity::TopsTable>::exec_module)
