#include "prelude.hpp"

#include "cpython_private.hpp"

#include "attribute_lookup.hpp"

#include <cstdint>

namespace zyl::lookup {

namespace {

// Held for the life of the process: an address compared against them can
// never belong to a freed object.
struct Known {
    getattrofunc module_getattro = nullptr;  // nn.Module's slot: the __getattr__ hook
    PyObject *object_getattribute = nullptr;  // object.__getattribute__
    PyObject *module_dict = nullptr;          // the __dict__ descriptor of nn.Module instances
    PyObject *getattr_name = nullptr;
    PyObject *getattribute_name = nullptr;
    PyObject *dict_name = nullptr;
    PyObject *dict_names[3] = {nullptr, nullptr, nullptr};  // _parameters, _buffers, _modules
};

Known &known() {
    static Known k;
    return k;
}

PyObject *lookup_new(PyTypeObject *type, PyObject *name) {
    PyObject *found = cpython::type_lookup(type, name);
    Py_XINCREF(found);
    return found;
}

// The interpreter's call of a class's __getattr__ (as its slot makes it):
// bound to the instance when it is a descriptor, then called with the name.
PyObject *call_hook(PyObject *obj, PyObject *hook, PyObject *name) {
    if (PyFunction_Check(hook)) {
        PyObject *args[2] = {obj, name};
        return PyObject_Vectorcall(hook, args, 2, nullptr);
    }
    descrgetfunc get = Py_TYPE(hook)->tp_descr_get;
    if (get == nullptr) return PyObject_CallOneArg(hook, name);
    PyObject *bound = get(hook, obj, reinterpret_cast<PyObject *>(Py_TYPE(obj)));
    if (bound == nullptr) return nullptr;
    PyObject *result = PyObject_CallOneArg(bound, name);
    Py_DECREF(bound);
    return result;
}

// nn.Module.__getattr__: the name in _parameters, else _buffers, else
// _modules, each when the instance dict holds that dict.  Returns a new
// reference, or nullptr when none holds the name or when a dict is not a
// plain dict (then only the function itself can tell); never sets an error
// without returning `failed`.
PyObject *module_dicts_lookup(PyObject *dict, PyObject *name, bool &failed) {
    const Known &k = known();
    failed = false;
    for (PyObject *key : k.dict_names) {
        PyObject *entries = PyDict_GetItemWithError(dict, key);
        if (entries == nullptr) {
            if (PyErr_Occurred()) {
                failed = true;
                return nullptr;
            }
            continue;
        }
        if (!PyDict_CheckExact(entries)) return nullptr;
        PyObject *value = PyDict_GetItemWithError(entries, name);
        if (value != nullptr) {
            Py_INCREF(value);
            return value;
        }
        if (PyErr_Occurred()) {
            failed = true;
            return nullptr;
        }
    }
    return nullptr;
}

}  // namespace

void capture(py::handle module_class) {
    Known &k = known();
    if (k.getattr_name != nullptr) return;
    k.getattr_name = interned("__getattr__").release().ptr();
    k.getattribute_name = interned("__getattribute__").release().ptr();
    k.dict_name = interned("__dict__").release().ptr();
    k.dict_names[0] = interned("_parameters").release().ptr();
    k.dict_names[1] = interned("_buffers").release().ptr();
    k.dict_names[2] = interned("_modules").release().ptr();
    k.object_getattribute = lookup_new(&PyBaseObject_Type, k.getattribute_name);
    if (!PyType_Check(module_class.ptr())) return;
    auto *type = reinterpret_cast<PyTypeObject *>(module_class.ptr());
    // Expected: the interpreter's slot for a class with a __getattr__ hook.
    // Whose hook it is, torch's own or a patch put there before this import,
    // is decided for each class when it is judged.
    if (type->tp_getattro == PyObject_GenericGetAttr) return;
    k.module_dict = lookup_new(type, k.dict_name);
    k.module_getattro = type->tp_getattro;
}

namespace {

// What a class says about attribute reads on its instances.  Remembered per
// class while neither the class nor a base changes: CPython then keeps the
// class's version tag, and gives it a new one (never reused) on any change.
struct ClassVerdict {
    PyTypeObject *type = nullptr;
    unsigned int version = 0;
    bool plain = false;        // reads start with object.__getattribute__
    bool hooked = false;       // ...and fall back on a __getattr__ (the slot of nn.Module)
    bool module_hook = false;  // ...which is the one torch defines, with nn.Module's __dict__
};

ClassVerdict judge(PyTypeObject *type) {
    const Known &k = known();
    ClassVerdict v;
    v.type = type;
    if (type->tp_getattro == PyObject_GenericGetAttr) {
        v.plain = true;
    } else if (k.module_getattro != nullptr && type->tp_getattro == k.module_getattro &&
               cpython::type_lookup(type, k.getattribute_name) == k.object_getattribute) {
        PyObject *hook = cpython::type_lookup(type, k.getattr_name);
        v.plain = true;
        v.hooked = hook != nullptr;
        v.module_hook = k.module_dict != nullptr &&
                        cpython::type_lookup(type, k.dict_name) == k.module_dict &&
                        is_torch_own_function(hook, "torch.nn.modules.module", "Module.__getattr__");
    }
    v.version = cpython::type_version(type);
    return v;
}

ClassVerdict verdict(PyTypeObject *type) {
    static ClassVerdict cache[16];
    ClassVerdict &slot = cache[(reinterpret_cast<std::uintptr_t>(type) >> 4) & 15];
    if (slot.type == type && slot.version != 0 && slot.version == cpython::type_version(type)) {
        return slot;
    }
    ClassVerdict v = judge(type);
    if (v.version != 0) slot = v;
    return v;
}

}  // namespace

bool reads_plainly(PyTypeObject *type) { return verdict(type).plain; }

PyObject *read(PyObject *obj, PyObject *name) {
    const Known &k = known();
    PyTypeObject *type = Py_TYPE(obj);
    if (k.module_getattro == nullptr || type->tp_getattro != k.module_getattro ||
        !PyUnicode_CheckExact(name)) {
        return PyObject_GetAttr(obj, name);
    }
    const ClassVerdict v = verdict(type);
    if (!v.hooked || cpython::type_lookup(type, name) != nullptr) return PyObject_GetAttr(obj, name);
    // No class attribute: the instance dict, then the hook.
    PyObject *dict = PyObject_GenericGetDict(obj, nullptr);
    if (dict == nullptr) {
        PyErr_Clear();
        return PyObject_GetAttr(obj, name);
    }
    PyObject *value = PyDict_GetItemWithError(dict, name);
    if (value != nullptr || PyErr_Occurred()) {
        Py_XINCREF(value);
        Py_DECREF(dict);
        return value;
    }
    if (v.module_hook && PyDict_CheckExact(dict)) {
        bool failed = false;
        value = module_dicts_lookup(dict, name, failed);
        if (value != nullptr || failed) {
            Py_DECREF(dict);
            return value;
        }
    }
    Py_DECREF(dict);
    // Not found, or not for us to tell: the hook itself answers (and raises
    // its own AttributeError).
    PyObject *hook = cpython::type_lookup(type, k.getattr_name);
    if (hook == nullptr) return PyObject_GetAttr(obj, name);
    Py_INCREF(hook);  // the class may change while it runs
    PyObject *result = call_hook(obj, hook, name);
    Py_DECREF(hook);
    return result;
}

py::object attr(py::handle obj, py::handle name) {
    PyObject *value = read(obj.ptr(), name.ptr());
    if (value == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(value);
}

py::object attr_if_present(py::handle obj, py::handle name) {
    PyObject *value = read(obj.ptr(), name.ptr());
    if (value != nullptr) return py::reinterpret_steal<py::object>(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    return py::object();
}

py::object instance_dict(py::handle obj) {
    PyObject *dict = PyObject_GenericGetDict(obj.ptr(), nullptr);
    if (dict != nullptr) return py::reinterpret_steal<py::object>(dict);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    return py::object();
}

}  // namespace zyl::lookup
