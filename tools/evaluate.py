#!/usr/bin/env python3
"""Measure word segmentation against the gold words of a CoNLL-U file.

Prints word precision, recall and F1 (a word counts as correct when its span
of characters equals a gold word's span) and the recall of gold words that
are out of the vocabulary of the dictionary used.

  python tools/evaluate.py GOLD.conllu [--data-dir DIR] [--dict ...] ...
  python tools/evaluate.py GOLD.conllu --factory mymodule:MySegmenter
  python tools/evaluate.py GOLD.conllu --cutter /path/to/file.py:cut

By default the segmenter is razoduviva.Jieba built from the data files (the
package's bundled data unless paths are given). --factory names any callable
that takes the five data paths as keyword arguments (dict_path, hmm_path,
user_dict_path, idf_path, stop_word_path) and returns an object with a
cut(sentence) method; --cutter names a callable that maps a sentence to its
list of words and needs no data. MODULE may be a dotted module name or the
path of a .py file.
"""

import argparse
import importlib
import importlib.machinery
import os
import sys
import time
import types

DATA_FILES = {
    "dict_path": "dict.txt",
    "hmm_path": "hmm_model.txt",
    "idf_path": "idf.txt",
    "stop_word_path": "stop_words.txt",
}


def read_gold(path):
    """[(text, [words])] of a CoNLL-U file.

    The text is the "# text" comment when there is one, else the forms joined
    as their SpaceAfter marks say.
    """
    sentences = []
    text, words, spaces = None, [], []

    def flush():
        if words:
            joined = text
            if joined is None:
                joined = "".join(w + (" " if sp else "") for w, sp in zip(words, spaces))
            sentences.append((joined, list(words)))

    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.rstrip("\r\n")
            if not line.strip():
                flush()
                text, words, spaces = None, [], []
                continue
            if line.startswith("#"):
                key, sep, value = line[1:].partition("=")
                if sep and key.strip() == "text":
                    text = value.strip()
                continue
            cols = line.split("\t")
            if len(cols) < 2 or not cols[0].isdigit():
                continue  # multiword-token ranges and empty nodes
            words.append(cols[1])
            misc = cols[9] if len(cols) > 9 else "_"
            spaces.append("SpaceAfter=No" not in misc.split("|"))
    flush()
    return sentences


def spans(words):
    """Character spans of the words, white space removed from the count.

    Words that are all white space (the segmenter returns separators as
    words) take no span.
    """
    result = []
    pos = 0
    for w in words:
        n = sum(1 for ch in w if not ch.isspace())
        if n:
            result.append((pos, pos + n))
            pos += n
    return result


def dictionary_words(paths):
    vocab = set()
    files = [paths.get("dict_path", "")]
    files += [p for p in paths.get("user_dict_path", "").replace(";", "|").split("|") if p]
    for path in files:
        if not path:
            continue
        with open(path, encoding="utf-8") as f:
            for line in f:
                word = line.rstrip("\n").split(" ")[0]
                if word:
                    vocab.add(word)
    return vocab


def score(gold_sentences, cut, vocab=None):
    """Counts and rates for a segmenter `cut` (sentence -> words)."""
    gold_total = pred_total = correct = 0
    oov_total = oov_correct = 0
    mismatched = 0
    for text, gold_words in gold_sentences:
        pred = cut(text)
        gold_spans = spans(gold_words)
        pred_spans = spans(pred)
        if (gold_spans[-1][1] if gold_spans else 0) != (pred_spans[-1][1] if pred_spans else 0):
            # The segmenter lost or added characters; its words still count.
            mismatched += 1
        pred_set = set(pred_spans)
        gold_total += len(gold_spans)
        pred_total += len(pred_spans)
        hits = 0
        for span, word in zip(gold_spans, [w for w in gold_words if w.strip()]):
            hit = span in pred_set
            hits += hit
            if vocab is not None and word not in vocab:
                oov_total += 1
                oov_correct += hit
        correct += hits
    p = correct / pred_total if pred_total else 0.0
    r = correct / gold_total if gold_total else 0.0
    f1 = 2 * p * r / (p + r) if p + r else 0.0
    return {
        "sentences": len(gold_sentences),
        "gold_words": gold_total,
        "predicted_words": pred_total,
        "correct": correct,
        "precision": p,
        "recall": r,
        "f1": f1,
        "oov_words": oov_total,
        "oov_recall": oov_correct / oov_total if oov_total else float("nan"),
        "mismatched_sentences": mismatched,
    }


def load_file(path, name):
    """The Python file at `path`, imported as module `name`."""
    loader = importlib.machinery.SourceFileLoader(name, path)
    module = types.ModuleType(name)
    module.__file__ = path
    sys.modules[name] = module
    loader.exec_module(module)
    return module


def load_object(target):
    """MODULE:NAME, MODULE a dotted name or a .py path."""
    module_name, sep, attr = target.rpartition(":")
    if not sep or not module_name or not attr:
        raise SystemExit("evaluate.py: expected MODULE:NAME, got %r" % target)
    if module_name.endswith(".py") or os.sep in module_name:
        path = os.path.abspath(module_name)
        if not os.path.isfile(path):
            raise SystemExit("evaluate.py: no file %s" % path)
        module = load_file(path, "_segmenter_" + os.path.splitext(os.path.basename(path))[0])
    else:
        try:
            module = importlib.import_module(module_name)
        except ImportError as e:
            raise SystemExit("evaluate.py: cannot import %s: %s" % (module_name, e))
    obj = module
    for part in attr.split("."):
        if not hasattr(obj, part):
            raise SystemExit("evaluate.py: %s has no %s" % (module_name, attr))
        obj = getattr(obj, part)
    return obj


def default_data_dir():
    here = os.path.dirname(os.path.abspath(__file__))
    return os.path.join(here, "..", "python", "razoduviva", "data")


def main(argv=None):
    parser = argparse.ArgumentParser(
        description="Word precision, recall, F1 and OOV recall against CoNLL-U gold words.")
    parser.add_argument("gold", help="CoNLL-U file with the gold words")
    parser.add_argument("--data-dir", default=None,
                        help="folder holding dict.txt, hmm_model.txt, idf.txt, stop_words.txt "
                             "(default: the package's bundled data)")
    parser.add_argument("--dict", dest="dict_path")
    parser.add_argument("--hmm", dest="hmm_path")
    parser.add_argument("--user-dict", dest="user_dict_path", default="")
    parser.add_argument("--idf", dest="idf_path")
    parser.add_argument("--stop-words", dest="stop_word_path")
    who = parser.add_mutually_exclusive_group()
    who.add_argument("--factory", default="razoduviva:Jieba",
                     help="MODULE:NAME called with the five data paths (default: %(default)s)")
    who.add_argument("--cutter", help="MODULE:NAME mapping a sentence to its words")
    parser.add_argument("--limit", type=int, default=0,
                        help="only the first N sentences")
    args = parser.parse_args(argv)

    gold = read_gold(args.gold)
    if args.limit:
        gold = gold[: args.limit]
    vocab = None
    if args.cutter:
        cut = load_object(args.cutter)
        label = args.cutter
    else:
        data_dir = args.data_dir or default_data_dir()
        paths = {"user_dict_path": args.user_dict_path}
        for key, name in DATA_FILES.items():
            paths[key] = getattr(args, key) or os.path.join(data_dir, name)
        for key, path in paths.items():
            if path and key != "user_dict_path" and not os.path.isfile(path):
                raise SystemExit("evaluate.py: no file %s" % path)
        factory = load_object(args.factory)
        segmenter = factory(**paths)
        cut = segmenter.cut
        vocab = dictionary_words(paths)
        label = "%s on %s" % (args.factory, os.path.dirname(os.path.abspath(paths["dict_path"])))

    started = time.perf_counter()
    result = score(gold, cut, vocab)
    elapsed = time.perf_counter() - started
    print("gold       %s (%d sentences, %d words)" % (args.gold, result["sentences"], result["gold_words"]))
    print("segmenter  %s" % label)
    print("precision  %.4f" % result["precision"])
    print("recall     %.4f" % result["recall"])
    print("f1         %.4f" % result["f1"])
    if vocab is not None:
        print("oov recall %.4f (%d gold words outside the dictionary)"
              % (result["oov_recall"], result["oov_words"]))
    if result["mismatched_sentences"]:
        print("warning    %d sentences came back with other characters than the gold text"
              % result["mismatched_sentences"])
    print("time       %.2f s" % elapsed)
    return 0


if __name__ == "__main__":
    sys.exit(main())
