"""The README's recipes for vector databases, run as written on the bundled
sample: each database's top 10 must be the index's. A recipe whose client
is not installed is skipped, saying how to install it."""

import os
import re

import pytest

import razoduviva
import razoduviva.data
from razoduviva import Index, SparseEncoder

README = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "README.md")


def recipes():
    """The Python blocks of the README's section on vector databases."""
    with open(README, encoding="utf-8") as f:
        text = f.read()
    section = text.split("\n## Into a vector database\n", 1)[1].split("\n## ", 1)[0]
    return re.findall(r"^```python\n(.*?)^```", section, re.M | re.S)


def recipe(marker):
    return next(block for block in recipes() if marker in block)


@pytest.fixture(scope="module")
def sample():
    with open(razoduviva.data.SAMPLE_PATH, encoding="utf-8") as f:
        texts = [line.rstrip("\n") for line in f if line.strip()]
    encoder = SparseEncoder().fit(texts)
    ids = [1000 + 7 * k for k in range(len(texts))]
    index = Index(encoder)
    index.add(texts, ids)
    # Questions of a few words: the starts of some sentences, whole
    # sentences, and words that many sentences share (ties).
    queries = [t[:8] for t in texts[::23]] + texts[5:8] + ["中国", "他们的经济", "大学 北京"]
    return encoder, texts, ids, index, queries


def run(block, sample, tmp_path, monkeypatch):
    """The top 10 of the recipe for each query, by running the block once
    to fill the database and its query lines for each query."""
    encoder, texts, ids, index, queries = sample
    monkeypatch.chdir(tmp_path)
    setup, asking = block.split("\nq = ", 1)
    namespace = {"encoder": encoder, "texts": texts, "ids": ids}
    exec(setup, namespace)
    found = {}
    for query in queries:
        if not encoder.encode_queries([query])[0]["indices"]:
            continue  # the README: ask the database nothing for an empty query
        namespace["query"] = query
        exec("q = " + asking, namespace)
        found[query] = namespace["hits"]
    return found


def assert_same_top(expected, got):
    """Equal scores (within float32 storage) and equal ids, but for the order
    among tied scores and ties across the 10th place."""
    assert len(got) == len(expected)
    assert [s for _, s in got] == pytest.approx([s for _, s in expected], rel=1e-5, abs=1e-9)
    last = expected[-1][1] if expected else 0.0
    def above(hits):
        return {i for i, s in hits if s > last * (1 + 1e-5) + 1e-9}
    assert above(got) == above(expected)


def check(block, sample, tmp_path, monkeypatch):
    encoder, texts, ids, index, queries = sample
    found = run(block, sample, tmp_path, monkeypatch)
    assert len(found) >= len(queries) - 1
    for query, hits in found.items():
        assert_same_top(index.search(query, k=10), [(int(i), float(s)) for i, s in hits])


def test_the_readme_example_setup_runs():
    namespace = {}
    exec(recipes()[0], namespace)
    assert namespace["encoder"].doc_count == len(namespace["texts"])


def test_qdrant(sample, tmp_path, monkeypatch):
    pytest.importorskip("qdrant_client", reason="qdrant-client is not installed "
                        "(pip install qdrant-client)")
    check(recipe("QdrantClient"), sample, tmp_path, monkeypatch)


def test_milvus(sample, tmp_path, monkeypatch):
    pytest.importorskip("pymilvus", reason="pymilvus is not installed (pip install pymilvus)")
    pytest.importorskip("milvus_lite", reason="Milvus Lite is not installed "
                        "(pip install milvus-lite)")
    check(recipe("MilvusClient"), sample, tmp_path, monkeypatch)
