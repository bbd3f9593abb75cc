// Module velmora.radiation.opacity.grey_opacity._tops_grid: the table law
// over (log10 T, log10 rho).
#include "radiation/opacity/grey_opacity/grid_table.hpp"

namespace velmora::opacity {
namespace {

struct TopsTable : grid::TopsConvention {
    static constexpr const char* qualname = "velmora.radiation.opacity.grey_opacity._tops_grid.C_TOPSGridOpacity";
    static constexpr const char* class_name = "C_TOPSGridOpacity";
    static constexpr const char* label = "log10_rho";
    static constexpr const char* class_doc =
        VELMORA_GRID_CLASS_DOC("Bilinear-interpolation opacity from a 2-D TOPS log-space table.",
                               "log10 of rho in g cm^-3 grid values, strictly increasing.");
};

constexpr const char* module_doc =
    "C-level bilinear-interpolation opacity from a pre-tabulated 2-D TOPS grid.\n\n"
    "C_TOPSGridOpacity stores a single (n1 x n2) table of log10 kappa (kappa in\n"
    "cm^2 g^-1) on a (log10 T, log10 rho) grid (T in K, rho in g cm^-3), NaN\n"
    "marking holes, and evaluates the opacity and its log-space partial\n"
    "derivatives at arbitrary (T, rho) by bilinear interpolation.\n\n"
    "Every public log-space method takes (log_T, log_rho) in natural logarithms,\n"
    "like every other opacity class of the package.\n\n" VELMORA_GRID_OOB_DOC;

}  // namespace
}  // namespace velmora::opacity

VELMORA_MODULE(_tops_grid, velmora::opacity::module_doc, "velmora/radiation/opacity/grey_opacity/_tops_grid.cpp",
               velmora::opacity::grid::GridLaw<velmora::opacity::TopsTable>::exec_module)
