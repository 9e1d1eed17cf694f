// BM25: corpus statistics gathered one document at a time, and the sparse
// vectors built from them.
//
// A document vector holds, for each distinct token with count c in a
// document of length L, the saturated, length-normalised frequency
//   c / (K + c),  K = ((L / average length) * b + (1 - b)) * k1.
// A query vector holds each distinct token's inverse document frequency
//   ln((documents + 1) / (n + 0.5)),  n = the token's total occurrences in
//   training (1 when never seen),
// divided by the sum of those values, so that the weights sum to one. The
// sum has no guard: when it is 0 the weights are IEEE infinities or NaN, and
// when it is negative their signs flip.
//
// Tokens are byte strings or signed 64-bit ids; an id is counted under its
// decimal text, so the id 42 and the string "42" are one token. Counters are
// 64-bit and stop at INT64_MAX rather than wrap (a loaded file may hold any
// count; merging loaded negative counts stops at INT64_MIN). Results come in
// ascending key order (byte-wise for strings).
//
// The model file is the JSON text written by dump() and read by load():
// "_b", "_doc_count", "_doc_length_average", "_doc_token_frequency" (token ->
// count) and "_k1". The running total length is not saved; load takes the
// one the file implies, average times count.
//
// The state written by serialize() and read by deserialize() is the exact
// model, for pickling: unlike the model file it keeps every double bit for
// bit and the running total length, so that a restored model encodes and
// trains on exactly like the original. Encoded as limonp::ByteWriter does
// (little-endian, doubles as their bits, byte strings after a u64 length):
//   16 bytes  "razoduviva.BM25\0";
//   u32       the format, 1;
//   f64 b, f64 k1, i64 documents, i64 total length, f64 average length;
//   u64 n, then n pairs (bytes token, i64 count), the tokens strictly
//             ascending in byte order, so that one model always gives the
//             same bytes.
//
// Costs: training and encoding take one hash lookup per distinct token of
// the input plus a sort of the distinct tokens; nothing scans the vocabulary.
// Thread-safety: the const members only read the model, so they may run
// concurrently; train, merge and load must not overlap any other call on the
// model (merge only reads `other`, which other readers may share). Work that
// reads the model outside its caller's lock pins it (Pin), and train, merge
// and load refuse a pinned model.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "bm25/TokenCounts.hpp"
#include "json/JSON.hpp"

namespace kelp::typing::text {

class BM25 {
 public:
  using SparseVector = std::map<std::string, double>;
  using IdSparseVector = std::map<std::int64_t, double>;

  // One weight of an encoded token list, in ascending key order: `index` is
  // the position of the token's first occurrence in the input.
  struct IndexedWeight {
    std::size_t index;
    double weight;
  };

  // Throws std::invalid_argument when b or k1 is not finite: the model file
  // has no text for NaN or infinity that load would read back, so such a
  // model could be saved but never restored.
  explicit BM25(double b = 0.75, double k1 = 1.2);

  // One document. Throws std::runtime_error "trainning tokens_vec should not
  // be empty" for an empty list and then changes nothing. Like merge and
  // load, every overload first refuses a pinned model: std::runtime_error
  // "the model is in use: a SparseEncoder in another thread is encoding with
  // it", with nothing changed.
  void train(const std::vector<std::string>& tokens_vec);
  void train(const std::vector<std::int64_t>& tokens_vec);
  void train(const std::string_view* tokens, std::size_t size);
  void train(const std::int64_t* tokens, std::size_t size);
  // One document of `length` tokens whose distinct tokens are `distinct`:
  // each distinct token counts once, so the counts are the number of
  // documents holding a token rather than its occurrences (for a field
  // whose idf counts documents), while the lengths stay the documents'.
  // Throws as train does for an empty document.
  void train_distinct(const std::string_view* distinct, std::size_t size, std::size_t length);
  // Many documents in order; empty inner lists are skipped. Throws the same
  // error when the outer list is empty.
  void train(const std::vector<std::vector<std::int64_t>>& tokens_vec_list);

  // Adds the statistics of `other`, a model with the same b and k1, to this
  // one: the document count, the per-token counts and the total length add
  // up (stopping at the 64-bit limits, as training does), and the average
  // length is recomputed as total / count (0 when no documents are left).
  // So training on A and then merging a model trained on B gives the model
  // that training on A and then B gives, the average bit for bit. `other`
  // may be this model, which doubles it; `other` may be pinned, this model
  // may not (see train). Throws std::invalid_argument
  // "merge: b and k1 must be equal: <b>, <k1> and <other b>, <other k1>"
  // when they differ, and then changes nothing; a std::bad_alloc changes
  // nothing either. Costs one hash and one probe per token of `other`.
  void merge(const BM25& other);

  // An empty list gives an empty vector; otherwise an untrained model throws
  // std::runtime_error "BM25 has not been initialized".
  SparseVector encode_document(const std::vector<std::string>& tokens_vec) const;
  IdSparseVector encode_document(const std::vector<std::int64_t>& tokens_vec) const;
  SparseVector encode_query(const std::vector<std::string>& tokens_vec) const;
  IdSparseVector encode_query(const std::vector<std::int64_t>& tokens_vec) const;

  // The same encoders over borrowed tokens, writing `out` (cleared first) in
  // ascending key order; the caller maps each index back to its token.
  void encode_document(const std::string_view* tokens, std::size_t size,
                       std::vector<IndexedWeight>& out) const;
  void encode_document(const std::int64_t* tokens, std::size_t size,
                       std::vector<IndexedWeight>& out) const;
  void encode_query(const std::string_view* tokens, std::size_t size,
                    std::vector<IndexedWeight>& out) const;
  void encode_query(const std::int64_t* tokens, std::size_t size,
                    std::vector<IndexedWeight>& out) const;

  double idf(std::string_view token) const;

  // Reads a model file's text. Every member is read and checked before the
  // model changes, so a failure leaves the model exactly as it was. Token
  // counts merge into the current ones (tokens absent from the text keep
  // their counts). The running total length becomes the one the file
  // implies, round(average * count) clamped to 0..INT64_MAX, so that
  // training or merging on averages over the loaded documents too (to the
  // file's six decimals of the average). Throws
  // std::runtime_error with "json data should not be empty" or "load <member>
  // failed", and passes through the parser's std::invalid_argument and
  // std::out_of_range; a pinned model is refused first (see train).
  void load(std::string_view json_data);

  // Replaces b, k1, the total length and the average length with exact
  // values kept beside a model file, whose numbers have six decimals (the
  // encoder's file does so), after load() read the file. Throws, changing
  // nothing, as load() does for a pinned model, and std::invalid_argument
  // for a b or k1 that is not finite or a negative total length.
  void restore_exact(double b, double k1, std::int64_t total_length, double average);

  // Writes the model file at `path`, through a temporary file in the same
  // folder that is renamed over the target, so a failed dump leaves any
  // earlier file whole. Throws std::runtime_error "Failed to dump: ...", or
  // std::invalid_argument for a path holding a NUL byte.
  void dump(const std::string& path) const;

  // The model file's text, as dump() writes it.
  std::string to_json() const;
  // The model file's value, for files that hold it with more members.
  json::JSON to_json_value() const;

  // The model's state (see the top of this file). Costs a sort of the
  // tokens, like to_json, and about 16 bytes plus the token per token.
  std::string serialize() const;

  // The model of a state written by serialize(). Throws limonp::StateError
  // (a std::invalid_argument): "not a razoduviva BM25 state" for bytes that
  // do not start with its mark, "BM25 state format N is not supported; this
  // build reads format 1" for another format, and "corrupt state: ..." for
  // a state that is cut short, has bytes after its end, non-finite b or k1,
  // a negative total length, or tokens out of order or repeated. Memory is
  // bounded by a small multiple of the state's size, whatever it holds.
  static BM25 deserialize(std::string_view state);

  // Work that reads the model outside its caller's own serialisation (an
  // encoder's batch running without the interpreter lock) pins it for its
  // duration; train, merge and load refuse a pinned model. pin, unpin and
  // pinned are not synchronised themselves: the caller's lock (the
  // interpreter lock) must cover them.
  //
  // A pin belongs to the object, not to its statistics: a copy, or a model
  // moved from a pinned one, starts unpinned, and a model assigned to keeps
  // its own count. Assigning changes the model as train does, so the target
  // must not be pinned: the caller checks pinned() first, under the same
  // lock.
  void pin() const noexcept { ++_pins.count; }
  void unpin() const noexcept { --_pins.count; }
  bool pinned() const noexcept { return _pins.count != 0; }

  // Holds a model pinned while it lives. Made and destroyed under the
  // caller's lock, the one that covers pin and unpin; the model must outlive
  // it. Not copyable: each Pin is one pin, released once.
  class Pin {
   public:
    explicit Pin(const BM25& model) noexcept : _model(model) { _model.pin(); }
    ~Pin() { _model.unpin(); }
    Pin(const Pin&) = delete;
    Pin& operator=(const Pin&) = delete;

   private:
    const BM25& _model;
  };

  // True when both models have the same parameters and statistics (b, k1,
  // document count, total and average length, every token's count).
  bool operator==(const BM25& other) const;
  bool operator!=(const BM25& other) const { return !(*this == other); }

  // False while encoding would throw "BM25 has not been initialized": no
  // documents, or an average length of zero.
  bool ready() const noexcept;

  double b() const noexcept { return _b; }
  double k1() const noexcept { return _k1; }
  std::int64_t doc_count() const noexcept { return _doc_count; }
  std::int64_t doc_total_length() const noexcept { return _doc_total_length; }
  double doc_length_average() const noexcept { return _doc_length_average; }
  const TokenCounts& doc_token_frequency() const noexcept { return _doc_token_frequency; }

 private:
  struct Distinct {
    std::size_t first;  // index of the first occurrence
    std::size_t count;
    std::uint64_t hash;
  };

  // The pin count of this object; copies do not take it (see pin).
  struct PinCount {
    int count = 0;
    PinCount() noexcept = default;
    PinCount(const PinCount&) noexcept {}
    PinCount& operator=(const PinCount&) noexcept { return *this; }
  };

  void _train(const std::string_view* tokens, std::size_t size);
  void _train(const std::int64_t* tokens, std::size_t size);
  void _finish_document(std::size_t length);
  // Throws the refusal of train, merge and load while the model is pinned.
  void _check_not_pinned() const;
  void _check_ready() const;
  // The encoders over borrowed tokens, for std::string_view and
  // std::int64_t tokens alike.
  template <typename Token>
  void _encode_document(const Token* tokens, std::size_t size,
                        std::vector<IndexedWeight>& out) const;
  template <typename Token>
  void _encode_query(const Token* tokens, std::size_t size, std::vector<IndexedWeight>& out) const;
  // Distinct tokens of the list with their counts: in first-occurrence
  // order for strings (see _sort_by_key), in ascending order for ids.
  void _token_frequency(const std::string_view* tokens, std::size_t size,
                        std::vector<Distinct>& out) const;
  static void _sort_by_key(const std::string_view* tokens, std::vector<Distinct>& distinct);
  void _token_frequency(const std::int64_t* tokens, std::size_t size,
                        std::vector<Distinct>& out) const;
  double _idf(std::string_view key, std::uint64_t hash) const;
  double _document_saturation(std::size_t length) const;
  // The document weights c / (K + c) of `distinct`, in its order, for a
  // document of `length` tokens.
  void _document_weights(const std::vector<Distinct>& distinct, std::size_t length,
                         std::vector<IndexedWeight>& out) const;

  double _b;
  double _k1;
  std::int64_t _doc_count = 0;
  std::int64_t _doc_total_length = 0;
  double _doc_length_average = 0.0;
  TokenCounts _doc_token_frequency;
  mutable PinCount _pins;
};

}  // namespace kelp::typing::text
