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

#include <deque>
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

// The settings of an encoder as Python gives them, checked by their
// casters on the way in.
struct Settings {
  jieba::CutMode mode;
  Flag hmm;
  Flag stop_words;
  std::optional<Flag> keep_space;
  std::optional<std::vector<std::string>> stop_word_list;
  double bigrams;
  IdfKind idf;
  Flag nfkc;
  Flag casefold;
  Flag t2s;

  EncoderSettings Core() const {
    EncoderSettings settings;
    settings.mode = mode;
    settings.hmm = hmm.value;
    settings.stop_words = stop_words.value;
    settings.keep_space = keep_space ? keep_space->value : !stop_words.value;
    settings.own_stop_words = stop_word_list;
    settings.bigrams = bigrams;
    settings.idf = idf;
    settings.fold = encoder::FoldOptions{nfkc.value, casefold.value, t2s.value};
    return settings;
  }
};

// Statistics on their way between encoders: a copy, mergeable, pickled by
// value (SparseEncoder::Counts::Serialize).
using Statistics = SparseEncoder::Counts;

void Fit(const Encoder& self, py::handle texts) {
  IterableSource source(texts, "fit", self.errors());
  const NativeLogScope log;
  std::optional<Statistics> staged;
  {
    py::gil_scoped_release unlocked;
    staged.emplace(batch::TrainStaged(self.core(), source, self.threads().count));
  }
  self.core().Commit(*staged);
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
  const EncoderPin pin(encoder);
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
  // The dict format's keys, and the folded texts its tokens view, kept for
  // the call: made and dropped with the interpreter lock held.
  const py::str words_key("words");
  const py::str bigrams_key("bigrams");
  std::deque<Sentence> folded_texts;
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
    const bool two_fields = encoder.has_bigrams();
    batch::EncodeWordsBatch(encoder, views.data(), views.size(), kind, threads,
                            [&](batch::WordChunk& chunk) {
      py::gil_scoped_acquire locked;
      const SparseEncoder::WordVectors& vectors = chunk.vectors;
      size_t begin = 0;
      size_t bigram_begin = 0;
      for (size_t t = 0; t < chunk.texts.size(); ++t) {
        // The tokens view the folded text when the fold changed it, kept
        // for the call: the interner compares with the bytes it has seen.
        if (!vectors.folded[t].empty()) {
          folded_texts.emplace_back().copy = vectors.folded[t];
        }
        const Sentence& text =
            vectors.folded[t].empty() ? sentences[chunk.texts.first + t] : folded_texts.back();
        py::dict words;
        for (size_t k = begin; k < vectors.ends[t]; ++k) {
          const py::object word = py::reinterpret_steal<py::object>(
              interner.Get(text, vectors.tokens[k], chunk.hashes[k]));
          words[word] = py::reinterpret_steal<py::object>(numbers.Float(vectors.values[k]));
        }
        begin = vectors.ends[t];
        py::dict vector = words;
        if (two_fields) {
          const std::string_view bytes = text.View();
          py::dict bigrams;
          for (size_t k = bigram_begin; k < vectors.bigram_ends[t]; ++k) {
            const encoder::TextSpan span = vectors.bigrams[k];
            bigrams[py::str(bytes.data() + span.offset, span.length)] =
                py::reinterpret_steal<py::object>(numbers.Float(vectors.bigram_values[k]));
          }
          bigram_begin = vectors.bigram_ends[t];
          vector = py::dict();
          vector[words_key] = words;
          vector[bigrams_key] = bigrams;
        }
        PyList_SET_ITEM(result.ptr(), static_cast<Py_ssize_t>(chunk.texts.first + t),
                        vector.release().ptr());
      }
    });
  }
  return std::move(result);
}

py::list Tokens(const Encoder& self, py::handle item, Flag bigrams) {
  // One text: a lone surrogate is an error, as for Jieba.cut, unless read
  // as U+FFFD.
  Sentence text;
  const bool loaded = self.errors() == TextErrors::kReplace || item.is_none()
                          ? text.LoadItem(item, self.errors())
                          : text.Load(item);
  if (!loaded) {
    throw py::type_error(std::string("SparseEncoder.tokens() argument 'text' must be str, bytes "
                                     "or bytearray, not ") + Py_TYPE(item.ptr())->tp_name);
  }
  SparseEncoder::Scratch scratch;
  {
    const NativeLogScope log;
    const UnlockedFor unlocked(text.View().size());
    self.core().Tokenize(text.View(), scratch);
  }
  py::list tokens;
  if (bigrams.value) {
    for (const std::string_view bigram : scratch.bigrams) {
      tokens.append(py::str(bigram.data(), bigram.size()));
    }
    return tokens;
  }
  Sentence folded;  // the tokens view the folded text where the fold changed it
  if (scratch.folded.data() != text.View().data()) {
    folded.copy = std::string(scratch.folded);
  }
  const Sentence& source = folded.copy.empty() ? text : folded;
  std::vector<uint64_t> hashes;
  batch::HashWords(source.View(), scratch.kept, hashes);
  WordInterner interner(scratch.kept.size());
  return py::reinterpret_steal<py::list>(
      interner.List(source, scratch.kept.data(), hashes.data(), hashes.size()));
}

// The encoder file's text; data is "bundled" or "custom".
std::string FileText(const Encoder& self, const std::string& data) {
  const SparseEncoder& encoder = self.core();
  EncoderFile file{RAZODUVIVA_VERSION, encoder.settings(), data, encoder.jieba()->Edits(),
                   encoder.jieba()->DataFingerprint(), std::nullopt};
  const Statistics extra = encoder.Statistics(false);
  return EncoderFileText(*encoder.model(), file, &extra);
}

void Save(const Encoder& self, const Path& path, const std::string& data) {
  const std::string text = FileText(self, data);
  try {
    py::gil_scoped_release unlocked;
    limonp::ReplaceFile(path.bytes, text, "Failed to save: ");
  } catch (const limonp::WriteError& e) {
    RaiseOSError(e.path(), e.error_number());
    throw py::error_already_set();
  }
}

py::dict ReadFile(const py::bytes& bytes) {
  const std::string_view text(bytes);
  EncoderFile file;
  std::shared_ptr<BM25> model;
  std::shared_ptr<Statistics> extra;
  {
    const NativeLogScope log;  // the parser's complaint lines
    file = ReadEncoderFile(text);
    model = std::make_shared<BM25>(ReadEncoderModel(text, file));
    extra = std::make_shared<Statistics>(ReadEncoderStatistics(text, file, *model));
  }
  const EncoderSettings& settings = file.settings;
  py::dict read;
  read["model"] = model;
  read["statistics"] = extra;
  read["data_fingerprint"] = file.data_fingerprint;
  read["version"] = file.version;
  read["data"] = file.data;
  read["edits"] = file.edits;
  read["mode"] = settings.mode;
  read["hmm"] = settings.hmm;
  read["stop_words"] = settings.own_stop_words ? py::cast(*settings.own_stop_words)
                                               : py::cast(settings.stop_words);
  read["keep_space"] = settings.keep_space;
  read["bigrams"] = settings.bigrams;
  read["idf"] = settings.idf;
  read["nfkc"] = settings.fold.nfkc;
  read["casefold"] = settings.fold.casefold;
  read["t2s"] = settings.fold.t2s;
  return read;
}

template <typename Get>
auto Setting(Get get) {
  return [get](const Encoder& self) { return get(self.core().settings()); };
}

}  // namespace

void BindEncoder(py::module_& m) {
  m.def("_read_encoder_file", &ReadFile, py::arg("text"),
        "The settings and the statistics of an encoder file's text, as a dict; ValueError when "
        "it is not one.");
  py::class_<Statistics, std::shared_ptr<Statistics>>(m, "_Statistics", R"doc(
The statistics of an encoder on their way to another: both fields' models
and document counts. Merge them, pickle them, add them to an encoder.
)doc")
      .def("merge", &Statistics::Merge, py::arg("other"), "Adds other's statistics to these.")
      .def_property_readonly(
          "doc_count", [](const Statistics& self) { return self.words.doc_count(); },
          "The number of documents counted by the word field.")
      .def(py::pickle([](const Statistics& self) { return py::bytes(self.Serialize()); },
                      [](const py::bytes& state) {
                        return std::make_shared<Statistics>(
                            Statistics::Deserialize(std::string_view(state)));
                      }));
  py::class_<Encoder, std::shared_ptr<Encoder>>(m, "SparseEncoder", R"doc(
The compiled base of razoduviva.SparseEncoder: a segmenter, token settings
and a BM25 model, with the batch work in C++. Use razoduviva.SparseEncoder.
)doc")
      .def(py::init([](const py::handle& jieba, jieba::CutMode mode, Flag hmm, Flag stop_words,
                       std::optional<std::vector<std::string>> stop_word_list,
                       std::optional<Flag> keep_space, double bigrams,
                       IdfKind idf, Flag nfkc, Flag casefold, Flag t2s, std::shared_ptr<BM25> model,
                       Threads threads, TextErrors errors) {
             if (!py::isinstance<jieba::Jieba>(jieba)) {
               throw py::type_error(std::string("SparseEncoder() argument 'jieba' must be a "
                                                "razoduviva.Jieba, not ") +
                                    Py_TYPE(jieba.ptr())->tp_name);
             }
             const Settings settings{mode, hmm,   stop_words, keep_space, std::move(stop_word_list),
                                     bigrams, idf, nfkc,      casefold,   t2s};
             return std::make_shared<Encoder>(py::reinterpret_borrow<py::object>(jieba),
                                              settings.Core(), std::move(model), threads, errors);
           }),
           py::arg("jieba"), py::arg("mode"), py::arg("hmm"), py::arg("stop_words"),
           py::arg("stop_word_list"), py::arg("keep_space"), py::arg("bigrams"), py::arg("idf"),
           py::arg("nfkc"), py::arg("casefold"), py::arg("t2s"), py::arg("model"),
           py::arg("threads"), py::arg("errors"))
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
      .def("tokens", &Tokens, py::arg("text"), py::kw_only(), py::arg("bigrams") = Flag{false},
           R"doc(
The tokens of one text, as fit and the encoders count them: its word
tokens, or with bigrams=True those of the bigram field.
)doc")
      .def("_save", &Save, py::arg("path"), py::arg("data"),
           "Writes the encoder file, whole or not at all; data is 'bundled' or 'custom'.")
      .def(
          "_file_text",
          [](const Encoder& self, const std::string& data) { return py::bytes(FileText(self, data)); },
          py::arg("data"), "The text _save writes, as UTF-8 bytes.")
      .def(
          "_statistics",
          [](const Encoder& self, Flag words) { return Statistics(self.core().Statistics(words.value)); },
          py::arg("words"), "A copy of the statistics, with or without the word model.")
      .def(
          "_add_statistics",
          [](const Encoder& self, const Statistics& statistics) { self.core().Commit(statistics); },
          py::arg("statistics"), "Adds statistics (of an encoder of the same settings).")
      .def_property_readonly("jieba", &Encoder::jieba, "The segmenter.")
      .def_property_readonly("model", [](const Encoder& self) { return self.core().model(); },
                             "The word field's BM25 model: its statistics are the encoder's.")
      .def_property_readonly("mode", Setting([](const EncoderSettings& s) { return s.mode; }),
                             "The cut mode of the tokens: 'default', 'search' or 'full'.")
      .def_property_readonly("hmm", Setting([](const EncoderSettings& s) { return s.hmm; }),
                             "Whether the cut re-cuts words outside the dictionary with the HMM.")
      .def_property_readonly(
          "stop_words",
          [](const Encoder& self) -> py::object {
            const EncoderSettings& settings = self.core().settings();
            if (settings.stop_words && settings.own_stop_words) {
              return py::tuple(py::cast(*settings.own_stop_words));
            }
            return py::bool_(settings.stop_words);
          },
          "False, True (the segmenter's stop words) or the tuple of the encoder's own, with "
          "words of punctuation left out too.")
      .def_property_readonly("keep_space",
                             Setting([](const EncoderSettings& s) { return s.keep_space; }),
                             "Whether words of white space are tokens.")
      .def_property_readonly("bigrams", Setting([](const EncoderSettings& s) { return s.bigrams; }),
                             "The weight of the bigram field in a query; 0: no bigram field.")
      .def_property_readonly("idf", Setting([](const EncoderSettings& s) { return s.idf; }),
                             "The idf of query weights: 'occurrences' or 'documents'.")
      .def_property_readonly("nfkc", Setting([](const EncoderSettings& s) { return s.fold.nfkc; }),
                             "Whether text is folded to NFKC first.")
      .def_property_readonly("casefold",
                             Setting([](const EncoderSettings& s) { return s.fold.casefold; }),
                             "Whether text is case-folded.")
      .def_property_readonly("t2s", Setting([](const EncoderSettings& s) { return s.fold.t2s; }),
                             "Whether traditional characters are folded to simplified ones.")
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
