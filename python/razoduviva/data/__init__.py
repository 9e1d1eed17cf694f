"""Chinese segmentation data bundled with razoduviva.

    import razoduviva, razoduviva.data
    jieba = razoduviva.Jieba(**razoduviva.data.paths())

The files are built by tools/build_data.py from openly licensed sources; see
NOTICE in this folder for the sources, their licences and what was taken.
The dictionary is a derived work of CC BY-SA 4.0 sources and carries that
licence.
"""

import os

__all__ = ["DATA_DIR", "DICT_PATH", "HMM_PATH", "IDF_PATH", "STOP_WORD_PATH", "SAMPLE_PATH",
           "paths"]

DATA_DIR = os.path.dirname(os.path.abspath(__file__))
# main dictionary: "word frequency tag" per line, frequencies per 10**8 words
DICT_PATH = os.path.join(DATA_DIR, "dict.txt")
# HMM model: B/E/M/S start, transition and emission log-probabilities
HMM_PATH = os.path.join(DATA_DIR, "hmm_model.txt")
# "word idf" per line
IDF_PATH = os.path.join(DATA_DIR, "idf.txt")
# one stop word per line
STOP_WORD_PATH = os.path.join(DATA_DIR, "stop_words.txt")
# a few hundred GSDSimp train sentences, one per line (for the demo)
SAMPLE_PATH = os.path.join(DATA_DIR, "sample.txt")


def paths(user_dict_path: str = "") -> dict[str, str]:
    """The five keyword arguments of razoduviva.Jieba for the bundled data.

    `user_dict_path` is passed through: empty for none, or one or more user
    dictionary files separated by '|' or ';'.
    """
    return {
        "dict_path": DICT_PATH,
        "hmm_path": HMM_PATH,
        "user_dict_path": user_dict_path,
        "idf_path": IDF_PATH,
        "stop_word_path": STOP_WORD_PATH,
    }
