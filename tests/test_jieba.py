"""The Jieba class through the installed module, on small data files."""

import os
import re
import threading
import time

import pytest

import razoduviva
from razoduviva import Jieba

FLOOR = "-3.14e+100"
# Single CJK characters standing for the letters of the examples.
X, Y, Z = "甲", "乙", "丙"
A, B, E, F = "中", "国", "人", "民"


def worked_example_model(y_end="-2.5"):
    """HMM model of the worked example: start, transitions, emissions of X
    (B -2.0, S -3.0) and Y (E y_end, S -1.0); everything else at the floor."""
    return "\n".join(
        [
            "# start: B E M S",
            f"-1.0 {FLOOR} {FLOOR} -2.0",
            "  # transitions, from B, E, M and S",
            f"{FLOOR} -0.5 -1.0 {FLOOR}",
            f"-0.75 {FLOOR} {FLOOR} -0.75\r",
            f"{FLOOR} -0.25 -1.0 {FLOOR}",
            f"-0.5 {FLOOR} {FLOOR} -1.0",
            "",
            f"{X}:-2.0",
            f"{Y}:{y_end}",
            f"{Z}:{FLOOR}",
            f"{X}:-3.0,{Y}:-1.0",
        ]
    ) + "\n"


DICT = f"{A}{B} 30 ns\n{E}{F} 30 n\n{A}{B}{E}{F} 20 nt\n{B}{E} 5 n\n{A}{B}{E} 1 n\n的 60 uj\n"


class Files:
    """The five data files of one test, written into its tmp_path."""

    def __init__(self, tmp_path):
        self.dir = tmp_path
        self.dict_path = self.write("dict.txt", DICT)
        self.hmm_path = self.write("hmm.txt", worked_example_model())
        self.user_dict_path = ""
        self.idf_path = self.write("idf.txt", f"{A}{B} 8.5\n{E}{F} 6.25\n")
        self.stop_word_path = self.write("stop.txt", "的\n")

    def write(self, name, text, mode="w"):
        path = self.dir / name
        if isinstance(text, bytes):
            path.write_bytes(text)
        else:
            path.write_text(text, encoding="utf-8", newline="")
        return str(path)

    def kwargs(self, **changes):
        args = dict(
            dict_path=self.dict_path,
            hmm_path=self.hmm_path,
            user_dict_path=self.user_dict_path,
            idf_path=self.idf_path,
            stop_word_path=self.stop_word_path,
        )
        args.update(changes)
        return args

    def jieba(self, **changes):
        return Jieba(**self.kwargs(**changes))


@pytest.fixture
def files(tmp_path):
    return Files(tmp_path)


@pytest.fixture
def jieba(files):
    return files.jieba()


# --- construction and arguments ------------------------------------------


def test_positional_and_keyword_arguments_in_any_order(files):
    k = files.kwargs()
    by_position = Jieba(
        k["dict_path"], k["hmm_path"], k["user_dict_path"], k["idf_path"], k["stop_word_path"]
    )
    by_keyword = Jieba(**dict(reversed(list(k.items()))))
    as_bytes = Jieba(*(os.fsencode(v) for v in k.values()))
    sentence = f"{A}{B}{E}{F}{X}{Y}"
    assert by_position.cut(sentence) == by_keyword.cut(sentence) == as_bytes.cut(sentence)
    assert by_keyword.cut(sentence=sentence) == [f"{A}{B}{E}{F}", f"{X}{Y}"]
    assert by_keyword.cut_for_search(sentence=sentence) == [
        f"{A}{B}", f"{B}{E}", f"{E}{F}", f"{A}{B}{E}", f"{A}{B}{E}{F}", f"{X}{Y}"
    ]


def test_wrong_arguments_raise_type_error(files, jieba):
    k = files.kwargs()
    # The compiled class needs all five paths; the package's Jieba takes the
    # bundled file for each one left out.
    with pytest.raises(TypeError):
        razoduviva._core.Jieba(k["dict_path"], k["hmm_path"], k["user_dict_path"], k["idf_path"])
    with pytest.raises(TypeError):
        Jieba(**k, extra=1)
    with pytest.raises(TypeError):
        razoduviva._core.Jieba(**k, extra=1)
    with pytest.raises(TypeError):
        jieba.cut(42)
    with pytest.raises(TypeError):
        jieba.cut(["a"])
    with pytest.raises(TypeError):
        jieba.cut_for_search(None)
    with pytest.raises(ValueError, match="lone surrogate"):
        jieba.cut("\udc80")  # a lone surrogate has no UTF-8 form
    with pytest.raises(TypeError):
        jieba.cut(text="a")


def test_paths_with_a_null_byte_are_refused(files, capfd):
    # The system would cut such a path short and open another file.
    for name in ("dict_path", "hmm_path", "user_dict_path", "idf_path", "stop_word_path"):
        path = files.kwargs()[name] or files.dict_path
        with pytest.raises(ValueError, match=f"{name}: embedded null byte"):
            files.jieba(**{name: path + "\0.bak"})
    assert capfd.readouterr().err == ""


def test_stub_names_match_the_module():
    stub = os.path.join(os.path.dirname(razoduviva.__file__), "_core.pyi")
    with open(stub, encoding="utf-8") as f:
        text = f.read()
    assert "class Jieba:" in text
    for method in re.findall(r"    def (\w+)\(", text.split("class Jieba:", 1)[1].split("\nclass ", 1)[0]):
        assert hasattr(Jieba, method), method
    assert set(razoduviva._core.Jieba.__init__.__doc__.split("(", 1)[1].split(")")[0].replace(" ", "").split(",")) >= {
        "dict_path:str|bytes|os.PathLike[str]",
        "hmm_path:str|bytes|os.PathLike[str]",
        "user_dict_path:str|bytes|os.PathLike[str]",
        "idf_path:str|bytes|os.PathLike[str]",
        "stop_word_path:str|bytes|os.PathLike[str]",
    }


# --- results --------------------------------------------------------------


def test_empty_sentence(jieba):
    assert jieba.cut("") == []
    assert jieba.cut_for_search("") == []
    assert jieba.cut(b"") == []


def test_bytes_and_bytearray_sentences_match_str(jieba):
    class Text(str):
        pass

    for sentence in [f"{A}{B}{E} x1.5 {X}{Y}", "abc，def。", f"{Z}\t{A}", "ascii only 3.14", Text("ab中国")]:
        words = jieba.cut(sentence)
        assert all(type(w) is str for w in words)
        assert jieba.cut(sentence.encode()) == words
        assert jieba.cut(bytearray(sentence.encode())) == words
        assert jieba.cut_for_search(sentence.encode()) == jieba.cut_for_search(sentence)


def test_many_distinct_and_repeated_words_in_one_sentence(jieba):
    # More distinct words than the repeat finder has slots, each twice, in
    # str, non-ASCII str and bytes sentences.
    tokens = [f"w{i}" for i in range(3000)] * 2
    expected = []
    for t in tokens:
        expected += [t, " "]
    assert jieba.cut(" ".join(tokens) + " ") == expected
    assert jieba.cut((" ".join(tokens) + " ").encode()) == expected
    mixed = [f"{A}{B}{t}" for t in tokens]
    got = jieba.cut("，".join(mixed))
    assert got == [w for t in tokens for w in (A + B, t, "，")][:-1]


@pytest.mark.parametrize(
    "y_end, words",
    [
        ("-2.5", [X + Y]),  # E -6.0 beats S -7.0
        ("-3.5", [X + Y]),  # both -7.0: the tie goes to E
        ("-4.0", [X, Y]),  # S -7.0 beats E -7.5
    ],
)
def test_hmm_worked_example(files, y_end, words):
    j = files.jieba(hmm_path=files.write("hmm.txt", worked_example_model(y_end)))
    assert j.cut(X + Y) == words
    assert j.cut_for_search(X + Y) == words


def test_characters_unknown_to_the_model_are_one_word_each(jieba):
    assert jieba.cut(Z * 4) == [Z] * 4


@pytest.mark.parametrize(
    "sentence, words",
    [
        ("abc123", ["abc123"]),
        ("123abc", ["123", "abc"]),
        ("3.14", ["3.14"]),
        ("1..2.", ["1..2."]),
        ("ab12.5", ["ab12", ".", "5"]),
        ("a-b", ["a", "-", "b"]),
        ("a,b/c\r", ["a", ",", "b", "/", "c", "\r"]),
        (f"{X}{Y}abc{X}{Y}", [X + Y, "abc", X + Y]),
        ("ＡＢ１", ["ＡＢ１"]),  # fullwidth: Latin letters and digits
        ("Müller在café", ["Müller", "在", "café"]),  # letters of other alphabets stay whole
        ("abcабв", ["abc", "абв"]),  # a change of script ends a word
    ],
)
def test_ascii_rules(jieba, sentence, words):
    assert jieba.cut(sentence) == words


def test_separators_are_words_of_their_own(jieba):
    assert jieba.cut(f" {A}{B}\t{E}{F}\n，。。x ") == [
        " ", A + B, "\t", E + F, "\n", "，", "。", "。", "x", " "
    ]
    # Carriage return, ASCII comma and full stop are not separators; the
    # ASCII rules still make each one a word.
    assert jieba.cut(f"{A}{B}\r,.{E}{F}") == [A + B, "\r", ",", ".", E + F]


def test_user_one_rune_word_stays_and_ends_the_stretch(files):
    # Without a user dictionary X Y is one HMM word; a user word X stays a
    # word of its own, and Y is decoded alone.
    assert files.jieba().cut(X + Y) == [X + Y]
    j = files.jieba(user_dict_path=files.write("user.txt", f"{X}\n"))
    assert j.cut(X + Y) == [X, Y]
    assert j.cut(Z + X + Z) == [Z, X, Z]
    # A one-rune word of the main dictionary alone goes to the HMM.
    j = files.jieba(dict_path=files.write("dict2.txt", DICT + f"{X} 100 n\n"))
    assert j.cut(X + Y) == [X + Y]


def test_several_user_dictionaries(files):
    first = files.write("u1.txt", f"{X}{Z}\n")
    second = files.write("u2.txt", f"{Z}{Y} 1000 n\n")
    j = files.jieba(user_dict_path=f"{first}|{second}")
    assert j.cut(X + Z) == [X + Z]
    assert j.cut(Z + Y) == [Z + Y]


def test_search_mode_pairs_and_triples(jieba):
    # ABEF: its pairs AB, BE, EF, then its triple ABE, then the word.
    assert jieba.cut(A + B + E + F) == [A + B + E + F]
    assert jieba.cut_for_search(A + B + E + F) == [
        A + B, B + E, E + F, A + B + E, A + B + E + F
    ]
    # Two-rune words contribute only themselves; nothing is deduplicated.
    assert jieba.cut_for_search(f"{A}{B}，{A}{B}{E}{F}{A}{B}") == [
        A + B, "，", A + B, B + E, E + F, A + B + E, A + B + E + F, A + B
    ]


def test_invalid_utf8_gives_empty_list_and_an_error_record(jieba, capfd):
    capfd.readouterr()
    assert jieba.cut(b"ab\xe4") == []
    assert jieba.cut_for_search(bytearray(b"\xff")) == []
    err = capfd.readouterr().err
    assert re.search(
        r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d csrc/tokenizer/jieba/PreFilter\.hpp:\d+ ERROR decode failed\. $",
        err,
        re.M,
    ), err
    assert err.count("ERROR decode failed. ") == 2


def test_bytes_that_python_refuses_give_no_words(jieba, capfd):
    # The segmenter's decoder is as strict as Python's: an encoded surrogate
    # gives no words and a record, never a word that cannot become a str.
    assert jieba.cut(b"a\xed\xa0\x80") == []
    assert "ERROR decode failed." in capfd.readouterr().err


# --- data file failures ----------------------------------------------------


def fatal_records(err):
    return re.findall(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d (\S+):\d+ FATAL (.*)$", err, re.M)


def test_missing_files_raise_file_not_found_naming_the_path(files, capfd):
    missing = str(files.dir / "missing.txt")
    cases = [
        ("dict_path", "csrc/tokenizer/jieba/DictTrie.hpp", f"exp: [ifs.is_open()] false. open {missing} failed."),
        ("user_dict_path", "csrc/tokenizer/jieba/DictTrie.hpp", f"exp: [ifs.is_open()] false. open {missing} failed"),
        ("hmm_path", "csrc/tokenizer/jieba/HMMModel.hpp", f"exp: [ifile.is_open()] false. open {missing} failed"),
        ("idf_path", "csrc/tokenizer/jieba/KeywordExtractor.hpp", f"exp: [ifs.is_open()] false. open {missing} failed"),
        ("stop_word_path", "csrc/tokenizer/jieba/KeywordExtractor.hpp", f"exp: [ifs.is_open()] false. open {missing} failed"),
    ]
    for name, source, message in cases:
        capfd.readouterr()
        with pytest.raises(FileNotFoundError) as info:
            files.jieba(**{name: missing})
        assert info.value.filename == missing
        assert info.value.errno == 2
        assert str(info.value) == f"[Errno 2] No such file or directory: {missing!r}"
        assert fatal_records(capfd.readouterr().err) == [(source, message)], name
    # The process is alive and a good facade still works.
    assert files.jieba().cut(A + B) == [A + B]


def test_directory_and_unreadable_files(files, capfd):
    with pytest.raises(IsADirectoryError) as info:
        files.jieba(hmm_path=str(files.dir))
    assert info.value.filename == str(files.dir)
    if os.geteuid() != 0:  # root reads anything
        locked = files.write("locked.txt", "a 1\n")
        os.chmod(locked, 0)
        with pytest.raises(PermissionError):
            files.jieba(idf_path=locked)
    capfd.readouterr()


@pytest.mark.parametrize(
    "name, content, line, record, errors, reason",
    [
        ("dict_path", "a 1 n\nb 2\n", 2, "exp: [buf.size() == DICT_COLUMN_NUM] false. split result illegal, line:b 2", [],
         "a dictionary line is a word, a frequency and a tag separated by single spaces; this one has 2 columns"),
        ("dict_path", "a 1 n\n\nb 2 n\n", 2, "exp: [buf.size() == DICT_COLUMN_NUM] false. split result illegal, line:", [],
         "an empty line: a dictionary line is a word, a frequency and a tag"),
        ("hmm_path", "# start\n-1 -2 -3\n", 2, "exp: [tmp.size() == STATUS_SUM] false. ", [],
         "expected 4 log-probabilities separated by spaces"),
        ("hmm_path", "1 2 3 4\n" * 5 + "a:1\nb:1\nc:1\n", 9, "exp: [GetLine(ifile, line)] false. ", [],
         "the model ends early"),
        ("hmm_path", "1 2 3 4\n" * 5 + "a:1\nbc:1\nc:1\nd:1\n", 7, "exp: [LoadEmitProb(line, emitProbE)] false. ", ["TransCode failed."],
         "an emission line is pairs of one character and its log-probability"),
        ("hmm_path", "1 2 3 4\n" * 5 + "a:1\nb:1\nc:1\nd1\n", 9, "exp: [LoadEmitProb(line, emitProbS)] false. ", ["emitProb illegal."],
         "an emission line is pairs of one character and its log-probability"),
    ],
)
def test_malformed_content_raises_value_error_naming_file_and_line(
    files, capfd, name, content, line, record, errors, reason
):
    # The exception says what is wrong in the words of the file's format;
    # the check's own text is the FATAL record's.
    path = files.write("bad.txt", content)
    capfd.readouterr()
    with pytest.raises(ValueError) as info:
        files.jieba(**{name: path})
    assert str(info.value).startswith(f"{path}:{line}: {reason}")
    assert "exp: [" not in str(info.value)
    err = capfd.readouterr().err
    assert [m for _, m in fatal_records(err)] == [record]
    for message in errors:
        assert f" ERROR {message}\n" in err
        assert err.index(f" ERROR {message}") < err.index(" FATAL ")


def test_first_bad_file_in_load_order_is_reported(files, capfd):
    missing = str(files.dir / "missing.txt")
    bad_hmm = files.write("bad_hmm.txt", "1 2\n")
    capfd.readouterr()
    # Dictionary before HMM model.
    with pytest.raises(FileNotFoundError):
        files.jieba(dict_path=missing, hmm_path=bad_hmm)
    assert [m for _, m in fatal_records(capfd.readouterr().err)] == [
        f"exp: [ifs.is_open()] false. open {missing} failed."
    ]
    # User dictionaries before the HMM model.
    with pytest.raises(FileNotFoundError):
        files.jieba(user_dict_path=missing, hmm_path=bad_hmm)
    # HMM model before idf and stop words.
    with pytest.raises(ValueError):
        files.jieba(hmm_path=bad_hmm, idf_path=missing, stop_word_path=missing)
    # Idf before stop words: the message names the idf path.
    other = str(files.dir / "other.txt")
    with pytest.raises(FileNotFoundError) as info:
        files.jieba(idf_path=missing, stop_word_path=other)
    assert info.value.filename == missing
    capfd.readouterr()


def test_skipped_idf_lines_are_logged_and_loading_goes_on(files, capfd):
    capfd.readouterr()
    j = files.jieba(idf_path=files.write("idf2.txt", "a 1\n\nb  2\nc 3\n"))
    err = capfd.readouterr().err
    assert " ERROR lineno: 1 empty. skipped.\n" in err
    assert " ERROR line: b  2, lineno: 2 empty. skipped.\n" in err
    assert "FATAL" not in err
    assert j.cut(A + B) == [A + B]


# --- threads ----------------------------------------------------------------


def sentences():
    parts = [A, B, E, F, X, Y, Z, "的", " ", "，", "ab", "12", ".", "x9"]
    out = []
    seed = 3
    for s in range(300):
        text = ""
        for _ in range(3 + s % 50):
            seed = (seed * 1103515245 + 12345) % 2**31
            text += parts[(seed >> 16) % len(parts)]
        out.append(text)
    return out


def test_threads_sharing_one_object_get_serial_results(jieba):
    texts = sentences()
    expected = [(jieba.cut(t), jieba.cut_for_search(t)) for t in texts]
    failures = []

    def work(offset):
        for round_ in range(5):
            for i in range(len(texts)):
                k = (i + offset * 37 + round_) % len(texts)
                got = (jieba.cut(texts[k]), jieba.cut_for_search(texts[k].encode()))
                if got != expected[k]:
                    failures.append((k, got))

    threads = [threading.Thread(target=work, args=(n,)) for n in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []


def test_other_threads_progress_while_a_long_cut_runs(jieba):
    # While the worker is inside one cut, the main thread keeps counting; with
    # the interpreter lock held through the cut, it could not count at all.
    unit = f"{A}{B}{E}{F}{X}{Y}的abc 12.5，"
    text = unit * 400_000
    counter = [0]
    seen = {}
    started = threading.Event()
    done = threading.Event()

    def worker():
        started.set()
        before = counter[0]
        words = jieba.cut(text)
        seen["progress"] = counter[0] - before
        seen["words"] = len(words)
        done.set()

    thread = threading.Thread(target=worker)
    thread.start()
    started.wait()
    while not done.is_set():
        counter[0] += 1
        time.sleep(0.0002)
    thread.join()
    assert seen["words"] == 400_000 * len(jieba.cut(unit))
    assert seen["progress"] >= 3, seen
