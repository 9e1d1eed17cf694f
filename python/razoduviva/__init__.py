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
import functools
import hashlib
import os
import zlib

from razoduviva import _core
from razoduviva._core import BM25, __version__
from razoduviva._encoder import SparseEncoder

__all__ = ["BM25", "Jieba", "SparseEncoder", "native_log", "set_native_log"]


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
    which loads only where the same bundled data is installed; any other
    with its data (about 4 MB for data the size of the bundled data).
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


    def __getstate__(self):
        state = {"format": _PICKLE_FORMAT, "version": __version__}
        if self._bundled:
            state["bundled"] = _bundled_digest()
            state["edits"] = self._edits()
        else:
            state["state"] = zlib.compress(super().__getstate__(), 1)
        return state

    def __setstate__(self, state):
        if not isinstance(state, dict) or state.get("format") != _PICKLE_FORMAT:
            version = state.get("version", "unknown") if isinstance(state, dict) else "unknown"
            raise ValueError(
                "cannot restore a Jieba pickled by razoduviva %s: its pickle format is not one "
                "razoduviva %s reads" % (version, __version__))
        if "bundled" in state:
            if state["bundled"] != _bundled_digest():
                raise ValueError(
                    "cannot restore a Jieba pickled on the bundled data of razoduviva %s: the "
                    "bundled data installed here (razoduviva %s) differs. Install the same "
                    "version on both sides, or pickle a Jieba built from data files of your "
                    "own, which pickles its data" % (state.get("version"), __version__))
            from razoduviva import data

            _core.Jieba.__init__(self, **data.paths())
            if state["edits"]:
                self._set_edits(state["edits"])
            self._bundled = True
        else:
            try:
                data = zlib.decompress(state["state"])
            except (zlib.error, TypeError, KeyError) as e:
                raise ValueError("cannot restore a Jieba: its pickled data is damaged (%s)" % e) from None
            _core.Jieba.__setstate__(self, data)
            self._bundled = False


# Version of the pickled form of Jieba.
_PICKLE_FORMAT = 1


@functools.lru_cache(maxsize=None)
def _digest_of(files):
    digest = hashlib.sha256()
    for path, _, _ in files:
        with open(path, "rb") as f:
            digest.update(hashlib.sha256(f.read()).digest())
    return digest.hexdigest()


def _bundled_digest():
    """A digest of the bundled data files, computed once per process (and
    again if a file changes)."""
    from razoduviva import data

    files = []
    for path in (data.DICT_PATH, data.HMM_PATH, data.IDF_PATH, data.STOP_WORD_PATH):
        st = os.stat(path)
        files.append((path, st.st_size, st.st_mtime_ns))
    return _digest_of(tuple(files))


def _same_file(path, bundled):
    if path == bundled:
        return True
    try:
        return os.path.samefile(path, bundled)
    except (OSError, TypeError, ValueError):
        return False
