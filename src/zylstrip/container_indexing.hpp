// Indexing of torch's own nn.ModuleList and nn.ParameterList, from C.
//
// The converted layer's forward pass indexes its layer_array (an
// nn.ModuleList) and its skip_weights (an nn.ParameterList) several times per
// call.  Their __getitem__ and __len__ are small Python methods (an index
// check, str(index), then a dict lookup or getattr), and running them costs
// more than the tensor work they select for.  For an instance of exactly one
// of these classes, with the methods that indexing runs still the ones torch
// defines and nothing on the instance shadowing them, the same dicts are read
// in the same way from C.  Everything else (another class, a non-int index,
// an index out of range, an entry that is missing) is indexed by the
// interpreter, so errors and unusual containers behave as before.
#pragma once

#include "prelude.hpp"

namespace zyl::containers {

// Remember torch.nn.ModuleList and torch.nn.ParameterList and their methods;
// called once at import.
void capture(py::handle nn);

// container[index]
py::object item(py::handle container, py::handle index);

// len(container)
Py_ssize_t length(py::handle container);

}  // namespace zyl::containers
