// Arguments that carry units. An astropy Quantity is an ndarray subclass
// whose numbers are in its own unit: read through the buffer protocol it would
// lose that unit (a density in kg m^-3 taken as g cm^-3), and float() refuses
// all but dimensionless ones. A method that takes cgs numbers hands such
// arguments to the interpreter-level converter velmora._quantities.call_law,
// which converts them to the documented units and calls the method again with
// plain values. A Quantity's type is a class defined in Python (a heap type):
// objects of static types (float, int, ndarray, NumPy's scalars, lists) never
// leave the compiled path, and for them the test is one flag.
#pragma once

#include "ref.hpp"

#include <array>
#include <atomic>
#include <cstddef>

namespace velmora::rt {

namespace detail {

// numpy.ndarray, looked up once and kept for the process (numpy is imported
// by every module that takes arrays). Set under the interpreter lock; a race
// between two first calls stores the same type twice.
inline PyTypeObject* ndarray_type() {
    static std::atomic<PyTypeObject*> type{nullptr};
    PyTypeObject* t = type.load(std::memory_order_relaxed);
    if (t) return t;
    Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
    Ref found = numpy ? Ref::steal(PyObject_GetAttrString(numpy.get(), "ndarray")) : Ref();
    if (!found || !PyType_Check(found.get())) {
        PyErr_Clear();  // without numpy no argument is an array subclass
        return nullptr;
    }
    t = reinterpret_cast<PyTypeObject*>(found.release());
    type.store(t, std::memory_order_relaxed);
    return t;
}

}  // namespace detail

// 1 when `obj` is an array subclass whose type has a `unit` (a Quantity), 0
// otherwise, -1 with an exception pending when the lookup fails.
inline int carries_unit(PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    if (!PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) return 0;
    PyTypeObject* ndarray = detail::ndarray_type();
    if (!ndarray || type == ndarray || !PyType_IsSubtype(type, ndarray)) return 0;
    PyObject* unit = nullptr;
    const int found = PyObject_GetOptionalAttrString(reinterpret_cast<PyObject*>(type), "unit", &unit);
    Py_XDECREF(unit);
    return found;
}

// The first nonzero carries_unit of `values`.
template <std::size_t N>
int any_carries_unit(const std::array<PyObject*, N>& values) {
    for (PyObject* v : values)
        if (const int r = carries_unit(v)) return r;
    return 0;
}

// velmora._quantities.call_law(self, method, names, values): the method called
// again with its arguments converted to the units the names document.
template <std::size_t N>
PyObject* call_with_units(PyObject* self, const char* method, const std::array<const char*, N>& names,
                          const std::array<PyObject*, N>& values) {
    Ref module = Ref::steal(PyImport_ImportModule("velmora._quantities"));
    if (!module) return nullptr;
    Ref call = Ref::steal(PyObject_GetAttrString(module.get(), "call_law"));
    Ref method_name = Ref::steal(PyUnicode_FromString(method));
    Ref name_tuple = Ref::steal(PyTuple_New(N));
    Ref value_tuple = Ref::steal(PyTuple_New(N));
    if (!call || !method_name || !name_tuple || !value_tuple) return nullptr;
    for (std::size_t i = 0; i < N; ++i) {
        PyObject* name = PyUnicode_FromString(names[i]);
        if (!name) return nullptr;
        PyTuple_SET_ITEM(name_tuple.get(), i, name);  // steals the new reference
        PyTuple_SET_ITEM(value_tuple.get(), i, Ref::borrow(values[i]).release());
    }
    PyObject* args[] = {self, method_name.get(), name_tuple.get(), value_tuple.get()};
    return PyObject_Vectorcall(call.get(), args, 4, nullptr);
}

}  // namespace velmora::rt
