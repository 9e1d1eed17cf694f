"""Pickling both classes by value, restored in a fresh interpreter."""

import copy
import pickle
import subprocess
import sys

import pytest

import razoduviva
import razoduviva.data
from razoduviva import BM25, Jieba

SENTENCES = ["他在云计算平台工作", "今天北京天气不错，我们去长城", "二氧化碳排放量", "Python 3.13 发布了"]


def in_fresh_interpreter(code, data):
    """Runs `code` in a new interpreter with `obj` = pickle.loads(data) and
    returns what it prints as Python literals."""
    script = "import pickle, sys\nobj = pickle.loads(sys.stdin.buffer.read())\n" + code
    done = subprocess.run([sys.executable, "-c", script], input=data, capture_output=True,
                          check=True)
    return eval(done.stdout.decode("utf-8"))


def test_bm25_restores_counts_and_trains_on():
    model = BM25(b=0.5, k1=1.6)
    for tokens in (["a", "b", "a"], ["b", "c"], [1, 2, 2]):
        model.train(tokens)
    data = pickle.dumps(model)
    code = ("print(repr((obj.encode_document(['a', 'c', 'z']), obj.encode_query(['a', '2']),"
            " type(obj).__module__)))")
    document, query, module = in_fresh_interpreter(code, data)
    assert document == model.encode_document(["a", "c", "z"])
    assert query == model.encode_query(["a", "2"])
    assert module == "razoduviva"
    restored = pickle.loads(data)
    for m in (model, restored):
        m.train(["c", "d"])
    assert restored.encode_query(["c", "d", "a"]) == model.encode_query(["c", "d", "a"])
    assert pickle.dumps(restored) == pickle.dumps(model)
    assert copy.deepcopy(model).encode_query(["b"]) == model.encode_query(["b"])


def test_bm25_refuses_damaged_or_foreign_states():
    state = BM25().__getstate__()
    with pytest.raises(ValueError, match="not a razoduviva BM25 state"):
        BM25.__new__(BM25).__setstate__(b"junk" + state)
    other = bytearray(state)
    other[16] = 9  # the format number, after the magic
    with pytest.raises(ValueError, match="format 9 is not supported"):
        BM25.__new__(BM25).__setstate__(bytes(other))
    with pytest.raises(ValueError, match="corrupt state"):
        BM25.__new__(BM25).__setstate__(state[:-3])


def cuts(jieba):
    return [(jieba.cut(s), jieba.cut_for_search(s), jieba.tag(s), jieba.keywords(s, 3))
            for s in SENTENCES]


CUTS_CODE = ("print(repr([(obj.cut(s), obj.cut_for_search(s), obj.tag(s), obj.keywords(s, 3))"
             " for s in %r]))" % SENTENCES)


def test_bundled_jieba_pickles_as_a_reference_with_its_words():
    jieba = Jieba()
    jieba.add_word("云计算平台", tag="nz")
    jieba.remove_word("天气")
    data = pickle.dumps(jieba)
    assert len(data) < 1000
    assert in_fresh_interpreter(CUTS_CODE, data) == cuts(jieba)
    # The explicit paths of the bundled data are the bundled data too.
    assert len(pickle.dumps(Jieba(**razoduviva.data.paths()))) < 1000
    copied = copy.deepcopy(jieba)
    assert cuts(copied) == cuts(jieba)
    copied.remove_word("云计算平台")
    assert "云计算平台" in jieba.cut(SENTENCES[0])


def test_other_jieba_pickles_its_data(tmp_path):
    user = tmp_path / "user.txt"
    user.write_text("云计算平台 100 nz\n北京天气 10\n", encoding="utf-8")
    jieba = Jieba(user_dict_path=str(user))
    jieba.add_word("排放量", tag="n")
    data = pickle.dumps(jieba)
    assert 1_000_000 < len(data) < 10_000_000
    user.unlink()  # no file is needed on the other side
    assert in_fresh_interpreter(CUTS_CODE, data) == cuts(jieba)
    assert pickle.loads(data)._edits() == jieba._edits()


def test_pickles_that_cannot_be_read_say_why():
    jieba = Jieba()
    state = jieba.__getstate__()
    for change, message in (({"bundled": "0" * 64}, "bundled data installed here"),
                            ({"format": 99, "version": "9.9"}, "razoduviva 9.9")):
        with pytest.raises(ValueError, match=message):
            Jieba.__new__(Jieba).__setstate__({**state, **change})
    with pytest.raises(ValueError, match="damaged"):
        Jieba.__new__(Jieba).__setstate__({"format": 1, "version": "x", "state": b"not zlib"})
