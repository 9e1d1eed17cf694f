#!/usr/bin/env python3
"""Writes csrc/encoder/FoldTables.cpp, the tables of TextFold (NFKC, case
folding, traditional to simplified characters), and
tests/cpp/FoldDigests.inc, the checksums that tests/cpp/TextFoldTest.cpp
compares the compiled fold with.

Sources:
  * NFKC and case folding: the Unicode database of this Python
    (unicodedata.normalize, str.casefold).
  * Traditional to simplified: CC-CEDICT and the Google Books simplified
    1-gram list under the data folder (tools/t2s_table.py has the rule;
    --source or $RAZODUVIVA_DATA_SOURCES, else the nearest shared/data).

    python tools/gen_fold_tables.py            # rewrite both files
    python tools/gen_fold_tables.py --check    # compare, write nothing

--check exits with status 1 when a committed file is not what this script
makes of this Python's database and the data (or was made from another
Unicode version). Standard library only; the same inputs give the same bytes.

The checksums: for each set of options, a CRC-32 per 65,536 code points of
what the fold must give for every code point alone and, with NFKC on, also
followed by two combining marks and preceded by 'A'; and one CRC-32 over
every composition pair alone and with a mark between (blocked or not) and
over Hangul jamo sequences. The expected fold is Python's: NFKC, then
str.casefold (repeated with NFKC until it no longer changes, which it does
for a few strings such as U+0130 followed by a mark of a lower class), then
the character table.
"""

import argparse
import os
import re
import sys
import unicodedata
import zlib
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import t2s_table  # noqa: E402

ROOT = Path(__file__).resolve().parents[1]
TABLES = ROOT / "csrc" / "encoder" / "FoldTables.cpp"
DIGESTS = ROOT / "tests" / "cpp" / "FoldDigests.inc"
LAST_CODE_POINT = 0x10FFFF
SURROGATES = range(0xD800, 0xE000)
# The fold handles these ranges without the entry table.
CJK_BLOCK = (0x3400, 0x9FFF)
HANGUL_SYLLABLES = (0xAC00, 0xD7A3)
HANGUL_V = range(0x1161, 0x1176)
HANGUL_T = range(0x11A8, 0x11C3)
PAGE_BITS = 8
# The options of each checksum set: (nfkc, casefold, t2s).
OPTION_SETS = ((True, False, False), (False, True, False), (False, False, True),
               (True, True, True))
MARKS_AFTER = "\u0316\u0301"  # classes 220 and 230: reordering and composition
FLAG_BOUNDARY = 1
FLAG_T2S = 2


def code_points():
    return (c for c in range(LAST_CODE_POINT + 1) if c not in SURROGATES)


def nfkc(s):
    return unicodedata.normalize("NFKC", s)


def nfkd(s):
    return unicodedata.normalize("NFKD", s)


def compositions():
    """[(first, second, composite)] of the primary composites, sorted."""
    pairs = []
    for c in code_points():
        d = unicodedata.decomposition(chr(c))
        if not d or d.startswith("<"):
            continue
        parts = [int(x, 16) for x in d.split()]
        # A composite that NFC leaves decomposed is excluded from composition.
        if len(parts) == 2 and unicodedata.normalize("NFC", chr(c)) == chr(c):
            pairs.append((parts[0], parts[1], c))
    return sorted(pairs)


class Tables:
    def __init__(self, t2s):
        self.t2s = t2s
        self.pairs = compositions()
        self.seconds = {b for _, b, _ in self.pairs} | set(HANGUL_V) | set(HANGUL_T)
        self.pool = []
        self.pool_at = {}
        self.entries = []
        for c in code_points():
            if c < 0x80 or CJK_BLOCK[0] <= c <= CJK_BLOCK[1] or \
                    HANGUL_SYLLABLES[0] <= c <= HANGUL_SYLLABLES[1]:
                self.check_plain(c)
                continue
            entry = self.entry(c)
            if entry:
                self.entries.append(entry)
        self.t2s_block = sorted((ord(a), ord(b)) for a, b in t2s.items()
                                if CJK_BLOCK[0] <= ord(a) <= CJK_BLOCK[1])
        self.t2s_other = sorted((ord(a), ord(b)) for a, b in t2s.items()
                                if not CJK_BLOCK[0] <= ord(a) <= CJK_BLOCK[1])

    def boundary(self, c):
        """True when nothing before c can change NFKC's result from c on:
        c and the first code point of its decomposition are of class 0, and
        that code point composes with nothing before it."""
        first = ord(nfkd(chr(c))[0])
        return unicodedata.combining(chr(c)) == 0 and \
            unicodedata.combining(chr(first)) == 0 and first not in self.seconds

    def check_plain(self, c):
        ch = chr(c)
        if c >= 0x80 and (ch.casefold() != ch or not self.boundary(c)):
            sys.exit(f"U+{c:04X} needs an entry; the fold's fast path would be wrong")
        if CJK_BLOCK[0] <= c <= CJK_BLOCK[1] and nfkc(ch) != ch:
            sys.exit(f"U+{c:04X} changes under NFKC; the CJK fast path would be wrong")
        if c < 0x80 and (nfkc(ch) != ch or ch.casefold() != ch.lower()):
            sys.exit(f"U+{c:04X} is not plain ASCII for the fold")

    def put(self, text):
        """Pool offset of the code points of `text` (shared when repeated)."""
        if text not in self.pool_at:
            self.pool_at[text] = len(self.pool)
            self.pool.extend(ord(x) for x in text)
        return self.pool_at[text]

    def entry(self, c):
        ch = chr(c)
        decomposed, composed, folded = nfkd(ch), nfkc(ch), ch.casefold()
        ccc = unicodedata.combining(ch)
        boundary = self.boundary(c)
        has_t2s = ch in self.t2s
        if decomposed == ch and folded == ch and boundary and ccc == 0 and not has_t2s:
            return None
        if has_t2s and (folded != ch or composed != ch):
            sys.exit(f"U+{c:04X} has both a simplified form and another fold")
        flags = (FLAG_BOUNDARY if boundary else 0) | (FLAG_T2S if has_t2s else 0)
        fields = []
        for text, same in ((composed, composed == ch), (decomposed, decomposed == ch),
                           (folded, folded == ch)):
            if same:
                fields.append((0, 0))
            else:
                fields.append((self.put(text), len(text)))
        return (c, fields, ccc, flags)

    def sizes(self):
        return {"entries": len(self.entries), "pool": len(self.pool),
                "compositions": len(self.pairs), "t2s_block": len(self.t2s_block),
                "t2s_other": len(self.t2s_other)}


def rows(items, per_line, indent="    "):
    lines = []
    for i in range(0, len(items), per_line):
        lines.append(indent + ", ".join(items[i:i + per_line]) + ",")
    return "\n".join(lines)


def render_tables(tables, version):
    if len(tables.pool) >= 1 << 16 or len(tables.entries) >= 1 << 16:
        sys.exit("the pool or the entries outgrew their 16-bit offsets")
    pool = rows([f"0x{x:04X}" for x in tables.pool], 8)
    entries = rows([
        f"{{0x{c:04X}, {f[0][0]}, {f[1][0]}, {f[2][0]}, {f[0][1]}, {f[1][1]}, {f[2][1]}, "
        f"{ccc}, {flags}}}" for c, f, ccc, flags in tables.entries], 2)
    pairs = rows([f"{{0x{a:04X}, 0x{b:04X}, 0x{c:04X}}}" for a, b, c in tables.pairs], 3)
    block = rows([f"{{0x{a:04X}, 0x{b:04X}}}" for a, b in tables.t2s_block], 6)
    other = rows([f"{{0x{a:04X}, 0x{b:04X}}}" for a, b in tables.t2s_other], 4)
    s = tables.sizes()
    return f"""\
// Generated by tools/gen_fold_tables.py; do not edit. Rewrite it with that
// script, and compare it with `python tools/gen_fold_tables.py --check`.
//
// NFKC and case folding: from the Unicode {version} database of Python's
// unicodedata. {s['entries']} entries, {s['pool']} pooled code points, {s['compositions']} composition pairs.
//
// Traditional to simplified characters ({s['t2s_block'] + s['t2s_other']} pairs): built from CC-CEDICT,
// published by MDBG under the Creative Commons Attribution-ShareAlike 4.0
// licence (based on CEDICT, Copyright (C) 1997, 1998 Paul Andrew Denisowski),
// with the Google Books Ngram simplified 1-gram list (CC BY 3.0) to choose
// among several simplified forms; tools/t2s_table.py holds the rule.
#include "encoder/FoldTables.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>

namespace kelp::typing::text::encoder::fold_tables {{

const char UNICODE_VERSION[] = "{version}";

constexpr Rune POOL[] = {{
{pool}
}};

constexpr FoldEntry ENTRIES[] = {{
{entries}
}};

constexpr Composition COMPOSITIONS[] = {{
{pairs}
}};

namespace {{

// The pairs whose traditional character lies in the flat block.
constexpr T2sPair T2S_BLOCK_PAIRS[] = {{
{block}
}};

}}  // namespace

// The pairs of the other traditional characters.
constexpr T2sPair T2S_OTHER[] = {{
{other}
}};

namespace {{

constexpr std::array<std::uint16_t, kPageCount + 1> BuildPageStarts() {{
  std::array<std::uint16_t, kPageCount + 1> starts{{}};
  std::size_t entry = 0;
  for (std::size_t page = 0; page <= kPageCount; ++page) {{
    while (entry < std::size(ENTRIES) && (ENTRIES[entry].rune >> kPageBits) < page) {{
      ++entry;
    }}
    starts[page] = static_cast<std::uint16_t>(entry);
  }}
  return starts;
}}

constexpr std::array<std::uint16_t, kT2sBlockSize> BuildT2sBlock() {{
  std::array<std::uint16_t, kT2sBlockSize> index{{}};
  for (std::size_t i = 0; i < std::size(T2S_BLOCK_PAIRS); ++i) {{
    index[T2S_BLOCK_PAIRS[i].traditional - kT2sBlockFirst] = static_cast<std::uint16_t>(i + 1);
  }}
  return index;
}}

constexpr std::array<Rune, std::size(T2S_BLOCK_PAIRS) + 1> BuildT2sTargets() {{
  std::array<Rune, std::size(T2S_BLOCK_PAIRS) + 1> targets{{}};
  for (std::size_t i = 0; i < std::size(T2S_BLOCK_PAIRS); ++i) {{
    targets[i + 1] = T2S_BLOCK_PAIRS[i].simplified;
  }}
  return targets;
}}

constexpr auto T2S_TARGETS_ARRAY = BuildT2sTargets();

}}  // namespace

const std::size_t ENTRY_COUNT = std::size(ENTRIES);
const std::size_t COMPOSITION_COUNT = std::size(COMPOSITIONS);
const std::size_t T2S_OTHER_COUNT = std::size(T2S_OTHER);
const std::array<std::uint16_t, kPageCount + 1> PAGE_STARTS = BuildPageStarts();
const std::array<std::uint16_t, kT2sBlockSize> T2S_BLOCK = BuildT2sBlock();
const Rune* const T2S_TARGETS = T2S_TARGETS_ARRAY.data();

}}  // namespace kelp::typing::text::encoder::fold_tables
"""


# ---------------------------------------------------------------------------
# The checksums.

def reference(text, options, translate):
    use_nfkc, use_casefold, use_t2s = options
    if use_nfkc and use_casefold:
        folded = nfkc(text).casefold()
        while True:
            again = nfkc(folded).casefold()
            if again == folded:
                break
            folded = again
        text = folded
    elif use_nfkc:
        text = nfkc(text)
    elif use_casefold:
        text = text.casefold()
    if use_t2s:
        text = text.translate(translate)
    return text


def encode(text):
    return text.encode("utf-8", "surrogatepass") + b"\xff"


def plane_digests(options, translate):
    digests = []
    for plane in range(17):
        crc = 0
        chunk = []
        for c in range(plane << 16, (plane + 1) << 16):
            if c in SURROGATES:
                continue
            ch = chr(c)
            chunk.append(encode(reference(ch, options, translate)))
            if options[0]:
                chunk.append(encode(reference(ch + MARKS_AFTER, options, translate)))
                chunk.append(encode(reference("A" + ch, options, translate)))
            if len(chunk) >= 4096:
                crc = zlib.crc32(b"".join(chunk), crc)
                chunk = []
        digests.append(zlib.crc32(b"".join(chunk), crc))
    return digests


def sequence_inputs(pairs):
    """Composition pairs with and without a mark between, and Hangul."""
    inputs = []
    for a, b, _ in pairs:
        first, second = chr(a), chr(b)
        for between in ("", "\u0316", "\u0301", "\u0334", "\u05B0"):
            inputs.append(first + between + second)
    for l, v, t in ((0x1100, 0x1161, 0x11A8), (0x1112, 0x1175, 0x11C2), (0x1107, 0x1166, 0x11AF)):
        inputs += [chr(l) + chr(v), chr(l) + chr(v) + chr(t), chr(0xAC00) + chr(t),
                   chr(0xD7A3) + chr(t), chr(l) + chr(0x0301) + chr(v)]
    return inputs


def render_digests(tables, version):
    translate = str.maketrans(tables.t2s)
    inputs = sequence_inputs(tables.pairs)
    lines = []
    for options in OPTION_SETS:
        planes = plane_digests(options, translate)
        sequences = zlib.crc32(b"".join(encode(reference(s, options, translate)) for s in inputs))
        flags = ", ".join("true" if o else "false" for o in options)
        values = ", ".join(f"0x{d:08X}u" for d in planes)
        lines.append(f"    {{{{{flags}}}, 0x{sequences:08X}u,\n     {{{values}}}}},")
    table = "\n".join(lines)
    return f"""\
// Generated by tools/gen_fold_tables.py from the Unicode {version} database
// of Python's unicodedata and the character table; do not edit.
//
// What Python's NFKC, str.casefold and the character table give: per set
// of options, a CRC-32 over the composition-pair and Hangul sequences, and
// one per 65,536 code points (see the script for the strings folded).
#define FOLD_DIGESTS_UNICODE_VERSION "{version}"
#define FOLD_DIGESTS {{ \\
{table.replace(chr(10), " " + chr(92) + chr(10))} \\
}}
"""


# ---------------------------------------------------------------------------

def committed_version(text):
    found = re.search(r'UNICODE_VERSION\[\] = "([^"]*)"', text or "")
    return found.group(1) if found else None


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--check", action="store_true",
                        help="compare the files with what this Python makes; write nothing")
    parser.add_argument("--source", default=None, help="the data folder (CC-CEDICT, 1-grams)")
    parser.add_argument("--tables", type=Path, default=TABLES, help=f"default: {TABLES}")
    parser.add_argument("--digests", type=Path, default=DIGESTS, help=f"default: {DIGESTS}")
    args = parser.parse_args()
    version = unicodedata.unidata_version
    source = args.source or t2s_table.default_source()
    if not os.path.isdir(source):
        parser.error(f"no data folder at {source}")
    t2s, facts = t2s_table.t2s_table(source)
    tables = Tables(t2s)
    outputs = [(args.tables, render_tables(tables, version)),
               (args.digests, render_digests(tables, version))]
    if args.check:
        status = 0
        for path, text in outputs:
            old = path.read_text(encoding="utf-8") if path.exists() else None
            if old == text:
                print(f"{path}: up to date (Unicode {version})")
                continue
            status = 1
            if old is None:
                print(f"{path}: missing")
            elif path == args.tables and committed_version(old) != version:
                print(f"{path}: made from Unicode {committed_version(old)}, this Python has "
                      f"Unicode {version}; check it with a Python of that version")
            else:
                print(f"{path}: differs from what this script writes; "
                      "run it to rewrite the file")
        return status
    for path, text in outputs:
        path.write_text(text, encoding="utf-8")
        print(f"wrote {path}")
    print(" ".join(f"{k}={v}" for k, v in tables.sizes().items()))
    print(f"t2s: {facts['pairs']} pairs; dropped {facts['dropped']}; chains closed: "
          + ", ".join(f"{a}->{b}->{c}" for a, b, c in facts["chained"]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
