"""The compiled core of razoduviva: Chinese word segmentation (Jieba) and BM25
sparse vectors (BM25). Private: import these from razoduviva."""

import os
from collections.abc import Iterable, Sequence
from typing import Any, Literal, overload

__version__: str

class BM25:
    """BM25 corpus statistics, and the sparse vectors built from them.

    Train on documents one at a time, each a list of str (or bytes) tokens
    or of int ids, then encode documents and queries as dicts from token to
    weight, in ascending key order. An int id is counted under its decimal
    text: 42 and "42" are the same token. dump saves the model as a JSON
    file; load restores it from that file's text.
    """

    def __init__(self, b: float = 0.75, k1: float = 1.2) -> None:
        """A model with no documents yet.

        b scales the length normalisation of document weights, k1 their
        saturation. Raises ValueError when either is NaN or infinite. The values
        that make sense are b from 0 (no normalisation) to 1 (full) and k1 of 0
        or more (0: every present token weighs the same); others are taken as
        given, and document weights then leave the range 0 to 1.
        """
    @overload
    def train(self, tokens: Sequence[str | bytes], /) -> None:
        """Adds one document, a list of str (or bytes) tokens.

        Raises RuntimeError ("trainning tokens_vec should not be empty") for an
        empty list, and then changes nothing.
        """
    @overload
    def train(self, tokens: Sequence[int], /) -> None:
        """Adds one document, a list of int token ids (signed 64-bit)."""
    def load(self, text: str | bytes, /) -> None:
        """Reads a model from the text that dump wrote (not from a path).

        Token counts merge into the current ones; the document count and the
        average length are the file's, and training or merging afterwards
        averages over the loaded documents too. Every member is checked
        before the model changes, so a failed load leaves it unchanged:
        RuntimeError for empty text, text that is not JSON, or a missing member
        or wrong kind of value ("load b failed" and the like); IndexError for a
        number out of range, ValueError for one with no digits.
        """
    def merge(self, other: BM25) -> None:
        """Adds the statistics of other, a BM25 with the same b and k1.

        The document counts, the token counts (stopping at the 64-bit limit)
        and the total lengths add up, and the average length is recomputed
        from them, so training on A and then merging a model trained on B
        gives the model that training on A and then B gives. other may be
        this model, which doubles it. Raises ValueError when b or k1 differ,
        and then changes nothing.
        """
    def dump(self, path: str | bytes | os.PathLike[str], /) -> None:
        """Writes the model as a JSON file, whole or not at all.

        It writes a temporary file in the same folder and renames it over the
        path. Raises RuntimeError ("Failed to dump: ...") when the file cannot
        be written, ValueError for a path holding a NUL character.
        """
    @overload
    def encode_document(self, tokens: Sequence[str | bytes], /) -> dict[str, float]:
        """The document vector of a list of str (or bytes) tokens.

        Each distinct token weighs c / (K + c), c being its count in the list
        and K = ((len / average len) * b + (1 - b)) * k1, len the list's length
        and average len the training documents' average. Keys are str, in
        ascending order. An empty list gives {}; otherwise a model not trained
        yet raises RuntimeError ("BM25 has not been initialized").
        """
    @overload
    def encode_document(self, tokens: Sequence[int], /) -> dict[int, float]:
        """The document vector of a list of int token ids, ids ascending."""
    @overload
    def encode_query(self, tokens: Sequence[str | bytes], /) -> dict[str, float]:
        """The query vector of a list of str (or bytes) tokens.

        Each distinct token weighs ln((documents + 1) / (n + 0.5)), n being its
        total count in training (1 if never seen), divided by the sum of those
        weights, so the weights sum to 1. Keys are str, in ascending order. An
        empty list gives {}; otherwise a model not trained yet raises
        RuntimeError ("BM25 has not been initialized").
        """
    @overload
    def encode_query(self, tokens: Sequence[int], /) -> dict[int, float]:
        """The query vector of a list of int token ids, ids ascending."""
    @property
    def b(self) -> float:
        """The length normalisation b."""
    @property
    def k1(self) -> float:
        """The term-frequency saturation k1."""
    @property
    def doc_count(self) -> int:
        """The number of documents trained."""
    @property
    def average_length(self) -> float:
        """The average number of tokens of a trained document."""
    @property
    def vocabulary_size(self) -> int:
        """The number of distinct tokens counted."""

class Jieba:
    """Chinese word segmenter over a dictionary, an HMM model and keyword tables.

    Loads its five files in the order dictionary, user dictionaries, HMM model,
    idf table, stop words. A file that cannot be opened raises an OSError
    subclass (FileNotFoundError, PermissionError, IsADirectoryError, ...);
    malformed content raises ValueError naming the file and the line.

    A sentence is a str, or bytes or bytearray holding UTF-8. A bytes sentence
    that is not UTF-8 gives no words and an ERROR record. The cuts release the
    interpreter lock while they work, and one object may be shared by any
    number of threads, also while words are added or removed.
    """

    def __init__(
        self,
        dict_path: str | bytes | os.PathLike[str],
        hmm_path: str | bytes | os.PathLike[str],
        user_dict_path: str | bytes | os.PathLike[str],
        idf_path: str | bytes | os.PathLike[str],
        stop_word_path: str | bytes | os.PathLike[str],
    ) -> None: ...
    def cut(self, sentence: str | bytes | bytearray, *, hmm: bool = True) -> list[str]:
        """The words of the sentence: dictionary words by maximum probability, with
        stretches of characters outside the dictionary re-cut by the HMM
        (hmm=False: the dictionary alone). Space, tab, line feed, '，' and '。' are
        words of their own.

        >>> jieba.cut("我们在北京学习中文。")
        ['我们', '在', '北京', '学习', '中文', '。']
        """
    def cut_for_search(self, sentence: str | bytes | bytearray, *, hmm: bool = True) -> list[str]:
        """The words of cut(), each word longer than two characters preceded by the
        dictionary words of two and then three characters inside it.

        >>> jieba.cut_for_search("二氧化碳")
        ['氧化', '二氧化碳']
        """
    def cut_full(self, sentence: str | bytes | bytearray) -> list[str]:
        """Full mode: every dictionary word found in the sentence, overlapping words
        included, ordered by start and then by end; a character that no word
        covers stands alone.
        """
    def cut_many(
        self,
        texts: Iterable[str | bytes | bytearray | None],
        *,
        mode: Literal["default", "search", "full"] = "default",
        hmm: bool = True,
        threads: int | None = None,
        errors: Literal["strict", "replace"] = "strict",
    ) -> list[list[str]]:
        """The words of each text of `texts`, a list per text in input order, equal
        to calling the cut of `mode` ('default', 'search' or 'full') on each.

        texts is any iterable of str, bytes or bytearray (a list, a generator, an
        open text file); it is read whole first, and an item of another type
        raises TypeError naming its position before any work. None (and pandas'
        missing values) is no text: []. The cutting runs without the interpreter
        lock on `threads` threads (None: every core; 1: the calling thread
        alone), which live only during the call. A text that is not UTF-8 (bytes,
        or a str with a lone surrogate) gives [] and an ERROR record naming its
        position with errors='strict'; errors='replace' reads the bad bytes as
        U+FFFD.

        >>> jieba.cut_many(["今天天气不错", "我们学习中文"], threads=2)
        [['今天', '天气', '不错'], ['我们', '学习', '中文']]
        """
    def tokenize(
        self, sentence: str | bytes | bytearray, *, mode: Literal["default", "search", "full"] = "default",
        hmm: bool = True
    ) -> list[tuple[str, int, int]]:
        """The words of the cut in `mode` ('default', 'search' or 'full') as
        (word, start, end) tuples, in the same order. For a str the offsets count
        code points, so sentence[start:end] == word; for bytes they count bytes.

        >>> jieba.tokenize("北京天气")
        [('北京', 0, 2), ('天气', 2, 4)]
        """
    def tag(self, sentence: str | bytes | bytearray, *, hmm: bool = True) -> list[tuple[str, str]]:
        """The words of cut() as (word, tag) pairs. The tag is the dictionary's
        part-of-speech tag for the word; a word the dictionary lacks (or holds
        without a tag) gets 'm' (numeral), 'eng' (ASCII letters) or 'x'.

        >>> jieba.tag("我们学习中文")
        [('我们', 'r'), ('学习', 'v'), ('中文', 'n')]
        """
    def keywords(
        self, sentence: str | bytes | bytearray, top_k: int | None = 20, *, with_weights: bool = False,
        tags: Iterable[str] | None = None
    ) -> list[str] | list[tuple[str, float]]:
        """The top_k keywords of the sentence by TF-IDF (top_k=None: all of them).

        The sentence is cut as by cut(); stop words and words of fewer than two
        characters are left out; each remaining word weighs its count times its
        idf (the table's average idf for a word it lacks), divided by the number
        of words counted. Highest weight first, equal weights in order of the
        word. with_weights=True gives (word, weight) pairs; tags (a set of tags
        such as {'n', 'v'}) counts only the words whose tag() is in it.
        """
    def add_word(
        self, word: str | bytes | bytearray, freq: float | None = None, tag: str | None = None
    ) -> None:
        """Adds a word to the dictionary, or changes its entry, for every mode from
        the next call on.

        freq: the word's frequency, in the units of the main dictionary (the
        bundled one counts occurrences per hundred million words); None gives it
        the weight that user-dictionary words without a frequency get. tag: its
        part-of-speech tag; None keeps the tag the word has (none for a new word).
        Raises ValueError for an empty word, bytes that are not UTF-8, a word
        holding a separator (which a cut always returns alone), a word of more
        than 512 characters, or a freq that is not a positive finite number.
        """
    def remove_word(self, word: str | bytes | bytearray) -> None:
        """Removes a word from the dictionary from the next call on, as if it had
        never been there; nothing happens when the dictionary does not have it.
        Raises ValueError for an empty word or bytes that are not UTF-8.
        """

class SparseEncoder:
    """The compiled base of razoduviva.SparseEncoder: a segmenter, token settings
    and a BM25 model, with the batch work in C++. Use razoduviva.SparseEncoder.
    """

    def __init__(
        self,
        jieba: Jieba,
        mode: Literal["default", "search", "full"],
        hmm: bool,
        stop_words: bool,
        stop_word_list: Sequence[str] | None,
        keep_space: bool | None,
        bigrams: float,
        idf: Literal["documents", "occurrences"],
        nfkc: bool,
        casefold: bool,
        t2s: bool,
        model: BM25,
        threads: int | None,
        errors: Literal["strict", "replace"],
    ) -> None: ...
    def tokens(self, text: str | bytes | bytearray | None, *, bigrams: bool = False) -> list[str]:
        """The tokens of one text, as fit and the encoders count them: its word
        tokens, or with bigrams=True those of the bigram field.
        """
    @property
    def jieba(self) -> Jieba:
        """The segmenter."""
    @property
    def model(self) -> BM25:
        """The word field's BM25 model: its statistics are the encoder's."""
    @property
    def mode(self) -> Literal["default", "search", "full"]:
        """The cut mode of the tokens: 'default', 'search' or 'full'."""
    @property
    def hmm(self) -> bool:
        """Whether the cut re-cuts words outside the dictionary with the HMM."""
    @property
    def stop_words(self) -> bool | tuple[str, ...]:
        """False, True (the segmenter's stop words) or the tuple of the encoder's own, with words of punctuation left out too."""
    @property
    def keep_space(self) -> bool:
        """Whether words of white space are tokens."""
    @property
    def bigrams(self) -> float:
        """The weight of the bigram field in a query; 0: no bigram field."""
    @property
    def idf(self) -> Literal["documents", "occurrences"]:
        """The idf of query weights: 'occurrences' or 'documents'."""
    @property
    def nfkc(self) -> bool:
        """Whether text is folded to NFKC first."""
    @property
    def casefold(self) -> bool:
        """Whether text is case-folded."""
    @property
    def t2s(self) -> bool:
        """Whether traditional characters are folded to simplified ones."""
    @property
    def b(self) -> float:
        """The model's length normalisation."""
    @property
    def k1(self) -> float:
        """The model's term-frequency saturation."""
    @property
    def errors(self) -> Literal["strict", "replace"]:
        """What a batch does with text that is not UTF-8: 'strict' or 'replace'."""
    @property
    def threads(self) -> int | None:
        """The threads of every batch call: None for every core."""
    @threads.setter
    def threads(self, value: int | None) -> None: ...

class Index:
    """The compiled base of razoduviva.Index: an inverted index over hashed
    sparse vectors, searched by dot product. Use razoduviva.Index.
    """

    def __init__(self) -> None: ...
    def __len__(self) -> int: ...
