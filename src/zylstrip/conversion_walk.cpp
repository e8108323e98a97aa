// The walk that converts a trained network: every dendrite layer it reaches
// is replaced, on its parent and under the same name, by a ModuleType
// (ZYLModulePyThread) built from it.  The walk makes its calls through the
// interpreter step by step (`!=`, `in`, `+=`, getattr, setattr), so that
// whatever the network's classes define is honoured; it runs once per
// conversion, where nobody waits on it.
//
// A layer can stand in more than one place: repeated in a container (whose
// named_children() lists it once), tied to two attributes, or under a name
// that __dir__ leaves out (a name starting with a digit).  Each distinct
// layer is converted once per walk, and every place that held it is given
// that one converted module.
#include "prelude.hpp"

#include "fast_paths.hpp"
#include "zylstrip.hpp"

#include <algorithm>
#include <cstring>
#include <unordered_map>
#include <vector>

namespace zyl {

namespace {

struct WalkTexts {
    py::str pc = interned("pc"), nn = interned("nn"), module = interned("Module"),
            sequential = interned("Sequential"), module_list = interned("ModuleList"),
            module_type = interned("ModuleType"), extra_verbose = interned("get_extra_verbose"),
            to_track = interned("get_modules_to_track"),
            not_to_save = interned("get_module_names_to_not_save"), dir = interned("__dir__"),
            named_children = interned("named_children"), get_submodule = interned("get_submodule"),
            modules = interned("_modules"), name_attr = interned("__name__"), dot = interned("."),
            empty = interned(""), open = interned("["), close = interned("]"),
            dendrite_class = interned("ZYLLayer"),
            refresh_zyl = interned("refresh_zyl"), make_module = interned("make_module"),
            get_attr = interned("get_pretrained_zyl_attr"),
            get_var = interned("get_pretrained_zyl_var");
};

const WalkTexts &texts() {
    PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<WalkTexts> storage;
    return storage.call_once_and_store_result([] { return WalkTexts(); }).get_stored();
}

py::object type_of(py::handle obj) {
    return py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject *>(Py_TYPE(obj.ptr())));
}

// format % args
py::object percent(const char *format, py::handle args) {
    return owned(PyNumber_Remainder(py::str(format).ptr(), args.ptr()));
}

// A module-level function, looked up by name now and called.
template <typename... Args>
py::object call_global(const py::str &name, Args &&...args) {
    return ns().attr(name)(std::forward<Args>(args)...);
}

py::object run_config() { return global("GZL").attr(texts().pc); }

bool extra_verbose() { return truthy(call_method(run_config(), texts().extra_verbose)); }

// type(obj).__name__ == "ZYLLayer".  For a class whose metaclass is `type`
// itself the name is what type's own __name__ gives, and tp_name always
// spells it (the whole of it for a class made at run time, the part after
// the last dot for a built-in one), so then no text object is made: most
// members the walk tests are bound methods.
bool is_dendrite_layer(py::handle obj) {
    PyTypeObject *type = Py_TYPE(obj.ptr());
    if (fast_paths_enabled() && Py_IS_TYPE(reinterpret_cast<PyObject *>(type), &PyType_Type)) {
        const char *name = type->tp_name;
        if (!PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) {
            if (const char *dot = std::strrchr(name, '.')) name = dot + 1;
        }
        return std::strcmp(name, "ZYLLayer") == 0;
    }
    return equals(type_of(obj).attr(texts().name_attr), texts().dendrite_class);
}

// The layers one walk has converted, by identity, each with the module made
// from it.  A walk is one converted_list: refresh_net makes a new one, and
// every level of the walk is handed the same one.  Originals are held so
// that their addresses cannot be reused while the walk runs.
struct Conversions {
    PyObject *walk = nullptr;  // the converted_list
    std::unordered_map<PyObject *, std::pair<py::object, py::object>> made;
};

std::vector<Conversions *> &active_walks() {
    static std::vector<Conversions *> walks;
    return walks;
}

// Joins the walk of `converted_list`, or starts it when this is its
// outermost level.
class WalkScope {
public:
    explicit WalkScope(py::handle converted_list) {
        for (Conversions *walk : active_walks()) {
            if (walk->walk == converted_list.ptr()) {
                conversions_ = walk;
                return;
            }
        }
        own_.walk = converted_list.ptr();
        conversions_ = &own_;
        active_walks().push_back(&own_);
    }
    ~WalkScope() {
        if (conversions_ != &own_) return;
        auto &walks = active_walks();
        walks.erase(std::remove(walks.begin(), walks.end(), &own_), walks.end());
    }
    WalkScope(const WalkScope &) = delete;
    WalkScope &operator=(const WalkScope &) = delete;

    // The module already made from `layer` in this walk, or a null object.
    py::object converted(py::handle layer) const {
        auto found = conversions_->made.find(layer.ptr());
        return found == conversions_->made.end() ? py::object() : found->second.second;
    }

    // make_module(layer), once per layer and walk.
    py::object convert(py::handle layer) {
        if (py::object done = converted(layer)) return done;
        py::object made = call_global(texts().make_module, layer);
        conversions_->made.emplace(layer.ptr(), std::make_pair(py::reinterpret_borrow<py::object>(layer), made));
        return made;
    }

private:
    Conversions own_;
    Conversions *conversions_ = nullptr;
};

// converted_list is shared by every level and only ever extended in place.
void record(py::handle converted_list, py::handle name) {
    py::list one;
    one.append(name);
    owned(PyNumber_InPlaceAdd(converted_list.ptr(), one.ptr()));
}

// name_so_far + "[" + str(id) + "]"
py::object element_name(py::handle name_so_far, py::handle id) {
    const WalkTexts &t = texts();
    return name_so_far + t.open + py::str(id) + t.close;
}

py::object next_depth(py::handle depth) { return depth + py::int_(1); }

py::object refresh(py::handle net, py::handle depth, py::handle name, py::handle list) {
    return call_global(texts().refresh_zyl, net, depth, name, list);
}

// The names and children that `net` registered, each place on its own:
// named_children() lists a repeated module only once, and __dir__ leaves
// out names that start with a digit.  Read as object.__getattribute__ reads
// it, so a class watching its own attribute reads sees none made for this.
py::object registered(py::handle net) {
    PyObject *modules = PyObject_GenericGetAttr(net.ptr(), texts().modules.ptr());
    if (modules != nullptr) return py::reinterpret_steal<py::object>(modules);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    return py::none();
}

// 4a and 4b for one child of a container.
void container_child(py::handle net, py::handle depth, py::handle name_so_far,
                     py::handle converted_list, py::handle submodule_id, WalkScope &scope) {
    const WalkTexts &t = texts();
    if (not_equal(net, call_method(net, t.get_submodule, submodule_id))) {
        record(converted_list, element_name(name_so_far, submodule_id));
        py::object child = call_method(net, t.get_submodule, submodule_id);
        py::object child_depth = next_depth(depth);
        py::object child_name = element_name(name_so_far, submodule_id);
        set_attr(net, submodule_id, refresh(child, child_depth, child_name, converted_list));
    }
    if (is_dendrite_layer(call_method(net, t.get_submodule, submodule_id))) {
        py::object layer = call_global(t.get_var, net, submodule_id);
        set_attr(net, submodule_id, scope.convert(layer));
    }
}

// Children of an nn.Sequential or nn.ModuleList, as named_children() lists
// them; then the places that hold a child it listed already.
void walk_container(py::handle net, py::handle depth, py::handle name_so_far,
                    py::handle converted_list, WalkScope &scope) {
    const WalkTexts &t = texts();
    py::list listed;
    py::object children = owned(PyObject_GetIter(call_method(net, t.named_children).ptr()));
    while (PyObject *next = PyIter_Next(children.ptr())) {
        py::object child = py::reinterpret_steal<py::object>(next);
        py::object submodule_id = unpack_pair(child).first;
        listed.append(submodule_id);
        container_child(net, depth, name_so_far, converted_list, submodule_id, scope);
    }
    if (PyErr_Occurred()) throw py::error_already_set();

    py::object modules = registered(net);
    if (!PyDict_Check(modules.ptr())) return;
    py::object module_class = global("nn").attr(t.module);
    for (py::handle name : py::list(modules)) {
        if (contains(listed, name)) continue;
        // Another place of a child listed above; an empty slot holds None.
        py::object now = registered(net);
        if (!PyDict_Check(now.ptr())) return;
        PyObject *found = PyDict_GetItemWithError(now.ptr(), name.ptr());
        if (found == nullptr) {
            if (PyErr_Occurred()) throw py::error_already_set();
            continue;
        }
        py::object child = py::reinterpret_borrow<py::object>(found);
        if (!is_instance(child, module_class)) continue;
        container_child(net, depth, name_so_far, converted_list, name, scope);
    }
}

// A plain list (a layer_array held as a list, for one) has no
// named_children(): its elements are walked by index instead, with the same
// "[i]" path names, and dendrite layers in it are replaced in place.  Only
// modules and nested lists are entered, as named_children() yields only
// modules.
void walk_list(py::handle net, py::handle depth, py::handle name_so_far,
               py::handle converted_list, WalkScope &scope) {
    py::object module_class = global("nn").attr(texts().module);
    for (Py_ssize_t i = 0; i < length_of(net); ++i) {
        py::int_ index(i);
        py::object element = item(net, index);
        const bool enter = is_instance(element, module_class) || PyList_Check(element.ptr()) != 0;
        if (enter && !element.is(net)) {
            py::object sub_name = element_name(name_so_far, index);
            record(converted_list, sub_name);
            py::object element_depth = next_depth(depth);
            set_item(net, index, refresh(element, element_depth, sub_name, converted_list));
        }
        py::object current = item(net, index);
        if (is_dendrite_layer(current)) set_item(net, index, scope.convert(current));
    }
}

// What the member steps of one module share.  GZL.pc is the same object at
// every lookup and nn.Module is looked up once per module, as
// name_so_far + "." is made once when adding plain texts runs nothing.
struct MemberContext {
    py::handle net, depth, name_so_far, converted_list;
    WalkScope &scope;
    py::object cls = type_of(net);
    py::object config = run_config();
    py::object module_class = global("nn").attr(texts().module);
    bool plain_name = PyUnicode_CheckExact(name_so_far.ptr()) != 0;
    bool root = plain_name && equals(name_so_far, texts().empty);
    py::object prefix = plain_name
                            ? owned(PyUnicode_Concat(name_so_far.ptr(), texts().dot.ptr()))
                            : py::object();

    // name_so_far == ""
    bool at_root() const { return plain_name ? root : equals(name_so_far, texts().empty); }

    // name_so_far + "." + member
    py::object path(py::handle member) const {
        if (prefix && PyUnicode_CheckExact(member.ptr())) {
            return owned(PyUnicode_Concat(prefix.ptr(), member.ptr()));
        }
        return name_so_far + texts().dot + member;
    }
};

// 5b to 5h for one member.
void member_step(const MemberContext &c, py::handle member) {
    const WalkTexts &t = texts();
    py::handle net = c.net, converted_list = c.converted_list, cls = c.cls;
    py::handle property_type = reinterpret_cast<PyObject *>(&PyProperty_Type);
    // A property is never read on the instance: reading it may compute or
    // fail.
    if (is_instance(getattr_or_none(cls, member), property_type)) return;
    py::object value;
    try {
        value = getattr_or_none(net, member);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        return;
    }
    py::object sub_name = c.path(member);
    if (equals_ascii(member, "device") || equals_ascii(member, "dtype")) return;
    if (contains(call_method(c.config, t.not_to_save), sub_name)) return;
    if (c.at_root() && contains(converted_list, sub_name)) {
        if (extra_verbose()) zyl::print(percent("Skipping %s during save", sub_name));
        return;
    }
    if (is_subclass(type_of(value), c.module_class) || equals_ascii(member, "layer_array")) {
        record(converted_list, sub_name);
        if (not_equal(net, net.attr(member))) {
            py::object target = net.attr(member);
            py::object member_depth = next_depth(c.depth);
            set_attr(net, member, refresh(target, member_depth, sub_name, converted_list));
        }
    }
    if (is_dendrite_layer(getattr_or_none(net, member))) {
        py::object layer = call_global(t.get_attr, net, member);
        set_attr(net, member, c.scope.convert(layer));
    }
}

// Members of any other module: those __dir__ lists, then the registered
// children it leaves out.  Returns false when the module's class is tracked:
// it is then left as it is, unentered.
bool walk_members(py::handle net, py::handle depth, py::handle name_so_far,
                  py::handle converted_list, py::handle all_members, WalkScope &scope) {
    const WalkTexts &t = texts();
    if (contains(call_method(run_config(), t.to_track), type_of(net))) return false;

    const MemberContext context{net, depth, name_so_far, converted_list, scope};
    py::set listed;
    py::object members = owned(PyObject_GetIter(all_members.ptr()));
    while (PyObject *next = PyIter_Next(members.ptr())) {
        py::object member = py::reinterpret_steal<py::object>(next);
        if (PySet_Add(listed.ptr(), member.ptr()) < 0) PyErr_Clear();  // an unhashable name
        member_step(context, member);
    }
    if (PyErr_Occurred()) throw py::error_already_set();

    py::object modules = registered(net);
    if (!PyDict_Check(modules.ptr())) return true;
    for (py::handle name : py::list(modules)) {
        if (PySet_Contains(listed.ptr(), name.ptr()) == 1) continue;
        if (PyErr_Occurred()) throw py::error_already_set();
        member_step(context, name);
    }
    return true;
}

void duplicate_notice() {
    if (extra_verbose()) {
        zyl::print("this is only being called because something in your model is pointed to "
                   "twice by two different variables.  Highest thing on the list is one of the "
                   "duplicates");
    }
}

py::object refresh_zyl(py::object net, py::object depth, py::object name_so_far,
                       py::object converted_list) {
    const WalkTexts &t = texts();
    RecursionGuard guard;
    WalkScope scope(converted_list);
    if (extra_verbose()) {
        py::object depth_text = percent("%d", py::make_tuple(depth));
        zyl::print(py::str("CL calling convert on ") + py::str(net) + py::str(" depth ") + depth_text);
        zyl::print(py::str("CL calling convert on ") + name_so_far + py::str(": ") +
                   type_of(net).attr(t.name_attr) + py::str(", depth ") + depth_text);
    }
    if (type_of(net).is(global("ModuleType"))) {
        duplicate_notice();
        return net;
    }
    // A layer met again: it was converted where this walk met it first.
    if (py::object done = scope.converted(net)) {
        duplicate_notice();
        return done;
    }
    py::object all_members = call_method(net, t.dir);

    py::object cls = type_of(net);
    py::object nn = global("nn");
    if (is_subclass(cls, nn.attr(t.sequential)) || is_subclass(cls, nn.attr(t.module_list))) {
        walk_container(net, depth, name_so_far, converted_list, scope);
    } else if (is_subclass(cls, reinterpret_cast<PyObject *>(&PyList_Type))) {
        walk_list(net, depth, name_so_far, converted_list, scope);
    } else if (!walk_members(net, depth, name_so_far, converted_list, all_members, scope)) {
        return net;
    }
    if (is_dendrite_layer(net)) net = scope.convert(net);
    return net;
}

py::object refresh_net(py::object pretrained_dendrite) {
    return refresh(pretrained_dendrite, py::int_(0), py::str(""), py::list());
}

py::object make_module(py::object module) { return global("ModuleType")(module); }

py::object get_pretrained_zyl_attr(py::object pretrained_dendrite, py::object member) {
    if (pretrained_dendrite.is_none()) return py::none();
    return pretrained_dendrite.attr(member);
}

py::object get_pretrained_zyl_var(py::object pretrained_dendrite, py::object submodule_id) {
    if (pretrained_dendrite.is_none()) return py::none();
    return call_method(pretrained_dendrite, texts().get_submodule, submodule_id);
}

}  // namespace

void register_conversion_walk(py::module_ &m) {
    m.def("get_pretrained_zyl_attr", &get_pretrained_zyl_attr, "pretrained_dendrite"_a, "member"_a,
          "getattr(pretrained_dendrite, member), or None when pretrained_dendrite is None.");
    m.def("get_pretrained_zyl_var", &get_pretrained_zyl_var, "pretrained_dendrite"_a,
          "submodule_id"_a,
          "pretrained_dendrite.get_submodule(submodule_id), or None when pretrained_dendrite "
          "is None.");
    m.attr("ModuleType") = m.attr("ZYLModulePyThread");
    m.attr("doing_threading") = false;
    m.def("make_module", &make_module, "module"_a,
          "A new ModuleType (ZYLModulePyThread) built from the dendrite layer `module`.");
    m.def("refresh_zyl", &refresh_zyl, "net"_a, "depth"_a, "name_so_far"_a, "converted_list"_a,
          "Convert net's subtree in place; returns the module that stands in net's place.");
    m.def("refresh_net", &refresh_net, "pretrained_dendrite"_a,
          "Replace every dendrite layer of a trained network by a ZYLModulePyThread; returns "
          "the network (a new module when the root itself is a dendrite layer).");
}

}  // namespace zyl
