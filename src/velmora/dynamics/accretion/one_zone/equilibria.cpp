// thermal_equilibria: every root of a model's energy balance at one ring,
// stable or not, with the branch of each stable one and the extrema of the
// balance between them (the thermal-equilibrium curve, point by point).
#include "dynamics/accretion/one_zone/branches.hpp"
#include "dynamics/accretion/one_zone/drivers.hpp"

#include "_runtime/checks.hpp"
#include "_runtime/signature.hpp"
#include "_runtime/threads.hpp"
#include "_runtime/units.hpp"

#include <cmath>

namespace velmora::disk {
namespace {

namespace msg = rt::msg;
using rt::Ref;

constexpr char q_thermal_equilibria[] = OZ_PREFIX "thermal_equilibria";

Ref roots_list(const thermal::Structure& s) {
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return {};
    for (int i = 0; i < s.n_roots; ++i) {
        const thermal::Root& r = s.roots[i];
        Ref item = Ref::steal(Py_BuildValue("{s:d,s:d,s:O,s:s}", "T_c", std::exp(r.x), "ln_T_c", r.x, "stable",
                                            r.stable ? Py_True : Py_False, "branch",
                                            r.stable ? thermal::label_name(s.label(i)) : "unstable"));
        if (!item || PyList_Append(list.get(), item.get()) < 0) return {};
    }
    return list;
}

Ref extrema_list(const thermal::Structure& s) {
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return {};
    for (int i = 0; i < s.n_extrema; ++i) {
        const thermal::Extremum& e = s.extrema[i];
        Ref item = Ref::steal(Py_BuildValue("{s:d,s:d,s:d,s:s}", "T", std::exp(e.x), "ln_T", e.x, "f", e.f, "kind",
                                            e.maximum ? "maximum" : "minimum"));
        if (!item || PyList_Append(list.get(), item.get()) < 0) return {};
    }
    return list;
}

struct EquilibriaArgs {
    PyObject* closure;
    double R_D, Sigma, Omega;
};

constexpr auto thermal_equilibria_decl =
    rt::declare<&EquilibriaArgs::closure, &EquilibriaArgs::R_D, &EquilibriaArgs::Sigma, &EquilibriaArgs::Omega>(
        "thermal_equilibria", {"closure", "R_D", "Sigma", "Omega"});

Ref thermal_equilibria_body(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    EquilibriaArgs a;
    if (!parse_driver(thermal_equilibria_decl, args, nargs, kwnames, a)) return {};
    PyObject* obj = a.closure;
    if (!closure_ready(obj, "thermal_equilibria", false)) return {};
    const DiskDerived derived{a.R_D, a.Sigma, a.Omega};
    if (!rt::require("thermal_equilibria", msg::req_positive_finite, rt::positive_finite,
                     {{"R_D", derived.R_D}, {"Sigma", derived.Sigma}, {"Omega", derived.Omega}}))
        return {};
    const ParameterSnapshot run(obj);
    if (!run.thermal) {
        PyErr_Format(PyExc_ValueError, msg::no_thermal_model, "thermal_equilibria", Py_TYPE(obj)->tp_name);
        return {};
    }
    thermal::Structure s;
    ThermalContext ctx;
    KernelFailure f;
    {
        rt::AllowThreads unlocked;
        f = scan_ring(run, derived, ctx, s);
    }
    if (f.failed()) {
        if (f.kind != KernelFailure::exception) PyErr_SetString(PyExc_RuntimeError, msg::balance_failed);
        return {};
    }
    Ref roots = roots_list(s), extrema = extrema_list(s);
    if (!roots || !extrema) return {};
    return Ref::steal(Py_BuildValue("{s:O,s:O}", "roots", roots.get(), "extrema", extrema.get()));
}

constexpr char thermal_equilibria_doc[] =
    "Every thermal equilibrium of one ring: the roots of the model's energy\n"
    "balance between its temperature limits.\n\n"
    "The balance f(ln T_c) (heating minus cooling, over heating) is sampled on\n"
    "a grid of about 0.05 in ln T, its turning points refined into extrema, and\n"
    "its roots found between consecutive samples and extrema, where it is\n"
    "monotone. A root where f falls as T rises is stable; one where it rises is\n"
    "unstable. The stable roots lie on branches: with several, the coolest is\n"
    "on the thin branch (gas pressure) and the hottest on the thick one\n"
    "(radiation pressure and advection), any others on middle branches; a lone\n"
    "root is \"thin\" when a fold of f with no root (a branch that has ended)\n"
    "lies on its hot side, \"thick\" when one lies on its cool side, and\n"
    "\"single\" when f has no fold. Features of f narrower than a grid step that\n"
    "do not turn the samples are not seen.\n\n"
    "Arguments are in cgs units; astropy Quantities are converted to them.\n\n"
    "Parameters\n----------\n"
    "closure : OneZoneClosure\n"
    "    A bound closure whose model offers its energy balance to the framework\n"
    "    (AdvectiveClosure does).\n"
    "R_D, Sigma, Omega : float\n"
    "    Ring radius [cm], surface density [g cm^-2] and angular velocity [s^-1],\n"
    "    positive and finite.\n\n"
    "Returns\n-------\n"
    "dict\n"
    "    ``roots``: a list, from cool to hot, of dicts with ``T_c`` [K],\n"
    "    ``ln_T_c``, ``stable`` and ``branch`` (\"thin\", \"middle\", \"thick\",\n"
    "    \"single\", or \"unstable\"); ``extrema``: a list of dicts with ``T`` [K],\n"
    "    ``ln_T``, the balance ``f`` there and ``kind`` (\"maximum\" or\n"
    "    \"minimum\"). A branch ends where its bounding extremum crosses zero.\n\n"
    "Raises\n------\n"
    "TypeError\n    closure is not a OneZoneClosure.\n"
    "ValueError\n"
    "    A value that is not positive and finite, or a model that offers no\n"
    "    energy balance.\n"
    "RuntimeError\n    An unbound closure object.\n"
    "Exception\n    Whatever the model's balance raises.\n\n"
    "Examples\n--------\n"
    VELMORA_EXAMPLE_DISK
    ">>> from velmora.dynamics.accretion.one_zone.closure import thermal_equilibria\n"
    ">>> R = 1.4e13\n"
    ">>> eq = thermal_equilibria(disk, R, 3.3e4, math.sqrt(6.6743e-8 * 2e39 / R**3))\n"
    ">>> [(round(r[\"T_c\"], -3), r[\"branch\"]) for r in eq[\"roots\"]]\n"
    "[(1324000.0, 'thick')]";

}  // namespace

PyMethodDef thermal_equilibria_def = {"thermal_equilibria",
                                      VELMORA_METH((rt::traced<&rt::converting_units<&thermal_equilibria_body, q_thermal_equilibria>, q_thermal_equilibria>)),
                                      METH_FASTCALL | METH_KEYWORDS,
                                      rt::signed_doc<thermal_equilibria_decl.params, thermal_equilibria_doc>};

}  // namespace velmora::disk
