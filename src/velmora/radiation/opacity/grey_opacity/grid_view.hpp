// What a table law holds, read-only: its repr and its properties (the grids
// and the table as read-only views of the caller's arrays, the mode, the
// shape and the domain). Included at the end of grid_table.hpp.
#pragma once

#include "_runtime/format.hpp"
#include "_runtime/readonly_array.hpp"

namespace velmora::opacity::grid {

template <typename Law>
struct TableView {
    using Self = Object<Law>;
    using Ref = rt::Ref;

    static const char* oob_name(int oob) noexcept {
        return oob == oob_clamp ? "clamp" : oob == oob_nan ? "nan" : "raise";
    }

    // "C_OPALGridOpacity(70 x 19, log10 T 3.75..8.70, log10 R -8.00..1.00, oob=clamp)";
    // a mode value other than 0, 1 and 2 shows as "oob=7 (raise)". The edges
    // are formatted as the out-of-domain message formats them.
    static PyObject* tp_repr(PyObject* o) {
        const Self* self = reinterpret_cast<const Self*>(o);
        const char* fmt = rt::msg::table_edge_format;
        Ref x_first = rt::format_double(self->g1[0], fmt);
        Ref x_last = rt::format_double(self->g1[self->n1 - 1], fmt);
        Ref y_first = rt::format_double(self->g2[0], fmt);
        Ref y_last = rt::format_double(self->g2[self->n2 - 1], fmt);
        Ref type_name = Ref::steal(PyType_GetName(Py_TYPE(o)));
        if (!x_first || !x_last || !y_first || !y_last || !type_name) return nullptr;
        Ref mode = self->oob == 0 || self->oob == oob_clamp || self->oob == oob_nan
                       ? Ref::steal(PyUnicode_FromString(oob_name(self->oob)))
                       : Ref::steal(PyUnicode_FromFormat("%d (%s)", self->oob, oob_name(self->oob)));
        if (!mode) return nullptr;
        return PyUnicode_FromFormat("%U(%d x %d, log10 T %U..%U, %s %U..%U, oob=%U)", type_name.get(), self->n1,
                                    self->n2, x_first.get(), x_last.get(), Law::axis, y_first.get(),
                                    y_last.get(), mode.get());
    }

    static const Self* held(PyObject* o) noexcept { return reinterpret_cast<const Self*>(o); }

    static PyObject* get_g1(PyObject* o, void*) {
        return rt::readonly_array(held(o)->g1.exporter(), held(o)->n1).release();
    }
    static PyObject* get_g2(PyObject* o, void*) {
        return rt::readonly_array(held(o)->g2.exporter(), held(o)->n2).release();
    }
    static PyObject* get_lk(PyObject* o, void*) {
        return rt::readonly_array(held(o)->lk.exporter(), held(o)->n1, held(o)->n2).release();
    }
    static PyObject* get_oob(PyObject* o, void*) { return PyLong_FromLong(held(o)->oob); }
    static PyObject* get_shape(PyObject* o, void*) { return Py_BuildValue("(ii)", held(o)->n1, held(o)->n2); }
    static PyObject* get_domain(PyObject* o, void*) {
        const Self* self = held(o);
        return Py_BuildValue("((dd)(dd))", self->g1[0], self->g1[self->n1 - 1], self->g2[0],
                             self->g2[self->n2 - 1]);
    }

    static inline PyGetSetDef getset[] = {
        {"g1", &get_g1, nullptr,
         "The log10 T grid (T in K), shape (n1,): a read-only view of the array the law was built from.",
         nullptr},
        {"g2", &get_g2, nullptr,
         "The grid of the second coordinate, shape (n2,): a read-only view of the array the law was built "
         "from.",
         nullptr},
        {"lk", &get_lk, nullptr,
         "The table of log10 kappa (kappa in cm^2 g^-1), shape (n1, n2), NaN at holes: a read-only view of "
         "the array the law was built from (its leading n1 x n2 block).",
         nullptr},
        {"oob", &get_oob, nullptr, "Out-of-bounds mode as given: 0 raise, 1 clamp, 2 nan (any other value raises).",
         nullptr},
        {"shape", &get_shape, nullptr, "Table shape (n1, n2): the lengths of the two grids.", nullptr},
        {"domain", &get_domain, nullptr,
         "((g1[0], g1[-1]), (g2[0], g2[-1])): the table's range along each axis, in log10 units.", nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr}};
};

}  // namespace velmora::opacity::grid
