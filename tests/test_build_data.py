"""Tests of tools/build_data.py on a tiny source tree written by the tests,
and a check that the committed data is what the script makes of the real
sources. The compiled module is not needed: the script is imported by path.
"""

import importlib.machinery
import math
import os
import subprocess
import sys
import types
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
SCRIPT = ROOT / "tools" / "build_data.py"
PACKAGE_DATA = ROOT / "python" / "razoduviva" / "data"


def load_script(path, name):
    loader = importlib.machinery.SourceFileLoader(name, str(path))
    module = types.ModuleType(name)
    module.__file__ = str(path)
    loader.exec_module(module)
    return module


bd = load_script(SCRIPT, "build_data_under_test")


# ---------------------------------------------------------------------------
# A tiny source tree.

def _iob2(sentences):
    """sentences: lists of (word, entity label)."""
    out = []
    for i, sentence in enumerate(sentences, 1):
        out.append("# sent_id = s%d" % i)
        out.append("# text = " + "".join(w for w, _ in sentence))
        for j, (w, tag) in enumerate(sentence, 1):
            out.append("%d\t%s\t%s\t-\t-" % (j, w, tag))
        out.append("")
    return "\n".join(out) + "\n"


def _conllu(sentences):
    """sentences: lists of (word, upos, xpos)."""
    out = []
    for i, sentence in enumerate(sentences, 1):
        out.append("# sent_id = d%d" % i)
        out.append("# text = " + "".join(w for w, _, _ in sentence))
        for j, (w, upos, xpos) in enumerate(sentence, 1):
            out.append("\t".join([str(j), w, w, upos, xpos, "_", "0", "root", "_",
                                  "SpaceAfter=No"]))
        out.append("")
    return "\n".join(out) + "\n"


O = "O"
TRAIN = [
    [("北京", "B-LOC"), ("市", O), ("是", O), ("中国", "B-LOC"), ("的", O), ("首都", O), ("。", O)],
    [("毛", "B-PER"), ("泽东", "I-PER"), ("作", O), ("为", O), ("领袖", O), ("，", O), ("2008", O), ("年", O)],
    [("北京", "B-LOC"), ("的", O), ("人", O), ("很", O), ("多", O), ("。", O)],
    [("作", O), ("为", O), ("学生", O), ("，", O), ("作为", O), ("人", O), ("。", O)],
    [("作", O), ("为", O), ("中国", "B-LOC"), ("人", O), ("。", O)],
]
DEV = [[("北京", "PROPN", "NNP"), ("的", "PART", "DEC"), ("学生", "NOUN", "NN"), ("。", "PUNCT", ".")]]
DEV_NER = [[("北京", "B-LOC"), ("的", O), ("学生", O), ("。", O)]]
TRAIN_TRADITIONAL = [
    [("北京", "B-LOC"), ("市", O), ("是", O), ("中國", "B-LOC"), ("的", O), ("首都", O), ("。", O)],
    [("毛", "B-PER"), ("澤東", "I-PER"), ("作", O), ("為", O), ("領袖", O), ("，", O), ("2008", O), ("年", O)],
    [("北京", "B-LOC"), ("的", O), ("人", O), ("很", O), ("多", O), ("。", O)],
    [("作", O), ("為", O), ("學生", O), ("，", O), ("作為", O), ("人", O), ("。", O)],
    [("作", O), ("為", O), ("中國", "B-LOC"), ("人", O), ("。", O)],
]
# THUOCL: list -> [(word, document frequency)]
THUOCL = {
    "caijing": [("发展", 300), ("中国", 200), ("学生", 100), ("经济", 40), ("上海", 20)],
    "diming": [("北京", 60), ("北京市", 50), ("上海", 30)],
    "lishimingren": [("毛泽东", 20), ("孙中山", 10), ("普京", 5)],
    "chengyu": [("一心一意", 7)],
}
NGRAMS = [("的", 5000), ("是", 2000), ("中国", 400), ("北京", 200), ("经济", 150), ("the", 90)]
NGRAMS_POS = [("的_PRT", 4900), ("是_VERB", 1900), ("经济_NOUN", 150), ("中国_NOUN", 390)]
CEDICT = [
    ("經濟", "经济", "economy/CL:個|个[ge4]"),
    ("咖啡", "咖啡", "coffee/CL:杯[bei1]"),
    ("喝", "喝", "to drink"),
    ("開車", "开车", "to drive a car"),
    ("A股", "A股", "A-share"),
    ("500萬", "500万", "five million"),
]
WORDNET = [("06111111-n", "咖啡"), ("01111111-v", "喝"), ("02222222-a", "美丽")]
STOP_WORDS = ["的", "是", "的", "了"]


def write_sources(root):
    def put(rel, text, newline="\n"):
        path = root / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        with open(path, "w", encoding="utf-8", newline=newline) as f:
            f.write(text)

    put("uner-chinese-gsdsimp/zh_gsdsimp-ud-train.iob2", _iob2(TRAIN))
    put("uner-chinese-gsdsimp/zh_gsdsimp-ud-dev.iob2", _iob2(DEV_NER))
    put("ud-chinese-gsdsimp/zh_gsdsimp-ud-dev.conllu", _conllu(DEV))
    put("uner-chinese-gsd/zh_gsd-ud-train.iob2", _iob2(TRAIN_TRADITIONAL))
    for name in bd.THUOCL_LISTS:
        rows = "".join("%s\t%d\n" % row for row in THUOCL.get(name, []))
        put("thuocl/data/THUOCL_%s.txt" % name, rows)
    # one list with old Mac line ends and a byte-order mark, as in the real data
    put("thuocl/data/THUOCL_diming.txt",
        "\ufeff" + "".join("%s\t%d\r" % row for row in THUOCL["diming"]), newline="")
    put("google-books-ngram-zh/more/1grams_chinese_simplified_1a_no_pos.csv",
        "ngram,freq\n" + "".join("%s,%d\n" % row for row in NGRAMS))
    put("google-books-ngram-zh/more/1grams_chinese_simplified_1b_with_pos.csv",
        "ngram,freq\n" + "".join("%s,%d\n" % row for row in NGRAMS_POS))
    put("google-books-ngram-zh/1grams_chinese_simplified.csv",
        "ngram,freq,cumshare,en\n" + "".join("%s,%d,0,x\n" % row for row in NGRAMS))
    put("cc-cedict/cedict_ts.u8", "# CC-CEDICT\n" + "".join(
        "%s %s [x] /%s/\n" % row for row in CEDICT))
    put("chinese-open-wordnet/wn-data-cmn.tab", "# COW\tcmn\n" + "".join(
        "%s\tcmn:lemma\t%s\n" % row for row in WORDNET))
    put("chinese-open-wordnet/wn-wikt-cmn.tab", "# Wiktionary\tcmn\n")
    put("stopwords-iso-zh/stopwords-zh.txt", "\n".join(STOP_WORDS))
    return root


@pytest.fixture(scope="module")
def sources(tmp_path_factory):
    return write_sources(tmp_path_factory.mktemp("sources"))


@pytest.fixture(scope="module")
def built(sources, tmp_path_factory):
    """variant -> {key: path} of the four files built from the fixture."""
    out = {}
    for variant in bd.VARIANTS:
        out[variant] = bd.build(str(sources), str(tmp_path_factory.mktemp(variant)), variant)
    return out


def read_dict(path):
    """{word: (frequency, tag)}, checking the loader's line format."""
    data = Path(path).read_bytes().decode("utf-8")
    assert data.endswith("\n") and data.strip(), "non-empty, last line ended"
    entries = {}
    previous = ""
    for line in data[:-1].split("\n"):
        cols = line.split(" ")
        assert len(cols) == 3 and all(cols), "three columns, single spaces: %r" % line
        assert cols[1].isdigit() and int(cols[1]) >= 1
        assert cols[0] > previous, "sorted, one line per word"
        previous = cols[0]
        entries[cols[0]] = (int(cols[1]), cols[2])
    return entries


def read_hmm(path):
    """(start, trans, emit) parsed with the model loader's rules."""
    lines = []
    for raw in Path(path).read_text(encoding="utf-8").split("\n"):
        line = raw.strip(" \t\r\n\v\f")
        if line and not line.startswith("#"):
            lines.append(line)
    assert len(lines) == 9
    numbers = []
    for line in lines[:5]:
        fields = line.split(" ")
        assert len(fields) == 4, line
        numbers.append([float(x) for x in fields])
    emit = []
    for line in lines[5:]:
        table = {}
        for entry in line.split(","):
            parts = entry.split(":")
            assert len(parts) == 2 and len(parts[0]) == 1, entry
            assert parts[0] not in table
            table[parts[0]] = float(parts[1])
        emit.append(table)
    return numbers[0], numbers[1:], emit


def prob_sum(logs):
    return sum(math.exp(x) for x in logs if x > -1e99)


# ---------------------------------------------------------------------------
# Counts.

def test_train_only_dictionary_is_the_corpus_counts(built):
    entries = read_dict(built["train-only"]["dict"])
    words = [w for s in TRAIN for w, _ in s]
    counted = {w: words.count(w) for w in words if w != "2008"}
    assert set(entries) == set(counted)
    total = sum(counted.values())
    for w, n in counted.items():
        assert entries[w][0] == round(n / total * bd.OUTPUT_SCALE), w


def test_dev_words_count_only_in_the_full_variant(built):
    full = read_dict(built["full"]["dict"])
    without = read_dict(built["without-dev"]["dict"])
    # "。": 4 times in train and once in dev; 首都: once in train; neither
    # has an external number
    assert full["。"][0] / full["首都"][0] == pytest.approx(5, rel=1e-4)
    assert without["。"][0] / without["首都"][0] == pytest.approx(4, rel=1e-4)


def test_tags_come_from_the_treebank_first(built):
    full = read_dict(built["full"]["dict"])
    assert full["北京"][1] == "ns"  # NNP inside a LOC entity (dev)
    assert full["的"][1] == "u"  # DEC in dev, PRT in the n-grams
    assert full["喝"][1] == "v"  # wordnet and CC-CEDICT
    assert full["一心一意"][1] == "i"  # THUOCL idiom list
    assert full["，"][1] == "w"  # punctuation, whatever the sources say
    assert full["首都"][1] == "x"  # nothing known


# ---------------------------------------------------------------------------
# Calibration.

def test_calibrate_is_the_ratio_of_sums_over_the_source_words():
    corpus = {"a": 10, "b": 5, "z": 1000}
    source = {"a": 100, "b": 50, "c": 30}
    assert bd.calibrate(corpus, source) == pytest.approx(15 / 180)
    assert bd.calibrate(corpus, {}) == 0.0


def test_external_words_get_their_scaled_numbers(sources):
    corpus = bd.load_corpus(str(sources), with_dev=False)
    entries = bd.build_dictionary(corpus, bd.read_sources(str(sources)))
    counts = corpus.counts()
    ngram_scale = sum(counts.get(w, 0) for w, _ in NGRAMS) / sum(n for w, n in NGRAMS if w != "the")
    caijing = dict(THUOCL["caijing"])
    caijing_scale = sum(counts.get(w, 0) for w in caijing) / sum(caijing.values())
    # 经济: not in the corpus, in the n-grams and one THUOCL list: the mean
    assert entries["经济"][0] == pytest.approx((150 * ngram_scale + 40 * caijing_scale) / 2)
    # 中国: corpus count plus the mean of its scaled numbers
    diming = dict(THUOCL["diming"])
    assert "中国" not in diming
    assert entries["中国"][0] == pytest.approx(2 + (400 * ngram_scale + 200 * caijing_scale) / 2)
    # a word only a plain list knows gets the floor
    assert entries["咖啡"][0] == bd.LIST_ONLY_FREQ


# ---------------------------------------------------------------------------
# Which words enter.

@pytest.mark.parametrize("word, ok", [
    ("中国", True), ("A股", True), ("、", True), ("……", True),
    ("abc", False), ("2008", False), ("500万", False), ("C++编程", False),
    ("乔治·华盛顿", False), ("中 国", False), ("中\u3000国", False), ("", False),
])
def test_clean_word(word, ok):
    assert bd.clean_word(word) is ok


def test_words_are_trimmed_to_the_treebank_boundaries(built):
    full = read_dict(built["full"]["dict"])
    # composed of corpus words: 北京 + 市 (市 stands alone in the corpus)
    assert "北京市" not in full and "上海" in full
    # the corpus shows 作为 split 3 times and whole once
    assert "作为" not in full and "作" in full
    # the treebank writes 毛 apart from 泽东; the list's full name goes and
    # the given name stays (a one-character given name is dropped)
    assert "毛泽东" not in full and "泽东" in full
    assert "孙中山" in full
    assert "普京" in full
    # ASCII words and words with ASCII digits never enter
    assert "the" not in full and "500万" not in full and "2008" not in full
    assert "A股" in full


def test_traditional_forms_share_the_simplified_entry(built):
    full = read_dict(built["full"]["dict"])
    assert full["中國"] == full["中国"]  # from the aligned traditional train
    assert full["經濟"] == full["经济"]  # from CC-CEDICT
    assert full["學生"] == full["学生"]
    assert "為" in full


# ---------------------------------------------------------------------------
# The HMM.

def test_hmm_probabilities_sum_to_one(built):
    for variant in bd.VARIANTS:
        start, trans, emit = read_hmm(built[variant]["hmm"])
        assert prob_sum(start) == pytest.approx(1, abs=1e-5)
        for row in trans:
            assert prob_sum(row) == pytest.approx(1, abs=1e-5)
        for table in emit:
            assert prob_sum(table.values()) == pytest.approx(1, abs=1e-5)


def test_hmm_forbids_impossible_moves(built):
    start, trans, _ = read_hmm(built["full"]["hmm"])
    floor = -3.14e100
    assert start[1] == floor and start[2] == floor  # no word starts in E or M
    B, E, M, S = range(4)
    for a, b in [(B, B), (B, S), (E, E), (E, M), (M, B), (M, S), (S, E), (S, M)]:
        assert trans[a][b] == floor, (a, b)


def test_hmm_counts_and_smoothing(built):
    start, trans, emit = read_hmm(built["train-only"]["hmm"])
    B, E, M, S = range(4)
    # 首 is seen once, as B (首都); an unseen ideograph gets the same small
    # value in every state as any other unseen one, and ASCII is never listed
    assert emit[B]["首"] > emit[S]["首"]
    assert emit[S]["的"] > emit[B]["的"]
    unseen = "\u9f98"
    assert all(unseen in table for table in emit)
    assert all("2" not in table and "a" not in table for table in emit)
    # runs restart after ASCII words and separators: the run that follows
    # "2008" starts with 年 (S); every run starts with B or S
    assert start[S] > start[B]


def test_traditional_characters_borrow_emissions(built):
    _, _, emit = read_hmm(built["full"]["hmm"])
    for table in emit:
        # 國 never occurs in the corpus; it decodes like 国
        assert table["國"] == table["国"]


# ---------------------------------------------------------------------------
# Idf and stop words.

def test_idf_is_log_documents_over_document_frequency(built):
    rows = {}
    for line in Path(built["full"]["idf"]).read_text(encoding="utf-8").splitlines():
        word, value = line.split(" ")
        rows[word] = float(value)
    sina, sogou = bd.THUOCL_DOCUMENTS["sina"], bd.THUOCL_DOCUMENTS["sogou"]
    assert rows["发展"] == pytest.approx(math.log(sina / 300), abs=1e-6)
    assert rows["北京"] == pytest.approx(math.log(sogou / 60), abs=1e-6)
    # a word in two lists gets the mean
    assert rows["上海"] == pytest.approx(
        (math.log(sina / 20) + math.log(sogou / 30)) / 2, abs=1e-6)


def test_stop_words_once_each_in_order(built):
    data = Path(built["full"]["stop_words"]).read_bytes().decode("utf-8")
    assert data == "的\n是\n了\n"


def test_traditional_stop_words_follow_the_list():
    cedict = [("這個", "这个", []), ("個", "个", []), ("箇", "个", []), ("個", "个", []),
              ("的", "的", []), ("了", "了", []), ("瞭", "了", []), ("沒有", "没有", [])]
    t2s = {"這": "这", "們": "们", "沒": "没", "個": "个", "瞭": "了", "麼": "么", "麽": "么"}
    words = ["这个", "个", "的", "我们", "没有", "这么", "为了", "除了", "這個"]
    assert bd.traditional_stop_words(words, cedict, t2s) == [
        "個", "箇",  # 个: every traditional headword, once each, in file order
        "我們",      # not in CC-CEDICT: converted character by character
        "沒有",
        # 这个: 這個 is in the list already; 的: written alike; 这么: 么 has
        # two forms; 为了 and 除了: 了 also stays 了 in traditional script
    ]


def test_stop_words_file_adds_the_traditional_forms(sources, tmp_path, monkeypatch):
    monkeypatch.setattr(bd, "read_stop_words", lambda root: ["经济", "开车", "的"])
    assert bd.build_stop_words(str(sources)) == ["经济", "开车", "的", "經濟", "開車"]


# ---------------------------------------------------------------------------
# The demo's sample.

def test_sample_is_every_nth_short_train_sentence(sources, monkeypatch):
    monkeypatch.setattr(bd, "SAMPLE_STEP", 2)
    monkeypatch.setattr(bd, "SAMPLE_MAX_CHARS", 7)
    # sentences 0, 2 and 4; the first has 10 characters
    assert bd.build_sample(str(sources)) == ["北京的人很多。", "作为中国人。"]


def test_sample_file_holds_the_sentences_as_written(built):
    data = Path(built["full"]["sample"]).read_bytes().decode("utf-8")
    assert data == "北京市是中国的首都。\n"


def test_sentence_texts_keep_their_blanks(tmp_path):
    path = tmp_path / "s.iob2"
    path.write_text("# text = 在 Apple 公司\n1\t在\tO\n2\tApple\tB-ORG\n3\t公司\tO\n\n"
                    "1\t没有\tO\n2\t注释\tO\n", encoding="utf-8")
    assert bd.read_texts(str(path)) == ["在 Apple 公司", "没有注释"]


# ---------------------------------------------------------------------------
# Determinism.

def test_two_runs_give_the_same_bytes(sources, tmp_path):
    outs = []
    for seed in ("1", "2"):
        out = tmp_path / ("run" + seed)
        env = dict(os.environ, PYTHONHASHSEED=seed)
        subprocess.run([sys.executable, str(SCRIPT), "--source", str(sources), "--out", str(out)],
                       check=True, env=env, capture_output=True)
        outs.append(out)
    for name in bd.FILES.values():
        assert (outs[0] / name).read_bytes() == (outs[1] / name).read_bytes(), name


# ---------------------------------------------------------------------------
# The committed data.

def _real_sources():
    env = os.environ.get("RAZODUVIVA_DATA_SOURCES")
    if env:
        return Path(env)
    for folder in [ROOT] + list(ROOT.parents):
        candidate = folder.parent / "shared" / "data"
        if candidate.is_dir():
            return candidate
    return None


def test_committed_data_is_what_the_script_builds(tmp_path):
    source = _real_sources()
    if source is None or not (source / "uner-chinese-gsdsimp").is_dir():
        pytest.skip("data sources not found: set RAZODUVIVA_DATA_SOURCES to the "
                    "shared/data folder to check the committed data")
    paths = bd.build(str(source), str(tmp_path), "full")
    for key, path in sorted(paths.items()):
        committed = PACKAGE_DATA / bd.FILES[key]
        assert committed.read_bytes() == Path(path).read_bytes(), (
            "%s differs from tools/build_data.py's output; rebuild with "
            "python tools/build_data.py" % committed)
