// The energy balance of a disk model as the framework's drivers see it, for
// the branch-aware thermal solve.
//
// A closure function solves its energy balance for the central temperature
// from a first guess and returns whichever root its search meets. Where the
// balance has several roots (a cool, gas-pressure branch and a hot, advective
// one, with an unstable root between them) the drivers must choose the root
// themselves: they need the balance, not only its solution. A model offers it
// through a ThermalModel record:
//
// - prepare: the model's context for one ring (its coefficients), on the
//   caller's stack;
// - residual: f(x) at x = ln T_c, the model's own residual, normalised so that
//   f > 0 where heating exceeds cooling; a stable root is one where f falls
//   through zero as T rises;
// - fill: the closure result at a chosen root, the same fields with the same
//   bits that the model's closure writes when its search ends on that root.
//
// The model registers the record with the framework at its initialisation,
// keyed by the address of its closure function, through the framework
// module's `__c_framework__` export table. All three functions follow the
// framework's failure convention (return -1 with an interpreter exception
// pending and a traceback entry) and run without the interpreter lock.
#pragma once

#include "dynamics/accretion/one_zone/closure.hpp"
#include "math_utils/bracket_solver.hpp"

#include <cstddef>

namespace velmora::disk {

// Room for a model's context of one ring; models place their own record in it.
struct ThermalContext {
    alignas(16) unsigned char bytes[128];

    void* data() { return bytes; }
    const void* data() const { return bytes; }
};

struct ThermalModel {
    int (*prepare)(const DiskDerived* derived, const DiskParameters* params, ThermalContext* ctx);
    math_utils::scalar_func residual;  // user data: the prepared context
    int (*fill)(const DiskDerived* derived, const DiskParameters* params, const ThermalContext* ctx, double root,
                ClosureResult* out);
    double ln_T_min, ln_T_max;  // the model's range of ln T_c
};

using register_thermal_model_t = int (*)(closure_func_t closure, const ThermalModel* model);

inline constexpr const char* framework_api_name = "__c_framework__";
inline constexpr const char* register_thermal_model_signature =
    "int (" "closure_func_t" ", struct ThermalModel const *)";

// At a model module's initialisation: offers its balance to the framework's
// drivers. A framework module without the export table (one that has no
// branch-aware drivers) is left alone; a table with a wrong entry is an error.
inline bool offer_thermal_model(closure_func_t closure, const ThermalModel* model) {
    rt::Ref mod = rt::import_module(closure_module);
    if (!mod) return false;
    PyObject* table = nullptr;
    if (PyObject_GetOptionalAttrString(mod.get(), framework_api_name, &table) < 0) return false;
    rt::Ref held = rt::Ref::steal(table);
    if (!table) return true;
    register_thermal_model_t enroll = nullptr;
    if (!rt::import_function(mod.get(), "register_thermal_model", register_thermal_model_signature, enroll,
                             framework_api_name))
        return false;
    return enroll(closure, model) == 0;
}

}  // namespace velmora::disk
