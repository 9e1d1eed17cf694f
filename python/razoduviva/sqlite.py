"""Chinese full-text search in SQLite: the FTS5 tokenizer "razoduviva".

    import apsw                      # or sqlite3, where it loads extensions
    import razoduviva.sqlite
    conn = apsw.Connection("docs.db")
    razoduviva.sqlite.load(conn)
    conn.execute("CREATE VIRTUAL TABLE docs USING fts5(body, tokenize='razoduviva')")
    conn.execute("INSERT INTO docs VALUES ('我们在北京学习中文。')")
    conn.execute("SELECT highlight(docs, 0, '[', ']') FROM docs WHERE docs MATCH '北京'")

The tokenizer lives in a loadable SQLite extension installed with the
package (extension_path()); it loads the bundled data once per process,
however many connections and tables use it. load() loads it into one
connection; other tools (the sqlite3 shell's .load, Datasette's
--load-extension) take extension_path().

Tokenizer arguments follow its name, in pairs: mode default|search,
hmm on|off, nfkc, casefold and t2s on|off (the folds; all on by default),
stop_words on|off, and dict_path, hmm_path, user_dict_path, idf_path,
stop_word_path for data files of your own (quoted: '/path/to/dict.txt').

Importing this module imports neither sqlite3 nor apsw.
"""

import errno
import os
import sys
from typing import Any

__all__ = ["ENTRY_POINT", "TOKENIZER", "extension_path", "load"]

# The extension's entry point, which SQLite also derives from its file name.
ENTRY_POINT = "sqlite3_razoduviva_init"
# The name the tokenizer is registered under.
TOKENIZER = "razoduviva"

_FILE_NAME = "razoduviva.fts5.so"

_NO_EXTENSIONS = (
    "this Python's sqlite3 module cannot load SQLite extensions (it was built without "
    "them: sqlite3.Connection has no enable_load_extension), so the razoduviva tokenizer "
    "cannot be loaded into its connections. Ways out: install apsw (pip install apsw) and "
    "pass an apsw.Connection, or use a Python built with --enable-loadable-sqlite-extensions "
    "(Debian's and most distributions' system Python are); other tools can load the file "
    "razoduviva.sqlite.extension_path() gives")


def extension_path() -> str:
    """The path of the SQLite extension file, for tools that load it
    themselves: `.load PATH` in the sqlite3 shell, Datasette's
    --load-extension, or sqlite3_load_extension() in any program (the entry
    point, sqlite3_razoduviva_init, follows from the file name).

    Raises FileNotFoundError when the package was installed without it."""
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), _FILE_NAME)
    if not os.path.isfile(path):
        raise FileNotFoundError(errno.ENOENT,
                                "razoduviva's SQLite extension is not installed", path)
    return path


def load(conn: Any) -> None:
    """Loads the extension into `conn`, a sqlite3.Connection or an
    apsw.Connection, which can then create and use FTS5 tables with
    tokenize='razoduviva ...'. Load it into every connection that uses such
    tables. Extension loading is switched on for the call and off again
    afterwards (so SQL cannot call load_extension() later).

    Raises RuntimeError, saying what to do instead, for a sqlite3.Connection
    of a Python built without extension loading; TypeError for any other
    object; the connection's own error when SQLite refuses the file."""
    enable = getattr(conn, "enable_load_extension", None)
    load_file = getattr(conn, "load_extension", None)
    if enable is None or load_file is None:  # apsw before 3.46 has only these names
        enable = getattr(conn, "enableloadextension", None)
        load_file = getattr(conn, "loadextension", None)
    if enable is None or load_file is None:
        sqlite3 = sys.modules.get("sqlite3")
        if sqlite3 is not None and isinstance(conn, sqlite3.Connection):
            raise RuntimeError(_NO_EXTENSIONS)
        raise TypeError("load() takes a sqlite3.Connection or an apsw.Connection, not %s"
                        % type(conn).__name__)
    path = extension_path()
    enable(True)
    try:
        load_file(path)
    finally:
        enable(False)
