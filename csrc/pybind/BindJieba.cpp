#include "pybind/Bind.hpp"

namespace kelp::typing::text::pybind {

void BindTokenizder(pybind11::module_& /*m*/) {}

}  // namespace kelp::typing::text::pybind
