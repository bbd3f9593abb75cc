// Module velmora.radiation.opacity.grey_opacity.rosseland._opal_extended: the
// covering OPAL law, C_ExtendedOPALOpacity, a grey opacity law defined at every
// (T, rho): the table inside its finite cells, a physical extension beyond its
// edges and in its holes (opal_extension.hpp holds the arithmetic).
#include "radiation/opacity/grey_opacity/rosseland/opal_extension.hpp"
#include "radiation/opacity/grey_opacity/grid_table.hpp"
#include "radiation/opacity/kappa_core.hpp"

#include "_runtime/checks.hpp"
#include "_runtime/declare.hpp"
#include "_runtime/runtime.hpp"
#include "_runtime/units.hpp"

#include <cstddef>
#include <limits>
#include <memory>

namespace velmora::opacity {
namespace {

namespace msg = rt::msg;
namespace ext = extension;
using rt::Ref;

#define EXT_QUAL "velmora.radiation.opacity.grey_opacity.rosseland._opal_extended.C_ExtendedOPALOpacity"
struct Names {
    static constexpr const char* qualname = EXT_QUAL;
};
constexpr char q_new[] = EXT_QUAL ".__cinit__";
constexpr char q_opacity[] = EXT_QUAL "._opacity";
constexpr char q_log_opacity[] = EXT_QUAL "._log_opacity";
constexpr char q_dlogrho[] = EXT_QUAL "._dlogkappa_dlogrho";
constexpr char q_dlogT[] = EXT_QUAL "._dlogkappa_dlogT";
constexpr char q_in_table[] = EXT_QUAL ".in_table";
constexpr char class_name[] = "C_ExtendedOPALOpacity";

struct Extended {
    GreyKappaCore base;
    std::unique_ptr<ext::FilledTable> table;
    ext::IonisedGas gas;
    Ref cold;  // the grey law beyond the table, or empty for the ionised gas
    double X, Z;
    double ln10;
};

Extended* self_of(GreyKappaCore* core) noexcept { return reinterpret_cast<Extended*>(core); }

KappaCoreBinding kappa;
GreyKappaOps ext_ops;

// The physical law beyond the table at (ln T, ln rho): the cold law through
// its operation table, or the ionised gas. False with an exception pending.
bool physics(const Extended* self, double log_T, double log_rho, ext::LogKappa& out) noexcept {
    if (!self->cold) {
        out = self->gas(log_T, log_rho);
        return true;
    }
    auto* law = reinterpret_cast<GreyKappaCore*>(self->cold.get());
    GreyKappaOps* ops = law->vtab;
    out.value = ops->_log_opacity(law, log_T, log_rho);
    if (rt::exception_pending()) return false;
    out.d_rho = ops->_dlogkappa_dlogrho(law, log_T, log_rho);
    if (rt::exception_pending()) return false;
    out.d_T = ops->_dlogkappa_dlogT(law, log_T, log_rho);
    return !rt::exception_pending();
}

// ln kappa and its slopes at (ln T, ln rho); false with the traceback entry
// `qualname` added when the cold law failed.
bool evaluate_outside(const Extended* self, double log_T, double log_rho, double x, double y, const char* qualname,
                      ext::LogKappa& out) noexcept {
    ext::LogKappa phys{};
    if (!physics(self, log_T, log_rho, phys)) {
        rt::add_traceback(qualname);
        return false;
    }
    out = ext::blend_outside(*self->table, x, y, phys, self->ln10);
    return true;
}

// Table coordinates as the table law computes them.
void coordinates(const Extended* self, double log_T, double log_rho, double& x, double& y) noexcept {
    x = log_T / self->ln10;
    y = grid::OpalConvention::second_coordinate(log_rho, x, self->ln10);
}

double log_opacity_slot(GreyKappaCore* core, double log_T, double log_rho) noexcept {
    const Extended* self = self_of(core);
    double x, y;
    coordinates(self, log_T, log_rho, x, y);
    if (!self->table->outside(x, y)) {
        bool hole;
        return ext::interpolate_inside(*self->table, x, y, hole) * self->ln10;
    }
    ext::LogKappa k{};
    return evaluate_outside(self, log_T, log_rho, x, y, q_log_opacity, k) ? k.value : 0.0;
}

double opacity_slot(GreyKappaCore* core, double rho, double T) noexcept {
    const double v = log_opacity_slot(core, std::log(T), std::log(rho));
    if (self_of(core)->cold && rt::exception_pending()) {
        rt::add_traceback(q_opacity);
        return 0.0;
    }
    return std::exp(v);
}

template <bool Density>
double slope_slot(GreyKappaCore* core, double log_T, double log_rho) noexcept {
    const Extended* self = self_of(core);
    double x, y;
    coordinates(self, log_T, log_rho, x, y);
    if (!self->table->outside(x, y)) {
        double d_rho = 0.0, d_T = 0.0;
        ext::slopes_inside(*self->table, x, y, d_rho, d_T);
        return Density ? d_rho : d_T;
    }
    ext::LogKappa k{};
    if (!evaluate_outside(self, log_T, log_rho, x, y, Density ? q_dlogrho : q_dlogT, k)) return 0.0;
    return Density ? k.d_rho : k.d_T;
}

// ---------------------------------------------------------------------------
// Construction.

bool copy_grid(PyObject* obj, const char* name, std::vector<double>& out) {
    rt::Vec view;
    if (!rt::acquire_argument(view, obj, name) || !grid::check_axis_length(view, class_name, name)) return false;
    const Py_ssize_t n = view.size();
    out.assign(view.data(), view.data() + n);
    for (Py_ssize_t k = 0; k < n; ++k) {
        if (!std::isfinite(out[k]) || (k > 0 && !(out[k] > out[k - 1]))) {
            PyErr_Format(PyExc_ValueError, msg::grid_not_increasing, class_name, name);
            return false;
        }
    }
    return true;
}

bool copy_table(PyObject* obj, ext::FilledTable& t) {
    rt::Table view;
    if (!rt::acquire_argument(view, obj, "lk")) return false;
    if (view.rows() < t.n1 || view.cols() < t.n2) {
        PyErr_Format(PyExc_ValueError, msg::table_too_small, class_name, view.rows(), view.cols(),
                     static_cast<Py_ssize_t>(t.n1), static_cast<Py_ssize_t>(t.n2));
        return false;
    }
    t.lk.resize(static_cast<std::size_t>(t.n1) * t.n2);
    bool any_finite = false;
    for (int i = 0; i < t.n1; ++i)
        for (int j = 0; j < t.n2; ++j) {
            const double v = view.at(i, j);
            if (std::isinf(v)) {
                Ref value = rt::new_float(v);
                if (value)
                    PyErr_Format(PyExc_ValueError, msg::table_entry_infinite, class_name, value.get(),
                                 static_cast<Py_ssize_t>(i), static_cast<Py_ssize_t>(j));
                return false;
            }
            any_finite = any_finite || !std::isnan(v);
            t.lk[static_cast<std::size_t>(i) * t.n2 + j] = v;
        }
    if (!any_finite) {
        PyErr_Format(PyExc_ValueError, msg::table_no_finite_entry, class_name);
        return false;
    }
    return true;
}

// The constructor's parameters, with the defaults the class signature shows
// and construction applies. Bound, then checked one by one in order.
constexpr rt::Params<8> ctor_params{"__cinit__",
                                    {"g1", "g2", "lk", "X", "Z", "cold", "decay_T", "decay_R"},
                                    5,
                                    {nullptr, nullptr, nullptr, nullptr, nullptr, "None", "0.1", "1.0"}};

bool cinit(Extended* self, PyObject* args, PyObject* kwds) {
    std::array<PyObject*, 8> v;
    if (!rt::bind(ctor_params, args, kwds, v)) return false;
    auto t = std::make_unique<ext::FilledTable>();
    if (!copy_grid(v[0], "g1", t->g1) || !copy_grid(v[1], "g2", t->g2)) return false;
    t->n1 = static_cast<int>(t->g1.size());
    t->n2 = static_cast<int>(t->g2.size());
    if (!copy_table(v[2], *t)) return false;
    double X, Z;
    if (!rt::to_double(v[3], X) || !rt::to_double(v[4], Z)) return false;
    if (!rt::require(class_name, msg::req_unit_fraction, [](double f) { return f >= 0.0 && f <= 1.0; },
                     {{"X", X}, {"Z", Z}}))
        return false;
    if (X + Z > 1.0) {
        Ref px = rt::new_float(X), pz = rt::new_float(Z);
        if (px && pz) PyErr_Format(PyExc_ValueError, msg::composition_sum, class_name, px.get(), pz.get());
        return false;
    }
    PyObject* cold = v[5] && v[5] != Py_None ? v[5] : nullptr;
    if (cold && !PyObject_TypeCheck(cold, kappa.grey_type)) {
        PyErr_Format(PyExc_TypeError, msg::cold_law_type, class_name, Py_TYPE(cold)->tp_name);
        return false;
    }
    if (!rt::convert_or_default(ctor_params, 6, v[6], t->decay_T) ||
        !rt::convert_or_default(ctor_params, 7, v[7], t->decay_R))
        return false;
    if (!rt::require(class_name, msg::req_positive_finite, rt::positive_finite,
                     {{"decay_T", t->decay_T}, {"decay_R", t->decay_R}}))
        return false;

    self->X = X;
    self->Z = Z;
    self->ln10 = std::log(10.0);
    self->gas = ext::IonisedGas(X, Z);
    self->cold = Ref::borrow(cold);
    // The holes take the physical law at their nodes, so it must be in place.
    if (!ext::fill_holes(*t, self->ln10, [self](double log_T, double log_rho, ext::LogKappa& out) {
            return physics(self, log_T, log_rho, out);
        }))
        return false;
    self->table = std::move(t);
    return true;
}

PyObject* tp_new(PyTypeObject* subtype, PyObject* args, PyObject* kwds) {
    Ref obj = Ref::steal(kappa.grey_type->tp_new(subtype, args, kwds));
    if (!obj) {
        rt::add_traceback(q_new);
        return nullptr;
    }
    auto* self = reinterpret_cast<Extended*>(obj.get());
    self->base.vtab = &ext_ops;
    new (&self->table) std::unique_ptr<ext::FilledTable>();
    new (&self->gas) ext::IonisedGas(0.0, 0.0);
    new (&self->cold) Ref();
    if (!cinit(self, args, kwds)) {
        rt::add_traceback(q_new);
        return nullptr;  // the object is destroyed with what it holds
    }
    return obj.release();
}

void tp_dealloc(PyObject* o) {
    auto* self = reinterpret_cast<Extended*>(o);
    std::destroy_at(&self->table);
    std::destroy_at(&self->cold);
    kappa.grey_type->tp_dealloc(o);
}

// ---------------------------------------------------------------------------
// Interpreter-level methods.

// Whether (rho, T) lies where the law is the table law: inside the table's
// domain, in a cell whose four corners are tabulated.
constexpr rt::Params<2> in_table_params{"in_table", {"rho", "T"}};

PyObject* in_table_body(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 2> v;
    if (!rt::bind(in_table_params, args, nargs, kwnames, v)) return nullptr;
    if (const int units = rt::any_carries_unit(v))
        return units < 0 ? nullptr : rt::call_with_units(o, in_table_params.func, in_table_params.names, v);
    double rho, T;
    if (!rt::to_double(v[0], rho) || !rt::to_double(v[1], T)) return nullptr;
    const auto* self = reinterpret_cast<Extended*>(o);
    double x, y;
    coordinates(self, std::log(T), std::log(rho), x, y);
    bool hole = true;
    if (!self->table->outside(x, y) && !std::isnan(x) && !std::isnan(y))
        ext::interpolate_inside(*self->table, x, y, hole);
    return PyBool_FromLong(!hole);
}

constexpr auto in_table_method = rt::traced<&in_table_body, q_in_table>;

constexpr char in_table_doc[] =
    "True where the law is its table: (rho [g cm^-3], T [K]) lies inside the\n"
    "table's domain, in a cell whose four corners are tabulated (not holes).\n"
    "\nExamples\n--------\n"
    ">>> import numpy as np\n"
    ">>> from velmora.radiation.opacity.grey_opacity.rosseland._opal_extended import C_ExtendedOPALOpacity\n"
    ">>> lk = np.array([[0.0, 0.0], [0.0, 0.0], [np.nan, 0.0]])  # log10 T 4, 4.5, 5 by log10 R -3, -2\n"
    ">>> law = C_ExtendedOPALOpacity(np.array([4.0, 4.5, 5.0]), np.array([-3.0, -2.0]), lk, 0.7, 0.02)\n"
    ">>> law.in_table(1e-7, 3e4), law.in_table(1e-6, 1e5), law.in_table(1e-9, 1e9)  # table, hole cell, beyond\n"
    "(True, False, False)\n";

PyMethodDef ext_methods[] = {
    {"in_table", VELMORA_METH(in_table_method), METH_FASTCALL | METH_KEYWORDS,
     rt::signed_method_doc<in_table_params, in_table_doc>},
    {nullptr, nullptr, 0, nullptr}};

// Read-only attributes: the composition, the decay lengths (the table's) and
// the cold law.
template <double Extended::* Field>
PyObject* get_double(PyObject* o, void*) {
    return PyFloat_FromDouble(reinterpret_cast<Extended*>(o)->*Field);
}

template <double ext::FilledTable::* Field>
PyObject* get_decay(PyObject* o, void*) {
    return PyFloat_FromDouble((*reinterpret_cast<Extended*>(o)->table).*Field);
}

PyObject* get_cold(PyObject* o, void*) {
    const Ref& cold = reinterpret_cast<Extended*>(o)->cold;
    return Py_NewRef(cold ? cold.get() : Py_None);
}

PyGetSetDef ext_getset[] = {
    {"X", &get_double<&Extended::X>, nullptr, "Hydrogen mass fraction X of the physical extension.", nullptr},
    {"Z", &get_double<&Extended::Z>, nullptr, "Metal mass fraction Z of the physical extension.", nullptr},
    {"decay_T", &get_decay<&ext::FilledTable::decay_T>, nullptr,
     "Decay length of the table's continuation along log10 T [dex].", nullptr},
    {"decay_R", &get_decay<&ext::FilledTable::decay_R>, nullptr,
     "Decay length of the table's continuation along log10 R [dex].", nullptr},
    {"cold", &get_cold, nullptr,
     "The grey law that stands for the physics beyond the table, or None (the\n"
     "fully ionised gas of composition X, Z).",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

// The signature line comes from ctor_params.
constexpr char class_doc[] =
    "Rosseland-mean opacity from a 2-D OPAL log-space table, covering every (T, rho).\n\n"
    "Inside the table's finite cells the value and both logarithmic derivatives\n"
    "are those of C_OPALGridOpacity on the same arrays, bit for bit (the same\n"
    "bilinear interpolation of log10 kappa over log10 T and log10 R,\n"
    "R = rho / T6^3). Everywhere else the law is a physical extension,\n"
    "continuous in value across every edge of the table and of its holes, and in\n"
    "slope across the edges of the table's rectangle:\n\n"
    "- Physics beyond the table: a fully ionised gas, Thomson scattering\n"
    "  kappa_es = 0.2 (1 + X) plus Kramers free-free absorption\n"
    "  kappa_ff = 3.68e22 (1 - Z) (1 + X) rho T^-3.5 (cgs). It is the limit of\n"
    "  low density (below the table's log10 R range, where gas ionises fully)\n"
    "  and of high temperature (where electron scattering dominates). At the\n"
    "  cold end, below the table's temperatures, hydrogen recombines and dust\n"
    "  and molecules take over: give their table as ``cold`` (for example a\n"
    "  C_ExtendedOPALOpacity built from a low-temperature table) and it stands\n"
    "  for the physics everywhere beyond this table; without it the ionised gas\n"
    "  overestimates kappa there.\n"
    "- Beyond an edge: ln kappa = (1 - w) ln kappa_phys + w ln 10 [F(p) +\n"
    "  grad F(p) . (q - p)], q = (log10 T, log10 R), p the nearest point of the\n"
    "  table's rectangle, F the table and grad F its slopes in the edge cell,\n"
    "  w = (1 - s)^2 (1 + 2 s) for s < 1 and 0 beyond, with\n"
    "  s = |(q - p) / (decay_T, decay_R)| the distance from the edge in decay\n"
    "  lengths. w = 1 and dw/ds = 0 at the edge: the table's value and slope\n"
    "  continue across it; from one decay length on the law is the physics.\n"
    "- Holes (NaN entries): each hole node takes ln kappa_phys there plus w\n"
    "  times the offset ln kappa_table - ln kappa_phys of the nearest tabulated\n"
    "  nodes, and cells with a hole corner interpolate those filled nodes\n"
    "  bilinearly, like the rest of the table.\n\n"
    "The arrays are copied at construction (later writes into them are not\n"
    "seen). The law never raises for a point outside the table; ``in_table``\n"
    "tells whether a point lies where the law is its table.\n\n"
    "Parameters\n"
    "----------\n"
    "g1 : ndarray, float64, C-contiguous, shape (n1,)\n"
    "    log10 of T in K, finite, strictly increasing.\n"
    "g2 : ndarray, float64, C-contiguous, shape (n2,)\n"
    "    log10 of R grid values, where R = rho / T6^3, finite, strictly increasing.\n"
    "lk : ndarray, float64, C-contiguous, shape (n1, n2)\n"
    "    log10 of kappa in cm^2 g^-1; NaN marks holes. At least one entry finite.\n"
    "X, Z : float\n"
    "    Hydrogen and metal mass fractions of the ionised gas, X + Z <= 1.\n"
    "cold : C_GreyKappaCore or None\n"
    "    The law that stands for the physics beyond the table instead of the\n"
    "    ionised gas (its value and both slopes are used).\n"
    "decay_T, decay_R : float\n"
    "    Decay lengths of the table's continuation along log10 T and log10 R\n"
    "    [dex], positive.\n"
    "\nExamples\n--------\n"
    "A table of kappa = 1 cm^2 g^-1 over 4 <= log10 T <= 5, -3 <= log10 R <= -2:\n"
    "inside, the law is the table; at 10^9 K it is electron scattering,\n"
    "0.2 (1 + X) cm^2 g^-1 (free-free absorption is negligible there).\n\n"
    ">>> import numpy as np\n"
    ">>> from velmora.radiation.opacity.grey_opacity.rosseland._opal_extended import C_ExtendedOPALOpacity\n"
    ">>> g1, g2 = np.array([4.0, 4.5, 5.0]), np.array([-3.0, -2.0])\n"
    ">>> law = C_ExtendedOPALOpacity(g1, g2, np.zeros((3, 2)), X=0.7, Z=0.02)\n"
    ">>> law.in_table(1e-7, 3e4), law.opacity(1e-7, 3e4)  # log10 R = -7 - 3 (4.48 - 6) = -2.43\n"
    "(True, 1.0)\n"
    ">>> law.in_table(1e-9, 1e9), round(law.opacity(1e-9, 1e9), 9)\n"
    "(False, 0.34)\n";

PyTypeObject ext_type = rt::static_type(Names::qualname, sizeof(Extended));

int exec_opal_extended(PyObject* module) {
    if (!kappa.bind()) return -1;
    ext_ops = *kappa.grey_ops;
    ext_ops._opacity = &opacity_slot;
    ext_ops._log_opacity = &log_opacity_slot;
    ext_ops._dlogkappa_dlogrho = &slope_slot<true>;
    ext_ops._dlogkappa_dlogT = &slope_slot<false>;

    ext_type.tp_base = kappa.grey_type;
    ext_type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    ext_type.tp_doc = rt::signed_doc<ctor_params, class_doc, class_name>;
    ext_type.tp_new = rt::entry<&tp_new>;
    ext_type.tp_dealloc = &tp_dealloc;
    ext_type.tp_getset = ext_getset;
    ext_type.tp_methods = ext_methods;
    if (PyType_Ready(&ext_type) < 0) return -1;
    if (!rt::set_vtable(&ext_type, &ext_ops)) return -1;
    if (!rt::PickleRefusal<Names>::install(&ext_type)) return -1;
    return PyModule_AddObjectRef(module, class_name, reinterpret_cast<PyObject*>(&ext_type));
}

constexpr const char* module_doc =
    "A Rosseland-mean opacity law that covers every (T, rho): an OPAL table\n"
    "inside its finite cells, a physical extension beyond its edges and in its\n"
    "holes.\n\n"
    "C_ExtendedOPALOpacity derives from C_GreyKappaCore and fills its operation\n"
    "table; compiled callers (the disk closure) call its slots with plain doubles\n"
    "and without the interpreter lock. Every log-space method takes (log_T,\n"
    "log_rho) in natural logarithms, like every other opacity class of the\n"
    "package.\n"
    "\nExamples\n--------\n"
    "A hole takes its value from the physics and its tabulated neighbours, where\n"
    "the table law has none:\n\n"
    ">>> import numpy as np\n"
    ">>> from velmora.radiation.opacity.grey_opacity.rosseland._opal_extended import C_ExtendedOPALOpacity\n"
    ">>> from velmora.radiation.opacity.grey_opacity.rosseland._opal_grid import C_OPALGridOpacity\n"
    ">>> g1, g2 = np.array([4.0, 4.5, 5.0]), np.array([-3.0, -2.0])\n"
    ">>> lk = np.zeros((3, 2))\n"
    ">>> lk[1, 0] = np.nan  # a hole at log10 T = 4.5, log10 R = -3\n"
    ">>> C_OPALGridOpacity(g1, g2, lk, 2).opacity(1e-7, 3e4)\n"
    "nan\n"
    ">>> law = C_ExtendedOPALOpacity(g1, g2, lk, 0.7, 0.02)\n"
    ">>> law.in_table(1e-7, 3e4), round(law.opacity(1e-7, 3e4), 6)\n"
    "(False, 0.855667)\n";

}  // namespace
}  // namespace velmora::opacity

VELMORA_MODULE(_opal_extended, velmora::opacity::module_doc,
               "velmora/radiation/opacity/grey_opacity/rosseland/_opal_extended.cpp",
               velmora::opacity::exec_opal_extended)
