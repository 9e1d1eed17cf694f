// Registration of the Python classes; called once by the module entry.
#pragma once

#include <pybind11/pybind11.h>

namespace kelp::typing::text::pybind {

void BindBM25(pybind11::module_& m);
void BindTokenizder(pybind11::module_& m);
void BindEncoder(pybind11::module_& m);

}  // namespace kelp::typing::text::pybind
