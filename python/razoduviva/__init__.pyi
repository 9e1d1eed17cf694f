"""Chinese word segmentation and BM25 sparse vectors for lexical retrieval.

    import razoduviva
    jieba = razoduviva.Jieba()            # the bundled data
    model = razoduviva.BM25()
    model.train(jieba.cut("我们在北京学习中文。"))

The classes are compiled (the private submodule razoduviva._core); the
command line is razoduviva.cli (python -m razoduviva) and the bundled data
razoduviva.data. Importing the package loads the extension and nothing
else: no third-party modules, no threads.
"""

import os
from collections.abc import Iterable, Iterator
from contextlib import contextmanager
from typing import Any, Literal, SupportsIndex

from razoduviva._core import BM25 as BM25, Index as _CoreIndex, Jieba as _CoreJieba
from razoduviva._core import SparseEncoder as _CoreSparseEncoder

__version__: str

__all__ = ["BM25", "Index", "Jieba", "SparseEncoder", "compact_columns", "native_log",
           "set_native_log"]

_Destination = Literal["stderr", "logging", "silent"]

def set_native_log(destination: _Destination) -> _Destination:
    """Sets where the log records of the native code go, for the whole
    process, and returns the previous destination.

    'stderr' (the default): written to file descriptor 2 as the core writes
    them, one line each ("2024-03-01 09:05:07 csrc/...:24 ERROR decode
    failed. "); 'logging': to the logging module's logger "razoduviva", at
    level ERROR (or CRITICAL for the FATAL record of a bad data file,
    WARNING for a model file's parser complaints), with the native source
    file and line as the record's pathname and lineno; 'silent': dropped.
    Records of a call reach logging when the call returns.
    """
@contextmanager
def native_log(destination: _Destination) -> Iterator[None]:
    """set_native_log(destination) for the duration of a with block:

        with razoduviva.native_log("silent"):
            words = [jieba.cut(text) for text in dirty_texts]
    """

class Jieba(_CoreJieba):
    """Chinese word segmenter: dictionary words by maximum probability, an HMM
    for words outside the dictionary, search and full modes, part-of-speech
    tags, TF-IDF keywords, and words added or removed at run time.

    Jieba() loads the bundled data (razoduviva.data); each keyword argument
    replaces its one file: Jieba(user_dict_path="mine.txt") is the bundled
    data plus the words of mine.txt. A file that cannot be opened raises an
    OSError subclass (FileNotFoundError, PermissionError, ...); malformed
    content raises ValueError naming the file and the line.

    A Jieba pickles by value: one on the bundled data as a reference to the
    installed bundled files plus its run-time words (a few hundred bytes),
    which loads only where the same bundled data is installed; any other
    with its data (about 4 MB for data the size of the bundled data).
    """

    def __init__(
        self,
        dict_path: str | bytes | None = None,
        hmm_path: str | bytes | None = None,
        user_dict_path: str | bytes | None = None,
        idf_path: str | bytes | None = None,
        stop_word_path: str | bytes | None = None,
    ) -> None: ...

class SparseEncoder(_CoreSparseEncoder):
    """A segmenter and BM25 statistics joined, with the whole path from text
    to vector in C++, on every core.

    Text is folded first, queries and documents alike: NFKC (nfkc=True:
    full-width letters and digits, ligatures), case folding (casefold=True)
    and traditional characters to simplified ones (t2s=True), so that 美國
    finds 美国. Word tokens are then the words of the segmenter's cut in
    `mode` ('default', 'search' or 'full'; hmm=False cuts with the
    dictionary alone), less, with stop_words, the stop words and the words
    made only of white space or Unicode punctuation; stop_words is True
    (the segmenter's list, which holds both scripts), False (the cut's words
    as they are), an iterable of your own words, or the path of a file of
    them, one a line. keep_space says whether words of white space are
    tokens; None (the default) keeps them exactly when stop_words is False.

    With bigrams=W > 0, the character bigrams of the text's CJK runs (a
    run of one character giving that character) form a second field with
    BM25 statistics of its own; a document's vector holds both fields'
    weights and a query's its word weights plus W times its bigram
    weights, so that a dot product is the word score plus W times the
    bigram score. bigrams=0 is the encoder of words alone. idf is the idf
    of query weights: 'documents', ln(1 + (N - df + 0.5) / (df + 0.5)) with
    df the documents that hold a token, never negative; or 'occurrences',
    the BM25 model file's, ln((N + 1) / (n + 0.5)) with n its occurrences.

    b (0 to 1) and k1 (0 or more) are the BM25 parameters; `threads` is the
    number of threads of every call (None: every core; 1: the calling
    thread alone), which live only during the call. `errors` says what the
    batch calls do with a text that is not UTF-8 (bytes, or a str with a
    lone surrogate): 'strict' counts it as empty, with an ERROR record
    naming its position; 'replace' reads the bad bytes as U+FFFD. None (and
    pandas' missing values) is no text.

    A token's id is the 32-bit MurmurHash3 (x86 variant, seed 0) of its
    UTF-8 bytes, read as unsigned, as mmh3.hash(token, signed=False) gives
    it; with the bigram field, a word's id has its top bit cleared and a
    bigram's set, so that the two fields never share an id. Tokens whose
    ids collide add their weights.

    >>> encoder = SparseEncoder().fit(corpus)          # an iterable of str
    >>> encoder.encode_documents(["北京天气不错"])
    [{'indices': [...], 'values': [...]}]
    >>> encoder.save("encoder.json"); SparseEncoder.load("encoder.json")
    """

    def __init__(
        self,
        jieba: Jieba | None = None,
        *,
        mode: Literal["default", "search", "full"] = "default",
        hmm: bool = True,
        stop_words: bool | Iterable[str] | str | os.PathLike[str] = True,
        keep_space: bool | None = None,
        bigrams: float = 2.0,
        idf: Literal["documents", "occurrences"] = "documents",
        nfkc: bool = True,
        casefold: bool = True,
        t2s: bool = True,
        b: float = 0.75,
        k1: float = 1.2,
        threads: int | None = None,
        errors: Literal["strict", "replace"] = "strict",
    ) -> None: ...
    @classmethod
    def from_model(
        cls,
        model: BM25,
        jieba: Jieba | None = None,
        *,
        mode: Literal["default", "search", "full"] = "default",
        hmm: bool = True,
        stop_words: bool | Iterable[str] | str | os.PathLike[str] = True,
        keep_space: bool | None = None,
        bigrams: float = 2.0,
        idf: Literal["documents", "occurrences"] = "documents",
        nfkc: bool = True,
        casefold: bool = True,
        t2s: bool = True,
        threads: int | None = None,
        errors: Literal["strict", "replace"] = "strict",
    ) -> SparseEncoder:
        """An encoder over an existing BM25 model of words, shared rather
        than copied (fit adds to it; b and k1 are the model's), and the
        segmenter `jieba` (None: Jieba() on the bundled data). The settings
        are those of SparseEncoder(); the model's tokens should be what they
        give. The other statistics (bigrams, document counts) start empty:
        a model of the command line's train goes with bigrams=0,
        idf='occurrences', no folds, stop_words=False and keep_space=False.
        """
    @property
    def jieba(self) -> Jieba:
        """The segmenter."""
    @property
    def doc_count(self) -> int:
        """The number of documents fitted."""
    @property
    def average_length(self) -> float:
        """The average number of tokens of a fitted document."""
    @property
    def vocabulary_size(self) -> int:
        """The number of distinct tokens fitted."""
    def fit(self, texts: Iterable[str | bytes | bytearray | None]) -> SparseEncoder:
        """Cuts and trains on every text of the iterable (a list, a generator,
        an open text file), streaming it in batches so that memory does not
        grow with the corpus; texts that give no token are skipped. May be
        called again to add more documents. The model changes only once the
        whole iterable has been read: an error part way (an item that is not
        str, bytes or bytearray raises TypeError naming its position) leaves
        it as it was. Returns the encoder.
        """
    def encode_documents(
        self,
        texts: Iterable[str | bytes | bytearray | None],
        *,
        format: Literal["indices", "csr", "dict"] = "indices",
    ) -> Any:
        """One document vector per text: each field's BM25.encode_document of
        its tokens (an empty vector for a text without tokens).

        format: 'indices' gives a dict {'indices': [...], 'values': [...]}
        per text, ids ascending (what Pinecone, Qdrant and Milvus clients
        take); 'csr' one scipy.sparse.csr_array of shape (len(texts), 2**32)
        (needs SciPy); 'dict' a dict from token to weight per text, tokens
        ascending, as encode_document gives it, or with the bigram field
        {'words': {...}, 'bigrams': {...}}. Raises RuntimeError for a text
        with tokens before any fit.
        """
    def encode_queries(
        self,
        texts: Iterable[str | bytes | bytearray | None],
        *,
        format: Literal["indices", "csr", "dict"] = "indices",
        idf: bool = True,
    ) -> Any:
        """One query vector per text: each field's idf weights summing to 1
        (the bigram field's then times `bigrams`); idf=False gives each
        distinct token the weight 1.0 (a bigram `bigrams`), for stores that
        apply idf themselves (Qdrant's idf modifier), and needs no fit.
        Formats as for encode_documents.
        """
    def merge(self, other: SparseEncoder) -> SparseEncoder:
        """Adds another encoder's statistics to this one's (see BM25.merge), so
        that encoders fitted on shards combine into the encoder of the whole
        corpus. Raises ValueError unless both have the same settings (those
        of SparseEncoder(), b and k1) and their segmenters the same words
        changed at run time. Returns the encoder.
        """
    def save(self, path: str | bytes | os.PathLike[str]) -> None:
        """Writes the encoder as one JSON file, whole or not at all: the BM25
        model file's five members unchanged (BM25().load() reads them) and a
        member "_encoder" with the settings, b, k1 and the average length as
        given, a fingerprint of the segmenter's data and its words changed
        at run time, so that queries are analysed as the documents were. A
        file that cannot be written raises OSError (FileNotFoundError,
        PermissionError, ...) with the path.
        """
    @classmethod
    def load(
        cls,
        path: str | bytes | os.PathLike[str],
        jieba: Jieba | None = None,
        *,
        threads: int | None = None,
        errors: Literal["strict", "replace"] = "strict",
        check_data: bool = True,
    ) -> SparseEncoder:
        """The encoder saved at `path` (a new one: load is called on the
        class, SparseEncoder.load(path)). An encoder on the bundled data
        comes back on the bundled data (with its changed words); one on data
        files of your own needs `jieba`, a Jieba on those files, whose words
        changed at run time become the file's. When the file records the
        fingerprint of its segmenter's data and `jieba` (or the bundled
        data) has other data, ValueError names both; check_data=False uses
        it anyway. A file that is not an encoder file, or whose statistics
        cannot be (a negative count, say), raises ValueError; the model's own
        errors are those of BM25.load.
        """

class Index(_CoreIndex):
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

    def __init__(self, encoder: SparseEncoder) -> None: ...
    def __contains__(self, id: object) -> bool: ...
    @property
    def encoder(self) -> SparseEncoder:
        """The SparseEncoder that encodes the documents and queries."""
    def ids(self) -> list[int]:
        """The ids of the documents held, as a list, in the order they were
        added (those of a loaded file first).
        """
    def add(
        self,
        texts: Iterable[str | bytes | bytearray | None],
        ids: Iterable[SupportsIndex] | None = None,
    ) -> None:
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
    def add_vectors(
        self, vectors: Iterable[Any] | Any, ids: Iterable[SupportsIndex] | None = None
    ) -> None:
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
    def remove(self, ids: Iterable[SupportsIndex]) -> int:
        """Removes the documents with these ids (an iterable of ints); ids
        not held are passed over. Returns how many were removed. Their space
        is given back as the index merges its parts and when it is saved.
        """
    def search(self, query: str | bytes | bytearray | None, k: int = 10) -> list[tuple[int, float]]:
        """The k best documents for the query text, as a list of (id, score),
        best first, equal scores by ascending id: the documents that share
        a token with the query (fewer than k when fewer do), scored by the
        dot product of its encode_queries vector with theirs. An empty
        query, or one of tokens no document has, gives []. k is 1 or more.

        >>> index.search("北京的天气", k=2)
        [(17, 3.21...), (4, 2.87...)]
        """
    def search_many(
        self,
        queries: Iterable[str | bytes | bytearray | None],
        k: int = 10,
        threads: int | None = None,
    ) -> list[list[tuple[int, float]]]:
        """search for each query text of an iterable, a list of hits per
        query in order: encoded and searched on `threads` threads (None: the
        encoder's `threads`, every core unless set), without the interpreter
        lock; the same results whatever the thread count.

        >>> index.search_many(["北京的天气", "上海"], k=2, threads=2)
        [[(17, 3.21...), (4, 2.87...)], [(11, 1.92...)]]
        """
    def save(self, path: str | bytes | os.PathLike[str]) -> None:
        """Writes the index as one file, whole or not at all (a temporary
        file renamed over `path`, flushed to the disk first), with the
        encoder inside as its file's text (SparseEncoder.save): only the
        documents held, in one part. The file is versioned and checksummed.
        A file that cannot be written raises OSError with the path.
        """
    @classmethod
    def load(
        cls,
        path: str | bytes | os.PathLike[str],
        *,
        mmap: bool = True,
        jieba: Jieba | None = None,
        check_data: bool = True,
        threads: int | None = None,
        errors: Literal["strict", "replace"] = "strict",
    ) -> Index:
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
        naming the path.
        """

def compact_columns(*matrices: Any) -> tuple[list[Any], Any]:
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
    its own copy of the data, and as many rows. Needs SciPy.
    """
