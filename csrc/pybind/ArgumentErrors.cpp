// Wrong arguments of a public method in the caller's words.
//
// When no overload of a bound method takes the arguments given, pybind11
// raises TypeError listing every signature, with the module's private
// names. Each public method is therefore wrapped in a NamedMethod: a call
// goes straight to the bound function (one more vectorcall, nothing else),
// and only when that raises pybind11's TypeError does the wrapper ask
// razoduviva._errors.explain for a message naming the method, the
// parameter and the type given, which replaces it.
#include <Python.h>
#include <structmember.h>
#include <pybind11/pybind11.h>

#include <cstring>
#include <initializer_list>
#include <string>
#include <type_traits>
#include <utility>

#include "pybind/Bind.hpp"

namespace kelp::typing::text::pybind {

namespace py = ::pybind11;

namespace {

struct NamedMethod {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  PyObject* function;  // the bound pybind11 function
  PyObject* qualname;  // the public name: "Jieba.cut", "BM25()"
};

// True when the error set is pybind11's report of arguments no overload
// takes: "<name>(): incompatible function arguments..." (or constructor).
bool IsOverloadMismatch() {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  bool mismatch = false;
  if (value != nullptr) {
    PyObject* text = PyObject_Str(value);
    if (text != nullptr) {
      const char* message = PyUnicode_AsUTF8(text);
      mismatch = message != nullptr && std::strstr(message, "(): incompatible ") != nullptr;
      Py_DECREF(text);
    }
    PyErr_Clear();
  }
  PyErr_Restore(type, value, traceback);
  return mismatch;
}

PyObject* Call(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  auto* method = reinterpret_cast<NamedMethod*>(self);
  PyObject* result = PyObject_Vectorcall(method->function, args, nargsf, kwnames);
  if (result != nullptr || !PyErr_ExceptionMatches(PyExc_TypeError) || !IsOverloadMismatch()) {
    return result;
  }
  PyErr_Clear();
  const Py_ssize_t positional = PyVectorcall_NARGS(nargsf);
  PyObject* given = PyTuple_New(positional);
  PyObject* keywords = PyDict_New();
  if (given == nullptr || keywords == nullptr) {
    Py_XDECREF(given);
    Py_XDECREF(keywords);
    return nullptr;
  }
  for (Py_ssize_t k = 0; k < positional; ++k) {
    Py_INCREF(args[k]);
    PyTuple_SET_ITEM(given, k, args[k]);
  }
  const Py_ssize_t named = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < named; ++k) {
    PyDict_SetItem(keywords, PyTuple_GET_ITEM(kwnames, k), args[positional + k]);
  }
  PyObject* errors = PyImport_ImportModule("razoduviva._errors");
  PyObject* message = errors == nullptr ? nullptr
                                        : PyObject_CallMethod(errors, "explain", "OOOO",
                                                              method->qualname, method->function,
                                                              given, keywords);
  Py_XDECREF(errors);
  Py_DECREF(given);
  Py_DECREF(keywords);
  if (message != nullptr) {
    PyErr_SetObject(PyExc_TypeError, message);
    Py_DECREF(message);
  }
  return nullptr;
}

PyObject* CallTuple(PyObject* self, PyObject* args, PyObject* kwargs) {
  return PyVectorcall_Call(self, args, kwargs);
}

// Binds like a function: an instance gives a bound method.
PyObject* Get(PyObject* self, PyObject* instance, PyObject*) {
  if (instance == nullptr || instance == Py_None) {
    Py_INCREF(self);
    return self;
  }
  return PyMethod_New(self, instance);
}

// __doc__, __name__ and the rest are the bound function's.
PyObject* GetAttr(PyObject* self, PyObject* name) {
  return PyObject_GetAttr(reinterpret_cast<NamedMethod*>(self)->function, name);
}

void Dealloc(PyObject* self) {
  auto* method = reinterpret_cast<NamedMethod*>(self);
  Py_XDECREF(method->function);
  Py_XDECREF(method->qualname);
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyMemberDef kMembers[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(NamedMethod, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

PyType_Slot kSlots[] = {{Py_tp_call, reinterpret_cast<void*>(CallTuple)},
                        {Py_tp_descr_get, reinterpret_cast<void*>(Get)},
                        {Py_tp_getattro, reinterpret_cast<void*>(GetAttr)},
                        {Py_tp_dealloc, reinterpret_cast<void*>(Dealloc)},
                        {Py_tp_members, kMembers},
                        {0, nullptr}};

PyType_Spec kSpec = {"razoduviva._core.NamedMethod", sizeof(NamedMethod), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR,
                     kSlots};

}  // namespace

namespace {

// Wraps the methods of the class `cls` of `m`, each under its public name.
void NameArgumentErrors(py::module_& m, const char* cls,
                        std::initializer_list<std::pair<const char*, const char*>> methods) {
  static_assert(std::is_standard_layout_v<NamedMethod>);
  const py::object type = m.attr("_NamedMethod");
  const py::object target = m.attr(cls);
  for (const auto& [name, qualname] : methods) {
    const py::object function = target.attr("__dict__")[name].attr("__func__");
    auto* method = PyObject_New(NamedMethod, reinterpret_cast<PyTypeObject*>(type.ptr()));
    if (method == nullptr) {
      throw py::error_already_set();
    }
    method->vectorcall = Call;
    method->function = function.inc_ref().ptr();
    method->qualname = py::str(qualname).release().ptr();
    py::setattr(target, name, py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(method)));
  }
}

}  // namespace

void BindArgumentErrors(py::module_& m) {
  PyObject* type = PyType_FromSpec(&kSpec);
  if (type == nullptr) {
    throw py::error_already_set();
  }
  m.attr("_NamedMethod") = py::reinterpret_steal<py::object>(type);
  NameArgumentErrors(m, "BM25",
                     {{"__init__", "BM25()"}, {"train", "BM25.train"}, {"load", "BM25.load"},
                      {"merge", "BM25.merge"}, {"dump", "BM25.dump"},
                      {"encode_document", "BM25.encode_document"},
                      {"encode_query", "BM25.encode_query"}});
  NameArgumentErrors(m, "Jieba",
                     {{"__init__", "Jieba()"}, {"cut", "Jieba.cut"},
                      {"cut_for_search", "Jieba.cut_for_search"}, {"cut_full", "Jieba.cut_full"},
                      {"cut_many", "Jieba.cut_many"}, {"tokenize", "Jieba.tokenize"},
                      {"tag", "Jieba.tag"}, {"keywords", "Jieba.keywords"},
                      {"add_word", "Jieba.add_word"}, {"remove_word", "Jieba.remove_word"}});
  NameArgumentErrors(m, "SparseEncoder",
                     {{"__init__", "SparseEncoder()"}, {"_fit", "SparseEncoder.fit"},
                      {"_encode_documents", "SparseEncoder.encode_documents"},
                      {"_encode_queries", "SparseEncoder.encode_queries"},
                      {"tokens", "SparseEncoder.tokens"}, {"_save", "SparseEncoder.save"}});
}

}  // namespace kelp::typing::text::pybind
