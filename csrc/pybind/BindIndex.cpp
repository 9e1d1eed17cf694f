// The compiled base of razoduviva.Index: an InvertedIndex, whose batch
// calls run in the core (IndexBatches.hpp) with the interpreter lock
// released.
//
// Work that reads the index without the lock pins it (InvertedIndex::Pin),
// and the encoder's statistics when it encodes (EncoderPin), taken and let
// go with the lock held, so that a change from another thread meanwhile is
// refused. Adding stages the new documents apart without the lock and
// appends them with it: all or nothing.
#include <Python.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "index/IndexBatches.hpp"
#include "index/InvertedIndex.hpp"
#include "pybind/Bind.hpp"
#include "pybind/Convert.hpp"
#include "pybind/NativeLog.hpp"

namespace kelp::typing::text::pybind {

namespace py = ::pybind11;

namespace {

using index::InvertedIndex;

// Appends the documents that stage() stages without the lock.
template <typename Stage>
void AddStaged(InvertedIndex& self, Stage&& stage) {
  std::optional<InvertedIndex> staged;
  {
    const InvertedIndex::Pin pin(self);
    const NativeLogScope log;
    py::gil_scoped_release unlocked;
    staged.emplace(stage());
  }
  self.Append(std::move(*staged));
}

std::optional<IdIterable> IdsOf(py::handle ids, const char* method) {
  std::optional<IdIterable> source;
  if (!ids.is_none()) {
    source.emplace(ids, method);
  }
  return source;
}

void Add(InvertedIndex& self, const Encoder& encoder, py::handle texts, py::handle ids) {
  IterableSource source(texts, "Index.add", encoder.errors());
  std::optional<IdIterable> id_source = IdsOf(ids, "Index.add");
  const EncoderPin pin(encoder.core());
  AddStaged(self, [&] {
    return index::StageTexts(self, encoder.core(), source, id_source ? &*id_source : nullptr,
                             encoder.threads().count);
  });
}

void AddVectors(InvertedIndex& self, py::handle indptr, py::handle indices, py::handle values,
                py::handle ids) {
  const BufferOf<int64_t> offsets(indptr, "indptr");
  const BufferOf<int64_t> columns(indices, "indices");
  const BufferOf<double> weights(values, "values");
  std::optional<IdIterable> id_source = IdsOf(ids, "Index.add_vectors");
  const index::CsrInput rows{offsets.data(), offsets.size(), columns.data(),
                             columns.size(), weights.data(), weights.size()};
  AddStaged(self, [&] {
    return index::StageRows(self, rows, id_source ? &*id_source : nullptr);
  });
}

// For each text, its hits as a list of (id, score), best first.
py::list Search(const InvertedIndex& self, const Encoder& encoder, py::handle texts, size_t k,
                Threads threads) {
  const std::vector<Sentence> sentences = LoadTexts(texts, "Index.search_many", encoder.errors());
  const std::vector<std::string_view> views = Views(sentences);
  index::SearchResults results;
  {
    const InvertedIndex::Pin pin(self);
    const EncoderPin pinned(encoder.core());
    const NativeLogScope log;
    py::gil_scoped_release unlocked;
    results = index::SearchTexts(self, encoder.core(), views.data(), views.size(), k,
                                 threads.count);
  }
  const CollectorPause pause;
  py::list all(views.size());
  size_t at = 0;
  for (size_t q = 0; q < views.size(); ++q) {
    py::list hits(results.ends[q] - at);
    for (Py_ssize_t i = 0; at < results.ends[q]; ++at, ++i) {
      PyList_SET_ITEM(hits.ptr(), i,
                      py::make_tuple(results.ids[at], results.scores[at]).release().ptr());
    }
    PyList_SET_ITEM(all.ptr(), static_cast<Py_ssize_t>(q), hits.release().ptr());
  }
  return all;
}

size_t Remove(InvertedIndex& self, py::handle ids) {
  IdIterable source(ids, "Index.remove");
  std::vector<int64_t> all;
  while (source.Next(SIZE_MAX, all) != 0) {
  }
  return self.Remove(all.data(), all.size());
}

// Replaces a new, empty index (made for the purpose) with `make()`'s.
template <typename Make>
void Replace(InvertedIndex& self, Make&& make) {
  if (self.pinned()) {
    throw std::runtime_error("the index is in use: a search in another thread is reading it");
  }
  std::optional<InvertedIndex> made;
  {
    py::gil_scoped_release unlocked;
    made.emplace(make());
  }
  self = std::move(*made);
}

}  // namespace

void BindIndex(py::module_& m) {
  py::class_<InvertedIndex>(m, "Index", R"doc(
The compiled base of razoduviva.Index: an inverted index over hashed
sparse vectors, searched by dot product. Use razoduviva.Index.
)doc")
      .def(py::init<>())
      .def("__len__", &InvertedIndex::size)
      .def("_add", &Add, py::arg("encoder"), py::arg("texts"), py::arg("ids"),
           "Encodes and adds documents, in batches; ids None for running ids.")
      .def("_add_vectors", &AddVectors, py::arg("indptr"), py::arg("indices"), py::arg("values"),
           py::arg("ids"), "Adds compressed sparse rows of int64 offsets and indices, float64 values.")
      .def("_search", &Search, py::arg("encoder"), py::arg("texts"), py::arg("k"),
           py::arg("threads"), "The hits of each text as a query.")
      .def("_remove", &Remove, py::arg("ids"), "Removes the documents held; how many.")
      .def("_contains", &InvertedIndex::Contains, py::arg("id"), "Whether a document has the id.")
      .def("_ids", &InvertedIndex::Ids, "The ids held, in the order they were added.")
      .def(
          "_stats",
          [](const InvertedIndex& self) {
            const index::IndexStats stats = self.Stats();
            py::dict out;
            out["documents"] = stats.documents;
            out["removed"] = stats.removed;
            out["segments"] = stats.segments;
            out["postings"] = stats.postings;
            out["held_bytes"] = stats.held_bytes;
            out["mapped_bytes"] = stats.mapped_bytes;
            return out;
          },
          "Sizes, as a dict.")
      .def(
          "_save",
          [](const InvertedIndex& self, const Path& path, const py::bytes& blob) {
            const std::string_view text(blob);
            const InvertedIndex::Pin pin(self);
            py::gil_scoped_release unlocked;
            self.Save(path.bytes, text);
          },
          py::arg("path"), py::arg("blob"), "Writes the index file with blob, whole or not at all.")
      .def(
          "_load",
          [](InvertedIndex& self, const Path& path, Flag mmap) {
            Replace(self, [&] { return InvertedIndex::Load(path.bytes, mmap.value); });
            py::bytes blob(self.blob());
            self.set_blob({});
            return blob;
          },
          py::arg("path"), py::arg("mmap"),
          "Becomes the index of a file, mapped or read; returns its blob, kept no longer.")
      .def(
          "_serialize",
          [](const InvertedIndex& self) {
            std::string bytes;
            {
              const InvertedIndex::Pin pin(self);
              py::gil_scoped_release unlocked;
              bytes = self.Serialize();
            }
            return py::bytes(bytes);
          },
          "The bytes of the index file, without blob.")
      .def(
          "_restore",
          [](InvertedIndex& self, const py::bytes& bytes) {
            const std::string_view view(bytes);
            Replace(self, [&] { return InvertedIndex::Deserialize(view); });
          },
          py::arg("bytes"), "Becomes the index of _serialize's bytes.");
}

}  // namespace kelp::typing::text::pybind
