"""The traditional-to-simplified character table, built from CC-CEDICT.

Used by tools/gen_fold_tables.py (the table compiled into the fold) and by
tools/build_data.py (the traditional forms of the stop words). Standard
library only; the same sources always give the same table.

The rule, step by step:

1. Pairs from the single-character entries whose traditional and simplified
   headwords differ.
2. A traditional character with several simplified candidates gets the one
   most used in simplified writing (its occurrences summed over the words of
   the Google Books simplified 1-gram list), then the one that CC-CEDICT's
   entries, aligned position by position, give it most often, then the one
   of the earliest entry.
3. Traditional characters that no single-character entry maps get their most
   frequent image in the multi-character entries aligned position by
   position (equal lengths only; ties: the lowest code point).
4. Safety: a pair is dropped when its traditional character occurs in the
   1-gram list (the 10,000 most frequent simplified words): such a character
   is also ordinary simplified writing (份, 著), and mapping it would change
   simplified text.
5. Chains are closed: when a pair's simplified character is itself mapped
   (瀋 -> 沈 -> 沉), the traditional character takes the end of the chain, so
   that folding twice gives what folding once gives, and all three
   characters fold alike.
"""

import collections
import csv
import os
import re

CEDICT = ("cc-cedict", "cedict_ts.u8")
UNIGRAMS = ("google-books-ngram-zh", "1grams_chinese_simplified.csv")

_ENTRY = re.compile(r"^(\S+) (\S+) \[")


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


def read_headwords(root):
    """CC-CEDICT's (traditional, simplified) headwords, in file order."""
    entries = []
    with open(os.path.join(root, *CEDICT), encoding="utf-8") as f:
        for line in f:
            if line.startswith("#"):
                continue
            found = _ENTRY.match(line)
            if found:
                entries.append((found.group(1), found.group(2)))
    return entries


def read_simplified_usage(root):
    """Character -> occurrences, summed over the words of the 1-gram list."""
    usage = collections.Counter()
    with open(os.path.join(root, *UNIGRAMS), encoding="utf-8", newline="") as f:
        for row in csv.DictReader(f):
            for ch in row["ngram"]:
                usage[ch] += int(row["freq"])
    return usage


def build(entries, usage):
    """{traditional character: simplified character} and a dict of counts
    that tell how each step went."""
    single = {}  # traditional -> its simplified candidates, in file order
    for trad, simp in entries:
        if len(trad) == 1 and len(simp) == 1 and trad != simp:
            candidates = single.setdefault(trad, [])
            if simp not in candidates:
                candidates.append(simp)
    aligned = collections.defaultdict(collections.Counter)  # every entry
    multi = collections.defaultdict(collections.Counter)  # multi-character entries
    for trad, simp in entries:
        if len(trad) != len(simp):
            continue
        for a, b in zip(trad, simp):
            if a != b:
                aligned[a][b] += 1
                if len(trad) > 1:
                    multi[a][b] += 1

    table = {}
    for trad, candidates in single.items():
        counts = aligned[trad]
        table[trad] = max(candidates,
                          key=lambda c: (usage.get(c, 0), counts[c], -candidates.index(c)))
    from_multi = {}
    for trad, counts in multi.items():
        if trad not in table:
            from_multi[trad] = max(counts, key=lambda c: (counts[c], -ord(c)))
    table.update(from_multi)
    dropped = sorted(t for t in table if t in usage)
    for trad in dropped:
        del table[trad]

    chained = []
    for trad in sorted(table):
        end, seen = table[trad], {trad}
        while end in table and end not in seen:
            seen.add(end)
            end = table[end]
        if end in seen:
            raise ValueError("the table maps %s in a cycle" % trad)
        if end != table[trad]:
            chained.append((trad, table[trad], end))
            table[trad] = end
    facts = {
        "single_pairs": sum(len(c) for c in single.values()),
        "ambiguous": sum(1 for c in single.values() if len(c) > 1),
        "from_multi": len(from_multi),
        "dropped": "".join(dropped),
        "chained": chained,
        "pairs": len(table),
    }
    return table, facts


def t2s_table(root=None):
    """The table of the sources under `root` (default: default_source())."""
    root = root or default_source()
    return build(read_headwords(root), read_simplified_usage(root))
