// The exact binary state: BM25::serialize and BM25::deserialize.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>

#include "bm25/BM25.hpp"
#include "tokenizer/limonp/ByteStream.hpp"
#include "tokenizer/limonp/Errors.hpp"

namespace kelp::typing::text {

namespace {

using limonp::ByteReader;
using limonp::ByteWriter;
using limonp::StateError;
using limonp::ThrowCorruptState;

// The mark that opens every state, NUL included.
constexpr std::string_view STATE_MARK("razoduviva.BM25\0", 16);
constexpr std::uint32_t STATE_FORMAT = 1;
// The smallest encoded token entry: an empty token's length and a count.
constexpr std::size_t MIN_TOKEN_ENTRY_BYTES = 8 + 8;
// TokenCounts takes keys shorter than this.
constexpr std::size_t TOKEN_BYTES_LIMIT = 0xFFFFFFFFu;

}  // namespace

std::string BM25::serialize() const {
  std::string state;
  ByteWriter out(state);
  out.WriteRaw(STATE_MARK);
  out.WriteU32(STATE_FORMAT);
  out.WriteF64(_b);
  out.WriteF64(_k1);
  out.WriteI64(_doc_count);
  out.WriteI64(_doc_total_length);
  out.WriteF64(_doc_length_average);
  out.WriteU64(_doc_token_frequency.size());
  _doc_token_frequency.ForEachSorted([&out](std::string_view token, std::int64_t count) {
    out.WriteBytes(token);
    out.WriteI64(count);
  });
  return state;
}

BM25 BM25::deserialize(std::string_view state) {
  // A non-empty beginning of the mark is a state cut short, reported as such
  // by the reader below; anything else is not a state at all.
  const std::size_t head = std::min(state.size(), STATE_MARK.size());
  if (head == 0 || state.substr(0, head) != STATE_MARK.substr(0, head)) {
    throw StateError("not a razoduviva BM25 state");
  }
  ByteReader in(state);
  in.ReadRaw(STATE_MARK.size(), "BM25 state mark");
  const std::uint32_t format = in.ReadU32("BM25 state format");
  if (format != STATE_FORMAT) {
    throw StateError("BM25 state format " + std::to_string(format) +
                     " is not supported; this build reads format " +
                     std::to_string(STATE_FORMAT));
  }
  const double b = in.ReadF64("BM25 b");
  const double k1 = in.ReadF64("BM25 k1");
  if (!std::isfinite(b) || !std::isfinite(k1)) {
    ThrowCorruptState("BM25 b and k1 must be finite numbers");
  }
  BM25 model(b, k1);
  model._doc_count = in.ReadI64("BM25 doc count");
  model._doc_total_length = in.ReadI64("BM25 total length");
  if (model._doc_total_length < 0) {
    // Training and merging only add to it, and load sets it to 0 or more:
    // no model has one below 0.
    ThrowCorruptState("BM25 total length is negative");
  }
  model._doc_length_average = in.ReadF64("BM25 average length");
  const std::size_t count = in.ReadCount(MIN_TOKEN_ENTRY_BYTES, "BM25 token counts");
  TokenCounts& counts = model._doc_token_frequency;
  counts.Reserve(count);
  std::string_view previous;
  for (std::size_t i = 0; i < count; ++i) {
    const std::string_view token = in.ReadBytes("BM25 token");
    if (i > 0 && token <= previous) {
      ThrowCorruptState("BM25 token " + std::to_string(i) +
                        " does not follow the one before it in byte order");
    }
    if (token.size() >= TOKEN_BYTES_LIMIT) {
      ThrowCorruptState("BM25 token " + std::to_string(i) + " is 4 GiB or longer");
    }
    previous = token;
    const std::int64_t token_count = in.ReadI64("BM25 token count");
    counts.Upsert(token, counts.Hash(token)) = token_count;
  }
  in.ExpectEnd();
  return model;
}

}  // namespace kelp::typing::text
