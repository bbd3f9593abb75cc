// What a disk model tells the framework's drivers about itself, beyond the
// functions its closure object installs: a DiskModel record, registered at
// the model's initialisation and keyed by the address of its closure
// function, through the framework module's `__c_framework__` export table.
//
// - name: the model's short name;
// - thermal: its energy balance, for the branch-aware thermal solve (below);
//   null for a model that offers none (its drivers then use the closure's
//   own search only);
// - columns: the schema of the rows its writer fills (name, unit, meaning),
//   read by the drivers' callers, the program and the Python results;
// - check_ready: whether a closure object's parameters are complete enough
//   for its closure to run, raising the model's own text when not;
// - status_name: the name of a non-zero status its closure returns.
//
// The energy balance. A closure function solves the balance for the central
// temperature from a first guess and returns whichever root its search meets.
// Where the balance has several roots (a cool, gas-pressure branch and a hot,
// advective one, with an unstable root between them) the drivers must choose
// the root themselves: they need the balance, not only its solution:
//
// - prepare: the model's context for one ring (its coefficients), on the
//   caller's stack;
// - residual: f(x) at x = ln T_c, the model's own residual, normalised so that
//   f > 0 where heating exceeds cooling; a stable root is one where f falls
//   through zero as T rises;
// - fill: the closure result at a chosen root, the same fields with the same
//   bits that the model's closure writes when its search ends on that root.
//
// All functions follow the framework's failure convention (return -1 with an
// interpreter exception pending and a traceback entry) and run without the
// interpreter lock, except check_ready, which runs with it.
#pragma once

#include "dynamics/accretion/one_zone/closure.hpp"
#include "math_utils/bracket_solver.hpp"

#include <cstddef>

// The docstrings' examples start from this bound disk: an advective closure
// around a 1e6 solar-mass hole.
#define VELMORA_EXAMPLE_DISK                                                                            \
    ">>> import math\n"                                                                                \
    ">>> from velmora.dynamics.accretion.one_zone.models._gasrad_adv import AdvectiveClosure\n"        \
    ">>> disk = AdvectiveClosure(xi=1.0)\n"                                                           \
    ">>> disk.bind_runtime_parameters({\"log_M_BH\": math.log(2e39), \"log_R_in\": math.log(8.9e11),\n" \
    "...                               \"alpha\": 0.1})\n"

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

// One column of the rows a model's writer fills.
struct Column {
    const char* name;     // an identifier
    const char* unit;     // cgs, "-" for a pure number
    const char* meaning;  // a few words
};

struct DiskModel {
    const char* name;
    const ThermalModel* thermal;  // null: no branch-aware solve
    const Column* columns;
    int n_columns;
    // 0 when the parameters the object filled let its closure run; else -1
    // with the model's exception set, naming `driver` and the object's type.
    // Called with the interpreter lock held; null: no requirement beyond an
    // opacity law.
    int (*check_ready)(PyObject* closure, const DiskParameters* params, const char* driver);
    // The name of a non-zero status of its closure (for messages).
    const char* (*status_name)(int status);
};

using register_disk_model_t = int (*)(closure_func_t closure, const DiskModel* model);

inline constexpr const char* framework_api_name = "__c_framework__";
inline constexpr const char* register_disk_model_signature = "int (closure_func_t, struct DiskModel const *)";

// At a model module's initialisation: tells the framework's drivers about
// the model. A framework module without the export table (one that has no
// such drivers) is left alone; a table with a wrong entry is an error.
inline bool offer_disk_model(closure_func_t closure, const DiskModel* model) {
    rt::Ref mod = rt::import_module(closure_module);
    if (!mod) return false;
    PyObject* table = nullptr;
    if (PyObject_GetOptionalAttrString(mod.get(), framework_api_name, &table) < 0) return false;
    rt::Ref held = rt::Ref::steal(table);
    if (!table) return true;
    register_disk_model_t enroll = nullptr;
    if (!rt::import_function(mod.get(), "register_disk_model", register_disk_model_signature, enroll,
                             framework_api_name))
        return false;
    return enroll(closure, model) == 0;
}

}  // namespace velmora::disk
