"""razoduviva.Index: exact top k against SciPy's products, all-or-nothing
adds, every form of vectors, files (damaged ones too) and pickles; and
compact_columns."""

import itertools
import os
import pickle
import random
import re

import numpy as np
import pytest
import scipy.sparse as sp

import razoduviva
import razoduviva.data
from razoduviva import Index, SparseEncoder, compact_columns

QUERIES = ["北京", "北京的天气怎么样", "中国科学院", "学生们在学习", "", None, "zzqx 无此词语",
           "Python 发布了新版本", "经济 发展 人民 北京 大学 美国"]


@pytest.fixture(scope="module")
def sample():
    with open(razoduviva.data.SAMPLE_PATH, encoding="utf-8") as f:
        return [line for line in f.read().splitlines() if line]


@pytest.fixture(scope="module")
def encoder(sample):
    return SparseEncoder(threads=2).fit(sample)


def scores_of(docs, queries, ids):
    """{id: exact score} of every document sharing a token, per query."""
    (d, q), _ = compact_columns(docs, queries)
    product = (q @ d.T).toarray()
    shared = ((q != 0).astype(float) @ (d != 0).astype(float).T).toarray()
    return [{ids[j]: product[i, j] for j in np.flatnonzero(shared[i])} for i in range(q.shape[0])]


def expect_top(hits, scores, k):
    """The hits are the k best of `scores`, within float32 storage, best
    first and equal scores by id."""
    best = sorted(scores.items(), key=lambda item: (-item[1], item[0]))[:k]
    assert len(hits) == len(best)
    for (id, score), (_, wanted) in zip(hits, best):
        assert score == pytest.approx(scores[id], rel=1e-5, abs=1e-9)
        assert score == pytest.approx(wanted, rel=1e-5, abs=1e-9)
    assert hits == sorted(hits, key=lambda hit: (-hit[1], hit[0]))


def test_search_equals_brute_force_on_text_and_random_vectors(sample, encoder):
    ids = [3 * n - 40 for n in range(len(sample))]
    index = Index(encoder)
    index.add(sample, ids=np.array(ids))
    # Random documents over the sample's tokens, many repeated (ties), ids
    # running on from the largest.
    rng = random.Random(7)
    vocabulary = sorted({i for v in encoder.encode_documents(sample) for i in v["indices"]})
    vectors = []
    for n in range(3000):
        if n and rng.random() < 0.2:
            vectors.append(vectors[rng.randrange(n)])
        else:
            chosen = sorted(rng.sample(vocabulary, rng.randint(0, 12)))
            vectors.append({"indices": chosen, "values": [rng.choice([0.25, 0.5, 1.0])
                                                          for _ in chosen]})
    index.add_vectors(vectors)
    all_ids = ids + list(range(max(ids) + 1, max(ids) + 1 + len(vectors)))
    assert index.ids() == all_ids and len(index) == len(all_ids)
    docs = sp.vstack([encoder.encode_documents(sample, format="csr"), csr_of(vectors)]).tocsr()
    queries = QUERIES + sample[::25]
    expected = scores_of(docs, encoder.encode_queries(queries, format="csr"), all_ids)
    for k in (1, 3, 10, 5000):
        many = index.search_many(queries, k=k, threads=2)
        for query, hits, scores in zip(queries, many, expected):
            expect_top(hits, scores, k)
            assert index.search(query, k=k) == hits
    assert index.search("") == [] and index.search(None) == [] and index.search("zzqx") == []

    # Removed documents leave every result; the rest stay exact.
    gone = all_ids[::3]
    assert index.remove(gone + [10**12]) == len(gone)
    assert index.remove(gone) == 0
    assert gone[1] not in index and all_ids[1] in index and "x" not in index and 2**64 not in index
    kept = [n for n, id in enumerate(all_ids) if n % 3]
    expected = scores_of(docs[kept], encoder.encode_queries(queries, format="csr"),
                         [all_ids[n] for n in kept])
    for threads in (1, 2, 3):
        for hits, scores in zip(index.search_many(queries, k=7, threads=threads), expected):
            expect_top(hits, scores, 7)


def csr_of(vectors):
    rows = [(n, i, w) for n, v in enumerate(vectors) for i, w in zip(v["indices"], v["values"])]
    n, i, w = zip(*rows)
    return sp.csr_array((w, (n, i)), shape=(len(vectors), 2**32))


def test_search_arguments(encoder, sample):
    index = Index(encoder)
    index.add(sample[:20])
    assert len(index.search(sample[0], k=1)) == 1
    for k, error in ((0, ValueError), (-1, ValueError), (1.5, TypeError), (True, TypeError)):
        with pytest.raises(error, match="k must be"):
            index.search(sample[0], k=k)
    with pytest.raises(TypeError, match="search_many takes many"):
        index.search([sample[0]])
    with pytest.raises(ValueError, match="threads"):
        index.search_many(sample[:2], threads=0)
    with pytest.raises(TypeError, match="SparseEncoder"):
        Index(encoder.model)


def test_adding_is_all_or_nothing(encoder, sample):
    index = Index(encoder)
    index.add(sample[:5], ids=[5, 6, 7, 8, 2**63 - 2])
    before = index._serialize()

    def bad_texts():
        yield from sample * 200  # past the first batch of the stream
        yield 12

    cases = [
        ((sample[:2], [1]), ValueError, "the ids end after 1, before the texts do"),
        ((sample[:2], [1, 2, 3]), ValueError, r"more ids than texts \(2\)"),
        ((sample[:2], [1, 6]), ValueError, "document id 6 is already in the index"),
        ((sample[:2], [1, 1]), ValueError, "document id 1 is given twice"),
        ((sample[:2], [1, 2**63]), ValueError, "id 1 is 9223372036854775808, outside the int64"),
        ((sample[:2], [1, 2.0]), TypeError, "id 1 is float, not an int"),
        ((sample[:2], [True, 2]), TypeError, "id 0 is bool"),
        ((sample[:2], 3), TypeError, "ids must be an iterable of ints"),
        ((sample[:2], None), ValueError, "running ids would pass"),
        ((bad_texts(), itertools.count(100)), TypeError, "item %d is int" % (len(sample) * 200)),
    ]
    for args, error, message in cases:
        with pytest.raises(error, match=message):
            index.add(*args)
        assert index._serialize() == before
    vector_cases = [
        ([{"indices": [1, -1], "values": [1.0, 1.0]}], ValueError, r"vector 0: index -1 is outside"),
        ([None, {"indices": [2**32], "values": [1.0]}], ValueError, r"vector 1: index 4294967296"),
        ([{"indices": [2**64], "values": [1.0]}], ValueError, "vector 0 has an index outside"),
        ([{"indices": [1, 2], "values": [1.0]}], ValueError, "vector 0 has 2 indices but 1"),
        ([{"indices": [1], "values": [float("nan")]}], ValueError, "not finite"),
        ([{"indices": [1.5], "values": [1.0]}], TypeError, "vector 0 has indices that are not"),
        ([{"index": [1]}], TypeError, "vector 0 is dict, without indices and values"),
        ({"indices": [1], "values": [1.0]}, TypeError, "must be an iterable of vectors"),
    ]
    for vectors, error, message in vector_cases:
        with pytest.raises(error, match=message):
            index.add_vectors(vectors, ids=[100, 101][:len(vectors)])
        assert index._serialize() == before
    with pytest.raises(RuntimeError, match="fit it on the corpus first"):
        Index(SparseEncoder()).add(sample[:1])


def test_vectors_of_every_form_equal_adding_text(encoder, sample):
    texts = sample[:60] + [None, ""]
    ids = list(range(1000, 1000 + len(texts)))
    reference = Index(encoder)
    reference.add(texts, ids)
    expected = reference._serialize()
    dicts = encoder.encode_documents(texts)
    csr = encoder.encode_documents(texts, format="csr")
    pa = pytest.importorskip("pyarrow")
    column = pa.array(dicts, type=pa.struct([("indices", pa.list_(pa.int64())),
                                             ("values", pa.list_(pa.float64()))]))
    pandas_rows = pa.table({"vector": column}).to_pandas()["vector"]  # dicts of NumPy arrays
    forms = {"dicts": dicts, "csr": csr, "csr_matrix": sp.csr_matrix(csr), "pandas": pandas_rows,
             "pyarrow": column.to_pylist(), "generator": (d for d in dicts)}
    try:
        from pyspark.sql import Row
        forms["spark"] = [Row(indices=d["indices"], values=d["values"]) for d in dicts]
    except ImportError:
        pass
    for name, vectors in forms.items():
        index = Index(encoder)
        index.add_vectors(vectors, np.array(ids))
        assert index._serialize() == expected, name
    compact, _ = compact_columns(csr)
    with pytest.raises(ValueError, match="at most 2"):
        Index(encoder).add_vectors(sp.csr_array((1, 2**33)))
    assert compact[0].shape[1] < 2**32  # fewer columns are token ids too
    small = Index(encoder)
    small.add_vectors(compact[0])
    assert len(small) == len(texts)


def test_save_load_and_pickle_round_trip(encoder, sample, tmp_path):
    index = Index(encoder)
    index.add(sample)
    index.remove([4, 9])
    index.add(sample[:3], ids=[-1, -2, -3])
    path = tmp_path / "sample.index"
    index.save(path)
    assert os.listdir(tmp_path) == ["sample.index"]
    queries = sample[::40]
    expected = index.search_many(queries, k=5)
    restored = [Index.load(path), Index.load(str(path), mmap=False),
                pickle.loads(pickle.dumps(index)), pickle.loads(pickle.dumps(Index.load(path)))]
    for other in restored:
        assert other.ids() == index.ids() and other.encoder == encoder
        assert other.search_many(queries, k=5) == expected
    assert "mapped" in repr(restored[0]) and type(restored[0]).__module__ == "razoduviva"
    restored[0].add(["北京"])  # a mapped index takes more documents
    assert restored[0].search("北京", k=1)[0][0] == max(index.ids()) + 1
    with pytest.raises(TypeError, match="called on the class"):
        index.load(path)
    with pytest.raises(FileNotFoundError):
        Index.load(tmp_path / "missing")
    with pytest.raises(ValueError, match="cannot restore an Index"):
        Index.__new__(Index).__setstate__({"format": 99})


def test_damaged_files_raise_value_error(encoder, tmp_path):
    small = SparseEncoder(bigrams=0).fit(["北京天气", "上海下雨"])
    index = Index(small)
    index.add(["北京天气", "上海下雨", "北京上海"])
    good = tmp_path / "good.index"
    index.save(good)
    data = good.read_bytes()
    bad = tmp_path / "bad.index"
    damaged = [data[:n] for n in range(len(data))]
    damaged += [data[:n] + bytes([data[n] ^ (1 << n % 8)]) + data[n + 1:] for n in range(len(data))]
    damaged += [data + b"\0", b"not an index at all", open(razoduviva.data.SAMPLE_PATH, "rb").read()]
    for n, content in enumerate(damaged):
        bad.write_bytes(content)
        with pytest.raises(ValueError, match=re.escape(str(bad))):
            Index.load(bad, mmap=n % 2 == 0)
    assert Index.load(good).search("北京") == index.search("北京")


def test_compact_columns_multiply_exactly(encoder, sample):
    docs = encoder.encode_documents(sample[:50], format="csr")
    queries = sp.csr_matrix(encoder.encode_queries(QUERIES, format="csr"))
    (d, q), columns = compact_columns(docs, queries)
    assert isinstance(d, sp.csr_array) and isinstance(q, sp.csr_matrix)
    assert d.shape == (50, len(columns)) and q.shape[0] == len(QUERIES)
    assert np.all(np.diff(columns) > 0) and set(columns) == set(docs.indices) | set(queries.indices)
    dense = [[sum(w * dict(zip(dv["indices"], dv["values"])).get(i, 0.0)
                  for i, w in zip(qv["indices"], qv["values"]))
              for dv in encoder.encode_documents(sample[:50])]
             for qv in encoder.encode_queries(QUERIES)]
    np.testing.assert_allclose((q @ d.T).toarray(), dense, rtol=1e-12, atol=1e-15)
    nothing, columns = compact_columns()
    assert nothing == [] and len(columns) == 0
