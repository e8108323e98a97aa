// The flat list of module entries a configurator run works on.
#include "prelude.hpp"

#include "container_ops.hpp"
#include "model.hpp"
#include "module_ids.hpp"
#include "parameter_walk.hpp"

#include <utility>
#include <vector>

namespace zyl {

namespace {

struct EntryKeys {
    py::str id = interned("id"), name = interned("name"), type_name = interned("type_name"),
            module = interned("module"), depth = interned("depth"),
            direct_param_count = interned("direct_param_count"),
            tree_param_count = interned("tree_param_count"),
            is_replaced_root = interned("is_replaced_root"),
            replaced_root = interned("replaced_root"), in_replaced = interned("in_replaced");
    py::str type_name_attr = interned("__name__"), named_parameters = interned("named_parameters"),
            count = interned("count"), startswith = interned("startswith");
    py::tuple recurse_keyword = py::make_tuple(interned("recurse"));
};

const EntryKeys &entry_keys() {
    PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<EntryKeys> storage;
    return storage.call_once_and_store_result([] { return EntryKeys(); }).get_stored();
}

// sum(p.numel() for _, p in module.named_parameters(recurse=recurse)), the
// method looked up and called as the interpreter's method call does it.
py::object numel_sum(py::handle module, bool recurse) {
    const EntryKeys &k = entry_keys();
    PyObject *args[] = {module.ptr(), recurse ? Py_True : Py_False};
    py::object pairs = owned(
        PyObject_VectorcallMethod(k.named_parameters.ptr(), args, 1, k.recurse_keyword.ptr()));
    NumelSum sum(py::int_(0));
    for (py::handle pair : pairs) sum.add_numel_of(unpack_pair(pair).second);
    return sum.value();
}

// name.count(".")
py::object dots_in(py::handle name, const py::str &dot) {
    if (!PyUnicode_CheckExact(name.ptr())) return call_method(name, entry_keys().count, dot);
    const Py_ssize_t dots = PyUnicode_Count(name.ptr(), dot.ptr(), 0, PY_SSIZE_T_MAX);
    if (dots < 0) throw py::error_already_set();
    return py::int_(dots);
}

// `text` starts with `prefix` followed by ".".
bool dot_prefix(PyObject *prefix, PyObject *text) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(prefix);
    if (PyUnicode_GET_LENGTH(text) <= n || PyUnicode_READ_CHAR(text, n) != '.') return false;
    const Py_ssize_t hit = PyUnicode_Tailmatch(text, prefix, 0, n, -1);
    if (hit < 0) throw py::error_already_set();
    return hit == 1;
}

// The place in `root_order` of the earliest root among the prefixes of
// `id` that end just before one of its dots; -1 when there is none.
long outermost_root(PyObject *id, PyObject *root_order) {
    long best = -1;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(id);
    for (Py_ssize_t at = 0; at < n;) {
        const Py_ssize_t dot_at = PyUnicode_FindChar(id, '.', at, n, 1);
        if (dot_at == -2) throw py::error_already_set();
        if (dot_at < 0) break;
        if (dot_at > 0) {
            py::object prefix = owned(PyUnicode_Substring(id, 0, dot_at));
            PyObject *order = PyDict_GetItemWithError(root_order, prefix.ptr());
            if (order == nullptr && PyErr_Occurred()) throw py::error_already_set();
            if (order != nullptr) {
                const long place = PyLong_AsLong(order);
                if (best < 0 || place < best) best = place;
            }
        }
        at = dot_at + 1;
    }
    return best;
}

// The entries as the interpreter makes them, call by call: the framework's
// walks run as they are, so whatever a network or the installed framework
// does in them is what the entries say.  Once per run, so no shortcut.
py::list get_module_entries(py::handle model) {
    const EntryKeys &k = entry_keys();
    py::list entries;
    const py::str dot("."), empty("");
    std::vector<std::pair<py::object, py::object>> ids;  // (entry, id)
    bool text_ids = true;
    py::object modules = model.attr("named_modules")("remove_duplicate"_a = false);
    for (py::handle pair : modules) {
        auto [name, module] = unpack_pair(pair);
        if (equals(name, empty)) continue;
        py::object id = owned(PyNumber_Add(dot.ptr(), name.ptr()));
        py::dict entry;
        set_item(entry, k.id, id);
        set_item(entry, k.name, name);
        set_item(entry, k.type_name,
                 owned(PyObject_GetAttr(reinterpret_cast<PyObject *>(Py_TYPE(module.ptr())),
                                        k.type_name_attr.ptr())));
        set_item(entry, k.module, module);
        set_item(entry, k.depth, dots_in(name, dot));
        set_item(entry, k.direct_param_count, numel_sum(module, false));
        set_item(entry, k.tree_param_count, numel_sum(module, true));
        entries.append(entry);
        text_ids = text_ids && PyUnicode_CheckExact(id.ptr());
        ids.emplace_back(std::move(entry), std::move(id));
    }

    // tuple(...) of what the getter gives: iterated once, unless it is a
    // tuple already.
    PyObject *listed = PySequence_Tuple(pc().attr("get_modules_to_replace")().ptr());
    if (listed == nullptr) throw py::error_already_set();
    const auto classes = py::reinterpret_steal<py::tuple>(listed);
    std::vector<py::handle> roots;  // held by `ids`
    for (auto &[entry, id] : ids) {
        bool is_root = false;
        if (!classes.empty()) {
            int hit = PyObject_IsInstance(item(entry, k.module).ptr(), classes.ptr());
            if (hit < 0) throw py::error_already_set();
            is_root = hit == 1;
        }
        set_item(entry, k.is_replaced_root, py::bool_(is_root));
        if (is_root) roots.push_back(id);
    }

    if (!text_ids) {
        // An id that is not a plain text (a name whose own `+` made it) may
        // test its prefixes in its own way: each test is made as written.
        for (auto &[entry, id] : ids) {
            py::handle root = Py_None;
            for (py::handle candidate : roots) {
                py::object prefix = owned(PyNumber_Add(candidate.ptr(), dot.ptr()));
                if (truthy(call_method(id, k.startswith, prefix))) {
                    root = candidate;
                    break;
                }
            }
            set_item(entry, k.replaced_root, root);
            set_item(entry, k.in_replaced, py::bool_(!root.is_none()));
        }
        return entries;
    }

    // Root ids with their place in module order: an id inside several roots
    // names the earliest, which is the outermost.
    py::dict root_order;
    std::vector<PyObject *> root_ids;  // by place
    for (py::handle id : roots) {
        if (root_order.contains(id)) continue;
        set_item(root_order, id, py::int_(root_ids.size()));
        root_ids.push_back(id.ptr());
    }

    // The prefixes of an id are its parent's prefixes and the parent id
    // itself, so an id's outermost root follows from its parent's.  In
    // module order the parent is among the ids just before it, kept on a
    // stack of ids each of which prefixes the next; an id whose parent is
    // not there is looked up prefix by prefix.
    struct Known {
        PyObject *id;
        long root;  // place of its outermost root, or -1
        long own;   // its own place as a root, or -1
    };
    std::vector<Known> chain;
    for (auto &[entry, id] : ids) {
        long root = -1;
        if (!root_ids.empty()) {
            const Py_ssize_t n = PyUnicode_GET_LENGTH(id.ptr());
            const Py_ssize_t parent_length = PyUnicode_FindChar(id.ptr(), '.', 0, n, -1);
            if (parent_length == -2) throw py::error_already_set();
            while (!chain.empty() && !dot_prefix(chain.back().id, id.ptr())) chain.pop_back();
            if (parent_length > 0 && !chain.empty() &&
                PyUnicode_GET_LENGTH(chain.back().id) == parent_length) {
                const Known &parent = chain.back();
                root = parent.root;
                if (parent.own >= 0 && (root < 0 || parent.own < root)) root = parent.own;
            } else if (parent_length > 0) {
                root = outermost_root(id.ptr(), root_order.ptr());
            }
            PyObject *own = PyDict_GetItemWithError(root_order.ptr(), id.ptr());
            if (own == nullptr && PyErr_Occurred()) throw py::error_already_set();
            chain.push_back({id.ptr(), root, own == nullptr ? -1 : PyLong_AsLong(own)});
        }
        set_item(entry, k.replaced_root, root < 0 ? py::handle(Py_None) : root_ids[root]);
        set_item(entry, k.in_replaced, py::bool_(root >= 0));
    }
    return entries;
}

}  // namespace

py::object get_parent_module_id(py::handle module_id) {
    if (!PyUnicode_Check(module_id.ptr())) {
        // Text only, as the conversion of the argument to text would demand.
        py::detail::make_caster<std::string> text;
        if (!text.load(module_id, true)) {
            throw py::type_error("get_parent_module_id(): incompatible function arguments; "
                                 "module_id must be text");
        }
        return get_parent_module_id(py::str(static_cast<std::string &>(text)));
    }
    // "." and the parts from the second to the next-to-last, or None for
    // fewer than three parts.
    const Py_ssize_t n = PyUnicode_GET_LENGTH(module_id.ptr());
    const Py_ssize_t first = PyUnicode_FindChar(module_id.ptr(), '.', 0, n, 1);
    if (first == -2) throw py::error_already_set();
    if (first < 0) return py::none();
    const Py_ssize_t last = PyUnicode_FindChar(module_id.ptr(), '.', first + 1, n, -1);
    if (last == -2) throw py::error_already_set();
    if (last < 0) return py::none();
    if (first == 0) return owned(PyUnicode_Substring(module_id.ptr(), 0, last));
    py::object inner = owned(PyUnicode_Substring(module_id.ptr(), first + 1, last));
    return owned(PyUnicode_Concat(py::str(".").ptr(), inner.ptr()));
}

void register_module_entries(py::module_ &m) {
    m.def("get_module_entries", &get_module_entries, "model"_a,
          "One entry per submodule, in module order, with restructured roots marked.");
    zyl::def<&get_parent_module_id>(
        m, "get_parent_module_id", "module_id"_a,
        "Id of the parent module, from the id text alone; None for a direct child.");
}

}  // namespace zyl
