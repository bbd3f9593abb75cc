// Validation of physical input: predicates over doubles and the ValueError
// that names the function, the parameter, the requirement and the value.
// The raise helper takes the interpreter lock itself, so kernels running
// without it can call it directly.
#pragma once

#include "convert.hpp"
#include "errors.hpp"
#include "messages.hpp"

#include <cmath>
#include <initializer_list>

namespace velmora::rt {

// NaN fails both tests, as does an infinity.
inline bool positive_finite(double x) noexcept { return x > 0.0 && std::isfinite(x); }
inline bool non_negative_finite(double x) noexcept { return x >= 0.0 && std::isfinite(x); }
// Kernels that let a NaN run through to a NaN result refuse only values that
// compare as out of range.
inline bool positive_or_nan(double x) noexcept { return !(x <= 0.0); }
inline bool non_negative_or_nan(double x) noexcept { return !(x < 0.0); }

// ValueError "<func>(): <name> must be <requirement>, got <repr(value)>".
inline void raise_invalid_value(const char* func, const char* name, const char* requirement,
                                double value) noexcept {
    GilGuard gil;
    Ref v = new_float(value);
    if (!v) return;
    PyErr_Format(PyExc_ValueError, msg::invalid_parameter, func, name, requirement, v.get());
}

// ZeroDivisionError "float division" for an exactly zero divisor (a NaN is
// not zero and goes on to the division).
inline bool nonzero_divisor(double d) noexcept {
    if (d != 0.0) return true;
    raise_locked(PyExc_ZeroDivisionError, msg::float_division);
    return false;
}

struct NamedValue {
    const char* name;
    double value;
};

// Raises for the first value that fails `ok`, in the order given; returns
// whether all passed.
template <typename Pred>
bool require(const char* func, const char* requirement, Pred ok,
             std::initializer_list<NamedValue> values) noexcept {
    for (const NamedValue& v : values) {
        if (!ok(v.value)) {
            raise_invalid_value(func, v.name, requirement, v.value);
            return false;
        }
    }
    return true;
}

}  // namespace velmora::rt
