// Notes and attributes on a pending exception (BaseException.add_note), so
// that a driver can say where in its work a failure happened, and hand over
// what it had done, without replacing the error.
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
    ErrorScope held;
    if (!held.exception()) return;
    Ref note = make();
    if (note) Ref r = Ref::steal(PyObject_CallMethod(held.exception(), "add_note", "O", note.get()));
}

// Sets the attribute `name` of the pending exception to what `make()` returns
// (a Ref), so that a driver can hand partial results over with the error.
// Same conditions as add_note: the lock is held, and should making or
// setting the value fail, the original exception stays pending unchanged.
template <typename MakeValue>
void attach_to_exception(const char* name, MakeValue make) noexcept {
    ErrorScope held;
    if (!held.exception()) return;
    Ref value = make();
    if (value) PyObject_SetAttrString(held.exception(), name, value.get());
}

}  // namespace velmora::rt
