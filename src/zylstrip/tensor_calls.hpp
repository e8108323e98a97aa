// Cheaper spellings of two tensor calls of the skip-weight cascade.
//
// `weights[in_index, :]` and `row.view(shape_list)` go through torch's
// argument parsing the slow way: the index tuple is parsed item by item, and
// a list passed to view() is first tried as a single int, which raises and
// discards a TypeError inside torch.  `weights[in_index]` and
// `row.view(*shape_list)` reach the same operators with the same operands:
// the full slice `:` of the second dimension is dropped by torch's indexing
// before any operator runs, and view() takes its sizes either way.  The
// results are the same tensors (same storage, sizes, strides and autograd
// history).
//
// What the shorter spelling could change is what a hook sees: a tensor
// subclass's __torch_function__, a __torch_function__ mode, a JIT trace (which
// records the slice) or a replaced Tensor method would be handed different
// arguments.  So it is used only for tensors of torch's own classes
// (torch.Tensor and nn.Parameter, which torch treats alike), with torch's
// own methods, while no mode is active and nothing is being traced; in every
// other case the calls are made as written.
#pragma once

#include "prelude.hpp"

namespace zyl::tensors {

// Remember torch's classes and methods; called once at import.
void capture(py::handle torch);

// Whether tensor calls reach torch's operators directly right now: no
// __torch_function__ mode is active and no JIT trace is being recorded.
// Asked right before each call that relies on it.
bool dispatch_is_direct();

// weights[in_index, :]
py::object row(py::handle weights, Py_ssize_t in_index);

// `bound(shape)`, where bound is `tensor.view` (already looked up, as the
// call expression does first) and shape the list for it.
py::object view(py::handle tensor, py::handle bound, py::handle shape);

}  // namespace zyl::tensors
