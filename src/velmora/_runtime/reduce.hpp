// Pickling of immutable value objects by replaying their construction:
// `__reduce__` returns (type(self), constructor arguments), followed by the
// instance dict when an interpreter-level subclass gave the object one.
#pragma once

#include "ref.hpp"

namespace velmora::rt {

// The dict travels as it is (the pickler's default restores it), or as the
// one-element tuple that the opacity-law base types' __setstate__ expects.
enum class DictState { plain, in_tuple };

// `args` is the tuple of constructor arguments (a new reference); returns the
// reduce tuple, or an empty Ref with an exception set.
inline Ref reduce_by_constructor(PyObject* self, Ref args, DictState form = DictState::plain) {
    if (!args) return {};
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
    PyObject* found = nullptr;
    if (PyObject_GetOptionalAttrString(self, "__dict__", &found) < 0) return {};
    Ref dict = Ref::steal(found);
    if (dict && PyDict_Check(dict.get()) && PyDict_GET_SIZE(dict.get()) > 0) {
        Ref state = form == DictState::in_tuple ? Ref::steal(PyTuple_Pack(1, dict.get())) : dict;
        if (!state) return {};
        return Ref::steal(PyTuple_Pack(3, type, args.get(), state.get()));
    }
    return Ref::steal(PyTuple_Pack(2, type, args.get()));
}

}  // namespace velmora::rt
