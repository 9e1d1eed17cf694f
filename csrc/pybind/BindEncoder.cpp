// The compiled part of razoduviva.SparseEncoder: fitting and encoding whole
// batches of texts in C++, on several threads, with the interpreter lock
// released while they work.
//
// fit reads its iterable in batches (so memory does not grow with the
// corpus; the next batch is read while the workers train on one), trains a
// model per thread on each batch, and merges them into a staging model; the encoder's model takes the staged statistics only when
// the whole iterable has been read, so a failure part way (a text of the
// wrong type, an interruption) leaves it as it was. Encoding converts all
// the texts first, then works by chunks; the calling thread turns each
// finished chunk into Python objects while the other threads go on.
//
// An encoding batch reads the model without the interpreter lock, so it
// pins the model for its duration: BM25 methods that change a pinned model
// refuse with RuntimeError rather than change it under the batch's feet.
#include <Python.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "bm25/BM25.hpp"
#include "encoder/EncoderFile.hpp"
#include "encoder/SparseEncoder.hpp"
#include "pybind/Bind.hpp"
#include "pybind/NativeLog.hpp"
#include "pybind/Texts.hpp"
#include "tokenizer/limonp/FileUtil.hpp"
#include "tokenizer/limonp/OrderedChunks.hpp"

namespace kelp::typing::text::pybind {

namespace py = ::pybind11;

namespace {

// Texts read per batch by fit: enough to keep every thread busy, small
// enough that memory does not depend on the corpus.
constexpr size_t kFitBatchBytes = 8 << 20;
constexpr size_t kFitBatchTexts = 1 << 16;

enum class Format { kIndices, kCsr, kDict };

VectorKind ParseKind(std::string_view kind) {
  static constexpr std::pair<std::string_view, VectorKind> kKinds[] = {
      {"document", VectorKind::kDocument},
      {"query", VectorKind::kQuery},
      {"query_ones", VectorKind::kQueryOnes}};
  return ParseChoice("kind", kind, kKinds);
}

TokenFilter ParseFilter(std::string_view filter) {
  static constexpr std::pair<std::string_view, TokenFilter> kFilters[] = {
      {"stop_words", TokenFilter::kStopWords},
      {"space", TokenFilter::kSpace},
      {"none", TokenFilter::kNone}};
  return ParseChoice("filter", filter, kFilters);
}

Format ParseFormat(std::string_view format) {
  static constexpr std::pair<std::string_view, Format> kFormats[] = {
      {"indices", Format::kIndices}, {"csr", Format::kCsr}, {"dict", Format::kDict}};
  return ParseChoice("format", format, kFormats);
}

// Holds a model pinned (see BM25::pin) while it lives; made and destroyed
// with the interpreter lock held.
class Pin {
 public:
  explicit Pin(const BM25& model) : model_(model) { model_.pin(); }
  ~Pin() { model_.unpin(); }
  Pin(const Pin&) = delete;
  Pin& operator=(const Pin&) = delete;

 private:
  const BM25& model_;
};

std::vector<std::string_view> Views(const std::vector<Sentence>& texts) {
  std::vector<std::string_view> views;
  views.reserve(texts.size());
  for (const Sentence& text : texts) {
    views.push_back(text.View());
  }
  return views;
}

void Fit(SparseEncoder& self, const py::handle& texts, const std::optional<int64_t>& threads) {
  const size_t thread_count = ThreadCount(threads);
  TextReader reader(texts, "fit");
  const std::shared_ptr<BM25>& model = self.model();
  BM25 staged(model->b(), model->k1());
  std::vector<std::unique_ptr<BM25>> locals(thread_count);
  std::vector<SparseEncoder::Scratch> scratch(thread_count);
  const NativeLogScope log;
  limonp::LogSink* sink = log.Sink();
  // While the worker threads train on one batch, the calling thread reads
  // the next (reading needs the interpreter lock), then joins the work.
  std::vector<Sentence> batch;
  std::vector<Sentence> next;
  bool more = reader.Read(batch, kFitBatchBytes, kFitBatchTexts);
  while (more) {
    const std::vector<std::string_view> views = Views(batch);
    const std::vector<std::pair<size_t, size_t>> ranges = SplitIntoChunks(batch);
    auto runner = std::make_unique<limonp::OrderedChunks>(
        ranges.size(), thread_count, [&](size_t k, size_t thread) {
          const limonp::ScopedLogSink records(sink);
          if (locals[thread] == nullptr) {
            locals[thread] = std::make_unique<BM25>(staged.b(), staged.k1());
          }
          self.Train(views.data() + ranges[k].first, ranges[k].second - ranges[k].first,
                     *locals[thread], scratch[thread]);
        });
    next.clear();
    try {
      more = reader.Read(next, kFitBatchBytes, kFitBatchTexts);
    } catch (...) {
      py::gil_scoped_release unlocked;
      runner.reset();  // stops the workers and waits for them
      throw;
    }
    {
      py::gil_scoped_release unlocked;
      size_t k;
      while (runner->Next(k)) {
      }
      runner.reset();
      for (std::unique_ptr<BM25>& local : locals) {
        if (local != nullptr) {
          staged.merge(*local);
          local.reset();
        }
      }
    }
    batch.swap(next);
    if (PyErr_CheckSignals() != 0) {
      throw py::error_already_set();
    }
  }
  if (model->pinned()) {
    throw std::runtime_error(
        "the model is in use: a SparseEncoder in another thread is encoding with it");
  }
  if (model->doc_count() == 0 && model->doc_token_frequency().empty()) {
    *model = std::move(staged);
  } else {
    model->merge(staged);
  }
}

// The int or float objects of a batch's numbers, by value: a token's id
// comes back in every text that holds the token, and document weights
// repeat too (they depend only on a token's count and the text's length),
// so most numbers are one more reference to an object made before.
// Direct-mapped: a value whose slot another took is made anew. Holds its
// references until the call ends; interpreter lock held.
template <typename Key>
class NumberCache {
 public:
  NumberCache() : slots_(kSlots) {}
  ~NumberCache() {
    for (const Slot& slot : slots_) {
      Py_XDECREF(slot.object);
    }
  }
  NumberCache(const NumberCache&) = delete;
  NumberCache& operator=(const NumberCache&) = delete;

  // A new reference to the object for `key`, made by make() when missing.
  template <typename Make>
  PyObject* Get(Key key, uint64_t bits, Make&& make) {
    Slot& slot = slots_[(bits * 0x9E3779B97F4A7C15ull) >> (64 - kBits)];
    if (slot.object == nullptr || slot.bits != bits) {
      PyObject* made = make(key);
      if (made == nullptr) {
        throw py::error_already_set();
      }
      Py_XDECREF(slot.object);
      slot = Slot{bits, made};
    }
    Py_INCREF(slot.object);
    return slot.object;
  }

 private:
  struct Slot {
    uint64_t bits = 0;
    PyObject* object = nullptr;
  };
  static constexpr unsigned kBits = 14;
  static constexpr size_t kSlots = size_t{1} << kBits;
  std::vector<Slot> slots_;
};

uint64_t BitsOf(double value) {
  uint64_t bits;
  std::memcpy(&bits, &value, sizeof(bits));
  return bits;
}

// Turns the vectors of one chunk into Python objects, in order.
class Converter {
 public:
  Converter() : indices_key_("indices"), values_key_("values") {}

  // {"indices": [...], "values": [...]} per text.
  void Indices(const SparseEncoder::HashedVectors& vectors, size_t first_text, py::list& out) {
    size_t begin = 0;
    for (size_t t = 0; t < vectors.ends.size(); ++t) {
      const size_t end = vectors.ends[t];
      py::list ids(end - begin);
      py::list values(end - begin);
      for (size_t k = begin; k < end; ++k) {
        PyObject* id = ids_.Get(vectors.ids[k], vectors.ids[k], [](uint32_t v) {
          return PyLong_FromUnsignedLong(v);
        });
        PyList_SET_ITEM(ids.ptr(), static_cast<Py_ssize_t>(k - begin), id);
        PyObject* value = values_.Get(vectors.values[k], BitsOf(vectors.values[k]),
                                      [](double v) { return PyFloat_FromDouble(v); });
        PyList_SET_ITEM(values.ptr(), static_cast<Py_ssize_t>(k - begin), value);
      }
      PyObject* vector = PyDict_New();
      if (vector == nullptr) {
        throw py::error_already_set();
      }
      PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(first_text + t), vector);
      if (PyDict_SetItem(vector, indices_key_.ptr(), ids.ptr()) != 0 ||
          PyDict_SetItem(vector, values_key_.ptr(), values.ptr()) != 0) {
        throw py::error_already_set();
      }
      begin = end;
    }
  }

  // {word: weight} per text, the words made once per batch.
  void Words(const SparseEncoder::WordVectors& vectors, const std::vector<uint64_t>& hashes,
             const std::vector<Sentence>& texts, size_t first_text, py::list& out) {
    size_t begin = 0;
    for (size_t t = 0; t < vectors.ends.size(); ++t) {
      const size_t end = vectors.ends[t];
      py::dict vector;
      for (size_t k = begin; k < end; ++k) {
        const py::object word = py::reinterpret_steal<py::object>(
            interner_.Get(texts[first_text + t], vectors.tokens[k], hashes[k]));
        const py::object value = py::reinterpret_steal<py::object>(values_.Get(
            vectors.values[k], BitsOf(vectors.values[k]), [](double v) { return PyFloat_FromDouble(v); }));
        if (PyDict_SetItem(vector.ptr(), word.ptr(), value.ptr()) != 0) {
          throw py::error_already_set();
        }
      }
      PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(first_text + t), vector.release().ptr());
      begin = end;
    }
  }

 private:
  py::str indices_key_;
  py::str values_key_;
  WordInterner interner_;
  NumberCache<uint32_t> ids_;
  NumberCache<double> values_;
};

// The compressed sparse rows of all the texts: row pointers, column ids
// and values, appended chunk by chunk.
struct Rows {
  std::vector<int64_t> indptr{0};
  std::vector<int64_t> indices;
  std::vector<double> data;

  void Append(const SparseEncoder::HashedVectors& vectors) {
    const int64_t base = indptr.back();
    for (const size_t end : vectors.ends) {
      indptr.push_back(base + static_cast<int64_t>(end));
    }
    indices.insert(indices.end(), vectors.ids.begin(), vectors.ids.end());
    data.insert(data.end(), vectors.values.begin(), vectors.values.end());
  }
};

template <typename T>
py::bytearray BytesOf(const std::vector<T>& values) {
  return py::bytearray(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(T));
}

py::object Encode(const SparseEncoder& self, const py::handle& texts, std::string_view kind_name,
                  std::string_view format_name, const std::optional<int64_t>& threads) {
  const VectorKind kind = ParseKind(kind_name);
  const Format format = ParseFormat(format_name);
  const size_t thread_count = ThreadCount(threads);
  const std::vector<Sentence> sentences =
      LoadTexts(texts, kind == VectorKind::kDocument ? "encode_documents" : "encode_queries");
  const std::vector<std::string_view> views = Views(sentences);
  const std::vector<std::pair<size_t, size_t>> ranges = SplitIntoChunks(sentences);

  std::vector<SparseEncoder::HashedVectors> hashed(format != Format::kDict ? ranges.size() : 0);
  std::vector<SparseEncoder::WordVectors> words(format == Format::kDict ? ranges.size() : 0);
  std::vector<std::vector<uint64_t>> word_hashes(words.size());
  std::vector<SparseEncoder::Scratch> scratch(thread_count);
  py::list result(format != Format::kCsr ? sentences.size() : 0);
  Rows rows;
  Converter converter;

  const Pin pin(*self.model());
  const CollectorPause pause;
  const NativeLogScope log;
  limonp::LogSink* sink = log.Sink();
  auto work = [&](size_t k, size_t thread) {
    const limonp::ScopedLogSink records(sink);
    const std::string_view* first = views.data() + ranges[k].first;
    const size_t count = ranges[k].second - ranges[k].first;
    if (format != Format::kDict) {
      self.EncodeHashed(first, count, kind, hashed[k], scratch[thread]);
      return;
    }
    self.EncodeWords(first, count, kind, words[k], scratch[thread]);
    size_t begin = 0;
    for (size_t t = 0; t < count; ++t) {
      const std::string_view text = first[t];
      for (size_t i = begin; i < words[k].ends[t]; ++i) {
        const jieba::WordSpan& token = words[k].tokens[i];
        word_hashes[k].push_back(WordHash(text.data() + token.byte_offset, token.byte_length));
      }
      begin = words[k].ends[t];
    }
  };
  {
    py::gil_scoped_release unlocked;
    limonp::OrderedChunks runner(ranges.size(), thread_count, work);
    size_t k;
    while (runner.Next(k)) {
      if (format == Format::kCsr) {
        rows.Append(hashed[k]);
        hashed[k] = SparseEncoder::HashedVectors();
        continue;
      }
      py::gil_scoped_acquire locked;
      if (format == Format::kIndices) {
        converter.Indices(hashed[k], ranges[k].first, result);
        hashed[k] = SparseEncoder::HashedVectors();
      } else {
        converter.Words(words[k], word_hashes[k], sentences, ranges[k].first, result);
        words[k] = SparseEncoder::WordVectors();
        word_hashes[k] = std::vector<uint64_t>();
      }
    }
  }
  if (format == Format::kCsr) {
    return py::make_tuple(BytesOf(rows.indptr), BytesOf(rows.indices), BytesOf(rows.data));
  }
  return std::move(result);
}

py::list Tokens(const SparseEncoder& self, const Sentence& text) {
  SparseEncoder::Scratch scratch;
  {
    const NativeLogScope log;
    const UnlockedFor unlocked(text.View().size());
    self.Tokenize(text.View(), scratch);
  }
  py::list tokens;
  WordInterner interner;
  const std::string_view bytes = text.View();
  for (const jieba::WordSpan& span : scratch.kept) {
    tokens.append(py::reinterpret_steal<py::object>(interner.Get(
        text, span, WordHash(bytes.data() + span.byte_offset, span.byte_length))));
  }
  return tokens;
}

void SaveFile(const std::string& path, const BM25& model, const py::dict& settings) {
  if (path.find('\0') != std::string::npos) {
    throw py::value_error("Failed to save: embedded null byte in path");
  }
  EncoderFile file;
  file.version = settings["version"].cast<std::string>();
  file.mode = settings["mode"].cast<std::string>();
  file.hmm = settings["hmm"].cast<bool>();
  file.stop_words = settings["stop_words"].cast<bool>();
  file.data = settings["data"].cast<std::string>();
  for (const py::handle edit : settings["edits"]) {
    const auto [word, removed, weight, tag] =
        edit.cast<std::tuple<std::string, bool, double, std::string>>();
    file.edits.push_back(jieba::DictEdits::Entry{word, removed, weight, tag});
  }
  const std::string text = EncoderFileText(model, file);
  py::gil_scoped_release unlocked;
  limonp::ReplaceFile(path, text, "Failed to save: ");
}

py::dict ReadFile(std::string_view text) {
  EncoderFile file;
  {
    const NativeLogScope log;  // the parser's complaint lines
    file = ReadEncoderFile(text);
  }
  py::list edits;
  for (const jieba::DictEdits::Entry& entry : file.edits) {
    edits.append(py::make_tuple(py::bytes(entry.word), entry.removed, entry.weight,
                                py::bytes(entry.tag)));
  }
  py::dict settings;
  settings["version"] = file.version;
  settings["mode"] = file.mode;
  settings["hmm"] = file.hmm;
  settings["stop_words"] = file.stop_words;
  settings["data"] = file.data;
  settings["edits"] = edits;
  return settings;
}

}  // namespace

void BindEncoder(py::module_& m) {
  m.def("_save_encoder_file", &SaveFile, py::arg("path"), py::arg("model"), py::arg("settings"),
        "Writes an encoder file (the model file's members and '_encoder'), whole or not at all.");
  m.def(
      "_read_encoder_file",
      [](const py::bytes& text) { return ReadFile(std::string_view(text)); }, py::arg("text"),
      "The '_encoder' member of an encoder file's text, as a dict.");
  py::class_<SparseEncoder, std::shared_ptr<SparseEncoder>>(m, "SparseEncoder", R"doc(
The compiled part of razoduviva.SparseEncoder: a segmenter, token settings
and a BM25 model, with the batch work in C++. Use razoduviva.SparseEncoder.
)doc")
      .def(py::init([](std::shared_ptr<jieba::Jieba> jieba, std::string_view mode, bool hmm,
                       std::string_view filter, std::shared_ptr<BM25> model) {
             EncoderSettings settings;
             settings.mode = ParseMode(mode);
             settings.hmm = hmm;
             settings.filter = ParseFilter(filter);
             return std::make_shared<SparseEncoder>(std::move(jieba), settings, std::move(model));
           }),
           py::arg("jieba"), py::arg("mode"), py::arg("hmm"), py::arg("filter"), py::arg("model"))
      .def("fit", &Fit, py::arg("texts"), py::arg("threads"),
           "Trains the model on every text of an iterable that gives a token, in batches.")
      .def("encode", &Encode, py::arg("texts"), py::arg("kind"), py::arg("format"),
           py::arg("threads"),
           "One vector per text: a list of dicts for 'indices' and 'dict', (indptr, indices, data) "
           "as bytearrays of int64, int64 and float64 for 'csr'.")
      .def("tokens", &Tokens, py::arg("text"), "The tokens of one text.")
      .def_property_readonly("model", [](const SparseEncoder& self) { return self.model(); })
      .def_property_readonly("hmm", [](const SparseEncoder& self) { return self.settings().hmm; })
      .def_property_readonly("b", [](const SparseEncoder& self) { return self.model()->b(); })
      .def_property_readonly("k1", [](const SparseEncoder& self) { return self.model()->k1(); })
      .def_property_readonly("filter", [](const SparseEncoder& self) {
        switch (self.settings().filter) {
          case TokenFilter::kNone:
            return "none";
          case TokenFilter::kSpace:
            return "space";
          case TokenFilter::kStopWords:
            break;
        }
        return "stop_words";
      });
}

}  // namespace kelp::typing::text::pybind
