"""The razoduviva command line.

    python -m razoduviva demo
    python -m razoduviva cut 我们在北京学习中文
    python -m razoduviva cut --tag --offsets < corpus.txt
    python -m razoduviva keywords --top 5 --weights < corpus.txt
    python -m razoduviva train corpus.txt -o model.json --threads 2
    python -m razoduviva fit corpus.txt -o encoder.json
    python -m razoduviva encode model.json --query 北京的大学
    python -m razoduviva index corpus.txt -o corpus.index
    python -m razoduviva search corpus.index 北京的大学 -k 5

Each subcommand has --help. Standard library only.

Input is read as UTF-8 in blocks of whole lines (`_line_blocks`), so memory
stays bounded by the block size, the longest line and a window of work in
flight: 2 * N blocks for `cut --threads N`, a batch of the compiled encoder
for `train` (about 8 MB of lines) and `encode` (ENCODE_BATCH per thread);
results come out in input order. Bytes that are not UTF-8 are read as
U+FFFD. Failures are reported as one line on standard error and a non-zero
exit status: 1 for a failed run, 2 for a bad command line, 130 after Ctrl-C,
141 when standard output is closed early.
The log records of the native code reach standard error through the logger
"razoduviva" (`_NativeLog`), held back while data loads.
"""

import argparse
import collections
import concurrent.futures
import contextlib
import errno
import functools
import json
import logging
import math
import os
import re
import select
import stat
import sys
import time

import razoduviva

PROG = "razoduviva"
# Bytes asked of the input per read; a block is this much or less, cut back
# to its last line end (a longer line makes a longer block).
BLOCK_SIZE = 1 << 16
# Default query of `demo`.
DEMO_QUERY = "英国的大学"

EXIT_FAILURE = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130
EXIT_BROKEN_PIPE = 141


class CliError(Exception):
    """A failure reported to the user as one line."""


class _Parser(argparse.ArgumentParser):
    """An argument parser whose usage errors are one line, not a usage text."""

    def error(self, message):
        self.exit(EXIT_USAGE, "%s: error: %s (see %s --help)\n" % (self.prog, message, self.prog))


# ---------------------------------------------------------------------------
# Native log records.

# The native level names, by logging level.
_NATIVE_LEVELS = {logging.DEBUG: "DEBUG", logging.INFO: "INFO", logging.WARNING: "WARN",
                  logging.ERROR: "ERROR", logging.CRITICAL: "FATAL"}


def _native_line(record):
    """A native record as the core writes it to standard error: time, source
    file and line, level, message; a parser complaint is its text alone."""
    message = record.getMessage()
    if record.pathname == "<native>":  # a line of the JSON parser
        return message
    stamp = time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(record.created))
    return "%s %s:%d %s %s" % (stamp, record.pathname, record.lineno,
                               _NATIVE_LEVELS.get(record.levelno, record.levelname), message)


class _NativeLog(logging.Handler):
    """Writes the native log records of a run to standard error, one line
    each, in the core's own form; main() routes them here (`routed`).

    The segmenter writes a FATAL record before it raises, and the JSON parser
    writes a line per problem before `load` fails; the command reports each
    failure in one line of its own. So while data loads (`held`) the records
    are held back, passed on when the block ends without an exception and
    dropped otherwise. Records of worker threads may come at any time; the
    handler's lock keeps their lines whole.
    """

    def __init__(self):
        super().__init__(logging.DEBUG)
        self._held = None  # the lines held back, or None

    def emit(self, record):
        line = _native_line(record)
        if self._held is not None:
            self._held.append(line)
        else:
            _write_stderr(line)

    @contextlib.contextmanager
    def held(self):
        with self.lock:
            self._held = []
        try:
            yield
        except BaseException:
            with self.lock:
                self._held = None
            raise
        with self.lock:
            lines, self._held = self._held, None
            for line in lines:
                _write_stderr(line)

    @contextlib.contextmanager
    def routed(self):
        """Routes the native records of the process here for the block, and
        puts the previous destination and logger settings back after it."""
        logger = logging.getLogger(PROG)
        level, propagate = logger.level, logger.propagate
        logger.addHandler(self)
        logger.setLevel(logging.DEBUG)  # the core filters nothing either
        logger.propagate = False  # the lines are written here, not twice
        try:
            with razoduviva.native_log("logging"):
                yield
        finally:
            logger.removeHandler(self)
            logger.setLevel(level)
            logger.propagate = propagate


def _write_stderr(line):
    try:
        sys.stderr.write(line + "\n")
        sys.stderr.flush()
    except (OSError, ValueError, AttributeError):
        pass  # no standard error to write to


_NATIVE_LOG = _NativeLog()


# ---------------------------------------------------------------------------
# Loading.

def _jieba(args):
    """A Jieba on the bundled data, with the paths given on the command line."""
    import razoduviva.data

    paths = razoduviva.data.paths(args.user_dict)
    for key, value in (("dict_path", args.dict), ("hmm_path", args.hmm),
                       ("idf_path", args.idf), ("stop_word_path", args.stop_words)):
        if value is not None:
            paths[key] = value
    try:
        with _NATIVE_LOG.held():
            return razoduviva.Jieba(**paths)
    except OSError as e:
        raise CliError("cannot read data file %s: %s" % (
            e.filename, os.strerror(e.errno) if e.errno else e)) from None
    except ValueError as e:
        # the message starts with "path:line:"
        raise CliError("malformed data file %s" % e) from None


def _model_text(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError as e:
        raise CliError("cannot read model %s: %s" % (path, e.strerror or e)) from None


def _model(path, text):
    """A BM25 restored from the model file at `path`, whose bytes are `text`."""
    model = razoduviva.BM25()
    try:
        with _NATIVE_LOG.held():
            model.load(text)
    except (RuntimeError, ValueError, IndexError, OverflowError) as e:
        raise CliError("%s is not a BM25 model file (%s)" % (path, e)) from None
    return model


# ---------------------------------------------------------------------------
# Reading, working in order, writing.

def _line_blocks(stream, size=BLOCK_SIZE, mark_waits=False):
    """Blocks of whole lines read from a binary stream, in order.

    Each block but the last ends with a line feed. The stream is read without
    a buffer of its own, one system call per read, so a block is what the
    input has at hand: a slow writer (a terminal, `tail -f`) gets each line
    through as soon as it is complete. With `mark_waits`, None comes before a
    read that would wait for the writer, so that work in hand can be finished
    and written first.
    """
    raw = getattr(stream, "raw", stream)
    try:
        fd = raw.fileno()
    except (OSError, ValueError, AttributeError):
        fd = None
    pieces = []  # a line longer than one read, in parts
    while True:
        if mark_waits and fd is not None and not _readable(fd):
            yield None
        data = raw.read(size)
        if not data:
            break
        end = data.rfind(b"\n") + 1
        if not end:
            pieces.append(data)
            continue
        if pieces:
            pieces.append(data[:end])
            yield b"".join(pieces)
            pieces = []
        else:
            yield data[:end]
        if end < len(data):
            pieces.append(data[end:])
    if pieces:
        yield b"".join(pieces)


def _readable(fd):
    """True when a read of `fd` would not wait (always so for a file)."""
    try:
        return bool(select.select([fd], [], [], 0)[0])
    except (OSError, ValueError):
        return True


def _text(block):
    """A block as str: its lines joined by line feeds (CRLF read as LF),
    without the last line end."""
    text = block.decode("utf-8", "replace")
    if "\r" in text:
        text = text.replace("\r\n", "\n")
    if text.endswith("\n"):
        text = text[:-1]
    return text


# White space other than the line feed.
_SPACE = re.compile(r"[^\S\n]")


def _split_lines(items, words, count):
    """The items of a segmentation of `count` lines joined by line feeds, cut
    at its line-feed words (words[i] is the word of items[i]): a list of the
    items of each line, or None when the line feeds are not words of their
    own (not expected).

    In every mode a line feed separates words and comes back as a word of its
    own, with the words of the lines on either side of it: no word spans it,
    and the words that full and search mode add inside a longer word stay
    beside that word. So the words between two line feeds are the words of
    that line, and one call per block of lines gives what one call per line
    would, in fewer calls, the segmenter running longer without the
    interpreter lock.
    """
    out = []
    start = 0
    index = words.index
    try:
        for _ in range(count - 1):
            end = index("\n", start)
            out.append(items[start:end])
            start = end + 1
    except ValueError:  # fewer line feeds than lines
        return None
    try:
        index("\n", start)
        return None  # more line feeds than lines
    except ValueError:
        pass
    out.append(items[start:])
    return out


def _words_by_line(cut, text, keep_space=False):
    """The words of each line of `text` (lines joined by line feeds), cut as
    one block (see _split_lines)."""
    words = cut(text)
    out = _split_lines(words, words, text.count("\n") + 1)
    if out is None:
        return [_drop_space(cut(line), keep_space) for line in text.split("\n")]
    if not keep_space:
        # Only a line with white space can give a white-space word: find
        # those lines from the white space in the block.
        line, at, done = 0, 0, -1
        for space in _SPACE.finditer(text):
            line += text.count("\n", at, space.start())
            at = space.start()
            if line != done:
                out[line] = [w for w in out[line] if not w.isspace()]
                done = line
    return out


def _items_by_line(segment, text):
    """segment(text), a list of tuples whose first member is a word, as the
    tuples of each line of `text` with the offset of the line in the text:
    [(offset, tuples), ...]. The block is segmented in one call where it
    can be (see _split_lines); offsets in the tuples minus the line's offset
    are offsets in the line."""
    items = segment(text)
    lines = text.split("\n")
    split = _split_lines(items, [item[0] for item in items], len(lines))
    if split is None:
        return [(0, segment(line)) for line in lines]
    out = []
    at = 0
    for line, line_items in zip(lines, split):
        out.append((at, line_items))
        at += len(line) + 1
    return out


def _drop_space(words, keep_space=False):
    return words if keep_space else [w for w in words if not w.isspace()]


def _ordered(func, items, threads):
    """func(item) for each item, in order; with threads > 1 computed by a pool
    of that many threads, at most 2 * threads items ahead of the consumer.

    An item None (see _line_blocks) is no work: it says that the next item
    may be long in coming, so every result in hand is delivered first.
    """
    if threads <= 1:
        for item in items:
            if item is not None:
                yield func(item)
        return
    pool = concurrent.futures.ThreadPoolExecutor(threads, thread_name_prefix=PROG)
    pending = collections.deque()
    try:
        for item in items:
            if item is None:
                while pending:
                    yield pending.popleft().result()
                continue
            pending.append(pool.submit(func, item))
            while pending and (len(pending) >= 2 * threads or pending[0].done()):
                yield pending.popleft().result()
        while pending:
            yield pending.popleft().result()
    finally:
        # On an error or an early stop the queued work is dropped; the work
        # in hand (one block per thread) ends on its own.
        pool.shutdown(wait=False, cancel_futures=True)


def _inputs(paths):
    """Binary streams of the given files in order ('-' or none: standard input),
    and their total size in bytes when known."""
    paths = paths or ["-"]
    total = 0
    for path in paths:
        if path == "-":
            try:
                st = os.fstat(sys.stdin.fileno())
            except (OSError, ValueError, AttributeError):
                st = None
        else:
            try:
                st = os.stat(path)
            except OSError as e:
                raise CliError("cannot read %s: %s" % (path, e.strerror)) from None
            if stat.S_ISDIR(st.st_mode):
                raise CliError("cannot read %s: %s" % (path, os.strerror(errno.EISDIR)))
        if total is not None and st is not None and stat.S_ISREG(st.st_mode):
            total += st.st_size
        else:
            total = None

    def streams():
        for path in paths:
            if path == "-":
                yield sys.stdin.buffer
            else:
                try:
                    f = open(path, "rb", buffering=0)
                except OSError as e:
                    raise CliError("cannot read %s: %s" % (path, e.strerror)) from None
                with f:
                    yield f

    return streams(), total


def _all_blocks(streams):
    for stream in streams:
        # A file that does not end with a line feed still ends its last line.
        yield from _line_blocks(stream, mark_waits=True)


def _argument_text(words):
    """The TEXT arguments as one line. Python hands bytes of an argument that
    are not UTF-8 over as lone surrogates; they are read as U+FFFD, as in
    the input."""
    return " ".join(words).encode("utf-8", "surrogateescape").decode("utf-8", "replace")


def _write(data):
    out = sys.stdout.buffer
    out.write(data)
    out.flush()


# ---------------------------------------------------------------------------
# cut

MODES = ("default", "search", "full")


def _cut_function(jieba, mode="default", hmm=True):
    """The Jieba method that cuts in `mode`."""
    if mode == "full":  # dictionary words only: no HMM to turn off
        return jieba.cut_full
    cut = jieba.cut_for_search if mode == "search" else jieba.cut
    return cut if hmm else functools.partial(cut, hmm=False)


def _lines_tokens(args, jieba):
    """A function from a text of lines to the tokens of each line, for the
    commands that count words in Python: demo, and encode --pretokenized."""
    if getattr(args, "pretokenized", False):
        return lambda text: [line.split() for line in text.split("\n")]
    return functools.partial(_words_by_line, jieba.cut)


def _check_cut(args):
    """Settles the mode of `cut` (--mode, or --search) in args.mode; a usage
    error message for options that do not go together."""
    if args.search and args.mode not in (None, "search"):
        return "--search is --mode search: not with --mode %s" % args.mode
    args.mode = "search" if args.search else args.mode or "default"
    if args.tag and args.mode != "default":
        return "--tag tags the words of the default mode: not with --mode %s" % args.mode
    return None


def _lines_words(args, jieba):
    """A function from a text of lines to the output words of each line:
    words, word/tag, word[start:end] or word/tag[start:end]."""
    mode, hmm, keep_space = args.mode, not args.no_hmm, args.keep_space
    if not (args.tag or args.offsets):
        cut = _cut_function(jieba, mode, hmm)
        return lambda text: _words_by_line(cut, text, keep_space)
    if args.tag and args.offsets:
        def segment(text):
            # The tags and the offsets of the same default cut, word by word.
            tokens = jieba.tokenize(text, hmm=hmm)
            tagged = jieba.tag(text, hmm=hmm)
            if [w for w, _, _ in tokens] != [w for w, _ in tagged]:
                raise RuntimeError("tag and tokenize cut differently")
            return [token + (tag,) for token, (_, tag) in zip(tokens, tagged)]

        def show(item, at):
            return "%s/%s[%d:%d]" % (item[0], item[3], item[1] - at, item[2] - at)
    elif args.tag:
        segment = functools.partial(jieba.tag, hmm=hmm)

        def show(item, at):
            return item[0] + "/" + item[1]
    else:
        segment = functools.partial(jieba.tokenize, mode=mode, hmm=hmm)

        def show(item, at):
            return "%s[%d:%d]" % (item[0], item[1] - at, item[2] - at)
    return lambda text: [[show(item, at) for item in items if keep_space or not item[0].isspace()]
                         for at, items in _items_by_line(segment, text)]


def cmd_cut(args):
    tokens = _lines_words(args, _jieba(args))
    sep = args.sep

    def cut_text(text):
        lines = [sep.join(words) for words in tokens(text)]
        return ("\n".join(lines) + "\n").encode("utf-8")

    if args.text:
        _write(cut_text(_argument_text(args.text)))
        return 0
    blocks = _line_blocks(sys.stdin.buffer, mark_waits=True)
    for out in _ordered(lambda block: cut_text(_text(block)), blocks, args.threads):
        _write(out)
    return 0


# ---------------------------------------------------------------------------
# keywords

def cmd_keywords(args):
    jieba = _jieba(args)
    sep, top, weights, tags = args.sep, args.top, args.weights, args.tags

    def line_keywords(line):
        found = jieba.keywords(line, top, with_weights=weights, tags=tags)
        return sep.join("%s:%.4f" % pair for pair in found) if weights else sep.join(found)

    def keywords_text(text):
        return ("\n".join(map(line_keywords, text.split("\n"))) + "\n").encode("utf-8")

    if args.text:
        # One line, whatever the arguments hold.
        _write((line_keywords(_argument_text(args.text)) + "\n").encode("utf-8"))
        return 0
    blocks = _line_blocks(sys.stdin.buffer, mark_waits=True)
    for out in _ordered(lambda block: keywords_text(_text(block)), blocks, 1):
        _write(out)
    return 0


# ---------------------------------------------------------------------------
# train

class _Progress:
    """A progress line on standard error, redrawn at most ten times a second;
    silent unless standard error is a terminal."""

    def __init__(self, total):
        self.total = total
        self.start = time.monotonic()
        self.last = 0.0
        self.shown = False
        try:
            self.on = sys.stderr.isatty()
        except (ValueError, AttributeError):
            self.on = False

    def update(self, done, documents, final=False):
        if not self.on:
            return
        now = time.monotonic()
        if not final and now - self.last < 0.1:
            return
        self.last = now
        rate = done / max(now - self.start, 1e-9) / 1e6
        line = "%8.1f MB %8.1f MB/s %10d documents" % (done / 1e6, rate, documents)
        if self.total:
            share = min(done / self.total, 1.0)
            bar = "#" * int(share * 30)
            line = "[%-30s] %3d%% %s" % (bar, share * 100, line)
        sys.stderr.write("\r" + line + ("\n" if final else ""))
        sys.stderr.flush()
        self.shown = not final

    def end(self):
        """Ends a progress line left open, so that what follows starts a line."""
        if self.shown:
            sys.stderr.write("\n")
            sys.stderr.flush()
            self.shown = False


def _output_path(path, what="model"):
    """Refuses, before any work, an output path that cannot be written."""
    if os.path.isdir(path):
        raise CliError("cannot write %s %s: %s" % (what, path, os.strerror(errno.EISDIR)))
    folder = os.path.dirname(path) or "."
    if not os.path.isdir(folder):
        raise CliError("cannot write %s %s: no folder %s" % (what, path, folder))
    return path


def _encoder(args, model):
    """An encoder over `model` whose tokens are the words of the cut in
    args.mode (with the HMM unless --no-hmm) less the words made only of
    white space: the words `cut` prints."""
    return razoduviva.SparseEncoder.from_model(
        model, _jieba(args), mode=args.mode, hmm=not args.no_hmm, stop_words=False,
        keep_space=False, bigrams=0, idf="occurrences", nfkc=False, casefold=False, t2s=False,
        threads=args.threads)


# A line that gives no token: empty, or white space alone (every character
# of a line is in some word of its cut, in every mode, so a line with
# anything else gives a word that is not white space).
_BLANK_LINE = re.compile(r"^[^\S\n]*$", re.M)


class _Corpus:
    """The lines of the input files (or standard input) as texts, counted as
    they go by, with a progress line."""

    def __init__(self, files):
        self.streams, total = _inputs(files)
        self.progress = _Progress(total)
        self.done = self.lines = self.skipped = 0

    def texts(self):
        for block in _all_blocks(self.streams):
            if block is None:
                continue
            text = _text(block)
            block_lines = text.split("\n")
            self.lines += len(block_lines)
            self.skipped += len(_BLANK_LINE.findall(text))
            self.done += len(block)
            self.progress.update(self.done, self.lines - self.skipped)
            yield from block_lines

    @property
    def documents(self):
        return self.lines - self.skipped

    def finish(self, what, output):
        self.progress.update(self.done, self.documents, final=True)
        if self.progress.on:
            sys.stderr.write("%s: %s of %d documents written to %s; empty lines skipped: %d\n"
                             % (PROG, what, self.documents, output, self.skipped))


def cmd_train(args):
    output = _output_path(args.output)
    corpus = _Corpus(args.files)
    model = razoduviva.BM25(b=args.b, k1=args.k1)
    encoder = None if args.pretokenized else _encoder(args, model)
    try:
        if encoder is not None:
            # One call over the whole input, so that its batches span block
            # and file ends and every thread has work. It skips the lines
            # without tokens itself and trains in input order: the model
            # does not depend on the number of threads.
            encoder.fit(corpus.texts())
        else:
            train = model.train
            for line in corpus.texts():
                tokens = line.split()
                if tokens:
                    train(tokens)
    except BaseException:
        corpus.progress.end()
        raise
    if not corpus.documents:
        raise CliError("no documents to train on: every input line is empty")
    try:
        model.dump(output)
    except RuntimeError as e:
        raise CliError("cannot write model %s: %s" % (output, e)) from None
    corpus.finish("model", output)
    return 0


# ---------------------------------------------------------------------------
# fit

# Defaults of the encoder settings (SparseEncoder()'s).
SETTINGS = {"b": 0.75, "k1": 1.2, "keep_stop_words": False, "bigrams": 2.0,
            "idf_kind": "documents", "no_nfkc": False, "no_casefold": False, "no_t2s": False}


def _check_settings(args):
    """Fills in the encoder settings not given; the names of those given."""
    given = [key for key in SETTINGS if getattr(args, key) is not None]
    for key, value in SETTINGS.items():
        if getattr(args, key) is None:
            setattr(args, key, value)
    return given


def _check_index(args):
    given = _check_settings(args)
    if args.mode is not None:
        given.append("mode")
    if args.no_hmm:
        given.append("no_hmm")
    if args.encoder is not None and given:
        return ("--encoder holds its own settings: not with --%s"
                % ", --".join(key.replace("_", "-") for key in given))
    args.mode = args.mode or "default"
    return None


def _check_fit(args):
    _check_settings(args)
    return _check_tokens(args)


def _new_encoder(args):
    """An encoder, not fitted yet, with the settings of the command line."""
    return razoduviva.SparseEncoder(
        _jieba(args), mode=args.mode, hmm=not args.no_hmm, stop_words=not args.keep_stop_words,
        bigrams=args.bigrams, idf=args.idf_kind, nfkc=not args.no_nfkc, casefold=not args.no_casefold,
        t2s=not args.no_t2s, b=args.b, k1=args.k1, threads=args.threads)


def cmd_fit(args):
    output = _output_path(args.output)
    corpus = _Corpus(args.files)
    encoder = _new_encoder(args)
    try:
        encoder.fit(corpus.texts())
    except BaseException:
        corpus.progress.end()
        raise
    if not encoder.doc_count:
        raise CliError("no documents to fit on: no input line gives a token")
    try:
        encoder.save(output)
    except OSError as e:
        raise CliError("cannot write encoder %s: %s" % (output, e.strerror or e)) from None
    corpus.finish("encoder", output)
    return 0


# ---------------------------------------------------------------------------
# encode

# Bytes of standard input encoded per call and thread, at least, when that
# much is at hand: two of the encoder's 64 KiB chunks of work per thread.
# The vectors of a batch as Python objects take about 50 times its size.
ENCODE_BATCH = 1 << 17
FORMATS = ("dict", "indices")


def _batches(blocks, size):
    """The blocks of _line_blocks joined into batches of `size` bytes or
    more; a None (the next read would wait) ends a batch early, so that the
    lines at hand are written before the wait."""
    parts, held = [], 0
    for block in blocks:
        if block is not None:
            parts.append(block)
            held += len(block)
            if held < size:
                continue
        if parts:
            yield b"".join(parts)
            parts, held = [], 0
    if parts:
        yield b"".join(parts)


def _check_tokens(args):
    """Settles the mode of train and encode in args.mode; a usage error
    message for options that do not go together."""
    args.mode_given = args.mode is not None
    if getattr(args, "pretokenized", False):
        if args.mode is not None or args.no_hmm:
            return "--pretokenized does not cut: not with --mode or --no-hmm"
        if getattr(args, "format", "dict") != "dict":
            return "--format indices hashes cut words: not with --pretokenized"
    args.mode = args.mode or "default"
    return None


def _encoder_file(args, text):
    """The encoder of an encoder file, with its own settings; None for a
    plain model file."""
    if b'"_encoder"' not in text:
        return None
    if args.mode_given or args.no_hmm or args.pretokenized:
        raise CliError("%s is an encoder file, which holds its own settings: not with --mode, "
                       "--no-hmm or --pretokenized" % args.model)
    own_data = any(getattr(args, key) for key in ("dict", "hmm", "user_dict", "idf", "stop_words"))
    try:
        with _NATIVE_LOG.held():
            return razoduviva.SparseEncoder.load(args.model, _jieba(args) if own_data else None,
                                                 threads=args.threads)
    except (RuntimeError, ValueError, IndexError, OverflowError) as e:
        raise CliError("cannot load the encoder %s" % e) from None


def cmd_encode(args):
    text = _model_text(args.model)
    encoder = _encoder_file(args, text)
    if encoder is None:
        model = _model(args.model, text)
        if args.pretokenized:
            return _encode_pretokenized(args, model)
        encoder = _encoder(args, model)
    encode = encoder.encode_queries if args.query else encoder.encode_documents
    dumps = functools.partial(json.dumps, ensure_ascii=False)

    def vectors(texts):
        try:
            return encode(texts, format=args.format)
        except RuntimeError as e:
            raise CliError("cannot encode with %s: %s" % (args.model, e)) from None

    if args.text:
        _write((dumps(vectors([_argument_text(args.text)])[0]) + "\n").encode("utf-8"))
        return 0

    size = ENCODE_BATCH * (args.threads or os.cpu_count() or 1)
    for batch in _batches(_line_blocks(sys.stdin.buffer, mark_waits=True), size):
        lines = map(dumps, vectors(_text(batch).split("\n")))
        _write(("\n".join(lines) + "\n").encode("utf-8"))
    return 0


def _encode_pretokenized(args, model):
    tokens = _lines_tokens(args, None)
    encode = model.encode_query if args.query else model.encode_document

    def vector(words):
        try:
            return json.dumps(encode(words), ensure_ascii=False)
        except RuntimeError as e:
            raise CliError("cannot encode with %s: %s" % (args.model, e)) from None
        except UnicodeDecodeError:
            raise CliError("%s holds a token that is not UTF-8" % args.model) from None

    if args.text:
        words = [w for line in tokens(_argument_text(args.text)) for w in line]
        _write((vector(words) + "\n").encode("utf-8"))
        return 0
    for block in _line_blocks(sys.stdin.buffer):
        lines = [vector(words) for words in tokens(_text(block))]
        _write(("\n".join(lines) + "\n").encode("utf-8"))
    return 0


# ---------------------------------------------------------------------------
# index and search

# Text added to the index per call, at least: enough for every thread.
INDEX_BATCH = 1 << 22
# The first line of a lines file, then the number of documents.
LINES_HEADER = b"razoduviva index lines 1 "


def _lines_path(index_path):
    """The file beside an index that holds its documents' lines."""
    return index_path + ".lines"


def _documents(lines, with_ids, first_line):
    """(id, text) of each line that is not blank: the id before a tab with
    with_ids, else the line's number in the input (from 1)."""
    for number, line in enumerate(lines, first_line):
        if with_ids:
            head, tab, text = line.partition("\t")
            if not tab:
                if line.strip():
                    raise CliError("line %d: no id: with --ids a line is the id, a tab and "
                                   "the text" % number)
                continue
            try:
                doc_id = int(head)
            except ValueError:
                raise CliError("line %d: the id %r is not a whole number" % (number, head)) from None
            if not -(1 << 63) <= doc_id < 1 << 63:
                raise CliError("line %d: the id %s is out of the 64-bit range" % (number, head))
        else:
            doc_id, text = number, line
        if text.strip():
            yield doc_id, text


def _spooled_stdin():
    """Standard input copied to a temporary file, to be read twice."""
    import tempfile

    spool = tempfile.NamedTemporaryFile(prefix="razoduviva-", suffix=".txt")
    for block in _line_blocks(sys.stdin.buffer):
        spool.write(block)
    spool.flush()
    return spool


def _index_encoder(args):
    """The encoder of --encoder, with its own settings; None without it."""
    if args.encoder is None:
        return None
    own_data = any(getattr(args, key) for key in ("dict", "hmm", "user_dict", "idf", "stop_words"))
    try:
        with _NATIVE_LOG.held():
            return razoduviva.SparseEncoder.load(args.encoder, _jieba(args) if own_data else None,
                                                 threads=args.threads)
    except OSError as e:
        raise CliError("cannot read encoder %s: %s" % (args.encoder, e.strerror or e)) from None
    except (RuntimeError, ValueError) as e:
        raise CliError("cannot load the encoder %s" % e) from None


class _LinesWriter:
    """The lines file of an index being built, written as its documents are
    added: into a temporary file beside `path`, renamed over it by commit()
    once the index is saved, removed by discard(). The header's count is
    written last, in a field of fixed width."""

    def __init__(self, path):
        import tempfile

        self.path = path
        self.count = 0
        fd, self.temporary = tempfile.mkstemp(prefix=os.path.basename(path) + ".", suffix=".tmp",
                                              dir=os.path.dirname(path) or ".")
        self.file = os.fdopen(fd, "wb")
        self.file.write(LINES_HEADER + b"%20d\n" % 0)

    def write(self, documents):
        for doc_id, text in documents:
            self.file.write(b"%d\t%s\n" % (doc_id, text.encode("utf-8", "replace")))
        self.count += len(documents)

    def close(self):
        self.file.seek(len(LINES_HEADER))
        self.file.write(b"%20d" % self.count)
        self.file.close()

    def commit(self):
        os.replace(self.temporary, self.path)

    def discard(self):
        self.file.close()
        os.unlink(self.temporary)


def cmd_index(args):
    output = _output_path(args.output, "index")
    encoder = _index_encoder(args)
    spool = None
    files = args.files
    if encoder is None and (not files or "-" in files):
        if files.count("-") > 1 or (files and len(files) > 1):
            raise CliError("standard input can be read once: give files, or one '-' alone, "
                           "or an encoder with --encoder")
        spool = _spooled_stdin()  # read twice: to fit, then to index
        files = [spool.name]
    lines = _lines_path(output)
    writer = None
    try:
        if encoder is None:
            encoder = _new_encoder(args)
            corpus = _Corpus(files)
            try:
                encoder.fit(text for _, text in _documents(corpus.texts(), args.ids, 1))
            finally:
                corpus.progress.end()
            if not encoder.doc_count:
                raise CliError("no documents to index: no input line gives a token")
        index = razoduviva.Index(encoder)
        writer = None if args.no_lines else _LinesWriter(lines)
        corpus = _Corpus(files)
        batch, held = [], 0
        try:
            for document in _documents(corpus.texts(), args.ids, 1):
                batch.append(document)
                held += len(document[1])
                if held >= INDEX_BATCH:
                    _add(index, batch, writer)
                    batch, held = [], 0
            _add(index, batch, writer)
        finally:
            corpus.progress.end()
        if not len(index):
            raise CliError("no documents to index: every input line is empty")
        if writer is not None:
            writer.close()
        try:
            index.save(output)
        except OSError as e:
            raise CliError("cannot write index %s: %s" % (output, e.strerror or e)) from None
    except BaseException:
        if writer is not None:
            writer.discard()
        raise
    finally:
        if spool is not None:
            spool.close()
    if writer is not None:
        writer.commit()
    elif os.path.exists(lines):
        os.unlink(lines)  # the lines of an index this one replaces
    if corpus.progress.on:
        sys.stderr.write("%s: index of %d documents written to %s\n" % (PROG, len(index), output))
    return 0


def _add(index, batch, writer):
    if not batch:
        return
    ids = [doc_id for doc_id, _ in batch]
    try:
        index.add([text for _, text in batch], ids)
    except ValueError as e:
        raise CliError(str(e)) from None
    if writer is not None:
        writer.write(batch)


class _Lines:
    """The lines of an index's documents, by id, from its lines file; empty
    when there is none."""

    def __init__(self, path, documents):
        self.offsets = {}
        self.file = None
        try:
            f = open(path, "rb")
        except FileNotFoundError:
            return
        except OSError as e:
            raise CliError("cannot read %s: %s" % (path, e.strerror or e)) from None
        header = f.readline()
        if not header.startswith(LINES_HEADER) or header[len(LINES_HEADER):].strip() != b"%d" % documents:
            f.close()
            sys.stderr.write("%s: warning: %s is not the lines file of this index; lines are "
                             "not shown\n" % (PROG, path))
            return
        offset = f.tell()
        for line in f:
            self.offsets[int(line[:line.index(b"\t")])] = offset
            offset += len(line)
        self.file = f

    def get(self, doc_id):
        offset = self.offsets.get(doc_id)
        if offset is None:
            return None
        self.file.seek(offset)
        line = self.file.readline()
        return line[line.index(b"\t") + 1:].rstrip(b"\n").decode("utf-8", "replace")


def _load_index(args):
    own_data = any(getattr(args, key) for key in ("dict", "hmm", "user_dict", "idf", "stop_words"))
    try:
        with _NATIVE_LOG.held():
            return razoduviva.Index.load(args.index, jieba=_jieba(args) if own_data else None)
    except OSError as e:
        raise CliError("cannot read index %s: %s" % (args.index, e.strerror or e)) from None
    except ValueError as e:
        raise CliError("cannot load the index: %s" % e) from None


def cmd_search(args):
    index = _load_index(args)
    lines = _Lines(_lines_path(args.index), len(index))

    def show(query, hits):
        if args.json:
            return json.dumps({"query": query, "hits": [
                {"id": doc_id, "score": score, "line": lines.get(doc_id)}
                for doc_id, score in hits]}, ensure_ascii=False) + "\n"
        out = []
        for doc_id, score in hits:
            line = lines.get(doc_id)
            out.append("%d\t%.4f" % (doc_id, score) + ("" if line is None else "\t" + line))
        return "".join(line + "\n" for line in out)

    if args.text:
        query = _argument_text(args.text)
        _write(show(query, index.search(query, k=args.top)).encode("utf-8"))
        return 0
    # One query a line: each query's hits and then, in text, an empty line.
    for batch in _batches(_line_blocks(sys.stdin.buffer, mark_waits=True), ENCODE_BATCH):
        queries = _text(batch).split("\n")
        results = index.search_many(queries, k=args.top, threads=args.threads)
        out = [show(q, hits) + ("" if args.json else "\n") for q, hits in zip(queries, results)]
        _write("".join(out).encode("utf-8"))
    return 0


# ---------------------------------------------------------------------------
# demo

def cmd_demo(args):
    import razoduviva.data

    started = time.perf_counter()
    jieba = _jieba(args)
    loaded = time.perf_counter()
    try:
        with open(razoduviva.data.SAMPLE_PATH, encoding="utf-8") as f:
            sentences = [line.rstrip("\n") for line in f if line.strip()]
    except OSError as e:
        raise CliError("cannot read the sample %s: %s" % (e.filename, e.strerror)) from None
    encoder = razoduviva.SparseEncoder(jieba).fit(sentences)
    index = razoduviva.Index(encoder)
    index.add(sentences)
    hits = index.search(args.query, k=args.top)
    finished = time.perf_counter()

    out = ["%s demo: %d sentences of the GSDSimp treebank (CC BY-SA 4.0, see "
           "razoduviva/data/NOTICE) on the bundled data." % (PROG, len(sentences)), ""]
    # Short sentences where search mode adds words show both modes best.
    examples = [s for s in sentences if len(s) <= 30 and jieba.cut_for_search(s) != jieba.cut(s)]
    out.append("Cut, then cut for search:")
    for s in examples[:3]:
        out += ["  " + s, "    " + " / ".join(jieba.cut(s)),
                "    " + " / ".join(jieba.cut_for_search(s))]
    out += ["", "Fitted a SparseEncoder (BM25, b=0.75, k1=1.2, on words and CJK character "
                "bigrams) on %d sentences: %d distinct words; indexed them."
            % (encoder.doc_count, encoder.vocabulary_size), ""]
    vector = encoder.encode_queries([args.query], format="dict")[0]
    out.append("Query: " + args.query)
    out.append("  tokens:  " + " / ".join(encoder.tokens(args.query)))
    for field in ("words", "bigrams"):
        weights = sorted(vector.get(field, {}).items(), key=lambda item: (-item[1], item[0]))
        out.append("  %-8s " % (field + ":") + ", ".join("%s %.4f" % item for item in weights))
    out += ["", "Best matches, by the dot product of the query and sentence vectors:"]
    out += ["  %.4f  %s" % (score, sentences[doc_id]) for doc_id, score in hits]
    if not hits:
        out.append("  none: no token of the query is in the sample")
    out += ["", "Segmenter loaded in %.2f s; the sample fitted on, indexed and searched "
                "in %.3f s." % (loaded - started, finished - loaded)]
    out += [""] + _demo_sqlite(jieba, sentences, args.query, args.top)
    _write(("\n".join(out) + "\n").encode("utf-8"))
    return 0


def _demo_sqlite(jieba, sentences, query, top):
    """The sample searched with SQLite's full-text engine and the tokenizer,
    where this Python's sqlite3 (or apsw) loads extensions."""
    import sqlite3

    import razoduviva.sqlite

    try:
        import apsw
        conn = apsw.Connection(":memory:")
    except ImportError:
        conn = sqlite3.connect(":memory:")
    try:
        razoduviva.sqlite.load(conn)
    except RuntimeError:
        return ["SQLite: this Python's sqlite3 cannot load extensions (pip install apsw); see "
                "'Full-text search in SQLite' in the README."]
    conn.execute("CREATE VIRTUAL TABLE sample USING fts5(sentence, tokenize='razoduviva')")
    conn.executemany("INSERT INTO sample VALUES (?)", [(s,) for s in sentences])
    # A long question is best asked as its words, quoted, joined with OR.
    words = ['"%s"' % w.replace('"', '""') for w in jieba.cut(query) if w.strip()]
    rows = list(conn.execute(
        "SELECT highlight(sample, 0, '[', ']') FROM sample WHERE sample MATCH ? ORDER BY rank "
        "LIMIT ?", (" OR ".join(words), top))) if words else []
    return ["SQLite FTS5 with the tokenizer 'razoduviva', the query's words joined by OR, "
            "ranked by bm25():"] + ["  " + row[0] for row in rows]


# ---------------------------------------------------------------------------
# The command line.

def _positive_int(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not a whole number: %r" % text) from None
    if value < 1:
        raise argparse.ArgumentTypeError("must be 1 or more: %r" % text)
    return value


def _ranged_float(low, high=None):
    def convert(text):
        try:
            value = float(text)
        except ValueError:
            raise argparse.ArgumentTypeError("not a number: %r" % text) from None
        if not math.isfinite(value) or value < low or (high is not None and value > high):
            limits = "from %g to %g" % (low, high) if high is not None else "%g or more" % low
            raise argparse.ArgumentTypeError("must be %s: %r" % (limits, text))
        return value
    return convert


def _tag_set(text):
    tags = frozenset(tag.strip() for tag in text.split(",")) - {""}
    if not tags:
        raise argparse.ArgumentTypeError("no tag in %r" % text)
    return tags


def build_parser():
    data = _Parser(add_help=False)
    files = data.add_argument_group(
        "data files", "The segmenter's files; each defaults to the bundled data.")
    files.add_argument("--dict", metavar="PATH", help="main dictionary")
    files.add_argument("--hmm", metavar="PATH", help="HMM model")
    files.add_argument("--user-dict", metavar="PATHS", default="",
                       help="user dictionaries, several separated by '|' or ';' (default: none)")
    files.add_argument("--idf", metavar="PATH", help="idf table")
    files.add_argument("--stop-words", metavar="PATH", help="stop-word list")

    threads = _Parser(add_help=False)
    threads.add_argument("--threads", metavar="N", type=_positive_int, default=1,
                         help="cut with N threads (default: 1)")

    # The cut of train and encode: the same options for both, since the
    # queries and documents must be cut as the model's documents were.
    cutting = _Parser(add_help=False)
    cutting.add_argument("--mode", choices=MODES,
                         help="cut mode, as for 'cut': default, search or full (default: "
                              "default). A model's documents and the text encoded with it "
                              "should be cut the same way: encode with the --mode and "
                              "--no-hmm the model was trained with")
    cutting.add_argument("--no-hmm", action="store_true",
                         help="cut with the dictionary alone, without the HMM (see --mode)")
    cutting.add_argument("--threads", metavar="N", type=_positive_int,
                         help="cut on N threads (default: every core); the output is the "
                              "same for any N")

    # The encoder's own settings, for fit and for index without --encoder.
    # Their defaults are SparseEncoder()'s, filled in by _check_settings, so
    # that index can tell whether any was given.
    settings = _Parser(add_help=False)
    group = settings.add_argument_group(
        "encoder settings", "How the encoder makes and weighs its tokens (default: "
        "SparseEncoder()'s).")
    group.add_argument("--b", type=_ranged_float(0.0, 1.0),
                       help="length normalisation, 0 to 1 (default: 0.75)")
    group.add_argument("--k1", type=_ranged_float(0.0),
                       help="term-frequency saturation, 0 or more (default: 1.2)")
    group.add_argument("--keep-stop-words", action="store_true", default=None,
                       help="count stop words, white space and punctuation as tokens too")
    group.add_argument("--bigrams", type=_ranged_float(0.0), metavar="W",
                       help="weight of the field of CJK character bigrams in a query; 0 for "
                            "words alone (default: 2.0)")
    group.add_argument("--idf-kind", choices=("documents", "occurrences"),
                       help="idf of query weights: over the documents holding a token, or "
                            "over its occurrences as the model file counts them (default: "
                            "documents)")
    group.add_argument("--no-nfkc", action="store_true", default=None,
                       help="do not fold compatibility forms (full-width letters, ligatures)")
    group.add_argument("--no-casefold", action="store_true", default=None,
                       help="do not fold case")
    group.add_argument("--no-t2s", action="store_true", default=None,
                       help="do not fold traditional characters to simplified ones")

    parser = _Parser(
        prog=PROG,
        description="Chinese word segmentation and BM25 sparse vectors.",
        epilog="Run '%s COMMAND --help' for the options of a command." % PROG)
    parser.add_argument("--version", action="version", version="%s %s" % (PROG, razoduviva.__version__))
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")

    p = commands.add_parser(
        "cut", parents=[threads, data], help="cut text into words",
        description="Cut text into words: the TEXT arguments as one line, or else "
                    "standard input line by line, streaming. One output line per input "
                    "line (in input order, also with --threads), its words joined by SEP. "
                    "White-space words are left out unless --keep-space.")
    p.add_argument("text", nargs="*", metavar="TEXT", help="text to cut (default: standard input)")
    p.add_argument("--mode", choices=MODES,
                   help="default: the most probable words; search: those and the 2- and "
                        "3-character dictionary words inside longer ones; full: every "
                        "dictionary word in the text, overlapping ones too (default: default)")
    p.add_argument("--search", action="store_true", help="the same as --mode search")
    p.add_argument("--no-hmm", action="store_true",
                   help="cut with the dictionary alone, without the HMM for the characters "
                        "it does not know (full mode never uses the HMM: there --no-hmm "
                        "changes nothing)")
    p.add_argument("--tag", action="store_true",
                   help="print each word as WORD/TAG, with its part-of-speech tag "
                        "(default mode only)")
    p.add_argument("--offsets", action="store_true",
                   help="print each word as WORD[START:END] (WORD/TAG[START:END] with "
                        "--tag): its offsets in its line, in code points of the line as "
                        "read, so that line[START:END] is WORD; left-out white space "
                        "counts too")
    p.add_argument("--sep", default=" ", help="separator between words (default: a blank)")
    p.add_argument("--keep-space", action="store_true",
                   help="keep the white-space words (blank, tab) the segmenter returns")
    p.set_defaults(func=cmd_cut, check=_check_cut)

    p = commands.add_parser(
        "keywords", parents=[data], help="the keywords of each line, by TF-IDF",
        description="Print the keywords of text, highest TF-IDF weight first: of the TEXT "
                    "arguments as one line, or else of each line of standard input, "
                    "streaming, one output line per input line (an empty one when a line "
                    "has no keyword). Stop words and one-character words are not keywords.")
    p.add_argument("text", nargs="*", metavar="TEXT",
                   help="text to read (default: standard input)")
    p.add_argument("--top", type=_positive_int, default=20, metavar="N",
                   help="keywords per line, at most (default: %(default)s)")
    p.add_argument("--weights", action="store_true",
                   help="print each keyword as WORD:WEIGHT, the weight with 4 decimals")
    p.add_argument("--tags", type=_tag_set, metavar="TAG,...",
                   help="count only the words with one of these part-of-speech tags, "
                        "e.g. n,ns,v (default: all words)")
    p.add_argument("--sep", default=" ", help="separator between keywords (default: a blank)")
    p.set_defaults(func=cmd_keywords)

    p = commands.add_parser(
        "train", parents=[cutting, data], help="train a BM25 model on a corpus",
        description="Train a BM25 model on a corpus of one document per line (the FILEs "
                    "in order, or standard input) and write it as JSON. Lines are cut into "
                    "words (or split at white space with --pretokenized); a line that gives "
                    "no word (empty or blank) is skipped, as a model cannot count an empty "
                    "document. Shows progress on standard error when it is a terminal.")
    p.add_argument("files", nargs="*", metavar="FILE",
                   help="corpus files, '-' for standard input (default: standard input)")
    p.add_argument("-o", "--output", required=True, metavar="MODEL",
                   help="model file to write (written whole or not at all)")
    p.add_argument("--b", type=_ranged_float(0.0, 1.0), default=0.75,
                   help="length normalisation, 0 to 1 (default: %(default)s)")
    p.add_argument("--k1", type=_ranged_float(0.0), default=1.2,
                   help="term-frequency saturation, 0 or more (default: %(default)s)")
    p.add_argument("--pretokenized", action="store_true",
                   help="lines hold tokens separated by white space; no cutting (not "
                        "with --mode or --no-hmm)")
    p.set_defaults(func=cmd_train, check=_check_tokens)

    p = commands.add_parser(
        "fit", parents=[cutting, settings, data], help="fit a SparseEncoder on a corpus",
        description="Fit a razoduviva.SparseEncoder on a corpus of one document per line "
                    "(the FILEs in order, or standard input) and write its file, which "
                    "SparseEncoder.load and 'encode' read: the tokens are the encoder's "
                    "(folded text; words less stop words, white space and punctuation; "
                    "CJK bigrams), and the file keeps the settings. Shows progress on "
                    "standard error when it is a terminal.")
    p.add_argument("files", nargs="*", metavar="FILE",
                   help="corpus files, '-' for standard input (default: standard input)")
    p.add_argument("-o", "--output", required=True, metavar="ENCODER",
                   help="encoder file to write (written whole or not at all)")
    p.set_defaults(func=cmd_fit, check=_check_fit)

    p = commands.add_parser(
        "encode", parents=[cutting, data], help="encode text with a model or an encoder, as JSON",
        description="Encode text as a sparse vector, a JSON object: from token to weight, "
                    "in ascending order, or with --format indices the hashed ids of the "
                    "tokens and their weights. MODEL is an encoder file (written by 'fit' "
                    "or SparseEncoder.save), whose own settings cut the text, so that the "
                    "vectors are the encoder's encode_documents and encode_queries; or a "
                    "model file written by 'train', with the words 'train' counts (white "
                    "space left out, cut with --mode and --no-hmm). The TEXT arguments give "
                    "one vector; else each line of standard input gives one, one per line, "
                    "streaming.")
    p.add_argument("model", metavar="MODEL",
                   help="encoder file written by 'fit', or model file written by 'train'")
    p.add_argument("text", nargs="*", metavar="TEXT", help="text to encode (default: standard input)")
    p.add_argument("--query", action="store_true",
                   help="the query vector (idf weights summing to 1) instead of the "
                        "document vector")
    p.add_argument("--pretokenized", action="store_true",
                   help="the text holds tokens separated by white space; no cutting (not "
                        "with --mode, --no-hmm or --format indices)")
    p.add_argument("--format", choices=FORMATS, default="dict",
                   help="dict: {token: weight, ...}; indices: {\"indices\": [...], "
                        "\"values\": [...]}, each token's id the 32-bit MurmurHash3 of its "
                        "UTF-8 bytes (seed 0, unsigned), ids ascending, tokens of one id "
                        "adding their weights (default: dict)")
    p.set_defaults(func=cmd_encode, check=_check_tokens)

    p = commands.add_parser(
        "index", parents=[cutting, settings, data], help="index a corpus for search",
        description="Index a corpus of one document per line (the FILEs in order, or "
                    "standard input) for 'search' and razoduviva.Index.load: fit an encoder "
                    "on it (or take one with --encoder) and add every line that is not "
                    "blank, its id the line's number in the input (from 1) or, with --ids, "
                    "the number before a tab. The lines are kept beside the index, in "
                    "INDEX.lines, for 'search' to show. Shows progress on standard error "
                    "when it is a terminal.")
    p.add_argument("files", nargs="*", metavar="FILE",
                   help="corpus files, '-' for standard input (default: standard input)")
    p.add_argument("-o", "--output", required=True, metavar="INDEX",
                   help="index file to write (written whole or not at all)")
    p.add_argument("--encoder", metavar="ENCODER",
                   help="an encoder file (written by 'fit'), whose statistics weigh the "
                        "documents, instead of fitting one on the corpus")
    p.add_argument("--ids", action="store_true",
                   help="each line is ID<TAB>TEXT, ID a whole number (64-bit)")
    p.add_argument("--no-lines", action="store_true",
                   help="do not keep the lines beside the index ('search' then shows ids "
                        "and scores only)")
    p.set_defaults(func=cmd_index, check=_check_index)

    p = commands.add_parser(
        "search", parents=[data], help="search an index",
        description="Search an index written by 'index' or razoduviva.Index.save: the "
                    "TEXT arguments as one query, or else each line of standard input as a "
                    "query, streaming. Each hit is a line ID<TAB>SCORE<TAB>LINE, best first "
                    "(LINE when the index has its lines file); with queries from standard "
                    "input an empty line ends each query's hits. The score is the dot "
                    "product of the query's and the document's vectors.")
    p.add_argument("index", metavar="INDEX", help="index file")
    p.add_argument("text", nargs="*", metavar="TEXT", help="query text (default: standard input)")
    p.add_argument("-k", "--top", type=_positive_int, default=10, metavar="N",
                   help="hits per query, at most (default: %(default)s)")
    p.add_argument("--json", action="store_true",
                   help='one JSON object per query: {"query": ..., "hits": [{"id": ..., '
                        '"score": ..., "line": ...}, ...]} ("line" null without the lines '
                        'file)')
    p.add_argument("--threads", metavar="N", type=_positive_int,
                   help="search on N threads (default: every core)")
    p.set_defaults(func=cmd_search)

    p = commands.add_parser(
        "demo", parents=[data], help="the whole job on a bundled sample",
        description="Cut a bundled sample of treebank sentences, train a BM25 model on "
                    "them, encode a query and print the best-matching sentences by the dot "
                    "product of the sparse vectors.")
    p.add_argument("--query", default=DEMO_QUERY, help="query text (default: %(default)s)")
    p.add_argument("--top", type=_positive_int, default=5, metavar="N",
                   help="matches to show (default: %(default)s)")
    p.set_defaults(func=cmd_demo)
    return parser, commands.choices


def _silence_stdout():
    # Nothing more can reach a closed pipe; point the descriptor at /dev/null
    # so that the flush at exit does not complain.
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError, AttributeError):
        pass


def main(argv=None):
    parser, commands = build_parser()
    argv = sys.argv[1:] if argv is None else list(argv)
    if argv and argv[0] in commands:
        # Options may come between the arguments ("encode MODEL --query TEXT").
        args = commands[argv[0]].parse_intermixed_args(argv[1:])
    else:
        args = parser.parse_args(argv)
        parser.error("choose a command: %s" % ", ".join(commands))
    check = getattr(args, "check", None)
    problem = check(args) if check else None
    if problem:
        commands[argv[0]].error(problem)
    try:
        with _NATIVE_LOG.routed():
            return args.func(args)
    except CliError as e:
        sys.stderr.write("%s: error: %s\n" % (PROG, e))
        return EXIT_FAILURE
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        _silence_stdout()
        return EXIT_BROKEN_PIPE
    except MemoryError:
        sys.stderr.write("%s: error: out of memory\n" % PROG)
        return EXIT_FAILURE
    except OSError as e:
        sys.stderr.write("%s: error: %s\n" % (PROG, e.strerror or e))
        return EXIT_FAILURE
    except Exception as e:  # a fault of this program: still one line
        sys.stderr.write("%s: error: internal error: %s: %s\n" % (PROG, type(e).__name__, e))
        return EXIT_FAILURE
