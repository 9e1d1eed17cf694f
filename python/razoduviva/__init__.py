"""Chinese word segmentation and BM25 sparse vectors for lexical retrieval.

    import razoduviva, razoduviva.data
    jieba = razoduviva.Jieba(**razoduviva.data.paths())
    model = razoduviva.BM25()

The classes are compiled (the private submodule razoduviva._core); the
command line is razoduviva.cli (python -m razoduviva) and the bundled data
razoduviva.data. Importing the package loads the extension and nothing
else: no third-party modules, no threads.
"""

from razoduviva._core import BM25, Jieba, __version__

__all__ = ["BM25", "Jieba"]
