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

from typing import Protocol, Union

import sqlite3

class _LoadsExtensions(Protocol):
    """An apsw.Connection, as far as load() uses it."""

    def enable_load_extension(self, enable: bool, /) -> None: ...
    def load_extension(self, filename: str, entrypoint: str | None = None, /) -> None: ...


ENTRY_POINT: str
TOKENIZER: str


def extension_path() -> str:
    """The path of the SQLite extension file, for tools that load it
    themselves: `.load PATH` in the sqlite3 shell, Datasette's
    --load-extension, or sqlite3_load_extension() in any program (the entry
    point, sqlite3_razoduviva_init, follows from the file name).

    Raises FileNotFoundError when the package was installed without it."""


def load(conn: Union[sqlite3.Connection, _LoadsExtensions]) -> None:
    """Loads the extension into `conn`, a sqlite3.Connection or an
    apsw.Connection, which can then create and use FTS5 tables with
    tokenize='razoduviva ...'. Load it into every connection that uses such
    tables. Extension loading is switched on for the call and off again
    afterwards (so SQL cannot call load_extension() later).

    Raises RuntimeError, saying what to do instead, for a sqlite3.Connection
    of a Python built without extension loading; TypeError for any other
    object; the connection's own error when SQLite refuses the file."""
