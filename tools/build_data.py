#!/usr/bin/env python3
"""Build the segmentation data that ships with razoduviva.

Reads openly licensed Chinese sources (python/razoduviva/data/NOTICE lists
them) and writes five files into the package:

  dict.txt        main dictionary, one "word frequency tag" line per word
  hmm_model.txt   B/E/M/S start, transition and emission log-probabilities
  idf.txt         one "word idf" line per word
  stop_words.txt  one stop word per line, in simplified and traditional script
  sample.txt      a few hundred GSDSimp train sentences, one per line, for
                  `python -m razoduviva demo`

Usage:
  python tools/build_data.py [--source DIR] [--out DIR] [--without-dev | --train-only]

The sources are found with --source, else $RAZODUVIVA_DATA_SOURCES, else the
nearest shared/data folder beside the repository or one of its parents.

The output is a pure function of the sources: every table is sorted before it
is written, sums run in a fixed order and numbers are printed with fixed
formats, so two runs give the same bytes. Only the standard library is used.

The recipe (constants below; tuned on the GSDSimp dev set only):

Words and frequencies
  * Word counts come from the segmented GSDSimp treebank: the train split,
    and the dev split unless --without-dev. The test splits are never read.
  * The dictionary is widened with THUOCL, the Google Books 1-grams,
    CC-CEDICT and the Chinese Open Wordnet lemmas. A source with numbers
    (n-gram counts, THUOCL document frequencies; each THUOCL list on its own)
    is put on the corpus scale by one factor: the sum of the corpus counts of
    the source's words divided by the sum of the source's numbers for them,
    the maximum-likelihood factor if corpus counts were Poisson draws around
    the scaled numbers. A word's frequency is its corpus count plus the mean
    of its scaled external numbers; a word that only a plain word list knows
    gets LIST_ONLY_FREQ.
  * Frequencies are written per hundred million words, rounded to integers
    (at least 1), so a user dictionary can use the same scale.

Following the treebank's word boundaries
  The treebank cuts finely ("北京 市", "法国 人", "毛 泽东"), and a
  maximum-probability cut always prefers one dictionary word to two, so
  the word lists are trimmed to the treebank's habits:
  * an external word that the corpus text shows as two or more words is
    left out;
  * an external word that can be written as two or more known words is left
    out (Composer: pieces are multi-character words and the characters the
    treebank often uses alone);
  * a corpus word that the corpus more often shows split than whole is left
    out ("作为" is "作 为" 43 times, whole once);
  * names from the person-name list lose the surnames the treebank writes
    apart; the given name stays as a word.

Tags (the set is TAGS below)
  * Punctuation is "w". Otherwise the first source that knows the word: the
    treebank's own tags (XPOS of dev, and of train through the 2016 GSD
    train file; proper nouns typed by the NER layer), THUOCL's person,
    place, idiom and verse lists, the n-gram POS, the wordnet POS, hints in
    CC-CEDICT's glosses, THUOCL's other lists (nouns); else "x".

HMM
  * Counted from the treebank words (B/E/M/S labels) in runs of non-ASCII
    words between separators, as the segmenter hands them to the decoder.
  * Each dictionary word outside the corpus adds its character labels to the
    emission counts and LEXICON_TRANS_WEIGHT to the transitions inside a
    word, so that names and other rare words of several characters decode.
  * Emissions are smoothed (add EMIT_ALPHA) over every character of the
    dictionary and the CJK Unified Ideographs block, so characters never seen
    in the corpus still decode.

Traditional script
  * Traditional forms of the dictionary words (from the GSD traditional
    train split aligned with GSDSimp, from CC-CEDICT, else character by
    character) are added with the frequency of their simplified word, and
    traditional characters share the emission counts of their simplified
    character.

Stop words
  * The stopwords-iso list (simplified), in its order, then the traditional
    forms of its words that it does not hold yet, so that text cut without
    folding traditional characters still loses its stop words: the
    traditional headwords of the CC-CEDICT entries whose simplified
    headword is the stop word; for a word CC-CEDICT does not list, the word
    converted character by character with the inverse of the fold's
    character table (tools/t2s_table.py), when every character has at most
    one traditional form.
"""

import argparse
import collections
import csv
import math
import os
import sys
import unicodedata

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import t2s_table  # noqa: E402  (tools/t2s_table.py)

# ---------------------------------------------------------------------------
# The recipe's constants.

# Corpus-scale frequency of a word that only a plain word list (CC-CEDICT,
# the wordnet lemmas) knows.
LIST_ONLY_FREQ = 0.5
# A character is a Composer piece when the treebank uses it alone at least
# this share of its occurrences.
SINGLE_RATIO = 0.06
# A corpus word is left out when the corpus shows it split more than this
# many times its whole count.
SPLIT_MAJORITY = 1.0
# Pseudo-occurrences of each dictionary word outside the corpus in the HMM
# emission counts, and in the transition counts inside a word.
LEXICON_EMIT_WEIGHT = 1.0
LEXICON_TRANS_WEIGHT = 0.3
# Emission smoothing: pseudo-count per character and state.
EMIT_ALPHA = 0.01
# Add traditional forms of the dictionary words and characters.
TRADITIONAL = True
# The demo's sample: every SAMPLE_STEP-th GSDSimp train sentence that has at
# most SAMPLE_MAX_CHARS characters (short enough to read on one line).
SAMPLE_STEP = 10
SAMPLE_MAX_CHARS = 60
# The dictionary's frequencies are occurrences per this many words.
OUTPUT_SCALE = 1e8

SCORE_FLOOR_TEXT = "-3.14e+100"

# ---------------------------------------------------------------------------
# The tag set written into the dictionary. Small on purpose; the segmenter's
# own class tags "m", "eng" and "x" keep their meaning.
TAGS = {
    "n": "common noun",
    "nr": "person name",
    "ns": "place name",
    "nt": "organisation name",
    "nz": "other proper noun",
    "v": "verb (copula, existential and modal verbs included)",
    "a": "adjective",
    "d": "adverb",
    "m": "numeral",
    "q": "measure word, classifier",
    "r": "pronoun, determiner",
    "p": "preposition (and the passive marker)",
    "c": "conjunction",
    "u": "particle (structural, aspect, sentence-final)",
    "k": "suffix",
    "h": "prefix",
    "e": "interjection",
    "i": "idiom (chengyu)",
    "l": "set phrase, verse line",
    "w": "punctuation, symbol",
    "x": "unknown",
}
DEFAULT_TAG = "x"

# Treebank XPOS (the Chinese treebank tag set as GSD uses it).
XPOS_TAGS = {
    "NN": "n", "NNP": "nz", "NNB": "q", "VV": "v", "VC": "v", "VE": "v",
    "MD": "v", "JJ": "a", "RB": "d", "CD": "m", "OD": "m", "PRP": "r",
    "PRD": "r", "WP": "r", "DT": "r", "IN": "p", "BB": "p", "CC": "c",
    "DEC": "u", "DEV": "u", "AS": "u", "SFN": "k", "SFV": "k", "SFA": "k",
    "PFA": "h", "PFN": "h", "UH": "e", "FW": "x", "XX": "x", "LS": "x",
    "ADD": "x", ",": "w", ".": "w", ":": "w", "(": "w", ")": "w", "``": "w",
    "''": "w", "EC": "w", "HYPH": "w", "/": "w", "...": "w", '"': "w",
}
# Universal POS, when a treebank word has no known XPOS.
UPOS_TAGS = {
    "NOUN": "n", "PROPN": "nz", "VERB": "v", "AUX": "v", "ADJ": "a",
    "ADV": "d", "NUM": "m", "PRON": "r", "DET": "r", "ADP": "p",
    "CCONJ": "c", "CONJ": "c", "SCONJ": "c", "PART": "u", "INTJ": "e",
    "PUNCT": "w", "SYM": "w", "X": "x",
}
# Named-entity types of the treebank's NER layer, for its proper nouns.
NER_TAGS = {"PER": "nr", "LOC": "ns", "ORG": "nt"}
# Google Books 1-gram POS (the n-gram corpus's universal tags).
NGRAM_TAGS = {
    "NOUN": "n", "VERB": "v", "ADJ": "a", "ADV": "d", "PRON": "r",
    "DET": "r", "ADP": "p", "NUM": "m", "CONJ": "c", "PRT": "u", "X": "x",
    ".": "w",
}
# Wordnet synset POS (s: adjective satellite).
WORDNET_TAGS = {"n": "n", "v": "v", "a": "a", "s": "a", "r": "d"}
# THUOCL lists: the corpus each list's document frequencies were counted in
# (its README), and the tag its words get when nothing better is known.
THUOCL_LISTS = {
    "IT": ("csdn", "n"),
    "animal": ("sogou", "n"),
    "caijing": ("sina", "n"),
    "car": ("sogou", "n"),
    "chengyu": ("sina", "i"),
    "diming": ("sogou", "ns"),
    "food": ("sogou", "n"),
    "law": ("sogou", "n"),
    "lishimingren": ("sina", "nr"),
    "medical": ("sina", "n"),
    "poem": ("sina", "l"),
}
PERSON_LIST = "lishimingren"
# Documents in the corpora THUOCL counted in, as its README states.
THUOCL_DOCUMENTS = {"csdn": 3785976, "sina": 8421097, "sogou": 729008561}

STATES = "BEMS"
# Runes the segmenter treats as separators; the decoder never sees them.
SEPARATORS = frozenset(" \t\n\uff0c\u3002")

# Files under the source root.
GSDSIMP_TRAIN = ("uner-chinese-gsdsimp", "zh_gsdsimp-ud-train.iob2")
GSDSIMP_DEV = ("ud-chinese-gsdsimp", "zh_gsdsimp-ud-dev.conllu")
GSDSIMP_DEV_NER = ("uner-chinese-gsdsimp", "zh_gsdsimp-ud-dev.iob2")
GSD_TRAIN_TRADITIONAL = ("uner-chinese-gsd", "zh_gsd-ud-train.iob2")
GSD_TRAIN_2016 = ("ud-chinese-gsd-v1.3-train", "zh-ud-train.conllu")


# ---------------------------------------------------------------------------
# Reading the sources.

def _read_text(path):
    # Some lists carry a byte-order mark or old Mac line ends; splitlines()
    # takes CR, LF and CRLF alike.
    with open(path, "rb") as f:
        return f.read().decode("utf-8-sig")


def _blocks(path):
    """Token lines of a CoNLL-like file, one list per sentence."""
    sentences, current = [], []
    for line in _read_text(path).splitlines():
        if not line.strip():
            if current:
                sentences.append(current)
                current = []
        elif not line.startswith("#"):
            cols = line.split("\t")
            # Multiword-token ranges ("1-2") and empty nodes ("1.1") are not
            # words.
            if cols[0].isdigit():
                current.append(cols)
    if current:
        sentences.append(current)
    return sentences


def read_conllu(path):
    """Sentences of a CoNLL-U file as lists of (form, upos, xpos)."""
    return [[(c[1], c[3], c[4]) for c in s if len(c) >= 5] for s in _blocks(path)]


def read_iob2(path):
    """Sentences of a UNER IOB2 file as lists of (form, entity tag)."""
    return [[(c[1], c[2]) for c in s if len(c) >= 3] for s in _blocks(path)]


def read_texts(path):
    """The text of each sentence of a CoNLL-like file, in order: its
    "# text = " comment (which keeps the blanks between words written
    apart), else its words joined."""
    texts = []
    text, words = None, []
    for line in _read_text(path).splitlines() + [""]:
        if not line.strip():
            if text is not None or words:
                texts.append(text if text is not None else "".join(words))
            text, words = None, []
        elif line.startswith("# text = "):
            text = line[len("# text = "):].strip()
        elif not line.startswith("#"):
            cols = line.split("\t")
            if cols[0].isdigit() and len(cols) > 1:
                words.append(cols[1])
    return texts


def read_thuocl(root):
    """{list name: {word: document frequency}}."""
    lists = {}
    for name in sorted(THUOCL_LISTS):
        path = os.path.join(root, "thuocl", "data", "THUOCL_%s.txt" % name)
        table = {}
        for line in _read_text(path).splitlines():
            cols = line.split("\t")
            if len(cols) != 2:
                continue
            word, df = cols[0].strip(), cols[1].strip()
            if word and df.isdigit():
                table[word] = max(table.get(word, 0), int(df))
        lists[name] = table
    return lists


def _read_csv_counts(path):
    rows = {}
    with open(path, encoding="utf-8", newline="") as f:
        reader = csv.reader(f)
        next(reader, None)
        for row in reader:
            if len(row) >= 2 and row[1].isdigit():
                rows[row[0]] = rows.get(row[0], 0) + int(row[1])
    return rows


def read_ngrams(root):
    """Google Books 1-grams: ({word: count}, {word: Counter of tags})."""
    base = os.path.join(root, "google-books-ngram-zh", "more")
    counts = _read_csv_counts(
        os.path.join(base, "1grams_chinese_simplified_1a_no_pos.csv"))
    pos = collections.defaultdict(collections.Counter)
    tagged = _read_csv_counts(
        os.path.join(base, "1grams_chinese_simplified_1b_with_pos.csv"))
    for key, n in tagged.items():
        word, _, tag = key.rpartition("_")
        if word and tag in NGRAM_TAGS:
            pos[word][NGRAM_TAGS[tag]] += n
    return counts, pos


def read_cedict(root):
    """CC-CEDICT: [(traditional, simplified, [senses])] in file order."""
    entries = []
    path = os.path.join(root, "cc-cedict", "cedict_ts.u8")
    for line in _read_text(path).splitlines():
        if not line or line.startswith("#"):
            continue
        head, _, rest = line.partition(" [")
        parts = head.split(" ")
        if len(parts) != 2:
            continue
        senses = [s for s in rest.partition("] ")[2].strip("/").split("/") if s]
        entries.append((parts[0], parts[1], senses))
    return entries


def read_wordnet(root):
    """Wordnet lemmas (COW and Wiktionary): {lemma: Counter of tags}."""
    lemmas = collections.defaultdict(collections.Counter)
    for name in ("wn-data-cmn.tab", "wn-wikt-cmn.tab"):
        path = os.path.join(root, "chinese-open-wordnet", name)
        for line in _read_text(path).splitlines():
            if line.startswith("#"):
                continue
            cols = line.split("\t")
            if len(cols) != 3 or cols[1] != "cmn:lemma":
                continue
            tag = WORDNET_TAGS.get(cols[0].rpartition("-")[2])
            if tag:
                lemmas[cols[2].strip()][tag] += 1
    return lemmas


def read_stop_words(root):
    """The stopwords-iso Chinese list, in its order, without repeats."""
    path = os.path.join(root, "stopwords-iso-zh", "stopwords-zh.txt")
    words, seen = [], set()
    for line in _read_text(path).splitlines():
        word = line.strip()
        if word and word not in seen:
            seen.add(word)
            words.append(word)
    return words


def traditional_stop_words(words, cedict, t2s):
    """The traditional forms of the stop words `words` that `words` does
    not hold, in the order of the words they come from.

    `cedict`: [(traditional, simplified, senses)]; `t2s`: {traditional
    character: simplified character}. A word that is a simplified headword
    of CC-CEDICT takes the traditional headwords of its entries (none when
    they are all written alike); any other word is converted character by
    character, unless a character has several traditional forms (itself
    among them when CC-CEDICT writes it unchanged in traditional script).
    """
    headwords = {}
    for trad, simp, _ in cedict:
        forms = headwords.setdefault(simp, [])
        if trad != simp and trad not in forms:
            forms.append(trad)
    # A character's traditional forms; one that CC-CEDICT also writes
    # unchanged in traditional script (了 beside 瞭) keeps itself as one.
    inverse = collections.defaultdict(list)
    for trad in sorted(t2s):
        inverse[t2s[trad]].append(trad)
    for trad, simp, _ in cedict:
        if trad == simp and len(simp) == 1 and simp in inverse and simp not in inverse[simp]:
            inverse[simp].append(simp)
    seen = set(words)
    added = []
    for word in words:
        forms = headwords.get(word)
        if forms is None:
            chars = [inverse.get(ch, [ch]) for ch in word]
            forms = ["".join(c[0] for c in chars)] if all(len(c) == 1 for c in chars) else []
        for form in forms:
            if form not in seen:
                seen.add(form)
                added.append(form)
    return added


def build_stop_words(root, cedict=None):
    """The stop words: the stopwords-iso list and the traditional forms."""
    words = read_stop_words(root)
    if cedict is None:
        cedict = read_cedict(root)
    t2s, _ = t2s_table.t2s_table(root)
    return words + traditional_stop_words(words, cedict, t2s)


def read_sources(root):
    return {
        "ngrams": read_ngrams(root),
        "thuocl": read_thuocl(root),
        "cedict": read_cedict(root),
        "wordnet": read_wordnet(root),
    }


# ---------------------------------------------------------------------------
# Words that may enter the dictionary.

def clean_word(word):
    """True when `word` may be a dictionary or idf entry.

    A line is split at every space, so no entry may hold white space (or a
    control or format character). Words made only of ASCII are left out:
    the segmenter keeps runs of ASCII letters and numbers whole by itself,
    and a dictionary entry could only cut such a run apart ("the" inside
    "theory"). For the same reason a word may hold ASCII letters but no
    ASCII digit or punctuation ("500万" would split "1500万"). Han words with
    punctuation inside ("乔治·华盛顿") are left out, because the treebank
    splits them at the punctuation; words made only of punctuation ("、",
    "……") stay.
    """
    if not word:
        return False
    ascii_only = True
    punct = 0
    for ch in word:
        cat = unicodedata.category(ch)
        if cat[0] in "ZC":
            return False
        if ord(ch) < 0x80:
            if not ch.isalpha():
                return False
        else:
            ascii_only = False
        if cat[0] in "PS":
            punct += 1
    return not ascii_only and punct in (0, len(word))


# ---------------------------------------------------------------------------
# The corpus.

class Corpus:
    """Segmented sentences, tag votes per word and the surnames seen."""

    def __init__(self):
        self.sentences = []  # lists of word forms
        self.tag_votes = collections.defaultdict(collections.Counter)
        # first words of person names written as several words ("毛 泽东")
        self.surnames = collections.Counter()

    def add(self, words, tags=None, entities=None):
        """One sentence: its words, a tag or None per word, and its IOB2
        entity labels (or None)."""
        self.sentences.append(list(words))
        for word, tag in zip(words, tags or ()):
            if tag:
                self.tag_votes[word][tag] += 1
        if entities:
            for i in range(len(words) - 1):
                if entities[i] == "B-PER" and entities[i + 1] == "I-PER":
                    self.surnames[words[i]] += 1

    def counts(self):
        return collections.Counter(w for s in self.sentences for w in s)


def _token_tag(xpos, upos, iob):
    tag = XPOS_TAGS.get(xpos) or UPOS_TAGS.get(upos)
    entity = iob[2:] if iob and iob[:2] in ("B-", "I-") else None
    if tag == "nz" and entity in NER_TAGS:
        tag = NER_TAGS[entity]
    return tag


def load_corpus(root, with_dev):
    """GSDSimp train (and dev) words with their tags.

    The train split comes from the UNER release (words and entities). Its
    part-of-speech tags are taken, token by token, from the 2016 GSD train
    file, which holds the same sentences in traditional script; a sentence
    lends its tags only when both files cut it into words of equal lengths.
    """
    corpus = Corpus()
    train = read_iob2(os.path.join(root, *GSDSIMP_TRAIN))
    old_path = os.path.join(root, *GSD_TRAIN_2016)
    old = read_conllu(old_path) if os.path.exists(old_path) else []
    for i, sentence in enumerate(train):
        words = [w for w, _ in sentence]
        iob = [t for _, t in sentence]
        tags = None
        if i < len(old) and [len(w) for w, _, _ in old[i]] == [len(w) for w in words]:
            tags = [_token_tag(x, u, e) for (_, u, x), e in zip(old[i], iob)]
        corpus.add(words, tags, iob)
    if with_dev:
        dev = read_conllu(os.path.join(root, *GSDSIMP_DEV))
        dev_ner = read_iob2(os.path.join(root, *GSDSIMP_DEV_NER))
        for i, sentence in enumerate(dev):
            words = [w for w, _, _ in sentence]
            iob = None
            if i < len(dev_ner) and [w for w, _ in dev_ner[i]] == words:
                iob = [t for _, t in dev_ner[i]]
            tags = [_token_tag(x, u, e)
                    for (_, u, x), e in zip(sentence, iob or [None] * len(words))]
            corpus.add(words, tags, iob)
    return corpus


# ---------------------------------------------------------------------------
# Following the treebank's word boundaries.

def split_counts(corpus, candidates):
    """{candidate: times the corpus text shows it as two or more words}.

    An occurrence counts when the candidate's string starts on a word
    boundary and ends on a later one with at least one boundary inside.
    """
    found = collections.Counter()
    if not candidates:
        return found
    max_len = max(len(w) for w in candidates)
    for words in corpus.sentences:
        text = "".join(words)
        bounds = [0]
        for w in words:
            bounds.append(bounds[-1] + len(w))
        for bi, start in enumerate(bounds[:-1]):
            for end in bounds[bi + 2:]:
                if end - start > max_len:
                    break
                if text[start:end] in candidates:
                    found[text[start:end]] += 1
    return found


class Composer:
    """Tells whether a word can be written as two or more known words.

    Pieces are the multi-character corpus words, any other multi-character
    words given, and the characters that the treebank uses as a word of
    their own in at least SINGLE_RATIO of their occurrences (so "咖啡",
    made of characters that never stand alone, is not composed).
    """

    def __init__(self, corpus_counts, other_words=()):
        alone = collections.Counter()
        inside = collections.Counter()
        for w, n in corpus_counts.items():
            if len(w) == 1:
                alone[w] += n
            for ch in w:
                inside[ch] += n
        self.pieces = {w for w in corpus_counts if len(w) > 1}
        self.pieces.update(w for w in other_words if len(w) > 1)
        self.pieces.update(ch for ch, n in alone.items()
                           if n >= SINGLE_RATIO * inside[ch])
        self.max_len = max((len(w) for w in self.pieces), default=1)

    def composed(self, word):
        n = len(word)
        reach = [False] * (n + 1)  # reach[i]: word[:i] is a run of pieces
        reach[0] = True
        for i in range(n):
            if not reach[i]:
                continue
            for j in range(i + 1, min(n, i + self.max_len) + 1):
                # the word itself is never one of its own pieces
                if j - i < n and word[i:j] in self.pieces:
                    reach[j] = True
        return reach[n]


def split_person_names(surnames, table):
    """A person-name list with the surnames cut off: {given name: value}.

    The treebank writes a Chinese name as two words, surname and given name
    ("毛 泽东"). A name that starts with a surname the treebank writes apart
    (the longer of a two- and a one-character match) and has a given name of
    one or two characters gives its value to the given name; a one-character
    given name is dropped. Other names (most foreign ones) stay whole.
    """
    out = {}
    for w, v in table.items():
        cut = 0
        for k in (2, 1):
            if len(w) - k in (1, 2) and w[:k] in surnames:
                cut = k
                break
        rest = w[cut:]
        if cut and len(rest) == 1:
            continue
        out[rest] = max(out.get(rest, 0), v)
    return out


# ---------------------------------------------------------------------------
# The dictionary.

def _majority(counter):
    # Most votes; ties go to the smallest key, for determinism.
    return min(counter.items(), key=lambda kv: (-kv[1], kv[0]))[0]


def cedict_tag(senses):
    """A tag from CC-CEDICT's English glosses, or None.

    Glosses "to ..." for at least half the senses mark a verb, a classifier
    note ("CL:...") a noun, and glosses that are all "surname ..." a name.
    """
    plain = [s for s in senses if not s.startswith("CL:")]
    if plain and all(s.startswith("surname ") for s in plain):
        return "nr"
    verbs = sum(1 for s in plain if s.startswith("to "))
    if verbs and 2 * verbs >= len(plain):
        return "v"
    if len(plain) < len(senses):
        return "n"
    return None


def calibrate(corpus_counts, values):
    """The factor that puts a source's `values` on the corpus-count scale.

    The sum of the corpus counts of the source's words over the sum of the
    source's values for them: the maximum-likelihood factor a if each corpus
    count were a Poisson draw with mean a * value.
    """
    total_values = sum(values.values())
    if total_values <= 0:
        return 0.0
    return sum(corpus_counts.get(w, 0) for w in values) / total_values


def build_dictionary(corpus, sources):
    """{word: (corpus-scale frequency, tag)}.

    With `sources` None the dictionary is the corpus alone.
    """
    counts = {w: n for w, n in corpus.counts().items() if clean_word(w)}
    tag_tables = [{w: _majority(v) for w, v in corpus.tag_votes.items()}]
    if sources is None:
        return _with_tags(counts, tag_tables)

    thuocl = dict(sources["thuocl"])
    surnames = {w for w in corpus.surnames if 0 < len(w) <= 2}
    thuocl[PERSON_LIST] = split_person_names(surnames, thuocl[PERSON_LIST])
    ngram_counts, ngram_pos = sources["ngrams"]
    numbered = [ngram_counts] + [thuocl[name] for name in sorted(thuocl)]
    estimates = collections.defaultdict(list)
    for table in numbered:
        table = {w: v for w, v in table.items() if clean_word(w)}
        scale = calibrate(counts, table)
        for w, v in table.items():
            estimates[w].append(scale * v)
    listed = set()
    for _trad, simp, _senses in sources["cedict"]:
        listed.add(simp)
    listed.update(sources["wordnet"])
    listed = {w for w in listed if clean_word(w)}

    # Word lists, trimmed to the treebank's boundaries.
    external = (set(estimates) | listed) - set(counts)
    external -= set(split_counts(corpus, {w for w in external if len(w) > 1}))
    composer = Composer(counts, external)
    external = {w for w in external if not composer.composed(w)}
    words = set(counts) | external
    multi = {w for w in counts if len(w) > 1}
    for w, n in split_counts(corpus, multi).items():
        if n > SPLIT_MAJORITY * counts[w]:
            words.discard(w)

    freqs = {}
    for w in sorted(words):
        f = counts.get(w, 0)
        if w in estimates:
            f += sum(estimates[w]) / len(estimates[w])
        elif w not in counts:
            f += LIST_ONLY_FREQ
        freqs[w] = f

    # Tags, best source first.
    tag_tables.append({w: THUOCL_LISTS[name][1]
                       for name in sorted(thuocl, reverse=True)
                       if THUOCL_LISTS[name][1] != "n"
                       for w in thuocl[name]})
    tag_tables.append({w: _majority(c) for w, c in ngram_pos.items()})
    tag_tables.append({w: _majority(c) for w, c in sources["wordnet"].items()})
    cedict_tags = {}
    for _trad, simp, senses in sources["cedict"]:
        tag = cedict_tag(senses)
        if tag:
            cedict_tags.setdefault(simp, tag)
    tag_tables.append(cedict_tags)
    tag_tables.append({w: "n" for name in thuocl for w in thuocl[name]})
    return _with_tags(freqs, tag_tables)


def _with_tags(freqs, tag_tables):
    out = {}
    for w in sorted(freqs):
        tag = DEFAULT_TAG
        if all(unicodedata.category(ch)[0] in "PS" for ch in w):
            out[w] = (freqs[w], "w")
            continue
        for table in tag_tables:
            if w in table:
                tag = table[w]
                break
        out[w] = (freqs[w], tag)
    return out


def scale_frequencies(entries):
    """[(word, integer frequency, tag)] sorted by word, per OUTPUT_SCALE."""
    total = sum(f for f, _ in (entries[w] for w in sorted(entries)))
    return [(w, max(1, int(round(entries[w][0] / total * OUTPUT_SCALE))), entries[w][1])
            for w in sorted(entries)]


# ---------------------------------------------------------------------------
# Traditional script.

class Traditional:
    """Simplified-to-traditional forms of words and characters.

    Word pairs come from the GSD traditional train split, which holds the
    GSDSimp train sentences word for word in traditional script, and from
    CC-CEDICT's headwords (not those it calls a variant of another word).
    Character pairs are voted by every word pair of equal length.
    """

    def __init__(self, root, cedict):
        self.word_forms = collections.defaultdict(list)
        char_votes = collections.defaultdict(collections.Counter)
        trad_votes = collections.defaultdict(collections.Counter)

        def pair(simp, trad):
            if len(simp) != len(trad):
                return
            if trad != simp and trad not in self.word_forms[simp]:
                self.word_forms[simp].append(trad)
            for s, t in zip(simp, trad):
                char_votes[s][t] += 1
                trad_votes[t][s] += 1

        path = os.path.join(root, *GSD_TRAIN_TRADITIONAL)
        simp_train = read_iob2(os.path.join(root, *GSDSIMP_TRAIN))
        trad_train = read_iob2(path) if os.path.exists(path) else []
        for s_sent, t_sent in zip(simp_train, trad_train):
            if [len(w) for w, _ in s_sent] == [len(w) for w, _ in t_sent]:
                for (s, _), (t, _) in zip(s_sent, t_sent):
                    pair(s, t)
        for trad, simp, senses in cedict:
            # "variant of ..." headwords are rare spellings ("昰" for "是")
            if not any("variant of" in sense for sense in senses):
                pair(simp, trad)
        self.char_form = {s: _majority(c) for s, c in char_votes.items()}
        # traditional character -> its simplified character
        self.simplified = {}
        for t, c in trad_votes.items():
            s = _majority(c)
            if s != t:
                self.simplified[t] = s

    def forms(self, word):
        """Traditional forms of a simplified word (without the word itself)."""
        if word in self.word_forms:
            return self.word_forms[word]
        trad = "".join(self.char_form.get(ch, ch) for ch in word)
        return [trad] if trad != word else []


def add_traditional(entries, traditional):
    """Adds the traditional forms of the entries, each with the frequency
    and tag of its simplified word; a form that is already a word keeps its
    own entry."""
    added = {}
    for w in sorted(entries):
        for t in traditional.forms(w):
            if t not in entries and t not in added and clean_word(t):
                added[t] = entries[w]
    out = dict(entries)
    out.update(added)
    return out


# ---------------------------------------------------------------------------
# The HMM.

def word_states(word):
    n = len(word)
    return "S" if n == 1 else "B" + "M" * (n - 2) + "E"


def hmm_runs(sentence):
    """Maximal runs of words that the decoder could see together.

    The segmenter decodes only non-ASCII characters between separators, so a
    run stops at a word that holds ASCII or a separator.
    """
    run = []
    for w in sentence:
        if w in SEPARATORS or any(ord(ch) < 0x80 for ch in w):
            if run:
                yield run
            run = []
        else:
            run.append(w)
    if run:
        yield run


def build_hmm(corpus, lexicon_words, chars, simplified=None):
    """(start, transitions, emissions) as natural-log probabilities.

    start and transitions are lists indexed by state (B, E, M, S) holding a
    log-probability or None for log 0; emissions maps each state to a sorted
    [(character, log-probability)] over `chars` (non-ASCII, without ',' and
    ':' which the model file cannot hold). `simplified` maps traditional
    characters to simplified ones whose counts they share.
    """
    start = collections.Counter()
    trans = collections.Counter()
    emit = {s: collections.Counter() for s in STATES}
    for sentence in corpus.sentences:
        for run in hmm_runs(sentence):
            labels = "".join(word_states(w) for w in run)
            start[labels[0]] += 1
            for a, b in zip(labels, labels[1:]):
                trans[a, b] += 1
            for ch, s in zip("".join(run), labels):
                emit[s][ch] += 1
    for w in lexicon_words:
        labels = word_states(w)
        for a, b in zip(labels, labels[1:]):
            trans[a, b] += LEXICON_TRANS_WEIGHT
        for ch, s in zip(w, labels):
            emit[s][ch] += LEXICON_EMIT_WEIGHT
    vocab = sorted(ch for ch in set(chars) if ord(ch) >= 0x80)
    simplified = simplified or {}

    def log(n, total):
        return math.log(n / total) if n > 0 else None

    # A row the counts never fill (with no word of three characters, M is
    # never left) is split evenly over the moves the labels allow, so that
    # every row is a distribution.
    if not any(start[s] for s in STATES):
        start.update({"B": 1, "S": 1})
    for a, allowed in zip(STATES, ("EM", "BS", "EM", "BS")):
        if not any(trans[a, b] for b in STATES):
            for b in allowed:
                trans[a, b] = 1
    start_total = sum(start[s] for s in STATES)
    start_lp = [log(start[s], start_total) for s in STATES]
    trans_lp = []
    for a in STATES:
        row_total = sum(trans[a, b] for b in STATES)
        trans_lp.append([log(trans[a, b], row_total) for b in STATES])
    emit_lp = {}
    # A traditional character the corpus never shows borrows the counts of
    # its simplified character.
    seen = set()
    for s in STATES:
        seen.update(emit[s])
    source = {ch: simplified[ch] if ch in simplified and ch not in seen else ch
              for ch in vocab}
    for s in STATES:
        counts = [emit[s][source[ch]] for ch in vocab]
        total = sum(counts) + EMIT_ALPHA * len(vocab)
        emit_lp[s] = [(ch, math.log((n + EMIT_ALPHA) / total))
                      for ch, n in zip(vocab, counts)]
    return start_lp, trans_lp, emit_lp


def cjk_block():
    """The CJK Unified Ideographs block, U+4E00 to U+9FFF."""
    return [chr(c) for c in range(0x4E00, 0xA000)]


# ---------------------------------------------------------------------------
# Idf.

def build_idf(thuocl):
    """[(word, idf)] sorted by word.

    idf = ln(N / df), N the number of documents of the corpus the list was
    counted in; a word in several lists gets the mean of its values.
    """
    values = collections.defaultdict(list)
    for name in sorted(thuocl):
        documents = THUOCL_DOCUMENTS[THUOCL_LISTS[name][0]]
        for w, df in thuocl[name].items():
            if clean_word(w) and 0 < df <= documents:
                values[w].append(math.log(documents / df))
    return [(w, sum(v) / len(v)) for w, v in sorted(values.items())]


# ---------------------------------------------------------------------------
# The demo's sample.

def build_sample(root):
    """Every SAMPLE_STEP-th GSDSimp train sentence of at most SAMPLE_MAX_CHARS
    characters, counting from the first; sentences holding no Han character
    are skipped."""
    texts = read_texts(os.path.join(root, *GSDSIMP_TRAIN))
    return [t for i, t in enumerate(texts)
            if i % SAMPLE_STEP == 0 and 0 < len(t) <= SAMPLE_MAX_CHARS
            and any("\u4e00" <= ch <= "\u9fff" for ch in t)]


# ---------------------------------------------------------------------------
# Writing.

def _number(x):
    return SCORE_FLOOR_TEXT if x is None else "%.6f" % x


def write_dictionary(path, entries):
    if not entries:
        raise ValueError("the dictionary would be empty")
    with open(path, "w", encoding="utf-8", newline="\n") as f:
        for word, freq, tag in entries:
            f.write("%s %d %s\n" % (word, freq, tag))


def write_hmm(path, model, note):
    start, trans, emit = model
    with open(path, "w", encoding="utf-8", newline="\n") as f:
        f.write("# Four-state HMM for word segmentation: B begins a word, E ends it,\n")
        f.write("# M is inside it, S is a one-character word. Natural logarithms;\n")
        f.write("# %s stands for log 0. %s\n" % (SCORE_FLOOR_TEXT, note))
        f.write("# start: B E M S\n")
        f.write(" ".join(_number(x) for x in start) + "\n")
        f.write("# transitions: rows from B, E, M, S; columns to B, E, M, S\n")
        for row in trans:
            f.write(" ".join(_number(x) for x in row) + "\n")
        for s in STATES:
            f.write("# emissions of %s\n" % s)
            f.write(",".join("%s:%.6f" % (ch, lp) for ch, lp in emit[s]) + "\n")


def write_idf(path, rows):
    with open(path, "w", encoding="utf-8", newline="\n") as f:
        for word, idf in rows:
            f.write("%s %.6f\n" % (word, idf))


def write_stop_words(path, words):
    with open(path, "w", encoding="utf-8", newline="\n") as f:
        for word in words:
            f.write(word + "\n")


def write_sample(path, sentences):
    with open(path, "w", encoding="utf-8", newline="\n") as f:
        for sentence in sentences:
            f.write(sentence + "\n")


# ---------------------------------------------------------------------------

FILES = {
    "dict": "dict.txt",
    "hmm": "hmm_model.txt",
    "idf": "idf.txt",
    "stop_words": "stop_words.txt",
    "sample": "sample.txt",
}
VARIANTS = ("full", "without-dev", "train-only")


def default_source():
    """$RAZODUVIVA_DATA_SOURCES, else the nearest shared/data folder beside
    the repository or one of its parents."""
    env = os.environ.get("RAZODUVIVA_DATA_SOURCES")
    if env:
        return env
    folder = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    while True:
        parent = os.path.dirname(folder)
        candidate = os.path.join(parent, "shared", "data")
        if os.path.isdir(candidate) or parent == folder:
            return candidate
        folder = parent


def default_out():
    here = os.path.dirname(os.path.abspath(__file__))
    return os.path.normpath(os.path.join(here, "..", "python", "razoduviva", "data"))


def build(root, out, variant="full"):
    """Writes the five files into `out`; returns {key: path}.

    variant "full" is the shipped recipe; "without-dev" leaves the GSDSimp
    dev sentences out, to evaluate on them; "train-only" is GSDSimp train
    alone with no other source and none of the trimming (the baseline).
    """
    if variant not in VARIANTS:
        raise ValueError("unknown variant %r" % variant)
    corpus = load_corpus(root, with_dev=variant == "full")
    widen = variant != "train-only"
    sources = read_sources(root) if widen else None
    entries = build_dictionary(corpus, sources)
    counts = corpus.counts()
    lexicon = [w for w in sorted(entries) if w not in counts] if widen else []
    simplified = None
    if widen and TRADITIONAL:
        traditional = Traditional(root, sources["cedict"])
        entries = add_traditional(entries, traditional)
        simplified = traditional.simplified
    chars = {ch for w in entries for ch in w} | {ch for w in counts for ch in w}
    chars.update(cjk_block())
    model = build_hmm(corpus, lexicon, chars, simplified)
    thuocl = sources["thuocl"] if widen else read_thuocl(root)
    os.makedirs(out, exist_ok=True)
    paths = {k: os.path.join(out, v) for k, v in FILES.items()}
    write_dictionary(paths["dict"], scale_frequencies(entries))
    write_hmm(paths["hmm"], model, "Built by tools/build_data.py (%s)." % variant)
    write_idf(paths["idf"], build_idf(thuocl))
    write_stop_words(paths["stop_words"],
                     build_stop_words(root, sources["cedict"] if sources else None))
    write_sample(paths["sample"], build_sample(root))
    return paths


def main(argv=None):
    parser = argparse.ArgumentParser(
        description="Build the bundled segmentation data from the open sources.")
    parser.add_argument("--source", default=None,
                        help="folder of the data sources (default: "
                             "$RAZODUVIVA_DATA_SOURCES or the nearest shared/data)")
    parser.add_argument("--out", default=default_out(),
                        help="folder to write the five files to (default: %(default)s)")
    group = parser.add_mutually_exclusive_group()
    group.add_argument("--without-dev", action="store_const", dest="variant",
                       const="without-dev",
                       help="leave the GSDSimp dev sentences out (to evaluate on them)")
    group.add_argument("--train-only", action="store_const", dest="variant",
                       const="train-only",
                       help="GSDSimp train alone, no other source (the baseline)")
    parser.set_defaults(variant="full")
    args = parser.parse_args(argv)
    source = args.source or default_source()
    if not os.path.isdir(source):
        parser.error("no source folder at %s" % source)
    paths = build(source, args.out, args.variant)
    for key in sorted(paths):
        print("%-10s %s (%d bytes)" % (key, paths[key], os.path.getsize(paths[key])))
    return 0


if __name__ == "__main__":
    sys.exit(main())
