// Own-parameter reads for the budget line.
#include "prelude.hpp"

#include "container_ops.hpp"
#include "parameter_walk.hpp"

#include <algorithm>
#include <utility>

namespace zyl {

namespace {

// sys.modules[module_name].attribute, or null when not loaded or absent.
py::object loaded_attribute(const char *module_name, const char *attribute) {
    PyObject *module = PyDict_GetItemString(PyImport_GetModuleDict(), module_name);
    if (module == nullptr) return py::object();
    PyObject *value = PyObject_GetAttrString(module, attribute);
    if (value == nullptr) {
        PyErr_Clear();
        return py::object();
    }
    return py::reinterpret_steal<py::object>(value);
}

// named_parameters(recurse=False) leaves `prefix` and `remove_duplicate` to
// their defaults: those torch gives them, "" and True.  (The defaults tuple
// belongs to the function object and can be replaced on torch's own.)
bool default_arguments_are_torchs(py::handle named_parameters) {
    PyObject *defaults = PyFunction_GET_DEFAULTS(named_parameters.ptr());
    return defaults != nullptr && PyTuple_CheckExact(defaults) && PyTuple_GET_SIZE(defaults) == 3 &&
           detail::is_text(PyTuple_GET_ITEM(defaults, 0), "") &&
           PyTuple_GET_ITEM(defaults, 2) == Py_True;
}

}  // namespace

struct ParameterWalk::Impl {
    bool usable = false;
    py::object named_parameters, named_members, generic_getattribute;
    py::object parameter_type, tensor_type;
    py::str s_named_parameters = interned("named_parameters"),
            s_named_members = interned("_named_members"), s_parameters = interned("_parameters"),
            s_getattribute = interned("__getattribute__");
    std::vector<std::pair<PyTypeObject *, bool>> types;

    // type.name is exactly `expected` (a null `expected`: there is no such
    // class attribute at all).
    static bool class_attribute_is(PyTypeObject *type, py::handle name, py::handle expected) {
        PyObject *value = PyObject_GetAttr(reinterpret_cast<PyObject *>(type), name.ptr());
        if (value == nullptr) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_Clear();
                return false;
            }
            PyErr_Clear();
            return !expected;
        }
        const bool same = expected && value == expected.ptr();
        Py_DECREF(value);
        return same;
    }

    // Instances of `type` look their attributes up the ordinary way, find
    // the framework's functions on the class, hash by identity and have no
    // class attribute in place of the parameter table.
    bool plain_type(PyTypeObject *type) {
        for (const auto &[known, plain] : types) {
            if (known == type) return plain;
        }
        const bool plain =
            Py_TYPE(type) == &PyType_Type && type->tp_hash == PyBaseObject_Type.tp_hash &&
            class_attribute_is(type, s_getattribute, generic_getattribute) &&
            class_attribute_is(type, s_named_parameters, named_parameters) &&
            class_attribute_is(type, s_named_members, named_members) &&
            class_attribute_is(type, s_parameters, py::handle());
        types.emplace_back(type, plain);
        return plain;
    }

    static bool has_key(PyObject *dict, py::handle key) {
        PyObject *value = PyDict_GetItemWithError(dict, key.ptr());
        if (value == nullptr && PyErr_Occurred()) {
            PyErr_Clear();
            return true;  // unknown: treat as shadowed
        }
        return value != nullptr;
    }

    // The module's own parameter table, held; null when its lookups are not
    // the framework's plain ones.
    py::object table(py::handle m) {
        if (!plain_type(Py_TYPE(m.ptr()))) return {};
        PyObject *dict = PyObject_GenericGetDict(m.ptr(), nullptr);
        if (dict == nullptr) {
            PyErr_Clear();
            return {};
        }
        auto held = py::reinterpret_steal<py::object>(dict);
        if (!PyDict_CheckExact(dict) || has_key(dict, s_named_parameters) ||
            has_key(dict, s_named_members)) {
            return {};
        }
        PyObject *parameters = PyDict_GetItemWithError(dict, s_parameters.ptr());
        if (parameters == nullptr) PyErr_Clear();
        if (parameters == nullptr || !PyDict_CheckExact(parameters)) return {};
        return py::reinterpret_borrow<py::object>(parameters);
    }

    bool is_plain_tensor(PyObject *value) const {
        return Py_TYPE(value) == reinterpret_cast<PyTypeObject *>(parameter_type.ptr()) ||
               Py_TYPE(value) == reinterpret_cast<PyTypeObject *>(tensor_type.ptr());
    }
};

ParameterWalk::ParameterWalk() : impl_(std::make_unique<Impl>()) {
    Impl &i = *impl_;
    PyObject *torch_module = PyDict_GetItemString(PyImport_GetModuleDict(), "torch");
    if (torch_module == nullptr || !torch_shortcuts_allowed(torch_module)) return;
    py::object module_class = loaded_attribute("torch.nn.modules.module", "Module");
    i.parameter_type = loaded_attribute("torch.nn.parameter", "Parameter");
    i.tensor_type = loaded_attribute("torch", "Tensor");
    if (!module_class || !i.parameter_type || !i.tensor_type) return;
    auto attribute_of = [&](py::handle owner, const char *name) {
        PyObject *f = PyObject_GetAttrString(owner.ptr(), name);
        if (f == nullptr) {
            PyErr_Clear();
            return py::object();
        }
        return py::reinterpret_steal<py::object>(f);
    };
    i.named_parameters = attribute_of(module_class, "named_parameters");
    i.named_members = attribute_of(module_class, "_named_members");
    i.generic_getattribute =
        attribute_of(reinterpret_cast<PyObject *>(&PyBaseObject_Type), "__getattribute__");
    // What nn.Module holds now, patched before or after this module was
    // imported or not: the read stands in for torch's own functions only.
    constexpr const char *defined_in = "torch.nn.modules.module";
    i.usable = i.generic_getattribute &&
               is_torch_own_function(i.named_parameters, defined_in, "Module.named_parameters") &&
               default_arguments_are_torchs(i.named_parameters) &&
               is_torch_own_function(i.named_members, defined_in, "Module._named_members");
}

ParameterWalk::~ParameterWalk() = default;

bool ParameterWalk::own_parameters(py::handle module, std::vector<py::object> &out) {
    Impl &i = *impl_;
    out.clear();
    if (!i.usable) return false;
    const py::object table = i.table(module);
    if (!table) return false;
    // The framework's _named_members loop for one module: its parameters,
    // without None and without those yielded already (parameters and plain
    // tensors hash by identity; one module's own parameters are few, so the
    // memo is the list so far).  A key other than a plain text could run
    // code of its own where the framework builds the parameter's name.
    PyObject *key = nullptr;
    PyObject *value = nullptr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(table.ptr(), &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key) || (value != Py_None && !i.is_plain_tensor(value))) {
            out.clear();
            return false;
        }
        if (value == Py_None) continue;
        const bool seen = std::any_of(out.begin(), out.end(),
                                      [&](const py::object &p) { return p.ptr() == value; });
        if (!seen) out.push_back(py::reinterpret_borrow<py::object>(value));
    }
    return true;
}

void ParameterWalk::call_named_parameters(py::handle module,
                                          const std::function<void(py::handle)> &visit) {
    py::object method = owned(PyObject_GetAttr(module.ptr(), interned("named_parameters").ptr()));
    for (py::handle pair : method("recurse"_a = false)) {
        py::object parameter = unpack_pair(pair).second;
        visit(parameter);
    }
}

namespace {

// The method name, made once: a sum is started for every module entry.
const py::str &numel_name() {
    PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<py::str> storage;
    return storage.call_once_and_store_result([] { return interned("numel"); }).get_stored();
}

}  // namespace

void NumelSum::add_numel_of(py::handle parameter) {
    py::object count = owned(PyObject_CallMethodNoArgs(parameter.ptr(), numel_name().ptr()));
    if (fast_paths_enabled() && PyLong_CheckExact(count.ptr()) && PyLong_CheckExact(sum_.ptr())) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(count.ptr(), &overflow);
        if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
        long long next = 0;
        if (overflow == 0 && !__builtin_add_overflow(pending_, v, &next)) {
            pending_ = next;
            return;
        }
    }
    flush();
    sum_ = owned(PyNumber_Add(sum_.ptr(), count.ptr()));
}

void NumelSum::flush() {
    if (pending_ != 0) {
        sum_ = owned(PyNumber_Add(sum_.ptr(), py::int_(pending_).ptr()));
        pending_ = 0;
    }
}

py::object NumelSum::value() {
    flush();
    return sum_;
}

}  // namespace zyl
