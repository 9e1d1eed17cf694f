// Registration of the Python classes; called once by the module entry.
#pragma once

#include <pybind11/pybind11.h>

namespace kelp::typing::text::pybind {

void BindBM25(pybind11::module_& m);
void BindTokenizder(pybind11::module_& m);
void BindEncoder(pybind11::module_& m);
// Wraps the public methods of the classes so that wrong arguments raise
// TypeError in the caller's words; called once the classes are registered.
void BindArgumentErrors(pybind11::module_& m);

}  // namespace kelp::typing::text::pybind
