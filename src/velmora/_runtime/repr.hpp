// Reprs of value objects written as the call that builds them,
// "Name(a=1.0, b=2.0)", with the object's own type name (an interpreter-level
// subclass shows its name) and each value as repr() shows it.
#pragma once

#include "ref.hpp"

#include <array>
#include <cstddef>

namespace velmora::rt {

// A new str, or nullptr with an exception set.
template <std::size_t N>
PyObject* keyword_repr(PyObject* self, const std::array<const char*, N>& names,
                       const std::array<double, N>& values) {
    Ref parts = Ref::steal(PyList_New(0));
    if (!parts) return nullptr;
    for (std::size_t i = 0; i < N; ++i) {
        Ref value = Ref::steal(PyFloat_FromDouble(values[i]));
        if (!value) return nullptr;
        Ref part = Ref::steal(PyUnicode_FromFormat("%s=%R", names[i], value.get()));
        if (!part || PyList_Append(parts.get(), part.get()) < 0) return nullptr;
    }
    Ref sep = Ref::steal(PyUnicode_FromString(", "));
    if (!sep) return nullptr;
    Ref joined = Ref::steal(PyUnicode_Join(sep.get(), parts.get()));
    if (!joined) return nullptr;
    Ref type_name = Ref::steal(PyType_GetName(Py_TYPE(self)));
    if (!type_name) return nullptr;
    return PyUnicode_FromFormat("%U(%U)", type_name.get(), joined.get());
}

}  // namespace velmora::rt
