// Argument binding for a fixed parameter list: positional arguments first,
// then keywords by parameter name, with the interpreter's standard messages.
// Works on both calling conventions: vectorcall (args, nargs, kwnames) and
// tuple/dict (tp_new, tp_init).
#pragma once

#include "messages.hpp"

#include <array>
#include <cstddef>

namespace velmora::rt {

// A parameter list of N names; the first n_required have no default. Names
// are interned on first use and kept for the process. A parameter list is the
// one declaration of a callable's parameters: the binder reads it, and so
// does the text signature of its docstring (signature.hpp), which shows each
// optional parameter with its default as written in `defaults`.
template <std::size_t N>
struct Params {
    const char* func;                  // name shown in messages
    std::array<const char*, N> names;  // parameter names, in order
    Py_ssize_t n_required = N;
    std::array<const char*, N> defaults{};  // default of each optional parameter, as Python source

    PyObject* name(std::size_t i) const {
        if (!interned[i]) interned[i] = PyUnicode_InternFromString(names[i]);
        return interned[i];
    }

    mutable std::array<PyObject*, N> interned{};
};

namespace detail {

// Keyword arguments seen uniformly: a kwnames tuple with its values, or a dict.
struct Keywords {
    PyObject* names = nullptr;          // tuple (vectorcall) or nullptr
    PyObject* const* values = nullptr;  // values of the tuple form
    PyObject* dict = nullptr;           // dict form

    Py_ssize_t count() const {
        if (names) return PyTuple_GET_SIZE(names);
        if (dict) return PyDict_GET_SIZE(dict);
        return 0;
    }

    // Borrowed value for `key`, or nullptr (with an exception on error).
    PyObject* lookup(PyObject* key) const {
        if (names) {
            Py_ssize_t n = PyTuple_GET_SIZE(names);
            for (Py_ssize_t i = 0; i < n; ++i)
                if (PyTuple_GET_ITEM(names, i) == key) return values[i];
            for (Py_ssize_t i = 0; i < n; ++i) {
                PyObject* k = PyTuple_GET_ITEM(names, i);
                if (PyUnicode_Check(k) && PyUnicode_Compare(k, key) == 0) return values[i];
            }
            return nullptr;
        }
        return PyDict_GetItemWithError(dict, key);
    }

    // Iterates the keywords in call order; returns false at the end.
    bool next(Py_ssize_t& pos, PyObject*& key, PyObject*& value) const {
        if (names) {
            if (pos >= PyTuple_GET_SIZE(names)) return false;
            key = PyTuple_GET_ITEM(names, pos);
            value = values[pos];
            ++pos;
            return true;
        }
        return PyDict_Next(dict, &pos, &key, &value) != 0;
    }
};

inline bool same_name(PyObject* a, PyObject* b) {
    return a == b || (PyUnicode_GET_LENGTH(a) == PyUnicode_GET_LENGTH(b) && PyUnicode_Compare(a, b) == 0);
}

// The keywords left after the parameters looked up by name: each must name a
// parameter at or after the first one not given by position.
template <std::size_t N>
bool check_remaining_keywords(const Params<N>& p, const Keywords& kw, Py_ssize_t nargs,
                              std::array<PyObject*, N>& out) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (kw.next(pos, key, value)) {
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, msg::keywords_must_be_strings, p.func);
            return false;
        }
        bool matched = false;
        for (std::size_t i = static_cast<std::size_t>(nargs); i < N; ++i) {
            if (same_name(p.name(i), key)) {
                out[i] = value;
                matched = true;
                break;
            }
        }
        if (matched) continue;
        for (std::size_t i = 0; i < static_cast<std::size_t>(nargs); ++i) {
            if (same_name(p.name(i), key)) {
                PyErr_Format(PyExc_TypeError, msg::multiple_values, p.func, key);
                return false;
            }
        }
        PyErr_Format(PyExc_TypeError, msg::unexpected_keyword, p.func, key);
        return false;
    }
    return true;
}

template <std::size_t N>
bool bind_core(const Params<N>& p, PyObject* const* args, Py_ssize_t nargs, const Keywords& kw,
               std::array<PyObject*, N>& out) {
    const bool exact = p.n_required == static_cast<Py_ssize_t>(N);
    out.fill(nullptr);
    if (nargs > static_cast<Py_ssize_t>(N)) {
        raise_arity(p.func, exact, p.n_required, N, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    Py_ssize_t kw_left = kw.count();
    if (kw_left == 0) {
        if (nargs < p.n_required) {
            raise_arity(p.func, exact, p.n_required, N, nargs);
            return false;
        }
        return true;
    }
    for (Py_ssize_t i = nargs; i < static_cast<Py_ssize_t>(N); ++i) {
        const bool required = i < p.n_required;
        if (!required && kw_left <= 0) break;
        PyObject* v = kw.lookup(p.name(i));
        if (v) {
            out[i] = v;
            --kw_left;
        } else if (PyErr_Occurred()) {
            return false;
        } else if (required) {
            raise_arity(p.func, exact, p.n_required, N, i);
            return false;
        }
    }
    if (kw_left > 0) return check_remaining_keywords(p, kw, nargs, out);
    return true;
}

}  // namespace detail

// Vectorcall form (METH_FASTCALL | METH_KEYWORDS). `out` receives borrowed
// references; parameters without a value stay nullptr (their defaults apply).
template <std::size_t N>
bool bind(const Params<N>& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          std::array<PyObject*, N>& out) {
    detail::Keywords kw;
    if (kwnames && PyTuple_GET_SIZE(kwnames) > 0) {
        kw.names = kwnames;
        kw.values = args + nargs;
    }
    return detail::bind_core(p, args, nargs, kw, out);
}

// Tuple/dict form (tp_new, tp_init).
template <std::size_t N>
bool bind(const Params<N>& p, PyObject* argtuple, PyObject* kwdict, std::array<PyObject*, N>& out) {
    detail::Keywords kw;
    if (kwdict && PyDict_GET_SIZE(kwdict) > 0) kw.dict = kwdict;
    return detail::bind_core(p, reinterpret_cast<PyTupleObject*>(argtuple)->ob_item,
                             PyTuple_GET_SIZE(argtuple), kw, out);
}

}  // namespace velmora::rt
