// Numbers formatted as the interpreter formats them (format(x, spec)), for
// messages that must read exactly as interpreter code would print them,
// infinities and NaN included.
#pragma once

#include "ref.hpp"

namespace velmora::rt {

// format(float(v), spec) as a new str; empty Ref with an exception on failure.
// The caller holds the interpreter lock.
inline Ref format_double(double v, const char* spec) {
    Ref number = Ref::steal(PyFloat_FromDouble(v));
    if (!number) return {};
    Ref spec_text = Ref::steal(PyUnicode_FromString(spec));
    if (!spec_text) return {};
    return Ref::steal(PyObject_Format(number.get(), spec_text.get()));
}

}  // namespace velmora::rt
