// Module velmora.dynamics.accretion.one_zone.physics._fallback: the mass
// source of the one-zone disk, matter falling back onto it.
#include "dynamics/accretion/one_zone/closure.hpp"

#include "_runtime/checks.hpp"
#include "_runtime/runtime.hpp"

#include <cmath>

namespace velmora::disk {
namespace {

namespace msg = rt::msg;

constexpr char q_fallback[] = "velmora.dynamics.accretion.one_zone.physics._fallback.fallback_source_func";

// Mdot_fb = (M_fb_0 / t_fb) (1 + t / t_fb)^(-beta_fb): about M_fb_0 / t_fb
// early, a power law late. The matter circularises at R_c and brings the
// specific angular momentum sqrt(G M_BH R_c) of that orbit; nothing reaches
// the hole directly.
DiskStep fallback_step(double t, const FallbackParams& fb, double M_BH) {
    using namespace constants;
    const double Mdot_fb = (fb.M_fb_0 / fb.t_fb) * std::pow(1.0 + t / fb.t_fb, -fb.beta_fb);
    return {0.0, Mdot_fb, Mdot_fb * std::sqrt(G_CGS * M_BH * fb.R_c)};
}

// step_func_t: reads t (state0), M_BH and the fallback record.
int fallback_source_func(const DiskState* state, const DiskDerived*, const DiskParameters* params,
                         const ClosureResult*, DiskStep* out) {
    const FallbackParams* fb = params->fallback;
    if (!fb) {
        {
            rt::GilGuard gil;
            PyErr_Format(PyExc_ValueError, msg::no_fallback_record, "fallback_source_func");
        }
        rt::add_traceback(q_fallback);
        return -1;
    }
    if (!rt::require("fallback_source_func", msg::req_non_negative, rt::non_negative_or_nan,
                     {{"M_BH", params->M_BH}, {"R_c", fb->R_c}}) ||
        !rt::nonzero_divisor(fb->t_fb)) {
        rt::add_traceback(q_fallback);
        return -1;
    }
    *out = fallback_step(state->state0, *fb, params->M_BH);
    return 0;
}

int exec_fallback(PyObject* module) {
    return rt::export_function(module, "fallback_source_func", &fallback_source_func, step_signature) ? 0 : -1;
}

constexpr const char* module_doc =
    "Fallback of matter onto the one-zone disk.\n\n"
    "__c_api__ exports fallback_source_func, a step function (step_func_t) that\n"
    "reads the fallback record of the disk parameters: the rate\n"
    "Mdot_fb = (M_fb_0 / t_fb) (1 + t / t_fb)^(-beta_fb) lands on the disk at the\n"
    "circularisation radius R_c, so step0 = 0, step1 = Mdot_fb and\n"
    "step2 = Mdot_fb sqrt(G M_BH R_c). It runs without the interpreter lock; a\n"
    "missing record or a negative M_BH or R_c raise ValueError, a t_fb of 0\n"
    "ZeroDivisionError (pending, result -1)."
    "\n\nExamples\n--------\n"
    "The export and the signature text an importer must ask for:\n\n"
    ">>> import ctypes\n"
    ">>> from velmora.dynamics.accretion.one_zone.physics import _fallback\n"
    ">>> get_name = ctypes.PYFUNCTYPE(ctypes.c_char_p, ctypes.py_object)((\"PyCapsule_GetName\", ctypes.pythonapi))\n"
    ">>> for name, capsule in _fallback.__c_api__.items():\n"
    "...     print(name, get_name(capsule).decode(), sep=\": \")\n"
    "fallback_source_func: int (struct DiskState const *, struct DiskDerived const *, struct DiskParameters const *, "
    "struct ClosureResult const *, struct DiskStep *)\n";

}  // namespace
}  // namespace velmora::disk

VELMORA_MODULE(_fallback, velmora::disk::module_doc, "velmora/dynamics/accretion/one_zone/physics/_fallback.cpp",
               velmora::disk::exec_fallback)
