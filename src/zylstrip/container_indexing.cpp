#include "prelude.hpp"

#include "cpython_private.hpp"

#include "attribute_lookup.hpp"
#include "container_indexing.hpp"

#include <string>
#include <string_view>

namespace zyl::containers {

namespace {

// One of the two classes, and what its indexing runs while its methods are
// the very functions torch defines:
// ModuleList:    __len__ is len(self._modules); __getitem__(i) is
//                self._modules[self._get_abs_string_index(i)].
// ParameterList: __len__ is self._size;         __getitem__(i) is
//                getattr(self, str(self._get_abs_string_index(i))).
// _get_abs_string_index(i) checks -len(self) <= i < len(self), adds
// len(self) to a negative i and returns str(i).
struct ListClass {
    PyTypeObject *type = nullptr;
    std::string_view name;  // as torch's module names it
    PyObject *size_name = nullptr;  // _modules or _size
    bool entries_by_attribute = false;
    // The verdict on the class, kept while its version tag stays the same.
    unsigned int version = 0;
    bool torchs_own = false;
};

// Held for the life of the process.
struct Known {
    ListClass module_list;
    ListClass parameter_list;
    PyObject *getitem_name = nullptr;
    PyObject *len_name = nullptr;
    PyObject *abs_index_name = nullptr;
};

Known &known() {
    static Known k;
    return k;
}

void capture_class(ListClass &c, py::handle cls, std::string_view name, const char *size_name,
                   bool by_attribute) {
    if (!PyType_Check(cls.ptr())) return;
    c.name = name;
    c.size_name = interned(size_name).release().ptr();
    c.entries_by_attribute = by_attribute;
    Py_INCREF(cls.ptr());
    c.type = reinterpret_cast<PyTypeObject *>(cls.ptr());
}

// Whether the class's indexing runs the very functions torch defines for it
// and its attributes are read plainly.
bool judge(const ListClass &c) {
    const Known &k = known();
    constexpr const char *defined_in = "torch.nn.modules.container";
    auto own = [&](PyObject *method) {
        const std::string qualname = std::string(c.name) + "." + PyUnicode_AsUTF8(method);
        return is_torch_own_function(cpython::type_lookup(c.type, method), defined_in, qualname);
    };
    return own(k.getitem_name) && own(k.len_name) && own(k.abs_index_name) &&
           lookup::reads_plainly(c.type);
}

// The class of `obj` when it is exactly one of the two and its indexing
// methods are torch's own (judged again whenever the class changes).
const ListClass *framework_class(PyObject *obj) {
    Known &k = known();
    PyTypeObject *type = Py_TYPE(obj);
    ListClass *c = nullptr;
    if (type == k.module_list.type) {
        c = &k.module_list;
    } else if (type == k.parameter_list.type) {
        c = &k.parameter_list;
    } else {
        return nullptr;
    }
    const unsigned int version = cpython::type_version(type);
    if (version == 0 || version != c->version) {
        c->torchs_own = judge(*c);
        // Read after the lookups, which give the class a tag when it has none.
        c->version = cpython::type_version(type);
    }
    return c->torchs_own ? c : nullptr;
}

// The instance dict, when it is a plain dict.
py::object plain_dict(py::handle obj) {
    py::object dict = lookup::instance_dict(obj);
    if (dict && !PyDict_CheckExact(dict.ptr())) return py::object();
    return dict;
}

// self._modules or self._size, read as an instance attribute: borrowed, or
// nullptr when a class attribute of that name would take part.
PyObject *size_source(PyObject *obj, const ListClass &c, PyObject *dict) {
    if (cpython::type_lookup(Py_TYPE(obj), c.size_name) != nullptr) return nullptr;
    PyObject *value = PyDict_GetItemWithError(dict, c.size_name);
    if (value == nullptr && PyErr_Occurred()) throw py::error_already_set();
    return value;
}

// len(obj) as __len__ computes it, or -1 when only the call can tell.
Py_ssize_t framework_size(PyObject *obj, const ListClass &c, PyObject *dict) {
    PyObject *source = size_source(obj, c, dict);
    if (source == nullptr) return -1;
    if (!c.entries_by_attribute) {
        return PyDict_CheckExact(source) ? PyDict_GET_SIZE(source) : -1;
    }
    if (!PyLong_CheckExact(source)) return -1;
    const Py_ssize_t size = PyLong_AsSsize_t(source);
    if (size == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return -1;
    }
    return size;  // a negative one is left to len() and its ValueError
}

// str(i) for an entry's index.  The first few are made once: an index text
// is only ever a dict key or an attribute name, compared by its value.
py::object index_text(Py_ssize_t i) {
    constexpr Py_ssize_t kept = 64;
    static PyObject *texts[kept] = {};
    if (i < kept && texts[i] != nullptr) return py::reinterpret_borrow<py::object>(texts[i]);
    PyObject *text = PyUnicode_FromFormat("%zd", i);
    if (text == nullptr) throw py::error_already_set();
    if (i < kept) {
        PyUnicode_InternInPlace(&text);
        texts[i] = text;
        Py_INCREF(text);  // held for the life of the process
    }
    return py::reinterpret_steal<py::object>(text);
}

py::object indexed_by_interpreter(py::handle container, py::handle index) {
    PyObject *value = PyObject_GetItem(container.ptr(), index.ptr());
    if (value == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(value);
}

}  // namespace

void capture(py::handle nn) {
    Known &k = known();
    if (k.getitem_name != nullptr) return;
    k.getitem_name = interned("__getitem__").release().ptr();
    k.len_name = interned("__len__").release().ptr();
    k.abs_index_name = interned("_get_abs_string_index").release().ptr();
    capture_class(k.module_list, nn.attr("ModuleList"), "ModuleList", "_modules", false);
    capture_class(k.parameter_list, nn.attr("ParameterList"), "ParameterList", "_size", true);
}

py::object item(py::handle container, py::handle index) {
    PyObject *obj = container.ptr();
    const ListClass *c = PyLong_CheckExact(index.ptr()) ? framework_class(obj) : nullptr;
    if (c == nullptr) return indexed_by_interpreter(container, index);
    py::object dict = plain_dict(container);
    if (!dict) return indexed_by_interpreter(container, index);
    // self._get_abs_string_index: an instance attribute would be called instead.
    const int shadowed = PyDict_Contains(dict.ptr(), known().abs_index_name);
    if (shadowed != 0) {
        if (shadowed < 0) throw py::error_already_set();
        return indexed_by_interpreter(container, index);
    }
    const Py_ssize_t size = framework_size(obj, *c, dict.ptr());
    Py_ssize_t i = PyLong_AsSsize_t(index.ptr());
    if (i == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return indexed_by_interpreter(container, index);
    }
    if (size < 0 || i < -size || i >= size) return indexed_by_interpreter(container, index);
    if (i < 0) i += size;
    py::object key = index_text(i);
    if (c->entries_by_attribute) {
        if (py::object value = lookup::attr_if_present(container, key)) return value;
    } else {
        PyObject *modules = size_source(obj, *c, dict.ptr());
        PyObject *value = modules != nullptr ? PyDict_GetItemWithError(modules, key.ptr()) : nullptr;
        if (value != nullptr) return py::reinterpret_borrow<py::object>(value);
        if (PyErr_Occurred()) throw py::error_already_set();
    }
    // A missing entry: the method itself raises its own error.
    return indexed_by_interpreter(container, index);
}

Py_ssize_t length(py::handle container) {
    PyObject *obj = container.ptr();
    if (const ListClass *c = framework_class(obj)) {
        if (py::object dict = plain_dict(container)) {
            const Py_ssize_t size = framework_size(obj, *c, dict.ptr());
            if (size >= 0) return size;
        }
    }
    const Py_ssize_t size = PyObject_Size(obj);
    if (size < 0) throw py::error_already_set();
    return size;
}

}  // namespace zyl::containers
