"""The committed rune class table (csrc/tokenizer/jieba/RuneScripts.cpp) is
what tools/gen_rune_scripts.py makes of this Python's Unicode database.
The table itself is tested in C++ (tests/cpp/RuneScriptsTest.cpp)."""

import re
import subprocess
import sys
import unicodedata
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
SCRIPT = ROOT / "tools" / "gen_rune_scripts.py"
TABLE = ROOT / "csrc" / "tokenizer" / "jieba" / "RuneScripts.cpp"


def committed_version():
    return re.search(r'RUNE_SCRIPTS_VERSION\[\] = "([^"]*)"', TABLE.read_text("utf-8")).group(1)


def check(path):
    return subprocess.run([sys.executable, str(SCRIPT), "--check", "--output", str(path)],
                          capture_output=True, text=True)


def test_committed_table_is_the_generator_output():
    if committed_version() != unicodedata.unidata_version:
        pytest.skip(f"table from Unicode {committed_version()}, "
                    f"this Python has {unicodedata.unidata_version}")
    result = check(TABLE)
    assert result.returncode == 0, result.stdout + result.stderr


def test_check_finds_a_changed_table(tmp_path):
    changed = tmp_path / "RuneScripts.cpp"
    # A range one code point shorter: U+FF21 (full-width A) dropped.
    changed.write_text(TABLE.read_text("utf-8").replace("{0xFF21, 0xFF3A, 3}", "{0xFF22, 0xFF3A, 3}"),
                       encoding="utf-8")
    assert changed.read_text("utf-8") != TABLE.read_text("utf-8")
    result = check(changed)
    assert result.returncode == 1
    if committed_version() == unicodedata.unidata_version:
        assert "differs from what this script writes" in result.stdout
    else:
        assert "made from Unicode" in result.stdout
