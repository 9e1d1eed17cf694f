"""Hostile input to Jieba: odd sentences and odd data files. Each case ends
in the segmenter's documented behaviour or a clear Python exception, never
a crash, and the process goes on working."""

import os
import re

import pytest

from razoduviva import Jieba

FLOOR = "-3.14e+100"
BOM = "\ufeff"
HMM = "\n".join(
    [
        f"-0.26 {FLOOR} {FLOOR} -1.46",
        f"{FLOOR} -0.51 -0.92 {FLOOR}",
        f"-0.59 {FLOOR} {FLOOR} -0.81",
        f"{FLOOR} -0.33 -1.26 {FLOOR}",
        f"-0.72 {FLOOR} {FLOOR} -0.67",
        "好:-5.0,学:-4.0",
        "好:-6.0,生:-4.5",
        "学:-7.0",
        "好:-3.0,的:-2.0",
    ]
) + "\n"
DICT = "中国 300 ns\n中国人 100 n\n人民 200 n\n的 900 uj\n"


class Data:
    """The five data files of one test, in its tmp_path."""

    def __init__(self, tmp_path):
        self.dir = tmp_path
        self.paths = {
            "dict_path": self.write("dict.txt", DICT),
            "hmm_path": self.write("hmm.txt", HMM),
            "user_dict_path": "",
            "idf_path": self.write("idf.txt", "中国 8.5\n"),
            "stop_word_path": self.write("stop.txt", "的\n"),
        }

    def write(self, name, content):
        path = self.dir / name
        path.write_bytes(content if isinstance(content, bytes) else content.encode())
        return str(path)

    def jieba(self, **changes):
        return Jieba(**{**self.paths, **changes})


@pytest.fixture
def data(tmp_path):
    return Data(tmp_path)


@pytest.fixture
def jieba(data):
    return data.jieba()


# --- sentences ---------------------------------------------------------------


@pytest.mark.parametrize(
    "sentence, words",
    [
        ("\x00", ["\x00"]),
        ("中国\x00人民", ["中国", "\x00", "人民"]),
        ("a\x00b", ["a", "\x00", "b"]),
        ("\x00\x00中国", ["\x00", "\x00", "中国"]),
    ],
)
def test_nul_characters_are_words_of_their_own(jieba, sentence, words):
    assert jieba.cut(sentence) == words
    assert jieba.cut(sentence.encode()) == words
    assert jieba.cut_for_search(sentence) == words


@pytest.mark.parametrize("sentence, where", [("\ud800", "U+D800, at index 0"),
                                             ("中国\udfff人民", "U+DFFF, at index 2"),
                                             ("a\udc80", "U+DC80, at index 1")])
def test_lone_surrogates_are_named_with_their_place(jieba, sentence, where):
    # A str without a UTF-8 form is not a sentence: the error says why.
    for cut in (jieba.cut, jieba.cut_for_search):
        with pytest.raises(ValueError, match=re.escape("lone surrogate, " + where)):
            cut(sentence)
    assert jieba.cut("中国人民") == ["中国", "人民"]


def test_bytes_that_are_not_utf8(jieba, capfd):
    # Refused by the decoder: no words, and an ERROR record.
    for sentence in (b"\xff", b"ab\xe4", "中国".encode()[:-1], b"\xf8\x88\x80\x80\x80"):
        assert jieba.cut(sentence) == []
        assert jieba.cut_for_search(bytearray(sentence)) == []
    assert capfd.readouterr().err.count("ERROR decode failed. ") == 8
    # Strict UTF-8, as Python reads it: overlong forms, surrogates, values
    # above U+10FFFF and stray continuation bytes are refused the same way.
    for sentence in (b"\xc0\x80", b"a\xed\xa0\x80b", b"\x80A", b"\xa1abc", b"\xf4\x90\x80\x80"):
        assert jieba.cut(sentence) == []
        assert jieba.tokenize(sentence) == []
    assert capfd.readouterr().err.count("ERROR decode failed. ") == 10


def test_words_always_make_up_the_sentence(jieba):
    sentence = "\r\n \t，。中国人民的好学生 abc123 3.14.15 ＡＢ😀\x7f\x1b"
    words = jieba.cut(sentence)
    assert "".join(words) == sentence
    assert all(words)


# --- data files ---------------------------------------------------------------


def test_crlf_everywhere(data):
    crlf = data.jieba(
        dict_path=data.write("d.txt", DICT.replace("\n", "\r\n")),
        hmm_path=data.write("h.txt", HMM.replace("\n", "\r\n")),
        user_dict_path=data.write("u.txt", "好学 ns\r\n"),
        idf_path=data.write("i.txt", "中国 8.5\r\n"),
        stop_word_path=data.write("s.txt", "的\r\n"),
    )
    plain = data.jieba(user_dict_path=data.write("u2.txt", "好学 ns\n"))
    # The carriage return ends up in tags, which cutting does not read, and
    # is trimmed from the model's lines: the cuts are the same.
    for sentence in ("中国人民的好学生", "好学", "中国人"):
        assert crlf.cut(sentence) == plain.cut(sentence)
        assert crlf.cut_for_search(sentence) == plain.cut_for_search(sentence)


def test_crlf_in_a_one_column_user_line_stays_in_the_word(data):
    # "好学\r" is the word: it does not match 好学 in text.
    j = data.jieba(user_dict_path=data.write("u.txt", "好学\r\n"))
    assert j.cut("好学\r") == ["好学\r"]
    assert j.cut("好学") == data.jieba().cut("好学") == ["好", "学"]


def test_a_byte_order_mark_is_skipped(data):
    with_bom = data.jieba(
        dict_path=data.write("d.txt", BOM + DICT),
        hmm_path=data.write("h.txt", BOM + HMM),
        user_dict_path=data.write("u.txt", BOM + "好学\n"),
        idf_path=data.write("i.txt", BOM + "中国 8.5\n"),
        stop_word_path=data.write("s.txt", BOM + "的\n"),
    )
    plain = data.jieba(user_dict_path=data.write("u2.txt", "好学\n"))
    for sentence in ("中国人民的好学生", "好学", "学好"):
        assert with_bom.cut(sentence) == plain.cut(sentence)
    # The first dictionary word is found, and comes out without the mark.
    assert with_bom.cut("中国") == ["中国"]
    # A mark before a comment leaves it a comment.
    data.jieba(hmm_path=data.write("h2.txt", BOM + "# model\n" + HMM))


def test_empty_lines(data, capfd):
    # Skipped in user dictionaries and the model; an empty main dictionary
    # line is an error naming the line; an empty idf line is logged.
    j = data.jieba(
        hmm_path=data.write("h.txt", "\n\n" + HMM.replace("\n", "\n\n")),
        user_dict_path=data.write("u.txt", "\n\n好学\n\n"),
        idf_path=data.write("i.txt", "\n中国 8.5\n\n"),
        stop_word_path=data.write("s.txt", "\n\n"),
    )
    assert j.cut("好学") == ["好学"]
    assert " ERROR lineno: 0 empty. skipped." in capfd.readouterr().err
    bad = data.write("d.txt", "中国 3 n\n\n的 2 u\n")
    with pytest.raises(ValueError, match=f"^{bad}:2: an empty line: a dictionary line is a word"):
        data.jieba(dict_path=bad)
    for empty in ("", "\n", "\n\n\n"):
        with pytest.raises(ValueError):
            data.jieba(dict_path=data.write("e.txt", empty))
    with pytest.raises(ValueError):
        data.jieba(hmm_path=data.write("e.txt", "\n\n"))
    capfd.readouterr()


def test_very_long_lines(data, capfd):
    chars = [chr(0x4E00 + k) for k in range(20_000)]
    long_word = "".join(chars[:512])  # the longest word a cut looks for
    longer_word = "".join(chars[1000:1000 + 100_000 // 20])
    j = data.jieba(
        dict_path=data.write(
            "d.txt", DICT + f"{long_word} 5 n\n{longer_word * 20} 5 n\n{'x' * 1_000_000} 1 eng\n"
        ),
        hmm_path=data.write(
            "h.txt", HMM.replace("学:-7.0", ",".join(f"{c}:-{k % 9 + 1}" for k, c in enumerate(chars)))
        ),
        user_dict_path=data.write("u.txt", "好" * 300_000 + "\n"),
        idf_path=data.write("i.txt", "中" * 500_000 + " 1.5\n"),
        stop_word_path=data.write("s.txt", "的" * 500_000 + "\n"),
    )
    assert j.cut(long_word) == [long_word]
    assert "".join(j.cut(longer_word * 20)) == longer_word * 20
    assert j.cut("x" * 1000) == ["x" * 1000]
    assert capfd.readouterr().err == ""


def test_bytes_that_are_not_utf8_in_data_files(data, capfd):
    # A dictionary word that does not decode is logged and never found;
    # loading goes on.
    j = data.jieba(
        dict_path=data.write("d.txt", DICT.encode() + b"\xff\xfe 5 n\n\xe4\xb8 7 x\n"),
        user_dict_path=data.write("u.txt", b"\xc3\n\xe5\xa5\xbd\xe5\xad\xa6\n"),
        idf_path=data.write("i.txt", b"\xff 1.0\n"),
        stop_word_path=data.write("s.txt", b"\xfe\n"),
    )
    err = capfd.readouterr().err
    assert err.count(" ERROR Decode ") == 3
    assert j.cut("中国好学") == ["中国", "好学"]
    # An emission key that does not decode is an error in the model.
    bad = data.write("h.txt", HMM.encode().replace("学:-7.0".encode(), b"\xff:-7.0"))
    with pytest.raises(ValueError, match=f"^{bad}:8: an emission line is pairs of one character"):
        data.jieba(hmm_path=bad)
    assert " ERROR TransCode failed." in capfd.readouterr().err


@pytest.mark.parametrize(
    "name", ["dict_path", "hmm_path", "user_dict_path", "idf_path", "stop_word_path"]
)
def test_a_directory_as_any_path(data, capfd, name):
    with pytest.raises(IsADirectoryError) as info:
        data.jieba(**{name: str(data.dir)})
    assert info.value.filename == str(data.dir)
    assert "FATAL" in capfd.readouterr().err


@pytest.mark.parametrize(
    "name", ["dict_path", "hmm_path", "user_dict_path", "idf_path", "stop_word_path"]
)
def test_unreadable_file_as_any_path(data, capfd, name):
    if os.geteuid() == 0:
        pytest.skip("root reads files whatever their mode")
    locked = data.write("locked.txt", "x 1 n\n")
    os.chmod(locked, 0)
    with pytest.raises(PermissionError):
        data.jieba(**{name: locked})
    capfd.readouterr()


@pytest.mark.parametrize(
    "name, path, error",
    [
        ("dict_path", "", FileNotFoundError),
        ("hmm_path", "/nonexistent/dir/hmm.txt", FileNotFoundError),
        ("user_dict_path", "|", FileNotFoundError),
        ("user_dict_path", ";;", FileNotFoundError),
        ("idf_path", "x" * 5000, OSError),  # name too long
        ("stop_word_path", "/dev/null/x", NotADirectoryError),
    ],
)
def test_paths_that_name_no_file(data, capfd, name, path, error):
    with pytest.raises(error):
        data.jieba(**{name: path})
    capfd.readouterr()


def test_a_device_as_a_file(data, capfd):
    # /dev/null reads as an empty file: an empty main dictionary is an
    # error; empty user, idf and stop-word files are fine.
    with pytest.raises(ValueError):
        data.jieba(dict_path="/dev/null")
    j = data.jieba(user_dict_path="/dev/null", idf_path="/dev/null", stop_word_path="/dev/null")
    assert j.cut("中国") == ["中国"]
    capfd.readouterr()
