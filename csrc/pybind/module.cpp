// The module entry. PYBIND11_MODULE checks the interpreter version and turns
// an exception thrown while registering into ImportError.
#include "pybind/Bind.hpp"

namespace {

// The extension is installed as the package's __init__, so that the pure
// Python submodules and data files sit beside it. The import system marks it
// a package by giving it __path__; finders that do not recognise a compiled
// __init__ (editable installs) leave that out, and then it is set here.
void EnsurePackagePath(pybind11::module_& m) {
  if (pybind11::hasattr(m, "__path__") || !pybind11::hasattr(m, "__file__")) {
    return;
  }
  auto os_path = pybind11::module_::import("os.path");
  pybind11::list path;
  path.append(os_path.attr("dirname")(m.attr("__file__")));
  m.attr("__path__") = path;
}

}  // namespace

PYBIND11_MODULE(razoduviva, m) {
  EnsurePackagePath(m);
  kelp::typing::text::pybind::BindBM25(m);
  kelp::typing::text::pybind::BindTokenizder(m);
}
