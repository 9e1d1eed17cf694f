"""razoduviva.SparseEncoder: whole corpora from text to sparse vectors."""

import os

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
            name = self.__func__.__name__
            raise TypeError("%s is called on the class, SparseEncoder.%s(path), and returns a new "
                            "encoder; it does not change this one" % (name, name))
        return super().__get__(instance, owner)


class SparseEncoder(_core.SparseEncoder):
    """A segmenter and a BM25 model joined, with the whole path from text to
    vector in C++, on every core.

    Tokens are the words of the segmenter's cut in `mode` ('default',
    'search' or 'full'; hmm=False cuts with the dictionary alone), less, with
    stop_words=True, the segmenter's stop words and the words made only of
    white space or Unicode punctuation; with stop_words=False, the cut's
    words as they are. keep_space says whether words of white space are
    tokens; None (the default) keeps them exactly when stop_words is False.
    b (0 to 1) and k1 (0 or more) are the BM25 parameters; `threads` is the
    number of threads of every call (None: every core; 1: the calling
    thread alone), which live only during the call. `errors` says what the
    batch calls do with a text that is not UTF-8 (bytes, or a str with a
    lone surrogate): 'strict' counts it as empty, with an ERROR record
    naming its position; 'replace' reads the bad bytes as U+FFFD. None (and
    pandas' missing values) is no text.

    A vector's ids are the 32-bit MurmurHash3 (x86 variant, seed 0) of the
    token's UTF-8 bytes, read as unsigned, as mmh3.hash(token, signed=False)
    gives them; tokens whose ids collide add their weights.

    >>> encoder = SparseEncoder().fit(corpus)          # an iterable of str
    >>> encoder.encode_documents(["北京天气不错"])
    [{'indices': [...], 'values': [...]}]
    >>> encoder.save("encoder.json"); SparseEncoder.load("encoder.json")
    """

    def __init__(self, jieba=None, *, mode="default", hmm=True, stop_words=True, keep_space=None,
                 b=0.75, k1=1.2, threads=None, errors="strict"):
        super().__init__(_segmenter(jieba), mode, hmm, stop_words, keep_space,
                         _parameters(BM25, b, k1), threads, errors)

    @classmethod
    def from_model(cls, model, jieba=None, *, mode="default", hmm=True, stop_words=True,
                   keep_space=None, threads=None, errors="strict"):
        """An encoder over an existing BM25 model, shared rather than copied
        (fit adds to it; b and k1 are the model's), and the segmenter
        `jieba` (None: Jieba() on the bundled data). The settings are those
        of SparseEncoder(); the model's tokens should be what they give."""
        if not isinstance(model, BM25):
            raise TypeError("SparseEncoder.from_model() argument 'model' must be a "
                            "razoduviva.BM25, not %s" % type(model).__name__)
        encoder = cls.__new__(cls)
        _core.SparseEncoder.__init__(encoder, _segmenter(jieba), mode, hmm, stop_words, keep_space,
                                     model, threads, errors)
        return encoder

    def __repr__(self):
        return ("SparseEncoder(mode=%r, hmm=%r, stop_words=%r, keep_space=%r, b=%r, k1=%r, "
                "threads=%r, errors=%r; %d documents, average length %r, %d tokens)"
                % (self.mode, self.hmm, self.stop_words, self.keep_space, self.b, self.k1,
                   self.threads, self.errors, self.doc_count, self.average_length,
                   self.vocabulary_size))

    def __eq__(self, other):
        """Equal encoders: the same settings, equal models, and segmenters on
        the same data with the same words changed at run time."""
        if not isinstance(other, SparseEncoder):
            return NotImplemented
        return (self._settings() == other._settings() and self.model == other.model
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
        """One document vector per text, equal to BM25.encode_document of its
        tokens (an empty vector for a text without tokens).

        format: 'indices' gives a dict {'indices': [...], 'values': [...]}
        per text, ids ascending (what Pinecone, Qdrant and Milvus clients
        take); 'csr' one scipy.sparse.csr_array of shape (len(texts), 2**32)
        (needs SciPy); 'dict' a dict from token to weight per text, tokens
        ascending, as encode_document gives it. Raises RuntimeError ("BM25
        has not been initialized") for a text with tokens before any fit.
        """
        if format == "csr":
            sparse, numpy = _scipy()  # before the work, which is lost without it
            return _csr_array(sparse, numpy, self._encode_documents(texts, format))
        return self._encode_documents(texts, format)

    def encode_queries(self, texts, *, format="indices", idf=True):
        """One query vector per text, equal to BM25.encode_query of its tokens
        (idf weights summing to 1); idf=False gives each distinct token the
        weight 1.0, for stores that apply idf themselves (Qdrant's idf
        modifier), and needs no fit. Formats as for encode_documents."""
        if format == "csr":
            sparse, numpy = _scipy()
            return _csr_array(sparse, numpy, self._encode_queries(texts, format, idf))
        return self._encode_queries(texts, format, idf)

    # -- combining, saving, pickling ----------------------------------------

    def _settings(self):
        return (self.mode, self.hmm, self.stop_words, self.keep_space, self.b, self.k1)

    def merge(self, other):
        """Adds another encoder's statistics to this one's (see BM25.merge), so
        that encoders fitted on shards combine into the encoder of the whole
        corpus. Raises ValueError unless both have the same settings (mode,
        hmm, stop_words, keep_space, b, k1) and their segmenters the same
        words changed at run time. Returns the encoder."""
        if not isinstance(other, SparseEncoder):
            raise TypeError("can only merge a SparseEncoder, not %s" % type(other).__name__)
        if other._settings() != self._settings():
            raise ValueError("cannot merge encoders of other settings: %r and %r"
                             % (self, other))
        if other.jieba._edits() != self.jieba._edits():
            raise ValueError("cannot merge encoders whose segmenters have other words changed "
                             "at run time")
        self.model.merge(other.model)
        return self

    def save(self, path):
        """Writes the encoder as one JSON file, whole or not at all: the BM25
        model file's five members unchanged (BM25().load() reads them) and a
        member "_encoder" with the settings, b, k1 and the average length as
        given, a fingerprint of the segmenter's data and its words changed
        at run time, so that queries are analysed as the documents were. A
        file that cannot be written raises OSError (FileNotFoundError,
        PermissionError, ...) with the path."""
        self._save(path, "bundled" if getattr(self.jieba, "_bundled", False) else "custom")

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
        return cls.from_model(settings["model"], jieba, mode=settings["mode"], hmm=settings["hmm"],
                              stop_words=settings["stop_words"], keep_space=settings["keep_space"],
                              threads=threads, errors=errors)

    def __getstate__(self):
        return {"format": _PICKLE_FORMAT, "version": __version__, "jieba": self.jieba,
                "mode": self.mode, "hmm": self.hmm, "stop_words": self.stop_words,
                "keep_space": self.keep_space, "model": self.model, "threads": self.threads,
                "errors": self.errors}

    def __setstate__(self, state):
        if not isinstance(state, dict) or state.get("format") != _PICKLE_FORMAT:
            version = state.get("version", "unknown") if isinstance(state, dict) else "unknown"
            raise ValueError("cannot restore a SparseEncoder pickled by razoduviva %s: its pickle "
                             "format is not one razoduviva %s reads" % (version, __version__))
        _core.SparseEncoder.__init__(self, state["jieba"], state["mode"], state["hmm"],
                                     state["stop_words"], state.get("keep_space"), state["model"],
                                     state["threads"], state.get("errors", "strict"))


SparseEncoder.__module__ = "razoduviva"


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
