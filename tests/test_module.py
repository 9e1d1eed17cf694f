import importlib.machinery
import importlib.metadata
import json
import os
import subprocess
import sys

import razoduviva
import razoduviva._core


def test_package_is_python_over_a_compiled_core():
    # razoduviva is a plain Python package; the classes come from the private
    # extension module razoduviva._core, found on the package's path (beside
    # __init__.py, or in the build's folder for an editable install).
    assert os.path.basename(razoduviva.__file__) == "__init__.py"
    core = razoduviva._core.__file__
    assert os.path.dirname(core) in razoduviva.__path__
    assert os.path.basename(core) in {"_core" + suffix for suffix in importlib.machinery.EXTENSION_SUFFIXES}
    assert razoduviva.BM25 is razoduviva._core.BM25
    # Jieba adds the bundled data as defaults, and pickling, to the compiled class.
    assert issubclass(razoduviva.Jieba, razoduviva._core.Jieba)
    assert issubclass(razoduviva.Index, razoduviva._core.Index)
    assert set(razoduviva.__all__) == {"BM25", "Index", "Jieba", "SparseEncoder",
                                       "compact_columns", "native_log", "set_native_log"}


def test_version_is_the_distribution_version():
    assert razoduviva.__version__ == importlib.metadata.version("razoduviva")
    assert razoduviva.__version__ is razoduviva._core.__version__


def test_core_has_a_docstring():
    assert "razoduviva" in razoduviva._core.__doc__


def test_import_is_light():
    # Importing the package loads no module outside the standard library (no
    # numpy or scipy) and starts no thread.
    code = (
        "import json, sys, threading\n"
        "before = set(sys.modules)\n"
        "import razoduviva\n"
        "print(json.dumps(sorted(set(sys.modules) - before)))\n"
        "print(threading.active_count())\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    modules, threads = out.stdout.splitlines()
    outside = {
        name
        for name in json.loads(modules)
        if name.split(".")[0] not in sys.stdlib_module_names | {"razoduviva"}
    }
    assert not outside
    assert not {"concurrent", "multiprocessing", "asyncio"} & {name.split(".")[0] for name in json.loads(modules)}
    assert threads == "1"
