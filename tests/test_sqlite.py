"""The FTS5 tokenizer "razoduviva" inside SQLite: through Python's sqlite3
where it loads extensions, else through apsw, and through the sqlite3 shell."""

import os
import shutil
import sqlite3
import subprocess
import sys
import threading
import unicodedata

import pytest

import razoduviva
import razoduviva.data
import razoduviva.sqlite

JIEBA = razoduviva.Jieba()
with open(razoduviva.data.STOP_WORD_PATH, encoding="utf-8") as _f:
    STOP_WORDS = set(_f.read().split())
TEXTS = ["我们在北京大学学习中文。", "他来到了网易杭研大厦", "二氧化碳的排放影响今天北京的天气"]


def connect(path=":memory:"):
    if hasattr(sqlite3.Connection, "enable_load_extension"):
        conn = sqlite3.connect(path, isolation_level=None, check_same_thread=False)
    else:
        apsw = pytest.importorskip("apsw")
        conn = apsw.Connection(path)
    razoduviva.sqlite.load(conn)
    return conn


def table(conn, tokenize="razoduviva", name="docs"):
    conn.execute("CREATE VIRTUAL TABLE %s USING fts5(body, tokenize='%s')" % (name, tokenize))
    return conn


def query(conn, sql, *params):
    return [tuple(row) for row in conn.execute(sql, params)]


def kept(word):
    """The encoder's filter: no stop words, no words of white space or punctuation only."""
    return word not in STOP_WORDS and not all(
        c.isspace() or unicodedata.category(c).startswith("P") for c in word)


@pytest.mark.parametrize("mode", ["default", "search"])
def test_rows_are_indexed_as_the_segmenter_cuts_them(mode):
    conn = table(connect(), "razoduviva mode " + mode)
    conn.execute("CREATE VIRTUAL TABLE vocab USING fts5vocab(docs, instance)")
    for k, text in enumerate(TEXTS):
        conn.execute("INSERT INTO docs(rowid, body) VALUES (?, ?)", (k + 1, text))
    for k, text in enumerate(TEXTS):
        words = [w for w in JIEBA.cut(text) if kept(w)]
        terms = query(conn, "SELECT term, offset FROM vocab WHERE doc = ? ORDER BY offset", k + 1)
        # One position per word of the default cut; search mode adds the
        # words inside long ones at the same positions.
        assert len({offset for _, offset in terms}) == len(words)
        cut = JIEBA.cut_for_search(text) if mode == "search" else words
        assert sorted(term for term, _ in terms) == sorted({w for w in cut if kept(w)})
    assert query(conn, "SELECT rowid FROM docs WHERE docs MATCH '北京' ORDER BY rowid") == [(1,), (3,)]
    found = query(conn, "SELECT rowid FROM docs WHERE docs MATCH '氧化'")
    assert found == ([(3,)] if mode == "search" else [])

    conn.execute("UPDATE docs SET body = '上海的天气' WHERE rowid = 3")
    conn.execute("DELETE FROM docs WHERE rowid = 1")
    assert query(conn, "SELECT rowid FROM docs WHERE docs MATCH '北京'") == []
    assert query(conn, "SELECT rowid FROM docs WHERE docs MATCH '上海 AND 天气'") == [(3,)]
    conn.execute("INSERT INTO docs(docs) VALUES ('integrity-check')")


def test_highlight_and_folds_mark_the_characters_written():
    conn = table(connect())
    text = "型号ＡＢＣ在國外銷售，Hello World。"
    conn.execute("INSERT INTO docs VALUES (?)", (text,))
    for match, marked in [("abc", "[ＡＢＣ]"), ("国外", "[國外]"), ("销售", "[銷售]"),
                          ("HELLO", "[Hello]")]:
        [(highlight, snippet)] = query(
            conn, "SELECT highlight(docs, 0, '[', ']'), snippet(docs, 0, '[', ']', '', 3) "
                  "FROM docs WHERE docs MATCH ?", match)
        assert marked in highlight and marked in snippet, match
        assert highlight.replace("[", "").replace("]", "") == text
    # A traditional query finds simplified text; with t2s off it does not.
    conn.execute("INSERT INTO docs VALUES ('中国的经济发展')")
    assert query(conn, "SELECT body FROM docs WHERE docs MATCH '經濟'") == [("中国的经济发展",)]
    table(conn, "razoduviva t2s off", "plain").execute("INSERT INTO plain VALUES ('中国的经济发展')")
    assert query(conn, "SELECT body FROM plain WHERE plain MATCH '經濟'") == []


def test_prefix_queries_match_the_starts_of_words():
    conn = table(connect(), "razoduviva mode search")
    conn.execute("INSERT INTO docs VALUES ('二氧化碳的排放')")
    assert query(conn, "SELECT rowid FROM docs WHERE docs MATCH '二氧'") == []
    assert query(conn, "SELECT rowid FROM docs WHERE docs MATCH '二氧*'") == [(1,)]
    assert query(conn, "SELECT rowid FROM docs WHERE docs MATCH '氧*'") == [(1,)]


def test_a_bad_argument_fails_the_table_and_names_the_argument(capfd):
    conn = connect()
    for tokenize, named in [("razoduviva mode full", "mode must be default or search, not 'full'"),
                            ("razoduviva colour red", "unknown argument 'colour'"),
                            ("razoduviva dict_path ''/nowhere/dict.txt''",
                             "cannot load the data: /nowhere/dict.txt: No such file")]:
        with pytest.raises(Exception, match="error in tokenizer constructor"):
            table(conn, tokenize)
        assert named in capfd.readouterr().err


def test_invalid_utf8_keeps_its_valid_stretches():
    conn = table(connect())
    bad = "北京".encode() + b"\xff\xfe" + "天气不错".encode() + b"\xe4\xb8"
    conn.execute("INSERT INTO docs VALUES (CAST(? AS TEXT))", (bad,))
    assert query(conn, "SELECT rowid FROM docs WHERE docs MATCH '北京 AND 天气'") == [(1,)]
    [(marked,)] = query(conn, "SELECT CAST(highlight(docs, 0, '[', ']') AS BLOB) FROM docs "
                              "WHERE docs MATCH '天气'")
    assert bytes(marked) == "北京".encode() + b"\xff\xfe[" + "天气]不错".encode() + b"\xe4\xb8"


def test_a_ten_megabyte_document():
    conn = table(connect())
    text = "今天北京的天气不错，我们在公园散步。" * 200000 + "最后一句话说到了网易。"
    assert len(text.encode()) > 10_000_000
    conn.execute("INSERT INTO docs VALUES (?)", (text,))
    [(snippet,)] = query(conn, "SELECT snippet(docs, 0, '[', ']', '', 3) FROM docs "
                               "WHERE docs MATCH '网易'")
    assert snippet == "最后一句话说到了[网易]。"


def test_two_connections_in_two_threads(tmp_path):
    failures = []

    def work(k):
        try:
            conn = table(connect(str(tmp_path / ("db%d" % k))))
            conn.execute("BEGIN")
            for n in range(300):
                conn.execute("INSERT INTO docs VALUES (?)", (TEXTS[(n + k) % 3] + str(n),))
            conn.execute("COMMIT")
            assert query(conn, "SELECT count(*) FROM docs WHERE docs MATCH '北京'") == [(200,)]
            conn.close()
        except Exception as error:  # reported by the main thread
            failures.append(error)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []


@pytest.mark.skipif(shutil.which("sqlite3") is None, reason="no sqlite3 shell")
def test_the_sqlite3_shell_loads_the_extension():
    path = razoduviva.sqlite.extension_path()
    out = subprocess.run(
        ["sqlite3", ":memory:", ".load " + path[:-len(".so")],
         "CREATE VIRTUAL TABLE t USING fts5(x, tokenize='razoduviva mode search');",
         "INSERT INTO t VALUES ('他来到了網易杭研大厦');",
         "SELECT highlight(t, 0, '[', ']') FROM t WHERE t MATCH '网易';"],
        capture_output=True, text=True, check=True)
    assert out.stdout == "他来到了[網易]杭研大厦\n"


def test_load_says_what_it_cannot_load():
    assert razoduviva.sqlite.extension_path().endswith(os.sep + "razoduviva.fts5.so")
    with pytest.raises(TypeError, match="sqlite3.Connection or an apsw.Connection, not object"):
        razoduviva.sqlite.load(object())
    if not hasattr(sqlite3.Connection, "enable_load_extension"):
        with pytest.raises(RuntimeError, match=r"apsw.*--enable-loadable-sqlite-extensions"):
            razoduviva.sqlite.load(sqlite3.connect(":memory:"))
    # Importing the package imports no SQLite module.
    code = "import sys, razoduviva; print('sqlite3' in sys.modules, 'apsw' in sys.modules)"
    assert subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          check=True).stdout == "False False\n"
