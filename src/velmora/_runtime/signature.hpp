// Text signatures. A docstring that begins with "name(a, b, c=1.0)\n--\n\n"
// gives the interpreter the callable's signature: it keeps that line out of
// __doc__ and offers it as __text_signature__, which inspect.signature reads.
// The line is built at compile time from the callable's parameter list, the
// same declaration the binder reads (args.hpp), so names, their order and the
// defaults are written once; the docstring's own text follows it unchanged.
//
//   rt::signed_method_doc<P, Doc>     a method: "name($self, /, ...)", name P.func
//   rt::signed_doc<P, Doc>            a module function, or a type with P its
//                                     constructor's parameters: "name(...)"
//   rt::signed_doc<P, Doc, Name>      the same under another name than P.func
//                                     (a type's signature must bear the class's
//                                     __name__, which its binder may not use)
//
// P is a constexpr rt::Params, Doc and Name constexpr strings (char arrays or
// pointers to string literals); all must be named objects with static
// storage. Every optional parameter needs its default in P.defaults, or the
// docstring does not compile.
#pragma once

#include "args.hpp"

#include <array>
#include <cstddef>

namespace velmora::rt {

// Who receives the call besides the parameters: a method's instance, written
// "$self" and dropped by inspect from bound methods, or nobody.
enum class Receiver { none, self };

namespace detail {

// Writes into `out` when it is given, and counts the characters either way,
// so that one routine sizes the text and then fills it.
struct TextWriter {
    char* out = nullptr;
    std::size_t n = 0;

    constexpr void put(const char* s) {
        for (; *s; ++s) {
            if (out) out[n] = *s;
            ++n;
        }
    }
};

template <std::size_t N>
constexpr std::size_t write_signed_doc(char* out, const char* name, const Params<N>& p, Receiver r,
                                       const char* doc) {
    TextWriter w{out};
    w.put(name);
    w.put("(");
    const char* sep = "";
    if (r == Receiver::self) {
        // Positional-only, as the instance is.
        w.put("$self, /");
        sep = ", ";
    }
    for (std::size_t i = 0; i < N; ++i) {
        w.put(sep);
        sep = ", ";
        w.put(p.names[i]);
        if (static_cast<Py_ssize_t>(i) >= p.n_required) {
            // Not a constant expression: the docstring fails to compile.
            if (!p.defaults[i]) throw "an optional parameter needs its default in Params::defaults";
            w.put("=");
            w.put(p.defaults[i]);
        }
    }
    w.put(")\n--\n\n");
    w.put(doc);
    return w.n;
}

template <Receiver R, const auto& P, const auto& Doc, const auto&... Name>
constexpr auto build_signed_doc() {
    static_assert(sizeof...(Name) <= 1);
    constexpr const char* name = [] {
        if constexpr (sizeof...(Name) == 0)
            return P.func;
        else
            return (static_cast<const char*>(Name), ...);
    }();
    constexpr std::size_t n = write_signed_doc(nullptr, name, P, R, Doc);
    std::array<char, n + 1> text{};
    write_signed_doc(text.data(), name, P, R, Doc);
    return text;
}

template <Receiver R, const auto& P, const auto& Doc, const auto&... Name>
inline constexpr auto signed_doc = build_signed_doc<R, P, Doc, Name...>();

}  // namespace detail

template <const auto& P, const auto& Doc>
inline constexpr const char* signed_method_doc = detail::signed_doc<Receiver::self, P, Doc>.data();

template <const auto& P, const auto& Doc, const auto&... Name>
inline constexpr const char* signed_doc = detail::signed_doc<Receiver::none, P, Doc, Name...>.data();

}  // namespace velmora::rt
