// Parameter walks for the counting passes over module entries.
#include "prelude.hpp"

#include "container_ops.hpp"
#include "parameter_walk.hpp"

#include <algorithm>
#include <cstdint>
#include <unordered_map>

namespace zyl {

namespace {

// Deeper subtrees are left to the framework's own code, which decides how
// deep its recursion may go.
constexpr int kDeepestWalk = 400;

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
    // Held, not borrowed: a module may be changed by code that runs while a
    // pass is under way (a patched numel, say), and a dropped table must not
    // be read after it is freed.
    struct Tables {
        py::object parameters;
        py::object children;
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
        Tables t{py::reinterpret_borrow<py::object>(exact_dict_item(dict, s_parameters)),
                 py::reinterpret_borrow<py::object>(exact_dict_item(dict, s_modules))};
        if (!t.parameters || !t.children) return {};
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

    // The C function behind numel() of exact Parameters and Tensors while
    // calling it is pure: nothing intercepts the call (no function mode, no
    // tracing), attribute lookup on both classes is the ordinary one and
    // their numel is the framework's own compiled method.  Null otherwise.
    PyCFunction pure_numel() const {
        auto answers = [](const char *function, PyObject *expected) {
            py::object f = loaded_attribute("torch._C", function);
            if (!f) return false;
            PyObject *result = PyObject_CallNoArgs(f.ptr());
            if (result == nullptr) {
                PyErr_Clear();
                return false;
            }
            const bool same = result == expected;
            Py_DECREF(result);
            return same;
        };
        if (!answers("_is_torch_function_mode_enabled", Py_False) ||
            !answers("_get_tracing_state", Py_None)) {
            return nullptr;
        }
        PyCFunction found = nullptr;
        for (py::handle type : {parameter_type, tensor_type}) {
            auto *t = reinterpret_cast<PyTypeObject *>(type.ptr());
            if (t->tp_getattro != PyObject_GenericGetAttr) return nullptr;
            PyObject *attribute = PyObject_GetAttr(type.ptr(), s_numel.ptr());
            if (attribute == nullptr) {
                PyErr_Clear();
                return nullptr;
            }
            auto held = py::reinterpret_steal<py::object>(attribute);
            // A method of a compiled class: such a class cannot be changed
            // from Python, so the function is the framework's.
            if (Py_TYPE(attribute) != &PyMethodDescr_Type) return nullptr;
            auto *method = reinterpret_cast<PyMethodDescrObject *>(attribute);
            PyTypeObject *owner = method->d_common.d_type;
            if ((owner->tp_flags & Py_TPFLAGS_HEAPTYPE) != 0 || !PyType_IsSubtype(t, owner) ||
                std::strcmp(method->d_method->ml_name, "numel") != 0) {
                return nullptr;
            }
            if (found != nullptr && found != method->d_method->ml_meth) return nullptr;
            found = method->d_method->ml_meth;
        }
        return found;
    }

    // parameter.numel() into `numel` when the call is `pure` (see
    // pure_numel) for this instance too: its own attributes do not stand in
    // for the method.  False, with nothing called, otherwise.
    bool pure_numel_of(PyObject *parameter, PyCFunction pure, long long &numel) const {
        PyObject *bound = PyObject_GetAttr(parameter, s_numel.ptr());
        if (bound == nullptr) {
            PyErr_Clear();
            return false;
        }
        auto held = py::reinterpret_steal<py::object>(bound);
        if (!PyCFunction_Check(bound) || PyCFunction_GET_SELF(bound) != parameter ||
            PyCFunction_GET_FUNCTION(bound) != pure) {
            return false;
        }
        PyObject *result = PyObject_CallNoArgs(bound);
        if (result == nullptr) {
            // Left to the ordinary call, which raises it again.
            PyErr_Clear();
            return false;
        }
        auto count = py::reinterpret_steal<py::object>(result);
        if (!PyLong_CheckExact(result)) return false;
        int overflow = 0;
        numel = PyLong_AsLongLongAndOverflow(result, &overflow);
        if (numel == -1 && PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
        return overflow == 0;
    }

    // The framework's named_modules(memo, prefix, remove_duplicate=True)
    // below `m`, with each module's parameters taken as it is reached.
    bool walk(py::handle m, PointerSet &module_memo, PointerSet &memo,
              std::vector<PyObject *> &out, int depth) {
        if (depth > kDeepestWalk) return false;
        const Tables t = walked_tables(m);
        if (!t.parameters) return false;
        if (!module_memo.insert(m.ptr())) return true;
        if (!add_parameters(t.parameters.ptr(), [&](PyObject *p) { return memo.insert(p); }, out)) {
            return false;
        }
        PyObject *key = nullptr;
        PyObject *child = nullptr;
        Py_ssize_t pos = 0;
        while (PyDict_Next(t.children.ptr(), &pos, &key, &child)) {
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
        ok = t.parameters &&
             i.add_parameters(
                 t.parameters.ptr(),
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
    py::object method = owned(PyObject_GetAttr(module.ptr(), impl_->s_named_parameters.ptr()));
    py::object pairs = owned(PyObject_Call(method.ptr(), py::tuple().ptr(), kwargs.ptr()));
    for (py::handle pair : pairs) {
        py::object parameter = unpack_pair(pair).second;
        visit(parameter);
    }
}

void ParameterWalk::add_numel(py::handle module, bool recurse, py::object &sum,
                              PointerSet *seen) {
    NumelSum total(sum);
    each(module, recurse, [&](py::handle parameter) {
        if (seen == nullptr || seen->insert(parameter.ptr())) total.add_numel_of(parameter);
    });
    sum = total.value();
}

void NumelSum::add_numel_of(py::handle parameter) {
    py::object count = owned(PyObject_CallMethodNoArgs(parameter.ptr(), numel_.ptr()));
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

// Why a planned sum equals what named_parameters(recurse=True) and numel()
// would give: the walk yields each parameter of each module below the
// entry once, so where no module and no parameter below it is held in two
// places (two table slots), the subtree's sum is the plain sum of its
// modules' own sums.  Slots are counted over everything below the root,
// a superset of any subtree, so a count of one proves it.
struct ParameterWalk::Plan {
    struct Node {
        PyObject *module = nullptr;
        std::size_t first_child = 0;  // into `children`
        std::size_t child_count = 0;
        std::size_t first_parameter = 0;  // into `held`
        std::size_t parameter_count = 0;
        unsigned holders = 0;  // table slots that hold this module
        int height = 0;        // longest way down, in modules
        long long own_sum = 0;
        long long tree_sum = 0;
        unsigned char state = 0;  // 0 not reached, 1 open, 2 closed
        bool plain = false;       // the framework's code, text keys, exact tensors
        bool own_known = false;   // own_sum is named_parameters(recurse=False)'s
        bool sealed = false;      // counting the subtree the ordinary way runs no user code
        bool tree_known = false;  // tree_sum is named_parameters(recurse=True)'s
    };
    struct Parameter {
        unsigned holders = 0;
        int last_holder = -1;  // the module whose table held it last
        long long numel = 0;
        bool known = false;
    };
    std::vector<Node> nodes;
    std::vector<int> children;  // node indexes, per module
    std::vector<PyObject *> child_keys;  // the names they are held under
    std::vector<int> held;      // parameter indexes, per module
    std::vector<Parameter> parameters;
    PointerIndex node_index, parameter_index;
    int root = -1;
    bool valid = false;
    bool whole = false;  // each_planned_module may stand for named_modules
};

namespace {

// prefix + "." + key, as the framework's named_modules joins names.
py::object joined(PyObject *prefix, PyObject *key) {
    const Py_ssize_t a = PyUnicode_GET_LENGTH(prefix);
    const Py_ssize_t b = PyUnicode_GET_LENGTH(key);
    const Py_UCS4 widest = std::max(PyUnicode_MAX_CHAR_VALUE(prefix), PyUnicode_MAX_CHAR_VALUE(key));
    PyObject *name = PyUnicode_New(a + 1 + b, std::max<Py_UCS4>(widest, '.'));
    if (name == nullptr) throw py::error_already_set();
    auto held = py::reinterpret_steal<py::object>(name);
    if (PyUnicode_CopyCharacters(name, 0, prefix, 0, a) < 0 ||
        PyUnicode_WriteChar(name, a, '.') < 0 ||
        PyUnicode_CopyCharacters(name, a + 1, key, 0, b) < 0) {
        throw py::error_already_set();
    }
    return held;
}

}  // namespace

void ParameterWalk::plan(py::handle root) {
    Impl &i = *impl_;
    plan_ = std::make_unique<Plan>();
    Plan &p = *plan_;
    if (!i.usable) return;
    const PyCFunction pure = i.pure_numel();
    if (pure == nullptr) return;

    // Every module below the root, each once, closed after all it holds
    // (except a way back up, which only a cycle has).  Each module and each
    // parameter is read here only: the memory they live in is touched once.
    auto node_of = [&](PyObject *module) {
        const int at = p.node_index.insert(module);
        if (at == static_cast<int>(p.nodes.size())) {
            p.nodes.emplace_back();
            p.nodes.back().module = module;
        }
        return at;
    };
    const int root_at = node_of(root.ptr());
    std::vector<std::pair<int, bool>> stack{{root_at, false}};
    std::vector<int> closed;
    while (!stack.empty()) {
        const auto [at, closing] = stack.back();
        stack.pop_back();
        if (closing) {
            p.nodes[at].state = 2;
            closed.push_back(at);
            continue;
        }
        if (p.nodes[at].state != 0) continue;
        p.nodes[at].state = 1;
        stack.emplace_back(at, true);
        const Impl::Tables t = i.tables(p.nodes[at].module);
        if (!t.parameters) continue;
        bool plain = true;
        bool own_known = true;
        long long own_sum = 0;
        const std::size_t first_parameter = p.held.size();
        PyObject *key = nullptr;
        PyObject *value = nullptr;
        Py_ssize_t pos = 0;
        while (PyDict_Next(t.parameters.ptr(), &pos, &key, &value)) {
            // Other keys could run code of their own where the framework
            // builds the parameter's name.
            if (!PyUnicode_CheckExact(key)) plain = false;
            if (value == Py_None) continue;
            if (!i.is_plain_tensor(value)) {
                plain = false;
                continue;
            }
            const int q = p.parameter_index.insert(value);
            if (q == static_cast<int>(p.parameters.size())) {
                p.parameters.emplace_back();
                // numel() of an exact tensor is pure: one call serves every
                // module and every entry that holds it.
                p.parameters.back().known = i.pure_numel_of(value, pure, p.parameters.back().numel);
            }
            Plan::Parameter &parameter = p.parameters[q];
            ++parameter.holders;
            p.held.push_back(q);
            // Yielded once however often the table holds it.
            if (parameter.last_holder == at) continue;
            parameter.last_holder = at;
            if (!parameter.known || __builtin_add_overflow(own_sum, parameter.numel, &own_sum)) {
                own_known = false;
            }
        }
        const std::size_t first_child = p.children.size();
        pos = 0;
        while (PyDict_Next(t.children.ptr(), &pos, &key, &value)) {
            if (!PyUnicode_CheckExact(key)) plain = false;
            if (value == Py_None) continue;
            const int child = node_of(value);
            ++p.nodes[child].holders;
            p.children.push_back(child);
            p.child_keys.push_back(key);
            if (p.nodes[child].state == 1) return;  // a cycle: no plan
            if (p.nodes[child].state == 0) stack.emplace_back(child, false);
        }
        Plan::Node &n = p.nodes[at];
        n.first_parameter = first_parameter;
        n.parameter_count = p.held.size() - first_parameter;
        n.first_child = first_child;
        n.child_count = p.children.size() - first_child;
        n.plain = plain;
        n.own_known = plain && own_known;
        n.own_sum = own_sum;
    }

    // The subtree sums, children before their parents.
    for (const int at : closed) {
        Plan::Node &n = p.nodes[at];
        if (!n.plain) continue;
        bool unique = true;
        for (std::size_t k = 0; k < n.parameter_count && unique; ++k) {
            unique = p.parameters[p.held[n.first_parameter + k]].holders == 1;
        }
        bool sealed = n.own_known;
        long long tree_sum = n.own_sum;
        int height = 0;
        for (std::size_t c = 0; c < n.child_count; ++c) {
            const Plan::Node &child = p.nodes[p.children[n.first_child + c]];
            sealed = sealed && child.sealed;
            unique = unique && child.holders == 1 && child.tree_known;
            height = std::max(height, child.height + 1);
            if (unique && __builtin_add_overflow(tree_sum, child.tree_sum, &tree_sum)) {
                unique = false;
            }
        }
        n.height = height;
        n.sealed = sealed && height <= kDeepestWalk;
        n.tree_known = n.sealed && unique;
        n.tree_sum = tree_sum;
    }
    // While named_modules is the framework's, it runs no user code of its
    // own; the plan then holds until something else might.
    const Plan::Node &r = p.nodes[root_at];
    p.root = root_at;
    p.valid = r.plain;
    // named_modules recurses once per level: half the interpreter's limit
    // is left to the caller.
    bool whole = r.plain && r.height <= std::min(kDeepestWalk, Py_GetRecursionLimit() / 2);
    for (std::size_t c = 0; c < r.child_count && whole; ++c) {
        whole = p.nodes[p.children[r.first_child + c]].sealed;
    }
    p.whole = whole;
}

bool ParameterWalk::each_planned_module(
    const std::function<void(py::handle, py::handle, py::handle, py::handle)> &visit) {
    if (!plan_ || !plan_->valid || !plan_->whole) return false;
    const Plan &p = *plan_;
    // The framework's order: a module, then each child's subtree in table
    // order; a module held in two places is gone through in both.
    struct Frame {
        int node;
        std::size_t next;
        py::object name;
    };
    std::vector<Frame> stack;
    stack.push_back({p.root, 0, py::str("")});
    while (!stack.empty()) {
        Frame &frame = stack.back();
        const Plan::Node &n = p.nodes[frame.node];
        if (frame.next == n.child_count) {
            stack.pop_back();
            continue;
        }
        const std::size_t slot = n.first_child + frame.next++;
        const int at = p.children[slot];
        PyObject *key = p.child_keys[slot];
        // Below an empty name the key is the name (the key itself, as
        // "" + key gives it).
        py::object name = PyUnicode_GET_LENGTH(frame.name.ptr()) != 0
                              ? joined(frame.name.ptr(), key)
                              : py::reinterpret_borrow<py::object>(key);
        const Plan::Node &child = p.nodes[at];
        py::object direct = py::int_(child.own_sum);
        py::object tree;
        if (child.tree_known) {
            tree = py::int_(child.tree_sum);
        } else {
            // A sealed subtree: its tables are walked with pure numel() calls.
            tree = py::int_(0);
            add_numel(child.module, true, tree);
        }
        visit(name, child.module, direct, tree);
        stack.push_back({at, 0, std::move(name)});
    }
    return true;
}

void ParameterWalk::count_entry(py::handle module, py::object &direct, py::object &tree) {
    const Plan::Node *n = nullptr;
    if (plan_ && plan_->valid) {
        const int at = plan_->node_index.find(module.ptr());
        if (at >= 0 && plan_->nodes[at].plain) n = &plan_->nodes[at];
        // Reaching a module the plan cannot vouch for may have run user
        // code, and counting outside a sealed subtree may: the plan holds
        // no further (what it says of this module still holds now).
        if (n == nullptr || !n->sealed) plan_->valid = false;
    }
    if (n != nullptr && n->own_known) {
        direct = py::int_(n->own_sum);
    } else {
        direct = py::int_(0);
        add_numel(module, false, direct);
        n = nullptr;
    }
    if (n != nullptr && n->tree_known) {
        tree = py::int_(n->tree_sum);
    } else {
        // In a sealed subtree: its tables, with pure numel() calls.
        tree = py::int_(0);
        add_numel(module, true, tree);
    }
}

}  // namespace zyl
