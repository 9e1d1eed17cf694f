// The module entry of razoduviva._core, the private compiled part of the
// razoduviva package. PYBIND11_MODULE checks the interpreter version and
// turns an exception thrown while registering into ImportError.
#include "pybind/Bind.hpp"
#include "pybind/Convert.hpp"
#include "pybind/NativeLog.hpp"

#ifndef RAZODUVIVA_VERSION
#error "RAZODUVIVA_VERSION must be defined (csrc/pybind/CMakeLists.txt passes it)"
#endif

PYBIND11_MODULE(_core, m) {
  m.doc() =
      "The compiled core of razoduviva: Chinese word segmentation (Jieba) and BM25\n"
      "sparse vectors (BM25). Private: import these from razoduviva.";
  m.attr("__version__") = RAZODUVIVA_VERSION;
  kelp::typing::text::pybind::RegisterErrors();
  kelp::typing::text::pybind::BindBM25(m);
  kelp::typing::text::pybind::BindTokenizder(m);
  kelp::typing::text::pybind::BindEncoder(m);
  kelp::typing::text::pybind::BindIndex(m);
  kelp::typing::text::pybind::BindNativeLog(m);
  kelp::typing::text::pybind::BindArgumentErrors(m);
}
