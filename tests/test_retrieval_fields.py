"""Vectors that retrieve: the bigram field, the idf of documents, the folds,
and the encoder's own stop words, through every way an encoder travels."""

import json
import math
import pickle

import pytest

import razoduviva
from razoduviva import BM25, Jieba, SparseEncoder

from .test_corpus import WORDS, murmur3_32

TOP = 0x80000000
TEXTS = ["北京天气不错", "我们在北京学习中文。", "今天上海下雨", "北京大学的学生在图书馆",
         "他喜欢喝咖啡", "的了", "GPU 3.14 ok"]


@pytest.fixture(scope="module")
def jieba():
    return Jieba()


@pytest.fixture(scope="module")
def sample():
    with open(razoduviva.data.SAMPLE_PATH, encoding="utf-8") as f:
        return [line.strip() for line in f if line.strip()]


def hashed(*fields):
    """The "indices" form of {token: weight} dicts, words' and bigrams'."""
    out = {}
    for vector, bigrams in fields:
        for token, weight in vector.items():
            key = murmur3_32(token.encode("utf-8"))
            key = key | TOP if bigrams else key & ~TOP
            out[key] = out.get(key, 0.0) + weight
    return {"indices": sorted(out), "values": [out[k] for k in sorted(out)]}


def test_two_fields_are_two_encoders_added(jieba, sample):
    options = dict(WORDS, bigrams=1.5)
    encoder = SparseEncoder(jieba, **options).fit(sample)
    words = SparseEncoder(jieba, **WORDS).fit(sample)
    bigrams = BM25()
    for text in sample:
        if encoder.tokens(text, bigrams=True):
            bigrams.train(encoder.tokens(text, bigrams=True))
    assert encoder.model == words.model
    texts = sample[:60] + TEXTS
    for text, document, query in zip(texts, encoder.encode_documents(texts),
                                     encoder.encode_queries(texts)):
        grams = encoder.tokens(text, bigrams=True)
        word_tokens = words.tokens(text)
        expected = hashed((words.model.encode_document(word_tokens), False),
                          (bigrams.encode_document(grams), True))
        assert document["indices"] == expected["indices"]
        assert document["values"] == pytest.approx(expected["values"], rel=1e-15)
        scaled = {t: 1.5 * w for t, w in bigrams.encode_query(grams).items()}
        expected = hashed((words.model.encode_query(word_tokens), False), (scaled, True))
        assert query["values"] == pytest.approx(expected["values"], rel=1e-12)
    # bigrams=0 is the encoder of words alone: its vectors are its model's.
    assert words.encode_documents(texts, format="dict") == [
        words.model.encode_document(words.tokens(t)) for t in texts]


def test_word_and_bigram_ids_do_not_meet(jieba, sample):
    encoder = SparseEncoder(jieba).fit(sample)
    for text, vector in zip(sample, encoder.encode_documents(sample)):
        words = len(encoder.tokens(text))
        ids = vector["indices"]
        assert all(i < TOP for i in ids[:len(set(encoder.tokens(text)))])
        assert all(i >= TOP for i in ids[len(set(encoder.tokens(text))):]) or words == 0
    # The word 北京 and the bigram 北京 are two features.
    assert len(encoder.encode_documents(["北京"])[0]["indices"]) == 2


def test_idf_of_documents_is_never_negative(jieba):
    texts = ["北京北京北京天气", "北京北京上海", "北京广州"]
    occurrences = SparseEncoder(jieba, **WORDS).fit(texts)
    assert occurrences.encode_queries(["北京天气"], format="dict")[0]["北京"] < 0
    documents = SparseEncoder(jieba, **dict(WORDS, idf="documents")).fit(texts)
    query = documents.encode_queries(["北京天气"], format="dict")[0]
    assert min(query.values()) > 0 and sum(query.values()) == pytest.approx(1)
    n, df = 3, {"北京": 3, "天气": 1}
    weights = {t: math.log1p((n - d + 0.5) / (d + 0.5)) for t, d in df.items()}
    assert query == pytest.approx({t: w / sum(weights.values()) for t, w in weights.items()})


def test_folds_make_one_token_of_every_script(jieba):
    encoder = SparseEncoder(jieba)
    assert encoder.tokens("美國") == encoder.tokens("美国") == ["美国"]
    assert encoder.tokens("這個大學") == encoder.tokens("这个大学") == ["大学"]
    assert encoder.tokens("ＧＰＵ Café") == encoder.tokens("gpu café") == ["gpu", "café"]
    # Without the folds, the stop words hold both scripts all the same.
    plain = SparseEncoder(jieba, **WORDS)
    assert plain.tokens("這個大學") == ["大學"] and plain.tokens("這個大學").count("個") == 0
    assert SparseEncoder(jieba, t2s=False).tokens("美國") != encoder.tokens("美國")
    assert jieba.cut("Müller在café喝咖啡，naïve") == ["Müller", "在", "café", "喝", "咖啡", "，",
                                                   "naïve"]


def test_own_stop_words(jieba, tmp_path):
    listed = SparseEncoder(jieba, stop_words=["北京", "天气"])
    assert listed.stop_words == ("北京", "天气") or listed.stop_words == ("天气", "北京")
    assert listed.tokens("北京天气不错，的") == ["不错", "的"]
    (tmp_path / "stop.txt").write_text("不错\n\n 的 \n", encoding="utf-8")
    from_file = SparseEncoder(jieba, stop_words=tmp_path / "stop.txt")
    assert from_file.tokens("北京天气不错，的") == ["北京", "天气"]
    with pytest.raises(TypeError, match="stop_words"):
        SparseEncoder(jieba, stop_words=3)


def test_both_fields_travel(jieba, sample, tmp_path):
    half = len(sample) // 2
    whole = SparseEncoder(jieba, stop_words=["的"]).fit(sample)
    merged = SparseEncoder(jieba, stop_words=["的"]).fit(sample[:half])
    merged.merge(SparseEncoder(jieba, stop_words=["的"]).fit(sample[half:]))
    assert merged == whole
    assert merged.encode_queries(TEXTS) == whole.encode_queries(TEXTS)
    whole.save(tmp_path / "e.json")
    loaded = SparseEncoder.load(tmp_path / "e.json")
    assert loaded == whole and loaded.stop_words == ("的",)
    assert loaded.encode_documents(TEXTS) == whole.encode_documents(TEXTS)
    assert pickle.loads(pickle.dumps(whole)) == whole
    data = json.loads((tmp_path / "e.json").read_text())
    assert data["_encoder"]["format"] == 2 and "bigram_model" in data["_encoder"]
    assert BM25().load((tmp_path / "e.json").read_text()) is None  # the word field, as a model
    with pytest.raises(ValueError, match="other settings"):
        whole.merge(SparseEncoder(jieba).fit(sample[:5]))
    SparseEncoder(jieba, **WORDS).save(tmp_path / "w.json")
    assert json.loads((tmp_path / "w.json").read_text())["_encoder"]["format"] == 1
