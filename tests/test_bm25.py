"""The Python surface of razoduviva.BM25: arguments, results, errors."""

import math
import random
from collections import Counter

import pytest

from razoduviva import BM25

NOT_INITIALIZED = "BM25 has not been initialized"
EMPTY_TRAINING = "trainning tokens_vec should not be empty"


def example():
    model = BM25(0.75, 1.2)
    model.train(["a", "b", "a"])
    model.train(["b", "c"])
    return model


def parameters(model, tmp_path):
    """(b, k1) as the model file shows them."""
    path = tmp_path / "params.json"
    model.dump(str(path))
    text = path.read_text()
    b = text.split('"_b" : ')[1].split(",")[0]
    k1 = text.split('"_k1" : ')[1].split("\n")[0]
    return b, k1


@pytest.mark.parametrize(
    "args, kwargs, expected",
    [
        ((), {}, ("0.750000", "1.200000")),
        ((), {"k1": 2.0}, ("0.750000", "2.000000")),
        ((0.5,), {}, ("0.500000", "1.200000")),
        ((1, 2), {}, ("1.000000", "2.000000")),
        ((), {"b": 0.25, "k1": 3}, ("0.250000", "3.000000")),
    ],
)
def test_constructor_names_and_defaults(tmp_path, args, kwargs, expected):
    assert parameters(BM25(*args, **kwargs), tmp_path) == expected


def test_constructor_rejects_unknown_keywords():
    with pytest.raises(TypeError):
        BM25(k2=1.0)


def test_worked_example_document_and_query():
    model = example()
    doc = model.encode_document(["a", "a", "c"])
    assert list(doc) == ["a", "c"]
    assert doc["a"] == pytest.approx(2 / 3.38, rel=1e-12)
    assert doc["c"] == pytest.approx(1 / 2.38, rel=1e-12)
    assert round(doc["a"], 6) == 0.591716 and round(doc["c"], 6) == 0.420168
    query = model.encode_query(["a", "d", "a"])
    assert list(query) == ["a", "d"]
    assert round(query["a"], 6) == 0.208256 and round(query["d"], 6) == 0.791744
    assert sum(query.values()) == pytest.approx(1.0, abs=1e-15)


def test_negative_idf_example():
    model = BM25()
    model.train(["x", "x", "x"])
    assert model.encode_query(["x"]) == {"x": 1.0}
    query = model.encode_query(["x", "y"])
    assert round(query["x"], 6) == 2.057912 and round(query["y"], 6) == -1.057912


def test_untrained_model():
    model = BM25()
    assert model.encode_document([]) == {}
    assert model.encode_query([]) == {}
    for call, tokens in [
        (model.encode_document, ["a"]),
        (model.encode_document, [1]),
        (model.encode_query, ["a"]),
        (model.encode_query, [1]),
    ]:
        with pytest.raises(RuntimeError) as error:
            call(tokens)
        assert str(error.value) == NOT_INITIALIZED


@pytest.mark.parametrize("tokens", [[], ()])
def test_train_with_an_empty_list(tokens):
    model = BM25()
    with pytest.raises(RuntimeError) as error:
        model.train(tokens)
    assert str(error.value) == EMPTY_TRAINING


class StrSub(str):
    pass


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def gen(items):
    yield from items


# (tokens, the trained document as the model counts it); None: TypeError.
TRAIN_CASES = [
    (["a", "b"], {"a": 1, "b": 1}),
    (("a", "b"), {"a": 1, "b": 1}),
    ([b"a", "b", bytearray(b"b")], {"a": 1, "b": 2}),
    ([StrSub("s"), "s"], {"s": 2}),
    ({"a", "b"}, {"a": 1, "b": 1}),
    (gen(["a", "a"]), {"a": 2}),
    ({"k": 0}.keys(), {"k": 1}),
    (["a", 1], None),
    ([1, "a"], None),
    ("ab", None),
    (b"ab", None),
    (None, None),
    (["a", None], None),
    (["\ud800"], None),
    ([1, 2, 2], {"1": 1, "2": 2}),
    ((7, -7), {"7": 1, "-7": 1}),
    ([True, 3], {"1": 1, "3": 1}),
    ([Index(5)], {"5": 1}),
    ([2**63 - 1, -(2**63)], {str(2**63 - 1): 1, str(-(2**63)): 1}),
    ([2**63], None),
    ([-(2**63) - 1], None),
    ([1.0], None),
    ([1, 2.5], None),
]


@pytest.mark.parametrize("tokens, counts", TRAIN_CASES)
def test_train_overloads(tokens, counts):
    model = BM25()
    if counts is None:
        with pytest.raises(TypeError):
            model.train(tokens)
        with pytest.raises(TypeError):
            model.encode_document(tokens)
        return
    model.train(tokens)
    # One document of that length, with those counts.
    length = sum(counts.values())
    idf = {t: math.log(2 / (c + 0.5)) for t, c in counts.items()}
    query = model.encode_query(list(counts))
    total = sum(idf[t] for t in sorted(counts))
    for token in counts:
        assert query[token] == pytest.approx(idf[token] / total, rel=1e-12)
    doc = model.encode_document(["q"] * length)
    assert doc["q"] == pytest.approx(length / (1.2 + length), rel=1e-12)


def test_failed_conversion_leaves_the_model_untouched(tmp_path):
    model = example()
    before = tmp_path / "before.json"
    model.dump(str(before))
    for tokens in (["a", 1], [2**63], "ab", [1.5]):
        with pytest.raises(TypeError):
            model.train(tokens)
    after = tmp_path / "after.json"
    model.dump(str(after))
    assert before.read_text() == after.read_text()


def test_ids_are_counted_under_their_decimal_text():
    model = BM25()
    model.train([1, 2, 2])
    by_text = model.encode_query(["2", "1", "9"])
    by_id = model.encode_query([2, 1, 9])
    assert list(by_text) == ["1", "2", "9"]
    assert list(by_id) == [1, 2, 9]
    assert [by_text[str(k)] for k in by_id] == list(by_id.values())


def test_results_ascend_by_key():
    model = example()
    assert list(model.encode_document(["b", "a"])) == ["a", "b"]
    assert list(model.encode_document([10, -3])) == [-3, 10]
    tokens = ["中", "z", "é", "A", "😀", "ａ"]
    assert list(model.encode_document(tokens)) == sorted(tokens)
    assert list(model.encode_query(tokens)) == sorted(tokens)
    ids = [5, -(2**63), 2**63 - 1, 0, -1]
    assert list(model.encode_query(ids)) == sorted(ids)


def test_result_keys_and_values_are_plain_types():
    model = example()
    result = model.encode_document([StrSub("x"), b"y", bytearray(b"z")])
    assert all(type(k) is str for k in result)
    assert all(type(v) is float for v in result.values())
    ids = model.encode_query([True, Index(3)])
    assert all(type(k) is int for k in ids) and list(ids) == [1, 3]


def test_tokens_that_are_not_utf8():
    model = BM25()
    model.train([b"\xff"])
    with pytest.raises(UnicodeDecodeError):
        model.encode_document([b"\xff"])
    with pytest.raises(UnicodeDecodeError):
        model.encode_query(["a", b"\xff"])
    # Valid UTF-8 bytes come back as str.
    assert list(model.encode_document(["中".encode()])) == ["中"]


def test_a_finalizer_that_empties_the_list_does_not_crash():
    # Garbage collection may run arbitrary code while results are built; the
    # converted tokens keep their own references.
    import gc

    tokens = ["tok%d" % i for i in range(2000)]

    class Cycle:
        def __del__(self):
            tokens.clear()

    model = BM25()
    model.train(["seed"])
    for _ in range(20):
        a, b = Cycle(), Cycle()
        a.other, b.other = b, a
        del a, b
        result = model.encode_document(tokens or ["again"])
        assert len(result) >= 1
    gc.collect()


# A plain-Python transcription of the formulas, used as the reference.
class ReferenceBM25:
    def __init__(self, b=0.75, k1=1.2):
        self.b, self.k1 = b, k1
        self.counts = Counter()
        self.docs = 0
        self.total = 0

    @staticmethod
    def key(token):
        return str(token) if isinstance(token, int) else token

    def train(self, tokens):
        self.counts.update(self.key(t) for t in tokens)
        self.docs += 1
        self.total += len(tokens)

    def encode_document(self, tokens):
        average = self.total / self.docs
        K = ((len(tokens) / average) * self.b + (1 - self.b)) * self.k1
        return {t: c / (K + c) for t, c in sorted(Counter(tokens).items())}

    def encode_query(self, tokens):
        weights = {
            t: math.log((self.docs + 1) / (self.counts.get(self.key(t), 1) + 0.5))
            for t in sorted(set(tokens))
        }
        total = 0.0
        for w in weights.values():
            total += w
        return {t: w / total for t, w in weights.items()}


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_randomised_against_the_reference(seed):
    rng = random.Random(seed)
    words = ["w%d" % i for i in range(300)] + ["中文", "é", "x y", 'q"', "\\"]
    b, k1 = rng.uniform(0.1, 1.0), rng.uniform(0.5, 2.5)
    model, reference = BM25(b, k1), ReferenceBM25(b, k1)

    def document():
        n = rng.randint(1, 60)
        if rng.random() < 0.5:
            return [rng.choice(words) for _ in range(n)]
        return [int(rng.paretovariate(1.0)) - 3 for _ in range(n)]

    for _ in range(300):
        doc = document()
        model.train(doc)
        reference.train(doc)
    for _ in range(200):
        doc = document()
        got, want = model.encode_document(doc), reference.encode_document(doc)
        assert list(got) == list(want)
        for key in want:
            assert got[key] == pytest.approx(want[key], rel=1e-12)
        got, want = model.encode_query(doc), reference.encode_query(doc)
        assert list(got) == list(want)
        for key in want:
            assert got[key] == pytest.approx(want[key], rel=1e-9, abs=1e-12)


def test_a_loaded_model_trains_on_with_the_average_of_all_documents(tmp_path):
    # Documents of 1, 2 and 4 tokens (the file says 2.333333), then one of
    # 5: the average is 3, and a document of 3 tokens has K = k1.
    model = BM25(0.75, 1.2)
    for doc in (["a"], ["a", "b"], ["a", "b", "c", "d"]):
        model.train(doc)
    path = tmp_path / "m.json"
    model.dump(str(path))
    loaded = BM25()
    loaded.load(path.read_text(encoding="utf-8"))
    loaded.train(["e", "f", "g", "h", "i"])
    assert loaded.encode_document(["x", "y", "z"]) == {t: 1 / (1.2 + 1) for t in "xyz"}


# --- merge -----------------------------------------------------------------

def random_documents(seed, count):
    rng = random.Random(seed)
    words = ["w%d" % i for i in range(500)]
    words += ["中文", "北京", "a long token of more than sixteen bytes"]
    # Two in three documents of words, the others of int ids.
    return [[rng.choice(words) for _ in range(rng.randint(1, 40))] if i % 3
            else [rng.randint(-50, 50) for _ in range(rng.randint(1, 40))] for i in range(count)]


def trained(*parts, b=0.6, k1=1.7):
    model = BM25(b, k1)
    for documents in parts:
        for doc in documents:
            model.train(doc)
    return model


def state(model):
    """The exact model: parameters, counts, total length, average bits."""
    return model.__getstate__()


def test_merge_equals_training_on_both():
    a, b = random_documents(1, 300), random_documents(2, 200)
    model, other = trained(a), trained(b)
    before = state(other)
    assert model.merge(other) is None
    assert state(model) == state(trained(a, b))
    assert state(other) == before
    # Merging parts into an untrained model, by keyword.
    parts = BM25(0.6, 1.7)
    parts.merge(other=trained(a))
    parts.merge(other=trained(b))
    assert state(parts) == state(trained(a, b))
    query = ["w1", "w7", "中文", "unseen"]
    assert parts.encode_query(query) == trained(a, b).encode_query(query)


@pytest.mark.parametrize(
    "params, other, message",
    [
        ((0.75, 1.2), (0.5, 1.2), "merge: b and k1 must be equal: 0.75, 1.2 and 0.5, 1.2"),
        ((0.75, 1.2), (0.75, 1.2000000000000002),
         "merge: b and k1 must be equal: 0.75, 1.2 and 0.75, 1.2000000000000002"),
        ((0.75, 2), (0.75, 1.2), "merge: b and k1 must be equal: 0.75, 2 and 0.75, 1.2"),
    ],
)
def test_merge_needs_equal_parameters(params, other, message):
    model = trained([["a", "b"]], b=params[0], k1=params[1])
    before = state(model)
    with pytest.raises(ValueError) as error:
        model.merge(trained([["a", "c"]], b=other[0], k1=other[1]))
    assert str(error.value) == message
    assert state(model) == before


def test_merge_into_itself_doubles_the_model():
    documents = random_documents(3, 100)
    model = trained(documents)
    model.merge(model)
    assert state(model) == state(trained(documents, documents))
    model.train(["after"])  # and goes on like any model
    twice = trained(documents, documents, [["after"]])
    assert state(model) == state(twice)


def test_merge_and_train_after_load(tmp_path):
    a, b = random_documents(4, 150), random_documents(5, 150)
    path = tmp_path / "a.json"
    trained(a).dump(str(path))
    loaded = BM25(0.6, 1.7)
    loaded.load(path.read_text(encoding="utf-8"))
    loaded.merge(trained(b))
    both = trained(a, b)
    doc = ["w1"] * 3 + ["w2"]
    for key, weight in both.encode_document(doc).items():
        assert loaded.encode_document(doc)[key] == pytest.approx(weight, rel=1e-12)
    assert loaded.encode_query(doc) == pytest.approx(both.encode_query(doc), rel=1e-12)
