// The one-zone disk framework's C-level records, function types, object
// layouts and signature texts, shared by the framework's modules, by disk
// closures that plug into it and by any outside caller.
//
// The disk is one ring: state (time, mass, angular momentum), derived
// quantities (radius, surface density, angular velocity), parameters, the
// thermal structure a closure fills, and the rates a step function fills.
// Fields are doubles in cgs units, in this order with natural C alignment;
// every "ln_" field is a natural logarithm.
//
// Failure convention of every function here: return -1 (0.0 for a double)
// with an interpreter exception pending, its traceback entry added. The
// functions run without the interpreter lock and take it only to raise.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "_runtime/capi.hpp"

#include <array>
#include <cstddef>
#include <type_traits>

namespace velmora::disk {

struct AdvectionParams {
    double xi;  // entropy-gradient (advection) parameter
};

struct FallbackParams {
    double M_fb_0;   // total fallback mass [g]
    double R_c;      // circularisation radius where it lands [cm]
    double t_fb;     // fallback time scale [s]
    double beta_fb;  // late-time power-law index of the fallback rate
};

struct DiskState {
    double state0;  // time t [s]
    double M_D;     // disk mass [g]
    double state2;  // disk angular momentum J_D [g cm^2 s^-1]
};

struct DiskDerived {
    double R_D;    // ring radius [cm]
    double Sigma;  // surface density [g cm^-2]
    double Omega;  // angular velocity [s^-1]
};

struct DiskParameters {
    double M_BH;   // black-hole mass [g]
    double R_in;   // inner radius, where matter leaves the disk [cm]
    double alpha;  // viscosity parameter
    double mu;     // mean molecular weight
    double reserved;
    FallbackParams* fallback;    // null without a fallback source
    AdvectionParams* advection;  // null until the run-time parameters are bound
    PyObject* opacity;           // grey opacity law, borrowed from the closure object
};

struct ClosureResult {
    double reserved0, reserved1;
    double t_visc;  // viscous time R_D^2 / nu [s]
    double ln_T_eff, ln_T_c, ln_tau, ln_c_s, ln_nu, ln_Q_visc, ln_rho;
};

struct DiskStep {
    double step0;  // accretion rate onto the hole [g s^-1]
    double step1;  // dM_D/dt [g s^-1]
    double step2;  // dJ_D/dt [g cm^2 s^-2]
};

using closure_func_t = int (*)(const DiskState* state, const DiskDerived* derived, const DiskParameters* params,
                               const ClosureResult* previous, ClosureResult* out);
using writer_func_t = int (*)(const int row, const DiskState* state, const DiskDerived* derived,
                              const DiskParameters* params, const ClosureResult* result, const DiskStep* step,
                              double* out, int stride);
using step_func_t = int (*)(const DiskState* state, const DiskDerived* derived, const DiskParameters* params,
                            const ClosureResult* result, DiskStep* out);
using sound_speed_func_t = double (*)(double T, double mu, double Sigma, double Omega);

// Signature texts naming the capsules of `__c_api__`.
inline constexpr const char* closure_signature =
    "int (struct DiskState const *, struct DiskDerived const *, struct DiskParameters const *, "
    "struct ClosureResult const *, struct ClosureResult *)";
inline constexpr const char* writer_signature =
    "int (int const , struct DiskState const *, struct DiskDerived const *, struct DiskParameters const *, "
    "struct ClosureResult const *, struct DiskStep const *, double *, int)";
inline constexpr const char* step_signature =
    "int (struct DiskState const *, struct DiskDerived const *, struct DiskParameters const *, "
    "struct ClosureResult const *, struct DiskStep *)";
inline constexpr const char* sound_speed_signature = "double (double, double, double, double)";
inline constexpr const char* constant_signature = "double";

// ---------------------------------------------------------------------------
// The closure object. A disk model derives from OneZoneClosure, installs its
// functions and replaces fill_parameters; the integrator calls both slots
// through the object's table.

struct OneZoneClosureOps {
    // DiskDerived from the state; 0, or -1 with an exception pending.
    int (*compute_derived)(PyObject* self, const DiskState* state, const DiskParameters* params,
                           DiskDerived* out);
    // Writes what the object knows into the parameter record; cannot fail.
    void (*fill_parameters)(PyObject* self, DiskParameters* out);
};

struct OneZoneClosure {
    PyObject_HEAD
    OneZoneClosureOps* vtab;
    closure_func_t closure_func;
    step_func_t derivative_func;
    writer_func_t writer_func;
    step_func_t source_func;  // null without a mass source
    PyObject* opacity;        // a C_GreyKappaCore instance, or None before one is installed
    int n_result_fields;      // columns per output row of writer_func
    // Counts the changes of what fill_parameters reports (bindings, new
    // laws), so that a driver working from a snapshot can tell that the
    // object moved on. It lives in the padding after n_result_fields: the
    // layout and size of the object stay as they are.
    unsigned int generation;
};

// ---------------------------------------------------------------------------
// Parameter wrappers: interpreter objects that own one parameter record
// inline. Slot 0 returns the record's address, valid while the object lives.

struct CAdvection;
struct CFallback;

struct CAdvectionOps {
    AdvectionParams* (*get_params)(CAdvection* self);
};

struct CFallbackOps {
    FallbackParams* (*get_params)(CFallback* self);
};

struct CAdvection {
    PyObject_HEAD
    CAdvectionOps* vtab;
    AdvectionParams params;
};

struct CFallback {
    PyObject_HEAD
    CFallbackOps* vtab;
    FallbackParams params;
};

static_assert(offsetof(DiskParameters, reserved) == 32);
static_assert(offsetof(DiskParameters, fallback) == 40);
static_assert(offsetof(DiskParameters, advection) == 48);
static_assert(offsetof(DiskParameters, opacity) == 56);
static_assert(sizeof(DiskParameters) == 64);
static_assert(offsetof(ClosureResult, t_visc) == 16);
static_assert(offsetof(ClosureResult, ln_rho) == 72);
static_assert(sizeof(ClosureResult) == 80);
static_assert(sizeof(DiskState) == 24 && sizeof(DiskDerived) == 24 && sizeof(DiskStep) == 24);
static_assert(sizeof(FallbackParams) == 32 && sizeof(AdvectionParams) == 8);
static_assert(offsetof(OneZoneClosure, vtab) == sizeof(PyObject));
static_assert(offsetof(OneZoneClosure, closure_func) == sizeof(PyObject) + 8);
static_assert(offsetof(OneZoneClosure, source_func) == sizeof(PyObject) + 32);
static_assert(offsetof(OneZoneClosure, opacity) == sizeof(PyObject) + 40);
static_assert(offsetof(OneZoneClosure, n_result_fields) == sizeof(PyObject) + 48);
static_assert(sizeof(OneZoneClosure) == sizeof(PyObject) + 56);
static_assert(offsetof(CAdvection, params) == sizeof(PyObject) + 8);
static_assert(offsetof(CFallback, params) == sizeof(PyObject) + 8);

// ---------------------------------------------------------------------------
// Constants, cgs. The physical ones are CODATA 2018 values. The closure
// module exports each (and the natural logarithms) under `__c_api__` as a
// capsule named "double"; the framework's own kernels use these directly.

namespace constants {
inline constexpr double PI = 3.141592653589793;
inline constexpr double C_CGS = 2.99792458e10;          // speed of light [cm s^-1]
inline constexpr double G_CGS = 6.67430e-8;             // [cm^3 g^-1 s^-2]
inline constexpr double K_B_CGS = 1.380649e-16;         // Boltzmann constant [erg K^-1]
inline constexpr double M_P_CGS = 1.67262192369e-24;    // proton mass [g]
inline constexpr double SIGMA_SB_CGS = 5.670374419e-5;  // [erg cm^-2 s^-1 K^-4]
inline constexpr double RAD_A_CGS = 4.0 * SIGMA_SB_CGS / C_CGS;  // radiation constant [erg cm^-3 K^-4]
inline constexpr double KAPPA_ES = 0.34;                // electron scattering, X ~ 0.7 [cm^2 g^-1]

// Disk-model constants of the one-zone ring (dimensionless).
// DISK_A: angular-momentum form factor, J_D = DISK_A M_D sqrt(G M_BH R_D);
//   1 for all mass on one circular orbit.
// DISK_B: accretion-rate factor, Mdot = DISK_B M_D / t_visc; 1 drains the
//   ring on one viscous time.
// DISK_F0: form factor of the advective cooling rate written to the output
//   rows; 1 takes the one-zone estimate as it stands.
// DISK_XI: reference entropy-gradient (advection) parameter, the default of
//   advective closures.
inline constexpr double DISK_A = 1.0;
inline constexpr double DISK_B = 1.0;
inline constexpr double DISK_F0 = 1.0;
inline constexpr double DISK_XI = 0.5;
}  // namespace constants

// ---------------------------------------------------------------------------
// Binding, as a module that builds on the framework does at initialisation.

inline constexpr const char* closure_module = "velmora.dynamics.accretion.one_zone.closure";
inline constexpr const char* eos_module = "velmora.dynamics.accretion.one_zone.physics._eos";
inline constexpr const char* viscous_module = "velmora.dynamics.accretion.one_zone.physics._viscous";
inline constexpr const char* fallback_module = "velmora.dynamics.accretion.one_zone.physics._fallback";
inline constexpr const char* param_wrappers_module = "velmora.dynamics.accretion.one_zone.physics._param_wrappers";

// OneZoneClosure with its table (for deriving from it).
struct OneZoneClosureBinding {
    PyTypeObject* type = nullptr;
    OneZoneClosureOps* ops = nullptr;

    bool bind() {
        return rt::import_type_with_vtable(closure_module, "OneZoneClosure", sizeof(OneZoneClosure), type, ops);
    }
};

// CFallback, then CAdvection, each with its table.
struct ParamWrappersBinding {
    PyTypeObject* fallback_type = nullptr;
    CFallbackOps* fallback_ops = nullptr;
    PyTypeObject* advection_type = nullptr;
    CAdvectionOps* advection_ops = nullptr;

    bool bind() {
        return rt::import_type_with_vtable(param_wrappers_module, "CFallback", sizeof(CFallback), fallback_type,
                                           fallback_ops) &&
               rt::import_type_with_vtable(param_wrappers_module, "CAdvection", sizeof(CAdvection),
                                           advection_type, advection_ops);
    }
};

// The 20 exported constants, bound by address in the order listed.
struct DiskConstantsBinding {
    const double *DISK_A, *DISK_B, *DISK_F0, *DISK_XI, *G_CGS, *KAPPA_ES, *K_B_CGS, *LOG_DISK_A, *LOG_DISK_F0,
        *LOG_DISK_XI, *LOG_G_CGS, *LOG_KAPPA_ES, *LOG_K_B_CGS, *LOG_M_P_CGS, *LOG_PI, *LOG_RAD_A_CGS,
        *LOG_SIGMA_SB_CGS, *M_P_CGS, *RAD_A_CGS, *SIGMA_SB_CGS;

    struct Entry {
        const char* name;
        const double* DiskConstantsBinding::*member;
    };
#define VELMORA_DISK_CONSTANT(NAME) Entry{#NAME, &DiskConstantsBinding::NAME}
    static constexpr std::array<Entry, 20> entries{
        VELMORA_DISK_CONSTANT(DISK_A),           VELMORA_DISK_CONSTANT(DISK_B),
        VELMORA_DISK_CONSTANT(DISK_F0),          VELMORA_DISK_CONSTANT(DISK_XI),
        VELMORA_DISK_CONSTANT(G_CGS),            VELMORA_DISK_CONSTANT(KAPPA_ES),
        VELMORA_DISK_CONSTANT(K_B_CGS),          VELMORA_DISK_CONSTANT(LOG_DISK_A),
        VELMORA_DISK_CONSTANT(LOG_DISK_F0),      VELMORA_DISK_CONSTANT(LOG_DISK_XI),
        VELMORA_DISK_CONSTANT(LOG_G_CGS),        VELMORA_DISK_CONSTANT(LOG_KAPPA_ES),
        VELMORA_DISK_CONSTANT(LOG_K_B_CGS),      VELMORA_DISK_CONSTANT(LOG_M_P_CGS),
        VELMORA_DISK_CONSTANT(LOG_PI),           VELMORA_DISK_CONSTANT(LOG_RAD_A_CGS),
        VELMORA_DISK_CONSTANT(LOG_SIGMA_SB_CGS), VELMORA_DISK_CONSTANT(M_P_CGS),
        VELMORA_DISK_CONSTANT(RAD_A_CGS),        VELMORA_DISK_CONSTANT(SIGMA_SB_CGS),
    };
#undef VELMORA_DISK_CONSTANT

    bool bind() {
        rt::Ref mod = rt::import_module(closure_module);
        if (!mod) return false;
        for (const Entry& e : entries)
            if (!rt::import_variable(mod.get(), e.name, constant_signature, this->*e.member)) return false;
        return true;
    }
};

// The framework's kernels: the sound speed and the two step functions.
struct DiskKernelsBinding {
    sound_speed_func_t compute_gas_rad_cs = nullptr;
    step_func_t viscous_derivative_func = nullptr;
    step_func_t fallback_source_func = nullptr;

    bool bind() {
        return bind_one(eos_module, "compute_gas_rad_cs", sound_speed_signature, compute_gas_rad_cs) &&
               bind_one(viscous_module, "viscous_derivative_func", step_signature, viscous_derivative_func) &&
               bind_one(fallback_module, "fallback_source_func", step_signature, fallback_source_func);
    }

private:
    template <typename F>
    static bool bind_one(const char* module, const char* name, const char* signature, F& out) {
        rt::Ref mod = rt::import_module(module);
        if (!mod) return false;
        std::remove_pointer_t<F>* fn = nullptr;
        if (!rt::import_function(mod.get(), name, signature, fn)) return false;
        out = fn;
        return true;
    }
};

}  // namespace velmora::disk
