"""Batch cutting and the sparse encoder against the per-text calls, on the
bundled sample of real sentences."""

import io
import pickle
import random
import subprocess
import sys

import pytest

import razoduviva
import razoduviva.data
from razoduviva import BM25, Jieba, SparseEncoder

# Two tokens whose ids collide (found by search: MurmurHash3 of both is 10017867).
COLLIDING = ("w30166", "w38081")


def murmur3_32(data, seed=0):
    """MurmurHash3, x86 32-bit variant: the reference the ids are checked against."""
    c1, c2, mask = 0xCC9E2D51, 0x1B873593, 0xFFFFFFFF

    def rotl(x, r):
        return ((x << r) | (x >> (32 - r))) & mask

    h = seed
    blocks = len(data) // 4
    for i in range(blocks):
        k = int.from_bytes(data[4 * i:4 * i + 4], "little")
        k = rotl((k * c1) & mask, 15) * c2 & mask
        h = (rotl(h ^ k, 13) * 5 + 0xE6546B64) & mask
    tail = data[4 * blocks:]
    if tail:
        k = int.from_bytes(tail, "little")
        h ^= rotl((k * c1) & mask, 15) * c2 & mask
    h ^= len(data)
    h ^= h >> 16
    h = (h * 0x85EBCA6B) & mask
    h ^= h >> 13
    h = (h * 0xC2B2AE35) & mask
    return h ^ (h >> 16)


@pytest.fixture(scope="module")
def sentences():
    with open(razoduviva.data.SAMPLE_PATH, encoding="utf-8") as f:
        lines = [line.rstrip("\n") for line in f if line.strip()]
    rng = random.Random(5)
    mixed = ["", " ", "，。", "GPU 3.14 ok", "😀𠀀中文", "\t北京\n天气"]
    mixed += ["".join(rng.sample(line, len(line))) for line in lines[:50]]
    return (lines + mixed) * 6  # a few thousand, over several chunks


@pytest.fixture(scope="module")
def jieba():
    return Jieba()


# The encoder of words alone, as it was before the bigram field, the folds
# and the idf of documents, whose vectors are BM25's of the tokens: these
# tests hold it to that.
WORDS = dict(bigrams=0, idf="occurrences", nfkc=False, casefold=False, t2s=False)


@pytest.fixture(scope="module")
def encoder(jieba, sentences):
    return SparseEncoder(jieba, threads=2, **WORDS).fit(sentences)


# --- cut_many ----------------------------------------------------------------


@pytest.mark.parametrize("mode, hmm", [("default", True), ("default", False), ("search", True),
                                       ("full", True)])
def test_cut_many_equals_the_per_text_cuts(jieba, sentences, mode, hmm):
    expected = [[w for w, _, _ in jieba.tokenize(s, mode=mode, hmm=hmm)] for s in sentences]
    for threads in (1, 2, 8):
        assert jieba.cut_many(sentences, mode=mode, hmm=hmm, threads=threads) == expected
    assert jieba.cut_many(iter(sentences), mode=mode, hmm=hmm) == expected
    encoded = [s.encode("utf-8") for s in sentences]
    assert jieba.cut_many(encoded, mode=mode, hmm=hmm) == expected


def test_cut_many_reads_any_iterable(jieba):
    text = "北京天气不错\n我们学习中文\n"
    assert jieba.cut_many(io.StringIO(text)) == [jieba.cut("北京天气不错\n"),
                                                  jieba.cut("我们学习中文\n")]
    assert jieba.cut_many([]) == []
    assert jieba.cut_many((bytearray(b"ab"),)) == [["ab"]]


def test_cut_many_refuses_bad_items_before_any_work(jieba, capfd):
    with pytest.raises(TypeError, match="item 2 is int"):
        jieba.cut_many([b"\xff", "ok", 3])
    assert capfd.readouterr().err == ""  # the invalid text was not cut yet
    # A str with a lone surrogate has no UTF-8 form: no words, like bytes
    # that are not UTF-8, rather than the whole batch lost.
    assert jieba.cut_many(["ok", "\udc80"]) == [["ok"], []]
    assert "ERROR item 1 of the batch is not valid UTF-8" in capfd.readouterr().err
    with pytest.raises(TypeError, match="not one text"):
        jieba.cut_many("北京")
    for threads in (0, -1):
        with pytest.raises(ValueError, match="threads"):
            jieba.cut_many(["a"], threads=threads)
    assert jieba.cut_many([b"\xe4\xb8", "ok"]) == [[], ["ok"]]
    assert "ERROR item 0 of the batch is not valid UTF-8" in capfd.readouterr().err


# --- the encoder -------------------------------------------------------------


def reference_tokens(jieba, text):
    """The default filter: no stop words, no white-space or punctuation words."""
    stop = set(open(razoduviva.data.STOP_WORD_PATH, encoding="utf-8").read().split("\n"))
    import unicodedata

    def dropped(word):
        return word in stop or all(c.isspace() or unicodedata.category(c).startswith("P")
                                   for c in word)
    return [w for w in jieba.cut(text) if not dropped(w)]


def hashed(vector):
    """{word: weight} as the 'indices' form: ids ascending, collisions added."""
    out = {}
    for word, weight in vector.items():
        key = murmur3_32(word.encode("utf-8"))
        out[key] = out.get(key, 0.0) + weight
    ids = sorted(out)
    return {"indices": ids, "values": [out[i] for i in ids]}


def test_tokens_leave_out_stop_words_space_and_punctuation(jieba, encoder, sentences):
    for s in sentences[:400]:
        assert encoder.tokens(s) == reference_tokens(jieba, s)
    assert SparseEncoder(jieba, stop_words=False, **WORDS).tokens("我们，在 北京") == [
        "我们", "，", "在", " ", "北京"]
    assert SparseEncoder(jieba, mode="search").tokens("二氧化碳") == ["氧化", "二氧化碳"]


def test_fit_equals_training_on_each_texts_tokens(jieba, encoder, sentences):
    model = BM25()
    for s in sentences:
        tokens = encoder.tokens(s)
        if tokens:
            model.train(tokens)
    assert pickle.dumps(encoder.model) == pickle.dumps(model)
    # A generator, on one thread, in two calls: the same statistics.
    again = SparseEncoder(jieba, threads=1, **WORDS)
    half = len(sentences) // 2
    again.fit(s for s in sentences[:half]).fit(iter(sentences[half:]))
    assert pickle.dumps(again.model) == pickle.dumps(model)


def test_vectors_equal_the_per_text_encodings(encoder, sentences):
    model = encoder.model
    texts = sentences[:500]
    tokens = [encoder.tokens(s) for s in texts]
    documents = [model.encode_document(t) for t in tokens]
    queries = [model.encode_query(t) for t in tokens]
    ones = [dict.fromkeys(sorted(set(t)), 1.0) for t in tokens]
    assert encoder.encode_documents(texts, format="dict") == documents
    assert encoder.encode_queries(texts, format="dict") == queries
    assert encoder.encode_queries(texts, format="dict", idf=False) == ones
    assert encoder.encode_documents(texts) == [hashed(v) for v in documents]
    assert encoder.encode_queries(texts, idf=False) == [hashed(v) for v in ones]
    for t in (1, 8):
        encoder.threads = t
        assert encoder.encode_queries(texts) == [hashed(v) for v in queries]
    encoder.threads = 2
    assert encoder.encode_documents(["", "，。 "]) == [{"indices": [], "values": []}] * 2


def test_csr_holds_the_indices_form(encoder, sentences):
    pytest.importorskip("scipy")
    texts = sentences[:300]
    rows = encoder.encode_documents(texts, format="csr")
    assert rows.shape == (300, 2**32)
    for k, vector in enumerate(encoder.encode_documents(texts)):
        row = rows[[k]]
        assert row.indices.tolist() == vector["indices"]
        assert row.data.tolist() == vector["values"]


def test_colliding_ids_add_their_weights(jieba):
    a, b = COLLIDING
    assert murmur3_32(a.encode()) == murmur3_32(b.encode()) == 10017867
    encoder = SparseEncoder(jieba, stop_words=False, **WORDS)
    encoder.fit([f"{a} x", f"{b} y z"])
    vector = encoder.encode_queries([f"{a} {b}"])[0]
    assert vector["indices"] == sorted({10017867, murmur3_32(b" ")})
    weights = encoder.model.encode_query([a, " ", b])
    assert vector["values"][vector["indices"].index(10017867)] == weights[a] + weights[b]


def test_encoding_before_fit_and_bad_arguments(jieba):
    encoder = SparseEncoder(jieba, **WORDS)
    with pytest.raises(RuntimeError, match="BM25 has not been initialized"):
        encoder.encode_documents(["北京"])
    assert encoder.encode_queries(["北京"], idf=False)[0]["values"] == [1.0]
    with pytest.raises(ValueError, match="format"):
        encoder.encode_documents(["北京"], format="coo")
    with pytest.raises(ValueError, match="threads"):
        SparseEncoder(jieba, threads=0)
    with pytest.raises(ValueError, match="mode"):
        SparseEncoder(jieba, mode="exact")
    with pytest.raises(TypeError, match="jieba"):
        SparseEncoder("jieba")
    encoder.fit(["北京"])
    before = pickle.dumps(encoder.model)
    with pytest.raises(TypeError, match="item 2 is int"):
        encoder.fit(["天气", "不错", 3])
    assert pickle.dumps(encoder.model) == before  # nothing of the failed fit is kept


def test_merge_equals_fitting_on_both(jieba, sentences):
    half = len(sentences) // 2
    whole = SparseEncoder(jieba).fit(sentences)
    merged = SparseEncoder(jieba).fit(sentences[:half])
    merged.merge(SparseEncoder(jieba).fit(sentences[half:]))
    assert pickle.dumps(merged.model) == pickle.dumps(whole.model)
    for other in (SparseEncoder(jieba, k1=2.0), SparseEncoder(jieba, mode="search"),
                  SparseEncoder(jieba, stop_words=False)):
        with pytest.raises(ValueError):
            merged.merge(other)
    edited = Jieba()
    edited.add_word("北京天气")
    with pytest.raises(ValueError, match="changed"):
        merged.merge(SparseEncoder(edited))


def test_save_load_and_pickle_keep_the_analysis(tmp_path, encoder, sentences):
    jieba = Jieba()
    jieba.add_word("北京天气", freq=10**6)
    original = SparseEncoder(jieba, mode="search", k1=1.5).fit(sentences[:300])
    path = tmp_path / "encoder.json"
    original.save(str(path))
    restored = SparseEncoder.load(str(path))
    queries = ["北京天气不错", "中国科学院的学生"]
    assert restored.jieba.cut("北京天气") == ["北京天气"]
    assert (restored.mode, restored.k1) == ("search", 1.5)
    # The file keeps the average to six decimals: the vectors agree closely.
    for got, want in zip(restored.encode_queries(queries), original.encode_queries(queries)):
        assert got["indices"] == want["indices"]
        assert got["values"] == pytest.approx(want["values"], rel=1e-6)
    plain = BM25()
    plain.load(path.read_text(encoding="utf-8"))  # the model's members are all there
    assert plain.encode_query(["北京"]) == restored.model.encode_query(["北京"])
    clone = pickle.loads(pickle.dumps(original))
    assert clone.encode_queries(queries) == original.encode_queries(queries)
    assert pickle.dumps(clone.model) == pickle.dumps(original.model)

    custom = SparseEncoder(Jieba(user_dict_path=str(_user_dict(tmp_path))))
    custom.save(str(tmp_path / "custom.json"))
    with pytest.raises(ValueError, match="pass jieba="):
        SparseEncoder.load(str(tmp_path / "custom.json"))
    assert SparseEncoder.load(str(tmp_path / "custom.json"), jieba=custom.jieba).stop_words
    (tmp_path / "model.json").write_text("{}", encoding="utf-8")
    with pytest.raises(ValueError, match="not a SparseEncoder file"):
        SparseEncoder.load(str(tmp_path / "model.json"))


def _user_dict(tmp_path):
    path = tmp_path / "user.txt"
    path.write_text("云计算平台 10 nz\n", encoding="utf-8")
    return path


def test_csr_without_scipy_says_what_to_install(encoder):
    code = ("import sys; sys.modules['scipy'] = None\n"
            "import razoduviva\n"
            "e = razoduviva.SparseEncoder().fit(['北京'])\n"
            "try:\n    e.encode_documents(['北京'], format='csr')\n"
            "except ImportError as x:\n    print(x)\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert "needs SciPy" in out.stdout


def test_a_model_in_use_by_a_batch_cannot_change(jieba, sentences):
    # While a batch encodes without the interpreter lock, another thread that
    # trains the model is refused instead of changing it under the batch; no
    # training is lost or half done.
    import threading

    encoder = SparseEncoder(jieba, threads=2).fit(sentences[:200])
    documents = pickle.loads(pickle.dumps(encoder.model))
    trained, refused, stop = [0], [], threading.Event()

    def train():
        while not stop.is_set():
            try:
                encoder.model.train(["x"])
                trained[0] += 1
            except RuntimeError as e:
                refused.append(str(e))

    thread = threading.Thread(target=train)
    thread.start()
    try:
        for _ in range(5):
            encoder.encode_documents(sentences)
    finally:
        stop.set()
        thread.join()
    assert all("in use" in e for e in refused)
    for _ in range(trained[0]):
        documents.train(["x"])
    assert pickle.dumps(encoder.model) == pickle.dumps(documents)
