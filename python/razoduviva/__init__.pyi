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
from typing import Any, Literal

from razoduviva._core import BM25 as BM25, Jieba as _CoreJieba, SparseEncoder as _CoreSparseEncoder

__version__: str

__all__ = ["BM25", "Jieba", "SparseEncoder", "native_log", "set_native_log"]

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

    A word's id is the 32-bit MurmurHash3 (x86 variant, seed 0) of its UTF-8
    bytes, read as unsigned, as mmh3.hash(token, signed=False) gives it; a
    bigram's uses the seed 0x62696772, a space of ids apart. Tokens whose
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
