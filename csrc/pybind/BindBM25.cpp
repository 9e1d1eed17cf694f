#include "pybind/Bind.hpp"

namespace kelp::typing::text::pybind {

void BindBM25(pybind11::module_& /*m*/) {}

}  // namespace kelp::typing::text::pybind
