#!/usr/bin/env python3
"""Type-checks the Python examples of README.md with mypy --strict.

The examples are taken from the README itself, so that they cannot drift
from it: the ```python blocks of each "## " section are joined in order (a
later block may use the names of an earlier one, as a reader would) and
each section is checked as one module against the installed package and
its stubs. Modules the examples use without shipping types (pandas, dask,
ray, pyarrow, the vector databases' clients) are taken as untyped. Exits with mypy's status.

Usage: python tools/check_readme_types.py [README.md]
"""

import os
import re
import subprocess
import sys
import tempfile

CONFIG = """[mypy]
strict = True
[mypy-pandas.*,dask.*,ray.*,pyarrow.*,qdrant_client.*,pymilvus.*]
ignore_missing_imports = True
"""


def sections(text):
    """[(heading, code)] of the sections that hold Python examples."""
    found, heading = {}, "top"
    for line_heading, block in re.findall(r"^(## [^\n]*)$|^```python\n(.*?)^```", text, re.M | re.S):
        if line_heading:
            heading = line_heading[3:].strip()
        else:
            found.setdefault(heading, []).append(block)
    return [(heading, "\n".join(blocks)) for heading, blocks in found.items()]


def main():
    readme = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "..", "README.md")
    with open(readme, encoding="utf-8") as f:
        found = sections(f.read())
    with tempfile.TemporaryDirectory() as folder:
        with open(os.path.join(folder, "mypy.ini"), "w") as f:
            f.write(CONFIG)
        names = []
        for k, (heading, code) in enumerate(found):
            name = "readme_%02d_%s.py" % (k, re.sub(r"\W+", "_", heading.lower()).strip("_"))
            with open(os.path.join(folder, name), "w", encoding="utf-8") as f:
                f.write("# README.md, section: %s\n%s" % (heading, code))
            names.append(name)
        print("mypy --strict over the Python examples of %d README sections" % len(names))
        return subprocess.call([sys.executable, "-m", "mypy", "--config-file", "mypy.ini",
                                "--no-incremental", *names], cwd=folder)


if __name__ == "__main__":
    sys.exit(main())
