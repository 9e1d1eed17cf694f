#include "encoder/SparseEncoder.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "SegmentFixture.hpp"
#include "encoder/MurmurHash3.hpp"
#include "tokenizer/jieba/Jieba.hpp"

namespace jieba = kelp::typing::text::jieba;
using kelp::typing::text::BM25;
using kelp::typing::text::EncoderSettings;
using kelp::typing::text::SparseEncoder;
using kelp::typing::text::VectorKind;
using namespace razoduviva_test;

namespace {

class SparseEncoderTest : public testing::Test {
 protected:
  void SetUp() override {
    facade_ = std::make_shared<jieba::Jieba>(
        dir_.Write("dict.txt", kA + kB + " 10 n\n" + kE + kF + " 10 n\n" + kC + " 5 n\n"),
        dir_.Write("hmm.txt", JoiningModel()), "", dir_.Write("idf.txt", kA + kB + " 2\n"),
        dir_.Write("stop.txt", kC + "\n"));
  }

  SparseEncoder Make(bool stop_words, bool keep_space, std::shared_ptr<BM25> model = nullptr) {
    EncoderSettings settings;
    settings.stop_words = stop_words;
    settings.keep_space = keep_space;
    return SparseEncoder(facade_, settings, model ? model : std::make_shared<BM25>());
  }

  std::vector<std::string> Tokens(const SparseEncoder& encoder, std::string_view text) {
    SparseEncoder::Scratch scratch;
    encoder.Tokenize(text, scratch);
    return std::vector<std::string>(scratch.tokens.begin(), scratch.tokens.end());
  }

  ScratchDir dir_;
  std::shared_ptr<jieba::Jieba> facade_;
};

// The filters: stop words (C), white space, and punctuation-only words
// ("，", "-", "、") go with stop_words; white space alone unless keep_space.
TEST_F(SparseEncoderTest, FiltersLeaveOutTheirWords) {
  const std::string text = kA + kB + kC + " " + kE + kF + "\xEF\xBC\x8C" + "--\xE3\x80\x81" + "\t";
  EXPECT_EQ(Tokens(Make(true, false), text), (Strings{kA + kB, kE + kF}));
  EXPECT_EQ(Tokens(Make(true, true), text), (Strings{kA + kB, " ", kE + kF, "\t"}));
  EXPECT_EQ(Tokens(Make(false, false), text),
            (Strings{kA + kB, kC, kE + kF, "\xEF\xBC\x8C", "-", "-", "\xE3\x80\x81"}));
  EXPECT_EQ(Tokens(Make(false, true), text),
            (Strings{kA + kB, kC, " ", kE + kF, "\xEF\xBC\x8C", "-", "-", "\xE3\x80\x81", "\t"}));
}

// Training counts each text with tokens as one document of its tokens;
// hashed vectors are the word vectors keyed by MurmurHash3, ids ascending.
TEST_F(SparseEncoderTest, VectorsAreTheModelsWeightsOfTheTokens) {
  const SparseEncoder encoder = Make(true, false);
  const Strings storage = {kA + kB + kE + kF + kA + kB, kC + " ", kE + kF};
  const std::vector<std::string_view> texts(storage.begin(), storage.end());
  SparseEncoder::Scratch scratch;
  SparseEncoder::Counts counts(encoder);
  encoder.Train(texts.data(), texts.size(), counts, scratch);
  encoder.Commit(counts);
  BM25 reference;
  reference.train(Strings{kA + kB, kE + kF, kA + kB});
  reference.train(Strings{kE + kF});
  EXPECT_EQ(encoder.model()->serialize(), reference.serialize());

  SparseEncoder::WordVectors words;
  encoder.EncodeWords(texts.data(), texts.size(), VectorKind::kDocument, words, scratch);
  ASSERT_EQ(words.ends, (std::vector<size_t>{2, 2, 3}));
  const BM25::SparseVector expected = reference.encode_document(Strings{kA + kB, kE + kF, kA + kB});
  // In byte order of the tokens: EF (U+620A...) before AB (U+7532...).
  EXPECT_EQ(words.tokens[0].byte_offset, (kA + kB).size());
  EXPECT_EQ(words.values[0], expected.at(kE + kF));
  EXPECT_EQ(words.values[1], expected.at(kA + kB));

  SparseEncoder::HashedVectors hashed;
  encoder.EncodeHashed(texts.data(), texts.size(), VectorKind::kDocument, hashed, scratch);
  ASSERT_EQ(hashed.ends, (std::vector<size_t>{2, 2, 3}));
  const uint32_t ab = SparseEncoder::TokenId(kA + kB);
  const uint32_t ef = SparseEncoder::TokenId(kE + kF);
  EXPECT_EQ(hashed.ids[0], std::min(ab, ef));
  EXPECT_EQ(hashed.values[0], ab < ef ? expected.at(kA + kB) : expected.at(kE + kF));

  encoder.EncodeHashed(texts.data(), 1, VectorKind::kQueryOnes, hashed, scratch);
  EXPECT_EQ(std::vector<double>(hashed.values.end() - 2, hashed.values.end()),
            (std::vector<double>{1.0, 1.0}));
}

// Tokens whose ids collide add their weights, in one entry.
TEST_F(SparseEncoderTest, CollidingIdsAddUp) {
  ASSERT_EQ(SparseEncoder::TokenId("w30166"), SparseEncoder::TokenId("w38081"));
  const SparseEncoder encoder = Make(false, false);
  const std::vector<std::string_view> texts = {"w30166 w38081 w38081"};
  SparseEncoder::Scratch scratch;
  SparseEncoder::HashedVectors hashed;
  encoder.EncodeHashed(texts.data(), 1, VectorKind::kQueryOnes, hashed, scratch);
  EXPECT_EQ(hashed.ids, (std::vector<uint32_t>{SparseEncoder::TokenId("w30166")}));
  EXPECT_EQ(hashed.values, (std::vector<double>{2.0}));
}

// The bigram field counts documents of bigrams with the idf of documents;
// its ids are apart from the words'; query weights are never negative, and
// statistics survive their binary state and a merge.
TEST_F(SparseEncoderTest, TheBigramFieldAndTheIdfOfDocuments) {
  EncoderSettings settings;
  settings.bigrams = 2.0;
  settings.idf = kelp::typing::text::IdfKind::kDocuments;
  const SparseEncoder encoder(facade_, settings, std::make_shared<BM25>());
  const Strings storage = {kA + kB + kA + kB + kA + kB + kE + kF, kA + kB + kA + kB + kD,
                           kA + kB + kK + kX};
  const std::vector<std::string_view> texts(storage.begin(), storage.end());
  SparseEncoder::Scratch scratch;
  SparseEncoder::Counts counts(encoder);
  encoder.Train(texts.data(), texts.size(), counts, scratch);
  encoder.Commit(counts);
  // AB in every document: its document count is 3, not its 6 occurrences.
  EXPECT_EQ(*encoder.words().DocumentCounts()->Find(kA + kB), 3);
  EXPECT_EQ(*encoder.bigrams().DocumentCounts()->Find(kA + kB), 3);
  EXPECT_EQ(encoder.model()->doc_token_frequency().Find(kA + kB)[0], 6);

  SparseEncoder::HashedVectors query;
  const std::string asked_text = kA + kB + kE + kF;
  const std::vector<std::string_view> asked = {asked_text};
  encoder.EncodeHashed(asked.data(), 1, VectorKind::kQuery, query, scratch);
  double words = 0.0;
  for (size_t k = 0; k < query.ids.size(); ++k) {
    EXPECT_GT(query.values[k], 0.0);
    if (query.ids[k] == encoder.WordId(kA + kB) || query.ids[k] == encoder.WordId(kE + kF)) {
      words += query.values[k];
    }
  }
  EXPECT_DOUBLE_EQ(words, 1.0);  // the bigram field's weights add up to 2
  for (const uint32_t id : query.ids) {  // words in the lower half, bigrams in the upper
    EXPECT_EQ(id < SparseEncoder::kBigramBit,
              id == encoder.WordId(kA + kB) || id == encoder.WordId(kE + kF));
  }

  const SparseEncoder::Counts statistics = encoder.Statistics();
  const SparseEncoder::Counts back = SparseEncoder::Counts::Deserialize(statistics.Serialize());
  EXPECT_EQ(back.Serialize(), statistics.Serialize());
  EXPECT_TRUE(back.bigrams == *encoder.bigrams().model);
  SparseEncoder::Counts twice = back;
  twice.Merge(back);
  EXPECT_EQ(twice.words.doc_count(), 6);
  EXPECT_THROW(SparseEncoder::Counts::Deserialize(statistics.Serialize().substr(1)),
               std::invalid_argument);
}

}  // namespace
