#!/usr/bin/env python3
"""razoduviva.spark on a local Spark session against SparseEncoder alone.

Writes the GSDSimp train sentences repeated to --mb megabytes as a Parquet
file (one text per row), then prints, each the best of --passes:

  fit      SparseEncoder().fit on the texts in this process (all cores),
           and razoduviva.spark.fit on the Parquet table on local[N];
  encode   encode_documents and writing the vectors to Parquet with pyarrow
           in this process, and razoduviva.spark.encode and writing to
           Parquet on Spark;
  where    what Spark's part costs without our code: the session start, a
           pass over the table that hands every row to Python and back
           (mapInPandas returning its input: the JVM to Python transfer)
           and reading the table in the JVM alone (count).

The ratio printed is Spark's time over the single process's. It asserts no
time. Needs pyspark, pandas, pyarrow and Java. Usage:
  python bench/spark_bench.py [--mb 100] [--cores 2] [--passes 2]
"""

import argparse
import os
import shutil
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from package_bench import best, gsdsimp_sentences, repeated  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--source", help="the shared data folder (default: found beside the repository)")
    parser.add_argument("--mb", type=float, default=100.0, help="megabytes of text (default 100)")
    parser.add_argument("--cores", type=int, default=2, help="local[N] (default 2)")
    parser.add_argument("--partitions", type=int, default=16, help="table partitions (default 16)")
    parser.add_argument("--passes", type=int, default=2, help="best of N (default 2)")
    args = parser.parse_args()

    import pyarrow as pa
    import pyarrow.parquet as pq

    import razoduviva

    texts = repeated(gsdsimp_sentences(args.source), args.mb)
    size = sum(len(t.encode("utf-8")) for t in texts) / 1e6
    scratch = tempfile.mkdtemp(prefix="razoduviva-spark-bench-")
    table_path = os.path.join(scratch, "texts.parquet")
    pq.write_table(pa.table({"text": texts}), table_path, row_group_size=50_000)
    print("razoduviva %s; %.1f MB in %d texts; local[%d], %d partitions; load average %.2f"
          % (razoduviva.__version__, size, len(texts), args.cores, args.partitions,
             os.getloadavg()[0]))

    # --- one process ---------------------------------------------------------
    jieba = razoduviva.Jieba()
    fit_local = best(lambda: razoduviva.SparseEncoder(jieba).fit(texts), args.passes)
    encoder = razoduviva.SparseEncoder(jieba).fit(texts)

    def encode_local():
        vectors = encoder.encode_documents(texts)
        out = os.path.join(scratch, "local-vectors.parquet")
        pq.write_table(pa.table({"text": texts, "vector": vectors}), out)

    encode_local_s = best(encode_local, args.passes)

    # --- Spark ---------------------------------------------------------------
    os.environ["PYSPARK_PYTHON"] = sys.executable
    from pyspark.sql import SparkSession

    from razoduviva import spark as rspark

    t = time.perf_counter()
    session = (SparkSession.builder.master("local[%d]" % args.cores)
               .appName("razoduviva-bench").config("spark.ui.enabled", "false")
               .config("spark.driver.memory", "4g").getOrCreate())
    session.sparkContext.setLogLevel("ERROR")
    start = time.perf_counter() - t
    df = session.read.parquet(table_path).repartition(args.partitions).cache()
    df.count()

    fit_spark = best(lambda: rspark.fit(df, "text"), args.passes)

    def encode_spark():
        out = os.path.join(scratch, "spark-vectors.parquet")
        rspark.encode(df, "text", encoder).write.mode("overwrite").parquet(out)

    encode_spark_s = best(encode_spark, args.passes)

    def passthrough():
        df.mapInPandas(lambda batches: batches, df.schema).write.format("noop").mode(
            "overwrite").save()

    transfer = best(passthrough, args.passes)
    jvm = best(df.count, args.passes)
    session.stop()
    shutil.rmtree(scratch, ignore_errors=True)

    print("== fit")
    print("  SparseEncoder.fit         %6.2f s  %6.1f MB/s" % (fit_local, size / fit_local))
    print("  razoduviva.spark.fit      %6.2f s  %6.1f MB/s   ratio %.2f"
          % (fit_spark, size / fit_spark, fit_spark / fit_local))
    print("== encode and write Parquet")
    print("  encode_documents + pyarrow %5.2f s  %6.1f MB/s" % (encode_local_s, size / encode_local_s))
    print("  razoduviva.spark.encode   %6.2f s  %6.1f MB/s   ratio %.2f"
          % (encode_spark_s, size / encode_spark_s, encode_spark_s / encode_local_s))
    print("== where Spark's time goes, without our code")
    print("  session start             %6.2f s (once per application)" % start)
    print("  rows to Python and back   %6.2f s (mapInPandas returning its input)" % transfer)
    print("  count in the JVM          %6.2f s" % jvm)


if __name__ == "__main__":
    main()
