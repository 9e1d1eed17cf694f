"""razoduviva.SparseEncoder: whole corpora from text to sparse vectors."""

from razoduviva import _core

_FORMATS = ("indices", "csr", "dict")
# Version of the pickled form of SparseEncoder.
_PICKLE_FORMAT = 1
# Columns of the "csr" matrix: every 32-bit id.
ID_SPACE = 2**32


class SparseEncoder:
    """A segmenter and a BM25 model joined, with the whole path from text to
    vector in C++, on every core.

    Tokens are the words of the segmenter's cut in `mode` ('default',
    'search' or 'full'; hmm=False cuts with the dictionary alone), less, with
    stop_words=True, the segmenter's stop words and the words made only of
    white space or Unicode punctuation; with stop_words=False, the cut's
    words as they are. b and k1 are the BM25 parameters; `threads` is the
    number of threads of every call (None: every core; 1: the calling thread
    alone), which live only during the call.

    A vector's ids are the 32-bit MurmurHash3 (x86 variant, seed 0) of the
    token's UTF-8 bytes, read as unsigned, as mmh3.hash(token, signed=False)
    gives them; tokens whose ids collide add their weights.

    >>> encoder = SparseEncoder().fit(corpus)          # an iterable of str
    >>> encoder.encode_documents(["北京天气不错"])
    [{'indices': [...], 'values': [...]}]
    >>> encoder.save("encoder.json"); SparseEncoder.load("encoder.json")
    """

    def __init__(self, jieba=None, *, mode="default", hmm=True, stop_words=True, b=0.75, k1=1.2,
                 threads=None):
        from razoduviva import BM25, Jieba

        if jieba is None:
            jieba = Jieba()
        elif not isinstance(jieba, _core.Jieba):
            raise TypeError("jieba must be a razoduviva.Jieba or None, not %s"
                            % type(jieba).__name__)
        _check_threads(threads)
        self._jieba = jieba
        self._mode = mode
        self._core = _core.SparseEncoder(jieba, mode, bool(hmm), _filter(stop_words),
                                         BM25(b=b, k1=k1))
        self.threads = threads

    # -- settings ----------------------------------------------------------

    @property
    def jieba(self):
        """The segmenter."""
        return self._jieba

    @property
    def model(self):
        """The BM25 model inside: its statistics are the encoder's."""
        return self._core.model

    @property
    def mode(self):
        """The cut mode of the tokens: 'default', 'search' or 'full'."""
        return self._mode

    @property
    def hmm(self):
        """Whether the cut re-cuts words outside the dictionary with the HMM."""
        return self._core.hmm

    @property
    def stop_words(self):
        """Whether stop words and white-space or punctuation words are left out."""
        return self._core.filter == "stop_words"

    @property
    def b(self):
        """The model's length normalisation."""
        return self._core.b

    @property
    def k1(self):
        """The model's term-frequency saturation."""
        return self._core.k1

    def __repr__(self):
        return "SparseEncoder(mode=%r, hmm=%r, stop_words=%r, b=%r, k1=%r, threads=%r)" % (
            self.mode, self.hmm, self.stop_words, self.b, self.k1, self.threads)

    # -- the work ----------------------------------------------------------

    def tokens(self, text):
        """The tokens of one text, as fit and the encoders count them."""
        return self._core.tokens(text)

    def fit(self, texts):
        """Cuts and trains on every text of the iterable (a list, a generator,
        an open text file), streaming it in batches so that memory does not
        grow with the corpus; texts that give no token are skipped. May be
        called again to add more documents. The model changes only once the
        whole iterable has been read: an error part way (an item that is not
        str, bytes or bytearray raises TypeError naming its position) leaves
        it as it was. Returns the encoder."""
        self._core.fit(texts, self.threads)
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
        return self._encode(texts, "document", format)

    def encode_queries(self, texts, *, format="indices", idf=True):
        """One query vector per text, equal to BM25.encode_query of its tokens
        (idf weights summing to 1); idf=False gives each distinct token the
        weight 1.0, for stores that apply idf themselves (Qdrant's idf
        modifier), and needs no fit. Formats as for encode_documents."""
        return self._encode(texts, "query" if idf else "query_ones", format)

    def _encode(self, texts, kind, format):
        if format not in _FORMATS:
            raise ValueError("format must be 'indices', 'csr' or 'dict', not %r" % (format,))
        if format == "csr":
            try:
                import scipy.sparse
                import numpy
            except ImportError as e:
                raise ImportError("format='csr' needs SciPy: pip install \"razoduviva[scipy]\" "
                                  "(or scipy)") from e
            indptr, indices, data = self._core.encode(texts, kind, format, self.threads)
            indptr = numpy.frombuffer(indptr, dtype=numpy.int64)
            return scipy.sparse.csr_array(
                (numpy.frombuffer(data, dtype=numpy.float64),
                 numpy.frombuffer(indices, dtype=numpy.int64), indptr),
                shape=(len(indptr) - 1, ID_SPACE))
        return self._core.encode(texts, kind, format, self.threads)

    # -- combining, saving, pickling ----------------------------------------

    def _settings(self):
        return (self.mode, self.hmm, self.stop_words, self.b, self.k1)

    def merge(self, other):
        """Adds another encoder's statistics to this one's (see BM25.merge), so
        that encoders fitted on shards combine into the encoder of the whole
        corpus. Raises ValueError unless both have the same settings (mode,
        hmm, stop_words, b, k1) and their segmenters the same words changed
        at run time. Returns the encoder."""
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

    def _file_settings(self):
        from razoduviva import __version__

        return {"version": __version__, "mode": self.mode, "hmm": self.hmm,
                "stop_words": self.stop_words,
                "data": "bundled" if getattr(self.jieba, "_bundled", False) else "custom",
                "edits": self.jieba._edits()}

    def save(self, path):
        """Writes the encoder as one JSON file, whole or not at all: the BM25
        model file's five members unchanged (BM25().load() reads them) and a
        member "_encoder" with the settings and the segmenter's words
        changed at run time, so that queries are analysed as the documents
        were."""
        _core._save_encoder_file(path, self.model, self._file_settings())

    @classmethod
    def load(cls, path, jieba=None, *, threads=None):
        """The encoder saved at `path`. An encoder on the bundled data comes
        back on the bundled data (with its changed words); one on data files
        of your own needs `jieba`, a Jieba on those files, whose words
        changed at run time become the file's. A file that is not an encoder
        file raises ValueError; the model's own errors are those of
        BM25.load."""
        from razoduviva import BM25, Jieba

        with open(path, "rb") as f:
            text = f.read()
        try:
            settings = _core._read_encoder_file(text)
        except RuntimeError as e:
            raise ValueError("%s: %s" % (path, e)) from None
        if jieba is None:
            if settings["data"] != "bundled":
                raise ValueError("%s was saved with a segmenter on data files of its own: pass "
                                 "jieba=Jieba(...) on those files" % (path,))
            jieba = Jieba()
        if settings["edits"] or jieba._edits():
            jieba._set_edits(settings["edits"])
        model = BM25()
        model.load(text)
        return cls._from_parts(jieba, settings["mode"], settings["hmm"], settings["stop_words"],
                               model, threads)

    @classmethod
    def _from_parts(cls, jieba, mode, hmm, stop_words, model, threads=None):
        """An encoder over an existing segmenter and model (shared, not copied)."""
        encoder = cls.__new__(cls)
        encoder._jieba = jieba
        encoder._mode = mode
        encoder._core = _core.SparseEncoder(jieba, mode, hmm, _filter(stop_words), model)
        _check_threads(threads)
        encoder.threads = threads
        return encoder

    def __getstate__(self):
        from razoduviva import __version__

        return {"format": _PICKLE_FORMAT, "version": __version__, "jieba": self.jieba,
                "mode": self.mode, "hmm": self.hmm, "stop_words": self.stop_words,
                "model": self.model, "threads": self.threads}

    def __setstate__(self, state):
        from razoduviva import __version__

        if not isinstance(state, dict) or state.get("format") != _PICKLE_FORMAT:
            version = state.get("version", "unknown") if isinstance(state, dict) else "unknown"
            raise ValueError("cannot restore a SparseEncoder pickled by razoduviva %s: its pickle "
                             "format is not one razoduviva %s reads" % (version, __version__))
        other = self._from_parts(state["jieba"], state["mode"], state["hmm"], state["stop_words"],
                                 state["model"], state["threads"])
        self.__dict__.update(other.__dict__)


def _filter(stop_words):
    return "stop_words" if stop_words else "none"


def _check_threads(threads):
    if threads is not None and (isinstance(threads, bool) or not isinstance(threads, int)
                                or threads < 1):
        raise ValueError("threads must be a whole number of 1 or more, or None for every core, "
                         "not %r" % (threads,))
