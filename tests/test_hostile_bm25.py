"""Hostile input to BM25 and its model file: every case ends in the model's
documented behaviour or a clear Python exception, never a crash, and a
failed call leaves the model as it was."""

import json
import math
import os

import pytest

from razoduviva import BM25

FIVE = {"_b": "0.75", "_doc_count": "2", "_doc_length_average": "2.5", "_k1": "1.2"}


def model_text(**members):
    """A model file's text with the members' values given as raw JSON text."""
    values = dict(FIVE, **members)
    return "{" + ", ".join(f'"{key}": {value}' for key, value in values.items()) + "}"


def written(model, tmp_path, name="model.json"):
    path = tmp_path / name
    model.dump(str(path))
    return path.read_bytes()


def trained():
    model = BM25(0.3, 0.9)
    model.train(["a", "x", "x"])
    return model


def test_a_huge_model_file(tmp_path):
    tokens = {f"t{i}": i + 1 for i in range(300_000)}
    tokens["long" * 2_000_000] = 5  # one 8 MB token
    text = json.dumps(
        {"_b": 0.75, "_doc_count": 10, "_doc_length_average": 3.5, "_doc_token_frequency": tokens,
         "_k1": 1.2}
    )
    assert len(text) > 12_000_000
    model = BM25()
    model.load(text)
    query = model.encode_query(["t0", "t299999", "long" * 2_000_000])
    # idf = ln(11 / (n + 0.5)), divided by the sum of the three.
    idf = {"t0": math.log(11 / 1.5), "t299999": math.log(11 / 300_000.5),
           "long" * 2_000_000: math.log(11 / 5.5)}
    assert query == pytest.approx({key: w / sum(idf.values()) for key, w in idf.items()})
    again = BM25()
    again.load(written(model, tmp_path))
    assert written(again, tmp_path, "again.json") == written(model, tmp_path)


DEEP = 1_000_000


@pytest.mark.parametrize(
    "text",
    [
        "[" * DEEP,
        "{" * DEEP,
        '{"a":' * DEEP,
        "[" * DEEP + "]" * DEEP,
        # Too deep inside a member: the whole text is abandoned, the good
        # members included.
        model_text(_doc_token_frequency="[" * 300 + "]" * 300),
    ],
    ids=["arrays", "braces", "members", "closed", "inside-a-model"],
)
def test_deep_nesting_is_an_error_not_a_stack_overflow(text, capfd):
    model = trained()
    with pytest.raises(RuntimeError, match="^load doc_count failed$"):
        model.load(text)
    assert "Nesting deeper than 256 levels" in capfd.readouterr().err


def test_nesting_within_the_cap_loads(capfd):
    model = BM25()
    model.load(model_text(ignored="[" * 200 + "]" * 200))
    assert capfd.readouterr().err == ""
    assert model.encode_query(["a"]) == {"a": 1.0}


# Number texts as the value of "_b": what the model ends with ("b" and the
# written value), or the exception. The parser reads the longest valid
# prefix of a mantissa; forms it does not know end the object early, so the
# later members are missing.
ODD_FLOATS = [
    ("0.5", "0.500000"),
    ("-0.0", "-0.000000"),
    ("5e-1", "0.500000"),
    ("5E+0", "5.000000"),
    ("1.0E-2", "0.010000"),
    ("1e2", "100.000000"),
    ("2.", "2.000000"),
    ("-.5", "-0.500000"),
    ("00012.5", "12.500000"),
    ("1.2.3", "1.200000"),
    ("1..5", "1.000000"),
    ("1.5-2", "1.500000"),
    ("0e400", "0.000000"),
    ("1e-400", "0.000000"),
    ("1e308", f"{1e308:.6f}"),
    ("--1.0", ValueError),
    ("-", ValueError),
    ("1.0e", ValueError),
    ("1.0e+", ValueError),
    ("1e400", IndexError),
    ("-2.5e309", IndexError),
    ("1e99999999999999999999", IndexError),
    ("1" + "0" * 400 + ".0", IndexError),
    ("0." + "0" * 400 + "1", IndexError),
    (".5", "load doc_count failed"),
    ("+1.0", "load doc_count failed"),
    ("NaN", "load doc_count failed"),
    ("nan", "load doc_count failed"),
    ("Infinity", "load doc_count failed"),
    ("-inf", "load doc_count failed"),
    ("0x10", "load doc_count failed"),
    ("1_0.0", "load doc_count failed"),
    ("１.０", "load doc_count failed"),
    ("1.5e2.5", "load doc_count failed"),
    ("1.0\x00", "load b failed"),
    ("1", "load b failed"),
    ('"1.0"', "load b failed"),
]


@pytest.mark.parametrize("number, outcome", ODD_FLOATS)
def test_numbers_of_every_odd_form(tmp_path, capfd, number, outcome):
    model = trained()
    before = written(model, tmp_path, "before.json")
    text = model_text(_b=number)
    if isinstance(outcome, type):
        with pytest.raises(outcome):
            model.load(text)
    elif outcome.startswith("load "):
        with pytest.raises(RuntimeError) as error:
            model.load(text)
        assert str(error.value) == outcome
    else:
        model.load(text)
        assert f'"_b" : {outcome},'.encode() in written(model, tmp_path)
        return
    assert written(model, tmp_path, "after.json") == before
    capfd.readouterr()


ODD_INTEGERS = [
    ("007", 7),
    ("-0", 0),
    ("1-2", 1),
    ("9223372036854775807", 9223372036854775807),
    ("-9223372036854775808", -9223372036854775808),
    ("9223372036854775808", IndexError),
    ("-9223372036854775809", IndexError),
    ("--5", ValueError),
    ("1e2", "load doc_count failed"),
    ("2.", "load doc_count failed"),
    ("true", "load doc_count failed"),
    ("null", "load doc_count failed"),
]


@pytest.mark.parametrize("number, outcome", ODD_INTEGERS)
def test_document_counts_of_every_odd_form(tmp_path, capfd, number, outcome):
    model = trained()
    before = written(model, tmp_path, "before.json")
    text = model_text(_doc_count=number)
    if isinstance(outcome, int):
        model.load(text)
        assert f'"_doc_count" : {outcome},'.encode() in written(model, tmp_path)
        # Training on from any loaded count neither wraps nor crashes.
        model.train(["a"])
        return
    with pytest.raises(RuntimeError if isinstance(outcome, str) else outcome) as error:
        model.load(text)
    if isinstance(outcome, str):
        assert str(error.value) == outcome
    assert written(model, tmp_path, "after.json") == before
    capfd.readouterr()


def test_counts_at_the_largest_value_stop_there(tmp_path):
    model = BM25()
    model.load(
        model_text(_doc_count="9223372036854775807",
                   _doc_token_frequency='{"a": 9223372036854775807}')
    )
    model.train(["a", "a"])
    text = written(model, tmp_path)
    assert b'"_doc_count" : 9223372036854775807,' in text
    assert b'"a" : 9223372036854775807\n' in text


LONE_SURROGATES = ["\ud800", "a\udfffb", "\udc80\udc81"]


@pytest.mark.parametrize("token", LONE_SURROGATES)
def test_lone_surrogates_in_tokens_match_no_overload(tmp_path, token):
    model = trained()
    before = written(model, tmp_path, "before.json")
    for call in (model.train, model.encode_document, model.encode_query):
        with pytest.raises(TypeError):
            call(["ok", token])
    with pytest.raises(TypeError):
        model.load(model_text(_doc_token_frequency='{"' + token + '": 1}'))
    assert written(model, tmp_path, "after.json") == before


def test_nul_bytes_in_tokens_are_ordinary_bytes(tmp_path):
    tokens = ["\x00", "a\x00b", "a\x00", "a"]
    model = BM25()
    model.train(tokens)
    model.train(["a"])
    assert list(model.encode_document(tokens)) == sorted(tokens)
    loaded = BM25()
    loaded.load(written(model, tmp_path))
    assert loaded.encode_query(tokens) == model.encode_query(tokens)
    assert loaded.encode_query(["a"]) != loaded.encode_query(["a\x00"])


def test_nul_bytes_in_model_text(capfd):
    model = BM25()
    with pytest.raises(RuntimeError, match="^load doc_count failed$"):
        model.load("\x00" + model_text())
    assert capfd.readouterr().err == "ERROR: Parse: Unknown starting character '\x00'\n"
    # Inside a key, a NUL byte is part of the token.
    model.load(model_text(_doc_token_frequency='{"a\x00b": 3}'))
    assert model.encode_query(["a\x00b", "a"])["a\x00b"] < 0.5


def test_dump_refuses_a_path_with_a_nul_byte(tmp_path):
    # The system would cut the path at the NUL byte and write another file.
    with pytest.raises(ValueError, match="embedded null byte"):
        trained().dump(str(tmp_path / "model.json") + "\x00.bak")
    assert os.listdir(tmp_path) == []


def test_texts_that_are_not_str_or_bytes():
    model = BM25()
    for text in (None, 3, ["{}"], {"_b": 0.5}):
        with pytest.raises(TypeError):
            model.load(text)


@pytest.mark.parametrize("b, k1", [(math.nan, 1.2), (0.75, math.inf), (-math.inf, 1.2)])
def test_parameters_that_no_model_file_could_hold(b, k1):
    # A model with NaN or infinite b or k1 could be dumped but never loaded.
    with pytest.raises(ValueError, match="b and k1 must be finite"):
        BM25(b, k1)
    with pytest.raises(ValueError):
        BM25(b=b, k1=k1)
