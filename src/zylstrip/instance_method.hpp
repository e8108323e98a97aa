// Instance methods with C++ bodies, for a class created at run time with the
// `type` builtin.  A built-in function is not a descriptor that binds `self`,
// so each one is wrapped as an instance method: looked up on an instance it
// becomes a bound method like any function defined in a class body.
#pragma once

#include "prelude.hpp"

#include <exception>

namespace zyl {

// A method body: `self`, the remaining positional values, and the keyword
// map (a null handle when the call passed none).
using MethodBody = py::object (*)(py::handle self, const py::tuple &args, py::handle kwargs);

namespace method_detail {

template <MethodBody Body>
PyObject *trampoline(PyObject *, PyObject *args, PyObject *kwargs) {
    try {
        const Py_ssize_t count = PyTuple_GET_SIZE(args);
        if (count == 0) {
            PyErr_SetString(PyExc_TypeError, "method called without an instance");
            return nullptr;
        }
        auto rest = py::reinterpret_steal<py::tuple>(PyTuple_GetSlice(args, 1, count));
        if (!rest) return nullptr;
        return Body(PyTuple_GET_ITEM(args, 0), rest, kwargs).release().ptr();
    } catch (py::error_already_set &e) {
        e.restore();
    } catch (py::builtin_exception &e) {
        e.set_error();
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
    }
    return nullptr;
}

}  // namespace method_detail

// `signature_doc` follows the interpreter's convention, "name($self, ...)\n--\n\n"
// and then the text, so inspect.signature() and help() show the real
// signature.  Each body is wrapped once per process.
template <MethodBody Body>
py::object instance_method(const char *name, const char *signature_doc, py::handle module_name) {
    static PyMethodDef definition{
        name,
        reinterpret_cast<PyCFunction>(
            reinterpret_cast<void (*)(void)>(&method_detail::trampoline<Body>)),
        METH_VARARGS | METH_KEYWORDS,
        signature_doc,
    };
    auto function = py::reinterpret_steal<py::object>(
        PyCFunction_NewEx(&definition, nullptr, module_name.ptr()));
    if (!function) throw py::error_already_set();
    auto method = py::reinterpret_steal<py::object>(PyInstanceMethod_New(function.ptr()));
    if (!method) throw py::error_already_set();
    return method;
}

}  // namespace zyl
