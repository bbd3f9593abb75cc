// Object fields of extension types that hold strong references: stores that
// release the old value only after the new one is in place, so that whatever
// the release triggers (a destructor, a collection) sees a consistent object.
#pragma once

#include "ref.hpp"

#include <utility>

namespace velmora::rt {

// Stores a new strong reference to `value` in `field`, releasing the old one.
inline void set_field(PyObject*& field, PyObject* value) noexcept {
    Ref old = Ref::steal(std::exchange(field, Ref::borrow(value).release()));
}

// Empties `field` (for deallocation), releasing what it held.
inline void clear_field(PyObject*& field) noexcept {
    Ref old = Ref::steal(std::exchange(field, nullptr));
}

}  // namespace velmora::rt
