"""Construction, module surface, pickling refusal and subclassing of the table
opacity laws."""

import copy
import pickle
import subprocess
import sys
import types

import numpy as np
import pytest

from capi_helpers import frame_names
from grid_tables_reference import LAWS, Reference, logs_for, outcome, random_table, same
from velmora.radiation.opacity import kappa_core
from velmora.radiation.opacity.grey_opacity import _tops_grid
from velmora.radiation.opacity.grey_opacity.rosseland import _opal_grid

G1, G2, LK = random_table(11, n1=4, n2=5, holes=0.0)


@pytest.fixture(params=list(LAWS))
def law(request):
    return LAWS[request.param]


def raises(law, exc, *args, **kwargs):
    with pytest.raises(exc) as e:
        law["cls"](*args, **kwargs)
    assert frame_names(e.value) == [law["prefix"] + ".__cinit__"]
    return str(e.value)


def test_arity_and_keywords(law):
    assert raises(law, TypeError, G1, G2, LK) == "__cinit__() takes exactly 4 positional arguments (3 given)"
    assert raises(law, TypeError, G1, G2, LK, 0, 1) == "__cinit__() takes exactly 4 positional arguments (5 given)"
    assert raises(law, TypeError, G1, G2, LK, 0, g1=G1) == "__cinit__() got multiple values for keyword argument 'g1'"
    assert raises(law, TypeError, G1, G2, LK, 0, x=1) == "__cinit__() got an unexpected keyword argument 'x'"
    obj = law["cls"](oob=1, lk=LK, g2=G2, g1=G1)
    assert obj.log_opacity(1e3, 1e3) == Reference(law, G1, G2, LK, 1).log_opacity(1e3, 1e3)


@pytest.mark.parametrize("args, exc, text", [
    ((G1.astype(np.float32), G2, LK, 0), ValueError, "Buffer dtype mismatch, expected 'double' but got 'float'"),
    ((G1[:, None], G2, LK, 0), ValueError, "Buffer has wrong number of dimensions (expected 1, got 2)"),
    ((G1, G2, LK[0], 0), ValueError, "Buffer has wrong number of dimensions (expected 2, got 1)"),
    ((G1, list(G2), LK, 0), TypeError, None),
    ((None, G2, LK, 0), TypeError, "Argument 'g1' must not be None"),
    ((G1, G2, None, 0), TypeError, "Argument 'lk' must not be None"),
    ((G1, G2, LK, None), TypeError, "an integer is required"),
    ((G1, G2, LK, "0"), TypeError, "an integer is required"),
    ((G1, G2, LK, 2**31), OverflowError, "value too large to convert to int"),
    ((G1[:1], G2, LK, 0), ValueError, "{}(): grid 'g1' has 1 point; a table axis needs at least 2"),
    ((G1, G2[:0], LK, 0), ValueError, "{}(): grid 'g2' has 0 points; a table axis needs at least 2"),
    ((G1, G2, LK[:3], 0), ValueError,
     "{}(): table 'lk' has shape (3, 5), smaller than the (4, 5) of the grids 'g1' and 'g2'"),
    ((G1, G2, np.ascontiguousarray(LK[:, :4]), 0), ValueError,
     "{}(): table 'lk' has shape (4, 4), smaller than the (4, 5) of the grids 'g1' and 'g2'"),
])
def test_refused_arguments(law, args, exc, text):
    got = raises(law, exc, *args)
    if text is not None:
        assert got == text.format(law["cls"].__name__)


def test_read_only_and_strided_arrays_are_refused(law):
    ro = G1.copy()
    ro.flags.writeable = False
    raises(law, ValueError, ro, G2, LK, 0)
    raises(law, ValueError, np.repeat(G1, 2)[::2], G2, LK, 0)


def test_oob_conversion_truncates_and_larger_table_uses_leading_block(law):
    big = np.full((6, 8), np.nan)
    big[:4, :5] = LK
    obj = law["cls"](G1, G2, big, 1.9)   # mode 1: holes would be clamped, not NaN
    ref = Reference(law, G1, G2, LK, 1)
    for x, y in [(G1[1] + 0.01, G2[2] + 0.3), (G1[-1] + 1, G2[-1] + 1)]:
        assert obj.log_opacity(*logs_for(law, x, y)) == ref.log_opacity(*logs_for(law, x, y))


def test_non_increasing_grids_are_accepted(law):
    g1 = np.array([3.6, 4.2, 3.9, 4.5])
    obj, ref = law["cls"](g1, G2, LK, 0), Reference(law, g1, G2, LK, 0)
    for x in np.linspace(3.6, 4.5, 19):
        p = logs_for(law, x, G2[1] + 0.1)
        for m in ("log_opacity", "dlogkappa_dlogrho", "dlogkappa_dlogT"):
            assert same(outcome(getattr(obj, m), *p), outcome(getattr(ref, m), *p))


def test_pickling_is_refused(law):
    obj = law["cls"](G1, G2, LK, 0)
    text = "no default __reduce__ due to non-trivial __cinit__"
    for attempt in (pickle.dumps, copy.copy, copy.deepcopy, lambda o: o.__reduce__(),
                    lambda o: o.__setstate__(()), lambda o: o.__setstate__(None)):
        with pytest.raises(TypeError, match=f"^{text}$"):
            attempt(obj)
    with pytest.raises(TypeError) as e:
        obj.__reduce__()
    assert frame_names(e.value) == [law["prefix"] + ".__reduce__"]
    with pytest.raises(TypeError, match="takes exactly 1 positional argument"):
        obj.__setstate__()


def test_python_subclass_gets_the_same_parsing(law):
    class Sub(law["cls"]):
        def __init__(self, *args, **kwargs):
            self.extra = len(args)

    obj = Sub(G1, G2, LK, oob=2)
    assert obj.extra == 3 and isinstance(obj, kappa_core.C_GreyKappaCore)
    assert obj.log_opacity(1e3, 1e3) != obj.log_opacity(1e3, 1e3)   # NaN outside, mode 2
    with pytest.raises(TypeError, match=r"^__cinit__\(\) takes exactly 4 positional arguments \(3 given\)$"):
        Sub(G1, G2, LK)
    with pytest.raises(TypeError, match="no default __reduce__"):
        pickle.dumps(obj)


@pytest.mark.parametrize("module, cls, summary, mod_summary", [
    (_opal_grid, "C_OPALGridOpacity", "Bilinear-interpolation Rosseland opacity from a 2-D OPAL log-space table.",
     "C-level bilinear-interpolation opacity from a pre-tabulated 2-D OPAL grid."),
    (_tops_grid, "C_TOPSGridOpacity", "Bilinear-interpolation opacity from a 2-D TOPS log-space table.",
     "C-level bilinear-interpolation opacity from a pre-tabulated 2-D TOPS grid."),
])
def test_module_surface(module, cls, summary, mod_summary):
    t = getattr(module, cls)
    assert module.np is np
    assert t.__name__ == cls and t.__module__ == module.__name__
    assert t.__mro__ == (t, kappa_core.C_GreyKappaCore, object)
    assert t.__doc__.splitlines()[0] == summary and "oob : int" in t.__doc__
    assert module.__doc__.splitlines()[0] == mod_summary
    assert all(m in module.__doc__ for m in ("0 raise", "1 clamp", "2 nan", "(log_T, log_rho)"))
    assert "__c_vtable__" in t.__dict__
    assert not hasattr(t(G1, G2, LK, 0), "__dict__")


@pytest.mark.parametrize("module", ["rosseland._opal_grid", "_tops_grid"])
@pytest.mark.parametrize("spoil, error", [
    ("del k.C_KappaCore", "AttributeError"),
    ("k.C_GreyKappaCore = 1", "TypeError: velmora.radiation.opacity.kappa_core.C_GreyKappaCore is not a type object"),
])
def test_initialisation_fails_without_the_base_types(module, spoil, error):
    code = ("import velmora.radiation.opacity.kappa_core as k\n" + spoil + "\n"
            f"import velmora.radiation.opacity.grey_opacity.{module}\n")
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert r.returncode != 0 and error in r.stderr


def test_views_hold_the_arrays_and_are_released(law):
    g1, g2, lk = G1.copy(), G2.copy(), LK.copy()
    before = [sys.getrefcount(a) for a in (g1, g2, lk)]
    obj = law["cls"](g1, g2, lk, 0)
    assert [sys.getrefcount(a) for a in (g1, g2, lk)] != before
    del obj
    with pytest.raises(ValueError):
        law["cls"](g1, g2, lk[:2], 0)   # the view on the short table goes too
    with pytest.raises(TypeError):
        law["cls"](g1, g2, lk, "x")
    with pytest.raises(TypeError):
        law["cls"](g1, None, lk, 0)
    assert [sys.getrefcount(a) for a in (g1, g2, lk)] == before
