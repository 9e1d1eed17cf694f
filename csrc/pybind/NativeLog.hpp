// Where the log records of the native code go while a bound call runs:
// standard error as the core writes them (the default), nowhere, or
// Python's logging module (the logger "razoduviva").
//
// The destination is one process-wide setting, like the configuration of
// Python's logging itself. A call that may write records holds a
// NativeLogScope: with the default destination it installs nothing and costs
// one atomic load; otherwise it installs a sink on the calling thread (and,
// through Sink(), on the call's worker threads). Records bound for logging
// are collected while the call runs, the interpreter lock possibly
// released, and handed to the logger when the scope ends, with the lock
// held, in the order they were written.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>

#include "tokenizer/limonp/Logging.hpp"

namespace kelp::typing::text::pybind {

class NativeLogScope {
 public:
  // Created and destroyed with the interpreter lock held.
  NativeLogScope();
  ~NativeLogScope();

  NativeLogScope(const NativeLogScope&) = delete;
  NativeLogScope& operator=(const NativeLogScope&) = delete;

  // The sink for the call's other threads to install; null for standard error.
  limonp::LogSink* Sink() const noexcept;

 private:
  class Collector;
  class Discard;

  std::unique_ptr<Collector> collector_;
  limonp::LogSink* sink_ = nullptr;
  std::unique_ptr<limonp::ScopedLogSink> installed_;
};

// Registers _set_log_destination and _log_destination on the module.
void BindNativeLog(pybind11::module_& m);

}  // namespace kelp::typing::text::pybind
