// The Python class BM25.
//
// Token lists cross the boundary without copying: a list or tuple of str is
// read as views of each str's cached UTF-8 buffer (bytes as views of their
// own buffer), and a result dict reuses the caller's own str and int objects
// as its keys. The casters accept and refuse exactly what pybind11's
// standard vector casters do: anything that is not a plain list or tuple, or
// holds an element the fast path does not know, goes to those casters, so
// overload selection, TypeError texts and signatures are unchanged.
//
// Lifetimes: a token list holds a strong reference to every element it
// views, so a finalizer that edits the list during the call cannot free a
// buffer still in use. All of this runs holding the interpreter lock.
#include <Python.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/typing.h>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bm25/BM25.hpp"
#include "pybind/Bind.hpp"
#include "pybind/Convert.hpp"
#include "pybind/NativeLog.hpp"

namespace kelp::typing::text::pybind {

// The strong references held by a converted token list: one per view.
using HeldObjects = std::vector<pybind11::object>;

// A list of str or bytes tokens, as views.
struct StrTokens {
  std::vector<std::string_view> views;
  HeldObjects objects;             // one per view, unless the tokens were copied
  std::vector<std::string> owned;  // the copies made by the standard caster

  bool Load(pybind11::handle src, bool convert) {
    PyObject* list = src.ptr();
    if (PyList_CheckExact(list) || PyTuple_CheckExact(list)) {
      const Py_ssize_t size = PySequence_Fast_GET_SIZE(list);
      PyObject** items = PySequence_Fast_ITEMS(list);
      views.resize(static_cast<std::size_t>(size));
      objects.reserve(static_cast<std::size_t>(size));
      bool known = true;
      for (Py_ssize_t i = 0; i < size && known; ++i) {
        PyObject* item = items[i];
        Py_ssize_t length = 0;
        const char* data = nullptr;
        if (PyUnicode_Check(item)) {
          data = PyUnicode_AsUTF8AndSize(item, &length);
          if (data == nullptr) {  // lone surrogates: not a string token
            PyErr_Clear();
            return false;
          }
        } else if (PyBytes_Check(item)) {
          data = PyBytes_AS_STRING(item);
          length = PyBytes_GET_SIZE(item);
        } else if (PyLong_Check(item) || PyFloat_Check(item) || item == Py_None) {
          return false;  // the standard string caster refuses these too
        } else {
          known = false;  // bytearray, or anything else: let pybind11 decide
          break;
        }
        objects.push_back(pybind11::reinterpret_borrow<pybind11::object>(item));
        views[static_cast<std::size_t>(i)] = std::string_view(data, static_cast<std::size_t>(length));
      }
      if (known) {
        return true;
      }
      objects.clear();
    }
    pybind11::detail::make_caster<std::vector<std::string>> standard;
    if (!standard.load(src, convert)) {
      return false;
    }
    owned = pybind11::detail::cast_op<std::vector<std::string>&&>(std::move(standard));
    views.assign(owned.begin(), owned.end());
    return true;
  }
};

// A list of int tokens.
struct IdTokens {
  std::vector<std::int64_t> ids;
  HeldObjects objects;  // one per id, unless the standard caster converted them

  bool Load(pybind11::handle src, bool convert) {
    PyObject* list = src.ptr();
    if (PyList_CheckExact(list) || PyTuple_CheckExact(list)) {
      const Py_ssize_t size = PySequence_Fast_GET_SIZE(list);
      PyObject** items = PySequence_Fast_ITEMS(list);
      ids.resize(static_cast<std::size_t>(size));
      objects.reserve(static_cast<std::size_t>(size));
      bool known = true;
      for (Py_ssize_t i = 0; i < size; ++i) {
        PyObject* item = items[i];
        if (!PyLong_CheckExact(item)) {
          known = false;  // bool, __index__ objects, floats: let pybind11 decide
          break;
        }
        int overflow = 0;
        const long long id = PyLong_AsLongLongAndOverflow(item, &overflow);
        if (overflow != 0) {
          return false;  // outside the signed 64-bit range
        }
        ids[static_cast<std::size_t>(i)] = id;
        objects.push_back(pybind11::reinterpret_borrow<pybind11::object>(item));
      }
      if (known) {
        return true;
      }
      objects.clear();
    }
    pybind11::detail::make_caster<std::vector<std::int64_t>> standard;
    if (!standard.load(src, convert)) {
      return false;
    }
    ids = pybind11::detail::cast_op<std::vector<std::int64_t>&&>(std::move(standard));
    return true;
  }
};

}  // namespace kelp::typing::text::pybind

namespace pybind11::detail {

template <>
struct type_caster<kelp::typing::text::pybind::StrTokens> {
  PYBIND11_TYPE_CASTER(kelp::typing::text::pybind::StrTokens,
                       make_caster<std::vector<std::string>>::name);
  bool load(handle src, bool convert) { return value.Load(src, convert); }
};

template <>
struct type_caster<kelp::typing::text::pybind::IdTokens> {
  PYBIND11_TYPE_CASTER(kelp::typing::text::pybind::IdTokens,
                       make_caster<std::vector<std::int64_t>>::name);
  bool load(handle src, bool convert) { return value.Load(src, convert); }
};

}  // namespace pybind11::detail

namespace kelp::typing::text::pybind {

namespace {

namespace py = pybind11;

using StrWeights = py::typing::Dict<py::str, py::float_>;
using IdWeights = py::typing::Dict<py::int_, py::float_>;

py::object NewDict(std::size_t size) {
  PyObject* dict = _PyDict_NewPresized(static_cast<Py_ssize_t>(size));
  if (dict == nullptr) {
    throw py::error_already_set();
  }
  return py::reinterpret_steal<py::object>(dict);
}

void SetItem(PyObject* dict, PyObject* key, double weight) {
  PyObject* value = PyFloat_FromDouble(weight);
  if (value == nullptr) {
    Py_DECREF(key);
    throw py::error_already_set();
  }
  const int status = PyDict_SetItem(dict, key, value);
  Py_DECREF(key);
  Py_DECREF(value);
  if (status != 0) {
    throw py::error_already_set();
  }
}

// Keys in the order given (ascending), so the dict iterates in key order.
StrWeights ToDict(const StrTokens& tokens, const std::vector<BM25::IndexedWeight>& weights) {
  py::object dict = NewDict(weights.size());
  for (const BM25::IndexedWeight& w : weights) {
    PyObject* key = nullptr;
    if (!tokens.objects.empty() && PyUnicode_CheckExact(tokens.objects[w.index].ptr())) {
      key = tokens.objects[w.index].ptr();
      Py_INCREF(key);
    } else {
      // Strict decoding: a token that is not UTF-8 raises UnicodeDecodeError.
      const std::string_view bytes = tokens.views[w.index];
      key = PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), nullptr);
      if (key == nullptr) {
        throw py::error_already_set();
      }
    }
    SetItem(dict.ptr(), key, w.weight);
  }
  return py::reinterpret_steal<StrWeights>(dict.release());
}

IdWeights ToDict(const IdTokens& tokens, const std::vector<BM25::IndexedWeight>& weights) {
  py::object dict = NewDict(weights.size());
  for (const BM25::IndexedWeight& w : weights) {
    PyObject* key = nullptr;
    if (!tokens.objects.empty()) {
      key = tokens.objects[w.index].ptr();
      Py_INCREF(key);
    } else {
      key = PyLong_FromLongLong(tokens.ids[w.index]);
      if (key == nullptr) {
        throw py::error_already_set();
      }
    }
    SetItem(dict.ptr(), key, w.weight);
  }
  return py::reinterpret_steal<IdWeights>(dict.release());
}

// The docstrings, which python/razoduviva/_core.pyi repeats word for word.
constexpr char kClassDoc[] =
    R"doc(BM25 corpus statistics, and the sparse vectors built from them.

Train on documents one at a time, each a list of str (or bytes) tokens
or of int ids, then encode documents and queries as dicts from token to
weight, in ascending key order. An int id is counted under its decimal
text: 42 and "42" are the same token. dump saves the model as a JSON
file; load restores it from that file's text.)doc";

constexpr char kInitDoc[] =
    R"doc(A model with no documents yet.

b scales the length normalisation of document weights, k1 their
saturation. Raises ValueError when either is NaN or infinite. The values
that make sense are b from 0 (no normalisation) to 1 (full) and k1 of 0
or more (0: every present token weighs the same); others are taken as
given, and document weights then leave the range 0 to 1.)doc";

constexpr char kTrainStrDoc[] =
    R"doc(Adds one document, a list of str (or bytes) tokens.

Raises RuntimeError ("trainning tokens_vec should not be empty") for an
empty list, and then changes nothing.)doc";

constexpr char kTrainIdDoc[] =
    R"doc(Adds one document, a list of int token ids (signed 64-bit).)doc";

constexpr char kLoadDoc[] =
    R"doc(Reads a model from the text that dump wrote (not from a path).

Token counts merge into the current ones; the document count and the
average length are the file's, and training or merging afterwards
averages over the loaded documents too. Every member is checked
before the model changes, so a failed load leaves it unchanged:
RuntimeError for empty text, text that is not JSON, or a missing member
or wrong kind of value ("load b failed" and the like); IndexError for a
number out of range, ValueError for one with no digits.)doc";

constexpr char kMergeDoc[] =
    R"doc(Adds the statistics of other, a BM25 with the same b and k1.

The document counts, the token counts (stopping at the 64-bit limit)
and the total lengths add up, and the average length is recomputed
from them, so training on A and then merging a model trained on B
gives the model that training on A and then B gives. other may be
this model, which doubles it. Raises ValueError when b or k1 differ,
and then changes nothing.)doc";

constexpr char kDumpDoc[] =
    R"doc(Writes the model as a JSON file, whole or not at all.

It writes a temporary file in the same folder and renames it over the
path. Raises RuntimeError ("Failed to dump: ...") when the file cannot
be written, ValueError for a path holding a NUL character.)doc";

constexpr char kEncodeDocumentStrDoc[] =
    R"doc(The document vector of a list of str (or bytes) tokens.

Each distinct token weighs c / (K + c), c being its count in the list
and K = ((len / average len) * b + (1 - b)) * k1, len the list's length
and average len the training documents' average. Keys are str, in
ascending order. An empty list gives {}; otherwise a model not trained
yet raises RuntimeError ("BM25 has not been initialized").)doc";

constexpr char kEncodeDocumentIdDoc[] =
    R"doc(The document vector of a list of int token ids, ids ascending.)doc";

constexpr char kEncodeQueryStrDoc[] =
    R"doc(The query vector of a list of str (or bytes) tokens.

Each distinct token weighs ln((documents + 1) / (n + 0.5)), n being its
total count in training (1 if never seen), divided by the sum of those
weights, so the weights sum to 1. Keys are str, in ascending order. An
empty list gives {}; otherwise a model not trained yet raises
RuntimeError ("BM25 has not been initialized").)doc";

constexpr char kEncodeQueryIdDoc[] =
    R"doc(The query vector of a list of int token ids, ids ascending.)doc";

// The tokens of a list, as the model's pointer-and-size methods take them.
const std::string_view* Data(const StrTokens& tokens) { return tokens.views.data(); }
std::size_t Size(const StrTokens& tokens) { return tokens.views.size(); }
const std::int64_t* Data(const IdTokens& tokens) { return tokens.ids.data(); }
std::size_t Size(const IdTokens& tokens) { return tokens.ids.size(); }

template <typename Tokens>
void Train(BM25& self, const Tokens& tokens) {
  self.train(Data(tokens), Size(tokens));
}

template <bool kQuery, typename Tokens>
auto Encode(const BM25& self, const Tokens& tokens) {
  std::vector<BM25::IndexedWeight> weights;
  if constexpr (kQuery) {
    self.encode_query(Data(tokens), Size(tokens), weights);
  } else {
    self.encode_document(Data(tokens), Size(tokens), weights);
  }
  return ToDict(tokens, weights);
}

void BindBM25Impl(py::module_& m) {
  // Registration order is the order in which overloads are tried: string
  // tokens before ids, so an empty list takes the string overload. The
  // methods' one argument is positional only.
  py::class_<BM25, std::shared_ptr<BM25>> cls(m, "BM25", kClassDoc);
  // Its public home, which pickles name.
  cls.attr("__module__") = "razoduviva";
  const auto tokens = py::arg("tokens");
  cls.def(py::init<double, double>(), py::arg("b") = 0.75, py::arg("k1") = 1.2, kInitDoc)
      // By value: parameters, statistics and the running total length, as
      // the binary state of BM25::serialize.
      .def(py::pickle([](const BM25& self) { return py::bytes(self.serialize()); },
                      [](const py::bytes& state) {
                        return std::make_shared<BM25>(BM25::deserialize(std::string_view(state)));
                      }))
      .def("train", &Train<StrTokens>, tokens, py::pos_only(), kTrainStrDoc)
      .def("train", &Train<IdTokens>, tokens, py::pos_only(), kTrainIdDoc)
      .def(
          "load",
          [](BM25& self, std::string_view text) {
            const NativeLogScope log;  // the parser's complaint lines
            self.load(text);
          },
          py::arg("text"), py::pos_only(), kLoadDoc)
      // Holds the interpreter lock: `other` may be this model, or a model
      // another thread is training.
      .def("merge", &BM25::merge, py::arg("other"), kMergeDoc)
      .def(
          "dump", [](const BM25& self, const Path& path) { self.dump(path.bytes); }, py::arg("path"),
          py::pos_only(), kDumpDoc)
      .def("encode_document", &Encode<false, StrTokens>, tokens, py::pos_only(),
           kEncodeDocumentStrDoc)
      .def("encode_document", &Encode<false, IdTokens>, tokens, py::pos_only(),
           kEncodeDocumentIdDoc)
      .def("encode_query", &Encode<true, StrTokens>, tokens, py::pos_only(), kEncodeQueryStrDoc)
      .def("encode_query", &Encode<true, IdTokens>, tokens, py::pos_only(), kEncodeQueryIdDoc)
      .def_property_readonly("b", &BM25::b, "The length normalisation b.")
      .def_property_readonly("k1", &BM25::k1, "The term-frequency saturation k1.")
      .def_property_readonly("doc_count", &BM25::doc_count, "The number of documents trained.")
      .def_property_readonly("average_length", &BM25::doc_length_average,
                             "The average number of tokens of a trained document.")
      .def_property_readonly(
          "vocabulary_size", [](const BM25& self) { return self.doc_token_frequency().size(); },
          "The number of distinct tokens counted.")
      .def(
          "__eq__",
          [](const BM25& self, py::handle other) -> py::object {
            if (!py::isinstance<BM25>(other)) {
              return py::reinterpret_borrow<py::object>(Py_NotImplemented);
            }
            return py::bool_(self == other.cast<const BM25&>());
          },
          py::arg("other"), "Equal parameters and statistics.")
      .def("__repr__", [](const BM25& self) {
        return py::str("BM25(b={!r}, k1={!r}; {} documents, average length {!r}, {} tokens)")
            .format(self.b(), self.k1(), self.doc_count(), self.doc_length_average(),
                    self.doc_token_frequency().size());
      });
  cls.attr("__hash__") = py::none();
}

}  // namespace

void BindBM25(py::module_& m) {
  BindBM25Impl(m);
}

}  // namespace kelp::typing::text::pybind
