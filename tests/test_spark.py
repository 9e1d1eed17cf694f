"""fit and encode on a local Spark session against the encoder on one machine.

Needs pyspark (the test extra) and a Java runtime; without either the
module is skipped, saying which is missing.
"""

import os
import pickle
import shutil
import subprocess
import sys

import pytest

import razoduviva
import razoduviva.data
from razoduviva import Jieba, SparseEncoder

pyspark = pytest.importorskip("pyspark", reason="pyspark is not installed (pip install '.[spark]')")
if shutil.which("java") is None and not os.environ.get("JAVA_HOME"):
    pytest.skip("no Java runtime for Spark (apt-get install default-jre-headless)",
                allow_module_level=True)

from razoduviva import spark as rspark  # noqa: E402


@pytest.fixture(scope="module")
def session():
    from pyspark.sql import SparkSession

    # The workers must run this interpreter, which has the package.
    os.environ["PYSPARK_PYTHON"] = sys.executable
    spark = (SparkSession.builder.master("local[2]").appName("razoduviva-tests")
             .config("spark.ui.enabled", "false")
             .config("spark.sql.shuffle.partitions", "4")
             .getOrCreate())
    spark.sparkContext.setLogLevel("ERROR")
    yield spark
    spark.stop()


@pytest.fixture(scope="module")
def texts():
    with open(razoduviva.data.SAMPLE_PATH, encoding="utf-8") as f:
        lines = [line.rstrip("\n") for line in f if line.strip()]
    # A few thousand: the sample, then its sentences cut in two and joined
    # the other way round, with nulls, empty texts and texts without a word.
    out = list(lines)
    for k, line in enumerate(lines * 8):
        out.append(line[k % len(line):] + line[:k % len(line)])
    for k in range(0, len(out), 97):
        out[k] = None
    out[5], out[6] = "", "，。 "
    return out


@pytest.fixture(scope="module")
def frame(session, texts):
    rows = [(k, text) for k, text in enumerate(texts)]
    return session.createDataFrame(rows, "id long, text string").repartition(7)


def present(texts):
    return [t for t in texts if t is not None]


def test_fit_equals_fitting_on_one_machine(frame, texts):
    encoder = rspark.fit(frame, "text")
    local = SparseEncoder().fit(present(texts))
    assert pickle.dumps(encoder.model) == pickle.dumps(local.model)

    # A given encoder keeps its settings, segmenter words and statistics;
    # the texts add to them, and it is itself left alone.
    jieba = Jieba()
    jieba.add_word("北京天气", freq=10**6)
    given = SparseEncoder(jieba, mode="search", k1=1.5).fit(["北京天气很好"])
    before = pickle.dumps(given.model)
    fitted = rspark.fit(frame, "text", given)
    assert pickle.dumps(given.model) == before
    expected = pickle.loads(pickle.dumps(given)).fit(present(texts))
    assert pickle.dumps(fitted.model) == pickle.dumps(expected.model)
    assert (fitted.mode, fitted.k1, fitted.jieba.cut("北京天气")) == ("search", 1.5, ["北京天气"])


def test_encode_gives_the_vectors_of_one_machine(frame, texts):
    encoder = SparseEncoder().fit(present(texts))
    for kind, idf, local in (("document", True, encoder.encode_documents),
                             ("query", True, encoder.encode_queries),
                             ("query", False, lambda t: encoder.encode_queries(t, idf=False))):
        out = rspark.encode(frame, "text", encoder, kind=kind, idf=idf).orderBy("id").collect()
        assert [row.id for row in out] == list(range(len(texts)))
        vectors = iter(local(present(texts)))
        for row, text in zip(out, texts):
            if text is None:
                assert row.vector is None
            else:
                assert row.vector.asDict() == next(vectors)
    empty = rspark.encode(frame, "text", encoder).where("id = 6").collect()[0]
    assert empty.vector.asDict() == {"indices": [], "values": []}


def test_encode_writes_parquet(frame, tmp_path, texts):
    encoder = SparseEncoder().fit(present(texts))
    path = str(tmp_path / "vectors.parquet")
    rspark.encode(frame, "text", encoder).write.parquet(path)
    back = frame.sparkSession.read.parquet(path)
    # Parquet keeps the shape; read back, every field is nullable.
    assert (back.schema["vector"].dataType.simpleString()
            == "struct<indices:array<bigint>,values:array<double>>")
    assert back.count() == len(texts)

    # The README's path from the cluster to one machine: the Parquet
    # vectors into an index, which then ranks as one built from the texts.
    import pyarrow.parquet as pq

    table = pq.read_table(path, columns=["id", "vector"]).drop_null()
    index = razoduviva.Index(encoder)
    index.add_vectors(table.column("vector").to_pylist(), table.column("id").to_pylist())
    local = razoduviva.Index(encoder)
    local.add([t for t in texts if t is not None], [k for k, t in enumerate(texts) if t is not None])
    assert len(index) == len(local)
    for query in texts[1:400:37]:
        assert index.search(query) == local.search(query)


def test_bad_arguments(frame):
    with pytest.raises(ValueError, match="no column"):
        rspark.fit(frame, "body")
    with pytest.raises(TypeError, match="not texts"):
        rspark.fit(frame, "id")
    with pytest.raises(RuntimeError, match="fitted encoder"):
        rspark.encode(frame, "text", SparseEncoder())
    with pytest.raises(ValueError, match="kind"):
        rspark.encode(frame, "text", SparseEncoder(), kind="passage")
    with pytest.raises(ValueError, match="already"):
        rspark.encode(frame, "text", SparseEncoder().fit(["北京"]), output_col="id")


def test_importing_the_package_does_not_import_pyspark():
    code = "import razoduviva, sys; print('pyspark' in sys.modules)"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "False"
