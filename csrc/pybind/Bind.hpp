// Registration of the Python classes, called once by the module entry; and
// the compiled encoder, which the index's calls take as an argument.
#pragma once

#include <pybind11/pybind11.h>

#include <atomic>
#include <cstddef>
#include <memory>
#include <optional>
#include <utility>

#include "bm25/BM25.hpp"
#include "encoder/SparseEncoder.hpp"
#include "pybind/Convert.hpp"

namespace kelp::typing::text::pybind {

void BindBM25(pybind11::module_& m);
void BindTokenizder(pybind11::module_& m);
void BindEncoder(pybind11::module_& m);
void BindIndex(pybind11::module_& m);
// Wraps the public methods of the classes so that wrong arguments raise
// TypeError in the caller's words; called once the classes are registered.
void BindArgumentErrors(pybind11::module_& m);

// An encoder, what its batches do with text that is not UTF-8, and the
// thread count of its batch calls, which Python may change at any time.
class Encoder {
 public:
  // `jieba` is the Python object of the segmenter, kept so that the
  // property gives back that object (a razoduviva.Jieba, with its state).
  Encoder(pybind11::object jieba, EncoderSettings settings, std::shared_ptr<BM25> model,
          Threads threads, TextErrors errors)
      : jieba_(std::move(jieba)),
        encoder_(jieba_.cast<std::shared_ptr<jieba::Jieba>>(), std::move(settings),
                 std::move(model)),
        errors_(errors),
        threads_(threads.count) {}

  const SparseEncoder& core() const noexcept { return encoder_; }
  const pybind11::object& jieba() const noexcept { return jieba_; }
  TextErrors errors() const noexcept { return errors_; }
  Threads threads() const noexcept { return Threads{threads_.load()}; }
  void set_threads(Threads threads) noexcept { threads_.store(threads.count); }

 private:
  pybind11::object jieba_;
  SparseEncoder encoder_;
  const TextErrors errors_;
  std::atomic<size_t> threads_;
};

// Holds an encoder's statistics pinned (BM25::Pin) while it lives, for work
// that reads them without the interpreter lock; made and destroyed with it.
class EncoderPin {
 public:
  explicit EncoderPin(const SparseEncoder& encoder) : words_(*encoder.model()) {
    if (encoder.bigrams().model != nullptr) {
      bigrams_.emplace(*encoder.bigrams().model);
    }
  }

 private:
  BM25::Pin words_;
  std::optional<BM25::Pin> bigrams_;
};

}  // namespace kelp::typing::text::pybind
