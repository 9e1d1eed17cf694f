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

import contextlib
import os

from razoduviva import _core
from razoduviva._core import BM25, __version__

__all__ = ["BM25", "Jieba", "native_log", "set_native_log"]


def set_native_log(destination):
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
    return _core._set_log_destination(destination)


@contextlib.contextmanager
def native_log(destination):
    """set_native_log(destination) for the duration of a with block:

        with razoduviva.native_log("silent"):
            words = [jieba.cut(text) for text in dirty_texts]
    """
    previous = set_native_log(destination)
    try:
        yield
    finally:
        set_native_log(previous)


class Jieba(_core.Jieba):
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
    any other with its data (a few MB).
    """

    def __init__(self, dict_path=None, hmm_path=None, user_dict_path=None, idf_path=None,
                 stop_word_path=None):
        from razoduviva import data

        bundled = data.paths()
        given = {"dict_path": dict_path, "hmm_path": hmm_path, "user_dict_path": user_dict_path,
                 "idf_path": idf_path, "stop_word_path": stop_word_path}
        paths = {key: bundled[key] if value is None else value for key, value in given.items()}
        super().__init__(**paths)
        self._bundled = paths["user_dict_path"] in ("", b"") and all(
            _same_file(paths[key], bundled[key])
            for key in ("dict_path", "hmm_path", "idf_path", "stop_word_path"))


def _same_file(path, bundled):
    if path == bundled:
        return True
    try:
        return os.path.samefile(path, bundled)
    except (OSError, TypeError, ValueError):
        return False
