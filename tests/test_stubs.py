"""The type stubs shipped with the package match what it binds, both ways.

For razoduviva (__init__.pyi, which re-exports) and razoduviva._core
(_core.pyi): every stubbed class, method and name is bound, every bound
public class, method and name is stubbed, each method has as many stubbed
forms as bound overloads, and every docstring of the binding is repeated in
the stubs.
"""

import ast
import importlib
import inspect
import pathlib
import re
import types

import pytest

import razoduviva

PACKAGE = pathlib.Path(razoduviva.__file__).parent
STUBS = {"razoduviva": "__init__.pyi", "razoduviva._core": "_core.pyi"}


def parse(module_name):
    return ast.parse((PACKAGE / STUBS[module_name]).read_text(encoding="utf-8"))


def stub_class(node):
    """{method: [docstring of each stubbed form]} of a stubbed class."""
    methods = {}
    for item in node.body:
        if isinstance(item, ast.FunctionDef) and not any(
                isinstance(d, ast.Attribute) and d.attr == "setter" for d in item.decorator_list):
            methods.setdefault(item.name, []).append(ast.get_docstring(item) or "")
    return {"doc": ast.get_docstring(node) or "", "methods": methods}


def stubbed(module_name):
    """The public classes and the other names a module's stub declares."""
    classes, names = {}, set()
    for node in parse(module_name).body:
        if isinstance(node, ast.ClassDef):
            classes[node.name] = stub_class(node)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names.add(node.target.id)
        elif isinstance(node, ast.FunctionDef):
            names.add(node.name)
        elif isinstance(node, ast.ImportFrom) and node.module in STUBS:
            source_classes, source_names = stubbed(node.module)
            for alias in node.names:
                if alias.asname != alias.name:
                    continue  # `import X as X` is a stub's re-export; anything else is private
                if alias.name in source_classes:
                    classes[alias.name] = source_classes[alias.name]
                else:
                    names.add(alias.name)
    return classes, names


def is_public(name):
    return not name.startswith("_") or name == "__version__"


# The special methods a stub declares: how a class is made, and the
# container protocol (len(index), id in index), which type checkers read.
STUBBED_SPECIALS = {"__init__", "__len__", "__contains__"}


def bound_methods(cls):
    """The public methods and properties a class defines itself (and the
    special methods of STUBBED_SPECIALS)."""
    return {
        name
        for name, value in vars(cls).items()
        if (callable(value) or isinstance(value, (property, classmethod, staticmethod)))
        and (not name.startswith("_") or name in STUBBED_SPECIALS)
    }


def bound_docs(function):
    """The docstring of each overload of a bound method, without the
    signature lines pybind11 adds; a Python function's or property's
    docstring as it is."""
    doc = function.__doc__ or ""
    name = getattr(function, "__name__", None)
    if name is None or not doc.startswith(name + "("):
        return [inspect.cleandoc(doc)]  # Python code, or a property
    if "\nOverloaded function.\n" in doc:
        body = doc.split("\nOverloaded function.\n", 1)[1]
        forms = re.split(rf"^\d+\. {re.escape(function.__name__)}\(.*$", body, flags=re.M)[1:]
    else:
        forms = [doc.partition("\n")[2]]  # after the signature line
    return [inspect.cleandoc(form) for form in forms]


@pytest.fixture(params=sorted(STUBS))
def module_name(request):
    return request.param


def test_stubs_and_marker_are_installed():
    for name in ("__init__.py", "__init__.pyi", "_core.pyi", "py.typed"):
        assert (PACKAGE / name).is_file(), name


def test_every_stubbed_name_is_bound(module_name):
    module = importlib.import_module(module_name)
    classes, names = stubbed(module_name)
    assert {"BM25", "Jieba", "Index"} <= set(classes)
    for name, stub in classes.items():
        cls = getattr(module, name)
        assert isinstance(cls, type), name
        for method in stub["methods"]:
            assert method in vars(cls), f"{module_name}.{name}.{method}"
    for name in names - {"__all__"}:
        assert hasattr(module, name), f"{module_name}.{name}"


def test_every_bound_name_is_stubbed(module_name):
    module = importlib.import_module(module_name)
    classes, names = stubbed(module_name)
    bound = {
        name: value
        for name, value in vars(module).items()
        if is_public(name) and not isinstance(value, types.ModuleType)
    }
    assert {name for name, value in bound.items() if isinstance(value, type)} == set(classes)
    assert {name for name, value in bound.items() if not isinstance(value, type)} == names - {"__all__"}
    for name, stub in classes.items():
        assert bound_methods(bound[name]) == set(stub["methods"]), f"{module_name}.{name}"


def test_every_overload_is_stubbed(module_name):
    module = importlib.import_module(module_name)
    for name, stub in stubbed(module_name)[0].items():
        for method, forms in stub["methods"].items():
            overloads = bound_docs(getattr(getattr(module, name), method))
            assert len(forms) == len(overloads), f"{module_name}.{name}.{method}"


def test_stubs_repeat_the_binding_docstrings(module_name):
    module = importlib.import_module(module_name)
    if module.__doc__:
        assert ast.get_docstring(parse(module_name)) == inspect.cleandoc(module.__doc__)
    for name, stub in stubbed(module_name)[0].items():
        cls = getattr(module, name)
        if cls.__doc__:
            assert stub["doc"] == inspect.cleandoc(cls.__doc__), name
        for method, forms in stub["methods"].items():
            for i, (doc, form) in enumerate(zip(bound_docs(getattr(cls, method)), forms)):
                if doc:  # Jieba's binding has no docstrings (yet): its stub's stand alone
                    assert form == doc, f"{name}.{method}, form {i + 1}"


def test_stubbed_functions_repeat_their_docstrings():
    for node in parse("razoduviva").body:
        if isinstance(node, ast.FunctionDef):
            doc = getattr(razoduviva, node.name).__doc__
            assert ast.get_docstring(node) == inspect.cleandoc(doc), node.name


def test_bm25_is_documented_in_the_binding():
    # help() shows these: the class, every method and every overload.
    from razoduviva import _core

    assert _core.__doc__
    assert _core.BM25.__doc__
    for method in bound_methods(_core.BM25):
        docs = bound_docs(getattr(_core.BM25, method))
        assert docs and all(docs), method


@pytest.mark.parametrize("module_name, stub", [("razoduviva.data", "data/__init__.pyi"),
                                               ("razoduviva.spark", "spark.pyi"),
                                               ("razoduviva.sqlite", "sqlite.pyi")])
def test_the_data_and_spark_modules_are_stubbed(module_name, stub):
    module = importlib.import_module(module_name)
    tree = ast.parse((PACKAGE / stub).read_text(encoding="utf-8"))
    functions = {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}
    names = {node.target.id for node in tree.body
             if isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name)}
    assert set(module.__all__) == set(functions) | names
    assert ast.get_docstring(tree) == inspect.cleandoc(module.__doc__)
    for name, node in functions.items():
        assert ast.get_docstring(node) == inspect.cleandoc(getattr(module, name).__doc__), name
