// Arrays that an object holds through buffer views, handed back to
// interpreter code without a copy and without a way to write through them:
// a read-only NumPy array over the same memory. The array keeps the exporter
// alive; writes made through the exporter itself stay visible in it.
#pragma once

#include "capi.hpp"

namespace velmora::rt {

namespace detail {
inline Ref leading_slice(Py_ssize_t n) {
    Ref stop = Ref::steal(PyLong_FromSsize_t(n));
    return stop ? Ref::steal(PySlice_New(nullptr, stop.get(), nullptr)) : Ref();
}
}  // namespace detail

// numpy.asarray over a read-only memoryview of `exporter`, cut to its leading
// `rows` elements, or for a table (cols >= 0) to its leading rows x cols
// block. Empty Ref with an exception set on failure; the lock is held.
inline Ref readonly_array(PyObject* exporter, Py_ssize_t rows, Py_ssize_t cols = -1) {
    Ref view = Ref::steal(PyMemoryView_FromObject(exporter));
    if (!view) return {};
    Ref frozen = Ref::steal(PyObject_CallMethod(view.get(), "toreadonly", nullptr));
    if (!frozen) return {};
    Ref np = import_module("numpy");
    if (!np) return {};
    Ref array = Ref::steal(PyObject_CallMethod(np.get(), "asarray", "O", frozen.get()));
    if (!array) return {};
    Ref key = detail::leading_slice(rows);
    if (key && cols >= 0) {
        Ref col_key = detail::leading_slice(cols);
        key = col_key ? Ref::steal(PyTuple_Pack(2, key.get(), col_key.get())) : Ref();
    }
    if (!key) return {};
    return Ref::steal(PyObject_GetItem(array.get(), key.get()));
}

}  // namespace velmora::rt
