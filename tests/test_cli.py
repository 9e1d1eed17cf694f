"""The command line, run as `python -m razoduviva` in a subprocess, checked
against the same work done in this process with the module."""

import contextlib
import json
import logging
import os
import re
import signal
import subprocess
import sys
import threading

import pytest

import razoduviva
import razoduviva.cli
import razoduviva.data

ENV = dict(os.environ, PYTHONIOENCODING="utf-8")


def run(*args, stdin=None, cwd=None):
    """The finished process; stdin, stdout and stderr as str."""
    return subprocess.run([sys.executable, "-m", "razoduviva", *map(str, args)],
                          input=stdin, capture_output=True, encoding="utf-8",
                          env=ENV, cwd=cwd, timeout=300)


def ok(*args, stdin=None, cwd=None):
    done = run(*args, stdin=stdin, cwd=cwd)
    assert done.returncode == 0, done.stderr
    assert "Traceback" not in done.stderr
    return done.stdout


@pytest.fixture(scope="module")
def jieba():
    return razoduviva.Jieba(**razoduviva.data.paths())


@pytest.fixture(scope="module")
def sample():
    with open(razoduviva.data.SAMPLE_PATH, encoding="utf-8") as f:
        lines = f.read().split("\n")
    assert lines[-1] == "" and all(lines[:-1])
    return lines[:-1]


def words(cut, line):
    return [w for w in cut(line) if not w.isspace()]


# ---------------------------------------------------------------------------
# Help

@pytest.mark.parametrize("command, expect", [
    ([], ["cut", "keywords", "train", "fit", "encode", "index", "search", "demo"]),
    (["cut"], ["--search", "--sep", "--threads", "--dict", "--hmm", "--user-dict",
               "--idf", "--stop-words", "--keep-space", "--mode", "--no-hmm", "--tag",
               "--offsets"]),
    (["keywords"], ["--top", "--weights", "--tags", "--sep", "--dict", "--idf",
                    "--stop-words"]),
    (["train"], ["--output", "--b", "--k1", "--pretokenized", "--threads", "skipped", "--mode",
                 "--no-hmm"]),
    (["encode"], ["MODEL", "--query", "--pretokenized", "--format", "--mode", "--no-hmm",
                  "--threads"]),
    (["index"], ["--output", "--encoder", "--ids", "--no-lines", "--bigrams", "--mode"]),
    (["search"], ["INDEX", "--top", "--json", "--threads"]),
    (["demo"], ["--query", "--top"]),
])
def test_help_lists_the_options(command, expect):
    out = ok(*command, "--help")
    assert out.startswith("usage: " + " ".join(["razoduviva"] + command))
    for option in expect:
        assert option in out


def test_console_script():
    script = os.path.join(os.path.dirname(sys.executable), "razoduviva")
    if not os.path.exists(script):
        pytest.skip("no razoduviva script beside the interpreter")
    done = subprocess.run([script, "cut", "今天天气不错"], capture_output=True,
                          encoding="utf-8", env=ENV, timeout=300)
    assert (done.returncode, done.stdout, done.stderr) == (0, "今天 天气 不错\n", "")


# ---------------------------------------------------------------------------
# cut

def test_cut_arguments_are_one_line(jieba):
    assert ok("cut", "我们在北京学习中文。") == "我们 在 北京 学习 中文 。\n"
    text = "他喜欢喝咖啡 and tea"
    assert ok("cut", "--sep", "/", *text.split(" ")) == "/".join(words(jieba.cut, text)) + "\n"


def test_arguments_that_are_not_utf8_read_as_replacement_characters():
    # Bytes arguments reach Python as lone surrogates; they are read as
    # U+FFFD, as bad bytes of the input are.
    argv = [sys.executable, "-m", "razoduviva"]
    for command in (["cut"], ["keywords"]):
        done = subprocess.run(argv + command + [b"\xff\xe5\x8c\x97\xe4\xba\xac"],
                              capture_output=True, env=ENV, timeout=300)
        assert done.returncode == 0, done.stderr
        assert "\ufffd".encode() in done.stdout or command == ["keywords"]
        assert b"internal error" not in done.stderr


def test_cut_standard_input_line_by_line(jieba, sample):
    # empty lines, CRLF, blanks and tabs, and a last line without a line end
    lines = sample[:50] + ["", "hello world 你好", "\t今天天气不错  ", ""] + sample[50:60]
    stdin = "\n".join(lines[:52]) + "\r\n" + "\n".join(lines[52:])
    expected = [" ".join(words(jieba.cut, line)) for line in lines]
    assert ok("cut", stdin=stdin).split("\n") == expected + [""]


def test_cut_keep_space_keeps_white_space_words(jieba):
    line = "我爱 北京\t天安门"
    out = ok("cut", "--keep-space", "--sep", "|", stdin=line + "\n")
    assert out == "|".join(jieba.cut(line)) + "\n"
    assert "| |" in out and "|\t|" in out


def test_cut_search_mode(jieba, sample):
    lines = sample[:40]
    expected = ["/".join(words(jieba.cut_for_search, line)) for line in lines]
    assert expected != ["/".join(words(jieba.cut, line)) for line in lines]
    assert ok("cut", "--search", "--sep", "/", stdin="\n".join(lines)).split("\n") == \
        expected + [""]


@pytest.mark.parametrize("threads", [2, 3])
def test_cut_threads_keep_the_input_order(jieba, sample, threads):
    # Several blocks of input, each line numbered, so a block out of place shows.
    lines = ["%d %s" % (i, sample[i % len(sample)]) for i in range(4000)]
    stdin = "\n".join(lines) + "\n"
    assert len(stdin.encode()) > 4 * 65536
    one = ok("cut", stdin=stdin)
    assert one.split("\n")[:-1] == [" ".join(words(jieba.cut, line)) for line in lines]
    assert ok("cut", "--threads", threads, stdin=stdin) == one
    assert ok("cut", "--search", "--threads", threads, stdin=stdin) == \
        ok("cut", "--search", stdin=stdin)


def test_cut_a_line_longer_than_a_block(jieba, sample):
    line = "".join(sample) * 7
    assert len(line.encode()) > 3 * 65536
    stdin = "短句\n" + line + "\n最后一句"
    out = ok("cut", "--threads", "2", stdin=stdin).split("\n")
    assert out == ["短句", " ".join(words(jieba.cut, line)), "最后 一句", ""]


# Lines that try the line splitting of a block: empty lines, white space at
# either end or other than blanks, and words that full and search mode add
# inside others.
ODD_LINES = ["", "\t今天  天气 不错 ", "", "二氧化碳和北京大学", "中\x0b文\u3000", "hello world 你好"]

CUT_OPTIONS = [  # (options, the output words of a line, from the module)
    (["--mode", "search"], lambda j, s: j.cut_for_search(s)),
    (["--no-hmm"], lambda j, s: j.cut(s, hmm=False)),
    (["--mode", "full", "--no-hmm"], lambda j, s: j.cut_full(s)),
    (["--tag", "--no-hmm"], lambda j, s: ["%s/%s" % p for p in j.tag(s, hmm=False)]),
    (["--mode", "full", "--offsets", "--keep-space"],
     lambda j, s: ["%s[%d:%d]" % t for t in j.tokenize(s, mode="full")]),
    (["--search", "--offsets", "--no-hmm"],
     lambda j, s: ["%s[%d:%d]" % t for t in j.tokenize(s, mode="search", hmm=False)]),
    (["--tag", "--offsets"], lambda j, s: ["%s/%s[%d:%d]" % (w, tag, a, b) for (w, a, b), (_, tag)
                                           in zip(j.tokenize(s), j.tag(s))]),
]


@pytest.mark.parametrize("options, expect", CUT_OPTIONS, ids=[" ".join(o) for o, _ in CUT_OPTIONS])
def test_cut_options_give_the_modules_words_line_by_line(jieba, sample, options, expect):
    # Several blocks cut on two threads give the words of each line cut alone;
    # white-space words (whose output starts with them) only with --keep-space.
    lines = [sample[i % len(sample)] if i % 50 else ODD_LINES[i // 50 % 6] for i in range(2400)]
    stdin = "\n".join(lines) + "\n"
    assert len(stdin.encode()) > 3 * 65536
    expected = ["|".join(w for w in expect(jieba, line) if "--keep-space" in options
                         or not w[0].isspace()) for line in lines]
    assert ok("cut", "--threads", "2", "--sep", "|", *options, stdin=stdin).split("\n") == \
        expected + [""]
    assert ok("cut", "--sep", "|", *options, *ODD_LINES[1].split(" ")) == expected[50] + "\n"


def test_cut_offsets_slice_the_line_as_read(sample):
    lines = sample[:30] + ODD_LINES
    out = ok("cut", "--mode", "full", "--offsets", "--sep", "|", "--keep-space",
             stdin="\r\n".join(lines)).split("\n")
    for line, words in zip(lines, out):
        spans = [re.fullmatch(r"(.*)\[(\d+):(\d+)\]", w, re.S).groups()
                 for w in words.split("|") if words]
        assert all(line[int(s):int(e)] == w for w, s, e in spans)
        # every code point of the line is in some word
        assert set().union(*(range(int(s), int(e)) for _, s, e in spans)) == set(range(len(line)))
    # Left-out blanks still count; so do bytes that are not UTF-8, as the
    # U+FFFD read in their place.
    done = subprocess.run([sys.executable, "-m", "razoduviva", "cut", "--offsets", "--tag"],
                          input=b"\xff " + "北京\r\n".encode(),
                          capture_output=True, env=ENV, timeout=300)
    assert (done.returncode, done.stdout.decode(), done.stderr) == (0, "\ufffd/x[0:1] 北京/ns[2:4]\n", b"")


# ---------------------------------------------------------------------------
# keywords

def test_keywords_worked_example():
    # 北京 大学 的 学生 在 北京 学习: 的 and 在 are stop words, so five words
    # count; 北京 twice at its idf, the others, missing from the idf table,
    # once at the table's average idf; equal weights in order of the word.
    with open(razoduviva.data.paths()["idf_path"], encoding="utf-8") as f:
        idf = dict(line.split() for line in f)
    assert "大学" not in idf and "学习" not in idf and "学生" not in idf
    average = sum(map(float, idf.values())) / len(idf)
    expected = [("大学", average / 5), ("学习", average / 5), ("学生", average / 5),
                ("北京", 2 * float(idf["北京"]) / 5)]
    text = "北京大学的学生在北京学习"
    assert ok("keywords", "--weights", text) == " ".join("%s:%.4f" % kw for kw in expected) + "\n"
    assert ok("keywords", "--top", "2", "--sep", ",", text) == "大学,学习\n"
    assert ok("keywords", "--tags", "ns, v", "北京大学的学生", "在北京学习") == "学习 北京\n"


def test_keywords_standard_input_line_by_line(jieba, sample):
    lines = sample[:40] + ["", "  的 在 了", "今天北京天气不错"]
    out = ok("keywords", "--top", "3", "--tags", "n,v", "--weights", stdin="\r\n".join(lines))
    expected = [" ".join("%s:%.4f" % kw for kw in jieba.keywords(line, 3, with_weights=True,
                                                                    tags={"n", "v"}))
                for line in lines]
    assert out.split("\n") == expected + [""]
    assert expected[40] == expected[41] == "" and sum(map(bool, expected)) > 30


@pytest.mark.parametrize("args, lines", [
    (["cut", "--threads", "2", "--tag", "--offsets"],
     [("今天天气不错", "今天/n[0:2] 天气/n[2:4] 不错/a[4:6]"), ("", ""), ("北京", "北京/ns[0:2]")]),
    (["keywords", "--weights"], [("北京天气", "天气:7.2820 北京:3.2394"), ("", "")]),
])
def test_new_options_stream_each_line_before_the_input_ends(args, lines):
    with spawn(*args) as proc:
        for line, expected in lines:
            proc.stdin.write((line + "\n").encode())
            proc.stdin.flush()
            assert proc.stdout.readline().decode() == expected + "\n"
        proc.stdin.close()
        assert proc.stdout.read() == b"" and proc.wait() == 0 and proc.stderr.read() == b""


@contextlib.contextmanager
def spawn(*args):
    """A running `python -m razoduviva ...` with pipes, killed after two
    minutes so that a hang fails the test instead of stopping the run."""
    proc = subprocess.Popen([sys.executable, "-m", "razoduviva", *args],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=ENV)
    watchdog = threading.Timer(120, proc.kill)
    watchdog.start()
    try:
        yield proc
    finally:
        watchdog.cancel()
        proc.kill()
        proc.wait()
        for pipe in (proc.stdin, proc.stdout, proc.stderr):
            try:
                pipe.close()
            except (BrokenPipeError, ValueError):
                pass


@pytest.mark.parametrize("threads", ["1", "2"])
def test_cut_streams_each_line_before_the_input_ends(threads):
    with spawn("cut", "--threads", threads) as proc:
        for line, expected in (("今天天气不错", "今天 天气 不错"), ("他喜欢喝咖啡", "他 喜欢 喝 咖啡")):
            proc.stdin.write((line + "\n").encode())
            proc.stdin.flush()
            # the input is still open: the answer must come all the same
            assert proc.stdout.readline().decode() == expected + "\n"
        proc.stdin.close()
        assert proc.stdout.read() == b""
        assert proc.wait() == 0
        assert proc.stderr.read() == b""


def test_cut_reads_bytes_that_are_not_utf8_as_replacement_characters():
    done = subprocess.run([sys.executable, "-m", "razoduviva", "cut"],
                          input=b"\xff\xfe\n\xe4\xbd\xa0\xe5\xa5\xbd\n", capture_output=True,
                          env=ENV, timeout=300)
    assert done.returncode == 0 and done.stderr == b""
    out = done.stdout.decode("utf-8").split("\n")
    assert len(out) == 3 and out[2] == "" and "\ufffd" in out[0] and out[1].replace(" ", "") == "你好"


def test_cut_data_paths_can_be_given(tmp_path):
    user = tmp_path / "user.dict"
    user.write_text("天安门广场 100 ns\n", encoding="utf-8")
    text = "我们去天安门广场"
    assert "天安门广场" not in ok("cut", text).split()
    assert "天安门广场" in ok("cut", "--user-dict", user, text).split()
    paths = razoduviva.data.paths()
    assert ok("cut", "--dict", paths["dict_path"], "--hmm", paths["hmm_path"],
              "--idf", paths["idf_path"], "--stop-words", paths["stop_word_path"],
              text) == ok("cut", text)


# ---------------------------------------------------------------------------
# train and encode

def model_text(path):
    with open(path, "rb") as f:
        return f.read()


def trained(documents, tmp_path, name, **options):
    model = razoduviva.BM25(**options)
    for doc in documents:
        model.train(doc)
    path = tmp_path / name
    model.dump(str(path))
    return model_text(path)


def test_train_is_the_model_of_the_cut_lines(jieba, sample, tmp_path):
    corpus = tmp_path / "corpus.txt"
    corpus.write_text("\n".join(sample[:100]) + "\n\n  \n" + "\n".join(sample[100:]) + "\n",
                      encoding="utf-8")
    expected = trained([words(jieba.cut, s) for s in sample], tmp_path, "expected.json")
    out = tmp_path / "model.json"
    assert ok("train", corpus, "-o", out) == ""
    assert model_text(out) == expected
    # standard input, threads, and files given in parts give the same model
    ok("train", "--threads", "2", "-o", tmp_path / "threads.json", stdin=corpus.read_text("utf-8"))
    assert model_text(tmp_path / "threads.json") == expected
    first, second = tmp_path / "a.txt", tmp_path / "b.txt"
    first.write_text("\n".join(sample[:7]), encoding="utf-8")  # no line end at the end
    second.write_text("\n".join(sample[7:]) + "\n", encoding="utf-8")
    ok("train", first, "-", "-o", tmp_path / "parts.json", stdin=second.read_text("utf-8"))
    assert model_text(tmp_path / "parts.json") == expected


def test_train_shows_progress_only_on_a_terminal(sample, tmp_path):
    pty = pytest.importorskip("pty")
    corpus = tmp_path / "corpus.txt"
    corpus.write_text("\n".join(sample) + "\n\n", encoding="utf-8")
    done = run("train", corpus, "-o", tmp_path / "quiet.json")
    assert done.returncode == 0 and done.stderr == ""

    main, side = pty.openpty()
    proc = subprocess.Popen([sys.executable, "-m", "razoduviva", "train", corpus,
                             "-o", tmp_path / "m.json"], stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=side, env=ENV)
    os.close(side)
    shown = b""
    while True:
        try:
            data = os.read(main, 4096)
        except OSError:  # the terminal closes with the process
            break
        if not data:
            break
        shown += data
    os.close(main)
    assert proc.wait(timeout=120) == 0
    lines = shown.decode("utf-8").replace("\r\n", "\n").split("\n")
    assert "100%" in lines[0] and "%d documents" % len(sample) in lines[0]
    assert lines[1] == ("razoduviva: model of %d documents written to %s; empty lines skipped: 1"
                        % (len(sample), tmp_path / "m.json"))
    assert model_text(tmp_path / "m.json") == model_text(tmp_path / "quiet.json")


def test_train_options(tmp_path):
    corpus = "a b a\n\n \t \nb c\n"
    expected = trained([["a", "b", "a"], ["b", "c"]], tmp_path, "e.json", b=0.5, k1=2.0)
    ok("train", "--pretokenized", "--b", "0.5", "--k1", "2", "-o", tmp_path / "m.json",
       stdin=corpus)
    assert model_text(tmp_path / "m.json") == expected
    model = json.loads(expected)
    assert (model["_b"], model["_k1"], model["_doc_count"]) == (0.5, 2.0, 2)


@pytest.fixture(scope="module")
def model_path(jieba, sample, tmp_path_factory):
    path = tmp_path_factory.mktemp("model") / "model.json"
    ok("train", razoduviva.data.SAMPLE_PATH, "-o", path)
    return path


def loaded(path):
    model = razoduviva.BM25()
    with open(path, encoding="utf-8") as f:
        model.load(f.read())
    return model


def test_encode_gives_the_vectors_as_json(jieba, model_path):
    model = loaded(model_path)
    text = "英国的大学"
    tokens = words(jieba.cut, text)
    out = ok("encode", model_path, text)
    assert json.loads(out) == model.encode_document(tokens)
    assert "英国" in out  # kept as it is, not as a \u escape
    assert list(json.loads(out)) == sorted(tokens)
    query = ok("encode", model_path, "--query", text)
    assert json.loads(query) == model.encode_query(tokens)
    assert abs(sum(json.loads(query).values()) - 1) < 1e-12


def test_encode_standard_input_gives_one_vector_per_line(jieba, sample, model_path):
    model = loaded(model_path)
    lines = sample[:20] + [""] + sample[20:30]
    out = ok("encode", "--query", model_path, stdin="\n".join(lines) + "\n").split("\n")
    assert out[-1] == ""
    assert [json.loads(x) for x in out[:-1]] == \
        [model.encode_query(words(jieba.cut, line)) for line in lines]
    assert out[20] == "{}"


def test_encode_pretokenized(tmp_path):
    ok("train", "--pretokenized", "-o", tmp_path / "m.json", stdin="a b a\nb c\n")
    model = loaded(tmp_path / "m.json")
    assert json.loads(ok("encode", tmp_path / "m.json", "--pretokenized", "a", "a  c")) == \
        model.encode_document(["a", "a", "c"])
    out = ok("encode", tmp_path / "m.json", "--pretokenized", stdin="c\n\na d a\n")
    assert [json.loads(x) for x in out.split("\n")[:-1]] == \
        [model.encode_document(["c"]), {}, model.encode_document(["a", "d", "a"])]


def test_encode_passes_the_parser_complaints_of_a_loaded_model_on(tmp_path):
    path = tmp_path / "m.json"
    path.write_text('{"_b": 0.75, "_doc_count": 2, "_doc_length_average": 1.5, '
                    '"_doc_token_frequency": {"a": 1}, "_k1": 1.2, "note": tru}')
    done = run("encode", path, "--pretokenized", "a")
    assert done.returncode == 0
    assert json.loads(done.stdout) == {"a": pytest.approx(1 / (1.2 * (0.75 / 1.5 + 0.25) + 1))}
    assert "ERROR" in done.stderr and "true" in done.stderr


# Input that tries the reading of lines: CRLF, empty and white-space lines,
# bytes that are not UTF-8, a line longer than a block, no line end at the end.
ODD_INPUT = b"\n".join(["\r\n".join(ODD_LINES).encode(), b"\xff\xfe\xe4\xbd \xe4\xbd\xa0\xe5\xa5\xbd",
                        " \u3000\x1c\u2028\r".encode(), b"\x00nul", "".join(ODD_LINES * 9000).encode(),
                        "最后一行".encode()])

# (options, their mode and HMM setting, the module's cut with them)
ENCODER_CUTS = [
    ([], "default", True, lambda j, s: j.cut(s)),
    (["--mode", "search"], "search", True, lambda j, s: j.cut_for_search(s)),
    (["--no-hmm"], "default", False, lambda j, s: j.cut(s, hmm=False)),
    (["--mode", "full"], "full", True, lambda j, s: j.cut_full(s)),
]


def read_lines(data):
    return data.decode("utf-8", "replace").replace("\r\n", "\n").split("\n")


@pytest.mark.parametrize("options, mode, hmm, cut", ENCODER_CUTS,
                         ids=[" ".join(c[0]) or "default" for c in ENCODER_CUTS])
def test_train_and_encode_cut_as_the_module_does_on_any_threads(jieba, sample, tmp_path, options,
                                                                mode, hmm, cut):
    data = "\n".join(sample).encode() + b"\r\n" + ODD_INPUT
    lines = read_lines(data)
    assert len(data) > 3 * 65536
    (tmp_path / "corpus.txt").write_bytes(data)
    documents = [words(lambda s: cut(jieba, s), line) for line in lines]
    expected = trained([d for d in documents if d], tmp_path, "expected.json", b=0.5, k1=1.5)
    default = trained([d for d in (words(jieba.cut, line) for line in lines) if d], tmp_path,
                      "default.json", b=0.5, k1=1.5)
    assert (expected != default) == bool(options)
    for threads in ("1", "2"):
        ok("train", "corpus.txt", "-o", "m.json", "--b", "0.5", "--k1", "1.5", "--threads", threads,
           *options, cwd=tmp_path)
        assert model_text(tmp_path / "m.json") == expected

    model = loaded(tmp_path / "m.json")
    encoder = razoduviva.SparseEncoder.from_model(model, jieba, mode=mode, hmm=hmm, stop_words=False,
                                                  keep_space=False, bigrams=0, idf="occurrences",
                                                  nfkc=False, casefold=False, t2s=False, threads=1)
    for kind, encode in (("document", model.encode_document), ("query", model.encode_query)):
        query = ["--query"] if kind == "query" else []
        dicts = "".join(json.dumps(encode(d), ensure_ascii=False) + "\n" for d in documents)
        indices = (encoder.encode_queries if query else encoder.encode_documents)(lines)
        for threads in ("1", "2"):
            args = ("encode", "m.json", "--threads", threads, *query, *options)
            assert ok(*args, stdin=data.decode("utf-8", "replace"), cwd=tmp_path) == dicts
            out = ok(*args, "--format", "indices", stdin="\n".join(lines), cwd=tmp_path)
            assert [json.loads(x) for x in out.split("\n")[:-1]] == indices
        assert ok("encode", "m.json", *query, *options, *sample[1].split(" "), cwd=tmp_path) == \
            dicts.split("\n")[1] + "\n"


def test_encode_batches_keep_the_order_and_streams(jieba, model_path):
    model = loaded(model_path)
    lines = ["%d %s" % (i, ODD_LINES[i % 6] + ODD_LINES[i % 5]) for i in range(20000)]
    stdin = "\n".join(lines) + "\n"
    # batches of several blocks on every core
    assert len(stdin.encode()) > 1.5 * razoduviva.cli.ENCODE_BATCH * os.cpu_count()
    assert ok("encode", model_path, stdin=stdin).split("\n")[:-1] == \
        [json.dumps(model.encode_document(words(jieba.cut, line)), ensure_ascii=False)
         for line in lines]
    with spawn("encode", model_path, "--format", "indices") as proc:
        for line in ("今天天气不错", "", "北京"):
            proc.stdin.write((line + "\n").encode())
            proc.stdin.flush()
            vector = json.loads(proc.stdout.readline())  # before the input ends
            assert len(vector["indices"]) == len(words(jieba.cut, line))
        proc.stdin.close()
        assert proc.stdout.read() == b"" and proc.wait() == 0 and proc.stderr.read() == b""


# ---------------------------------------------------------------------------
# index and search

def test_index_and_search_give_the_index_of_the_module(sample, tmp_path):
    corpus = tmp_path / "corpus.txt"
    corpus.write_text("\n".join(sample[:100]) + "\n\n" + "\n".join(sample[100:]) + "\n",
                      encoding="utf-8")
    ok("index", corpus, "-o", tmp_path / "idx")
    # The same work in this process: ids are line numbers from 1, the blank
    # line 101 has none.
    encoder = razoduviva.SparseEncoder().fit(sample)
    index = razoduviva.Index(encoder)
    index.add(sample, list(range(1, 101)) + list(range(102, len(sample) + 2)))
    line_of = dict(zip(range(1, 101), sample[:100]))
    line_of.update(zip(range(102, len(sample) + 2), sample[100:]))

    hits = [line.split("\t") for line in ok("search", tmp_path / "idx", "哈佛大学").splitlines()]
    assert [(int(i), float(s)) for i, s, _ in hits] == [
        (i, pytest.approx(s, abs=1e-4)) for i, s in index.search("哈佛大学")]
    assert all(line == line_of[int(i)] for i, _, line in hits)

    # Queries from standard input: each query's hits, then an empty line.
    queries = ["北京的大学", "的", sample[3]]
    out = ok("search", tmp_path / "idx", "-k", "3", stdin="\n".join(queries) + "\n")
    blocks = out.split("\n\n")
    assert len(blocks) == 4 and blocks[3] == ""
    for query, block in zip(queries, blocks):
        assert [int(line.split("\t")[0]) for line in block.splitlines()] == [
            i for i, _ in index.search(query, k=3)]
    out = ok("search", tmp_path / "idx", "--json", stdin="\n".join(queries))
    objects = [json.loads(line) for line in out.splitlines()]
    assert [o["query"] for o in objects] == queries
    assert objects[2]["hits"][0] == {"id": 4, "score": pytest.approx(index.search(sample[3])[0][1]),
                                     "line": sample[3]}


def test_index_ids_encoders_and_standard_input(sample, tmp_path):
    lines = ["%d\t%s" % (-5 * k, text) for k, text in enumerate(sample[:50])]
    ok("fit", "-o", tmp_path / "enc.json", "--bigrams", "0", stdin="\n".join(sample))
    ok("index", "--ids", "--encoder", tmp_path / "enc.json", "-o", tmp_path / "idx", "--no-lines",
       stdin="\n".join(lines))
    assert not (tmp_path / "idx.lines").exists()
    index = razoduviva.Index.load(str(tmp_path / "idx"))
    assert index.encoder.bigrams == 0 and index.encoder.doc_count == len(sample)
    assert len(index) == 50 and -245 in index
    out = ok("search", tmp_path / "idx", sample[7])
    assert out.splitlines()[0].split("\t") == ["-35", top_score(index, sample[7])]
    # Fitted on standard input, which is read twice.
    ok("index", "-o", tmp_path / "idx2", stdin="\n".join(sample[:50]))
    assert len(razoduviva.Index.load(str(tmp_path / "idx2"))) == 50


def top_score(index, query):
    return "%.4f" % index.search(query)[0][1]


@pytest.mark.parametrize("args, stdin, status, message", [
    (["index", "--encoder", "E", "--bigrams", "1", "-o", "I"], "", 2, "--encoder holds its own"),
    (["index", "--ids", "-o", "{tmp}/i"], "1\ta\nb\n", 1, "line 2: no id"),
    (["index", "--ids", "-o", "{tmp}/i"], "x\ta\n", 1, "line 1: the id 'x' is not"),
    (["index", "--ids", "-o", "{tmp}/i"], "1\t北京\n1\t上海\n", 1, "1"),
    (["index", "-o", "{tmp}/i"], "\n \n", 1, "no documents to index"),
    (["index", "-o", "{tmp}/no/i"], "北京\n", 1, "no folder"),
    (["search", "{tmp}/missing", "北京"], "", 1, "cannot read index"),
    (["search", "{tmp}/bad", "北京"], "", 1, "cannot load the index"),
])
def test_index_and_search_failures(tmp_path, args, stdin, status, message):
    (tmp_path / "bad").write_bytes(b"RZDVINDX" + bytes(200))
    done = run(*[a.replace("{tmp}", str(tmp_path)) for a in args], stdin=stdin)
    assert done.returncode == status and message in done.stderr
    assert "Traceback" not in done.stderr
    assert status == 2 or done.stderr.count("\n") == 1
    assert not list(tmp_path.glob("*.tmp"))  # no half-written lines file stays behind


# ---------------------------------------------------------------------------
# demo

def test_demo(sample):
    out = ok("demo")
    assert "%d sentences" % len(sample) in out
    assert "Best matches" in out
    matches = out.split("Best matches")[1].strip().split("\n")[1:6]
    scores = [float(m.split()[0]) for m in matches]
    assert len(scores) == 5 and scores == sorted(scores, reverse=True) and scores[-1] > 0
    assert all(m.split(None, 1)[1] in sample for m in matches)


def test_demo_query_finds_its_sentence(sample):
    target = next(s for s in sample if "哈佛大学" in s)
    out = ok("demo", "--query", "哈佛大学", "--top", "2")
    matches = out.split("Best matches")[1].strip().split("\n")[1:]
    assert matches[0].split(None, 1)[1] == target
    assert not matches[2].strip()  # --top 2


# ---------------------------------------------------------------------------
# Failures: one line on standard error, a non-zero exit, no traceback

def bad_files(tmp_path):
    files = {
        "bad.dict": "一行 不对\n",
        "bad.json": '{"_b": 0.75, "_doc_count": ',
        "empty.json": "",
        "other.json": '{"a": [1, 2, 3]}',
        "blank.txt": "\n \n\t\n\u3000\x0b\r\n\x1c\u2028",
        "warn.json": '{"_b": 0.75, tru',
    }
    for name, text in files.items():
        (tmp_path / name).write_text(text, encoding="utf-8")
    (tmp_path / "folder").mkdir()
    return tmp_path


FAILURES = [
    # (arguments, standard input, exit status, words of the message)
    (["cut", "--dict", "missing.dict", "x"], None, 1, ["missing.dict", "No such file"]),
    (["cut", "--hmm", "folder", "x"], None, 1, ["folder", "directory"]),
    (["cut", "--dict", "bad.dict", "x"], None, 1, ["bad.dict:1"]),
    (["cut", "--user-dict", "missing.dict", "x"], None, 1, ["missing.dict"]),
    (["encode", "bad.json", "x"], None, 1, ["bad.json", "not a BM25 model"]),
    (["encode", "warn.json", "x"], None, 1, ["warn.json", "not a BM25 model"]),
    (["encode", "empty.json", "x"], None, 1, ["empty.json", "not a BM25 model"]),
    (["encode", "other.json", "x"], None, 1, ["other.json", "not a BM25 model"]),
    (["encode", "missing.json", "x"], None, 1, ["missing.json", "No such file"]),
    (["encode", "folder", "x"], None, 1, ["folder", "directory"]),
    (["train", "missing.txt", "-o", "m.json"], None, 1, ["missing.txt", "No such file"]),
    (["train", "folder", "-o", "m.json"], None, 1, ["folder", "directory"]),
    (["train", "blank.txt", "-o", "m.json"], None, 1, ["no documents"]),
    (["train", "-o", "m.json"], "", 1, ["no documents"]),
    (["train", "blank.txt", "-o", "folder"], None, 1, ["folder", "directory"]),
    (["train", "blank.txt", "-o", "missing/m.json"], None, 1, ["missing"]),
    (["train", "--dict", "bad.dict", "-o", "m.json"], "你好\n", 1, ["bad.dict:1"]),
    (["train", "blank.txt"], None, 2, ["--output"]),
    (["train", "--b", "1.5", "-o", "m.json"], "", 2, ["--b"]),
    (["train", "--k1", "nan", "-o", "m.json"], "", 2, ["--k1"]),
    (["cut", "--threads", "0"], "", 2, ["--threads"]),
    (["train", "--threads", "0", "-o", "m.json"], "", 2, ["--threads"]),
    (["encode", "--threads", "-2", "m.json", "x"], None, 2, ["--threads"]),
    (["train", "--mode", "fast", "-o", "m.json"], "", 2, ["--mode"]),
    (["train", "--pretokenized", "--no-hmm", "-o", "m.json"], "a\n", 2, ["--pretokenized"]),
    (["encode", "--pretokenized", "--mode", "full", "m.json", "x"], None, 2, ["--mode"]),
    (["encode", "--pretokenized", "--format", "indices", "m.json", "x"], None, 2,
     ["--pretokenized", "--format indices"]),
    (["encode", "--format", "csr", "m.json", "x"], None, 2, ["--format"]),
    (["cut", "--threads", "two"], "", 2, ["--threads"]),
    (["cut", "--no-such-option"], "", 2, ["--no-such-option"]),
    (["encode"], None, 2, ["MODEL"]),
    (["demo", "--top", "-1"], None, 2, ["--top"]),
    (["cut", "--search", "--mode", "full"], "", 2, ["--search", "--mode full"]),
    (["cut", "--tag", "--mode", "full"], "", 2, ["--tag", "full"]),
    (["cut", "--tag", "--search"], "", 2, ["--tag", "search"]),
    (["keywords", "--tags", " , "], "", 2, ["--tags"]),
    (["keywords", "--dict", "bad.dict", "x"], None, 1, ["bad.dict:1"]),
    (["keywords", "--idf", "missing.idf"], "", 1, ["missing.idf", "No such file"]),
    (["frobnicate"], None, 2, ["frobnicate"]),
    ([], None, 2, ["command"]),
]


@pytest.mark.parametrize("args, stdin, status, message", FAILURES,
                         ids=[" ".join(f[0]) or "none" for f in FAILURES])
def test_failures_are_one_line(tmp_path, args, stdin, status, message):
    done = run(*args, stdin=stdin, cwd=bad_files(tmp_path))
    assert done.returncode == status
    assert done.stdout == ""
    assert done.stderr.count("\n") == 1 and done.stderr.endswith("\n"), done.stderr
    assert done.stderr.startswith("razoduviva") and ": error: " in done.stderr
    for part in message:
        assert part in done.stderr
    assert not (tmp_path / "m.json").exists()


@pytest.mark.parametrize("threads", ["1", "2"])
def test_closed_standard_output_ends_quietly(sample, threads):
    data = (("\n".join(sample) + "\n") * 20).encode()
    with spawn("cut", "--threads", threads) as proc:
        feeder = threading.Thread(target=_feed, args=(proc.stdin, data))
        feeder.start()
        assert proc.stdout.readline()
        proc.stdout.close()
        status = proc.wait()
        feeder.join()
        assert proc.stderr.read() == b""
        assert status == 141


def _feed(pipe, data):
    try:
        pipe.write(data)
        pipe.close()
    except (BrokenPipeError, ValueError):
        pass


@pytest.mark.parametrize("threads", ["1", "2"])
def test_interrupt_ends_quietly(threads):
    with spawn("cut", "--threads", threads) as proc:
        # once a line has come back the command is in its reading loop
        proc.stdin.write("今天天气不错\n".encode())
        proc.stdin.flush()
        assert proc.stdout.readline().decode() == "今天 天气 不错\n"
        proc.send_signal(signal.SIGINT)
        assert proc.wait() == 130
        assert proc.stderr.read() == b""


# ---------------------------------------------------------------------------
# Native log records

def test_records_of_a_load_that_succeeds_reach_standard_error_as_written(tmp_path):
    user = tmp_path / "user.dict"
    user.write_bytes(b"\xff\xfe 10 n\n\xe5\xa5\xbd\xe8\xaf\x8d\xe8\xaf\xad 10 n\n")
    done = run("cut", "--user-dict", user, "好词语")
    assert (done.returncode, done.stdout) == (0, "好词语\n")
    assert re.fullmatch(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d csrc/\S+:\d+ ERROR Decode .* failed\.\n",
                        done.stderr), done.stderr


def test_main_puts_the_log_routing_back(tmp_path, capsys):
    from razoduviva import cli

    logger = logging.getLogger("razoduviva")
    before = (list(logger.handlers), logger.level, logger.propagate)
    for destination in ("silent", "stderr"):
        previous = razoduviva.set_native_log(destination)
        try:
            assert cli.main(["cut", "--dict", str(tmp_path / "missing.dict"), "x"]) == 1
            assert cli.main(["cut", "今天天气不错"]) == 0
        finally:
            assert razoduviva.set_native_log(previous) == destination
        assert (list(logger.handlers), logger.level, logger.propagate) == before
        out, err = capsys.readouterr()
        assert out == "今天 天气 不错\n" and err.count("\n") == 1 and "missing.dict" in err
