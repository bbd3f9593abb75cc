// Views on float64 buffers: one- or two-dimensional, writable, C-contiguous.
// The buffer is requested with the flags writable, format and C-contiguous
// together, then validated (dimensions, item type, item size, layout) with the
// package's buffer messages. A view holds the exporter's buffer, and through it
// a reference on the exporter, until it is released or destroyed.
#pragma once

#include "messages.hpp"

#include <cstring>
#include <utility>

namespace velmora::rt {

namespace detail {

inline const char* describe_format_char(char ch, bool is_complex) {
    switch (ch) {
        case '?': return "'bool'";
        case 'c': return "'char'";
        case 'b': return "'signed char'";
        case 'B': return "'unsigned char'";
        case 'h': return "'short'";
        case 'H': return "'unsigned short'";
        case 'i': return "'int'";
        case 'I': return "'unsigned int'";
        case 'l': return "'long'";
        case 'L': return "'unsigned long'";
        case 'q': return "'long long'";
        case 'Q': return "'unsigned long long'";
        case 'f': return is_complex ? "'complex float'" : "'float'";
        case 'd': return is_complex ? "'complex double'" : "'double'";
        case 'g': return is_complex ? "'complex long double'" : "'long double'";
        case 'T': return "a struct";
        case 'O': return "Python object";
        case 'P': return "a pointer";
        case 's':
        case 'p': return "a string";
        case 0: return "end";
        default: return "unparsable format string";
    }
}

// Checks that the buffer's format describes exactly one native double.
inline bool check_double_format(const char* fmt) {
    if (!fmt) fmt = "B";  // the buffer protocol's default: unsigned bytes
    switch (*fmt) {
        case '@': case '=': case '<': case '^':
            ++fmt;
            break;
        case '>': case '!':
            PyErr_SetString(PyExc_ValueError, msg::buffer_big_endian);
            return false;
        default:
            break;
    }
    bool is_complex = false;
    if (*fmt == 'Z') {
        is_complex = true;
        ++fmt;
    }
    if (*fmt != 'd' || is_complex) {
        PyErr_Format(PyExc_ValueError, msg::buffer_dtype, "'", "double", "'",
                     describe_format_char(*fmt, is_complex));
        return false;
    }
    ++fmt;
    if (*fmt != 0) {
        bool trailing_complex = *fmt == 'Z';
        char next = trailing_complex ? fmt[1] : *fmt;
        PyErr_Format(PyExc_ValueError, msg::buffer_dtype, "", "end", "",
                     describe_format_char(next, trailing_complex));
        return false;
    }
    return true;
}

inline bool validate_double_buffer(const Py_buffer& b, int ndim) {
    if (b.ndim != ndim) {
        PyErr_Format(PyExc_ValueError, msg::buffer_ndim, ndim, b.ndim);
        return false;
    }
    if (!check_double_format(b.format)) return false;
    if (b.itemsize != static_cast<Py_ssize_t>(sizeof(double))) {
        PyErr_Format(PyExc_ValueError, msg::buffer_itemsize, b.itemsize, b.itemsize > 1 ? "s" : "",
                     "double", static_cast<Py_ssize_t>(sizeof(double)), "s");
        return false;
    }
    // Exporters that honour the C-contiguous request never fail here; this
    // catches those that ignore it.
    if (b.len > 0 && b.strides) {
        Py_ssize_t stride = 1;
        for (int d = ndim - 1; d >= 0; --d) {
            if (stride * b.itemsize != b.strides[d] && b.shape[d] > 1) {
                PyErr_SetString(PyExc_ValueError, msg::buffer_not_c_contiguous);
                return false;
            }
            stride *= b.shape[d];
        }
    }
    return true;
}

}  // namespace detail

template <int NDIM>
class Float64View {
    static_assert(NDIM == 1 || NDIM == 2);

public:
    Float64View() noexcept { std::memset(&buf_, 0, sizeof buf_); }
    ~Float64View() { release(); }
    Float64View(const Float64View&) = delete;
    Float64View& operator=(const Float64View&) = delete;

    // Acquires a view on `obj`; false with an exception set on failure.
    bool acquire(PyObject* obj) {
        release();
        if (PyObject_GetBuffer(obj, &buf_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | PyBUF_WRITABLE) < 0) {
            std::memset(&buf_, 0, sizeof buf_);
            return false;
        }
        if (!detail::validate_double_buffer(buf_, NDIM)) {
            release();
            return false;
        }
        data_ = static_cast<char*>(buf_.buf);
        shape0_ = buf_.shape ? buf_.shape[0] : buf_.len / static_cast<Py_ssize_t>(sizeof(double));
        if constexpr (NDIM == 2) {
            shape1_ = buf_.shape[1];
            row_stride_ = buf_.strides ? buf_.strides[0] : shape1_ * static_cast<Py_ssize_t>(sizeof(double));
        }
        return true;
    }

    void release() noexcept {
        if (buf_.obj) {
            park_if_shut_out();
            PyBuffer_Release(&buf_);
        }
        std::memset(&buf_, 0, sizeof buf_);
        data_ = nullptr;
        shape0_ = shape1_ = row_stride_ = 0;
    }

    bool held() const noexcept { return buf_.obj != nullptr; }
    PyObject* exporter() const noexcept { return buf_.obj; }
    Py_ssize_t size() const noexcept { return shape0_; }
    Py_ssize_t rows() const noexcept { return shape0_; }
    Py_ssize_t cols() const noexcept { return shape1_; }

    double* data() const noexcept { return reinterpret_cast<double*>(data_); }
    double operator[](Py_ssize_t i) const noexcept { return data()[i]; }
    double& operator[](Py_ssize_t i) noexcept { return data()[i]; }
    // Element (i, j) of a table: rows by the exporter's row stride, columns
    // as consecutive items.
    double at(Py_ssize_t i, Py_ssize_t j) const noexcept { return row(i)[j]; }
    // Row i of a table, its columns as consecutive items.
    const double* row(Py_ssize_t i) const noexcept {
        return reinterpret_cast<const double*>(data_ + i * row_stride_);
    }

private:
    Py_buffer buf_;
    char* data_ = nullptr;
    Py_ssize_t shape0_ = 0;
    Py_ssize_t shape1_ = 0;
    Py_ssize_t row_stride_ = 0;
};

using Vec = Float64View<1>;
using Table = Float64View<2>;

// A view on the argument `name`: None is refused naming the parameter, any
// other object must export a float64 buffer the view accepts.
template <int NDIM>
bool acquire_argument(Float64View<NDIM>& view, PyObject* obj, const char* name) {
    if (obj == Py_None) {
        raise_argument_none(name);
        return false;
    }
    return view.acquire(obj);
}

}  // namespace velmora::rt
