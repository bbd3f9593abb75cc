// Module velmora.dynamics.accretion.one_zone.physics._viscous: the derivative
// step of the one-zone disk, accretion onto the hole on the viscous time.
#include "dynamics/accretion/one_zone/closure.hpp"

#include "_runtime/checks.hpp"
#include "_runtime/runtime.hpp"

#include <cmath>

namespace velmora::disk {
namespace {

namespace msg = rt::msg;

constexpr char q_viscous[] = "velmora.dynamics.accretion.one_zone.physics._viscous.viscous_derivative_func";

// The ring drains onto the hole at Mdot = DISK_B M_D / t_visc, and the matter
// leaving through the inner edge carries its specific angular momentum
// sqrt(G M_BH R_in) away from the disk.
DiskStep viscous_step(double M_D, double t_visc, double M_BH, double R_in) {
    using namespace constants;
    const double Mdot = DISK_B * M_D / t_visc;
    return {Mdot, -Mdot, -Mdot * std::sqrt(G_CGS * M_BH * R_in)};
}

// step_func_t: reads M_D, M_BH, R_in and the closure's t_visc.
int viscous_derivative_func(const DiskState* state, const DiskDerived*, const DiskParameters* params,
                            const ClosureResult* result, DiskStep* out) {
    if (!rt::require("viscous_derivative_func", msg::req_non_negative, rt::non_negative_or_nan,
                     {{"M_BH", params->M_BH}, {"R_in", params->R_in}}) ||
        !rt::nonzero_divisor(result->t_visc)) {
        rt::add_traceback(q_viscous);
        return -1;
    }
    *out = viscous_step(state->M_D, result->t_visc, params->M_BH, params->R_in);
    return 0;
}

int exec_viscous(PyObject* module) {
    return rt::export_function(module, "viscous_derivative_func", &viscous_derivative_func, step_signature) ? 0
                                                                                                              : -1;
}

constexpr const char* module_doc =
    "Viscous evolution of the one-zone disk.\n\n"
    "__c_api__ exports viscous_derivative_func, a step function (step_func_t):\n"
    "the disk accretes onto the hole on its viscous time, Mdot = M_D / t_visc, so\n"
    "step0 = Mdot (onto the hole), step1 = dM_D/dt = -Mdot and\n"
    "step2 = dJ_D/dt = -Mdot sqrt(G M_BH R_in). It runs without the interpreter\n"
    "lock; a t_visc of 0 raises ZeroDivisionError, a negative M_BH or R_in\n"
    "ValueError (pending, result -1)."
    "\n\nExamples\n--------\n"
    "The export and the signature text an importer must ask for:\n\n"
    ">>> import ctypes\n"
    ">>> from velmora.dynamics.accretion.one_zone.physics import _viscous\n"
    ">>> get_name = ctypes.PYFUNCTYPE(ctypes.c_char_p, ctypes.py_object)((\"PyCapsule_GetName\", ctypes.pythonapi))\n"
    ">>> for name, capsule in _viscous.__c_api__.items():\n"
    "...     print(name, get_name(capsule).decode(), sep=\": \")\n"
    "viscous_derivative_func: int (struct DiskState const *, struct DiskDerived const *, struct DiskParameters const *, "
    "struct ClosureResult const *, struct DiskStep *)\n";

}  // namespace
}  // namespace velmora::disk

VELMORA_MODULE(_viscous, velmora::disk::module_doc, "velmora/dynamics/accretion/one_zone/physics/_viscous.cpp",
               velmora::disk::exec_viscous)
