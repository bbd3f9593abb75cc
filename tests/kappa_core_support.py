"""Test doubles for the opacity-law base types.

- `install_table(obj, base, **slots)`: gives one object an operation table of
  its own (a copy of the base type's table with some slots replaced), which is
  what a compiled subclass does; `grey_law()` and `freq_law()` use it to stand
  in for concrete laws whose ln kappa is a known linear function of the logs.
- `float_slot()`: the address of `PyFloat_AsDouble`, usable as a slot on an
  object whose `__float__` decides the result. It reads only the object (the
  double arguments sit in other registers) and raises whatever `__float__`
  raises, so a slot can be made to fail at a chosen element. Needs the lock.
- `exporter(...)`: an object whose buffer is described by hand, for layouts
  that NumPy never exports (wrong item size, a format-less buffer, a
  non-contiguous buffer handed out although C-contiguity was requested,
  absurd lengths). It records the flags of every request.
"""

import ctypes
import platform

import capi_helpers
import velmora.radiation.opacity.kappa_core as kc

P = ctypes.c_void_p
D = ctypes.c_double
S = ctypes.c_ssize_t

GREY_SLOT = ctypes.CFUNCTYPE(D, P, D, D)
FREQ_SLOT = ctypes.CFUNCTYPE(D, P, D, D, D)
GREY_SLOTS = ("_opacity", "_log_opacity", "_dlogkappa_dlogrho", "_dlogkappa_dlogT")
FREQ_SLOTS = GREY_SLOTS + ("_dlogkappa_dlognu",)

# PyFloat_AsDouble as a slot relies on the C calling convention passing the
# pointer and the doubles in separate register files.
FLOAT_SLOT_OK = platform.machine().lower() in ("x86_64", "amd64", "aarch64", "arm64")

Q = "velmora.radiation.opacity.kappa_core."  # prefix of the traceback entries


def raised(fn, *args, **kwargs):
    """The exception that fn(*args, **kwargs) raises."""
    try:
        fn(*args, **kwargs)
    except BaseException as e:
        return e
    raise AssertionError(f"{fn!r} raised nothing")


def unimplemented(base, op, name=None):
    """Text of the NotImplementedError of slot `op` for a type named `name`."""
    args = "(log_nu, log_T, log_rho)." if issubclass(base, kc.C_KappaCore) else "(log_T, log_rho)."
    return f"{base.__name__ if name is None else name} must implement {op}{args}"


_keep = []  # tables and callbacks live as long as the process, like real ones


def table_entries(cls, n):
    base = capi_helpers.vtable_address(cls)
    return [P.from_address(base + i * ctypes.sizeof(P)).value for i in range(n)]


def install_table(obj, base, **slots):
    """Points `obj` at a copy of the table of `base` with `slots` replaced; each
    value is a Python callable (wrapped as a C callback) or an address."""
    names = FREQ_SLOTS if issubclass(base, kc.C_KappaCore) else GREY_SLOTS
    entries = table_entries(base, len(names))
    proto = FREQ_SLOT if names is FREQ_SLOTS else GREY_SLOT
    for name, impl in slots.items():
        if not isinstance(impl, int):
            impl = proto(impl)
            _keep.append(impl)
            impl = ctypes.cast(impl, P).value
        entries[names.index(name)] = impl
    table = (P * len(names))(*entries)
    _keep.append(table)
    P.from_address(id(obj) + object.__basicsize__).value = ctypes.addressof(table)
    return obj


def float_slot():
    return ctypes.cast(ctypes.pythonapi.PyFloat_AsDouble, P).value


def grey_ln_kappa(log_T, log_rho):
    return 1.5 * log_T - 0.25 * log_rho + 0.125


def freq_ln_kappa(log_nu, log_T, log_rho):
    return -2.0 * log_nu + log_T + 0.5 * log_rho


def _law(base, ln_kappa, name):
    seen = []

    def slot(self, *logs):
        seen.append(logs)
        return ln_kappa(*logs)

    law = type(name, (base,), {})()
    return install_table(law, base, _log_opacity=slot), seen


def grey_law(name="Law"):
    """A grey law implementing slot 1 only; `seen` records its arguments."""
    return _law(kc.C_GreyKappaCore, grey_ln_kappa, name)


def freq_law(name="FreqLaw"):
    return _law(kc.C_KappaCore, freq_ln_kappa, name)


def float_law(base, values, fail_at=None):
    """A law whose slot 1 is PyFloat_AsDouble of the object itself."""
    law = type("FloatLaw", (FloatDriven, base), {})().setup(values, fail_at)
    return install_table(law, base, _log_opacity=float_slot())


class FloatDriven:
    """Mixin: `__float__` hands out `values` in turn and raises at `fail_at`."""

    def setup(self, values, fail_at=None):
        self.values = list(values)
        self.fail_at = fail_at
        self.calls = 0
        return self

    def __float__(self):
        i = self.calls
        self.calls += 1
        if i == self.fail_at:
            raise ArithmeticError(f"element {i}")
        return self.values[i]


# --- hand-described buffers -------------------------------------------------

PyBUF_WRITABLE, PyBUF_FORMAT, PyBUF_C_CONTIGUOUS = 0x1, 0x4, 0x38


class Py_buffer(ctypes.Structure):
    _fields_ = [("buf", P), ("obj", P), ("len", S), ("itemsize", S), ("readonly", ctypes.c_int),
                ("ndim", ctypes.c_int), ("format", ctypes.c_char_p), ("shape", P), ("strides", P),
                ("suboffsets", P), ("internal", P)]


class _Slot(ctypes.Structure):
    _fields_ = [("slot", ctypes.c_int), ("pfunc", P)]


class _TypeDef(ctypes.Structure):  # the interpreter's description of a new type
    _fields_ = [("name", ctypes.c_char_p), ("basicsize", ctypes.c_int), ("itemsize", ctypes.c_int),
                ("flags", ctypes.c_uint), ("slots", ctypes.POINTER(_Slot))]


_layouts = {}
requests = []  # flags of every buffer request, in order
_GETBUF = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object, ctypes.POINTER(Py_buffer), ctypes.c_int)


def _getbuffer(obj, view, flags):
    lay = _layouts[id(obj)]
    requests.append(flags)
    v = view.contents
    ctypes.pythonapi.Py_IncRef(ctypes.py_object(obj))  # the view owns a reference
    v.buf, v.obj, v.len, v.itemsize = ctypes.addressof(lay["data"]), id(obj), lay["len"], lay["itemsize"]
    v.readonly, v.ndim, v.format = 0, 1, lay["format"]
    v.shape, v.strides = ctypes.addressof(lay["shape"]), ctypes.addressof(lay["strides"])
    v.suboffsets = v.internal = None
    return 0


_getbuffer_cb = _GETBUF(_getbuffer)
_slots = (_Slot * 2)(_Slot(1, ctypes.cast(_getbuffer_cb, P).value), _Slot(0, None))  # 1: Py_bf_getbuffer
_type_def = _TypeDef(b"kappa_core_support.Exporter", 0, 0, 0, _slots)
_new_type = ctypes.pythonapi.PyType_FromSpec
_new_type.restype, _new_type.argtypes = ctypes.py_object, [ctypes.POINTER(_TypeDef)]
Exporter = _new_type(ctypes.byref(_type_def))


def exporter(values, *, shape=None, itemsize=8, stride=None, fmt=b"d"):
    """A 1-D buffer over `values` (doubles) with the given description."""
    data = (D * max(len(values), 1))(*values)
    n = len(values) if shape is None else shape
    obj = Exporter()
    _layouts[id(obj)] = dict(data=data, len=n * itemsize, itemsize=itemsize, format=fmt,
                             shape=S(n), strides=S(itemsize if stride is None else stride))
    return obj
