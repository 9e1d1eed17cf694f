"""Fit and encode on Apache Spark: the model and the vectors one machine would
give, for corpora that live in tables on a cluster.

    pip install ".[spark]" (from the checkout)

    from razoduviva import spark
    df = session.read.parquet("corpus.parquet")
    encoder = spark.fit(df, "text")                 # a razoduviva.SparseEncoder
    encoder.save("encoder.json")
    vectors = spark.encode(df, "text", encoder)     # adds a column "vector"
    vectors.write.parquet("vectors.parquet")

What runs where:
- fit: each partition's texts reach Python as Arrow batches (mapInPandas);
  it fits an encoder of its own on them (null texts are skipped) and
  returns its statistics (both fields' models and document counts); they
  are merged in a tree, a few at a time per task, and the last is added on
  the driver to a copy of the given encoder. The result equals
  encoder.fit over the same texts on one machine.
- encode: a pandas UDF over Arrow batches (mapInPandas) encodes each batch
  with encode_documents or encode_queries; the new column is
  struct<indices: array<bigint>, values: array<double>>, the "indices" form,
  ids ascending. A null text gives a null vector; a text without tokens an
  empty one.
- The encoder (its settings, statistics and segmenter: a few hundred bytes
  for one on the bundled data) travels to the workers once per job, as a
  broadcast variable; each Python worker process unpickles it, and so loads
  the segmenter's data, once, and keeps it for the tasks it runs after.
  Within a task the encoder works on one thread: Spark runs a task per
  core already.

Importing this module needs pyspark, pandas and pyarrow (pyspark's pandas
functions need the last two); importing razoduviva does not.
"""

import hashlib
import pickle
import threading

try:
    import pandas
    from pyspark.sql import types as _types
except ImportError as e:  # pragma: no cover - exercised without pyspark only
    raise ImportError('razoduviva.spark needs pyspark, pandas and pyarrow: pip install them, '
                      'or pip install ".[spark]" in the razoduviva checkout') from e

from razoduviva import BM25, SparseEncoder

__all__ = ["fit", "encode", "VECTOR_TYPE"]

# The type of an encoded vector column.
VECTOR_TYPE = _types.StructType([
    _types.StructField("indices", _types.ArrayType(_types.LongType(), containsNull=False), False),
    _types.StructField("values", _types.ArrayType(_types.DoubleType(), containsNull=False), False),
])

# Merges per task of the tree reduction of fit.
_TREE_DEPTH = 3

# What this Python worker process has unpickled, by the digest of its
# pickle: the segmenters (whose data costs a fraction of a second and tens of
# megabytes to load) and the encoders of the current job. A worker runs many
# tasks, of many jobs; each would otherwise load the data again.
_segmenters = {}
_encoders = {}
_cache_lock = threading.Lock()


def _parts(encoder, statistics=True):
    """An encoder as the workers receive it: its segmenter's pickle apart, so
    that jobs with other statistics share one loaded segmenter; its settings;
    and its statistics (none with statistics=False: a new encoder)."""
    return (pickle.dumps(encoder.jieba), dict(encoder._options(), b=encoder.b, k1=encoder.k1),
            pickle.dumps(encoder._statistics(True)) if statistics else b"")


def _worker_encoder(parts, fresh=False):
    """The encoder of `parts` in this worker, on one thread; with `fresh`, a
    new one with no documents (for one partition's statistics)."""
    jieba_state, settings, statistics = parts
    key = hashlib.sha256(jieba_state).digest()
    with _cache_lock:
        jieba = _segmenters.get(key)
        if jieba is None:
            jieba = pickle.loads(jieba_state)
            _segmenters.clear()  # one segmenter per worker at a time
            _segmenters[key] = jieba
        options = dict(settings)
        model = BM25(b=options.pop("b"), k1=options.pop("k1"))
        if fresh:
            return SparseEncoder.from_model(model, jieba, threads=1, **options)
        statistics_key = (key, hashlib.sha256(statistics).digest())
        encoder = _encoders.get(statistics_key)
        if encoder is None:
            encoder = SparseEncoder.from_model(model, jieba, threads=1, **options)
            encoder._add_statistics(pickle.loads(statistics))
            _encoders.clear()
            _encoders[statistics_key] = encoder
        return encoder


def _check(df, column):
    if column not in df.columns:
        raise ValueError("the DataFrame has no column %r (its columns: %s)"
                         % (column, ", ".join(df.columns)))
    kind = df.schema[column].dataType
    if not isinstance(kind, (_types.StringType, _types.BinaryType)):
        raise TypeError("column %r holds %s, not texts (string or binary)"
                        % (column, kind.simpleString()))


def fit(df, column, encoder=None):
    """The encoder `encoder` (default: SparseEncoder() on the bundled data)
    fitted on the texts of `column` of the Spark DataFrame `df`, as
    encoder.fit would fit them on one machine; `encoder` itself is left as
    it was. Null texts are skipped, like texts without a token."""
    _check(df, column)
    result = pickle.loads(pickle.dumps(encoder)) if encoder is not None else SparseEncoder()
    broadcast = df.sparkSession.sparkContext.broadcast(_parts(result, statistics=False))

    def fit_partition(batches):
        part = _worker_encoder(broadcast.value, fresh=True)
        part.fit(text for batch in batches for text in batch[column])  # nulls: no text
        yield pandas.DataFrame({"state": [pickle.dumps(part._statistics(True))]})

    def merge(a, b):
        a.merge(b)
        return a

    try:
        statistics = (df.select(column).mapInPandas(fit_partition, "state binary").rdd
                      .map(lambda row: pickle.loads(row.state))
                      .treeReduce(merge, depth=_TREE_DEPTH))
    finally:
        broadcast.unpersist()
    result._add_statistics(statistics)
    return result


def encode(df, column, encoder, *, kind="document", idf=True, output_col="vector"):
    """`df` with a column `output_col` of type VECTOR_TYPE holding the vector
    of each row's text: encode_documents (kind="document") or
    encode_queries (kind="query", with `idf`) of the fitted `encoder`. Null
    texts give null vectors."""
    _check(df, column)
    if kind not in ("document", "query"):
        raise ValueError("kind must be 'document' or 'query', not %r" % (kind,))
    if not isinstance(encoder, SparseEncoder):
        raise TypeError("encoder must be a razoduviva.SparseEncoder, not %s"
                        % type(encoder).__name__)
    if output_col in df.columns:
        raise ValueError("the DataFrame has a column %r already" % (output_col,))
    if (kind == "document" or idf) and not encoder.doc_count:
        # Fail here, not in every task: an encoder with no documents cannot
        # weigh tokens.
        raise RuntimeError("encode needs a fitted encoder: call fit first")
    broadcast = df.sparkSession.sparkContext.broadcast(_parts(encoder))
    schema = _types.StructType(df.schema.fields + [
        _types.StructField(output_col, VECTOR_TYPE, True)])

    def encode_batches(batches):
        worker = _worker_encoder(broadcast.value)
        for batch in batches:
            texts = batch[column]
            present = texts.notna().to_numpy()
            given = texts[present].tolist()
            if kind == "document":
                vectors = worker.encode_documents(given)
            else:
                vectors = worker.encode_queries(given, idf=idf)
            column_out = [None] * len(texts)
            it = iter(vectors)
            for k, here in enumerate(present):
                if here:
                    column_out[k] = next(it)
            batch[output_col] = column_out
            yield batch

    return df.mapInPandas(encode_batches, schema)
