"""razoduviva.BM25.dump and BM25.load: the model file."""

import json
import os
import random
import stat

import pytest

from razoduviva import BM25

EXAMPLE_LINES = [
    "{",
    '  "_b" : 0.750000,',
    '  "_doc_count" : 2,',
    '  "_doc_length_average" : 2.500000,',
    '  "_doc_token_frequency" : {',
    '    "a" : 2,',
    '    "b" : 2,',
    '    "c" : 1',
    "  },",
    '  "_k1" : 1.200000',
    "}",
]
EXAMPLE = "\n".join(EXAMPLE_LINES)


def example():
    model = BM25(0.75, 1.2)
    model.train(["a", "b", "a"])
    model.train(["b", "c"])
    return model


def text_of(model, tmp_path, name="model.json"):
    path = tmp_path / name
    model.dump(str(path))
    return path.read_bytes().decode("utf-8", "surrogateescape")


def test_the_eleven_line_example(tmp_path):
    path = tmp_path / "model.json"
    example().dump(str(path))
    data = path.read_bytes()
    assert data == EXAMPLE.encode()
    assert not data.endswith(b"\n")
    loaded = BM25(0.1, 0.1)
    loaded.load(data.decode())
    assert text_of(loaded, tmp_path, "again.json") == EXAMPLE
    assert loaded.encode_query(["a", "d"]) == example().encode_query(["a", "d"])


def test_untrained_model_file(tmp_path):
    text = text_of(BM25(), tmp_path)
    assert text == (
        '{\n  "_b" : 0.750000,\n  "_doc_count" : 0,\n  "_doc_length_average" : 0.000000,\n'
        '  "_doc_token_frequency" : {\n\n  },\n  "_k1" : 1.200000\n}'
    )
    model = BM25()
    model.load(text)
    with pytest.raises(RuntimeError, match="^BM25 has not been initialized$"):
        model.encode_document(["a"])


def test_six_decimals(tmp_path):
    model = BM25()
    model.train(["a", "b"])
    model.train(["a"])
    model.train(["a", "b", "c", "d"])  # average 7/3
    assert '"_doc_length_average" : 2.333333,' in text_of(model, tmp_path)


def test_load_ignores_trailing_text_and_merges(tmp_path):
    model = BM25()
    model.train(["z", "a"])
    model.load(EXAMPLE + "\n{garbage")
    text = text_of(model, tmp_path)
    assert '    "z" : 1\n' in text and '    "a" : 2,\n' in text
    without_counts = json.dumps({"_b": 0.5, "_doc_count": 3, "_doc_length_average": 1.5, "_k1": 1.0})
    model.load(without_counts)
    assert '    "z" : 1\n' in text_of(model, tmp_path)


LOAD_ERRORS = [
    ("", RuntimeError, "json data should not be empty"),
    (EXAMPLE.replace('"b" : 2', '"b" : 2.5'), RuntimeError, "load doc_token_frequency failed"),
    (EXAMPLE.replace('"_doc_count" : 2', '"_doc_count" : 2.0'), RuntimeError, "load doc_count failed"),
    (EXAMPLE.replace("2.500000", "2"), RuntimeError, "load doc_length_average failed"),
    (EXAMPLE.replace("0.750000", "1"), RuntimeError, "load b failed"),
    (EXAMPLE.replace("1.200000", '"1.2"'), RuntimeError, "load k1 failed"),
    ("[1, 2, 3]", RuntimeError, "load doc_count failed"),
    ("hello", RuntimeError, "load doc_count failed"),
    ('{"_doc_count": -}', ValueError, None),
    ('{"_doc_count": 99999999999999999999}', IndexError, None),
]


@pytest.mark.parametrize("text, error, message", LOAD_ERRORS)
def test_failed_load_changes_nothing(tmp_path, text, error, message):
    model = BM25(0.3, 0.9)
    model.train(["a", "x", "x"])
    before = text_of(model, tmp_path, "before.json")
    with pytest.raises(error) as raised:
        model.load(text)
    if message is not None:
        assert str(raised.value) == message
    assert text_of(model, tmp_path, "after.json") == before
    # The running total survived too: one more document of length 3 makes
    # the average (3 + 3) / 2 only if the total is still 3.
    model.train(["p", "q", "r"])
    assert '"_doc_length_average" : 3.000000,' in text_of(model, tmp_path, "more.json")


SPECIAL_TOKENS = [
    'q"uote',
    "back\\slash",
    "line\nfeed",
    "tab\tcr\r",
    "\x00nul",
    "\x01\x1f\x7f",
    "\\u0041",
    "",
    "中文",
    "😀",
    "/solidus",
]


def test_every_token_survives_dump_and_load(tmp_path):
    model = BM25()
    model.train(SPECIAL_TOKENS)
    model.train([b"\xff\xfe"])
    model.train([-5])
    path = tmp_path / "special.json"
    model.dump(str(path))
    loaded = BM25()
    loaded.load(path.read_bytes())
    assert text_of(loaded, tmp_path, "again.json") == text_of(model, tmp_path, "first.json")
    query = loaded.encode_query(SPECIAL_TOKENS + ["-5"])
    assert query == model.encode_query(SPECIAL_TOKENS + ["-5"])
    # Each token was seen once: the same idf for all.
    assert len(set(query.values())) == 1


def test_ordinary_tokens_are_written_unchanged(tmp_path):
    model = BM25()
    model.train(["中文", "word", "é"])
    text = text_of(model, tmp_path)
    assert '    "word" : 1,\n    "é" : 1,\n    "中文" : 1\n' in text


def test_files_from_pythons_json_module(tmp_path):
    # json.dump escapes non-ASCII as \uXXXX (surrogate pairs beyond the BMP).
    data = {
        "_b": 0.75,
        "_doc_count": 2,
        "_doc_length_average": 2.5,
        "_doc_token_frequency": {"中文": 3, "😀": 1, 'q"': 2},
        "_k1": 1.2,
    }
    path = tmp_path / "other.json"
    with open(path, "w") as out:
        json.dump(data, out, indent=1)
    model = BM25()
    model.load(path.read_text())
    text = text_of(model, tmp_path)
    assert '    "q\\"" : 2,\n    "中文" : 3,\n    "😀" : 1\n' in text
    assert model.encode_query(["中文"]) == {"中文": 1.0}


def test_64_bit_counts_round_trip(tmp_path):
    big = 2**40 + 3
    model = BM25()
    model.load(
        json.dumps(
            {"_b": 0.75, "_doc_count": big, "_doc_length_average": 9.5,
             "_doc_token_frequency": {"t": big * 2}, "_k1": 1.2}
        )
    )
    text = text_of(model, tmp_path)
    assert f'"_doc_count" : {big},' in text
    assert f'"t" : {big * 2}\n' in text
    model.train(["t"])
    assert f'"_doc_count" : {big + 1},' in text_of(model, tmp_path)


def test_dump_failures(tmp_path):
    model = example()
    for path in (tmp_path / "missing" / "m.json", tmp_path):
        with pytest.raises(RuntimeError) as error:
            model.dump(str(path))
        assert str(error.value) == "Failed to dump: Unable to open file"
    if os.path.exists("/dev/full"):
        with pytest.raises(RuntimeError) as error:
            model.dump("/dev/full")
        assert str(error.value).startswith("Failed to dump: ")
        assert str(error.value) != "Failed to dump: Unable to open file"


def test_dump_replaces_the_file_whole(tmp_path):
    path = tmp_path / "model.json"
    path.write_text("x" * 10000)
    os.chmod(path, 0o640)
    example().dump(str(path))
    assert path.read_text() == EXAMPLE
    assert stat.S_IMODE(os.stat(path).st_mode) == 0o640
    assert sorted(os.listdir(tmp_path)) == ["model.json"]


def test_dump_accepts_bytes_paths(tmp_path):
    path = tmp_path / "bytes.json"
    example().dump(os.fsencode(path))
    assert path.read_text() == EXAMPLE


def test_hostile_texts_end_in_a_model_or_an_exception(capfd):
    rng = random.Random(99)
    pieces = ['{', '}', '[', ']', '"', ':', ',', '\\', '\\u', 'd83d', 'e', '-', '.', '1', '0',
              'true', 'nul', '"_doc_count"', '"_b"', '"_k1"', '"_doc_length_average"',
              '"_doc_token_frequency"', ' ', '\x00', 'é']
    model = BM25()
    for _ in range(3000):
        text = "".join(rng.choice(pieces) for _ in range(rng.randint(1, 40)))
        try:
            model.load(text)
        except (RuntimeError, ValueError, IndexError):
            pass
    for text in ("[" * 100000, '{"a":' * 100000, '"' + "\\" * 1001, "1e", '"\\ud83d'):
        with pytest.raises(RuntimeError):
            model.load(text)
    capfd.readouterr()
