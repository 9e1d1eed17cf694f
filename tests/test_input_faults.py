"""Every input gets one clear answer and nothing is lost: bytes, model files,
arguments, error messages and the command line."""

import json
import math
import os
import pathlib
import pickle
import random
import re
import subprocess
import sys

import pytest

import razoduviva
from razoduviva import BM25, Jieba, SparseEncoder

TEXTS = ["我们在北京学习中文。", "今天北京天气不错", "他喜欢喝咖啡", "北京大学的学生"]


@pytest.fixture(scope="module")
def jieba():
    return Jieba()


@pytest.fixture(scope="module")
def fitted(jieba):
    return SparseEncoder(jieba).fit(TEXTS * 3)


# --- bytes --------------------------------------------------------------------


def test_the_decoder_agrees_with_python_on_random_bytes(jieba):
    rng = random.Random(5)
    alphabet = [0x00, 0x41, 0x7F, 0x80, 0xA0, 0xBF, 0xC0, 0xC1, 0xC2, 0xDF, 0xE0, 0xE4, 0xED,
                0xEE, 0xEF, 0xF0, 0xF4, 0xF5, 0xF8, 0xFF, 0x90, 0x9F, 0xB8, 0xAD]
    texts = [bytes(rng.choice(alphabet) if rng.random() < 0.7 else rng.randrange(256)
                   for _ in range(rng.randrange(1, 9))) for _ in range(4000)]
    with razoduviva.native_log("silent"):
        cuts = jieba.cut_many(texts, threads=2)
    for text, words in zip(texts, cuts):
        try:
            decoded = text.decode("utf-8")
        except UnicodeDecodeError:
            assert words == [], text
        else:
            assert "".join(words) == decoded, text


def test_a_bad_text_costs_only_itself(jieba, fitted, capfd, tmp_path):
    bad = [b"\xa1abc", b"\xed\xa0\x80", b"\xc0\x80", b"\xf4\x90\x80\x80", "a\udc80"]
    for text in bad[:4]:
        assert jieba.cut(text) == []
    texts = ["北京天气"] + bad + ["学习中文"]
    assert jieba.cut_many(texts) == [["北京", "天气"], [], [], [], [], [], ["学习", "中文"]]
    err = capfd.readouterr().err
    assert [int(n) for n in re.findall(r"ERROR item (\d+) of the batch", err)] == [1, 2, 3, 4, 5]
    vectors = fitted.encode_documents(texts)
    assert [bool(v["indices"]) for v in vectors] == [True] + [False] * 5 + [True]
    encoder = SparseEncoder(jieba).fit(texts)
    assert encoder.doc_count == 2
    encoder.save(tmp_path / "e.json")
    json.loads((tmp_path / "e.json").read_bytes().decode("utf-8"))  # strict UTF-8 JSON
    # "replace" reads the bad bytes as U+FFFD, as the command line does.
    assert jieba.cut_many([b"ab\xffcd"], errors="replace") == [jieba.cut("ab\ufffdcd")]
    replacing = SparseEncoder(jieba, errors="replace").fit(TEXTS)
    assert replacing.tokens(b"\xff\xe5\x8c\x97\xe4\xba\xac") == replacing.tokens("\ufffd北京")
    capfd.readouterr()


def test_none_and_missing_values_are_no_text(jieba, fitted):
    pandas = pytest.importorskip("pandas")
    column = pandas.Series(["北京天气", None, pandas.NA, math.nan, "学习中文"], dtype=object)
    assert jieba.cut_many(column)[1:4] == [[], [], []]
    assert [v["indices"] == [] for v in fitted.encode_documents(column)] == \
        [False, True, True, True, False]
    assert SparseEncoder(jieba).fit(column).doc_count == 2
    assert fitted.tokens(None) == []
    with pytest.raises(TypeError, match="item 1 is int"):
        jieba.cut_many(["a", 1])


# --- files --------------------------------------------------------------------


def test_model_files_keep_what_they_are_given(jieba, tmp_path):
    encoder = SparseEncoder(jieba, b=1 / 3, k1=1e-7).fit(TEXTS)
    encoder.save(tmp_path / "e.json")
    loaded = SparseEncoder.load(tmp_path / "e.json")
    assert (loaded.b, loaded.k1, loaded.average_length) == (1 / 3, 1e-7, encoder.average_length)
    assert loaded == encoder
    assert loaded.encode_documents(TEXTS) == encoder.encode_documents(TEXTS)
    SparseEncoder(jieba, b=1 / 3, k1=1e-7).merge(loaded)
    # The model members are unchanged for other readers.
    assert BM25().load((tmp_path / "e.json").read_text()) is None


@pytest.mark.parametrize("member, value", [("_doc_count", -3), ("_doc_length_average", -1.5),
                                           ("_doc_token_frequency", {"北京": -2})])
def test_impossible_statistics_are_refused_by_name(jieba, tmp_path, member, value):
    path = tmp_path / "e.json"
    SparseEncoder(jieba).fit(TEXTS).save(path)
    data = json.loads(path.read_text())
    data[member] = value
    if member == "_doc_length_average":
        data["_encoder"]["exact"]["average"] = str(value)
    path.write_text(json.dumps(data, ensure_ascii=False))
    with pytest.raises(ValueError, match=re.escape('"%s"' % member)):
        SparseEncoder.load(path)


def test_a_segmenter_on_other_data_is_refused(jieba, tmp_path):
    SparseEncoder(jieba).fit(TEXTS).save(tmp_path / "e.json")
    (tmp_path / "user.txt").write_text("区块链技术 5 n\n", encoding="utf-8")
    other = Jieba(user_dict_path=tmp_path / "user.txt")
    with pytest.raises(ValueError, match="fnv1a64:.*fnv1a64:"):
        SparseEncoder.load(tmp_path / "e.json", jieba=other)
    assert SparseEncoder.load(tmp_path / "e.json", jieba=other, check_data=False).doc_count == 12 // 3
    # A file of an earlier version (no exact values, no fingerprint) loads.
    data = json.loads((tmp_path / "e.json").read_text())
    del data["_encoder"]["exact"], data["_encoder"]["data_fingerprint"]
    (tmp_path / "old.json").write_text(json.dumps(data))
    assert SparseEncoder.load(tmp_path / "old.json", jieba=other).doc_count == 4


# --- arguments ----------------------------------------------------------------


def test_arguments_are_checked_where_they_enter(jieba, fitted, tmp_path):
    for b, k1 in ((2, 1.2), (-1, 1.2), (0.5, -1), (0.5, math.inf)):
        with pytest.raises(ValueError, match="b must|k1 must"):
            SparseEncoder(jieba, b=b, k1=k1)
    for call in (lambda: fitted.encode_queries(TEXTS, idf="no"), lambda: jieba.cut("北京", hmm=None),
                 lambda: SparseEncoder(jieba, nfkc="yes"),
                 lambda: jieba.cut_many(TEXTS, hmm=0), lambda: jieba.keywords("北京", with_weights=1)):
        with pytest.raises(TypeError, match="must be True or False"):
            call()
    model = BM25()
    model.train(["a"])
    model.dump(tmp_path / "m.json")  # os.PathLike everywhere
    fitted.save(pathlib.Path(tmp_path / "e.json"))
    assert SparseEncoder.load(pathlib.Path(tmp_path / "e.json")) == fitted
    assert Jieba(dict_path=pathlib.Path(razoduviva.data.DICT_PATH)).cut("北京") == ["北京"]


# --- errors -------------------------------------------------------------------


@pytest.mark.parametrize("call, message", [
    (lambda j, e: j.cut(42), "Jieba.cut() argument 'sentence' must be str, bytes or bytearray, not int"),
    (lambda j, e: j.cut(), "Jieba.cut() missing required argument 'sentence'"),
    (lambda j, e: j.tokenize("a", modes="x"), "Jieba.tokenize() got an unexpected keyword argument 'modes'"),
    (lambda j, e: BM25().train([1.5]), "BM25.train() argument 'tokens' must be a list of int ids or a "
                                       "list of str (or bytes) tokens, not list"),
    (lambda j, e: BM25(b="x"), "BM25() argument 'b' must be a number, not str"),
    (lambda j, e: e.save(3), "SparseEncoder.save() argument 'path' must be str, bytes or os.PathLike, not int"),
    (lambda j, e: e.encode_documents(TEXTS, format=3), "SparseEncoder.encode_documents() argument 'format' "
                                                       "must be str, not int"),
])
def test_wrong_arguments_are_named(jieba, fitted, call, message):
    with pytest.raises(TypeError) as info:
        call(jieba, fitted)
    assert str(info.value) == message
    assert "incompatible" not in str(info.value) and "_core" not in str(info.value)


def test_errors_say_what_is_wrong(jieba, fitted, tmp_path):
    with pytest.raises(FileNotFoundError) as info:
        fitted.save(tmp_path / "no" / "e.json")
    assert info.value.filename == str(tmp_path / "no" / "e.json")
    with pytest.raises(ValueError, match=re.escape("lone surrogate, U+DC80, at index 1")):
        fitted.tokens("a\udc80")
    for empty in (SparseEncoder(jieba), SparseEncoder(jieba).fit([]), SparseEncoder(jieba).fit(["，。"])):
        assert empty.doc_count == 0
        with pytest.raises(RuntimeError, match=r"not fitted: call fit\(texts\)"):
            empty.encode_documents(["北京"])
    with pytest.raises(TypeError, match=r"SparseEncoder.load\(path\)"):
        fitted.load(tmp_path / "e.json")


def test_user_dictionary_lines_that_cannot_take_effect_are_logged(tmp_path, capfd):
    path = tmp_path / "user.txt"
    path.write_text("区块链技术 5\n好词 0 n\n坏词 x n\n字\t3\na b c d\n正常 3 n\n单词\n",
                    encoding="utf-8")
    capfd.readouterr()
    Jieba(user_dict_path=path)
    warnings = re.findall(r" WARN %s:(\d+): (.*)" % re.escape(str(path)), capfd.readouterr().err)
    assert [int(line) for line, _ in warnings] == [1, 2, 3, 4, 5]
    assert "read as a tag" in warnings[0][1] and "tab" in warnings[3][1]


# --- what a model holds, and the command line ----------------------------------


def test_models_show_what_they_hold(fitted):
    model = fitted.model
    assert (model.b, model.k1, model.doc_count) == (0.75, 1.2, 12)
    assert model.vocabulary_size == fitted.vocabulary_size > 0
    assert model == pickle.loads(pickle.dumps(model)) and model != BM25()
    assert "12 documents" in repr(model) and "12 documents" in repr(fitted)
    assert pickle.loads(pickle.dumps(fitted)) == fitted


def run(*args, **kwargs):
    return subprocess.run([sys.executable, "-m", "razoduviva", *args], capture_output=True,
                          text=True, **kwargs)


def test_the_command_line_and_the_encoder_agree(fitted, tmp_path):
    assert run("--version").stdout.strip() == "razoduviva " + razoduviva.__version__
    (tmp_path / "corpus.txt").write_text("\n".join(TEXTS * 3) + "\n", encoding="utf-8")
    assert run("fit", "corpus.txt", "-o", "e.json", cwd=tmp_path).returncode == 0
    assert SparseEncoder.load(tmp_path / "e.json") == fitted
    out = run("encode", "e.json", "--format", "indices", "我们在北京学习中文。", cwd=tmp_path).stdout
    assert json.loads(out) == fitted.encode_documents(["我们在北京学习中文。"])[0]
    # The encoder's own tokens: 北京 学习 中文, stop words and punctuation
    # out, and with the bigram field their CJK bigrams.
    assert run("fit", "corpus.txt", "-o", "w.json", "--bigrams", "0", cwd=tmp_path).returncode == 0
    out = run("encode", "w.json", "--format", "indices", "我们在北京学习中文。", cwd=tmp_path).stdout
    assert len(json.loads(out)["indices"]) == 3
    refused = run("encode", "e.json", "--mode", "search", "北京", cwd=tmp_path)
    assert refused.returncode == 1 and "holds its own settings" in refused.stderr
