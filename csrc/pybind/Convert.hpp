// What the binding converts, in one place: texts from Python (one, or a
// batch from any iterable), the settings that arrive as str or None (cut
// mode, vector format, thread count), the entries of words changed at run
// time, and the str, int and float objects of results, each distinct one
// made once per call.
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

#include "batch/StagedFit.hpp"
#include "encoder/SparseEncoder.hpp"
#include "index/IndexBatches.hpp"
#include "tokenizer/jieba/DictEdits.hpp"
#include "tokenizer/jieba/Jieba.hpp"
#include "tokenizer/jieba/WordSpan.hpp"

namespace kelp::typing::text::pybind {

namespace py = ::pybind11;

// What a batch does with a text that is not UTF-8: the core counts it as
// empty (kStrict), or the binding reads the bad bytes as U+FFFD (kReplace).
enum class TextErrors { kStrict, kReplace };

// A text as the methods take it: the UTF-8 bytes of a str, or the bytes of
// a bytes or bytearray object.
//
// An ASCII str lends its own characters (they are its UTF-8 form) and a
// bytes object its buffer; both are immutable and `owner` keeps them alive,
// so the work reads them in place with the lock released. Any other str is
// encoded into a temporary bytes object, freed with the call (asking the str
// for its cached UTF-8 form instead would keep a second copy of the text
// alive as long as the caller's str). A bytearray is copied, since another
// thread could resize it meanwhile.
struct Sentence {
  py::object owner;
  py::object encoded;
  const char* data = nullptr;
  size_t size = 0;
  std::string copy;
  // True for a str: its words can be cut out of it by code point, which
  // needs no UTF-8 decoding.
  bool is_str = false;

  std::string_view View() const { return owner ? std::string_view(data, size) : copy; }
  // Loads a str, bytes or bytearray; false (and no Python error set) for
  // anything else. A str holding a lone surrogate, which has no UTF-8 form,
  // raises ValueError saying where.
  bool Load(py::handle src);
  // Loads an item of a batch: as Load, and None and pandas' missing values
  // as an empty text; with kReplace, bytes that are not UTF-8 and lone
  // surrogates are read as U+FFFD, else they are kept for the core, which
  // counts the text as empty.
  bool LoadItem(py::handle src, TextErrors errors);
};

// The views of `texts`.
std::vector<std::string_view> Views(const std::vector<Sentence>& texts);

// All the texts of an iterable (a list, a generator, an open text file),
// read first. An item that is not a text raises TypeError naming its
// position; a single str, bytes or bytearray (not an iterable of texts)
// raises TypeError.
std::vector<Sentence> LoadTexts(py::handle texts, const char* method, TextErrors errors);

// The texts of an iterable as a stream, for a fit: read a batch at a time
// on the calling thread, which Next takes the interpreter lock for (the fit
// runs with it released). Checks for signals (Ctrl-C) before each batch.
class IterableSource : public batch::TextSource {
 public:
  IterableSource(py::handle texts, const char* method, TextErrors errors);
  ~IterableSource() override;

  bool Next(size_t max_bytes, size_t max_texts, std::vector<std::string_view>& texts) override;

 private:
  py::iterator iterator_;
  const char* method_;
  TextErrors errors_;
  size_t position_ = 0;
  // The batch being read and the one before it, which the fit still reads.
  std::vector<Sentence> batches_[2];
  size_t current_ = 0;
};

// The ids of an iterable of ints (a list, a range, a NumPy array of
// integers), read a batch at a time, the interpreter lock taken inside Next
// (the staging runs with it released): TypeError naming the position of an
// item that is not an int (a bool or a float neither), ValueError naming it
// for one outside the int64 range.
class IdIterable : public index::IdSource {
 public:
  IdIterable(py::handle ids, const char* method);

  size_t Next(size_t count, std::vector<int64_t>& out) override;

 private:
  py::object iterator_;
  const char* method_;
  size_t position_ = 0;
};

// The items of a one-dimensional, contiguous buffer of T (an array.array, a
// NumPy array), viewed; TypeError naming `what` for any other object.
template <typename T>
class BufferOf {
 public:
  BufferOf(py::handle object, const char* what) {
    if (py::isinstance<py::buffer>(object)) {
      info_ = py::reinterpret_borrow<py::buffer>(object).request();
      if (info_.ndim == 1 && info_.item_type_is_equivalent_to<T>() &&
          (info_.size <= 1 || info_.strides[0] == static_cast<py::ssize_t>(sizeof(T)))) {
        return;
      }
    }
    throw py::type_error(std::string(what) + " must be a contiguous buffer of " +
                         py::format_descriptor<T>::format());
  }

  const T* data() const noexcept { return static_cast<const T*>(info_.ptr); }
  size_t size() const noexcept { return static_cast<size_t>(info_.size); }

 private:
  py::buffer_info info_;
};

// Settings that arrive from Python as a name, parsed once at the door into
// their enum value: ValueError "<what> must be 'a', 'b' or 'c', not 'x'"
// for an unknown name.
enum class Format { kIndices, kCsr, kDict };

template <typename T>
struct Choices;

template <>
struct Choices<jieba::CutMode> {
  static constexpr const char* kWhat = "mode";
  static constexpr std::pair<std::string_view, jieba::CutMode> kValues[] = {
      {"default", jieba::CutMode::kDefault},
      {"search", jieba::CutMode::kSearch},
      {"full", jieba::CutMode::kFull}};
};

template <>
struct Choices<IdfKind> {
  static constexpr const char* kWhat = "idf";
  static constexpr std::pair<std::string_view, IdfKind> kValues[] = {
      {"occurrences", IdfKind::kOccurrences}, {"documents", IdfKind::kDocuments}};
};

template <>
struct Choices<TextErrors> {
  static constexpr const char* kWhat = "errors";
  static constexpr std::pair<std::string_view, TextErrors> kValues[] = {
      {"strict", TextErrors::kStrict}, {"replace", TextErrors::kReplace}};
};

template <>
struct Choices<Format> {
  static constexpr const char* kWhat = "format";
  static constexpr std::pair<std::string_view, Format> kValues[] = {
      {"indices", Format::kIndices}, {"csr", Format::kCsr}, {"dict", Format::kDict}};
};

template <typename T>
T ParseChoice(std::string_view name) {
  for (const auto& [key, value] : Choices<T>::kValues) {
    if (name == key) {
      return value;
    }
  }
  std::string message = std::string(Choices<T>::kWhat) + " must be ";
  constexpr size_t n = std::size(Choices<T>::kValues);
  for (size_t k = 0; k < n; ++k) {
    message.append(k == 0 ? "'" : k + 1 < n ? ", '" : " or '").append(Choices<T>::kValues[k].first);
    message.append("'");
  }
  throw py::value_error(message.append(", not '").append(name).append("'"));
}

template <typename T>
const char* ChoiceName(T value) {
  for (const auto& [key, choice] : Choices<T>::kValues) {
    if (choice == value) {
      return key.data();
    }
  }
  return "";
}

// A thread count: None for every core (0), or a whole number of 1 or more.
struct Threads {
  size_t count = 0;
};

// A switch: True or False, and nothing else (not None, not 0, not "no").
struct Flag {
  bool value = false;
};

// A file path: str, bytes or os.PathLike, as its bytes in the file system's
// encoding; a NUL byte is refused where the path is used.
struct Path {
  std::string bytes;
};

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

// The str objects of the words of one call, by their bytes, so that a word
// met again anywhere in the call is the same object, one more reference
// instead of a new str: most words of a text are repeats. Open addressing
// with linear probing, at most half full, growing up to kMaxSlots; past
// that, words not yet in it are simply made anew. It holds borrowed
// references: every word it holds is in a result of the call, which
// outlives it.
class WordInterner {
 public:
  // `expected`: about how many words the call makes, to size the table.
  explicit WordInterner(size_t expected = 0);

  // A new reference to the str of the word at `span` of `sentence`, whose
  // bytes hash to `hash` (limonp::Fnv1a). A word of a str is cut out of the
  // str by code point; one of bytes is decoded strictly from UTF-8
  // (UnicodeDecodeError when it is not).
  PyObject* Get(const Sentence& sentence, const jieba::WordSpan& span, uint64_t hash);

  // A new list of the `count` words at `spans` of `sentence`.
  PyObject* List(const Sentence& sentence, const jieba::WordSpan* spans, const uint64_t* hashes,
                 size_t count);

 private:
  struct Slot {
    uint64_t hash = 0;
    PyObject* word = nullptr;  // null: free
    const char* bytes = nullptr;
    uint32_t length = 0;
  };
  static constexpr size_t kMaxSlots = size_t{1} << 21;

  void Insert(const Slot& slot);

  std::vector<Slot> slots_;
  size_t used_ = 0;
};

// The int or float objects of a call's numbers, by value: a token's id
// comes back in every text that holds the token, and document weights
// repeat too (they depend only on a token's count and the text's length),
// so most numbers are one more reference to an object made before.
// Direct-mapped: a value whose slot another took is made anew. Holds its
// references until the call ends.
class NumberCache {
 public:
  NumberCache() : ints_(kSlots), floats_(kSlots) {}
  ~NumberCache();
  NumberCache(const NumberCache&) = delete;
  NumberCache& operator=(const NumberCache&) = delete;

  // New references to the int of `id` and the float of `value`.
  PyObject* Int(uint32_t id);
  PyObject* Float(double value);

 private:
  struct Slot {
    uint64_t bits = 0;
    PyObject* object = nullptr;
  };
  static constexpr unsigned kBits = 14;
  static constexpr size_t kSlots = size_t{1} << kBits;

  template <typename Make>
  static PyObject* Get(std::vector<Slot>& slots, uint64_t bits, Make&& make);

  std::vector<Slot> ints_;
  std::vector<Slot> floats_;
};

// Sets OSError(errno, the system's reason, path) as the Python error: the
// errno picks the subclass (FileNotFoundError for ENOENT and so on).
void RaiseOSError(const std::string& path, int error_number);

// Registers the translation of the core's own exceptions: a data file that
// cannot be opened is an OSError subclass (FileNotFoundError,
// PermissionError, IsADirectoryError ... from its errno) with the path,
// malformed content or a text of 4 GiB or more a ValueError.
void RegisterErrors();

}  // namespace kelp::typing::text::pybind

namespace pybind11::detail {

template <>
struct type_caster<kelp::typing::text::pybind::Sentence> {
  PYBIND11_TYPE_CASTER(kelp::typing::text::pybind::Sentence, const_name("str | bytes | bytearray"));
  bool load(handle src, bool) { return value.Load(src); }
};

template <typename T>
struct choice_caster {
  PYBIND11_TYPE_CASTER(T, const_name("str"));
  bool load(handle src, bool) {
    if (!PyUnicode_Check(src.ptr())) {
      return false;
    }
    value = kelp::typing::text::pybind::ParseChoice<T>(src.cast<std::string_view>());
    return true;
  }
  static handle cast(T src, return_value_policy, handle) {
    return str(kelp::typing::text::pybind::ChoiceName(src)).release();
  }
};

template <>
struct type_caster<kelp::typing::text::jieba::CutMode>
    : choice_caster<kelp::typing::text::jieba::CutMode> {};
template <>
struct type_caster<kelp::typing::text::pybind::Format>
    : choice_caster<kelp::typing::text::pybind::Format> {};
template <>
struct type_caster<kelp::typing::text::pybind::TextErrors>
    : choice_caster<kelp::typing::text::pybind::TextErrors> {};
template <>
struct type_caster<kelp::typing::text::IdfKind> : choice_caster<kelp::typing::text::IdfKind> {};

template <>
struct type_caster<kelp::typing::text::pybind::Flag> {
  PYBIND11_TYPE_CASTER(kelp::typing::text::pybind::Flag, const_name("bool"));
  bool load(handle src, bool) {
    if (!PyBool_Check(src.ptr())) {
      return false;
    }
    value.value = src.ptr() == Py_True;
    return true;
  }
  static handle cast(kelp::typing::text::pybind::Flag src, return_value_policy, handle) {
    return handle(src.value ? Py_True : Py_False).inc_ref();
  }
};

template <>
struct type_caster<kelp::typing::text::pybind::Path> {
  PYBIND11_TYPE_CASTER(kelp::typing::text::pybind::Path, const_name("str | bytes | os.PathLike[str]"));
  bool load(handle src, bool);
};

template <>
struct type_caster<kelp::typing::text::pybind::Threads> {
  PYBIND11_TYPE_CASTER(kelp::typing::text::pybind::Threads, const_name("int | None"));
  bool load(handle src, bool);
  static handle cast(kelp::typing::text::pybind::Threads src, return_value_policy, handle) {
    return src.count == 0 ? none().release() : int_(src.count).release();
  }
};

// A word changed at run time, as the tuple (word, removed, weight, tag),
// word and tag as UTF-8 bytes.
template <>
struct type_caster<kelp::typing::text::jieba::DictEdits::Entry> {
  PYBIND11_TYPE_CASTER(kelp::typing::text::jieba::DictEdits::Entry,
                       const_name("tuple[bytes, bool, float, bytes]"));
  bool load(handle src, bool convert);
  static handle cast(const kelp::typing::text::jieba::DictEdits::Entry& entry,
                     return_value_policy, handle);
};

}  // namespace pybind11::detail
