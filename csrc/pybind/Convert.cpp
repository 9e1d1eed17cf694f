#include "pybind/Convert.hpp"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <climits>
#include <exception>
#include <stdexcept>

#include "tokenizer/jieba/Unicode.hpp"
#include "tokenizer/limonp/Errors.hpp"

namespace kelp::typing::text::pybind {

namespace {

// The index and value of the first lone surrogate of a str (one exists when
// its UTF-8 encoding fails).
std::pair<Py_ssize_t, Py_UCS4> FirstSurrogate(PyObject* str) {
  const Py_ssize_t length = PyUnicode_GET_LENGTH(str);
  for (Py_ssize_t k = 0; k < length; ++k) {
    const Py_UCS4 c = PyUnicode_READ_CHAR(str, k);
    if (c >= 0xD800 && c <= 0xDFFF) {
      return {k, c};
    }
  }
  return {-1, 0};
}

// The str with every lone surrogate replaced by U+FFFD.
py::object WithoutSurrogates(PyObject* str) {
  const Py_ssize_t length = PyUnicode_GET_LENGTH(str);
  std::vector<Py_UCS4> chars(static_cast<size_t>(length));
  for (Py_ssize_t k = 0; k < length; ++k) {
    const Py_UCS4 c = PyUnicode_READ_CHAR(str, k);
    chars[static_cast<size_t>(k)] = c >= 0xD800 && c <= 0xDFFF ? 0xFFFD : c;
  }
  return py::reinterpret_steal<py::object>(
      PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, chars.data(), length));
}

// True for None, a float NaN, and what pandas counts as missing (pd.NA,
// pd.NaT), asked only when pandas is loaded already.
bool IsMissing(py::handle item) {
  if (item.is_none()) {
    return true;
  }
  if (PyFloat_Check(item.ptr())) {
    return std::isnan(PyFloat_AS_DOUBLE(item.ptr()));
  }
  PyObject* modules = PyImport_GetModuleDict();
  PyObject* pandas = PyDict_GetItemString(modules, "pandas");
  if (pandas == nullptr) {
    return false;
  }
  PyObject* result = PyObject_CallMethod(pandas, "isna", "O", item.ptr());
  if (result == nullptr) {
    PyErr_Clear();
    return false;
  }
  const bool missing = result == Py_True;
  Py_DECREF(result);
  return missing;
}

}  // namespace

bool Sentence::Load(py::handle src) {
  PyObject* obj = src.ptr();
  if (PyUnicode_Check(obj)) {
    if (PyUnicode_IS_ASCII(obj)) {
      data = static_cast<const char*>(PyUnicode_DATA(obj));
      size = static_cast<size_t>(PyUnicode_GET_LENGTH(obj));
    } else {
      PyObject* bytes = PyUnicode_AsUTF8String(obj);
      if (bytes == nullptr) {
        PyErr_Clear();
        const auto [index, c] = FirstSurrogate(obj);
        char code[16];
        std::snprintf(code, sizeof(code), "U+%04X", static_cast<unsigned>(c));
        throw py::value_error(std::string("the text holds a lone surrogate, ") + code +
                              ", at index " + std::to_string(index) +
                              ": it has no UTF-8 form");
      }
      encoded = py::reinterpret_steal<py::object>(bytes);
      data = PyBytes_AS_STRING(bytes);
      size = static_cast<size_t>(PyBytes_GET_SIZE(bytes));
    }
    owner = py::reinterpret_borrow<py::object>(src);
    is_str = true;
    return true;
  }
  if (PyBytes_Check(obj)) {
    owner = py::reinterpret_borrow<py::object>(src);
    data = PyBytes_AS_STRING(obj);
    size = static_cast<size_t>(PyBytes_GET_SIZE(obj));
    return true;
  }
  if (PyByteArray_Check(obj)) {
    copy.assign(PyByteArray_AS_STRING(obj), static_cast<size_t>(PyByteArray_GET_SIZE(obj)));
    return true;
  }
  return false;
}

bool Sentence::LoadItem(py::handle src, TextErrors errors) {
  PyObject* obj = src.ptr();
  if (PyUnicode_Check(obj) && !PyUnicode_IS_ASCII(obj)) {
    // Encoded once; only a str that has no UTF-8 form is looked at again.
    PyObject* bytes = PyUnicode_AsUTF8String(obj);
    if (bytes != nullptr) {
      encoded = py::reinterpret_steal<py::object>(bytes);
      owner = py::reinterpret_borrow<py::object>(src);
      data = PyBytes_AS_STRING(bytes);
      size = static_cast<size_t>(PyBytes_GET_SIZE(bytes));
      is_str = true;
      return true;
    }
    PyErr_Clear();  // lone surrogates
    if (errors == TextErrors::kReplace) {
      return Load(WithoutSurrogates(obj));
    }
    // Kept as the bytes that would stand for the surrogates, which the core
    // refuses as it refuses any text that is not UTF-8.
    encoded = py::reinterpret_steal<py::object>(PyUnicode_AsEncodedString(obj, "utf-8", "surrogatepass"));
    if (!encoded) {
      throw py::error_already_set();
    }
    owner = encoded;
    data = PyBytes_AS_STRING(encoded.ptr());
    size = static_cast<size_t>(PyBytes_GET_SIZE(encoded.ptr()));
    return true;
  }
  if (!Load(src)) {
    if (!IsMissing(src)) {
      return false;
    }
    owner = py::none();  // an empty text
    data = "";
    size = 0;
    return true;
  }
  if (errors == TextErrors::kReplace && !is_str && !jieba::IsValidUtf8(View())) {
    const py::object text = py::reinterpret_steal<py::object>(
        PyUnicode_DecodeUTF8(View().data(), static_cast<Py_ssize_t>(View().size()), "replace"));
    if (!text) {
      throw py::error_already_set();
    }
    *this = Sentence();
    Load(text);
  }
  return true;
}

std::vector<std::string_view> Views(const std::vector<Sentence>& texts) {
  std::vector<std::string_view> views;
  views.reserve(texts.size());
  for (const Sentence& text : texts) {
    views.push_back(text.View());
  }
  return views;
}

namespace {

py::iterator IterateTexts(py::handle texts, const char* method) {
  if (py::isinstance<py::str>(texts) || py::isinstance<py::bytes>(texts) ||
      py::isinstance<py::bytearray>(texts)) {
    throw py::type_error(std::string(method) +
                         ": texts must be an iterable of texts (a list, a generator, a file), "
                         "not one text");
  }
  return py::iter(texts);
}

// Appends the next items of `iterator` to `batch` until it holds `max_bytes`
// of text or `max_texts` texts or the iterator ends; false when nothing was
// left.
bool ReadTexts(py::iterator& iterator, const char* method, TextErrors errors, size_t& position,
               std::vector<Sentence>& batch, size_t max_bytes, size_t max_texts) {
  size_t bytes = 0;
  size_t read = 0;
  while (bytes < max_bytes && read < max_texts && iterator != py::iterator::sentinel()) {
    const py::handle item = *iterator;
    Sentence& text = batch.emplace_back();
    if (!text.LoadItem(item, errors)) {
      throw py::type_error(std::string(method) + ": item " + std::to_string(position) + " is " +
                           Py_TYPE(item.ptr())->tp_name +
                           ", not str, bytes or bytearray (or None for no text)");
    }
    bytes += text.View().size();
    ++read;
    ++position;
    ++iterator;
  }
  return read > 0;
}

}  // namespace

std::vector<Sentence> LoadTexts(py::handle texts, const char* method, TextErrors errors) {
  py::iterator iterator = IterateTexts(texts, method);
  std::vector<Sentence> loaded;
  const Py_ssize_t size = PyObject_LengthHint(texts.ptr(), 0);
  if (size > 0) {
    loaded.reserve(static_cast<size_t>(size));
  } else if (size < 0) {
    PyErr_Clear();
  }
  size_t position = 0;
  ReadTexts(iterator, method, errors, position, loaded, SIZE_MAX, SIZE_MAX);
  return loaded;
}

IterableSource::IterableSource(py::handle texts, const char* method, TextErrors errors)
    : iterator_(IterateTexts(texts, method)), method_(method), errors_(errors) {}

IterableSource::~IterableSource() = default;

bool IterableSource::Next(size_t max_bytes, size_t max_texts, std::vector<std::string_view>& texts) {
  py::gil_scoped_acquire locked;
  if (PyErr_CheckSignals() != 0) {
    throw py::error_already_set();
  }
  current_ ^= 1;
  std::vector<Sentence>& batch = batches_[current_];
  batch.clear();
  const bool more = ReadTexts(iterator_, method_, errors_, position_, batch, max_bytes, max_texts);
  texts = Views(batch);
  return more;
}

IdIterable::IdIterable(py::handle ids, const char* method) : method_(method) {
  PyObject* iterator = PyUnicode_Check(ids.ptr()) || PyBytes_Check(ids.ptr())
                           ? nullptr
                           : PyObject_GetIter(ids.ptr());
  if (iterator == nullptr) {
    PyErr_Clear();
    throw py::type_error(std::string(method) +
                         ": ids must be an iterable of ints (a list, a range, a NumPy array), "
                         "not " + Py_TYPE(ids.ptr())->tp_name);
  }
  iterator_ = py::reinterpret_steal<py::object>(iterator);
}

size_t IdIterable::Next(size_t count, std::vector<int64_t>& out) {
  py::gil_scoped_acquire locked;
  size_t got = 0;
  for (; got < count; ++got, ++position_) {
    const py::object item = py::reinterpret_steal<py::object>(PyIter_Next(iterator_.ptr()));
    if (!item) {
      if (PyErr_Occurred() != nullptr) {
        throw py::error_already_set();
      }
      break;
    }
    const std::string where = std::string(method_) + ": id " + std::to_string(position_) + " ";
    PyObject* number = PyBool_Check(item.ptr()) ? nullptr : PyNumber_Index(item.ptr());
    if (number == nullptr) {
      PyErr_Clear();
      throw py::type_error(where + "is " + Py_TYPE(item.ptr())->tp_name + ", not an int");
    }
    int overflow = 0;
    const long long id = PyLong_AsLongLongAndOverflow(number, &overflow);
    Py_DECREF(number);
    if (overflow != 0) {
      throw py::value_error(where + "is " + py::repr(item).cast<std::string>() +
                            ", outside the int64 range");
    }
    out.push_back(id);
  }
  return got;
}

WordInterner::WordInterner(size_t expected) {
  size_t slots = 16;
  while (slots < 2 * expected && slots < (size_t{1} << 12)) {
    slots <<= 1;
  }
  slots_.resize(slots);
}

PyObject* WordInterner::Get(const Sentence& sentence, const jieba::WordSpan& span, uint64_t hash) {
  const char* bytes = sentence.View().data() + span.byte_offset;
  size_t i = static_cast<size_t>(hash) & (slots_.size() - 1);
  while (slots_[i].word != nullptr) {
    const Slot& slot = slots_[i];
    if (slot.hash == hash && slot.length == span.byte_length &&
        std::memcmp(slot.bytes, bytes, span.byte_length) == 0) {
      Py_INCREF(slot.word);
      return slot.word;
    }
    i = (i + 1) & (slots_.size() - 1);
  }
  PyObject* word;
  if (sentence.is_str) {
    const auto start = static_cast<Py_ssize_t>(span.rune_offset);
    word = PyUnicode_Substring(sentence.owner.ptr(), start, start + span.rune_length);
  } else {
    word = PyUnicode_DecodeUTF8(bytes, static_cast<Py_ssize_t>(span.byte_length), "strict");
  }
  if (word == nullptr) {
    throw py::error_already_set();
  }
  const Slot made{hash, word, bytes, span.byte_length};
  if ((used_ + 1) * 2 <= slots_.size()) {
    slots_[i] = made;
    ++used_;
  } else if (slots_.size() < kMaxSlots) {
    std::vector<Slot> old(slots_.size() * 2);
    old.swap(slots_);
    used_ = 0;
    for (const Slot& slot : old) {
      if (slot.word != nullptr) {
        Insert(slot);
      }
    }
    Insert(made);
  }
  return word;
}

void WordInterner::Insert(const Slot& slot) {
  size_t i = static_cast<size_t>(slot.hash) & (slots_.size() - 1);
  while (slots_[i].word != nullptr) {
    i = (i + 1) & (slots_.size() - 1);
  }
  slots_[i] = slot;
  ++used_;
}

PyObject* WordInterner::List(const Sentence& sentence, const jieba::WordSpan* spans,
                             const uint64_t* hashes, size_t count) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(count));
  if (list == nullptr) {
    throw py::error_already_set();
  }
  for (size_t k = 0; k < count; ++k) {
    PyObject* word;
    try {
      word = Get(sentence, spans[k], hashes[k]);
    } catch (...) {
      Py_DECREF(list);
      throw;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(k), word);
  }
  return list;
}

NumberCache::~NumberCache() {
  for (const std::vector<Slot>* slots : {&ints_, &floats_}) {
    for (const Slot& slot : *slots) {
      Py_XDECREF(slot.object);
    }
  }
}

template <typename Make>
PyObject* NumberCache::Get(std::vector<Slot>& slots, uint64_t bits, Make&& make) {
  Slot& slot = slots[(bits * 0x9E3779B97F4A7C15ull) >> (64 - kBits)];
  if (slot.object == nullptr || slot.bits != bits) {
    PyObject* made = make();
    if (made == nullptr) {
      throw py::error_already_set();
    }
    Py_XDECREF(slot.object);
    slot = Slot{bits, made};
  }
  Py_INCREF(slot.object);
  return slot.object;
}

PyObject* NumberCache::Int(uint32_t id) {
  return Get(ints_, id, [id] { return PyLong_FromUnsignedLong(id); });
}

PyObject* NumberCache::Float(double value) {
  uint64_t bits;
  std::memcpy(&bits, &value, sizeof(bits));
  return Get(floats_, bits, [value] { return PyFloat_FromDouble(value); });
}

namespace {

}  // namespace

void RaiseOSError(const std::string& path_bytes, int error_number) {
  const py::object path = py::reinterpret_steal<py::object>(PyUnicode_DecodeFSDefaultAndSize(
      path_bytes.data(), static_cast<Py_ssize_t>(path_bytes.size())));
  if (!path) {
    return;  // the decoding error is raised instead
  }
  const int number = error_number != 0 ? error_number : EIO;
  PyObject* exc = PyObject_CallFunction(PyExc_OSError, "isO", number, std::strerror(number),
                                        path.ptr());
  if (exc != nullptr) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc);
    Py_DECREF(exc);
  }
}

namespace {

void RaiseValueError(const char* what) {
  PyObject* message =
      PyUnicode_DecodeUTF8(what, static_cast<Py_ssize_t>(std::strlen(what)), "surrogateescape");
  if (message != nullptr) {
    PyErr_SetObject(PyExc_ValueError, message);
    Py_DECREF(message);
  }
}

}  // namespace

void RegisterErrors() {
  py::register_local_exception_translator([](std::exception_ptr thrown) {
    try {
      if (thrown) {
        std::rethrow_exception(thrown);
      }
    } catch (const limonp::FileError& e) {
      RaiseOSError(e.path(), e.error_number());
    } catch (const limonp::DataError& e) {
      RaiseValueError(e.what());
    } catch (const std::length_error& e) {
      RaiseValueError(e.what());
    }
  });
}

}  // namespace kelp::typing::text::pybind

namespace pybind11::detail {

bool type_caster<kelp::typing::text::pybind::Threads>::load(handle src, bool) {
  if (src.is_none()) {
    value.count = 0;
    return true;
  }
  PyObject* obj = src.ptr();
  long long count = 0;
  if (PyLong_Check(obj) && !PyBool_Check(obj)) {
    int overflow = 0;
    count = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow > 0) {
      count = LLONG_MAX;
    }
  }
  if (count < 1) {
    throw value_error("threads must be a whole number of 1 or more, or None for every core, not " +
                      repr(src).cast<std::string>());
  }
  value.count = static_cast<size_t>(count);
  return true;
}

bool type_caster<kelp::typing::text::pybind::Path>::load(handle src, bool) {
  object path = reinterpret_steal<object>(PyOS_FSPath(src.ptr()));
  if (path && PyUnicode_Check(path.ptr())) {
    path = reinterpret_steal<object>(PyUnicode_EncodeFSDefault(path.ptr()));
  }
  if (!path || !PyBytes_Check(path.ptr())) {
    PyErr_Clear();
    return false;
  }
  value.bytes.assign(PyBytes_AS_STRING(path.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(path.ptr())));
  return true;
}

bool type_caster<kelp::typing::text::jieba::DictEdits::Entry>::load(handle src, bool convert) {
  make_caster<std::tuple<std::string, bool, double, std::string>> tuple;
  if (!tuple.load(src, convert)) {
    return false;
  }
  auto [word, removed, weight, tag] =
      cast_op<std::tuple<std::string, bool, double, std::string>&&>(std::move(tuple));
  value = kelp::typing::text::jieba::DictEdits::Entry{std::move(word), removed, weight,
                                                        std::move(tag)};
  return true;
}

handle type_caster<kelp::typing::text::jieba::DictEdits::Entry>::cast(
    const kelp::typing::text::jieba::DictEdits::Entry& entry, return_value_policy, handle) {
  return make_tuple(bytes(entry.word), entry.removed, entry.weight, bytes(entry.tag)).release();
}

}  // namespace pybind11::detail
