// Object layout and operation tables of the opacity-law base types, shared by
// every compiled module that derives from them or calls them.
//
// An opacity-law object is the interpreter's object header followed by one
// pointer: the operation table of its most derived type. A derived table
// begins with its base's slots, in the same order and with the same
// signatures, and appends its own; callers that know only the base table can
// call its slots on any subclass object.
//
// Failure convention of every slot: leave an interpreter exception pending
// (with the slot's traceback entry) and return 0.0. Callers test for a pending
// exception after every call, whatever value came back.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "_runtime/capi.hpp"

namespace velmora::opacity {

struct GreyKappaCore;
struct KappaCore;

// Grey (frequency-independent) laws. Slot 0 takes linear (rho [g cm^-3],
// T [K]); slots 1 to 3 take natural logs, temperature first.
struct GreyKappaOps {
    double (*_opacity)(GreyKappaCore* self, double rho, double T);
    double (*_log_opacity)(GreyKappaCore* self, double log_T, double log_rho);
    double (*_dlogkappa_dlogrho)(GreyKappaCore* self, double log_T, double log_rho);
    double (*_dlogkappa_dlogT)(GreyKappaCore* self, double log_T, double log_rho);
};

struct GreyKappaCore {
    PyObject_HEAD
    GreyKappaOps* vtab;
};

// Frequency-dependent laws. Slot 0 takes linear (nu [Hz], rho, T); slots 1 to 4
// take natural logs (log_nu, log_T, log_rho).
struct KappaOps {
    double (*_opacity)(KappaCore* self, double nu, double rho, double T);
    double (*_log_opacity)(KappaCore* self, double log_nu, double log_T, double log_rho);
    double (*_dlogkappa_dlogrho)(KappaCore* self, double log_nu, double log_T, double log_rho);
    double (*_dlogkappa_dlogT)(KappaCore* self, double log_nu, double log_T, double log_rho);
    double (*_dlogkappa_dlognu)(KappaCore* self, double log_nu, double log_T, double log_rho);
};

struct KappaCore {
    PyObject_HEAD
    KappaOps* vtab;
};

inline constexpr const char* kappa_core_module = "velmora.radiation.opacity.kappa_core";

// The two base types and their tables, as a module that derives from them or
// calls them binds them at its initialisation.
struct KappaCoreBinding {
    PyTypeObject* grey_type = nullptr;
    GreyKappaOps* grey_ops = nullptr;
    PyTypeObject* freq_type = nullptr;
    KappaOps* freq_ops = nullptr;

    bool bind() {
        return rt::import_type_with_vtable(kappa_core_module, "C_GreyKappaCore", sizeof(GreyKappaCore),
                                           grey_type, grey_ops) &&
               rt::import_type_with_vtable(kappa_core_module, "C_KappaCore", sizeof(KappaCore),
                                           freq_type, freq_ops);
    }
};

}  // namespace velmora::opacity
