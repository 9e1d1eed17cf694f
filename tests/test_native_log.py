"""Where the native log records go: standard error, logging or nowhere."""

import logging
import threading

import pytest

import razoduviva
from razoduviva import BM25, Jieba

BAD = b"\xe4\xb8"  # a cut-off character: [] and one ERROR record


@pytest.fixture(scope="module")
def jieba():
    return Jieba()


def test_default_is_standard_error_as_written(jieba, capfd):
    assert razoduviva.native_log  # the context manager exists
    assert jieba.cut(BAD) == []
    err = capfd.readouterr().err
    assert err.endswith(" csrc/tokenizer/jieba/PreFilter.hpp:34 ERROR decode failed. \n")


def test_silent_drops_and_restores(jieba, capfd):
    with razoduviva.native_log("silent"):
        assert jieba.cut(BAD) == [] and jieba.tag(BAD) == [] and jieba.keywords(BAD) == []
        with pytest.raises(RuntimeError):
            BM25().load("{[")
    assert capfd.readouterr().err == ""
    jieba.cut(BAD)
    assert "ERROR decode failed." in capfd.readouterr().err


def test_logging_gets_records_with_levels_and_sources(jieba, tmp_path, caplog, capfd):
    caplog.set_level(logging.DEBUG, logger="razoduviva")
    previous = razoduviva.set_native_log("logging")
    try:
        assert previous == "stderr"
        threads = [threading.Thread(target=jieba.cut_for_search, args=(BAD,)) for _ in range(3)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        with pytest.raises(FileNotFoundError):
            Jieba(dict_path=str(tmp_path / "missing.txt"))
        with pytest.raises(RuntimeError):
            BM25().load("{[")
    finally:
        assert razoduviva.set_native_log(previous) == "logging"
    assert capfd.readouterr().err == ""
    records = [(r.name, r.levelname, r.getMessage()) for r in caplog.records]
    assert records[:3] == [("razoduviva", "ERROR", "decode failed. ")] * 3
    assert caplog.records[0].pathname == "csrc/tokenizer/jieba/PreFilter.hpp"
    assert caplog.records[0].lineno == 34
    assert records[3][1] == "CRITICAL" and "missing.txt failed" in records[3][2]
    assert {level for _, level, _ in records[4:]} == {"WARNING"} and len(records) > 4


def test_bad_destination(jieba):
    with pytest.raises(ValueError, match="'stderr', 'logging' or 'silent'"):
        razoduviva.set_native_log("file")
    assert razoduviva._core._log_destination() == "stderr"
