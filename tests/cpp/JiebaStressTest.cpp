// Eight threads cutting one facade at once, in normal, search and full mode,
// over varied text, also while another thread adds and removes a word. Built
// with ThreadSanitizer in CI (RAZODUVIVA_SANITIZE=thread), where any data
// race fails it; everywhere it checks that every concurrent cut equals the
// same cut made alone, before or after a change.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "TestFiles.hpp"
#include "encoder/SparseEncoder.hpp"
#include "tokenizer/jieba/Jieba.hpp"
#include "batch/OrderedChunks.hpp"
#include "tokenizer/jieba/WordSpan.hpp"

namespace jieba = kelp::typing::text::jieba;
using razoduviva_test::ScratchDir;

namespace {

constexpr int kThreads = 8;

// UTF-8 of a code point of the Basic Multilingual Plane.
std::string Utf8(uint32_t rune) {
  std::string out;
  if (rune < 0x80) {
    out += static_cast<char>(rune);
  } else if (rune < 0x800) {
    out += static_cast<char>(0xC0 | (rune >> 6));
    out += static_cast<char>(0x80 | (rune & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (rune >> 12));
    out += static_cast<char>(0x80 | ((rune >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (rune & 0x3F));
  }
  return out;
}

// Forty CJK characters; the dictionary and the model use the first thirty,
// so the last ten are unknown to both.
std::vector<std::string> Characters() {
  std::vector<std::string> chars;
  for (uint32_t k = 0; k < 40; ++k) {
    chars.push_back(Utf8(0x4E00 + 37 * k));
  }
  return chars;
}

struct Cuts {
  std::vector<std::string> normal;
  std::vector<std::string> search;
  std::vector<jieba::Word> full;
  std::vector<jieba::WordSpan> spans;

  bool operator==(const Cuts& other) const {
    return normal == other.normal && search == other.search && full == other.full &&
           spans == other.spans;
  }
};

void CutAll(const jieba::Jieba& j, const std::string& sentence, Cuts& out) {
  j.Cut(sentence, out.normal);
  j.CutQuery(sentence, out.search);
  j.Cut(jieba::CutMode::kFull, sentence, out.full);
  j.CutQuery(sentence, out.spans);
}

class JiebaStressTest : public testing::Test {
 protected:
  void SetUp() override {
    std::mt19937 rng(7);
    const std::vector<std::string> chars = Characters();
    // Three hundred words of one to five characters over the first thirty.
    std::string dict;
    for (int w = 0; w < 300; ++w) {
      std::string word;
      const int length = 1 + static_cast<int>(rng() % 5);
      for (int c = 0; c < length; ++c) {
        word += chars[rng() % 30];
      }
      dict += word + " " + std::to_string(1 + rng() % 1000) + " n\n";
    }
    std::string model = "-0.3 -3.14e+100 -3.14e+100 -1.4\n"
                        "-3.14e+100 -0.5 -0.9 -3.14e+100\n"
                        "-0.6 -3.14e+100 -3.14e+100 -0.8\n"
                        "-3.14e+100 -0.3 -1.3 -3.14e+100\n"
                        "-0.7 -3.14e+100 -3.14e+100 -0.7\n";
    for (int state = 0; state < 4; ++state) {
      for (int c = 0; c < 30; ++c) {
        model += chars[c] + ":-" + std::to_string(1 + (c * 7 + state * 3) % 11) +
                 (c + 1 < 30 ? "," : "\n");
      }
    }
    jieba_ = std::make_shared<jieba::Jieba>(
        dir_.Write("dict.txt", dict), dir_.Write("hmm.txt", model),
        dir_.Write("user.txt", chars[3] + "\n" + chars[35] + chars[36] + " x\n"),
        dir_.Write("idf.txt", chars[0] + " 2.5\n"), dir_.Write("stop.txt", chars[1] + "\n"));

    // Sentences of CJK, ASCII words and numbers, separators, a carriage
    // return, emoji, invalid bytes, and a few long runs.
    const std::vector<std::string> extra = {" ", "\t", "\n", "\r", "\xEF\xBC\x8C", "\xE3\x80\x82",
                                            "abc", "x1", "3.14", "-", "\xF0\x9F\x98\x80"};
    for (int s = 0; s < 120; ++s) {
      std::string sentence;
      const int length = s % 10 == 9 ? 2000 : static_cast<int>(rng() % 60);
      for (int p = 0; p < length; ++p) {
        if (rng() % 100 < 80) {
          sentence += chars[rng() % chars.size()];
        } else {
          sentence += extra[rng() % extra.size()];
        }
      }
      if (s % 7 == 3) {
        sentence.insert(sentence.size() / 2, "\xFF");  // invalid UTF-8: no words
      }
      sentences_.push_back(sentence);
    }
  }

  ScratchDir dir_;
  std::shared_ptr<jieba::Jieba> jieba_;
  std::vector<std::string> sentences_;
};

TEST_F(JiebaStressTest, EightThreadsCutOneFacadeInEveryMode) {
  std::vector<Cuts> alone(sentences_.size());
  size_t words = 0;
  for (size_t s = 0; s < sentences_.size(); ++s) {
    CutAll(*jieba_, sentences_[s], alone[s]);
    words += alone[s].normal.size() + alone[s].search.size() + alone[s].full.size();
  }
  ASSERT_GT(words, 10000u);  // the text gives the segmenters work

  std::vector<int> mismatches(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      Cuts cuts;
      for (int round = 0; round < 3; ++round) {
        // Each thread walks the sentences from its own starting point, so
        // that different modes and texts overlap in time.
        for (size_t k = 0; k < sentences_.size(); ++k) {
          const size_t s = (k + static_cast<size_t>(t) * 15) % sentences_.size();
          CutAll(*jieba_, sentences_[s], cuts);
          mismatches[t] += !(cuts == alone[s]);
        }
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(mismatches, std::vector<int>(kThreads, 0));
}

// One thread adds and removes a word over and over while the others cut:
// every cut equals the cut of the dictionary either with or without it.
TEST_F(JiebaStressTest, CutsSeeEachWordChangeWholeOrNotAtAll) {
  const std::vector<std::string> chars = Characters();
  const std::string word = chars[31] + chars[32] + chars[33];
  std::vector<std::string> sentences;
  for (size_t s = 0; s < 40; ++s) {
    sentences.push_back(sentences_[s] + word + chars[s % 30] + word);
  }
  std::vector<Cuts> without(sentences.size()), with(sentences.size());
  for (size_t s = 0; s < sentences.size(); ++s) {
    CutAll(*jieba_, sentences[s], without[s]);
  }
  jieba_->AddWord(word, 100.0, std::nullopt);
  for (size_t s = 0; s < sentences.size(); ++s) {
    CutAll(*jieba_, sentences[s], with[s]);
  }
  ASSERT_FALSE(with[0] == without[0]);  // the word changes the cuts

  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (int round = 0; round < 200; ++round) {
      jieba_->RemoveWord(word);
      jieba_->AddWord(word, 100.0, std::nullopt);
    }
    done = true;
  });
  std::vector<int> mismatches(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      Cuts cuts;
      size_t k = static_cast<size_t>(t) * 5;
      do {
        const size_t s = k++ % sentences.size();
        cuts.full.clear();
        jieba_->Cut(sentences[s], cuts.normal);
        const bool added = cuts.normal == with[s].normal;
        mismatches[t] += !added && cuts.normal != without[s].normal;
        jieba_->CutQuery(sentences[s], cuts.search);
        mismatches[t] += cuts.search != with[s].search && cuts.search != without[s].search;
        jieba_->Cut(jieba::CutMode::kFull, sentences[s], cuts.full);
        mismatches[t] += !(cuts.full == with[s].full) && !(cuts.full == without[s].full);
      } while (!done || k % sentences.size() != 0);
    });
  }
  writer.join();
  for (std::thread& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(mismatches, std::vector<int>(kThreads, 0));
}

// Batches as the binding runs them: chunks of texts on four threads that
// live for the call, encoding with one encoder and training a model per
// thread, while another thread changes a word. Every vector equals the one
// made alone with the word either in or out.
TEST_F(JiebaStressTest, BatchesOnThreadsWhileAWordChanges) {
  const std::vector<std::string> chars = Characters();
  const std::string word = chars[31] + chars[32] + chars[33];
  std::vector<std::string> texts;
  for (size_t s = 0; s < 400; ++s) {
    texts.push_back(sentences_[s % sentences_.size()] + (s % 3 == 0 ? word : chars[s % 30]));
  }
  const std::vector<std::string_view> views(texts.begin(), texts.end());
  auto model = std::make_shared<kelp::typing::text::BM25>();
  const kelp::typing::text::SparseEncoder encoder(jieba_, kelp::typing::text::EncoderSettings(),
                                                  model);
  kelp::typing::text::SparseEncoder::Scratch scratch;
  kelp::typing::text::SparseEncoder::Counts counts(encoder);
  encoder.Train(views.data(), views.size(), counts, scratch);
  encoder.Commit(counts);
  using Vectors = kelp::typing::text::SparseEncoder::HashedVectors;
  const auto encode_alone = [&] {
    Vectors all;
    encoder.EncodeHashed(views.data(), views.size(), kelp::typing::text::VectorKind::kDocument, all,
                         scratch);
    return all;
  };
  const Vectors without = encode_alone();
  jieba_->AddWord(word, 100.0, std::nullopt);
  const Vectors with = encode_alone();
  ASSERT_NE(with.ids, without.ids);

  std::atomic<bool> done{false};
  std::thread writer([&] {
    while (!done) {
      jieba_->RemoveWord(word);
      jieba_->AddWord(word, 100.0, std::nullopt);
    }
  });
  constexpr size_t kChunk = 25;
  const size_t chunks = (views.size() + kChunk - 1) / kChunk;
  int mismatches = 0;
  for (int round = 0; round < 5; ++round) {
    std::vector<Vectors> out(chunks);
    std::vector<kelp::typing::text::SparseEncoder::Scratch> scratches(4);
    std::vector<kelp::typing::text::SparseEncoder::Counts> models(4, counts);
    kelp::typing::text::batch::OrderedChunks runner(chunks, 4, [&](size_t k, size_t thread) {
      const size_t first = k * kChunk;
      const size_t count = std::min(kChunk, views.size() - first);
      encoder.EncodeHashed(views.data() + first, count, kelp::typing::text::VectorKind::kDocument,
                           out[k], scratches[thread]);
      encoder.Train(views.data() + first, count, models[thread], scratches[thread]);
    });
    size_t k;
    while (runner.Next(k)) {
      // Text by text: each vector is one of the two made alone.
      size_t begin = 0;
      for (size_t t = 0; t < out[k].ends.size(); ++t) {
        const size_t text = k * kChunk + t;
        const auto slice = [](const Vectors& v, size_t i) {
          const size_t b = i == 0 ? 0 : v.ends[i - 1];
          return std::vector<uint32_t>(v.ids.begin() + b, v.ids.begin() + v.ends[i]);
        };
        const std::vector<uint32_t> got(out[k].ids.begin() + begin,
                                        out[k].ids.begin() + out[k].ends[t]);
        mismatches += got != slice(with, text) && got != slice(without, text);
        begin = out[k].ends[t];
      }
    }
  }
  done = true;
  writer.join();
  EXPECT_EQ(mismatches, 0);
}

}  // namespace
