#!/usr/bin/env python3
"""Writes csrc/tokenizer/jieba/RuneScripts.cpp, the table behind
ClassifyRune: which code points are letters of an alphabet written with
spaces between words (and of which script), decimal digits, or combining
marks. The HMM segmenter keeps a run of letters of one such script, with
their marks and digits, as one word.

Python's unicodedata has no script property, so the script of a letter
(general category L) comes from its character name: the longest of the
JOINED script names that starts it ("LATIN SMALL LETTER A", "CYRILLIC
CAPITAL LETTER BE", "HANGUL SYLLABLE GA"), with these deliberate cases:
  * "FULLWIDTH LATIN ..." is Latin and "HALFWIDTH HANGUL ..." Hangul;
  * "MODIFIER LETTER ..." takes the script its name mentions
    ("MODIFIER LETTER CYRILLIC HARD SIGN"), else Latin inside the blocks of
    phonetic letters (LATIN_MODIFIER_BLOCKS), else none;
  * a few letterlike signs of Latin-1 and Letterlike Symbols that stand in
    running text are named in SIGNS (µ, ª, º, K, Å, Ω);
  * every other letter belongs to no joined script: the scripts written
    without spaces between words (Han, Hiragana, Katakana, Bopomofo, Yi,
    Thai, Lao, Khmer, Myanmar, Tibetan, Tai scripts, Javanese, Balinese and
    the like), historic and rare scripts, mathematical and letterlike
    symbols. Such letters go to the HMM decoder as before.
Digits are general category Nd, marks Mn, Mc and Me.

    python tools/gen_rune_scripts.py            # rewrite the file
    python tools/gen_rune_scripts.py --check    # compare, write nothing

--check exits with status 1 when the committed file is not what this script
makes of this Python's database (or was made from another Unicode version).
Standard library only.
"""

import argparse
import re
import sys
import unicodedata
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
OUTPUT = ROOT / "csrc" / "tokenizer" / "jieba" / "RuneScripts.cpp"
LAST_CODE_POINT = 0x10FFFF
# The segmenter answers "other" for this block without a search.
CJK_BLOCK = (0x3400, 0x9FFF)

# Scripts whose words are separated by spaces, in the order of their ids
# (Latin is 1). Only the order of this list fixes the ids.
JOINED = [
    "LATIN", "GREEK", "COPTIC", "CYRILLIC", "GLAGOLITIC", "ARMENIAN", "GEORGIAN",
    "HEBREW", "ARABIC", "SYRIAC", "THAANA", "NKO", "SAMARITAN", "MANDAIC",
    "DEVANAGARI", "BENGALI", "GURMUKHI", "GUJARATI", "ORIYA", "TAMIL", "TELUGU",
    "KANNADA", "MALAYALAM", "SINHALA", "OL CHIKI", "MEETEI MAYEK", "SYLOTI NAGRI",
    "CHAKMA", "LIMBU", "LEPCHA", "SAURASHTRA", "GUNJALA GONDI", "MASARAM GONDI",
    "WANCHO", "HANIFI ROHINGYA", "ETHIOPIC", "TIFINAGH", "VAI", "BAMUM", "ADLAM",
    "OSMANYA", "BASSA", "MENDE KIKAKUI", "CHEROKEE", "OSAGE", "CANADIAN SYLLABICS",
    "MONGOLIAN", "HANGUL", "LISU", "SUNDANESE", "REJANG", "CHAM", "PAHAWH HMONG",
    "NYIAKENG PUACHUE HMONG", "MIAO", "DESERET", "SHAVIAN", "GOTHIC", "OGHAM",
    "RUNIC", "OLD ITALIC",
]
WIDTH_FORMS = {"FULLWIDTH LATIN": "LATIN", "HALFWIDTH HANGUL": "HANGUL"}
LATIN_MODIFIER_BLOCKS = [
    (0x02B0, 0x02FF),    # Spacing Modifier Letters
    (0x1D00, 0x1DBF),    # Phonetic Extensions and their Supplement
    (0xA700, 0xA7FF),    # Modifier Tone Letters, Latin Extended-D
    (0xAB30, 0xAB6F),    # Latin Extended-E
    (0x10780, 0x107BF),  # Latin Extended-F
]
SIGNS = {
    0x00AA: "LATIN",  # FEMININE ORDINAL INDICATOR
    0x00B5: "GREEK",  # MICRO SIGN
    0x00BA: "LATIN",  # MASCULINE ORDINAL INDICATOR
    0x2126: "GREEK",  # OHM SIGN
    0x212A: "LATIN",  # KELVIN SIGN
    0x212B: "LATIN",  # ANGSTROM SIGN
}
MARK = 1
DIGIT = 2
FIRST_LETTER_CLASS = 3


def script_of_letter(code_point):
    """The joined script of a letter, or None."""
    if code_point in SIGNS:
        return SIGNS[code_point]
    name = unicodedata.name(chr(code_point), "")
    for form, script in WIDTH_FORMS.items():
        if name.startswith(form + " "):
            return script
    if name.startswith("MODIFIER LETTER "):
        words = " " + name[len("MODIFIER LETTER "):] + " "
        for script in sorted(JOINED, key=len, reverse=True):
            if " " + script + " " in words:
                return script
        if any(a <= code_point <= b for a, b in LATIN_MODIFIER_BLOCKS):
            return "LATIN"
        return None
    best = None
    for script in JOINED:
        if name.startswith(script + " ") and (best is None or len(script) > len(best)):
            best = script
    return best


def rune_class(code_point):
    category = unicodedata.category(chr(code_point))
    if category in ("Mn", "Mc", "Me"):
        return MARK
    if category == "Nd":
        return DIGIT
    if category[0] == "L":
        script = script_of_letter(code_point)
        if script is not None:
            return FIRST_LETTER_CLASS + JOINED.index(script)
    return 0


def classes():
    """Sorted [first, last, class] ranges of the code points of class > 0."""
    ranges = []
    for c in range(LAST_CODE_POINT + 1):
        k = rune_class(c)
        if k == 0:
            continue
        if ranges and ranges[-1][1] + 1 == c and ranges[-1][2] == k:
            ranges[-1][1] = c
        else:
            ranges.append([c, c, k])
    return ranges


def render(version):
    ranges = classes()
    inside = [r for r in ranges if r[0] <= CJK_BLOCK[1] and r[1] >= CJK_BLOCK[0]]
    if inside:
        sys.exit(f"U+{inside[0][0]:04X} has a class: the CJK fast path would be wrong")
    ascii_ok = all(rune_class(c) == (FIRST_LETTER_CLASS if chr(c).isalpha() else
                                     DIGIT if chr(c).isdigit() else 0) for c in range(0x80))
    if not ascii_ok:
        sys.exit("ASCII letters must be Latin and ASCII digits digits")
    counts = {}
    for a, b, k in ranges:
        counts[k] = counts.get(k, 0) + b - a + 1
    lines = []
    for i in range(0, len(ranges), 4):
        lines.append("    " + " ".join(f"{{0x{a:04X}, 0x{b:04X}, {k}}}," for a, b, k in
                                         ranges[i:i + 4]))
    table = "\n".join(lines)
    names = "\n".join(f'    "{s}",  // {FIRST_LETTER_CLASS + i}: {counts.get(FIRST_LETTER_CLASS + i, 0)} '
                      "letters" for i, s in enumerate(JOINED))
    return f"""\
// Generated by tools/gen_rune_scripts.py from the Unicode {version} database
// of Python's unicodedata; do not edit. Rewrite it with that script, and
// compare it with `python tools/gen_rune_scripts.py --check`.
//
// The classes of ClassifyRune: {counts.get(MARK, 0)} combining marks (class 1), {counts.get(DIGIT, 0)} decimal
// digits (class 2), and the letters of {len(JOINED)} scripts written with spaces
// between words (class 3 and on, one per script), in {len(ranges)} ranges.
#include "tokenizer/jieba/RuneScripts.hpp"

#include <algorithm>
#include <cstdint>
#include <iterator>

namespace kelp::typing::text::jieba {{

const char RUNE_SCRIPTS_VERSION[] = "{version}";

namespace {{

struct ClassRange {{
  Rune first;
  Rune last;
  std::uint8_t value;
}};

// Sorted, disjoint ranges; code points in none are of class 0.
constexpr ClassRange RANGES[] = {{
{table}
}};

// The script of each letter class, from class 3 on.
constexpr const char* SCRIPT_NAMES[] = {{
{names}
}};

}}  // namespace

RuneClass ClassifyNonAscii(Rune rune) noexcept {{
  const auto starts_after = [](Rune r, const ClassRange& range) {{ return r < range.first; }};
  const ClassRange* after =
      std::upper_bound(std::begin(RANGES), std::end(RANGES), rune, starts_after);
  if (after == std::begin(RANGES) || rune > (after - 1)->last) {{
    return RuneClass{{}};
  }}
  return RuneClass{{(after - 1)->value}};
}}

const char* ScriptName(RuneClass c) noexcept {{
  if (!c.IsLetter() || static_cast<std::size_t>(c.value - {FIRST_LETTER_CLASS}) >= std::size(SCRIPT_NAMES)) {{
    return nullptr;
  }}
  return SCRIPT_NAMES[c.value - {FIRST_LETTER_CLASS}];
}}

}}  // namespace kelp::typing::text::jieba
"""


def committed_version(text):
    found = re.search(r'RUNE_SCRIPTS_VERSION\[\] = "([^"]*)"', text or "")
    return found.group(1) if found else None


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--check", action="store_true",
                        help="compare the file with what this Python makes; write nothing")
    parser.add_argument("--output", type=Path, default=OUTPUT, help=f"default: {OUTPUT}")
    args = parser.parse_args()
    version = unicodedata.unidata_version
    text = render(version)
    old = args.output.read_text(encoding="utf-8") if args.output.exists() else None
    if args.check:
        if old == text:
            print(f"{args.output}: up to date (Unicode {version})")
            return 0
        if old is None:
            print(f"{args.output}: missing")
        elif committed_version(old) != version:
            print(f"{args.output}: made from Unicode {committed_version(old)}, this Python has "
                  f"Unicode {version}; check it with a Python of that version")
        else:
            print(f"{args.output}: differs from what this script writes; "
                  "run it to rewrite the file")
        return 1
    args.output.write_text(text, encoding="utf-8")
    print(f"wrote {args.output}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
