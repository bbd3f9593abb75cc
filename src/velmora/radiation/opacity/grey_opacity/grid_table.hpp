// Grey table opacity laws: bilinear interpolation in a two-dimensional table
// of log10 kappa (kappa in cm^2 g^-1) over (log10 T, a second coordinate),
// with NaN holes and an out-of-domain policy.
//
// One machinery serves every table convention. A law is a traits type that
// supplies only what differs between conventions:
//
//   qualname         module path and class, the prefix of traceback entries
//   class_name       the class's __name__
//   label            name of the second coordinate in the out-of-domain message
//   axis             name of the second coordinate in the repr
//   class_doc        the class docstring
//   second_coordinate(log_rho, x, ln10)
//                    the second table coordinate from ln rho and x = log10 T
//   at_fixed_density(cell, x, s_T, out)
//                    d ln kappa / d ln T at fixed rho from the slope s_T along
//                    log10 T at fixed second coordinate (the chain-rule term)
//                    (both from OpalConvention or TopsConvention, grid_core.hpp)
//
// Layout and calling convention. The object begins with the GreyKappaCore
// header, so every caller that knows the grey base table can call slots 0 to 3;
// the law's table begins with the grey slots and appends six. Every call from
// one operation to another goes through the object's table, followed by the
// pending-exception test, so an override in a compiled subclass takes effect
// everywhere. The operations may run without the interpreter lock: they take
// it only for those tests, to raise, and to add traceback entries.
#pragma once

#include "radiation/opacity/grey_opacity/grid_core.hpp"
#include "radiation/opacity/kappa_core.hpp"

#include "_runtime/format.hpp"
#include "_runtime/declare.hpp"
#include "_runtime/runtime.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <limits>
#include <memory>
#include <new>
#include <string>

namespace velmora::opacity::grid {

// ---------------------------------------------------------------------------
// A construction check shared by every law built on a table.

// A table axis holds at least two nodes, and no more than an int counts.
inline bool check_axis_length(const rt::Vec& grid, const char* class_name, const char* name) {
    const Py_ssize_t n = grid.size();
    if (n > INT_MAX) {
        PyErr_Format(PyExc_ValueError, rt::msg::array_too_long, class_name, name, n);
        return false;
    }
    if (n < 2) {
        PyErr_Format(PyExc_ValueError, rt::msg::table_grid_too_short, class_name, name, n, n == 1 ? "" : "s");
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Object layout and operation table.

template <typename Law>
struct Object;

template <typename Law>
struct Ops {
    using Self = Object<Law>;
    GreyKappaOps grey;  // slots 0 to 3, the grey base table's order
    int (*_bisect)(Self* self, const rt::Vec& grid, int n, double x);
    double (*_interp)(Self* self, double x, double y, int i, int j);
    void (*_coords)(Self* self, double log_T, double log_rho, double* x, double* y);
    int (*_find_cell)(Self* self, double x, double y, int* i, int* j);
    double (*_nearest_finite)(Self* self, int i, int j);
    double (*_handle_oob)(Self* self, double x, double y);
};

// The header of the grey base first; the views keep the caller's arrays (and
// references on them) for the object's life: nothing is copied, and later
// writes into the arrays are seen.
template <typename Law>
struct Object {
    GreyKappaCore base;
    rt::Vec g1;    // log10 T grid, n1 nodes
    rt::Vec g2;    // second-coordinate grid, n2 nodes
    rt::Table lk;  // log10 kappa, rows along g1, columns along g2; NaN is a hole
    int n1;
    int n2;
    int oob;       // 1 clamp, 2 nan, any other value raise
    double ln10;

    Ops<Law>* ops() const noexcept { return reinterpret_cast<Ops<Law>*>(base.vtab); }
};

inline constexpr int oob_clamp = 1;
inline constexpr int oob_nan = 2;

// The repr and read-only properties of a law (grid_view.hpp, at the end).
template <typename Law>
struct TableView;

// ---------------------------------------------------------------------------
// The operations, the type and the module initialisation of one law.

template <typename Law>
struct GridLaw {
    using Self = Object<Law>;
    using Ref = rt::Ref;

    struct Names {
        static inline const std::string opacity = std::string(Law::qualname) + "._opacity";
        static inline const std::string log_opacity = std::string(Law::qualname) + "._log_opacity";
        static inline const std::string dlogrho = std::string(Law::qualname) + "._dlogkappa_dlogrho";
        static inline const std::string dlogT = std::string(Law::qualname) + "._dlogkappa_dlogT";
        static inline const std::string bisect = std::string(Law::qualname) + "._bisect";
        static inline const std::string interp = std::string(Law::qualname) + "._interp";
        static inline const std::string find_cell = std::string(Law::qualname) + "._find_cell";
        static inline const std::string handle_oob = std::string(Law::qualname) + "._handle_oob";
        static inline const std::string cinit = std::string(Law::qualname) + ".__cinit__";
    };

    static inline KappaCoreBinding kappa_core;
    static inline Ops<Law> ops{};
    static inline PyTypeObject type = rt::static_type(Law::qualname, sizeof(Self));

    static Self* self_of(GreyKappaCore* core) noexcept { return reinterpret_cast<Self*>(core); }

    // Passes a failure on: the operation's traceback entry, and 0.0.
    static double fail(const std::string& qualname) noexcept {
        rt::add_traceback(qualname.c_str());
        return 0.0;
    }

    // The same, for the operations' bodies that report success as a flag.
    static bool failed(const std::string& qualname) noexcept {
        fail(qualname);
        return false;
    }

    static double fail_zero_width(const std::string& qualname) noexcept {
        {
            rt::GilGuard gil;
            rt::raise_float_division();
        }
        return fail(qualname);
    }

    // A derivative outside the domain or on a hole: no exception.
    static double give_up(const Self* self) noexcept {
        return self->oob == oob_nan ? std::numeric_limits<double>::quiet_NaN() : 0.0;
    }

    static Cell cell_at(const Self* self, int i, int j) noexcept {
        return make_cell(self->g1.data(), self->g2.data(), self->lk.row(i), self->lk.row(i + 1), i, j);
    }

    // --- calls between the operations ---
    //
    // Every call from one operation to another reads the callee from the
    // object's table. Where the entry is this law's own operation it is called
    // directly, inlined: the same function, so the same result. The
    // pending-exception test after such a call is skipped while no exception
    // is known to be pending (`clean`), since this law's bisection, coordinate
    // mapping and ring search cannot raise and the test would answer as the
    // last one did. An override is called through its entry and tested as
    // always; the first test of an operation is never skipped, because an
    // exception may be pending when it is entered.

    // _bisect and its test; false when an exception is pending.
    static bool call_bisect(Self* self, const rt::Vec& grid, int n, double x, bool& clean, int& out) noexcept {
        Ops<Law>* t = self->ops();
        if (t->_bisect == &bisect_slot) {
            out = bisect(grid.data(), n, x);
            if (clean) return true;
        } else {
            out = t->_bisect(self, grid, n, x);
        }
        clean = !rt::exception_pending();
        return clean;
    }

    static void call_coords(Self* self, double log_T, double log_rho, double* x, double* y) noexcept {
        Ops<Law>* t = self->ops();
        if (t->_coords == &coords_slot)
            coords_slot(self, log_T, log_rho, x, y);
        else
            t->_coords(self, log_T, log_rho, x, y);
    }

    // --- slots 4 to 9 ---

    // The slots that take a length or a cell from their caller refuse values
    // beyond the arrays instead of reading past them; the law's own
    // operations never pass such values, an overriding slot might.
    static int bisect_slot(Self*, const rt::Vec& grid, int n, double x) noexcept {
        if (n > grid.size()) {
            {
                rt::GilGuard gil;
                PyErr_Format(PyExc_IndexError, rt::msg::table_bisect_length, "_bisect", n, grid.size());
            }
            fail(Names::bisect);
            return 0;
        }
        return bisect(grid.data(), n, x);
    }

    // A cell within the table, or IndexError naming `func` (without its
    // traceback entry).
    static bool cell_in_table(const Self* self, int i, int j, const char* func) noexcept {
        if (i >= 0 && j >= 0 && i <= self->n1 - 2 && j <= self->n2 - 2) return true;
        rt::GilGuard gil;
        PyErr_Format(PyExc_IndexError, rt::msg::table_cell_outside, func, i, j, self->n1 - 2, self->n2 - 2);
        return false;
    }

    // _interp's body: false with the exception raised and the entry added.
    static bool interp_body(Self* self, double x, double y, int i, int j, double& v) noexcept {
        if (!cell_in_table(self, i, j, "_interp")) {
            fail(Names::interp);
            return false;
        }
        switch (interpolate(cell_at(self, i, j), x, y, v)) {
            case Outcome::value: return true;
            case Outcome::hole: v = std::numeric_limits<double>::quiet_NaN(); return true;
            case Outcome::zero_width: break;
        }
        fail_zero_width(Names::interp);
        return false;
    }

    static double interp_slot(Self* self, double x, double y, int i, int j) noexcept {
        double v = 0.0;
        return interp_body(self, x, y, i, j, v) ? v : 0.0;
    }

    static void coords_slot(Self* self, double log_T, double log_rho, double* x, double* y) noexcept {
        const double log10_T = log_T / self->ln10;
        *x = log10_T;
        *y = Law::second_coordinate(log_rho, log10_T, self->ln10);
    }

    // _find_cell's body: 1 outside, 0 inside with the cell written, -1 with
    // an exception pending and the entry added (the cell not written).
    static int find_cell_body(Self* self, double x, double y, int* i, int* j, bool clean) noexcept {
        if (outside_domain(x, y, self->g1[0], self->g1[self->n1 - 1], self->g2[0], self->g2[self->n2 - 1])) {
            *i = 0;
            *j = 0;
            return 1;
        }
        int ci = 0, cj = 0;
        if (!call_bisect(self, self->g1, self->n1, x, clean, ci) ||
            !call_bisect(self, self->g2, self->n2, y, clean, cj)) {
            fail(Names::find_cell);
            return -1;
        }
        *i = std::min(ci, self->n1 - 2);
        *j = std::min(cj, self->n2 - 2);
        return 0;
    }

    static int find_cell_slot(Self* self, double x, double y, int* i, int* j) noexcept {
        return std::max(find_cell_body(self, x, y, i, j, false), 0);
    }

    static double nearest_finite_slot(Self* self, int i, int j) noexcept {
        const auto row = [self](long long k) noexcept { return self->lk.row(k); };
        return nearest_finite(row, self->n1, self->n2, i, j);
    }

    // Raises the out-of-domain ValueError; the caller holds the lock.
    static void raise_outside(const Self* self, double x, double y) {
        namespace msg = rt::msg;
        Ref px = rt::format_double(x, msg::table_point_format);
        Ref py = rt::format_double(y, msg::table_point_format);
        Ref x_first = rt::format_double(self->g1[0], msg::table_edge_format);
        Ref x_last = rt::format_double(self->g1[self->n1 - 1], msg::table_edge_format);
        Ref y_first = rt::format_double(self->g2[0], msg::table_edge_format);
        Ref y_last = rt::format_double(self->g2[self->n2 - 1], msg::table_edge_format);
        if (!px || !py || !x_first || !x_last || !y_first || !y_last) return;
        PyErr_Format(PyExc_ValueError, rt::msg::table_outside_domain, px.get(), Law::label, py.get(),
                     x_first.get(), x_last.get(), y_first.get(), y_last.get());
    }

    static double handle_oob_slot(Self* self, double x, double y) noexcept {
        if (self->oob == oob_clamp) {
            // The lower-left node of the edge cell the point projects onto.
            bool clean = false;
            int ci = 0, cj = 0;
            if (!call_bisect(self, self->g1, self->n1, x, clean, ci)) return fail(Names::handle_oob);
            const int i = std::min(ci, self->n1 - 2);
            if (!call_bisect(self, self->g2, self->n2, y, clean, cj)) return fail(Names::handle_oob);
            const int j = std::min(cj, self->n2 - 2);
            const double v = self->ops()->_nearest_finite(self, i, j);
            if (rt::exception_pending()) return fail(Names::handle_oob);
            return v;
        }
        if (self->oob == oob_nan) return std::numeric_limits<double>::quiet_NaN();
        rt::GilGuard gil;
        raise_outside(self, x, y);
        return fail(Names::handle_oob);
    }

    // --- slots 0 to 3 ---

    // The point in table coordinates and its cell; false with the traceback
    // entry of `qualname` added when an overriding step failed. On success no
    // exception is pending.
    struct Located {
        double x = 0.0, y = 0.0;
        int i = 0, j = 0;
        bool outside = false;
    };

    static bool locate(Self* self, double log_T, double log_rho, const std::string& qualname, Located& p) noexcept {
        Ops<Law>* t = self->ops();
        call_coords(self, log_T, log_rho, &p.x, &p.y);
        if (rt::exception_pending()) return failed(qualname);
        if (t->_find_cell == &find_cell_slot) {
            const int r = find_cell_body(self, p.x, p.y, &p.i, &p.j, true);
            if (r < 0) return failed(qualname);
            p.outside = r != 0;
            return true;
        }
        p.outside = t->_find_cell(self, p.x, p.y, &p.i, &p.j) != 0;
        if (rt::exception_pending()) return failed(qualname);
        return true;
    }

    // ln kappa = log10 kappa x ln 10; false with the exception pending and
    // the entry added. Inlined into both callers, the slots of ln kappa and
    // kappa, on the hot path of the table lookups.
    [[gnu::always_inline]] static bool log_opacity_body(Self* self, double log_T, double log_rho,
                                                        double& out) noexcept {
        Ops<Law>* t = self->ops();
        Located p;
        if (!locate(self, log_T, log_rho, Names::log_opacity, p)) return false;
        if (p.outside) {
            const double v = t->_handle_oob(self, p.x, p.y);
            if (rt::exception_pending()) return failed(Names::log_opacity);
            out = v * self->ln10;
            return true;
        }
        double v = 0.0;
        if (t->_interp == &interp_slot) {
            if (!interp_body(self, p.x, p.y, p.i, p.j, v)) return failed(Names::log_opacity);
        } else {
            v = t->_interp(self, p.x, p.y, p.i, p.j);
            if (rt::exception_pending()) return failed(Names::log_opacity);
        }
        if (std::isnan(v) && self->oob == oob_clamp) {
            v = t->_nearest_finite(self, p.i, p.j);
            if (rt::exception_pending()) return failed(Names::log_opacity);
        }
        out = v * self->ln10;
        return true;
    }

    static double log_opacity_slot(GreyKappaCore* core, double log_T, double log_rho) noexcept {
        double v = 0.0;
        return log_opacity_body(self_of(core), log_T, log_rho, v) ? v : 0.0;
    }

    static double opacity_slot(GreyKappaCore* core, double rho, double T) noexcept {
        const double log_T = std::log(T);
        const double log_rho = std::log(rho);
        double v = 0.0;
        if (core->vtab->_log_opacity == &log_opacity_slot) {
            // On success the body leaves no exception pending.
            if (!log_opacity_body(self_of(core), log_T, log_rho, v)) return fail(Names::opacity);
        } else {
            v = core->vtab->_log_opacity(core, log_T, log_rho);
            if (rt::exception_pending()) return fail(Names::opacity);
        }
        return std::exp(v);
    }

    // Derivatives: exact partials of the interpolant in the point's cell.
    // Outside the domain and on holes they give up silently, whatever the mode.
    template <Outcome (*Slope)(const Cell&, double, double, double&)>
    static double derivative(GreyKappaCore* core, double log_T, double log_rho, const std::string& qualname,
                             const char* name) noexcept {
        Self* self = self_of(core);
        Located p;
        if (!locate(self, log_T, log_rho, qualname, p)) return 0.0;
        if (p.outside) return give_up(self);
        if (!cell_in_table(self, p.i, p.j, name)) return fail(qualname);
        double v = 0.0;
        switch (Slope(cell_at(self, p.i, p.j), p.x, p.y, v)) {
            case Outcome::value: return v;
            case Outcome::hole: return give_up(self);
            case Outcome::zero_width: break;
        }
        return fail_zero_width(qualname);
    }

    static Outcome density_slope(const Cell& c, double x, double, double& out) noexcept {
        return second_axis_slope(c, x, out);
    }

    static double dlogrho_slot(GreyKappaCore* core, double log_T, double log_rho) noexcept {
        return derivative<&density_slope>(core, log_T, log_rho, Names::dlogrho, "_dlogkappa_dlogrho");
    }

    static double dlogT_slot(GreyKappaCore* core, double log_T, double log_rho) noexcept {
        return derivative<&temperature_slope<Law>>(core, log_T, log_rho, Names::dlogT, "_dlogkappa_dlogT");
    }

    // ---------------------------------------------------------------------
    // Construction: the four arguments are parsed in the allocation step, so
    // interpreter-level subclasses get the same parsing.

    // The arguments as given: the views are taken into the object itself, in
    // order, before oob is converted.
    struct CtorArgs {
        PyObject *g1, *g2, *lk, *oob;
    };
    static constexpr auto ctor = rt::declare<&CtorArgs::g1, &CtorArgs::g2, &CtorArgs::lk, &CtorArgs::oob>(
        "__cinit__", {"g1", "g2", "lk", "oob"});
    static constexpr const auto& ctor_params = ctor.params;

    static bool cinit(Self* self, PyObject* args, PyObject* kwds) {
        CtorArgs a;
        if (!rt::parse(ctor, args, kwds, a)) return false;
        if (!rt::acquire_argument(self->g1, a.g1, "g1") || !rt::acquire_argument(self->g2, a.g2, "g2") ||
            !rt::acquire_argument(self->lk, a.lk, "lk"))
            return false;
        if (!rt::to_int(a.oob, self->oob)) return false;
        // Refused here, since evaluation would read outside the arrays.
        if (!check_axis_length(self->g1, Law::class_name, "g1") || !check_axis_length(self->g2, Law::class_name, "g2"))
            return false;
        if (self->lk.rows() < self->g1.size() || self->lk.cols() < self->g2.size()) {
            PyErr_Format(PyExc_ValueError, rt::msg::table_too_small, Law::class_name, self->lk.rows(),
                         self->lk.cols(), self->g1.size(), self->g2.size());
            return false;
        }
        self->n1 = static_cast<int>(self->g1.size());
        self->n2 = static_cast<int>(self->g2.size());
        self->ln10 = std::log(10.0);
        return true;
    }

    static PyObject* tp_new(PyTypeObject* subtype, PyObject* args, PyObject* kwds) {
        Ref obj = Ref::steal(kappa_core.grey_type->tp_new(subtype, args, kwds));
        if (!obj) {
            fail(Names::cinit);
            return nullptr;
        }
        auto* self = reinterpret_cast<Self*>(obj.get());
        self->base.vtab = &ops.grey;
        new (&self->g1) rt::Vec();
        new (&self->g2) rt::Vec();
        new (&self->lk) rt::Table();
        if (!cinit(self, args, kwds)) {
            fail(Names::cinit);
            return nullptr;  // the object is destroyed with the views it holds
        }
        return obj.release();
    }

    static void tp_dealloc(PyObject* o) {
        auto* self = reinterpret_cast<Self*>(o);
        std::destroy_at(&self->g1);
        std::destroy_at(&self->g2);
        std::destroy_at(&self->lk);
        kappa_core.grey_type->tp_dealloc(o);
    }

    // ---------------------------------------------------------------------
    // Module initialisation: bind the base types, build the table from the
    // grey base table, make the type ready and publish it.

    static int exec_module(PyObject* module) {
        if (!kappa_core.bind()) return -1;

        ops.grey = *kappa_core.grey_ops;
        ops.grey._opacity = &opacity_slot;
        ops.grey._log_opacity = &log_opacity_slot;
        ops.grey._dlogkappa_dlogrho = &dlogrho_slot;
        ops.grey._dlogkappa_dlogT = &dlogT_slot;
        ops._bisect = &bisect_slot;
        ops._interp = &interp_slot;
        ops._coords = &coords_slot;
        ops._find_cell = &find_cell_slot;
        ops._nearest_finite = &nearest_finite_slot;
        ops._handle_oob = &handle_oob_slot;

        type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
        type.tp_doc = rt::signed_doc<ctor_params, Law::class_doc, Law::class_name>;
        type.tp_base = kappa_core.grey_type;
        type.tp_new = rt::entry<&tp_new>;
        type.tp_dealloc = &tp_dealloc;
        type.tp_repr = &TableView<Law>::tp_repr;
        type.tp_getset = TableView<Law>::getset;
        if (PyType_Ready(&type) < 0) return -1;
        if (!rt::set_vtable(&type, &ops)) return -1;
        if (!rt::PickleRefusal<Law>::install(&type)) return -1;
        if (PyModule_AddObjectRef(module, Law::class_name, reinterpret_cast<PyObject*>(&type)) < 0) return -1;

        Ref np = rt::import_module("numpy");
        if (!np || PyModule_AddObjectRef(module, "np", np.get()) < 0) return -1;
        return 0;
    }
};

}  // namespace velmora::opacity::grid

#include "radiation/opacity/grey_opacity/grid_view.hpp"

// The parameter section shared by the table classes' docstrings; G2 describes
// the second grid.
#define VELMORA_GRID_CLASS_DOC(SUMMARY, G2)                                                    \
    SUMMARY "\n\n"                                                                             \
    "Parameters\n"                                                                             \
    "----------\n"                                                                             \
    "g1 : ndarray, float64, C-contiguous, shape (n1,)\n"                                       \
    "    log10 of T in K, strictly increasing.\n"                                              \
    "g2 : ndarray, float64, C-contiguous, shape (n2,)\n"                                       \
    "    " G2 "\n"                                                                             \
    "lk : ndarray, float64, C-contiguous, shape (n1, n2)\n"                                    \
    "    log10 of kappa in cm^2 g^-1; NaN marks out-of-range cells.\n"                         \
    "oob : int\n"                                                                              \
    "    Out-of-bounds mode: 0 raise, 1 clamp, 2 nan.\n"

// The out-of-bounds modes, as the table modules' docstrings state them.
#define VELMORA_GRID_OOB_DOC                                                                   \
    "Out-of-bounds modes (``oob``):\n\n"                                                       \
    "0 raise\n    ValueError (taking the interpreter lock).\n"                                 \
    "1 clamp\n    The nearest valid boundary cell is returned.\n"                              \
    "2 nan\n    NaN is returned silently.\n"
