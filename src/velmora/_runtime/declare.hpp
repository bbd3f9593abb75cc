// One declaration per callable. A callable's parameters are declared once,
// each as the member of an argument struct it fills, in order, with its
// default (as Python source) when it is optional:
//
//     struct EvolveArgs { PyObject* closure; double M_D0; ...; int n_out; ... };
//     constexpr auto evolve_decl = rt::declare<&EvolveArgs::closure, &EvolveArgs::M_D0, ...,
//                                              &EvolveArgs::n_out, ...>(
//         "evolve", {"closure", "M_D0", ..., "n_out", ...}, {nullptr, nullptr, ..., "200", ...});
//
//     EvolveArgs a;
//     if (!rt::parse(evolve_decl, args, nargs, kwnames, a)) return {};   // a.n_out is 200 when not given
//
// From the declaration come the binder's parameter list (`decl.params`, with
// the interpreter's messages for arity and keywords), the typed arguments
// (each value converted by its member's type, left to right, the first
// failure stopping the rest), the defaults (parsed from their text: numbers,
// True/False; None leaves an object member null), and the text signature of
// the docstring (signature.hpp reads `decl.params`).
//
// Member types and their conversions: double (the interpreter's float
// conversion), int (a 32-bit int through __int__), bool (truth value),
// PyObject* (the object itself, borrowed), Maybe<T> (a T, or None as "not
// given"), Float64View<1/2> (a float64 buffer view; None refused naming the
// parameter).
#pragma once

#include "args.hpp"
#include "buffer.hpp"
#include "convert.hpp"

#include <array>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace velmora::rt {

// A value that may be None: `given` says whether one came.
template <typename T>
struct Maybe {
    T value{};
    bool given = false;
};

namespace detail {

template <auto Member>
struct MemberOf;

template <typename C, typename T, T C::*M>
struct MemberOf<M> {
    using Class = C;
    using Type = T;
};

// Conversion of an interpreter value into a member of each supported type.
inline bool convert_into(PyObject* v, double& out, const char*) { return to_double(v, out); }
inline bool convert_into(PyObject* v, int& out, const char*) { return to_int(v, out); }
inline bool convert_into(PyObject* v, PyObject*& out, const char*) {
    out = v;
    return true;
}
inline bool convert_into(PyObject* v, bool& out, const char*) {
    const int truth = PyObject_IsTrue(v);
    if (truth < 0) return false;
    out = truth != 0;
    return true;
}
template <typename T>
bool convert_into(PyObject* v, Maybe<T>& out, const char* name) {
    out.given = v != Py_None;
    return !out.given || convert_into(v, out.value, name);
}
template <int D>
bool convert_into(PyObject* v, Float64View<D>& out, const char* name) {
    return acquire_argument(out, v, name);
}

// A default from its Python source text.
inline void default_from(const char* text, double& out) { out = std::strtod(text, nullptr); }
inline void default_from(const char* text, int& out) { out = static_cast<int>(std::strtol(text, nullptr, 10)); }
inline void default_from(const char* text, bool& out) { out = std::strcmp(text, "True") == 0; }
inline void default_from(const char*, PyObject*& out) { out = nullptr; }
template <typename T>
void default_from(const char* text, Maybe<T>& out) {
    out.given = std::strcmp(text, "None") != 0;
    if (out.given) default_from(text, out.value);
}

template <auto First, auto...>
inline constexpr auto first_of = First;

template <auto Member>
bool store(PyObject* v, typename MemberOf<Member>::Class& args, const char* name) {
    return convert_into(v, args.*Member, name);
}

template <auto Member>
void store_default(const char* text, typename MemberOf<Member>::Class& args) {
    if (text) default_from(text, args.*Member);
}

}  // namespace detail

template <typename A, std::size_t N>
struct Declaration {
    using Args = A;
    Params<N> params;
    std::array<bool (*)(PyObject*, A&, const char*), N> store;
    std::array<void (*)(const char*, A&), N> store_default;
};

// The declaration of a callable whose parameters fill the members `Members`
// of one struct, in that order. Parameters with a default (non-null text)
// must follow those without.
template <auto... Members>
constexpr auto declare(const char* func, std::array<const char*, sizeof...(Members)> names,
                       std::array<const char*, sizeof...(Members)> defaults = {}) {
    constexpr std::size_t N = sizeof...(Members);
    using Args = typename detail::MemberOf<detail::first_of<Members...>>::Class;
    Py_ssize_t n_required = 0;
    while (static_cast<std::size_t>(n_required) < N && !defaults[n_required]) ++n_required;
    for (std::size_t i = static_cast<std::size_t>(n_required); i < N; ++i)
        if (!defaults[i]) throw "a parameter without a default follows one with a default";
    return Declaration<Args, N>{Params<N>{func, names, n_required, defaults},
                                {&detail::store<Members>...},
                                {&detail::store_default<Members>...}};
}

namespace detail {

template <typename Args, std::size_t N>
bool convert_all(const Declaration<Args, N>& d, const std::array<PyObject*, N>& values, Args& out) {
    for (std::size_t i = 0; i < N; ++i) {
        if (values[i]) {
            if (!d.store[i](values[i], out, d.params.names[i])) return false;
        } else {
            d.store_default[i](d.params.defaults[i], out);
        }
    }
    return true;
}

}  // namespace detail

// One parameter of a list bound with `bind` (args.hpp) rather than parsed:
// the value given, converted by the type of `out`, or the parameter's default
// parsed from its text in `p.defaults`. For callables that check each
// argument before converting the next, so that the defaults shown in the
// text signature are the ones applied.
template <std::size_t N, typename T>
bool convert_or_default(const Params<N>& p, std::size_t i, PyObject* value, T& out) {
    if (value) return detail::convert_into(value, out, p.names[i]);
    detail::default_from(p.defaults[i], out);
    return true;
}

// Vectorcall form: binds and converts into `out`.
template <typename Args, std::size_t N>
bool parse(const Declaration<Args, N>& d, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Args& out) {
    std::array<PyObject*, N> values;
    return bind(d.params, args, nargs, kwnames, values) && detail::convert_all(d, values, out);
}

// Tuple/dict form (tp_new).
template <typename Args, std::size_t N>
bool parse(const Declaration<Args, N>& d, PyObject* argtuple, PyObject* kwdict, Args& out) {
    std::array<PyObject*, N> values;
    return bind(d.params, argtuple, kwdict, values) && detail::convert_all(d, values, out);
}

}  // namespace velmora::rt
