// Conversions of interpreter objects to C doubles and 32-bit ints.
#pragma once

#include "messages.hpp"

#include <climits>

namespace velmora::rt {

// An exact float is read directly; anything else goes through the
// interpreter's float conversion (ints, __float__, __index__).
inline bool to_double(PyObject* obj, double& out) {
    if (PyFloat_CheckExact(obj)) {
        out = PyFloat_AS_DOUBLE(obj);
        return true;
    }
    double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) return false;
    out = v;
    return true;
}

// A 32-bit signed int: an int is taken by value; any other object goes
// through its __int__ (so 1.9 becomes 1), whose result must be an int.
inline bool to_int(PyObject* obj, int& out) {
    if (PyLong_Check(obj)) {
        int overflow = 0;
        long v = PyLong_AsLongAndOverflow(obj, &overflow);
        if (v == -1 && PyErr_Occurred()) return false;
        if (overflow != 0 || v < INT_MIN || v > INT_MAX) {
            PyErr_SetString(PyExc_OverflowError, msg::int_too_large);
            return false;
        }
        out = static_cast<int>(v);
        return true;
    }
    PyNumberMethods* nb = Py_TYPE(obj)->tp_as_number;
    Ref res;
    if (nb && nb->nb_int) res = Ref::steal(nb->nb_int(obj));
    if (!res) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, msg::integer_required);
        return false;
    }
    if (!PyLong_CheckExact(res.get())) {
        if (!PyLong_Check(res.get())) {
            PyErr_Format(PyExc_TypeError, msg::int_returned_non_int, Py_TYPE(res.get())->tp_name);
            return false;
        }
        if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1, msg::int_returned_int_subclass,
                             Py_TYPE(res.get())->tp_name) < 0)
            return false;
    }
    return to_int(res.get(), out);
}

// New interpreter float; nullptr with an exception on failure.
inline Ref new_float(double v) { return Ref::steal(PyFloat_FromDouble(v)); }

}  // namespace velmora::rt
