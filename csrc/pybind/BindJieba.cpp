// The Python class Jieba over the tokenizer facade.
//
// A cut converts the sentence with the interpreter lock held, releases the
// lock for the whole segmentation (so other Python threads run, and several
// threads may cut with one object at once), and re-acquires it to build the
// result. The modes of the cut methods are one CutMode value, dispatched by
// the facade.
//
// Failures of the core reach Python as the most specific built-in exception,
// chosen by the C++ type, never by the message: a data file that cannot be
// opened is an OSError subclass (FileNotFoundError, PermissionError,
// IsADirectoryError ... from its errno), malformed content a ValueError
// naming the file and the line, a text of 4 GiB or more a ValueError, and a
// word that add_word refuses a ValueError (std::invalid_argument).
#include <Python.h>
#include <malloc.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include <pybind11/stl.h>
#include <pybind11/typing.h>

#include "pybind/Bind.hpp"
#include "pybind/NativeLog.hpp"
#include "pybind/Texts.hpp"
#include "tokenizer/jieba/Jieba.hpp"
#include "tokenizer/jieba/WordSpan.hpp"
#include "tokenizer/limonp/Errors.hpp"
#include "tokenizer/limonp/OrderedChunks.hpp"


namespace kelp::typing::text::pybind {

namespace py = ::pybind11;
using jieba::Jieba;
using jieba::WordSpan;
using Words = py::typing::List<py::str>;
using Tokens = py::typing::List<py::typing::Tuple<py::str, py::int_, py::int_>>;
using Tags = py::typing::List<py::typing::Tuple<py::str, py::str>>;

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
void FindRepeats(std::string_view bytes, const WordSpan* spans, size_t count, uint32_t* first) {
  size_t slots = 16;
  while (slots < count && slots < (size_t{1} << 16)) {
    slots <<= 1;
  }
  constexpr uint32_t kFree = UINT32_MAX;
  std::vector<uint32_t> table(slots, kFree);
  for (size_t k = 0; k < count; ++k) {
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
}

std::vector<uint32_t> FindRepeats(std::string_view bytes, const std::vector<WordSpan>& spans) {
  std::vector<uint32_t> first(spans.size());
  FindRepeats(bytes, spans.data(), spans.size(), first.data());
  return first;
}

// The list of the words at `spans` of `sentence`, each decoded strictly from
// UTF-8 (a word that is not valid UTF-8 raises UnicodeDecodeError). Words of
// a str are cut out of the str itself by code point: its UTF-8 form is
// valid, so each span is whole code points, and no decoding is needed. A
// repeated word (see FindRepeats) is the same str object as its first
// occurrence.
Words WordsToList(const Sentence& sentence, const WordSpan* spans, const uint32_t* first,
                  size_t count) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(count));
  if (list == nullptr) {
    throw py::error_already_set();
  }
  const std::string_view bytes = sentence.View();
  for (size_t k = 0; k < count; ++k) {
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

Words WordsToList(const Sentence& sentence, const std::vector<WordSpan>& spans,
                  const std::vector<uint32_t>& first) {
  return WordsToList(sentence, spans.data(), first.data(), spans.size());
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
  const NativeLogScope log;
  std::shared_ptr<Jieba> facade(
      new Jieba(dict_path, hmm_path, user_dict_path, idf_path, stop_word_path));
  ReleaseFreeHeap();
  return facade;
}

// The spans of `sentence` cut in `mode`, with the interpreter lock
// released, and for each the index of its first repeat (FindRepeats).
struct CutResult {
  std::vector<WordSpan> spans;
  std::vector<uint32_t> first;
};

CutResult CutSpans(const Jieba& self, const Sentence& sentence, jieba::CutMode mode, bool hmm) {
  CutResult result;
  const NativeLogScope log;
  const UnlockedFor unlocked(sentence.View().size());
  self.Cut(mode, sentence.View(), result.spans, hmm);
  result.first = FindRepeats(sentence.View(), result.spans);
  return result;
}

Words CutWords(const Jieba& self, const Sentence& sentence, jieba::CutMode mode, bool hmm) {
  const CutResult cut = CutSpans(self, sentence, mode, hmm);
  return WordsToList(sentence, cut.spans, cut.first);
}

// A new tuple of the given items, whose references it steals.
PyObject* Tuple(std::initializer_list<PyObject*> items) {
  PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(items.size()));
  Py_ssize_t k = 0;
  for (PyObject* item : items) {
    if (tuple == nullptr || item == nullptr) {
      Py_XDECREF(item);
      continue;
    }
    PyTuple_SET_ITEM(tuple, k++, item);
  }
  if (tuple != nullptr && k != static_cast<Py_ssize_t>(items.size())) {
    Py_DECREF(tuple);
    return nullptr;
  }
  return tuple;
}

// Replaces each word of `words` by the tuple make(word, k), which takes
// over the new reference to `word` it is given (or throws without having
// taken it); `words` owns the result.
template <typename Make>
void MapWords(py::list& words, Make&& make) {
  PyObject* list = words.ptr();
  const Py_ssize_t n = PyList_GET_SIZE(list);
  for (Py_ssize_t k = 0; k < n; ++k) {
    PyObject* word = PyList_GET_ITEM(list, k);
    Py_INCREF(word);
    PyObject* item;
    try {
      item = make(word, static_cast<size_t>(k));
    } catch (...) {
      Py_DECREF(word);  // make threw before handing it on
      throw;
    }
    if (item == nullptr) {
      throw py::error_already_set();
    }
    PyList_SetItem(list, k, item);
  }
}

Tokens Tokenize(const Jieba& self, const Sentence& sentence, std::string_view mode, bool hmm) {
  const jieba::CutMode cut_mode = ParseMode(mode);
  const CutResult cut = CutSpans(self, sentence, cut_mode, hmm);
  py::list words = WordsToList(sentence, cut.spans, cut.first);
  MapWords(words, [&](PyObject* word, size_t k) {
    const WordSpan& span = cut.spans[k];
    const size_t start = sentence.is_str ? span.rune_offset : span.byte_offset;
    const size_t length = sentence.is_str ? span.rune_length : span.byte_length;
    return Tuple({word, PyLong_FromSize_t(start), PyLong_FromSize_t(start + length)});
  });
  return py::reinterpret_steal<Tokens>(words.release());
}

Tags Tag(const Jieba& self, const Sentence& sentence, bool hmm) {
  std::vector<WordSpan> spans;
  std::vector<std::string> tags;
  std::vector<uint32_t> first;
  {
    const NativeLogScope log;
    const UnlockedFor unlocked(sentence.View().size());
    self.Tag(sentence.View(), spans, tags, hmm);
    first = FindRepeats(sentence.View(), spans);
  }
  py::list words = WordsToList(sentence, spans, first);
  // Few distinct tags: one str object for each.
  std::vector<std::pair<std::string_view, py::str>> made;
  MapWords(words, [&](PyObject* word, size_t k) -> PyObject* {
    const std::string& tag = tags[k];
    PyObject* tag_object = nullptr;
    for (const auto& [text, object] : made) {
      if (text == tag) {
        tag_object = object.inc_ref().ptr();
        break;
      }
    }
    if (tag_object == nullptr) {
      py::str object(tag);
      made.emplace_back(tag, object);
      tag_object = object.release().ptr();
    }
    return Tuple({word, tag_object});
  });
  return py::reinterpret_steal<Tags>(words.release());
}

py::list Keywords(const Jieba& self, const Sentence& sentence, std::optional<int64_t> top_k,
                  bool with_weights, const py::object& tags) {
  if (top_k.has_value() && *top_k < 0) {
    throw py::value_error("top_k must be 0 or more, or None for all keywords");
  }
  std::optional<std::vector<std::string>> allowed;
  if (!tags.is_none()) {
    if (py::isinstance<py::str>(tags) || py::isinstance<py::bytes>(tags)) {
      throw py::type_error("tags must be a collection of tags such as {'n', 'v'}, not one string");
    }
    allowed.emplace();
    for (const py::handle tag : py::iter(tags)) {
      allowed->push_back(py::cast<std::string>(tag));
    }
  }
  std::vector<Jieba::Keyword> keywords;
  {
    const NativeLogScope log;
    const UnlockedFor unlocked(sentence.View().size());
    keywords = self.Keywords(sentence.View(), top_k.has_value() ? static_cast<size_t>(*top_k) : SIZE_MAX,
                             allowed.has_value() ? &*allowed : nullptr);
  }
  py::list result;
  for (const Jieba::Keyword& keyword : keywords) {
    py::str word(keyword.word);
    if (with_weights) {
      result.append(py::make_tuple(word, keyword.weight));
    } else {
      result.append(word);
    }
  }
  return result;
}

py::typing::List<Words> CutMany(const Jieba& self, const py::handle& texts, std::string_view mode,
                                bool hmm, const std::optional<int64_t>& threads) {
  const jieba::CutMode cut_mode = ParseMode(mode);
  const size_t thread_count = ThreadCount(threads);
  const std::vector<Sentence> sentences = LoadTexts(texts, "cut_many");
  const std::vector<std::pair<size_t, size_t>> ranges = SplitIntoChunks(sentences);
  // What the work leaves for the conversion, per chunk: the spans of all
  // its texts, the hash of each span's word, and where each text's spans end.
  struct Cut {
    std::vector<WordSpan> spans;
    std::vector<uint64_t> hashes;
    std::vector<size_t> ends;
  };
  std::vector<Cut> cuts(ranges.size());
  py::list result(sentences.size());
  const NativeLogScope log;
  limonp::LogSink* sink = log.Sink();
  auto work = [&](size_t k, size_t) {
    const limonp::ScopedLogSink records(sink);
    Cut& cut = cuts[k];
    std::vector<WordSpan> spans;
    cut.ends.reserve(ranges[k].second - ranges[k].first);
    for (size_t t = ranges[k].first; t < ranges[k].second; ++t) {
      const std::string_view text = sentences[t].View();
      self.Cut(cut_mode, text, spans, hmm);
      cut.spans.insert(cut.spans.end(), spans.begin(), spans.end());
      for (const WordSpan& span : spans) {
        cut.hashes.push_back(WordHash(text.data() + span.byte_offset, span.byte_length));
      }
      cut.ends.push_back(cut.spans.size());
    }
  };
  WordInterner interner;
  const CollectorPause pause;
  {
    py::gil_scoped_release unlocked;
    limonp::OrderedChunks runner(ranges.size(), thread_count, work);
    size_t k;
    while (runner.Next(k)) {
      py::gil_scoped_acquire locked;
      Cut& cut = cuts[k];
      size_t begin = 0;
      for (size_t t = ranges[k].first; t < ranges[k].second; ++t) {
        const size_t end = cut.ends[t - ranges[k].first];
        PyObject* words = PyList_New(static_cast<Py_ssize_t>(end - begin));
        if (words == nullptr) {
          throw py::error_already_set();
        }
        PyList_SET_ITEM(result.ptr(), static_cast<Py_ssize_t>(t), words);
        for (size_t i = begin; i < end; ++i) {
          PyObject* word = interner.Get(sentences[t], cut.spans[i], cut.hashes[i]);
          PyList_SET_ITEM(words, static_cast<Py_ssize_t>(i - begin), word);
        }
        begin = end;
      }
      cut = Cut();  // its memory goes as soon as its lists are made
    }
  }
  return py::reinterpret_steal<py::typing::List<Words>>(result.release());
}

std::optional<std::string_view> TagView(const std::optional<std::string>& tag) {
  return tag.has_value() ? std::optional<std::string_view>(*tag) : std::nullopt;
}

}  // namespace

void BindJieba(py::module_& m) {
  py::register_local_exception_translator(TranslateCoreErrors);

  py::class_<Jieba, std::shared_ptr<Jieba>>(m, "Jieba", R"doc(
Chinese word segmenter over a dictionary, an HMM model and keyword tables.

Loads its five files in the order dictionary, user dictionaries, HMM model,
idf table, stop words. A file that cannot be opened raises an OSError
subclass (FileNotFoundError, PermissionError, IsADirectoryError, ...);
malformed content raises ValueError naming the file and the line.

A sentence is a str, or bytes or bytearray holding UTF-8. A bytes sentence
that is not UTF-8 gives no words and an ERROR record. The cuts release the
interpreter lock while they work, and one object may be shared by any
number of threads, also while words are added or removed.
)doc")
      .def(py::init(&MakeJieba), py::arg("dict_path"), py::arg("hmm_path"), py::arg("user_dict_path"),
           py::arg("idf_path"), py::arg("stop_word_path"))
      // By value: the whole facade as the binary state of Jieba::Serialize.
      .def(py::pickle(
          [](const Jieba& self) {
            std::string state;
            {
              py::gil_scoped_release unlocked;
              state = self.Serialize();
            }
            return py::bytes(state);
          },
          [](const py::bytes& state) {
            const std::string_view bytes(state);
            std::unique_ptr<Jieba> facade;
            {
              py::gil_scoped_release unlocked;
              facade = Jieba::Deserialize(bytes);
            }
            ReleaseFreeHeap();
            return std::shared_ptr<Jieba>(std::move(facade));
          }))
      .def(
          "_edits",
          [](const Jieba& self) {
            py::list edits;
            for (const jieba::DictEdits::Entry& entry : self.Edits()) {
              edits.append(py::make_tuple(py::bytes(entry.word), entry.removed, entry.weight,
                                          py::bytes(entry.tag)));
            }
            return edits;
          },
          "The words changed at run time: (word, removed, weight, tag) with word and tag as "
          "UTF-8 bytes, in byte order of the word.")
      .def(
          "_set_edits",
          [](Jieba& self, const std::vector<std::tuple<std::string, bool, double, std::string>>& edits) {
            std::vector<jieba::DictEdits::Entry> entries;
            entries.reserve(edits.size());
            for (const auto& [word, removed, weight, tag] : edits) {
              entries.push_back(jieba::DictEdits::Entry{word, removed, weight, tag});
            }
            self.SetEdits(entries);
          },
          py::arg("edits"), "Replaces the words changed at run time with `edits`, as _edits gives them.")
      .def(
          "cut",
          [](const Jieba& self, const Sentence& sentence, bool hmm) {
            return CutWords(self, sentence, jieba::CutMode::kDefault, hmm);
          },
          py::arg("sentence"), py::kw_only(), py::arg("hmm") = true, R"doc(
The words of the sentence: dictionary words by maximum probability, with
stretches of characters outside the dictionary re-cut by the HMM
(hmm=False: the dictionary alone). Space, tab, line feed, '，' and '。' are
words of their own.

>>> jieba.cut("我们在北京学习中文。")
['我们', '在', '北京', '学习', '中文', '。']
)doc")
      .def(
          "cut_for_search",
          [](const Jieba& self, const Sentence& sentence, bool hmm) {
            return CutWords(self, sentence, jieba::CutMode::kSearch, hmm);
          },
          py::arg("sentence"), py::kw_only(), py::arg("hmm") = true, R"doc(
The words of cut(), each word longer than two characters preceded by the
dictionary words of two and then three characters inside it.

>>> jieba.cut_for_search("二氧化碳")
['氧化', '二氧化碳']
)doc")
      .def(
          "cut_full",
          [](const Jieba& self, const Sentence& sentence) {
            return CutWords(self, sentence, jieba::CutMode::kFull, true);
          },
          py::arg("sentence"), R"doc(
Full mode: every dictionary word found in the sentence, overlapping words
included, ordered by start and then by end; a character that no word
covers stands alone.
)doc")
      .def("cut_many", &CutMany, py::arg("texts"), py::kw_only(), py::arg("mode") = "default",
           py::arg("hmm") = true, py::arg("threads") = py::none(), R"doc(
The words of each text of `texts`, a list per text in input order, equal
to calling the cut of `mode` ('default', 'search' or 'full') on each.

texts is any iterable of str, bytes or bytearray (a list, a generator, an
open text file); it is read whole first, and an item of another type
raises TypeError naming its position before any work. The cutting runs
without the interpreter lock on `threads` threads (None: every core; 1:
the calling thread alone), which live only during the call. A bytes text
that is not UTF-8 gives [] and an ERROR record, as for cut().

>>> jieba.cut_many(["今天天气不错", "我们学习中文"], threads=2)
[['今天', '天气', '不错'], ['我们', '学习', '中文']]
)doc")
      .def("tokenize", &Tokenize, py::arg("sentence"), py::kw_only(), py::arg("mode") = "default",
           py::arg("hmm") = true, R"doc(
The words of the cut in `mode` ('default', 'search' or 'full') as
(word, start, end) tuples, in the same order. For a str the offsets count
code points, so sentence[start:end] == word; for bytes they count bytes.

>>> jieba.tokenize("北京天气")
[('北京', 0, 2), ('天气', 2, 4)]
)doc")
      .def("tag", &Tag, py::arg("sentence"), py::kw_only(), py::arg("hmm") = true, R"doc(
The words of cut() as (word, tag) pairs. The tag is the dictionary's
part-of-speech tag for the word; a word the dictionary lacks (or holds
without a tag) gets 'm' (numeral), 'eng' (ASCII letters) or 'x'.

>>> jieba.tag("我们学习中文")
[('我们', 'r'), ('学习', 'v'), ('中文', 'n')]
)doc")
      .def("keywords", &Keywords, py::arg("sentence"), py::arg("top_k") = 20, py::kw_only(),
           py::arg("with_weights") = false, py::arg("tags") = py::none(), R"doc(
The top_k keywords of the sentence by TF-IDF (top_k=None: all of them).

The sentence is cut as by cut(); stop words and words of fewer than two
characters are left out; each remaining word weighs its count times its
idf (the table's average idf for a word it lacks), divided by the number
of words counted. Highest weight first, equal weights in order of the
word. with_weights=True gives (word, weight) pairs; tags (a set of tags
such as {'n', 'v'}) counts only the words whose tag() is in it.
)doc")
      .def(
          "add_word",
          [](Jieba& self, const Sentence& word, std::optional<double> freq,
             const std::optional<std::string>& tag) {
            py::gil_scoped_release unlocked;
            self.AddWord(word.View(), freq, TagView(tag));
          },
          py::arg("word"), py::arg("freq") = py::none(), py::arg("tag") = py::none(), R"doc(
Adds a word to the dictionary, or changes its entry, for every mode from
the next call on.

freq: the word's frequency, in the units of the main dictionary (the
bundled one counts occurrences per hundred million words); None gives it
the weight that user-dictionary words without a frequency get. tag: its
part-of-speech tag; None keeps the tag the word has (none for a new word).
Raises ValueError for an empty word, bytes that are not UTF-8, a word
holding a separator (which a cut always returns alone), a word of more
than 512 characters, or a freq that is not a positive finite number.
)doc")
      .def(
          "remove_word",
          [](Jieba& self, const Sentence& word) {
            py::gil_scoped_release unlocked;
            self.RemoveWord(word.View());
          },
          py::arg("word"), R"doc(
Removes a word from the dictionary from the next call on, as if it had
never been there; nothing happens when the dictionary does not have it.
Raises ValueError for an empty word or bytes that are not UTF-8.
)doc");
}

void BindTokenizder(py::module_& m) { BindJieba(m); }

}  // namespace kelp::typing::text::pybind
