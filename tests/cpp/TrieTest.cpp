#include "tokenizer/jieba/Trie.hpp"

#include <gtest/gtest.h>

#include <deque>
#include <random>
#include <string>
#include <vector>

namespace jieba = kelp::typing::text::jieba;
using jieba::Dag;
using jieba::DictUnit;
using jieba::RuneStrVector;
using jieba::RuneVector;

namespace {

RuneVector Key(const std::string& utf8) {
  RuneVector runes;
  EXPECT_TRUE(jieba::DecodeRunesInString(utf8, runes));
  return runes;
}

RuneStrVector Text(const std::string& utf8) {
  RuneStrVector runes;
  EXPECT_TRUE(jieba::DecodeRunesInString(utf8, runes));
  return runes;
}

// Entries at fixed addresses, and a trie over some of them.
class TrieFixture : public testing::Test {
 protected:
  const DictUnit* Add(const std::string& word) {
    DictUnit& unit = units_.emplace_back();
    unit.word = Key(word);
    unit.tag = word;
    keys_.push_back(unit.word);
    pointers_.push_back(&unit);
    return &unit;
  }

  // One string per record: "i:e=tag,e=-" for each (end, entry) element.
  static std::vector<std::string> Describe(const std::vector<Dag>& dags) {
    std::vector<std::string> out;
    for (size_t i = 0; i < dags.size(); ++i) {
      std::string s = std::to_string(i) + ":";
      for (const jieba::DagEnd& end : dags[i].ends) {
        s += std::to_string(end.end_index) + "=" + (end.unit ? end.unit->tag : "-") + ",";
      }
      out.push_back(s);
    }
    return out;
  }

  std::vector<std::string> Graph(const jieba::Trie& trie, const std::string& text,
                                 size_t max_word_len = jieba::MAX_WORD_RUNES) {
    const RuneStrVector runes = Text(text);
    std::vector<Dag> dags;
    trie.Find(runes.begin(), runes.end(), dags, max_word_len);
    EXPECT_EQ(dags.size(), runes.size());
    for (size_t i = 0; i < dags.size(); ++i) {
      EXPECT_EQ(dags[i].rune_str, runes[i]);
      EXPECT_EQ(dags[i].best_unit, nullptr);
    }
    return Describe(dags);
  }

  const DictUnit* Word(const jieba::Trie& trie, const std::string& text) {
    const RuneStrVector runes = Text(text);
    return trie.Find(runes.begin(), runes.end());
  }

  std::deque<DictUnit> units_;
  std::vector<RuneVector> keys_;
  std::vector<const DictUnit*> pointers_;
};

using Lines = std::vector<std::string>;

TEST_F(TrieFixture, WordGraphListsEveryWordStartingAtEachRune) {
  Add("A");
  Add("AB");
  Add("ABC");
  Add("BC");
  Add("CDE");  // C alone and CD are not words
  const jieba::Trie trie(keys_, pointers_);
  EXPECT_EQ(Graph(trie, "ABCDEX"),
            (Lines{"0:0=A,1=AB,2=ABC,", "1:1=-,2=BC,", "2:2=-,4=CDE,", "3:3=-,", "4:4=-,",
                   "5:5=-,"}));
  // Words longer than the runes left are not reported near the end.
  EXPECT_EQ(Graph(trie, "ABCD"), (Lines{"0:0=A,1=AB,2=ABC,", "1:1=-,2=BC,", "2:2=-,", "3:3=-,"}));
  EXPECT_EQ(Graph(trie, ""), Lines{});
}

TEST_F(TrieFixture, MaxWordLenBoundsTheScan) {
  Add("A");
  Add("AB");
  Add("ABC");
  const jieba::Trie trie(keys_, pointers_);
  EXPECT_EQ(Graph(trie, "ABC", 1), (Lines{"0:0=A,", "1:1=-,", "2:2=-,"}));
  EXPECT_EQ(Graph(trie, "ABC", 2), (Lines{"0:0=A,1=AB,", "1:1=-,", "2:2=-,"}));
  EXPECT_EQ(Graph(trie, "ABC", 0), (Lines{"0:0=A,", "1:1=-,", "2:2=-,"}));
}

TEST_F(TrieFixture, LaterOfEqualKeysWinsAndEmptyKeysAreIgnored) {
  const DictUnit* first = Add("\xE4\xB8\xAD\xE6\x96\x87");
  const DictUnit* second = Add("\xE4\xB8\xAD\xE6\x96\x87");
  Add("");
  const jieba::Trie trie(keys_, pointers_);
  EXPECT_EQ(Word(trie, "\xE4\xB8\xAD\xE6\x96\x87"), second);
  EXPECT_NE(second, first);
  const RuneStrVector runes = Text("\xE4\xB8\xAD\xE6\x96\x87");
  std::vector<Dag> dags;
  trie.Find(runes.begin(), runes.end(), dags);
  ASSERT_EQ(dags[0].ends.size(), 2u);
  EXPECT_EQ(dags[0].ends[1].unit, second);
  EXPECT_EQ(Word(trie, ""), nullptr);
}

TEST_F(TrieFixture, SingleWordFormNeedsTheExactWord) {
  const DictUnit* ab = Add("AB");
  const DictUnit* abcd = Add("ABCD");
  const jieba::Trie trie(keys_, pointers_);
  EXPECT_EQ(Word(trie, "AB"), ab);
  EXPECT_EQ(Word(trie, "ABCD"), abcd);
  EXPECT_EQ(Word(trie, "A"), nullptr);    // prefix only
  EXPECT_EQ(Word(trie, "ABC"), nullptr);  // prefix only
  EXPECT_EQ(Word(trie, "ABCDE"), nullptr);
  EXPECT_EQ(Word(trie, "B"), nullptr);
  const RuneVector key = Key("ABCD");
  EXPECT_EQ(trie.Find(key.begin(), key.end()), abcd);
}

TEST_F(TrieFixture, EmptyTrieFindsNothing) {
  const jieba::Trie trie(keys_, pointers_);
  EXPECT_EQ(Graph(trie, "AB"), (Lines{"0:0=-,", "1:1=-,"}));
  EXPECT_EQ(Word(trie, "A"), nullptr);
}

TEST_F(TrieFixture, RunesOutsideTheRootTableAndWideNodes) {
  // Runes beyond U+FFFF at the root, and a node with many children (binary
  // search among siblings) next to nodes with few (linear scan).
  const DictUnit* emoji = Add("\xF0\x9F\x98\x80");
  const DictUnit* emoji_a = Add("\xF0\x9F\x98\x80" "A");
  const DictUnit* high = Add("\xEF\xBF\xBD");  // U+FFFD, the table's top end
  std::vector<const DictUnit*> wide;
  for (char c = 'a'; c <= 'z'; ++c) {
    wide.push_back(Add(std::string("Q") + c));
  }
  const jieba::Trie trie(keys_, pointers_);
  EXPECT_EQ(Word(trie, "\xF0\x9F\x98\x80"), emoji);
  EXPECT_EQ(Word(trie, "\xF0\x9F\x98\x80" "A"), emoji_a);
  EXPECT_EQ(Word(trie, "\xEF\xBF\xBD"), high);
  EXPECT_EQ(Word(trie, "\xF0\x9F\x98\x81"), nullptr);
  EXPECT_EQ(Word(trie, "\xEF\xBF\xBC"), nullptr);
  for (size_t k = 0; k < wide.size(); ++k) {
    EXPECT_EQ(Word(trie, std::string("Q") + static_cast<char>('a' + k)), wide[k]);
  }
  EXPECT_EQ(Word(trie, "Q{"), nullptr);
  EXPECT_EQ(Word(trie, "Q`"), nullptr);
}

// Random words over an alphabet give many shared prefixes. With 5 symbols
// every node is scanned; with 14 (three beyond U+FFFF) most inner nodes and
// the root have more than 8 children and are found through the wide table,
// its filter, and for the root the table or, beyond U+FFFF, the wide table.
class RandomTrieTest : public TrieFixture, public testing::WithParamInterface<int> {};

TEST_P(RandomTrieTest, MatchesABruteForceScan) {
  std::mt19937 random(7 + GetParam());
  std::vector<std::string> alphabet = {"a", "b", "c", "\xE4\xB8\xAD", "\xF0\x9F\x98\x80"};
  if (GetParam() > 5) {
    alphabet.insert(alphabet.end(), {"d", "e", "f", "g", "\xE6\x96\x87", "\xEF\xBF\xBF",
                                     "\xF0\x9F\x98\x81", "\xF4\x8F\xBF\xBF", "h"});
  }
  const size_t symbols = alphabet.size();
  std::vector<std::string> words;
  for (int i = 0; i < 150 * GetParam(); ++i) {
    std::string word;
    const int length = 1 + static_cast<int>(random() % 4);
    for (int k = 0; k < length; ++k) {
      word += alphabet[random() % symbols];
    }
    words.push_back(word);
    Add(word);
  }
  const jieba::Trie trie(keys_, pointers_);
  for (int round = 0; round < 60; ++round) {
    std::string text;
    for (int k = 0; k < 12; ++k) {
      text += alphabet[random() % symbols];
    }
    const RuneStrVector runes = Text(text);
    std::vector<Dag> dags;
    trie.Find(runes.begin(), runes.end(), dags);
    for (size_t i = 0; i < runes.size(); ++i) {
      // Expected: for each end j >= i, the last added word equal to runes i..j.
      std::vector<std::pair<size_t, const DictUnit*>> expected;
      for (size_t j = i; j < runes.size(); ++j) {
        const std::string piece =
            text.substr(runes[i].byte_offset,
                        runes[j].byte_offset + runes[j].byte_length - runes[i].byte_offset);
        const DictUnit* found = nullptr;
        for (size_t w = words.size(); w-- > 0;) {
          if (words[w] == piece) {
            found = pointers_[w];
            break;
          }
        }
        if (j == i || found != nullptr) {
          expected.emplace_back(j, found);
        }
        if (j == i + 1) {
          const jieba::RuneStr* b = runes.begin() + i;
          EXPECT_EQ(trie.Find(b, b + 2), found);
        }
      }
      std::vector<std::pair<size_t, const DictUnit*>> actual;
      for (const jieba::DagEnd& end : dags[i].ends) {
        actual.emplace_back(end.end_index, end.unit);
      }
      EXPECT_EQ(actual, expected) << text << " at " << i;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(AlphabetSizes, RandomTrieTest, testing::Values(3, 14));

TEST(TrieTest, KeysAndEntriesMustPair) {
  const std::vector<RuneVector> keys(2);
  const std::vector<const DictUnit*> units(1);
  EXPECT_THROW(jieba::Trie(keys, units), std::invalid_argument);
}

TEST(TrieTest, BuildsFromEntriesUnderTheirOwnWords) {
  std::vector<DictUnit> units(3);
  units[0].word = Key("AB");
  units[1].word = Key("C");
  units[2].word = Key("AB");
  const jieba::Trie trie(units);
  const RuneStrVector ab = Text("AB");
  const RuneStrVector c = Text("C");
  EXPECT_EQ(trie.Find(ab.begin(), ab.end()), &units[2]);
  EXPECT_EQ(trie.Find(c.begin(), c.end()), &units[1]);
  EXPECT_EQ(trie.NodeCount(), 4u);  // root, A, AB, C
}

}  // namespace
