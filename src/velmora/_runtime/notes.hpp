// Notes on a pending exception (BaseException.add_note), so that a driver can
// say where in its work a failure happened without replacing the error.
#pragma once

#include "ref.hpp"

namespace velmora::rt {

// Adds the note that `make()` returns (a str, as a Ref) to the pending
// exception. The note is made with the exception set aside, so building it
// may call into the interpreter. The caller holds the interpreter lock.
// Should making or adding the note fail, the original exception stays pending
// unchanged.
template <typename MakeNote>
void add_note(MakeNote make) noexcept {
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc) return;
    Ref note = make();
    if (note) Ref r = Ref::steal(PyObject_CallMethod(exc, "add_note", "O", note.get()));
    PyErr_Clear();
    PyErr_SetRaisedException(exc);
}

}  // namespace velmora::rt
