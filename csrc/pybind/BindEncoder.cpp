// The compiled base of razoduviva.SparseEncoder: its settings, held once
// here, and the batch calls, which run in the core (csrc/batch) with the
// interpreter lock released.
//
// An encoding batch reads the model without the interpreter lock, so it
// pins the model (BM25::Pin) for its duration, taken and let go with the
// lock held: BM25 refuses to train, load or merge into a pinned model.
#include <Python.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "batch/BatchCut.hpp"
#include "batch/BatchEncode.hpp"
#include "batch/StagedFit.hpp"
#include "bm25/BM25.hpp"
#include "encoder/EncoderFile.hpp"
#include "encoder/SparseEncoder.hpp"
#include "pybind/Bind.hpp"
#include "pybind/Convert.hpp"
#include "pybind/NativeLog.hpp"
#include "tokenizer/limonp/FileUtil.hpp"
#include "tokenizer/limonp/Hash.hpp"

namespace kelp::typing::text::pybind {

namespace py = ::pybind11;

namespace {

// An encoder and the thread count of its batch calls, which Python may
// change at any time.
// An encoder, what its batches do with text that is not UTF-8, and the
// thread count of its batch calls, which Python may change at any time.
class Encoder {
 public:
  // `jieba` is the Python object of the segmenter, kept so that the
  // property gives back that object (a razoduviva.Jieba, with its state).
  Encoder(py::object jieba, jieba::CutMode mode, Flag hmm, Flag stop_words,
          std::optional<Flag> keep_space, std::shared_ptr<BM25> model, Threads threads,
          TextErrors errors)
      : jieba_(std::move(jieba)),
        encoder_(jieba_.cast<std::shared_ptr<jieba::Jieba>>(),
                 EncoderSettings{mode, hmm.value, stop_words.value,
                                 keep_space ? keep_space->value : !stop_words.value},
                 std::move(model)),
        errors_(errors),
        threads_(threads.count) {}

  const SparseEncoder& core() const noexcept { return encoder_; }
  const py::object& jieba() const noexcept { return jieba_; }
  TextErrors errors() const noexcept { return errors_; }
  Threads threads() const noexcept { return Threads{threads_.load()}; }
  void set_threads(Threads threads) noexcept { threads_.store(threads.count); }

 private:
  py::object jieba_;
  SparseEncoder encoder_;
  const TextErrors errors_;
  std::atomic<size_t> threads_;
};

void Fit(const Encoder& self, py::handle texts) {
  IterableSource source(texts, "fit", self.errors());
  const NativeLogScope log;
  BM25 staged;
  {
    py::gil_scoped_release unlocked;
    staged = batch::TrainStaged(self.core(), source, self.threads().count);
  }
  batch::CommitStaged(*self.core().model(), std::move(staged));
}

template <typename T>
py::bytearray BytesOf(const std::vector<T>& values) {
  return py::bytearray(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(T));
}

// One vector per text: a list of {"indices": [...], "values": [...]} or of
// {word: weight}, or for "csr" (indptr, indices, data) as bytearrays of
// int64, int64 and float64.
py::object Encode(const Encoder& self, py::handle texts, VectorKind kind, Format format) {
  const std::vector<Sentence> sentences = LoadTexts(
      texts, kind == VectorKind::kDocument ? "encode_documents" : "encode_queries", self.errors());
  const std::vector<std::string_view> views = Views(sentences);
  const SparseEncoder& encoder = self.core();
  const size_t threads = self.threads().count;
  const BM25::Pin pin(*encoder.model());
  const NativeLogScope log;
  if (format == Format::kCsr) {
    batch::CsrRows rows;
    {
      py::gil_scoped_release unlocked;
      rows = batch::EncodeCsr(encoder, views.data(), views.size(), kind, threads);
    }
    return py::make_tuple(BytesOf(rows.indptr), BytesOf(rows.indices), BytesOf(rows.data));
  }
  py::list result(sentences.size());
  const py::str indices_key("indices");
  const py::str values_key("values");
  WordInterner interner;
  NumberCache numbers;
  const CollectorPause pause;
  py::gil_scoped_release unlocked;
  if (format == Format::kIndices) {
    batch::EncodeBatch(encoder, views.data(), views.size(), kind, threads,
                       [&](batch::HashedChunk& chunk) {
      py::gil_scoped_acquire locked;
      const SparseEncoder::HashedVectors& vectors = chunk.vectors;
      size_t begin = 0;
      for (size_t t = 0; t < chunk.texts.size(); ++t) {
        const size_t end = vectors.ends[t];
        py::list ids(end - begin);
        py::list values(end - begin);
        for (size_t k = begin; k < end; ++k) {
          PyList_SET_ITEM(ids.ptr(), static_cast<Py_ssize_t>(k - begin), numbers.Int(vectors.ids[k]));
          PyList_SET_ITEM(values.ptr(), static_cast<Py_ssize_t>(k - begin),
                          numbers.Float(vectors.values[k]));
        }
        py::dict vector;
        vector[indices_key] = std::move(ids);
        vector[values_key] = std::move(values);
        PyList_SET_ITEM(result.ptr(), static_cast<Py_ssize_t>(chunk.texts.first + t),
                        vector.release().ptr());
        begin = end;
      }
    });
  } else {
    batch::EncodeWordsBatch(encoder, views.data(), views.size(), kind, threads,
                            [&](batch::WordChunk& chunk) {
      py::gil_scoped_acquire locked;
      const SparseEncoder::WordVectors& vectors = chunk.vectors;
      size_t begin = 0;
      for (size_t t = 0; t < chunk.texts.size(); ++t) {
        const Sentence& text = sentences[chunk.texts.first + t];
        py::dict vector;
        for (size_t k = begin; k < vectors.ends[t]; ++k) {
          const py::object word = py::reinterpret_steal<py::object>(
              interner.Get(text, vectors.tokens[k], chunk.hashes[k]));
          const py::object value = py::reinterpret_steal<py::object>(numbers.Float(vectors.values[k]));
          if (PyDict_SetItem(vector.ptr(), word.ptr(), value.ptr()) != 0) {
            throw py::error_already_set();
          }
        }
        PyList_SET_ITEM(result.ptr(), static_cast<Py_ssize_t>(chunk.texts.first + t),
                        vector.release().ptr());
        begin = vectors.ends[t];
      }
    });
  }
  return std::move(result);
}

py::list Tokens(const Encoder& self, py::handle item) {
  // One text: a lone surrogate is an error, as for Jieba.cut, unless read
  // as U+FFFD.
  Sentence text;
  const bool loaded = self.errors() == TextErrors::kReplace || item.is_none()
                          ? text.LoadItem(item, self.errors())
                          : text.Load(item);
  if (!loaded) {
    throw py::type_error(std::string("tokens: text must be str, bytes or bytearray, not ") +
                         Py_TYPE(item.ptr())->tp_name);
  }
  SparseEncoder::Scratch scratch;
  {
    const NativeLogScope log;
    const UnlockedFor unlocked(text.View().size());
    self.core().Tokenize(text.View(), scratch);
  }
  std::vector<uint64_t> hashes;
  batch::HashWords(text.View(), scratch.kept, hashes);
  WordInterner interner(scratch.kept.size());
  return py::reinterpret_steal<py::list>(
      interner.List(text, scratch.kept.data(), hashes.data(), hashes.size()));
}

void Save(const Encoder& self, const Path& path, const std::string& data) {
  const SparseEncoder& encoder = self.core();
  EncoderFile file{RAZODUVIVA_VERSION, encoder.settings(), data, encoder.jieba()->Edits(),
                   encoder.jieba()->DataFingerprint(), std::nullopt};
  const std::string text = EncoderFileText(*encoder.model(), file);
  try {
    py::gil_scoped_release unlocked;
    limonp::ReplaceFile(path.bytes, text, "Failed to save: ");
  } catch (const limonp::WriteError& e) {
    RaiseOSError(e.path(), e.error_number());
    throw py::error_already_set();
  }
}

py::dict ReadFile(const py::bytes& text) {
  EncoderFile file;
  std::shared_ptr<BM25> model;
  {
    const NativeLogScope log;  // the parser's complaint lines
    file = ReadEncoderFile(std::string_view(text));
    model = std::make_shared<BM25>(ReadEncoderModel(std::string_view(text), file));
  }
  py::dict settings;
  settings["model"] = model;
  settings["data_fingerprint"] = file.data_fingerprint;
  settings["version"] = file.version;
  settings["mode"] = file.settings.mode;
  settings["hmm"] = file.settings.hmm;
  settings["stop_words"] = file.settings.stop_words;
  settings["keep_space"] = file.settings.keep_space;
  settings["data"] = file.data;
  settings["edits"] = file.edits;
  return settings;
}

}  // namespace

void BindEncoder(py::module_& m) {
  m.def("_read_encoder_file", &ReadFile, py::arg("text"),
        "The settings and the model of an encoder file's text, as a dict; ValueError when it "
        "is not one.");
  py::class_<Encoder, std::shared_ptr<Encoder>>(m, "SparseEncoder", R"doc(
The compiled base of razoduviva.SparseEncoder: a segmenter, token settings
and a BM25 model, with the batch work in C++. Use razoduviva.SparseEncoder.
)doc")
      .def(py::init([](const py::handle& jieba, jieba::CutMode mode, Flag hmm,
                       Flag stop_words, std::optional<Flag> keep_space, std::shared_ptr<BM25> model,
                       Threads threads, TextErrors errors) {
             if (!py::isinstance<jieba::Jieba>(jieba)) {
               throw py::type_error(std::string("SparseEncoder() argument 'jieba' must be a "
                                                "razoduviva.Jieba, not ") +
                                    Py_TYPE(jieba.ptr())->tp_name);
             }
             return std::make_shared<Encoder>(py::reinterpret_borrow<py::object>(jieba), mode, hmm,
                                              stop_words, keep_space, std::move(model), threads,
                                              errors);
           }),
           py::arg("jieba"), py::arg("mode"), py::arg("hmm"), py::arg("stop_words"),
           py::arg("keep_space"), py::arg("model"), py::arg("threads"), py::arg("errors"))
      .def("_fit", &Fit, py::arg("texts"),
           "Trains the model on every text of an iterable that gives a token, in batches.")
      .def(
          "_encode_documents",
          [](const Encoder& self, py::handle texts, Format format) {
            return Encode(self, texts, VectorKind::kDocument, format);
          },
          py::arg("texts"), py::arg("format"), "The document vectors of the texts.")
      .def(
          "_encode_queries",
          [](const Encoder& self, py::handle texts, Format format, Flag idf) {
            return Encode(self, texts, idf.value ? VectorKind::kQuery : VectorKind::kQueryOnes, format);
          },
          py::arg("texts"), py::arg("format"), py::arg("idf"), "The query vectors of the texts.")
      .def("tokens", &Tokens, py::arg("text"), "The tokens of one text, as fit and the encoders count them.")
      .def("_save", &Save, py::arg("path"), py::arg("data"),
           "Writes the encoder file, whole or not at all; data is 'bundled' or 'custom'.")
      .def_property_readonly("jieba", &Encoder::jieba, "The segmenter.")
      .def_property_readonly("model", [](const Encoder& self) { return self.core().model(); },
                             "The BM25 model inside: its statistics are the encoder's.")
      .def_property_readonly(
          "mode", [](const Encoder& self) { return self.core().settings().mode; },
          "The cut mode of the tokens: 'default', 'search' or 'full'.")
      .def_property_readonly(
          "hmm", [](const Encoder& self) { return self.core().settings().hmm; },
          "Whether the cut re-cuts words outside the dictionary with the HMM.")
      .def_property_readonly(
          "stop_words", [](const Encoder& self) { return self.core().settings().stop_words; },
          "Whether stop words and punctuation words are left out.")
      .def_property_readonly(
          "keep_space", [](const Encoder& self) { return self.core().settings().keep_space; },
          "Whether words of white space are tokens.")
      .def_property_readonly("b", [](const Encoder& self) { return self.core().model()->b(); },
                             "The model's length normalisation.")
      .def_property_readonly("k1", [](const Encoder& self) { return self.core().model()->k1(); },
                             "The model's term-frequency saturation.")
      .def_property_readonly("errors", &Encoder::errors,
                             "What a batch does with text that is not UTF-8: 'strict' or 'replace'.")
      .def_property("threads", &Encoder::threads, &Encoder::set_threads,
                    "The threads of every batch call: None for every core.");
}

}  // namespace kelp::typing::text::pybind
