from collections.abc import Sequence
from typing import overload

class BM25:
    def __init__(self, b: float = 0.75, k1: float = 1.2) -> None: ...
    @overload
    def train(self, arg0: Sequence[str | bytes], /) -> None: ...
    @overload
    def train(self, arg0: Sequence[int], /) -> None: ...
    def load(self, arg0: str | bytes, /) -> None: ...
    def dump(self, arg0: str | bytes, /) -> None: ...
    @overload
    def encode_document(self, arg0: Sequence[str | bytes], /) -> dict[str, float]: ...
    @overload
    def encode_document(self, arg0: Sequence[int], /) -> dict[int, float]: ...
    @overload
    def encode_query(self, arg0: Sequence[str | bytes], /) -> dict[str, float]: ...
    @overload
    def encode_query(self, arg0: Sequence[int], /) -> dict[int, float]: ...

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
