// Parameter walks for the counting passes over module entries.
#include "prelude.hpp"

#include "container_ops.hpp"
#include "parameter_walk.hpp"

#include <algorithm>
#include <unordered_map>

namespace zyl {

namespace {

py::object checked(PyObject *result) {
    if (result == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
}

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

// A function whose code takes all of `names` as arguments: the shape of the
// framework's code that the walk reproduces.
bool takes_arguments(py::handle function, std::initializer_list<const char *> names) {
    if (!function || !PyFunction_Check(function.ptr())) return false;
    auto *code = reinterpret_cast<PyCodeObject *>(PyFunction_GET_CODE(function.ptr()));
    PyObject *varnames = PyObject_GetAttrString(reinterpret_cast<PyObject *>(code), "co_varnames");
    if (varnames == nullptr) {
        PyErr_Clear();
        return false;
    }
    auto held = py::reinterpret_steal<py::object>(varnames);
    for (const char *name : names) {
        const int hit = PySequence_Contains(varnames, py::str(name).ptr());
        if (hit < 0) {
            PyErr_Clear();
            return false;
        }
        if (hit == 0) return false;
    }
    return true;
}

}  // namespace

struct ParameterWalk::Impl {
    bool usable = false;
    py::object named_parameters, named_members, named_modules, generic_getattribute;
    py::object parameter_type, tensor_type;
    py::str s_named_parameters = interned("named_parameters"),
            s_named_members = interned("_named_members"),
            s_named_modules = interned("named_modules"), s_parameters = interned("_parameters"),
            s_modules = interned("_modules"), s_getattribute = interned("__getattribute__"),
            s_numel = interned("numel");

    // The member tables of one module, borrowed from its instance dict (the
    // module holds them for the whole pass); null when the module's lookups
    // are not the framework's plain ones.
    struct Tables {
        PyObject *parameters = nullptr;
        PyObject *children = nullptr;
    };
    std::vector<std::pair<PyTypeObject *, bool>> types;
    std::unordered_map<PyObject *, Tables> walked;

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
    // the framework's three functions on the class, hash by identity and
    // have no class attribute in place of the member tables.
    bool plain_type(PyTypeObject *type) {
        for (const auto &[known, plain] : types) {
            if (known == type) return plain;
        }
        const bool plain =
            Py_TYPE(type) == &PyType_Type && type->tp_hash == PyBaseObject_Type.tp_hash &&
            class_attribute_is(type, s_getattribute, generic_getattribute) &&
            class_attribute_is(type, s_named_parameters, named_parameters) &&
            class_attribute_is(type, s_named_members, named_members) &&
            class_attribute_is(type, s_named_modules, named_modules) &&
            class_attribute_is(type, s_parameters, py::handle()) &&
            class_attribute_is(type, s_modules, py::handle());
        types.emplace_back(type, plain);
        return plain;
    }

    static PyObject *exact_dict_item(PyObject *dict, py::handle key) {
        PyObject *value = PyDict_GetItemWithError(dict, key.ptr());
        if (value == nullptr) PyErr_Clear();
        return value != nullptr && PyDict_CheckExact(value) ? value : nullptr;
    }

    static bool has_key(PyObject *dict, py::handle key) {
        PyObject *value = PyDict_GetItemWithError(dict, key.ptr());
        if (value == nullptr && PyErr_Occurred()) {
            PyErr_Clear();
            return true;  // unknown: treat as shadowed
        }
        return value != nullptr;
    }

    Tables tables(py::handle m) {
        if (!plain_type(Py_TYPE(m.ptr()))) return {};
        PyObject *dict = PyObject_GenericGetDict(m.ptr(), nullptr);
        if (dict == nullptr) {
            PyErr_Clear();
            return {};
        }
        auto held = py::reinterpret_steal<py::object>(dict);
        if (!PyDict_CheckExact(dict) || has_key(dict, s_named_parameters) ||
            has_key(dict, s_named_members) || has_key(dict, s_named_modules)) {
            return {};
        }
        Tables t{exact_dict_item(dict, s_parameters), exact_dict_item(dict, s_modules)};
        if (t.parameters == nullptr || t.children == nullptr) return {};
        return t;
    }

    const Tables &walked_tables(py::handle m) {
        auto found = walked.find(m.ptr());
        if (found != walked.end()) return found->second;
        return walked.emplace(m.ptr(), tables(m)).first->second;
    }

    bool is_plain_tensor(PyObject *value) const {
        return Py_TYPE(value) == reinterpret_cast<PyTypeObject *>(parameter_type.ptr()) ||
               Py_TYPE(value) == reinterpret_cast<PyTypeObject *>(tensor_type.ptr());
    }

    // The framework's _named_members loop for one module: its parameters,
    // without None and without those yielded already.  Parameters and plain
    // tensors hash by identity (their __hash__ returns id()), so the memo
    // set is an identity set.
    // `first_time(value)` is the memo: true when the value is new to it.
    template <typename FirstTime>
    bool add_parameters(PyObject *table, FirstTime &&first_time, std::vector<PyObject *> &out) {
        PyObject *key = nullptr;
        PyObject *value = nullptr;
        Py_ssize_t pos = 0;
        while (PyDict_Next(table, &pos, &key, &value)) {
            if (value == Py_None) continue;
            if (!is_plain_tensor(value)) return false;
            if (first_time(value)) out.push_back(value);
        }
        return true;
    }

    // The framework's named_modules(memo, prefix, remove_duplicate=True)
    // below `m`, with each module's parameters taken as it is reached.
    bool walk(py::handle m, PointerSet &module_memo, PointerSet &memo,
              std::vector<PyObject *> &out, int depth) {
        if (depth > 400) return false;
        const Tables t = walked_tables(m);
        if (t.parameters == nullptr) return false;
        if (!module_memo.insert(m.ptr())) return true;
        if (!add_parameters(t.parameters, [&](PyObject *p) { return memo.insert(p); }, out)) {
            return false;
        }
        PyObject *key = nullptr;
        PyObject *child = nullptr;
        Py_ssize_t pos = 0;
        while (PyDict_Next(t.children, &pos, &key, &child)) {
            if (child == Py_None) continue;
            if (!walk(child, module_memo, memo, out, depth + 1)) return false;
        }
        return true;
    }
};

ParameterWalk::ParameterWalk() : impl_(std::make_unique<Impl>()) {
    Impl &i = *impl_;
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
    i.named_modules = attribute_of(module_class, "named_modules");
    i.generic_getattribute =
        attribute_of(reinterpret_cast<PyObject *>(&PyBaseObject_Type), "__getattribute__");
    i.usable = i.generic_getattribute &&
               takes_arguments(i.named_parameters, {"prefix", "recurse", "remove_duplicate"}) &&
               takes_arguments(i.named_members,
                               {"get_members_fn", "prefix", "recurse", "remove_duplicate"}) &&
               takes_arguments(i.named_modules, {"memo", "prefix", "remove_duplicate"});
}

ParameterWalk::~ParameterWalk() = default;

bool ParameterWalk::collect(py::handle module, bool recurse, std::vector<PyObject *> &out) {
    Impl &i = *impl_;
    out.clear();
    if (!i.usable) return false;
    bool ok;
    if (recurse) {
        PointerSet module_memo, memo;
        ok = i.walk(module, module_memo, memo, out, 0);
    } else {
        // One module's own parameters are few: the memo is the list so far.
        const Impl::Tables t = i.tables(module);
        ok = t.parameters != nullptr &&
             i.add_parameters(
                 t.parameters,
                 [&](PyObject *p) { return std::find(out.begin(), out.end(), p) == out.end(); },
                 out);
    }
    if (!ok) out.clear();
    return ok;
}

void ParameterWalk::call_method_each(py::handle module, bool recurse,
                                     const std::function<void(py::handle)> &visit) {
    py::dict kwargs;
    kwargs["recurse"] = py::bool_(recurse);
    py::object method = checked(PyObject_GetAttr(module.ptr(), impl_->s_named_parameters.ptr()));
    py::object pairs = checked(PyObject_Call(method.ptr(), py::tuple().ptr(), kwargs.ptr()));
    for (py::handle pair : pairs) {
        py::object parameter = unpack_pair(pair).second;
        visit(parameter);
    }
}

void ParameterWalk::add_numel(py::handle module, bool recurse, py::object &sum,
                              PointerSet *seen) {
    // Exact integers are summed natively until something else turns up; the
    // sum is the same, as integer addition is exact.
    long long pending = 0;
    auto flush = [&] {
        if (pending != 0) {
            sum = checked(PyNumber_Add(sum.ptr(), py::int_(pending).ptr()));
            pending = 0;
        }
    };
    PyObject *numel = impl_->s_numel.ptr();
    each(module, recurse, [&](py::handle parameter) {
        if (seen != nullptr && !seen->insert(parameter.ptr())) return;
        py::object count = checked(PyObject_CallMethodNoArgs(parameter.ptr(), numel));
        if (PyLong_CheckExact(count.ptr()) && PyLong_CheckExact(sum.ptr())) {
            int overflow = 0;
            const long long v = PyLong_AsLongLongAndOverflow(count.ptr(), &overflow);
            if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
            long long next = 0;
            if (overflow == 0 && !__builtin_add_overflow(pending, v, &next)) {
                pending = next;
                return;
            }
        }
        flush();
        sum = checked(PyNumber_Add(sum.ptr(), count.ptr()));
    });
    flush();
}

void NumelSum::add_numel_of(py::handle parameter) {
    py::object count = checked(PyObject_CallMethodNoArgs(parameter.ptr(), numel_.ptr()));
    if (PyLong_CheckExact(count.ptr()) && PyLong_CheckExact(sum_.ptr())) {
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
    sum_ = checked(PyNumber_Add(sum_.ptr(), count.ptr()));
}

void NumelSum::flush() {
    if (pending_ != 0) {
        sum_ = checked(PyNumber_Add(sum_.ptr(), py::int_(pending_).ptr()));
        pending_ = 0;
    }
}

py::object NumelSum::value() {
    flush();
    return sum_;
}

}  // namespace zyl
