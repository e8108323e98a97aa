#include "prelude.hpp"

#include "cpython_private.hpp"

#include "tensor_calls.hpp"

namespace zyl::tensors {

namespace {

// Held for the life of the process.  `ready` stays false when this torch
// does not look as expected; every call is then made as written.
struct Known {
    bool ready = false;
    PyTypeObject *tensor = nullptr;     // torch.Tensor
    PyTypeObject *parameter = nullptr;  // torch.nn.Parameter
    binaryfunc subscript = nullptr;     // torch's own tensor indexing
    PyMethodDef *view = nullptr;        // torch's own Tensor.view
    PyObject *ndim = nullptr;           // torch's own descriptors of these
    PyObject *is_nested = nullptr;
    PyObject *mode_enabled = nullptr;   // torch._C._is_torch_function_mode_enabled
    PyObject *is_tracing = nullptr;     // torch._C._is_tracing
    PyObject *ndim_name = nullptr;
    PyObject *is_nested_name = nullptr;
    PyObject *whole_row = nullptr;      // slice(None): the `:` of [in_index, :]
};

Known &known() {
    static Known k;
    return k;
}

PyObject *held(py::handle value) { return value.inc_ref().ptr(); }

bool plain_type(PyTypeObject *type) {
    const Known &k = known();
    return k.ready && (type == k.tensor || type == k.parameter);
}

PyObject *number(Py_ssize_t value) {
    PyObject *result = PyLong_FromSsize_t(value);
    if (result == nullptr) throw py::error_already_set();
    return result;
}

// A plain tensor of at least two dimensions that is not nested, while calls
// reach the operators directly: there [i, :] and [i] select the same row.
// (Its dimensions are read only then: a mode would see those reads too.)
bool selects_row_by_int(PyObject *weights) {
    const Known &k = known();
    PyTypeObject *type = Py_TYPE(weights);
    if (!plain_type(type) || type->tp_as_mapping == nullptr ||
        type->tp_as_mapping->mp_subscript != k.subscript ||
        cpython::type_lookup(type, k.ndim_name) != k.ndim ||
        cpython::type_lookup(type, k.is_nested_name) != k.is_nested || !dispatch_is_direct()) {
        return false;
    }
    py::object ndim = owned(PyObject_GetAttr(weights, k.ndim_name));
    if (!PyLong_CheckExact(ndim.ptr()) || PyLong_AsLong(ndim.ptr()) < 2) return false;
    py::object nested = owned(PyObject_GetAttr(weights, k.is_nested_name));
    return nested.ptr() == Py_False;
}

}  // namespace

void capture(py::handle torch) {
    Known &k = known();
    if (k.ndim_name != nullptr) return;
    k.ndim_name = held(py::str("ndim"));
    k.is_nested_name = held(py::str("is_nested"));
    k.whole_row = PySlice_New(nullptr, nullptr, nullptr);
    if (k.whole_row == nullptr) throw py::error_already_set();
    py::object c = torch.attr("_C");
    py::object base = getattr(c, "TensorBase", py::none());
    py::object tensor = getattr(torch, "Tensor", py::none());
    py::object parameter = getattr(torch.attr("nn"), "Parameter", py::none());
    py::object mode_enabled = getattr(c, "_is_torch_function_mode_enabled", py::none());
    py::object is_tracing = getattr(c, "_is_tracing", py::none());
    if (!PyType_Check(base.ptr()) || !PyType_Check(tensor.ptr()) ||
        !PyType_Check(parameter.ptr()) || mode_enabled.is_none() || is_tracing.is_none()) {
        return;
    }
    auto *base_type = reinterpret_cast<PyTypeObject *>(base.ptr());
    PyObject *view = cpython::type_lookup(base_type, py::str("view").ptr());
    if (base_type->tp_as_mapping == nullptr || base_type->tp_as_mapping->mp_subscript == nullptr ||
        view == nullptr || !Py_IS_TYPE(view, &PyMethodDescr_Type)) {
        return;
    }
    k.ndim = cpython::type_lookup(base_type, k.ndim_name);
    k.is_nested = cpython::type_lookup(base_type, k.is_nested_name);
    if (k.ndim == nullptr || k.is_nested == nullptr) return;
    Py_INCREF(k.ndim);
    Py_INCREF(k.is_nested);
    Py_INCREF(view);
    k.view = cpython::descriptor_method(view);
    k.subscript = base_type->tp_as_mapping->mp_subscript;
    k.tensor = reinterpret_cast<PyTypeObject *>(held(tensor));
    k.parameter = reinterpret_cast<PyTypeObject *>(held(parameter));
    k.mode_enabled = held(mode_enabled);
    k.is_tracing = held(is_tracing);
    k.ready = true;
}

bool dispatch_is_direct() {
    const Known &k = known();
    if (!k.ready) return false;
    py::object mode = owned(PyObject_CallNoArgs(k.mode_enabled));
    if (mode.ptr() != Py_False) return false;
    return owned(PyObject_CallNoArgs(k.is_tracing)).ptr() == Py_False;
}

py::object row(py::handle weights, Py_ssize_t in_index) {
    const Known &k = known();
    auto index = py::reinterpret_steal<py::object>(number(in_index));
    if (selects_row_by_int(weights.ptr())) {
        return owned(PyObject_GetItem(weights.ptr(), index.ptr()));
    }
    // The plain route runs without capture(): then the slice is made here.
    py::object whole = k.whole_row != nullptr ? py::reinterpret_borrow<py::object>(k.whole_row)
                                              : owned(PySlice_New(nullptr, nullptr, nullptr));
    py::object key = owned(PyTuple_Pack(2, index.ptr(), whole.ptr()));
    return owned(PyObject_GetItem(weights.ptr(), key.ptr()));
}

py::object view(py::handle tensor, py::handle bound, py::handle shape) {
    const Known &k = known();
    PyObject *b = bound.ptr();
    PyObject *s = shape.ptr();
    constexpr Py_ssize_t most = 8;
    if (plain_type(Py_TYPE(tensor.ptr())) && PyCFunction_Check(b) &&
        PyCFunction_GET_SELF(b) == tensor.ptr() &&
        cpython::builtin_method(b) == k.view && PyList_CheckExact(s)) {
        const Py_ssize_t count = PyList_GET_SIZE(s);
        if (count >= 1 && count <= most) {
            PyObject *sizes[most];
            bool all_ints = true;
            for (Py_ssize_t i = 0; i < count && all_ints; ++i) {
                sizes[i] = PyList_GET_ITEM(s, i);
                all_ints = PyLong_CheckExact(sizes[i]);
            }
            if (all_ints && dispatch_is_direct()) {
                return owned(PyObject_Vectorcall(b, sizes, count, nullptr));
            }
        }
    }
    return owned(PyObject_CallOneArg(b, s));
}

}  // namespace zyl::tensors
