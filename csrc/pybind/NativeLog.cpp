#include "pybind/NativeLog.hpp"

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace kelp::typing::text::pybind {

namespace py = ::pybind11;

namespace {

enum Destination : int { kStderr = 0, kSilent = 1, kLogging = 2 };

constexpr const char* kNames[] = {"stderr", "silent", "logging"};

std::atomic<int> destination{kStderr};

// The logging level of a record level (DEBUG to FATAL).
int PythonLevel(size_t level) {
  constexpr int kLevels[] = {10, 20, 30, 40, 50};
  return level < 5 ? kLevels[level] : 50;
}

}  // namespace

class NativeLogScope::Discard : public limonp::LogSink {
 public:
  void Write(const Record&) noexcept override {}
};

class NativeLogScope::Collector : public limonp::LogSink {
 public:
  struct Copy {
    size_t level;
    std::string source;
    int line;
    std::string message;
  };

  void Write(const Record& record) noexcept override {
    try {
      std::lock_guard<std::mutex> lock(mutex_);
      records_.push_back(
          Copy{record.level, std::string(record.source), record.line, std::string(record.message)});
    } catch (...) {
      // Out of memory: the record is lost rather than the call.
    }
  }

  // Hands the records to the logger "razoduviva"; interpreter lock held.
  void Emit() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (records_.empty()) {
      return;
    }
    py::object logger = py::module_::import("logging").attr("getLogger")("razoduviva");
    for (const Copy& record : records_) {
      const int level = PythonLevel(record.level);
      if (!logger.attr("isEnabledFor")(level).cast<bool>()) {
        continue;
      }
      PyObject* message = PyUnicode_DecodeUTF8(
          record.message.data(), static_cast<Py_ssize_t>(record.message.size()), "replace");
      if (message == nullptr) {
        throw py::error_already_set();
      }
      py::object made = logger.attr("makeRecord")(
          "razoduviva", level, record.source.empty() ? "<native>" : record.source, record.line,
          py::reinterpret_steal<py::str>(message), py::none(), py::none());
      logger.attr("handle")(made);
    }
    records_.clear();
  }

 private:
  std::mutex mutex_;
  std::vector<Copy> records_;
};

NativeLogScope::NativeLogScope() {
  switch (destination.load(std::memory_order_relaxed)) {
    case kSilent: {
      static Discard discard;  // stateless
      sink_ = &discard;
      break;
    }
    case kLogging:
      collector_ = std::make_unique<Collector>();
      sink_ = collector_.get();
      break;
    default:
      return;
  }
  installed_ = std::make_unique<limonp::ScopedLogSink>(sink_);
}

NativeLogScope::~NativeLogScope() {
  installed_.reset();
  if (collector_ == nullptr) {
    return;
  }
  // The scope may end while an exception is on its way to Python: keep any
  // error already set, and let no failure of the logging call escape.
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  try {
    collector_->Emit();
  } catch (py::error_already_set& e) {
    e.discard_as_unraisable("razoduviva: handing native log records to logging");
  } catch (...) {
  }
  PyErr_Restore(type, value, traceback);
}

limonp::LogSink* NativeLogScope::Sink() const noexcept { return sink_; }

void BindNativeLog(py::module_& m) {
  m.def(
      "_set_log_destination",
      [](const std::string& name) {
        for (int k = 0; k < 3; ++k) {
          if (name == kNames[k]) {
            return std::string(kNames[destination.exchange(k)]);
          }
        }
        throw py::value_error("destination must be 'stderr', 'logging' or 'silent', not '" + name +
                              "'");
      },
      py::arg("destination"),
      "Sets where native log records go; returns the previous destination.");
  m.def(
      "_log_destination", [] { return std::string(kNames[destination.load()]); },
      "Where native log records go: 'stderr', 'logging' or 'silent'.");
}

}  // namespace kelp::typing::text::pybind
