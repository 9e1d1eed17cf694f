"""razoduviva.SparseEncoder: whole corpora from text to sparse vectors."""

import os
import pickle

from razoduviva import _core
from razoduviva._core import BM25, __version__
from razoduviva._jieba import Jieba

# Version of the pickled form of SparseEncoder.
_PICKLE_FORMAT = 1
# Columns of the "csr" matrix: every 32-bit id.
ID_SPACE = 2**32


class _class_only(classmethod):
    """A class method that refuses to run on an instance, where its result
    (a new object) would pass for a change of the instance."""

    def __get__(self, instance, owner=None):
        if instance is not None:
            name, cls = self.__func__.__name__, type(instance).__name__
            raise TypeError("%s is called on the class, %s.%s(path), and returns a new %s; it "
                            "does not change this one" % (name, cls, name, cls))
        return super().__get__(instance, owner)


class SparseEncoder(_core.SparseEncoder):
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

    def __init__(self, jieba=None, *, mode="default", hmm=True, stop_words=True, keep_space=None,
                 bigrams=2.0, idf="documents", nfkc=True, casefold=True, t2s=True, b=0.75,
                 k1=1.2, threads=None, errors="strict"):
        super().__init__(_segmenter(jieba), mode, hmm, *_stop_words(stop_words), keep_space,
                         _number("bigrams", bigrams), idf, nfkc, casefold, t2s,
                         _parameters(BM25, b, k1), threads, errors)

    @classmethod
    def from_model(cls, model, jieba=None, *, mode="default", hmm=True, stop_words=True,
                   keep_space=None, bigrams=2.0, idf="documents", nfkc=True, casefold=True,
                   t2s=True, threads=None, errors="strict"):
        """An encoder over an existing BM25 model of words, shared rather
        than copied (fit adds to it; b and k1 are the model's), and the
        segmenter `jieba` (None: Jieba() on the bundled data). The settings
        are those of SparseEncoder(); the model's tokens should be what they
        give. The other statistics (bigrams, document counts) start empty:
        a model of the command line's train goes with bigrams=0,
        idf='occurrences', no folds, stop_words=False and keep_space=False."""
        if not isinstance(model, BM25):
            raise TypeError("SparseEncoder.from_model() argument 'model' must be a "
                            "razoduviva.BM25, not %s" % type(model).__name__)
        encoder = cls.__new__(cls)
        _core.SparseEncoder.__init__(encoder, _segmenter(jieba), mode, hmm,
                                     *_stop_words(stop_words), keep_space,
                                     _number("bigrams", bigrams), idf, nfkc, casefold, t2s, model,
                                     threads, errors)
        return encoder

    def _options(self):
        """The settings of SparseEncoder() that make the tokens, by name."""
        return {"mode": self.mode, "hmm": self.hmm, "stop_words": self.stop_words,
                "keep_space": self.keep_space, "bigrams": self.bigrams, "idf": self.idf,
                "nfkc": self.nfkc, "casefold": self.casefold, "t2s": self.t2s}

    def __repr__(self):
        return "SparseEncoder(%s, b=%r, k1=%r, threads=%r, errors=%r; %d documents, average " \
               "length %r, %d tokens)" % (
                   ", ".join("%s=%r" % item for item in self._options().items()), self.b,
                   self.k1, self.threads, self.errors, self.doc_count, self.average_length,
                   self.vocabulary_size)

    def __eq__(self, other):
        """Equal encoders: the same settings, equal models, and segmenters on
        the same data with the same words changed at run time."""
        if not isinstance(other, SparseEncoder):
            return NotImplemented
        return (self._settings() == other._settings() and self.model == other.model
                and pickle.dumps(self._statistics(False)) == pickle.dumps(other._statistics(False))
                and self.jieba._edits() == other.jieba._edits()
                and (self.jieba is other.jieba
                     or self.jieba._data_fingerprint() == other.jieba._data_fingerprint()))

    __hash__ = None

    @property
    def jieba(self):
        """The segmenter."""
        return super().jieba

    @property
    def doc_count(self):
        """The number of documents fitted."""
        return self.model.doc_count

    @property
    def average_length(self):
        """The average number of tokens of a fitted document."""
        return self.model.average_length

    @property
    def vocabulary_size(self):
        """The number of distinct tokens fitted."""
        return self.model.vocabulary_size

    # -- the work ----------------------------------------------------------

    def fit(self, texts):
        """Cuts and trains on every text of the iterable (a list, a generator,
        an open text file), streaming it in batches so that memory does not
        grow with the corpus; texts that give no token are skipped. May be
        called again to add more documents. The model changes only once the
        whole iterable has been read: an error part way (an item that is not
        str, bytes or bytearray raises TypeError naming its position) leaves
        it as it was. Returns the encoder."""
        self._fit(texts)
        return self

    def encode_documents(self, texts, *, format="indices"):
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
        if format == "csr":
            sparse, numpy = _scipy()  # before the work, which is lost without it
            return _csr_array(sparse, numpy, self._encode_documents(texts, format))
        return self._encode_documents(texts, format)

    def encode_queries(self, texts, *, format="indices", idf=True):
        """One query vector per text: each field's idf weights summing to 1
        (the bigram field's then times `bigrams`); idf=False gives each
        distinct token the weight 1.0 (a bigram `bigrams`), for stores that
        apply idf themselves (Qdrant's idf modifier), and needs no fit.
        Formats as for encode_documents."""
        if format == "csr":
            sparse, numpy = _scipy()
            return _csr_array(sparse, numpy, self._encode_queries(texts, format, idf))
        return self._encode_queries(texts, format, idf)

    # -- combining, saving, pickling ----------------------------------------

    def _settings(self):
        return tuple(self._options().values()) + (self.b, self.k1)

    def merge(self, other):
        """Adds another encoder's statistics to this one's (see BM25.merge), so
        that encoders fitted on shards combine into the encoder of the whole
        corpus. Raises ValueError unless both have the same settings (those
        of SparseEncoder(), b and k1) and their segmenters the same words
        changed at run time. Returns the encoder."""
        if not isinstance(other, SparseEncoder):
            raise TypeError("can only merge a SparseEncoder, not %s" % type(other).__name__)
        if other._settings() != self._settings():
            raise ValueError("cannot merge encoders of other settings: %r and %r"
                             % (self, other))
        if other.jieba._edits() != self.jieba._edits():
            raise ValueError("cannot merge encoders whose segmenters have other words changed "
                             "at run time")
        self._add_statistics(other._statistics(True))
        return self

    def save(self, path):
        """Writes the encoder as one JSON file, whole or not at all: the BM25
        model file's five members unchanged (BM25().load() reads them) and a
        member "_encoder" with the settings, b, k1 and the average length as
        given, a fingerprint of the segmenter's data and its words changed
        at run time, so that queries are analysed as the documents were. A
        file that cannot be written raises OSError (FileNotFoundError,
        PermissionError, ...) with the path."""
        self._save(path, self._data())

    def _data(self):
        """What the encoder file says of the segmenter's data."""
        return "bundled" if getattr(self.jieba, "_bundled", False) else "custom"

    @_class_only
    def load(cls, path, jieba=None, *, threads=None, errors="strict", check_data=True):
        """The encoder saved at `path` (a new one: load is called on the
        class, SparseEncoder.load(path)). An encoder on the bundled data
        comes back on the bundled data (with its changed words); one on data
        files of your own needs `jieba`, a Jieba on those files, whose words
        changed at run time become the file's. When the file records the
        fingerprint of its segmenter's data and `jieba` (or the bundled
        data) has other data, ValueError names both; check_data=False uses
        it anyway. A file that is not an encoder file, or whose statistics
        cannot be (a negative count, say), raises ValueError; the model's own
        errors are those of BM25.load."""
        path = os.fspath(path)
        with open(path, "rb") as f:
            text = f.read()
        return cls._from_file_text(text, path, jieba, threads, errors, check_data)

    @classmethod
    def _from_file_text(cls, text, path, jieba, threads, errors, check_data):
        """The encoder of an encoder file's text (bytes), read from `path`."""
        try:
            settings = _core._read_encoder_file(text)
        except ValueError as e:
            if str(e).startswith("not a SparseEncoder file: no member \"_encoder\""):
                raise ValueError(
                    "%s is a BM25 model file, not a SparseEncoder file: load it with "
                    "BM25().load(text) and make the encoder with SparseEncoder.from_model(model, "
                    "mode=..., stop_words=..., ...) and the settings it was trained with (the "
                    "command line's train: stop_words=False, keep_space=False)" % (path,)) from None
            raise ValueError("%s: %s" % (path, e)) from None
        if jieba is None:
            if settings["data"] != "bundled":
                raise ValueError("%s was saved with a segmenter on data files of its own: pass "
                                 "jieba=Jieba(...) on those files" % (path,))
            jieba = Jieba()
        if check_data and settings["data_fingerprint"]:
            given = jieba._data_fingerprint()
            if given != settings["data_fingerprint"]:
                raise ValueError(
                    "%s was saved with a segmenter on data %s, but the Jieba given has data %s: "
                    "its tokens would not be the file's. Pass the Jieba on the same files, or "
                    "check_data=False to use this one anyway"
                    % (path, settings["data_fingerprint"], given))
        if settings["edits"] or jieba._edits():
            jieba._set_edits(settings["edits"])
        encoder = cls.from_model(settings["model"], jieba, threads=threads, errors=errors,
                                 **{key: settings[key] for key in _OPTIONS})
        encoder._add_statistics(settings["statistics"])
        return encoder

    def __getstate__(self):
        return dict(self._options(), format=_PICKLE_FORMAT, version=__version__, jieba=self.jieba,
                    model=self.model, statistics=self._statistics(False), threads=self.threads,
                    errors=self.errors)

    def __setstate__(self, state):
        if not isinstance(state, dict) or state.get("format") != _PICKLE_FORMAT:
            version = state.get("version", "unknown") if isinstance(state, dict) else "unknown"
            raise ValueError("cannot restore a SparseEncoder pickled by razoduviva %s: its pickle "
                             "format is not one razoduviva %s reads" % (version, __version__))
        # A pickle of an earlier version holds the settings of its time: an
        # encoder of words alone, no fold, idf of occurrences.
        options = dict(_EARLIER, **{key: state[key] for key in _OPTIONS if key in state})
        _core.SparseEncoder.__init__(self, state["jieba"], options["mode"], options["hmm"],
                                     *_stop_words(options["stop_words"]), options["keep_space"],
                                     options["bigrams"], options["idf"], options["nfkc"],
                                     options["casefold"], options["t2s"], state["model"],
                                     state["threads"], state.get("errors", "strict"))
        if "statistics" in state:
            self._add_statistics(state["statistics"])


SparseEncoder.__module__ = "razoduviva"


# The settings of SparseEncoder() that make the tokens, and their values in
# the pickles and files of earlier versions that lack them.
_OPTIONS = ("mode", "hmm", "stop_words", "keep_space", "bigrams", "idf", "nfkc", "casefold", "t2s")
_EARLIER = {"keep_space": None, "bigrams": 0.0, "idf": "occurrences", "nfkc": False,
            "casefold": False, "t2s": False}


def _stop_words(stop_words):
    """(stop_words, own list or None) of the stop_words argument: True,
    False, an iterable of words or the path of a file of them."""
    if isinstance(stop_words, bool):
        return stop_words, None
    if isinstance(stop_words, (str, bytes, os.PathLike)):
        path = os.fspath(stop_words)
        with open(path, encoding="utf-8") as f:
            return True, [line.strip() for line in f if line.strip()]
    try:
        words = list(stop_words)
    except TypeError:
        raise TypeError("SparseEncoder() argument 'stop_words' must be True, False, an iterable "
                        "of words or a path, not %s" % type(stop_words).__name__) from None
    for word in words:
        if not isinstance(word, str):
            raise TypeError("SparseEncoder() argument 'stop_words' holds %s, not a str"
                            % type(word).__name__)
    return True, sorted(set(words))


def _number(name, value):
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError("SparseEncoder() argument '%s' must be a number, not %s"
                        % (name, type(value).__name__))
    return float(value)


def _segmenter(jieba):
    if jieba is None:
        return Jieba()
    if not isinstance(jieba, _core.Jieba):
        raise TypeError("SparseEncoder() argument 'jieba' must be a razoduviva.Jieba or None, "
                        "not %s" % type(jieba).__name__)
    return jieba


def _parameters(model, b, k1):
    """A new model of b and k1, which must be numbers (not bool)."""
    for name, value in (("b", b), ("k1", k1)):
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            raise TypeError("SparseEncoder() argument '%s' must be a number, not %s"
                            % (name, type(value).__name__))
    return model(b=b, k1=k1)


def _scipy():
    """scipy.sparse and numpy, which format='csr' needs."""
    try:
        import scipy.sparse
        import numpy
    except ImportError as e:
        raise ImportError("format='csr' needs SciPy: pip install scipy (or pip install "
                          "\".[scipy]\" in the razoduviva checkout)") from e
    return scipy.sparse, numpy


def _csr_array(sparse, numpy, parts):
    """The "csr" encoding's buffers as a scipy.sparse.csr_array."""
    indptr, indices, data = parts
    indptr = numpy.frombuffer(indptr, dtype=numpy.int64)
    return sparse.csr_array(
        (numpy.frombuffer(data, dtype=numpy.float64),
         numpy.frombuffer(indices, dtype=numpy.int64), indptr),
        shape=(len(indptr) - 1, ID_SPACE))
