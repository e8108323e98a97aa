// Attribute reads on torch modules, as `getattr` makes them, without the
// interpreter's detour.
//
// A module's parameters, buffers and submodules are not instance attributes:
// reading one first fails the ordinary lookup, which builds and formats an
// AttributeError only to drop it, and then runs nn.Module.__getattr__, a
// Python function that looks the name up in three dicts.  Both steps cost far
// more than the dict lookups themselves.  While a class reads attributes the
// plain way (object.__getattribute__) and its __getattr__ is the very
// function torch defines for nn.Module (not a wrapper over it, wherever and
// whenever it was put), these reads look in the same dicts, in the same
// order, from C; any other class, name or dict shape takes the interpreter's
// own path.
#pragma once

#include "prelude.hpp"

namespace zyl::lookup {

// Remember torch.nn.Module's attribute machinery; called once at import.
// Until then, and for a Module class that does not look as expected, every
// read takes the interpreter's path.
void capture(py::handle module_class);

// getattr(obj, name): a new reference, or nullptr with the Python error set.
PyObject *read(PyObject *obj, PyObject *name);

// getattr(obj, name); raises what getattr raises.
py::object attr(py::handle obj, py::handle name);

// hasattr(obj, name) and getattr(obj, name) in one: a null object when the
// read raises AttributeError; any other error propagates.
py::object attr_if_present(py::handle obj, py::handle name);

// The dict that object.__getattribute__ consults for `obj`, or a null
// object when the object has none.
py::object instance_dict(py::handle obj);

// Whether attribute reads on instances of `type` start with
// object.__getattribute__, with nothing but nn.Module's __getattr__ after it.
bool reads_plainly(PyTypeObject *type);

}  // namespace zyl::lookup
