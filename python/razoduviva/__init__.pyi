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

from collections.abc import Iterator
from contextlib import contextmanager
from typing import Literal

from razoduviva._core import BM25 as BM25, Jieba as _CoreJieba

__version__: str

__all__ = ["BM25", "Jieba", "native_log", "set_native_log"]

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
