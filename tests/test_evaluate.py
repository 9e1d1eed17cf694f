"""Tests of tools/evaluate.py (imported by path; no compiled module needed)."""

import importlib.machinery
import subprocess
import sys
import types
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
SCRIPT = ROOT / "tools" / "evaluate.py"

loader = importlib.machinery.SourceFileLoader("evaluate_under_test", str(SCRIPT))
ev = types.ModuleType(loader.name)
ev.__file__ = str(SCRIPT)
loader.exec_module(ev)

GOLD = """\
# sent_id = 1
# text = 北京市很大。
1\t北京\t_\tPROPN\tNNP\t_\t0\troot\t_\tSpaceAfter=No
2\t市\t_\tPART\tSFN\t_\t1\tdep\t_\tSpaceAfter=No
3\t很\t_\tADV\tRB\t_\t4\tadvmod\t_\tSpaceAfter=No
4\t大\t_\tADJ\tJJ\t_\t1\tdep\t_\tSpaceAfter=No
5\t。\t_\tPUNCT\t.\t_\t1\tpunct\t_\tSpaceAfter=No

# sent_id = 2
1-2\tab\t_\t_\t_\t_\t_\t_\t_\t_
1\ta\t_\tX\tFW\t_\t0\troot\t_\t_
2\tb\t_\tX\tFW\t_\t1\tdep\t_\tSpaceAfter=No
3\t好\t_\tADJ\tJJ\t_\t1\tdep\t_\tSpaceAfter=No
"""


@pytest.fixture
def gold_file(tmp_path):
    path = tmp_path / "gold.conllu"
    path.write_text(GOLD, encoding="utf-8")
    return path


def test_read_gold_takes_the_text_or_rebuilds_it(gold_file):
    sentences = ev.read_gold(str(gold_file))
    assert sentences == [
        ("北京市很大。", ["北京", "市", "很", "大", "。"]),
        # no "# text": forms joined with a space unless SpaceAfter=No;
        # the multiword range line is not a word
        ("a b好", ["a", "b", "好"]),
    ]


def test_scores_count_spans_and_oov(gold_file):
    sentences = ev.read_gold(str(gold_file))
    answers = {
        "北京市很大。": ["北京市", "很", "大", "。"],  # 3 of 4 right
        "a b好": ["a", " ", "b好"],  # the space is no word; 1 of 2 right
    }
    result = ev.score(sentences, answers.__getitem__, vocab={"北京", "很", "大", "。"})
    assert result["gold_words"] == 8
    assert result["predicted_words"] == 6
    assert result["correct"] == 4
    assert result["precision"] == pytest.approx(4 / 6)
    assert result["recall"] == pytest.approx(4 / 8)
    assert result["f1"] == pytest.approx(2 * (4 / 6) * (4 / 8) / (4 / 6 + 4 / 8))
    # out of the vocabulary: 市, a, b, 好; only a is found
    assert result["oov_words"] == 4
    assert result["oov_recall"] == pytest.approx(1 / 4)
    assert result["mismatched_sentences"] == 0


def test_lost_characters_are_reported(gold_file):
    sentences = ev.read_gold(str(gold_file))[:1]
    result = ev.score(sentences, lambda text: ["北京"])
    assert result["mismatched_sentences"] == 1
    assert result["correct"] == 1


def test_command_line_with_a_cutter_from_a_file(gold_file, tmp_path):
    cutter = tmp_path / "chars.py"
    cutter.write_text("def cut(text):\n    return list(text)\n", encoding="utf-8")
    run = subprocess.run(
        [sys.executable, str(SCRIPT), str(gold_file), "--cutter", "%s:cut" % cutter],
        check=True, capture_output=True, text=True)
    # one character per word: 市 很 大 。 a b 好 are right (7 of 8 gold, 9 cut)
    assert "precision  %.4f" % (7 / 9) in run.stdout
    assert "recall     %.4f" % (7 / 8) in run.stdout
    assert "oov recall" not in run.stdout  # no dictionary behind a plain cutter


def test_command_line_with_a_factory_gets_the_data_paths(gold_file, tmp_path):
    data = tmp_path / "data"
    data.mkdir()
    for name in ev.DATA_FILES.values():
        (data / name).write_text("很 5 d\n", encoding="utf-8")
    factory = tmp_path / "fake.py"
    factory.write_text(
        "class Fake:\n"
        "    def __init__(self, dict_path, hmm_path, user_dict_path, idf_path, stop_word_path):\n"
        "        assert user_dict_path == ''\n"
        "        self.words = [l.split(' ')[0] for l in open(dict_path, encoding='utf-8')]\n"
        "    def cut(self, text):\n"
        "        return list(text)\n", encoding="utf-8")
    run = subprocess.run(
        [sys.executable, str(SCRIPT), str(gold_file), "--data-dir", str(data),
         "--factory", "%s:Fake" % factory],
        check=True, capture_output=True, text=True)
    # gold words outside the one-word dictionary: all but 很 (7), of which
    # the character cut misses only 北京
    assert "oov recall %.4f (7 gold words" % (6 / 7) in run.stdout


def test_command_line_names_a_missing_data_file(gold_file, tmp_path):
    run = subprocess.run(
        [sys.executable, str(SCRIPT), str(gold_file), "--data-dir", str(tmp_path)],
        capture_output=True, text=True)
    assert run.returncode != 0
    assert "no file" in run.stderr and "Traceback" not in run.stderr
