#include "pybind/Texts.hpp"

#include <stdexcept>

#include "tokenizer/limonp/OrderedChunks.hpp"

namespace kelp::typing::text::pybind {

jieba::CutMode ParseMode(std::string_view mode) {
  static constexpr std::pair<std::string_view, jieba::CutMode> kModes[] = {
      {"default", jieba::CutMode::kDefault},
      {"search", jieba::CutMode::kSearch},
      {"full", jieba::CutMode::kFull}};
  return ParseChoice("mode", mode, kModes);
}

size_t ThreadCount(const std::optional<int64_t>& threads) {
  if (!threads.has_value()) {
    return limonp::AvailableThreads();
  }
  if (*threads < 1) {
    throw py::value_error("threads must be 1 or more, or None for every core");
  }
  return static_cast<size_t>(*threads);
}

TextReader::TextReader(const py::handle& texts, const char* method) : method_(method) {
  if (py::isinstance<py::str>(texts) || py::isinstance<py::bytes>(texts) ||
      py::isinstance<py::bytearray>(texts)) {
    throw py::type_error(std::string(method) +
                         ": texts must be an iterable of texts (a list, a generator, a file), "
                         "not one text");
  }
  iterator_ = py::iter(texts);
}

bool TextReader::Read(std::vector<Sentence>& batch, size_t max_bytes, size_t max_texts) {
  size_t bytes = 0;
  size_t read = 0;
  while (bytes < max_bytes && read < max_texts && iterator_ != py::iterator::sentinel()) {
    const py::handle item = *iterator_;
    py::detail::make_caster<Sentence> caster;
    if (!caster.load(item, false)) {
      throw py::type_error(std::string(method_) + ": item " + std::to_string(position_) + " is " +
                           std::string(Py_TYPE(item.ptr())->tp_name) +
                           ", not str, bytes or bytearray" +
                           (PyUnicode_Check(item.ptr()) ? " (a str with no UTF-8 form)" : ""));
    }
    batch.push_back(std::move(py::detail::cast_op<Sentence&>(caster)));
    bytes += batch.back().View().size();
    ++read;
    ++position_;
    ++iterator_;
  }
  return read > 0;
}

std::vector<Sentence> LoadTexts(const py::handle& texts, const char* method) {
  TextReader reader(texts, method);
  std::vector<Sentence> loaded;
  if (PyObject_HasAttrString(texts.ptr(), "__len__")) {
    const Py_ssize_t size = PyObject_Size(texts.ptr());
    if (size > 0) {
      loaded.reserve(static_cast<size_t>(size));
    } else if (size < 0) {
      PyErr_Clear();
    }
  }
  reader.Read(loaded, SIZE_MAX, SIZE_MAX);
  return loaded;
}

std::vector<std::pair<size_t, size_t>> SplitIntoChunks(const std::vector<Sentence>& texts) {
  constexpr size_t kChunkBytes = 64 * 1024;
  constexpr size_t kChunkTexts = 1024;
  std::vector<std::pair<size_t, size_t>> chunks;
  size_t bytes = 0;
  for (size_t k = 0; k < texts.size(); ++k) {
    if (chunks.empty() || bytes >= kChunkBytes ||
        chunks.back().second - chunks.back().first >= kChunkTexts) {
      chunks.emplace_back(k, k);
      bytes = 0;
    }
    chunks.back().second = k + 1;
    bytes += texts[k].View().size();
  }
  return chunks;
}

uint64_t WordHash(const char* bytes, uint32_t length) noexcept {
  uint64_t hash = 14695981039346656037ull;
  for (uint32_t i = 0; i < length; ++i) {
    hash = (hash ^ static_cast<unsigned char>(bytes[i])) * 1099511628211ull;
  }
  return hash;
}

}  // namespace kelp::typing::text::pybind
