// The Python class Jieba over the tokenizer facade.
//
// A cut converts the sentence with the interpreter lock held, releases the
// lock for the segmentation (so other Python threads run, and several
// threads may cut with one object at once), and re-acquires it to build the
// result. The modes are one CutMode value, dispatched by the facade.
#include <Python.h>
#include <malloc.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <pybind11/stl.h>
#include <pybind11/typing.h>

#include "batch/BatchCut.hpp"
#include "pybind/Bind.hpp"
#include "pybind/Convert.hpp"
#include "pybind/NativeLog.hpp"
#include "tokenizer/jieba/Jieba.hpp"
#include "tokenizer/jieba/WordSpan.hpp"

namespace kelp::typing::text::pybind {

namespace py = ::pybind11;
using jieba::CutMode;
using jieba::Jieba;
using jieba::WordSpan;
using Words = py::typing::List<py::str>;
using Tokens = py::typing::List<py::typing::Tuple<py::str, py::int_, py::int_>>;
using Tags = py::typing::List<py::typing::Tuple<py::str, py::str>>;

namespace {

// Loading builds large temporary buffers (file contents, sort orders, the
// trie under construction). Once they are freed, most of that memory sits in
// the allocator's free lists, counted as resident; give it back to the
// system, as a facade is typically built once in a long-lived process.
void ReleaseFreeHeap() {
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}

std::shared_ptr<Jieba> MakeJieba(const Path& dict_path, const Path& hmm_path,
                                 const Path& user_dict_path, const Path& idf_path,
                                 const Path& stop_word_path) {
  const NativeLogScope log;
  auto facade = std::make_shared<Jieba>(dict_path.bytes, hmm_path.bytes, user_dict_path.bytes,
                                        idf_path.bytes, stop_word_path.bytes);
  ReleaseFreeHeap();
  return facade;
}

// The words of one text: the spans of the cut (or of the tagging, with
// `tags`), made with the interpreter lock released for a long text, and
// the hash of each word.
struct CutResult {
  std::vector<WordSpan> spans;
  std::vector<uint64_t> hashes;
  std::vector<std::string> tags;
};

template <typename Cut>
CutResult CutText(const Sentence& sentence, Cut&& cut) {
  CutResult result;
  const NativeLogScope log;
  const UnlockedFor unlocked(sentence.View().size());
  cut(sentence.View(), result);
  batch::HashWords(sentence.View(), result.spans, result.hashes);
  return result;
}

Words CutWords(const Jieba& self, const Sentence& sentence, CutMode mode, Flag hmm) {
  const CutResult cut = CutText(sentence, [&](std::string_view text, CutResult& out) {
    self.Cut(mode, text, out.spans, hmm.value);
  });
  WordInterner interner(cut.spans.size());
  return py::reinterpret_steal<Words>(
      interner.List(sentence, cut.spans.data(), cut.hashes.data(), cut.spans.size()));
}

// The list of item(word, k) for each word k of the cut: item steals the
// word's reference and returns a new object holding it, or null.
template <typename Item>
py::list Items(const Sentence& sentence, const CutResult& cut, Item&& item) {
  WordInterner interner(cut.spans.size());
  py::list items(cut.spans.size());
  for (size_t k = 0; k < cut.spans.size(); ++k) {
    PyObject* made = item(interner.Get(sentence, cut.spans[k], cut.hashes[k]), k);
    if (made == nullptr) {
      throw py::error_already_set();
    }
    PyList_SET_ITEM(items.ptr(), static_cast<Py_ssize_t>(k), made);
  }
  return items;
}

// A new tuple of the given items, whose references it steals (or drops).
PyObject* Tuple(std::initializer_list<PyObject*> items) {
  PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(items.size()));
  bool complete = tuple != nullptr;
  Py_ssize_t k = 0;
  for (PyObject* item : items) {
    if (!complete || item == nullptr) {
      Py_XDECREF(item);
      complete = false;
      continue;
    }
    PyTuple_SET_ITEM(tuple, k++, item);
  }
  if (!complete) {
    Py_XDECREF(tuple);  // the slots left null are skipped
    return nullptr;
  }
  return tuple;
}

Tokens Tokenize(const Jieba& self, const Sentence& sentence, CutMode mode, Flag hmm) {
  const CutResult cut = CutText(sentence, [&](std::string_view text, CutResult& out) {
    self.Cut(mode, text, out.spans, hmm.value);
  });
  return py::reinterpret_steal<Tokens>(Items(sentence, cut, [&](PyObject* word, size_t k) {
    const WordSpan& span = cut.spans[k];
    const size_t start = sentence.is_str ? span.rune_offset : span.byte_offset;
    const size_t length = sentence.is_str ? span.rune_length : span.byte_length;
    return Tuple({word, PyLong_FromSize_t(start), PyLong_FromSize_t(start + length)});
  }).release());
}

Tags Tag(const Jieba& self, const Sentence& sentence, Flag hmm) {
  const CutResult cut = CutText(sentence, [&](std::string_view text, CutResult& out) {
    self.Tag(text, out.spans, out.tags, hmm.value);
  });
  // Few distinct tags: one str object for each.
  std::vector<std::pair<std::string_view, py::str>> made;
  return py::reinterpret_steal<Tags>(Items(sentence, cut, [&](PyObject* word, size_t k) {
    const std::string& tag = cut.tags[k];
    for (const auto& [text, object] : made) {
      if (text == tag) {
        return Tuple({word, object.inc_ref().ptr()});
      }
    }
    made.emplace_back(tag, py::str(tag));
    return Tuple({word, made.back().second.inc_ref().ptr()});
  }).release());
}

py::list Keywords(const Jieba& self, const Sentence& sentence, std::optional<int64_t> top_k,
                  Flag with_weights, const py::object& tags) {
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
    if (with_weights.value) {
      result.append(py::make_tuple(word, keyword.weight));
    } else {
      result.append(word);
    }
  }
  return result;
}

py::typing::List<Words> CutMany(const Jieba& self, py::handle texts, CutMode mode, Flag hmm,
                                Threads threads, TextErrors errors) {
  const std::vector<Sentence> sentences = LoadTexts(texts, "cut_many", errors);
  const std::vector<std::string_view> views = Views(sentences);
  py::list result(sentences.size());
  WordInterner interner;
  const CollectorPause pause;
  const NativeLogScope log;
  py::gil_scoped_release unlocked;
  batch::CutBatch(self, views.data(), views.size(), mode, hmm.value, threads.count,
                  [&](batch::CutChunk& chunk) {
                    py::gil_scoped_acquire locked;
                    size_t begin = 0;
                    for (size_t t = chunk.texts.first; t < chunk.texts.last; ++t) {
                      const size_t end = chunk.ends[t - chunk.texts.first];
                      PyList_SET_ITEM(result.ptr(), static_cast<Py_ssize_t>(t),
                                      interner.List(sentences[t], chunk.spans.data() + begin,
                                                    chunk.hashes.data() + begin, end - begin));
                      begin = end;
                    }
                  });
  return py::reinterpret_steal<py::typing::List<Words>>(result.release());
}

}  // namespace

void BindJieba(py::module_& m) {
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
      .def("_data_fingerprint", &Jieba::DataFingerprint,
           "A digest of the loaded data, run-time changes aside.")
      .def("_edits", &Jieba::Edits,
           "The words changed at run time: (word, removed, weight, tag) with word and tag as "
           "UTF-8 bytes, in byte order of the word.")
      .def("_set_edits", &Jieba::SetEdits, py::arg("edits"),
           "Replaces the words changed at run time with `edits`, as _edits gives them.")
      .def(
          "cut",
          [](const Jieba& self, const Sentence& sentence, Flag hmm) {
            return CutWords(self, sentence, CutMode::kDefault, hmm);
          },
          py::arg("sentence"), py::kw_only(), py::arg("hmm") = Flag{true}, R"doc(
The words of the sentence: dictionary words by maximum probability, with
stretches of characters outside the dictionary re-cut by the HMM
(hmm=False: the dictionary alone). Space, tab, line feed, '，' and '。' are
words of their own.

>>> jieba.cut("我们在北京学习中文。")
['我们', '在', '北京', '学习', '中文', '。']
)doc")
      .def(
          "cut_for_search",
          [](const Jieba& self, const Sentence& sentence, Flag hmm) {
            return CutWords(self, sentence, CutMode::kSearch, hmm);
          },
          py::arg("sentence"), py::kw_only(), py::arg("hmm") = Flag{true}, R"doc(
The words of cut(), each word longer than two characters preceded by the
dictionary words of two and then three characters inside it.

>>> jieba.cut_for_search("二氧化碳")
['氧化', '二氧化碳']
)doc")
      .def(
          "cut_full",
          [](const Jieba& self, const Sentence& sentence) {
            return CutWords(self, sentence, CutMode::kFull, Flag{true});
          },
          py::arg("sentence"), R"doc(
Full mode: every dictionary word found in the sentence, overlapping words
included, ordered by start and then by end; a character that no word
covers stands alone.
)doc")
      .def("cut_many", &CutMany, py::arg("texts"), py::kw_only(), py::arg("mode") = CutMode::kDefault,
           py::arg("hmm") = Flag{true}, py::arg("threads") = Threads{},
           py::arg("errors") = TextErrors::kStrict, R"doc(
The words of each text of `texts`, a list per text in input order, equal
to calling the cut of `mode` ('default', 'search' or 'full') on each.

texts is any iterable of str, bytes or bytearray (a list, a generator, an
open text file); it is read whole first, and an item of another type
raises TypeError naming its position before any work. None (and pandas'
missing values) is no text: []. The cutting runs without the interpreter
lock on `threads` threads (None: every core; 1: the calling thread
alone), which live only during the call. A text that is not UTF-8 (bytes,
or a str with a lone surrogate) gives [] and an ERROR record naming its
position with errors='strict'; errors='replace' reads the bad bytes as
U+FFFD.

>>> jieba.cut_many(["今天天气不错", "我们学习中文"], threads=2)
[['今天', '天气', '不错'], ['我们', '学习', '中文']]
)doc")
      .def("tokenize", &Tokenize, py::arg("sentence"), py::kw_only(), py::arg("mode") = CutMode::kDefault,
           py::arg("hmm") = Flag{true}, R"doc(
The words of the cut in `mode` ('default', 'search' or 'full') as
(word, start, end) tuples, in the same order. For a str the offsets count
code points, so sentence[start:end] == word; for bytes they count bytes.

>>> jieba.tokenize("北京天气")
[('北京', 0, 2), ('天气', 2, 4)]
)doc")
      .def("tag", &Tag, py::arg("sentence"), py::kw_only(), py::arg("hmm") = Flag{true}, R"doc(
The words of cut() as (word, tag) pairs. The tag is the dictionary's
part-of-speech tag for the word; a word the dictionary lacks (or holds
without a tag) gets 'm' (numeral), 'eng' (ASCII letters) or 'x'.

>>> jieba.tag("我们学习中文")
[('我们', 'r'), ('学习', 'v'), ('中文', 'n')]
)doc")
      .def("keywords", &Keywords, py::arg("sentence"), py::arg("top_k") = 20, py::kw_only(),
           py::arg("with_weights") = Flag{false}, py::arg("tags") = py::none(), R"doc(
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
            self.AddWord(word.View(), freq, tag ? std::optional<std::string_view>(*tag) : std::nullopt);
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
