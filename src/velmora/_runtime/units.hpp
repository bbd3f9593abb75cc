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
#include <cstring>
#include <span>

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
    PyObject* found_unit = nullptr;
    const int found = PyObject_GetOptionalAttrString(reinterpret_cast<PyObject*>(type), "unit", &found_unit);
    const Ref unit = Ref::steal(found_unit);  // only whether there is one matters
    return found;
}

// The first nonzero carries_unit of `values`.
inline int any_carries_unit(std::span<PyObject* const> values) {
    for (PyObject* v : values)
        if (const int r = carries_unit(v)) return r;
    return 0;
}

namespace detail {
// A function of velmora._quantities, the interpreter-level converter.
inline Ref quantities_function(const char* name) {
    Ref module = Ref::steal(PyImport_ImportModule("velmora._quantities"));
    return module ? Ref::steal(PyObject_GetAttrString(module.get(), name)) : Ref();
}
}  // namespace detail

// velmora._quantities.call_law(self, method, names, values): the method called
// again with its arguments converted to the units the names document.
template <std::size_t N>
PyObject* call_with_units(PyObject* self, const char* method, const std::array<const char*, N>& names,
                          const std::array<PyObject*, N>& values) {
    Ref call = detail::quantities_function("call_law");
    if (!call) return nullptr;
    Ref method_name = Ref::steal(PyUnicode_FromString(method));
    Ref name_tuple = Ref::steal(PyTuple_New(N));
    Ref value_tuple = Ref::steal(PyTuple_New(N));
    if (!method_name || !name_tuple || !value_tuple) return nullptr;
    for (std::size_t i = 0; i < N; ++i) {
        PyObject* name = PyUnicode_FromString(names[i]);
        if (!name) return nullptr;
        PyTuple_SET_ITEM(name_tuple.get(), i, name);  // steals the new reference
        PyTuple_SET_ITEM(value_tuple.get(), i, Ref::borrow(values[i]).release());
    }
    PyObject* args[] = {self, method_name.get(), name_tuple.get(), value_tuple.get()};
    return PyObject_Vectorcall(call.get(), args, 4, nullptr);
}

// A module function of the interpreter's fast calling convention that takes
// cgs numbers (the disk framework's drivers): when an argument carries a unit,
// velmora._quantities.call_converted(func, args, kwargs) converts the
// arguments its table names and calls the function again with plain values;
// otherwise Body runs as it is. The function is the module's attribute named
// by the last component of Qualname.
template <Ref (*Body)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*), const auto& Qualname>
Ref converting_units(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    const int units = any_carries_unit({args, static_cast<std::size_t>(nargs + nkw)});
    if (units < 0) return Ref();
    if (!units) return Body(module, args, nargs, kwnames);

    const char* dot = std::strrchr(Qualname, '.');
    Ref func = Ref::steal(PyObject_GetAttrString(module, dot ? dot + 1 : Qualname));
    Ref call = detail::quantities_function("call_converted");
    Ref positional = Ref::steal(PyTuple_New(nargs));
    Ref keywords = Ref::steal(PyDict_New());
    if (!func || !call || !positional || !keywords) return Ref();
    for (Py_ssize_t i = 0; i < nargs; ++i)
        PyTuple_SET_ITEM(positional.get(), i, Ref::borrow(args[i]).release());  // steals the new reference
    for (Py_ssize_t i = 0; i < nkw; ++i)
        if (PyDict_SetItem(keywords.get(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) < 0) return Ref();
    PyObject* call_args[] = {func.get(), positional.get(), keywords.get()};
    return Ref::steal(PyObject_Vectorcall(call.get(), call_args, 3, nullptr));
}

}  // namespace velmora::rt
