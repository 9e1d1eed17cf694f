"""The type stubs shipped beside the extension match what it binds."""

import ast
import pathlib

import razoduviva

PACKAGE = pathlib.Path(razoduviva.__file__).parent


def stub_classes():
    tree = ast.parse((PACKAGE / "__init__.pyi").read_text())
    classes = {}
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            classes[node.name] = {
                item.name for item in node.body if isinstance(item, ast.FunctionDef)
            }
    return classes


def test_stubs_and_marker_are_installed():
    assert (PACKAGE / "__init__.pyi").is_file()
    assert (PACKAGE / "py.typed").is_file()


def test_every_stubbed_name_is_bound():
    for name, methods in stub_classes().items():
        cls = getattr(razoduviva, name)
        for method in methods:
            assert hasattr(cls, method), f"{name}.{method}"


def test_every_bound_bm25_method_is_stubbed():
    bound = {
        name
        for name, value in vars(razoduviva.BM25).items()
        if not name.startswith("_") and callable(value)
    }
    assert bound == stub_classes()["BM25"] - {"__init__"}
