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

from typing import Literal

from pyspark.sql import DataFrame
from pyspark.sql.types import StructType

from razoduviva import SparseEncoder

__all__ = ["fit", "encode", "VECTOR_TYPE"]

VECTOR_TYPE: StructType

def fit(df: DataFrame, column: str, encoder: SparseEncoder | None = None) -> SparseEncoder:
    """The encoder `encoder` (default: SparseEncoder() on the bundled data)
    fitted on the texts of `column` of the Spark DataFrame `df`, as
    encoder.fit would fit them on one machine; `encoder` itself is left as
    it was. Null texts are skipped, like texts without a token.
    """

def encode(
    df: DataFrame,
    column: str,
    encoder: SparseEncoder,
    *,
    kind: Literal["document", "query"] = "document",
    idf: bool = True,
    output_col: str = "vector",
) -> DataFrame:
    """`df` with a column `output_col` of type VECTOR_TYPE holding the vector
    of each row's text: encode_documents (kind="document") or
    encode_queries (kind="query", with `idf`) of the fitted `encoder`. Null
    texts give null vectors.
    """
