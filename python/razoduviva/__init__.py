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

from razoduviva import data
from razoduviva._core import BM25, __version__
from razoduviva._encoder import SparseEncoder
from razoduviva._index import Index, compact_columns
from razoduviva._jieba import Jieba
from razoduviva._log import native_log, set_native_log

__all__ = ["BM25", "Index", "Jieba", "SparseEncoder", "compact_columns", "native_log",
           "set_native_log"]
