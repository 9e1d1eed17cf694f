"""Chinese segmentation data bundled with razoduviva.

    import razoduviva, razoduviva.data
    jieba = razoduviva.Jieba(**razoduviva.data.paths())

The files are built by tools/build_data.py from openly licensed sources; see
NOTICE in this folder for the sources, their licences and what was taken.
The dictionary is a derived work of CC BY-SA 4.0 sources and carries that
licence.
"""

__all__ = ["DATA_DIR", "DICT_PATH", "HMM_PATH", "IDF_PATH", "STOP_WORD_PATH", "SAMPLE_PATH",
           "paths"]

DATA_DIR: str
DICT_PATH: str
HMM_PATH: str
IDF_PATH: str
STOP_WORD_PATH: str
SAMPLE_PATH: str

def paths(user_dict_path: str = "") -> dict[str, str]:
    """The five keyword arguments of razoduviva.Jieba for the bundled data.

    `user_dict_path` is passed through: empty for none, or one or more user
    dictionary files separated by '|' or ';'.
    """
