// Shared fixture of the mixed, full and search segmenter tests: a scratch
// folder, a dictionary and an HMM model written from text.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "TestFiles.hpp"
#include "tokenizer/jieba/DictTrie.hpp"
#include "tokenizer/jieba/HMMModel.hpp"

namespace razoduviva_test {

// Single CJK runes, so that the ASCII rules of the HMM step stay out of the
// way: A, B, E, F stand for the letters of the examples.
inline const std::string kA = "\xE7\x94\xB2";  // U+7532
inline const std::string kB = "\xE4\xB9\x99";  // U+4E59
inline const std::string kC = "\xE4\xB8\x99";  // U+4E19
inline const std::string kD = "\xE4\xB8\x81";  // U+4E01
inline const std::string kE = "\xE6\x88\x8A";  // U+620A
inline const std::string kF = "\xE5\xB7\xB1";  // U+5DF1
inline const std::string kK = "\xE5\xBA\x9A";  // U+5E9A
inline const std::string kX = "\xE8\xBE\x9B";  // U+8F9B
inline const std::string kY = "\xE5\xA3\xAC";  // U+58EC

inline const std::string kFloor = "-3.14e+100";

// A model that joins K followed by X into one word (K in B, X in E) and
// leaves every other rune a word of its own.
inline std::string JoiningModel() {
  const std::string F = kFloor;
  return "-1 " + F + " " + F + " -1\n" +
         F + " -0.1 " + F + " " + F + "\n" +  // from B
         "-1 " + F + " " + F + " -1\n" +      // from E
         F + " " + F + " " + F + " " + F + "\n" +  // from M
         "-1 " + F + " " + F + " -1\n" +      // from S
         kK + ":-1\n" + kX + ":-1\n" + kK + ":" + F + "\n" +
         kK + ":-5," + kX + ":-5," + kY + ":-2," + kD + ":-2\n";
}

using Strings = std::vector<std::string>;

class SegmentFixture : public testing::Test {
 protected:
  void Load(const std::string& dict, const std::string& user_dict = "",
            const std::string& model = JoiningModel()) {
    std::string user_path;
    if (!user_dict.empty()) {
      user_path = dir_.Write("user.txt", user_dict);
    }
    dict_ = std::make_unique<kelp::typing::text::jieba::DictTrie>(dir_.Write("dict.txt", dict),
                                                                  user_path);
    model_ = std::make_unique<kelp::typing::text::jieba::HMMModel>(dir_.Write("hmm.txt", model));
  }

  ScratchDir dir_;
  std::unique_ptr<kelp::typing::text::jieba::DictTrie> dict_;
  std::unique_ptr<kelp::typing::text::jieba::HMMModel> model_;
};

}  // namespace razoduviva_test
