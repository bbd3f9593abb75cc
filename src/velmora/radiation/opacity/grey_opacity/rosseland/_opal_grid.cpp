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
    static constexpr const char* class_doc =
        VELMORA_GRID_CLASS_DOC("Bilinear-interpolation Rosseland opacity from a 2-D OPAL log-space table.",
                               "log10 of R grid values, where R = rho / T6^3.");
};

constexpr const char* module_doc =
    "C-level bilinear-interpolation opacity from a pre-tabulated 2-D OPAL grid.\n\n"
    "Table convention (OPAL native): the first axis is log10 T (T in K), the\n"
    "second axis is log10 R with R = rho / T6^3 and T6 = 10^-6 T (rho in\n"
    "g cm^-3), and each entry is log10 kappa (kappa in cm^2 g^-1); NaN marks a\n"
    "hole, a cell outside the range the tabulation covers.\n\n"
    "Every public log-space method takes (log_T, log_rho) in natural logarithms,\n"
    "like every other opacity class of the package; the conversion to table\n"
    "coordinates happens inside the class.\n\n" VELMORA_GRID_OOB_DOC;

}  // namespace
}  // namespace velmora::opacity

VELMORA_MODULE(_opal_grid, velmora::opacity::module_doc,
               "velmora/radiation/opacity/grey_opacity/rosseland/_opal_grid.cpp",
               velmora::opacity::grid::GridLaw<velmora::opacity::OpalTable>::exec_module)
