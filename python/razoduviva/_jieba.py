"""razoduviva.Jieba: the segmenter on the bundled data by default, and its
pickling."""

import functools
import hashlib
import os
import zlib

from razoduviva import _core, data
from razoduviva._core import __version__

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
            _core.Jieba.__init__(self, **data.paths())
            if state["edits"]:
                self._set_edits(state["edits"])
            self._bundled = True
        else:
            try:
                saved = zlib.decompress(state["state"])
            except (zlib.error, TypeError, KeyError) as e:
                raise ValueError("cannot restore a Jieba: its pickled data is damaged (%s)" % e) from None
            _core.Jieba.__setstate__(self, saved)
            self._bundled = False


Jieba.__module__ = "razoduviva"

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
