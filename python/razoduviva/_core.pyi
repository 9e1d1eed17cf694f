"""The compiled core of razoduviva: Chinese word segmentation (Jieba) and BM25
sparse vectors (BM25). Private: import these from razoduviva."""

from collections.abc import Sequence
from typing import overload

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
        saturation. Raises ValueError when either is NaN or infinite.
        """
    @overload
    def train(self, arg0: Sequence[str | bytes], /) -> None:
        """Adds one document, a list of str (or bytes) tokens.

        Raises RuntimeError ("trainning tokens_vec should not be empty") for an
        empty list, and then changes nothing.
        """
    @overload
    def train(self, arg0: Sequence[int], /) -> None:
        """Adds one document, a list of int token ids (signed 64-bit)."""
    def load(self, arg0: str | bytes, /) -> None:
        """Reads a model from the text that dump wrote (not from a path).

        Token counts merge into the current ones. Every member is checked
        before the model changes, so a failed load leaves it unchanged:
        RuntimeError for empty text, text that is not JSON, or a missing member
        or wrong kind of value ("load b failed" and the like); IndexError for a
        number out of range, ValueError for one with no digits.
        """
    def dump(self, arg0: str | bytes, /) -> None:
        """Writes the model as a JSON file, whole or not at all.

        It writes a temporary file in the same folder and renames it over the
        path. Raises RuntimeError ("Failed to dump: ...") when the file cannot
        be written, ValueError for a path holding a NUL character.
        """
    @overload
    def encode_document(self, arg0: Sequence[str | bytes], /) -> dict[str, float]:
        """The document vector of a list of str (or bytes) tokens.

        Each distinct token weighs c / (K + c), c being its count in the list
        and K = ((len / average len) * b + (1 - b)) * k1, len the list's length
        and average len the training documents' average. Keys are str, in
        ascending order. An empty list gives {}; otherwise a model not trained
        yet raises RuntimeError ("BM25 has not been initialized").
        """
    @overload
    def encode_document(self, arg0: Sequence[int], /) -> dict[int, float]:
        """The document vector of a list of int token ids, ids ascending."""
    @overload
    def encode_query(self, arg0: Sequence[str | bytes], /) -> dict[str, float]:
        """The query vector of a list of str (or bytes) tokens.

        Each distinct token weighs ln((documents + 1) / (n + 0.5)), n being its
        total count in training (1 if never seen), divided by the sum of those
        weights, so the weights sum to 1. Keys are str, in ascending order. An
        empty list gives {}; otherwise a model not trained yet raises
        RuntimeError ("BM25 has not been initialized").
        """
    @overload
    def encode_query(self, arg0: Sequence[int], /) -> dict[int, float]:
        """The query vector of a list of int token ids, ids ascending."""

class Jieba:
    """Chinese word segmenter over a dictionary, an HMM model and keyword tables.

    Loads its five files in the order dictionary, user dictionaries, HMM model,
    idf table, stop words. A file that cannot be opened raises an OSError
    subclass (FileNotFoundError, PermissionError, IsADirectoryError, ...);
    malformed content raises ValueError naming the file and the line.
    """

    def __init__(
        self,
        dict_path: str | bytes,
        hmm_path: str | bytes,
        user_dict_path: str | bytes,
        idf_path: str | bytes,
        stop_word_path: str | bytes,
    ) -> None: ...
    def cut(self, sentence: str | bytes | bytearray) -> list[str]:
        """Dictionary words, with unknown stretches re-cut by the HMM.

        Releases the interpreter lock while cutting. Invalid UTF-8 gives [].
        """
    def cut_for_search(self, sentence: str | bytes | bytearray) -> list[str]:
        """The normal cut plus the dictionary words of two and three characters
        inside longer words, listed before each such word."""
