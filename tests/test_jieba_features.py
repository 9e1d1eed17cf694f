"""Modes, offsets, tags, keywords and run-time words of Jieba, on the bundled
data and its sample of real sentences, and on small files worked by hand."""

import random
import threading

import pytest

import razoduviva
import razoduviva.data
from razoduviva import Jieba

MODES = ("default", "search", "full")


@pytest.fixture(scope="module")
def bundled():
    return Jieba(**razoduviva.data.paths())


@pytest.fixture(scope="module")
def sentences():
    with open(razoduviva.data.SAMPLE_PATH, encoding="utf-8") as f:
        lines = [line.rstrip("\n") for line in f if line.strip()]
    # Real sentences, and some mixed with ASCII, separators and astral
    # characters, so that code points and bytes differ in count.
    rng = random.Random(9)
    extra = [" ", "\t", "，", "。", "abc", "3.14", "😀", "𠀀", "\r"]
    mixed = []
    for line in lines[:60]:
        chars = list(line)
        for _ in range(5):
            chars.insert(rng.randrange(len(chars) + 1), rng.choice(extra))
        mixed.append("".join(chars))
    return lines + mixed


def test_tokenize_offsets_locate_the_words_of_each_cut(bundled, sentences):
    cuts = {
        ("default", True): bundled.cut,
        ("default", False): lambda s: bundled.cut(s, hmm=False),
        ("search", True): bundled.cut_for_search,
        ("search", False): lambda s: bundled.cut_for_search(s, hmm=False),
        ("full", True): bundled.cut_full,
    }
    for sentence in sentences:
        encoded = sentence.encode("utf-8")
        for (mode, hmm), cut in cuts.items():
            tokens = bundled.tokenize(sentence, mode=mode, hmm=hmm)
            assert [w for w, _, _ in tokens] == cut(sentence), (mode, hmm, sentence)
            for word, start, end in tokens:
                assert sentence[start:end] == word
            for word, start, end in bundled.tokenize(encoded, mode=mode, hmm=hmm):
                assert encoded[start:end].decode("utf-8") == word
            assert cut(bytearray(encoded)) == cut(sentence)


def test_modes_differ_where_they_should(bundled):
    assert bundled.cut("二氧化碳") == ["二氧化碳"]
    assert bundled.cut_for_search("二氧化碳") == ["氧化", "二氧化碳"]
    assert "氧化" in bundled.cut_full("二氧化碳")
    # Without the HMM, characters outside the dictionary stay single.
    assert bundled.cut("", hmm=False) == []
    with pytest.raises(ValueError, match="'default', 'search' or 'full'"):
        bundled.tokenize("北京", mode="exact")


def test_tags_follow_the_cut(bundled, sentences):
    for sentence in sentences[:100]:
        for hmm in (True, False):
            pairs = bundled.tag(sentence, hmm=hmm)
            assert [w for w, _ in pairs] == bundled.cut(sentence, hmm=hmm)
    assert bundled.tag("北京天气不错") == [("北京", "ns"), ("天气", "n"), ("不错", "a")]
    # The rules for words the dictionary lacks.
    assert dict(bundled.tag("2024 GPU")) == {"2024": "m", " ": "x", "GPU": "eng"}


def write_files(tmp_path, idf, stop):
    paths = razoduviva.data.paths()
    (tmp_path / "idf.txt").write_text(idf, encoding="utf-8")
    (tmp_path / "stop.txt").write_text(stop, encoding="utf-8")
    paths.update(idf_path=str(tmp_path / "idf.txt"), stop_word_path=str(tmp_path / "stop.txt"))
    return paths


def test_keywords_worked_by_hand(tmp_path, bundled):
    jieba = Jieba(**write_files(tmp_path, "北京 6.0\n天气 2.0\n喜欢 9.0\n", "喜欢\n"))
    sentence = "北京天气不错，北京的天气也不错，我喜欢北京。"
    assert bundled.cut(sentence) == [
        "北京", "天气", "不错", "，", "北京", "的", "天气", "也", "不错", "，",
        "我", "喜欢", "北京", "。"]
    # Counted: 北京 x3, 天气 x2, 不错 x2 (喜欢 is a stop word; the rest have
    # one character): 7 words. The average idf is (6 + 2 + 9) / 3 = 17/3.
    expected = [("北京", 3 * 6.0 / 7), ("不错", 2 * (17 / 3) / 7), ("天气", 2 * 2.0 / 7)]
    got = jieba.keywords(sentence, with_weights=True)
    assert [w for w, _ in got] == [w for w, _ in expected]
    assert [v for _, v in got] == pytest.approx([v for _, v in expected], rel=1e-12)
    assert jieba.keywords(sentence, 2) == ["北京", "不错"]
    assert jieba.keywords(sentence, 0) == []
    assert jieba.keywords(sentence, None) == ["北京", "不错", "天气"]
    # Only nouns: 北京 (ns) is not n; 天气 alone is counted, over 2 words.
    assert jieba.keywords(sentence, tags={"n"}, with_weights=True) == [("天气", 2.0)]
    assert jieba.keywords(sentence, tags={"n", "ns"}) == ["北京", "天气"]
    # Ties go by the word.
    assert jieba.keywords("天气北京天气北京", with_weights=False, tags=[]) == []
    for bad, error in ((-1, ValueError), ("3", TypeError)):
        with pytest.raises(error):
            jieba.keywords(sentence, bad)
    with pytest.raises(TypeError, match="not one string"):
        jieba.keywords(sentence, tags="n")


def test_keyword_ties_go_by_the_word(tmp_path):
    jieba = Jieba(**write_files(tmp_path, "北京 3.0\n上海 3.0\n", ""))
    # Four words counted, two of each: 2 * 3.0 / 4 each.
    assert jieba.keywords("上海北京上海北京", with_weights=True) == [("上海", 1.5), ("北京", 1.5)]
    assert jieba.keywords("北京上海北京上海", with_weights=True) == [("上海", 1.5), ("北京", 1.5)]


def test_added_words_reach_every_mode_and_removal_restores(tmp_path):
    jieba = Jieba()
    sentence = "他在云计算平台工作"
    before = {mode: jieba.tokenize(sentence, mode=mode) for mode in MODES}
    tags = jieba.tag(sentence)
    jieba.add_word("云计算平台", tag="nz")
    assert "云计算平台" in jieba.cut(sentence)
    assert "云计算平台" in jieba.cut_for_search(sentence)
    assert "云计算平台" in jieba.cut_full(sentence)
    assert ("云计算平台", "nz") in jieba.tag(sentence)
    jieba.remove_word("云计算平台")
    assert {mode: jieba.tokenize(sentence, mode=mode) for mode in MODES} == before
    assert jieba.tag(sentence) == tags

    # A loaded word removed is cut as if the dictionary never had it.
    assert "天气" in jieba.cut_full("天气")
    jieba.remove_word("天气")
    assert "天气" not in jieba.cut_full("天气")
    assert [w for w, _ in jieba.tag("天气", hmm=False)] == ["天", "气"]
    jieba.remove_word("天气")  # again: nothing happens
    jieba.remove_word("不在词典里的词")
    jieba.add_word("天气")  # back, with the user-word weight and no tag
    assert jieba.cut("天气") == ["天气"]


def test_add_word_freq_and_tag(bundled):
    jieba = Jieba()
    # A rare frequency does not join, a high one does.
    jieba.add_word("北京天气", freq=0.01)
    assert jieba.cut("今天北京天气", hmm=False) == ["今天", "北京", "天气"]
    jieba.add_word("北京天气", freq=10**7)
    assert jieba.cut("今天北京天气", hmm=False) == ["今天", "北京天气"]
    # tag=None keeps the tag the word has.
    jieba.add_word("北京", freq=10**6)
    assert jieba.tag("北京") == [("北京", "ns")]
    jieba.add_word(b"\xe5\x8c\x97\xe4\xba\xac", tag="x")
    assert jieba.tag("北京") == [("北京", "x")]
    assert bundled.tag("北京") == [("北京", "ns")]  # another object is untouched


@pytest.mark.parametrize("word, kwargs", [
    ("", {}), (b"\xff\xfe", {}), ("北京 上海", {}), ("北京。", {}), ("字" * 513, {}),
    ("北京", {"freq": 0}), ("北京", {"freq": -3}), ("北京", {"freq": float("nan")}),
    ("北京", {"freq": float("inf")}),
])
def test_add_word_refuses_words_no_cut_can_return(bundled, word, kwargs):
    with pytest.raises(ValueError):
        bundled.add_word(word, **kwargs)
    assert bundled.cut("北京") == ["北京"]


def test_bad_sentences_fail_like_cut(bundled, capfd):
    bad = b"\xe5\x8c\x97\xff"
    for call in (bundled.cut, bundled.cut_full, bundled.tokenize, bundled.tag, bundled.keywords,
                 lambda s: bundled.tokenize(s, mode="search")):
        assert call(bad) == []
        assert " ERROR decode failed. " in capfd.readouterr().err
    for call in (bundled.cut_full, bundled.tokenize, bundled.tag, bundled.keywords,
                 bundled.add_word, bundled.remove_word):
        with pytest.raises(TypeError):
            call(42)


def test_word_changes_under_concurrent_cuts():
    jieba = Jieba()
    sentences = ["他在云计算平台工作，云计算平台很大", "云计算平台" * 20, "今天北京天气不错"]
    without = [jieba.cut(s) for s in sentences]
    jieba.add_word("云计算平台", freq=10**6)
    with_word = [jieba.cut(s) for s in sentences]
    assert with_word[0] != without[0]
    stop = threading.Event()
    bad = []

    def cut():
        while not stop.is_set():
            for k, s in enumerate(sentences):
                words = jieba.cut(s)
                if words != with_word[k] and words != without[k]:
                    bad.append(words)

    threads = [threading.Thread(target=cut) for _ in range(3)]
    for t in threads:
        t.start()
    try:
        for _ in range(300):
            jieba.remove_word("云计算平台")
            jieba.add_word("云计算平台", freq=10**6)
    finally:
        stop.set()
        for t in threads:
            t.join()
    assert bad == []
