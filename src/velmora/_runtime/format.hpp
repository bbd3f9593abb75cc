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

namespace velmora::rt {

// fmt % args with the interpreter's printf-style formatting (%g, %d, %s as
// interpreter code prints them); `args` is a tuple. Empty Ref with an
// exception on failure. The caller holds the interpreter lock.
inline Ref percent_format(const char* fmt, PyObject* args) {
    if (!args) return {};
    Ref format = Ref::steal(PyUnicode_FromString(fmt));
    if (!format) return {};
    return Ref::steal(PyUnicode_Format(format.get(), args));
}

}  // namespace velmora::rt
