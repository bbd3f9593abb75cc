"""Buffer views of the runtime layer, as the _array methods of kappa_core show
them, on exporters that describe their memory by hand (layouts NumPy never
hands out)."""

import sys

import pytest

import kappa_core_support as sup
import velmora.radiation.opacity.kappa_core as kc
from capi_helpers import frame_names

Grey = kc.C_GreyKappaCore
REQUEST = sup.PyBUF_C_CONTIGUOUS | sup.PyBUF_FORMAT | sup.PyBUF_WRITABLE


def evaluate(buffer):
    law, seen = sup.grey_law()
    return law.log_opacity_array(buffer, buffer), seen


def test_buffers_are_requested_writable_formatted_and_c_contiguous():
    del sup.requests[:]
    out, seen = evaluate(sup.exporter([1.0, 2.0]))
    assert sup.requests == [REQUEST, REQUEST]
    assert out.tolist() == [sup.grey_ln_kappa(1.0, 1.0), sup.grey_ln_kappa(2.0, 2.0)]


@pytest.mark.parametrize("fmt", [b"d", b"@d", b"=d", b"<d"] if sys.byteorder == "little" else [b"d", b"@d"])
def test_native_double_formats_are_accepted(fmt):
    out, _ = evaluate(sup.exporter([0.5], fmt=fmt))
    assert out.tolist() == [sup.grey_ln_kappa(0.5, 0.5)]


@pytest.mark.parametrize("kwargs, text", [
    (dict(fmt=None), "Buffer dtype mismatch, expected 'double' but got 'unsigned char'"),
    (dict(fmt=b"f"), "Buffer dtype mismatch, expected 'double' but got 'float'"),
    (dict(fmt=b"Zd"), "Buffer dtype mismatch, expected 'double' but got 'complex double'"),
    (dict(itemsize=4, stride=4), "Item size of buffer (4 bytes) does not match size of 'double' (8 bytes)"),
    (dict(itemsize=1, stride=1), "Item size of buffer (1 byte) does not match size of 'double' (8 bytes)"),
])
def test_layouts_refused_with_the_buffer_messages(kwargs, text):
    e = pytest.raises(ValueError, evaluate, sup.exporter([1.0, 2.0, 3.0], **kwargs)).value
    assert str(e) == text
    assert frame_names(e)[-1] == "velmora.radiation.opacity.kappa_core.C_GreyKappaCore.log_opacity_array"


def test_exporter_ignoring_the_contiguity_request():
    e = pytest.raises(ValueError, evaluate, sup.exporter([1.0, 2.0, 3.0, 4.0], shape=2, stride=16)).value
    assert str(e) == "Buffer not C contiguous."


def test_exporter_ignoring_the_contiguity_request_is_refused_unread():
    with pytest.raises(ValueError):
        evaluate(sup.exporter([1.0, 2.0, 3.0, 4.0], shape=2, stride=16))


@pytest.mark.parametrize("kwargs", [dict(fmt=None), dict(itemsize=4, stride=4), dict(shape=2, stride=16), {}])
def test_views_are_released_whatever_the_outcome(kwargs):
    buffer = sup.exporter([1.0, 2.0, 3.0, 4.0], **kwargs)
    before = sys.getrefcount(buffer)
    try:
        evaluate(buffer)
    except ValueError:
        pass
    assert sys.getrefcount(buffer) == before
