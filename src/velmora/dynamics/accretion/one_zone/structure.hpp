// The thermal structure of a one-zone ring that every closure shares, plain
// C++ over doubles in natural logs: the mid-plane density of a ring with
// scale height H = c_s / Omega, the radiative term of the energy balance,
// and the fields of a closure result that follow from T_c, c_s and kappa;
// and the writing of an output row's columns.
#pragma once

#include "dynamics/accretion/one_zone/closure.hpp"
#include "radiation/opacity/kappa_core.hpp"

#include <cmath>
#include <initializer_list>

namespace velmora::disk::structure {

inline constexpr double two_pi = 6.283185307179586;

// The range in which a closure seeks T_c: 10 K to 1e14 K.
inline double ln_T_c_min() { return std::log(10.0); }
inline double ln_T_c_max() { return std::log(1e14); }

// ln kappa of the grey law `law` (a C_GreyKappaCore) through its table, so
// that a subclass's own slot is the one called; an exception it raises is
// left pending.
inline double log_opacity(PyObject* law, double log_T, double log_rho) {
    auto* grey = reinterpret_cast<opacity::GreyKappaCore*>(law);
    return grey->vtab->_log_opacity(grey, log_T, log_rho);
}

// ln(Omega) + ln(Sigma), evaluated left to right, so that a solve can form
// it once with the same bits (either order of Omega and Sigma gives them).
inline double ln_surface_term(double Omega, double Sigma) { return std::log(Omega) + std::log(Sigma); }

// ln rho, rho = Sigma / (sqrt(2 pi) H), H = c_s / Omega.
inline double ln_midplane_density(double ln_Omega_Sigma, double ln_c_s) {
    return ln_Omega_Sigma - ln_c_s - 0.5 * std::log(two_pi);
}

// ln A of the radiative term q_rad / q_visc = A T^4 / (kappa c_s^2),
// A = (32/27) sigma_SB / (alpha Omega Sigma^2).
inline double ln_radiative_coefficient(double ln_sigma_sb, double alpha, double Sigma, double Omega) {
    return std::log(32.0 / 27.0) + ln_sigma_sb - std::log(alpha) - std::log(Omega) - 2.0 * std::log(Sigma);
}

// q_rad / q_visc at x = ln T.
inline double radiative_share(double ln_A, double x, double ln_c_s, double ln_kappa) {
    return std::exp(ln_A - ln_kappa - 2.0 * ln_c_s + 4.0 * x);
}

// The fields of a closure result that follow from ln T_c = root, ln c_s and
// ln kappa: optical depth (tau = kappa Sigma / 2), effective temperature
// (T_eff^4 = 8 T_c^4 / (3 kappa Sigma)), viscosity (nu = alpha c_s H),
// viscous heating (Q_visc = (9/8) nu Sigma Omega^2) and viscous time
// (R_D^2 / nu, linear).
inline void fill_from_root(const DiskDerived& d, double alpha, double root, double ln_c_s, double ln_kappa,
                           ClosureResult* out) {
    out->ln_tau = std::log(0.5) + ln_kappa + std::log(d.Sigma);
    out->ln_T_eff = root + 0.25 * (std::log(8.0 / 3.0) - ln_kappa - std::log(d.Sigma));
    out->ln_nu = std::log(alpha) + 2.0 * ln_c_s - std::log(d.Omega);
    out->ln_Q_visc = std::log(1.125) + out->ln_nu + std::log(d.Sigma) + 2.0 * std::log(d.Omega);
    out->t_visc = std::exp(2.0 * std::log(d.R_D) - out->ln_nu);
}

// An output row: the leading columns as given, then H / R_D and rho, column
// k at out[row + k * stride]. False, with the leading columns written, for a
// radius of exactly 0 (the caller raises "float division").
inline bool write_columns(double* out, int row, int stride, std::initializer_list<double> leading,
                          const DiskDerived& d, double H, double rho) {
    int k = 0;
    for (double v : leading) out[row + k++ * stride] = v;
    if (d.R_D == 0.0) return false;
    out[row + k * stride] = H / d.R_D;
    out[row + (k + 1) * stride] = rho;
    return true;
}

}  // namespace velmora::disk::structure
