import razoduviva


def test_module_is_a_package_of_the_extension():
    # The extension is installed as the package's __init__, so pure-Python
    # submodules can live beside it.
    assert razoduviva.__file__.endswith(".so")
    assert hasattr(razoduviva, "__path__")
