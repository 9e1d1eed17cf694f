"""razoduviva.Index: search an encoder's vectors in process; and
compact_columns, for exact scoring with SciPy."""

import collections.abc
import operator
import os
import sys
from array import array

from razoduviva import _core
from razoduviva._core import __version__
from razoduviva._encoder import ID_SPACE, SparseEncoder, _class_only, _scipy

# Version of the pickled form of Index.
_PICKLE_FORMAT = 1
_INT64 = 2**63


class Index(_core.Index):
    """An inverted index over an encoder's sparse vectors: documents with
    int64 ids, searched for the k best by the dot product of the query's
    vector and theirs, in C++ on every core.

    Index(encoder) holds nothing yet and keeps `encoder` (index.encoder), a
    fitted SparseEncoder, which encodes the documents add takes and every
    query. A document's vector is the encoder's encode_documents at add
    time, from the statistics it has then: after a refit (or a merge) the
    stored vectors are out of date, so build the index again. Weights are
    stored as float32; a score is the sum, in double, of query weight times
    stored weight over the tokens the two share, within 1e-5 (relative) of
    the dot product of encode_queries and encode_documents. The top k equal
    exhaustive scoring: pruning (MaxScore) only skips documents that cannot
    enter them.

    Memory and file: 8 bytes per stored (document, token) pair and 0.2 for
    its summaries, 12 per document, about 32 per distinct token (on the
    legal set, 10.3 per pair in all; see bench/index_bench.py). save writes
    one file, whole or not at all, the encoder inside; Index.load maps it,
    so loading costs one check of every byte and no copy. An index pickles
    by value.

    Any number of threads may search one index at once, without the
    interpreter lock; add, add_vectors and remove run while no search in
    another thread reads the index, and raise RuntimeError otherwise.

    >>> encoder = SparseEncoder().fit(corpus)
    >>> index = Index(encoder)
    >>> index.add(corpus)                       # ids 0, 1, 2, ...
    >>> index.search("北京的天气", k=3)
    [(17, 3.21...), (4, 2.87...), (120, 2.87...)]
    >>> index.save("corpus.index"); Index.load("corpus.index")
    """

    def __init__(self, encoder):
        if not isinstance(encoder, SparseEncoder):
            raise TypeError("Index() argument 'encoder' must be a razoduviva.SparseEncoder, not %s"
                            % type(encoder).__name__)
        super().__init__()
        self._encoder = encoder

    @property
    def encoder(self):
        """The SparseEncoder that encodes the documents and queries."""
        return self._encoder

    def __repr__(self):
        stats = self._stats()
        return "<razoduviva.Index: %d documents, %d stored pairs, %d part%s; %.1f MB in memory, " \
               "%.1f MB mapped>" % (stats["documents"], stats["postings"], stats["segments"],
                                    "" if stats["segments"] == 1 else "s",
                                    stats["held_bytes"] / 1e6, stats["mapped_bytes"] / 1e6)

    def __contains__(self, id):
        try:
            id = operator.index(id)
        except TypeError:
            return False
        return -_INT64 <= id < _INT64 and self._contains(id)

    def ids(self):
        """The ids of the documents held, as a list, in the order they were
        added (those of a loaded file first)."""
        return self._ids()

    # -- adding and removing ---------------------------------------------------

    def add(self, texts, ids=None):
        """Encodes the texts as documents (the encoder's encode_documents, on
        its `threads`) and adds them.

        texts is any iterable of str, bytes or bytearray (a list, a
        generator, an open text file), read in batches as the encoding goes,
        so that memory does not grow with the corpus beyond the index
        itself. None (and pandas' missing values) is a document without
        tokens, held but never found; text that is not UTF-8 follows the
        encoder's `errors`. ids is an iterable of ints (a list, a range, a
        NumPy array), one per text, each in the int64 range; None gives
        running ids from one past the largest id held (from 0 for an index
        holding none). All or nothing: a text of the wrong kind (TypeError
        naming its position), an id held already or given twice, an id out
        of range, or fewer or more ids than texts (ValueError), or an
        interruption leaves the index as it was. RuntimeError for an encoder
        not fitted yet.

        >>> index.add(["北京天气不错", "上海下雨了"], ids=[10, 11])
        """
        if self._encoder.doc_count == 0:
            raise RuntimeError("Index.add: the encoder has no statistics yet: fit it on the corpus "
                               "first (encoder.fit(texts)), then add the documents")
        self._add(self._encoder, texts, ids)

    def add_vectors(self, vectors, ids=None):
        """Adds documents whose vectors were encoded elsewhere: by this
        encoder's encode_documents (with the same statistics), by
        razoduviva.spark.encode on a cluster, or read back from a file.

        vectors is one of:
        - an iterable of vectors, each {"indices": [...], "values": [...]}
          (format="indices"), a mapping or an object with .indices and
          .values (the rows of the Spark column, collected, or read from
          Parquet by pandas or pyarrow); None is an empty vector;
        - a SciPy sparse matrix or array of a row per document whose columns
          are the token ids (the "csr" format's 2**32 columns, or fewer).
        Indices must be in [0, 2**32) and values finite; a token given twice
        in a vector adds its weights. ids as for add (None: running ids).
        All or nothing; ValueError naming the vector for a bad index.

        >>> index.add_vectors(encoder.encode_documents(texts), ids=range(100, 100 + len(texts)))
        """
        self._add_vectors(*_rows(vectors), ids)

    def remove(self, ids):
        """Removes the documents with these ids (an iterable of ints); ids
        not held are passed over. Returns how many were removed. Their space
        is given back as the index merges its parts and when it is saved."""
        return self._remove(ids)

    # -- searching -------------------------------------------------------------

    def search(self, query, k=10):
        """The k best documents for the query text, as a list of (id, score),
        best first, equal scores by ascending id: the documents that share
        a token with the query (fewer than k when fewer do), scored by the
        dot product of its encode_queries vector with theirs. An empty
        query, or one of tokens no document has, gives []. k is 1 or more.

        >>> index.search("北京的天气", k=2)
        [(17, 3.21...), (4, 2.87...)]
        """
        if query is not None and not isinstance(query, (str, bytes, bytearray)):
            raise TypeError("Index.search() argument 'query' must be str, bytes or bytearray, not "
                            "%s (search_many takes many)" % type(query).__name__)
        return self._search(self._encoder, (query,), _top(k), 1)[0]

    def search_many(self, queries, k=10, threads=None):
        """search for each query text of an iterable, a list of hits per
        query in order: encoded and searched on `threads` threads (None: the
        encoder's `threads`, every core unless set), without the interpreter
        lock; the same results whatever the thread count.

        >>> index.search_many(["北京的天气", "上海"], k=2, threads=2)
        [[(17, 3.21...), (4, 2.87...)], [(11, 1.92...)]]
        """
        return self._search(self._encoder, queries, _top(k),
                            self._encoder.threads if threads is None else threads)

    # -- saving, loading, pickling ---------------------------------------------

    def save(self, path):
        """Writes the index as one file, whole or not at all (a temporary
        file renamed over `path`, flushed to the disk first), with the
        encoder inside as its file's text (SparseEncoder.save): only the
        documents held, in one part. The file is versioned and checksummed.
        A file that cannot be written raises OSError with the path."""
        self._save(path, self._encoder._file_text(self._encoder._data()))

    @_class_only
    def load(cls, path, *, mmap=True, jieba=None, check_data=True, threads=None,
             errors="strict"):
        """The index saved at `path` with its encoder (a new one: load is
        called on the class, Index.load(path)).

        With mmap=True the file is mapped, not read into memory: loading
        checks every byte once and copies nothing, and the pages are shared
        with other processes mapping the same file (replace the file by
        saving anew, never by writing into it). mmap=False reads it into
        memory. The encoder comes back as SparseEncoder.load makes it:
        jieba, check_data, threads and errors have its meaning (an encoder
        on data files of your own needs jieba=Jieba(...) on those files). A
        missing file raises FileNotFoundError; one that is not an index
        file, of another format, cut short or damaged anywhere, ValueError
        naming the path."""
        index = cls.__new__(cls)
        _core.Index.__init__(index)
        text = index._load(path, mmap)
        try:
            index._encoder = SparseEncoder._from_file_text(text, os.fsdecode(path), jieba, threads,
                                                           errors, check_data)
        except (ValueError, RuntimeError) as e:  # the encoder's file text is not sound
            message = str(e)
            where = os.fsdecode(path)
            raise ValueError(message if message.startswith(where) else "%s: %s" % (where, message)) \
                from None
        return index

    def __getstate__(self):
        return {"format": _PICKLE_FORMAT, "version": __version__, "encoder": self._encoder,
                "index": self._serialize()}

    def __setstate__(self, state):
        if not isinstance(state, dict) or state.get("format") != _PICKLE_FORMAT:
            version = state.get("version", "unknown") if isinstance(state, dict) else "unknown"
            raise ValueError("cannot restore an Index pickled by razoduviva %s: its pickle format "
                             "is not one razoduviva %s reads" % (version, __version__))
        _core.Index.__init__(self)
        self._restore(state["index"])
        self._encoder = state["encoder"]


Index.__module__ = "razoduviva"


def _top(k):
    if isinstance(k, bool) or not isinstance(k, int):
        raise TypeError("k must be an int, not %s" % type(k).__name__)
    if k < 1:
        raise ValueError("k must be 1 or more, not %d" % k)
    return k


def _rows(vectors):
    """(indptr, indices, values) of vectors, as int64, int64 and float64
    buffers: compressed sparse rows."""
    sparse = sys.modules.get("scipy.sparse")
    if sparse is not None and sparse.issparse(vectors):
        import numpy

        if vectors.ndim != 2 or vectors.shape[1] > ID_SPACE:
            raise ValueError("Index.add_vectors: a sparse matrix of vectors has a row per document "
                             "and at most 2**32 columns (the token ids), not the shape %r"
                             % (vectors.shape,))
        csr = vectors.tocsr()
        return (numpy.ascontiguousarray(csr.indptr, dtype=numpy.int64),
                numpy.ascontiguousarray(csr.indices, dtype=numpy.int64),
                numpy.ascontiguousarray(csr.data, dtype=numpy.float64))
    if isinstance(vectors, (str, bytes, collections.abc.Mapping)) or not isinstance(
            vectors, collections.abc.Iterable):
        raise TypeError("Index.add_vectors: vectors must be an iterable of vectors ({'indices': "
                        "[...], 'values': [...]}) or a SciPy sparse matrix, not %s"
                        % type(vectors).__name__)
    indptr, indices, values = array("q", [0]), array("q"), array("d")
    for position, vector in enumerate(vectors):
        if vector is not None:
            try:
                if isinstance(vector, collections.abc.Mapping):
                    ids, weights = vector["indices"], vector["values"]
                else:
                    ids, weights = vector.indices, vector.values
            except (KeyError, AttributeError):
                raise TypeError("Index.add_vectors: vector %d is %s, without indices and values"
                                % (position, type(vector).__name__)) from None
            if len(ids) != len(weights):
                raise ValueError("Index.add_vectors: vector %d has %d indices but %d values"
                                 % (position, len(ids), len(weights)))
            try:
                indices.extend(_items(ids, "q"))
            except OverflowError:
                raise ValueError("Index.add_vectors: vector %d has an index outside [0, 2**32)"
                                 % position) from None
            except TypeError:
                raise TypeError("Index.add_vectors: vector %d has indices that are not ints"
                                % position) from None
            values.extend(_items(weights, "d"))
        indptr.append(len(indices))
    return indptr, indices, values


def _items(items, code):
    """The items as an array of `code` ("q" or "d"); a NumPy array's by its
    buffer, whose integers (or for "d", numbers) are converted as C casts
    them."""
    kind = getattr(getattr(items, "dtype", None), "kind", None)
    if kind is not None and not isinstance(items, array):
        if kind not in ("iu" if code == "q" else "iuf"):
            raise TypeError("items of kind %r" % kind)
        numpy = sys.modules["numpy"]
        converted = numpy.ascontiguousarray(items, dtype="int64" if code == "q" else "float64")
        return array(code, converted.tobytes())
    return items if isinstance(items, array) and items.typecode == code else array(code, items)


def compact_columns(*matrices):
    """The csr matrices renumbered onto the columns they use, and the token
    id of each column: ([csr, ...], numpy array of int64 ids, ascending).

    The "csr" format's rows span every 32-bit id (2**32 columns), which
    SciPy cannot multiply; renumbered together, documents and queries
    share a compact column space, so that exact scores are one product:

    >>> docs = encoder.encode_documents(texts, format="csr")
    >>> queries = encoder.encode_queries(questions, format="csr")
    >>> (docs, queries), columns = compact_columns(docs, queries)
    >>> scores = queries @ docs.T            # (questions, texts), exact

    Each result has the kind (csr_array or csr_matrix) of its argument,
    its own copy of the data, and as many rows. Needs SciPy."""
    sparse, numpy = _scipy()
    rows = [sparse.csr_array(m) if not sparse.issparse(m) or m.format != "csr" else m
            for m in matrices]
    if not rows:
        return [], numpy.zeros(0, dtype=numpy.int64)
    columns = numpy.unique(numpy.concatenate(
        [numpy.asarray(m.indices, dtype=numpy.int64) for m in rows]))
    width = len(columns)
    out = []
    for given, m in zip(matrices, rows):
        kind = sparse.csr_matrix if isinstance(given, sparse.spmatrix) else sparse.csr_array
        indices = numpy.searchsorted(columns, m.indices).astype(
            numpy.int32 if width < 2**31 else numpy.int64)
        out.append(kind((m.data.copy(), indices, m.indptr.copy()), shape=(m.shape[0], width)))
    return out, columns
