"""The committed fold tables (csrc/encoder/FoldTables.cpp) and their
checksums (tests/cpp/FoldDigests.inc) are what tools/gen_fold_tables.py
makes of this Python's Unicode database and the data sources; and the
character table follows its rule. The fold itself is tested in C++
(tests/cpp/TextFoldTest.cpp)."""

import importlib.util
import os
import re
import subprocess
import sys
import unicodedata
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
SCRIPT = ROOT / "tools" / "gen_fold_tables.py"
TABLES = ROOT / "csrc" / "encoder" / "FoldTables.cpp"
DIGESTS = ROOT / "tests" / "cpp" / "FoldDigests.inc"


def load(name):
    spec = importlib.util.spec_from_file_location(name, ROOT / "tools" / (name + ".py"))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


t2s_table = load("t2s_table")


def committed_version():
    return re.search(r'UNICODE_VERSION\[\] = "([^"]*)"', TABLES.read_text("utf-8")).group(1)


def sources():
    root = t2s_table.default_source()
    if not os.path.isfile(os.path.join(root, *t2s_table.CEDICT)):
        pytest.skip("data sources not found: set RAZODUVIVA_DATA_SOURCES to the shared/data folder")
    return root


def check(tables, digests):
    return subprocess.run([sys.executable, str(SCRIPT), "--check", "--source", sources(),
                           "--tables", str(tables), "--digests", str(digests)],
                          capture_output=True, text=True)


def test_committed_files_are_the_generator_output():
    if committed_version() != unicodedata.unidata_version:
        pytest.skip(f"tables from Unicode {committed_version()}, "
                    f"this Python has {unicodedata.unidata_version}")
    result = check(TABLES, DIGESTS)
    assert result.returncode == 0, result.stdout + result.stderr


def test_check_finds_a_changed_table(tmp_path):
    changed = tmp_path / "FoldTables.cpp"
    text = TABLES.read_text("utf-8")
    # 國 -> 国 dropped from the character table.
    changed.write_text(text.replace("{0x570B, 0x56FD}, ", ""), encoding="utf-8")
    assert changed.read_text("utf-8") != text
    result = check(changed, DIGESTS)
    assert result.returncode == 1
    if committed_version() == unicodedata.unidata_version:
        assert "FoldTables.cpp: differs from what this script writes" in result.stdout
    else:
        assert "made from Unicode" in result.stdout


# ---------------------------------------------------------------------------
# The character table's rule, on entries written here.

def test_single_character_pairs_and_the_usage_tie_break():
    entries = [("國", "国"), ("乾", "干"), ("乾", "乾"), ("乹", "乾"), ("乹", "干"), ("語", "语")]
    usage = {"干": 10}
    table, facts = t2s_table.build(entries, usage)
    # 乹 has two candidates: the one more used in simplified writing wins
    assert table["乹"] == "干"
    assert table["國"] == "国" and table["語"] == "语"
    assert facts["ambiguous"] == 1


def test_aligned_counts_then_file_order_break_remaining_ties():
    entries = [("甲", "乙"), ("甲", "丙"), ("甲丁", "丙丁"), ("戊", "己"), ("戊", "庚")]
    table, _ = t2s_table.build(entries, {})
    assert table["甲"] == "丙"  # aligned twice against once
    assert table["戊"] == "己"  # a tie everywhere: the first in the file


def test_multi_character_entries_fill_gaps_without_overriding():
    entries = [("國", "国"), ("國家", "国家"), ("朮語", "术语"), ("語", "语"), ("國", "囯")]
    table, facts = t2s_table.build(entries, {"国": 5})
    assert table["朮"] == "术"  # only a multi-character entry knows it
    assert table["國"] == "国"
    assert facts["from_multi"] == 1


def test_common_simplified_characters_are_dropped_and_chains_closed():
    entries = [("份", "分"), ("著", "着"), ("瀋", "沈"), ("沈", "沉"), ("國", "国")]
    table, facts = t2s_table.build(entries, {"份": 3, "著": 2, "国": 9})
    assert "份" not in table and "著" not in table
    assert facts["dropped"] == "份著"
    assert table["瀋"] == "沉" and table["沈"] == "沉"
    assert facts["chained"] == [("瀋", "沈", "沉")]


def test_the_real_table():
    table, facts = t2s_table.t2s_table(sources())
    assert facts["pairs"] == len(table) == 3676
    assert facts["dropped"] == "么份宁座著覆"
    assert facts["single_pairs"] == 3694 and facts["ambiguous"] == 18
    assert facts["from_multi"] == 6
    assert all(s not in table for s in table.values())  # folding twice changes nothing
