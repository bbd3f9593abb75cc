// Static extension types. Each module is initialised once per process and in
// one interpreter, so its types can be static objects whose slots are filled
// at initialisation (tp_base from an imported base, if any) before
// PyType_Ready.
#pragma once

#include "ref.hpp"

namespace velmora::rt {

// A zeroed type object with its header, name and instance size set.
inline PyTypeObject static_type(const char* name, Py_ssize_t basicsize) {
    PyTypeObject t{};
    const PyVarObject heads[] = {PyVarObject_HEAD_INIT(nullptr, 0)};
    t.ob_base = heads[0];
    t.tp_name = name;
    t.tp_basicsize = basicsize;
    return t;
}

}  // namespace velmora::rt
