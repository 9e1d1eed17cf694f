// Texts as the binding takes them from Python, and the helpers of the calls
// that work on many: reading a batch of texts from any iterable, the thread
// count, the chunks a batch is cut into, and the words of a batch made into
// str objects once each.
//
// Everything here runs with the interpreter lock held, except what says
// otherwise.
#pragma once

#include <Python.h>
#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tokenizer/jieba/Jieba.hpp"
#include "tokenizer/jieba/WordSpan.hpp"

namespace kelp::typing::text::pybind {

// A sentence as the cut methods take it: the UTF-8 bytes of a str, or the
// bytes of a bytes or bytearray object.
//
// An ASCII str lends its own characters (they are its UTF-8 form) and a
// bytes object its buffer; both are immutable and `owner` keeps them alive,
// so the cut reads them in place with the lock released. Any other str is
// encoded into a temporary bytes object, freed with the call (asking the str
// for its cached UTF-8 form instead would keep a second copy of the text
// alive as long as the caller's str). A bytearray is copied, since another
// thread could resize it meanwhile.
struct Sentence {
  pybind11::object owner;
  pybind11::object encoded;
  const char* data = nullptr;
  size_t size = 0;
  std::string copy;
  // True for a str: the words can then be cut out of it by code point,
  // which needs no UTF-8 decoding.
  bool is_str = false;

  std::string_view View() const { return owner ? std::string_view(data, size) : copy; }
};

}  // namespace kelp::typing::text::pybind

namespace pybind11::detail {

template <>
struct type_caster<kelp::typing::text::pybind::Sentence> {
  PYBIND11_TYPE_CASTER(kelp::typing::text::pybind::Sentence, const_name("str | bytes | bytearray"));

  bool load(handle src, bool /*convert*/) {
    PyObject* obj = src.ptr();
    if (PyUnicode_Check(obj)) {
      if (PyUnicode_READY(obj) != 0) {
        PyErr_Clear();
        return false;
      }
      if (PyUnicode_IS_ASCII(obj)) {
        value.data = static_cast<const char*>(PyUnicode_DATA(obj));
        value.size = static_cast<size_t>(PyUnicode_GET_LENGTH(obj));
      } else {
        PyObject* encoded = PyUnicode_AsUTF8String(obj);
        if (encoded == nullptr) {
          // Lone surrogates have no UTF-8 form: not a sentence.
          PyErr_Clear();
          return false;
        }
        value.encoded = reinterpret_steal<object>(encoded);
        value.data = PyBytes_AS_STRING(encoded);
        value.size = static_cast<size_t>(PyBytes_GET_SIZE(encoded));
      }
      value.owner = reinterpret_borrow<object>(src);
      value.is_str = true;
      return true;
    }
    if (PyBytes_Check(obj)) {
      value.owner = reinterpret_borrow<object>(src);
      value.data = PyBytes_AS_STRING(obj);
      value.size = static_cast<size_t>(PyBytes_GET_SIZE(obj));
      return true;
    }
    if (PyByteArray_Check(obj)) {
      value.copy.assign(PyByteArray_AS_STRING(obj), static_cast<size_t>(PyByteArray_GET_SIZE(obj)));
      return true;
    }
    return false;
  }

  static handle cast(const kelp::typing::text::pybind::Sentence&, return_value_policy, handle) {
    return none().release();
  }
};

}  // namespace pybind11::detail

namespace kelp::typing::text::pybind {

namespace py = ::pybind11;

// The value that `name` stands for among `choices`; for any other name,
// ValueError "<what> must be 'a', 'b' or 'c', not '<name>'".
template <typename T, size_t N>
T ParseChoice(const char* what, std::string_view name,
              const std::pair<std::string_view, T> (&choices)[N]) {
  for (const auto& [key, value] : choices) {
    if (name == key) {
      return value;
    }
  }
  std::string message = std::string(what) + " must be ";
  for (size_t k = 0; k < N; ++k) {
    if (k > 0) {
      message += k + 1 < N ? ", " : " or ";
    }
    message.append("'").append(choices[k].first).append("'");
  }
  message.append(", not '").append(name).append("'");
  throw py::value_error(message);
}

// The cut mode named `mode` ("default", "search" or "full"); ValueError
// for any other.
jieba::CutMode ParseMode(std::string_view mode);

// The thread count of a batch call: `threads`, or every core for None.
// ValueError below 1.
size_t ThreadCount(const std::optional<int64_t>& threads);

// Reads the texts of a batch call from any iterable (a list, a generator,
// an open text file), converting each as a sentence is. An item of another
// type raises TypeError naming its position in the iterable; a single
// str, bytes or bytearray (not an iterable of texts) raises TypeError.
class TextReader {
 public:
  TextReader(const pybind11::handle& texts, const char* method);

  // Appends the next texts to `batch`, until it holds `max_bytes` of text
  // or `max_texts` texts or the iterable ends; false when nothing was left.
  bool Read(std::vector<Sentence>& batch, size_t max_bytes, size_t max_texts);

  // The number of texts read so far.
  size_t position() const noexcept { return position_; }

 private:
  pybind11::iterator iterator_;
  const char* method_;
  size_t position_ = 0;
};

// All the texts of `texts` (see TextReader).
std::vector<Sentence> LoadTexts(const pybind11::handle& texts, const char* method);

// Consecutive ranges [first, second) of `texts`, one per unit of work of a
// batch: about 64 KiB of text or 1024 texts each, whichever comes first.
std::vector<std::pair<size_t, size_t>> SplitIntoChunks(const std::vector<Sentence>& texts);

// FNV-1a of a word's bytes; any thread.
uint64_t WordHash(const char* bytes, uint32_t length) noexcept;

// Releases the interpreter lock, while it lives, for the work on a text of
// `bytes` bytes, unless the text is too short for that to pay. Handing the
// lock to another thread and taking it back costs a few microseconds when
// threads contend for it, as much as cutting 200 bytes: two threads cutting
// sentences of 110 bytes, one call each, went at 0.6 of one thread's speed
// when every call released the lock, and at one thread's speed when none
// did; from about 250 bytes on, releasing pays (1.2 times one thread at 250
// bytes, 1.8 at 1000; bench/corpus_bench.py measures it).
class UnlockedFor {
 public:
  static constexpr size_t kReleaseBytes = 256;

  explicit UnlockedFor(size_t bytes) {
    if (bytes >= kReleaseBytes) {
      release_.emplace();
    }
  }

 private:
  std::optional<py::gil_scoped_release> release_;
};

// Keeps the cyclic garbage collector off while a batch call makes its
// results, and puts back what it found. The results are lists and dicts of
// str, int and float, which form no cycle, yet each new list or dict counts
// towards a collection, and a full collection walks every one made so far:
// for a batch of a hundred thousand texts, a quarter of the time went
// there. The setting is the process's; a thread that runs meanwhile only
// collects later.
class CollectorPause {
 public:
  CollectorPause() : was_enabled_(PyGC_Disable() == 1) {}
  ~CollectorPause() {
    if (was_enabled_) {
      PyGC_Enable();
    }
  }
  CollectorPause(const CollectorPause&) = delete;
  CollectorPause& operator=(const CollectorPause&) = delete;

 private:
  bool was_enabled_;
};

// The str objects made for the words of one batch call, by their bytes, so
// that a word met again anywhere in the batch is the same object, one more
// reference instead of a new str: most words of a corpus are repeats.
// Open addressing with linear probing, at most half full, growing up to
// kMaxSlots; past that, words not yet in it are simply made anew. It holds
// borrowed references: every word it holds is in a result list of the call,
// which outlives it. Used with the interpreter lock held.
class WordInterner {
 public:
  // A new reference to the str of the word at `span` of `sentence`.
  PyObject* Get(const Sentence& sentence, const jieba::WordSpan& span, uint64_t hash) {
    const char* bytes = sentence.View().data() + span.byte_offset;
    if (slots_.empty()) {
      slots_.resize(kInitialSlots);
    }
    size_t i = static_cast<size_t>(hash) & (slots_.size() - 1);
    while (slots_[i].word != nullptr) {
      const Slot& slot = slots_[i];
      if (slot.hash == hash && slot.length == span.byte_length &&
          std::memcmp(slot.bytes, bytes, span.byte_length) == 0) {
        Py_INCREF(slot.word);
        return slot.word;
      }
      i = (i + 1) & (slots_.size() - 1);
    }
    PyObject* word;
    if (sentence.is_str) {
      const auto start = static_cast<Py_ssize_t>(span.rune_offset);
      word = PyUnicode_Substring(sentence.owner.ptr(), start, start + span.rune_length);
    } else {
      word = PyUnicode_DecodeUTF8(bytes, static_cast<Py_ssize_t>(span.byte_length), "strict");
    }
    if (word == nullptr) {
      throw py::error_already_set();
    }
    if ((used_ + 1) * 2 <= slots_.size()) {
      slots_[i] = Slot{hash, word, bytes, span.byte_length};
      ++used_;
    } else if (slots_.size() < kMaxSlots) {
      Grow();
      Insert(Slot{hash, word, bytes, span.byte_length});
    }
    return word;
  }

 private:
  struct Slot {
    uint64_t hash = 0;
    PyObject* word = nullptr;  // null: free
    const char* bytes = nullptr;
    uint32_t length = 0;
  };
  static constexpr size_t kInitialSlots = size_t{1} << 12;
  static constexpr size_t kMaxSlots = size_t{1} << 21;

  void Grow() {
    std::vector<Slot> old(slots_.size() * 2);
    old.swap(slots_);
    used_ = 0;
    for (const Slot& slot : old) {
      if (slot.word != nullptr) {
        Insert(slot);
      }
    }
  }

  void Insert(const Slot& slot) {
    size_t i = static_cast<size_t>(slot.hash) & (slots_.size() - 1);
    while (slots_[i].word != nullptr) {
      i = (i + 1) & (slots_.size() - 1);
    }
    slots_[i] = slot;
    ++used_;
  }

  std::vector<Slot> slots_;
  size_t used_ = 0;
};

}  // namespace kelp::typing::text::pybind
