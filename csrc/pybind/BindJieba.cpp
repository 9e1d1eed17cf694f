// The Python class Jieba over the tokenizer facade.
//
// A cut converts the sentence with the interpreter lock held, releases the
// lock for the whole segmentation (so other Python threads run, and several
// threads may cut with one object at once: the facade is read-only), and
// re-acquires it to build the list of words.
//
// Failures of the core reach Python as the most specific built-in exception,
// chosen by the C++ type, never by the message: a data file that cannot be
// opened is an OSError subclass (FileNotFoundError, PermissionError,
// IsADirectoryError ... from its errno), malformed content a ValueError
// naming the file and the line, a text of 4 GiB or more a ValueError.
#include <Python.h>
#include <malloc.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <pybind11/typing.h>

#include "pybind/Bind.hpp"
#include "tokenizer/jieba/Jieba.hpp"
#include "tokenizer/jieba/WordSpan.hpp"
#include "tokenizer/limonp/Errors.hpp"

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
  PYBIND11_TYPE_CASTER(kelp::typing::text::pybind::Sentence, const_name("str"));

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
using jieba::Jieba;
using jieba::WordSpan;
using Words = py::typing::List<py::str>;

namespace {

// Raises `error` as OSError(errno, message, path): calling OSError with an
// errno picks the subclass (FileNotFoundError for ENOENT and so on).
void RaiseOSError(const limonp::FileError& error) {
  PyObject* path = PyUnicode_DecodeFSDefaultAndSize(error.path().data(),
                                                    static_cast<Py_ssize_t>(error.path().size()));
  if (path == nullptr) {
    return;  // the decoding error is raised instead
  }
  PyObject* message = PyUnicode_DecodeUTF8(error.what(), static_cast<Py_ssize_t>(std::strlen(error.what())),
                                           "surrogateescape");
  if (message == nullptr) {
    Py_DECREF(path);
    return;
  }
  const int number = error.error_number() != 0 ? error.error_number() : EIO;
  PyObject* exc = PyObject_CallFunction(PyExc_OSError, "iOO", number, message, path);
  Py_DECREF(message);
  Py_DECREF(path);
  if (exc == nullptr) {
    return;
  }
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc);
  Py_DECREF(exc);
}

void RaiseValueError(const char* what) {
  PyObject* message = PyUnicode_DecodeUTF8(what, static_cast<Py_ssize_t>(std::strlen(what)),
                                           "surrogateescape");
  if (message == nullptr) {
    return;
  }
  PyErr_SetObject(PyExc_ValueError, message);
  Py_DECREF(message);
}

void TranslateCoreErrors(std::exception_ptr thrown) {
  try {
    if (thrown) {
      std::rethrow_exception(thrown);
    }
  } catch (const limonp::FileError& e) {
    RaiseOSError(e);
  } catch (const limonp::DataError& e) {
    RaiseValueError(e.what());
  } catch (const std::length_error& e) {
    RaiseValueError(e.what());
  }
}

// For each word, the index of the first earlier word with the same bytes,
// or its own index. Runs without the interpreter lock, so that the part of a
// cut that holds the lock creates each distinct word once and only takes
// another reference for its repeats (punctuation and function words make up
// a good share of any text). Equal words are found through a small
// direct-mapped table: a word whose slot was taken by another word is simply
// created again.
std::vector<uint32_t> FindRepeats(std::string_view bytes, const std::vector<WordSpan>& spans) {
  std::vector<uint32_t> first(spans.size());
  size_t slots = 16;
  while (slots < spans.size() && slots < (size_t{1} << 16)) {
    slots <<= 1;
  }
  constexpr uint32_t kFree = UINT32_MAX;
  std::vector<uint32_t> table(slots, kFree);
  for (size_t k = 0; k < spans.size(); ++k) {
    const WordSpan& span = spans[k];
    const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes.data()) + span.byte_offset;
    uint64_t hash = 14695981039346656037ull;  // FNV-1a
    for (uint32_t i = 0; i < span.byte_length; ++i) {
      hash = (hash ^ p[i]) * 1099511628211ull;
    }
    uint32_t& slot = table[(hash ^ (hash >> 32)) & (slots - 1)];
    if (slot != kFree && spans[slot].byte_length == span.byte_length &&
        std::memcmp(bytes.data() + spans[slot].byte_offset, p, span.byte_length) == 0) {
      first[k] = slot;
    } else {
      first[k] = static_cast<uint32_t>(k);
      slot = static_cast<uint32_t>(k);
    }
  }
  return first;
}

// The list of the words at `spans` of `sentence`, each decoded strictly from
// UTF-8 (a word that is not valid UTF-8 raises UnicodeDecodeError). Words of
// a str are cut out of the str itself by code point: its UTF-8 form is
// valid, so each span is whole code points, and no decoding is needed. A
// repeated word (see FindRepeats) is the same str object as its first
// occurrence.
Words WordsToList(const Sentence& sentence, const std::vector<WordSpan>& spans,
                  const std::vector<uint32_t>& first) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(spans.size()));
  if (list == nullptr) {
    throw py::error_already_set();
  }
  const std::string_view bytes = sentence.View();
  for (size_t k = 0; k < spans.size(); ++k) {
    const WordSpan& span = spans[k];
    PyObject* word;
    if (first[k] != k) {
      word = PyList_GET_ITEM(list, static_cast<Py_ssize_t>(first[k]));
      Py_INCREF(word);
    } else if (sentence.is_str) {
      const auto start = static_cast<Py_ssize_t>(span.rune_offset);
      word = PyUnicode_Substring(sentence.owner.ptr(), start, start + span.rune_length);
    } else {
      word = PyUnicode_DecodeUTF8(bytes.data() + span.byte_offset,
                                  static_cast<Py_ssize_t>(span.byte_length), "strict");
    }
    if (word == nullptr) {
      Py_DECREF(list);
      throw py::error_already_set();
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(k), word);
  }
  return py::reinterpret_steal<Words>(list);
}

// Loading builds large temporary buffers (file contents, sort orders, the
// trie under construction). Once they are freed, most of that memory sits in
// the allocator's free lists, counted as resident; give it back to the
// system, as a facade is typically built once in a long-lived process.
void ReleaseFreeHeap() {
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}

// A path with a NUL byte would be cut short there by the system and name
// another file; refuse it, as Python's own file functions do.
void CheckPath(const char* name, const std::string& path) {
  if (path.find('\0') != std::string::npos) {
    throw py::value_error(std::string(name) + ": embedded null byte");
  }
}

std::shared_ptr<Jieba> MakeJieba(const std::string& dict_path, const std::string& hmm_path,
                                 const std::string& user_dict_path, const std::string& idf_path,
                                 const std::string& stop_word_path) {
  CheckPath("dict_path", dict_path);
  CheckPath("hmm_path", hmm_path);
  CheckPath("user_dict_path", user_dict_path);
  CheckPath("idf_path", idf_path);
  CheckPath("stop_word_path", stop_word_path);
  std::shared_ptr<Jieba> facade(
      new Jieba(dict_path, hmm_path, user_dict_path, idf_path, stop_word_path));
  ReleaseFreeHeap();
  return facade;
}

template <bool kSearch>
Words CutSentence(const Jieba& self, const Sentence& sentence) {
  std::vector<WordSpan> spans;
  std::vector<uint32_t> first;
  {
    py::gil_scoped_release unlocked;
    if constexpr (kSearch) {
      self.CutQuery(sentence.View(), spans, true);
    } else {
      self.Cut(sentence.View(), spans, true);
    }
    first = FindRepeats(sentence.View(), spans);
  }
  return WordsToList(sentence, spans, first);
}

}  // namespace

void BindJieba(py::module_& m) {
  py::register_local_exception_translator(TranslateCoreErrors);

  py::class_<Jieba, std::shared_ptr<Jieba>>(m, "Jieba")
      .def(py::init(&MakeJieba), py::arg("dict_path"), py::arg("hmm_path"), py::arg("user_dict_path"),
           py::arg("idf_path"), py::arg("stop_word_path"))
      .def("cut", &CutSentence<false>, py::arg("sentence"))
      .def("cut_for_search", &CutSentence<true>, py::arg("sentence"));
}

void BindTokenizder(py::module_& m) { BindJieba(m); }

}  // namespace kelp::typing::text::pybind
