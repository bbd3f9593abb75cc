// Module velmora.dynamics.accretion.one_zone.physics._eos: the sound speed of
// a disk supported by gas and radiation pressure.
#include "dynamics/accretion/one_zone/closure.hpp"

#include "_runtime/checks.hpp"
#include "_runtime/runtime.hpp"

#include <cmath>

namespace velmora::disk {
namespace {

namespace msg = rt::msg;

constexpr char q_sound_speed[] = "velmora.dynamics.accretion.one_zone.physics._eos.compute_gas_rad_cs";

// P = rho k T / (mu m_p) + a T^4 / 3 with the mid-plane density of a disk of
// scale height H = c_s / Omega, rho = Sigma Omega / (sqrt(2 pi) c_s).
// c_s^2 = P / rho is then c_s^2 = g + 2 h c_s with the gas term
// g = k T / (mu m_p) and the radiation term with h = sqrt(2 pi) a T^4 / (6 Sigma Omega);
// its positive root c_s = h + sqrt(h^2 + g) adds two non-negative terms (no
// cancellation), and hypot keeps h^2 from overflowing in radiation-dominated
// disks.
double gas_rad_sound_speed(double T, double mu, double Sigma, double Omega) {
    using namespace constants;
    const double g = K_B_CGS * T / (mu * M_P_CGS);
    const double T2 = T * T;
    const double h = 0.5 * (std::sqrt(2.0 * PI) * RAD_A_CGS * (T2 * T2) / (3.0 * Sigma * Omega));
    return h + std::hypot(h, std::sqrt(g));
}

// double (T [K], mu, Sigma [g cm^-2], Omega [s^-1]) -> c_s [cm s^-1].
// mu, Sigma and Omega must be positive and T non-negative; a NaN passes
// through to a NaN result, so that root searches see it as a value, not as an
// error.
double compute_gas_rad_cs(double T, double mu, double Sigma, double Omega) {
    if (!rt::require("compute_gas_rad_cs", msg::req_non_negative, rt::non_negative_or_nan, {{"T", T}}) ||
        !rt::require("compute_gas_rad_cs", msg::req_positive, rt::positive_or_nan,
                     {{"mu", mu}, {"Sigma", Sigma}, {"Omega", Omega}})) {
        rt::add_traceback(q_sound_speed);
        return 0.0;
    }
    return gas_rad_sound_speed(T, mu, Sigma, Omega);
}

int exec_eos(PyObject* module) {
    return rt::export_function(module, "compute_gas_rad_cs", &compute_gas_rad_cs, sound_speed_signature) ? 0 : -1;
}

constexpr const char* module_doc =
    "Equation of state of the one-zone disk: gas plus radiation pressure.\n\n"
    "__c_api__ exports compute_gas_rad_cs, \"double (double, double, double, double)\":\n"
    "the sound speed c_s [cm s^-1] for central temperature T [K], mean molecular\n"
    "weight mu, surface density Sigma [g cm^-2] and angular velocity Omega [s^-1],\n"
    "from c_s^2 = P / rho with P = rho k T / (mu m_p) + a T^4 / 3 and the mid-plane\n"
    "density rho = Sigma Omega / (sqrt(2 pi) c_s). It runs without the interpreter\n"
    "lock; non-positive mu, Sigma or Omega, or a negative T, raise ValueError\n"
    "(pending, result 0.0); a NaN gives NaN."
    "\n\nExamples\n--------\n"
    "A C caller binds the function by its signature text; ctypes can do the same:\n\n"
    ">>> import ctypes\n"
    ">>> from velmora.dynamics.accretion.one_zone.physics import _eos\n"
    ">>> capsule = _eos.__c_api__[\"compute_gas_rad_cs\"]\n"
    ">>> get_name = ctypes.PYFUNCTYPE(ctypes.c_char_p, ctypes.py_object)((\"PyCapsule_GetName\", ctypes.pythonapi))\n"
    ">>> get_pointer = ctypes.PYFUNCTYPE(ctypes.c_void_p, ctypes.py_object, ctypes.c_char_p)(\n"
    "...     (\"PyCapsule_GetPointer\", ctypes.pythonapi))\n"
    ">>> get_name(capsule)\n"
    "b'double (double, double, double, double)'\n"
    ">>> c_s = ctypes.PYFUNCTYPE(ctypes.c_double, *4 * [ctypes.c_double])(get_pointer(capsule, get_name(capsule)))\n"
    ">>> print(f\"{c_s(1e4, 0.6, 1e3, 1e5):.4e} cm/s\")  # gas pressure dominates: sqrt(k T / (mu m_p))\n"
    "1.1729e+06 cm/s\n"
    ">>> c_s(1e4, -0.6, 1e3, 1e5)\n"
    "Traceback (most recent call last):\n"
    "    ...\n"
    "ValueError: compute_gas_rad_cs(): mu must be positive, got -0.6\n";

}  // namespace
}  // namespace velmora::disk

VELMORA_MODULE(_eos, velmora::disk::module_doc, "velmora/dynamics/accretion/one_zone/physics/_eos.cpp",
               velmora::disk::exec_eos)
