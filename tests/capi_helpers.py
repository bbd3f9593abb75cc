"""Shared helpers for reaching the C-level interfaces from the tests.

Capsule addresses come from ``__c_api__`` and ``__c_vtable__``; records are
``ctypes.Structure``s. A ``PYFUNCTYPE`` prototype calls with the interpreter
lock held (and raises what is left pending); a ``CFUNCTYPE`` prototype
releases the lock for the call, which shows that a kernel runs without it.
A CFUNCTYPE call that leaves an exception pending surfaces as SystemError
("returned a result with an exception set") whose __cause__ is the pending
exception.
"""

import ctypes
import traceback

_get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
_get_pointer.restype = ctypes.c_void_p
_get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]

_get_name = ctypes.pythonapi.PyCapsule_GetName
_get_name.restype = ctypes.c_char_p
_get_name.argtypes = [ctypes.py_object]

def capsule_name(capsule):
    name = _get_name(capsule)
    return None if name is None else name.decode()


def capsule_pointer(capsule):
    """Address held by a capsule, whatever its name."""
    return _get_pointer(capsule, _get_name(capsule))


def vtable_address(cls):
    return capsule_pointer(cls.__dict__["__c_vtable__"])


def table_pointer(obj):
    """The operation-table pointer stored in an object after its header."""
    return ctypes.c_void_p.from_address(id(obj) + object.__basicsize__).value


def slot(table_address, index, prototype):
    """Function at slot `index` of an operation table, as `prototype`."""
    address = ctypes.c_void_p.from_address(table_address + index * ctypes.sizeof(ctypes.c_void_p)).value
    return prototype(address)


def c_api(module, name, prototype=None):
    capsule = module.__c_api__[name]
    address = capsule_pointer(capsule)
    return address if prototype is None else prototype(address)


def frame_names(exc):
    """Function names of an exception's traceback entries, outermost first,
    without the test's own frame."""
    return [f.name for f in traceback.extract_tb(exc.__traceback__)][1:]
