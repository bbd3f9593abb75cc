"""Introspection of the compiled modules: signatures, stubs, docstring
examples, reprs and the table laws' read-only properties."""

import ast
import doctest
import importlib
import inspect
import pathlib
import re
import types

import numpy as np
import pytest

from grid_tables_reference import LAWS
from velmora.radiation.opacity import ElectronScatteringOpacity

MODULES = [
    "velmora.radiation.opacity.kappa_core",
    "velmora.radiation.opacity.grey_opacity.rosseland._opal_grid",
    "velmora.radiation.opacity.grey_opacity.rosseland._opal_extended",
    "velmora.radiation.opacity.grey_opacity._tops_grid",
    "velmora.math_utils._bracket_solver",
    "velmora.radiation.opacity._electron_scattering",
    "velmora.dynamics.accretion.one_zone.physics._eos",
    "velmora.dynamics.accretion.one_zone.physics._viscous",
    "velmora.dynamics.accretion.one_zone.physics._fallback",
    "velmora.dynamics.accretion.one_zone.physics._param_wrappers",
    "velmora.dynamics.accretion.one_zone.closure",
    "velmora.dynamics.accretion.one_zone.models._gasrad_adv",
    "velmora.dynamics.accretion.one_zone.models._thin",
]


def own_members(module):
    """(qualified name, object) of the module's functions and classes and of
    the routines each class defines itself."""
    for name, obj in vars(module).items():
        if getattr(obj, "__module__", None) != module.__name__:
            continue
        if inspect.isclass(obj):
            yield f"{module.__name__}.{name}", obj
            for attr, member in vars(obj).items():
                if inspect.isroutine(member) and attr != "__new__":
                    yield f"{module.__name__}.{name}.{attr}", getattr(obj, attr)
        elif inspect.isroutine(obj):
            yield f"{module.__name__}.{name}", obj


CALLABLES = [pytest.param(obj, id=name) for m in MODULES for name, obj in own_members(importlib.import_module(m))]


@pytest.mark.parametrize("obj", CALLABLES)
def test_every_compiled_callable_has_a_signature(obj):
    sig = inspect.signature(obj)
    # The signature line is kept out of the docstring, and no docstring
    # begins with one of its own.
    doc = obj.__doc__ or ""
    assert "\n--\n" not in doc and not doc.startswith(obj.__name__ + "(")
    if inspect.ismethoddescriptor(obj):
        assert list(sig.parameters)[0] == "self"


def keyword_cases():
    from velmora.dynamics.accretion.one_zone.physics._param_wrappers import CAdvection, CFallback
    from velmora.math_utils import _bracket_solver as bs
    law = ElectronScatteringOpacity()
    table = linear_table()
    one = np.ones(3)
    limits = (0.1, 2.0, 50, 0.0, 10.0, 1e-30)
    return [
        (ElectronScatteringOpacity, (0.5,)), (CAdvection, (1.0,)), (CFallback, (1.0, 2.0, 3.0, 1.5)),
        (LAWS["opal"]["cls"], table + (1,)), (LAWS["tops"]["cls"], table + (2,)),
        (law.opacity, (1e-9, 1e4)), (law.dlogkappa_dlogT, (9.2, -20.7)), (law.log_opacity_array, (one, one)),
        (bs.py_expand_bracket, (lambda x: x - 2.0, 1.0) + limits),
        (bs.py_brent_root, (lambda x: x - 2.0, 1.0, 3.0, -1.0, 1.0, 1e-12, 1e-14, 100)),
        (bs.py_find_root, (lambda x: x - 2.0, 1.0) + limits + (1e-12, 1e-14, 100)),
    ]


def test_signatures_name_what_the_binders_accept():
    for fn, values in keyword_cases():
        names = list(inspect.signature(fn).parameters)
        assert fn(**dict(zip(names, values, strict=True))) is not None
    # The default shown is the one the constructor applies.
    assert inspect.signature(ElectronScatteringOpacity).parameters["X"].default == ElectronScatteringOpacity().X
    for law in LAWS.values():

        class Sub(law["cls"]):  # an interpreter-level subclass inherits the constructor's signature
            pass

        assert tuple(inspect.signature(Sub).parameters) == ("g1", "g2", "lk", "oob")


# ---------------------------------------------------------------------------
# Docstring examples: every public docstring has them, and they pass.

def public_docstrings(module):
    yield module.__name__, module
    for name, obj in own_members(module):
        if not name.rsplit(".", 1)[1].startswith("_"):
            yield name, obj


def run_doctests(module):
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    for test in doctest.DocTestFinder(exclude_empty=True).find(module):
        runner.run(test)
    result = runner.summarize(verbose=False)
    assert result.attempted > 0 and result.failed == 0


def examples(obj):
    return (obj.__doc__ or "").partition("\nExamples\n--------\n")[2]


@pytest.mark.parametrize("name", MODULES)
def test_docstring_examples(name):
    module = importlib.import_module(name)
    missing = []
    for qualname, obj in public_docstrings(module):
        if "\n" not in obj.__doc__ and inspect.ismethoddescriptor(obj):
            # The scalar opacity methods' docstrings are one line: their
            # class's examples call them.
            if not re.search(rf"\.{obj.__name__}\b", examples(obj.__objclass__)):
                missing.append(qualname)
        elif ">>> " not in examples(obj):
            missing.append(qualname)
    assert not missing
    run_doctests(module)


# ---------------------------------------------------------------------------
# Stubs: installed beside each module, and in step with it.

def stub_of(module):
    path = pathlib.Path(module.__file__)
    return path.with_name(path.name.split(".", 1)[0] + ".pyi")


def stub_parameters(fn):
    args = fn.args
    names = [a.arg for a in args.posonlyargs + args.args]
    defaults = [None] * (len(names) - len(args.defaults)) + [ast.literal_eval(d) for d in args.defaults]
    return list(zip(names, defaults))


def runtime_parameters(obj, drop_self):
    params = list(inspect.signature(obj).parameters.values())
    if drop_self:
        params = params[1:]
    return [(p.name, None if p.default is p.empty else p.default) for p in params]


@pytest.mark.parametrize("name", MODULES)
def test_stub_matches_the_module(name):
    module = importlib.import_module(name)
    assert (pathlib.Path(module.__file__).parents[len(name.split(".")) - 2] / "py.typed").is_file()
    tree = ast.parse(stub_of(module).read_text())
    declared = set()
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            declared.add(node.name)
            assert stub_parameters(node) == runtime_parameters(getattr(module, node.name), False), node.name
        elif isinstance(node, ast.AnnAssign):
            declared.add(node.target.id)
            assert hasattr(module, node.target.id)
        elif isinstance(node, ast.Assign) and not node.targets[0].id.startswith("_"):
            # An alias: the same object under another name (private names are the stub's own).
            (target,) = node.targets
            declared.add(target.id)
            assert getattr(module, target.id) is getattr(module, node.value.id)
        elif isinstance(node, ast.ClassDef):
            declared.add(node.name)
            cls = getattr(module, node.name)
            in_stub = set()
            for item in node.body:
                in_stub.add(item.name)
                if any(isinstance(d, ast.Attribute) and d.attr == "setter" for d in item.decorator_list):
                    assert vars(cls)[item.name].__set__  # a writable attribute
                elif any(isinstance(d, ast.Name) and d.id == "property" for d in item.decorator_list):
                    descriptor = vars(cls)[item.name]
                    assert isinstance(descriptor, (types.GetSetDescriptorType, types.MemberDescriptorType))
                elif item.name == "__init__":
                    assert stub_parameters(item)[1:] == runtime_parameters(cls, False)
                else:
                    assert stub_parameters(item) == runtime_parameters(getattr(cls, item.name), False)
            public = {a for a in vars(cls) if not a.startswith("_")} | {"__reduce__", "__setstate__"} & set(vars(cls))
            assert public <= in_stub, node.name
    assert {a for a in vars(module) if not a.startswith("_") and a != "np"} <= declared


# ---------------------------------------------------------------------------
# Reprs and the table laws' properties.

def linear_table(n1=4, n2=3):
    g1 = np.linspace(3.75, 8.70, n1)
    g2 = np.linspace(-8.0, 1.0, n2)
    return g1, g2, 1.0 + 0.5 * g1[:, None] - 0.25 * g2[None, :]


@pytest.mark.parametrize("key, axis", [("opal", "log10 R"), ("tops", "log10 rho")])
@pytest.mark.parametrize("oob, shown", [(0, "raise"), (1, "clamp"), (2, "nan"), (7, "7 (raise)"), (-1, "-1 (raise)")])
def test_table_repr(key, axis, oob, shown):
    cls = LAWS[key]["cls"]
    law = cls(*linear_table(70, 19), oob)
    assert repr(law) == f"{cls.__name__}(70 x 19, log10 T 3.75..8.70, {axis} -8.00..1.00, oob={shown})"

    class Custom(cls):
        pass

    assert repr(Custom(*linear_table(), oob)).startswith("Custom(4 x 3, ")


@pytest.mark.parametrize("key", list(LAWS))
def test_table_properties_are_read_only_views(key):
    cls = LAWS[key]["cls"]
    g1, g2, lk = linear_table()
    big = np.full((6, 5), np.nan)  # a larger table: the law uses its leading 4 x 3 block
    big[:4, :3] = lk
    law = cls(g1, g2, big, 1)
    assert law.shape == (4, 3) and law.oob == 1
    assert law.domain == ((3.75, 8.70), (-8.0, 1.0))
    for name, given in [("g1", g1), ("g2", g2), ("lk", big[:4, :3])]:
        view = getattr(law, name)
        assert view.dtype == np.float64 and np.array_equal(view, given)
        assert np.shares_memory(view, given) and not view.flags.writeable
        with pytest.raises(ValueError):
            view[0] = 0.0
        with pytest.raises(AttributeError):
            setattr(law, name, view)
    # Writes into the caller's array reach the law and its views alike.
    point = (np.log(10.0**5.0), np.log(1e-6))
    before = law.log_opacity(*point)
    big[:4, :3] += 1.0
    assert law.lk[0, 0] == lk[0, 0] + 1.0
    assert law.log_opacity(*point) == pytest.approx(before + np.log(10.0), rel=1e-14)
    # The properties describe the law fully: copies of them build an equal one.
    clone = cls(law.g1.copy(), law.g2.copy(), law.lk.copy(), law.oob)
    x = np.log(np.geomspace(1e4, 1e8, 9))
    y = np.log(np.geomspace(1e-9, 1e-3, 9))
    assert np.array_equal(clone.log_opacity_array(x, y), law.log_opacity_array(x, y))
    assert repr(clone) == repr(law)


def test_views_keep_the_arrays_alive():
    cls = LAWS["tops"]["cls"]
    law = cls(*linear_table(), 0)
    view = law.lk
    expected = view.copy()
    del law
    assert np.array_equal(view, expected)


@pytest.mark.parametrize("X", [0.0, 0.7, 1.0 / 3.0])
def test_electron_scattering_repr_rebuilds_the_law(X):
    law = ElectronScatteringOpacity(X)
    clone = eval(repr(law), {"ElectronScatteringOpacity": ElectronScatteringOpacity})
    assert clone.X == X and clone.opacity(1.0, 1.0) == law.opacity(1.0, 1.0)


# ---------------------------------------------------------------------------
# The Python layer: every public callable introspects and shows examples that
# pass as doctests.

PY_MODULES = [
    "velmora",
    "velmora.constants",
    "velmora._quantities",
    "velmora._progress",
    "velmora.dynamics.accretion.one_zone.core",
    "velmora.dynamics.accretion.one_zone.results",
    "velmora.dynamics.accretion.one_zone.result_files",
]


def python_public(module):
    """(qualified name, object) of the module's public callables (its __all__)
    and of the public methods their classes define."""
    for name in module.__all__:
        obj = getattr(module, name)
        if not callable(obj) or inspect.ismodule(obj):
            continue
        yield f"{module.__name__}.{name}", obj
        if inspect.isclass(obj) and obj.__module__ == module.__name__:
            for attr, member in vars(obj).items():
                if not attr.startswith("_") and isinstance(member, (types.FunctionType, classmethod, staticmethod)):
                    yield f"{module.__name__}.{name}.{attr}", getattr(obj, attr)


def test_every_public_name_of_the_top_level_resolves_and_has_a_signature():
    import velmora

    for name in velmora.__all__:
        obj = getattr(velmora, name)
        if callable(obj) and not inspect.ismodule(obj):
            inspect.signature(obj)
    for qualname, obj in (p for m in PY_MODULES for p in python_public(importlib.import_module(m))):
        inspect.signature(obj)


@pytest.mark.parametrize("name", PY_MODULES)
def test_python_docstring_examples(name):
    module = importlib.import_module(name)
    missing = []
    for qualname, obj in python_public(module):
        if obj.__module__ != module.__name__:
            continue  # documented where it is defined
        owner = qualname.rsplit(".", 2)
        cls = getattr(module, owner[1]) if len(owner) == 3 and inspect.isclass(getattr(module, owner[1], None)) else None
        # A method may be shown by its class's examples instead of its own.
        if ">>> " not in examples(obj) and not (cls and re.search(rf"\.{obj.__name__}\b", examples(cls))):
            missing.append(qualname)
    assert not missing
    run_doctests(module)
