// The walk that converts a trained network: every dendrite layer it reaches
// is replaced, on its parent and under the same name, by a ModuleType
// (ZYLModulePyThread) built from it.  The walk follows the interpreter's
// semantics step by step (`!=`, `in`, `+=`, getattr) so that whatever the
// network's classes define is honoured.
//
// Its cost is per member: every name that __dir__ lists for every module it
// enters (about 125 for a plain nn.Module), most of them methods of the
// class.  Reading a method on an instance only binds it, and the result (a
// bound method) is neither a module nor a dendrite layer, so while the class
// reads attributes the plain way such reads are told from the class and the
// instance dict instead of being made; every other read is made, through
// attribute_lookup for modules.  The configuration getter is still called
// once per member, as the path test requires, but the path name it tests is
// made as a text only when the test needs one (see PathName).
#include "prelude.hpp"

#include "attribute_lookup.hpp"
#include "zylstrip.hpp"

#include <cstring>
#include <optional>

namespace zyl {

namespace {

py::object borrowed(PyObject *value) { return py::reinterpret_borrow<py::object>(value); }

// Python's a != b: the operator itself, with no identity shortcut.
bool differs(py::handle a, py::handle b) {
    return truthy(owned(PyObject_RichCompare(a.ptr(), b.ptr(), Py_NE)));
}

bool contains(py::handle container, py::handle value) {
    const int result = PySequence_Contains(container.ptr(), value.ptr());
    if (result < 0) throw py::error_already_set();
    return result != 0;
}

bool is_subclass(py::handle cls, py::handle base) {
    const int result = PyObject_IsSubclass(cls.ptr(), base.ptr());
    if (result < 0) throw py::error_already_set();
    return result != 0;
}

bool is_instance(py::handle value, py::handle cls) {
    const int result = PyObject_IsInstance(value.ptr(), cls.ptr());
    if (result < 0) throw py::error_already_set();
    return result != 0;
}

py::object type_of(py::handle obj) { return py::reinterpret_borrow<py::object>(py::type::handle_of(obj)); }

void set_attr(py::handle obj, py::handle name, py::handle value) {
    if (PyObject_SetAttr(obj.ptr(), name.ptr(), value.ptr()) < 0) throw py::error_already_set();
}

// format % args
py::object percent(const char *format, py::handle args) {
    return owned(PyNumber_Remainder(py::str(format).ptr(), args.ptr()));
}

py::str interned(const char *text) {
    PyObject *name = PyUnicode_InternFromString(text);
    if (name == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(name);
}

// Names and texts of the walk, made once per process instead of once per use.
struct WalkTexts {
    py::str gzl = interned("GZL"), pc = interned("pc"), nn = interned("nn"),
            module = interned("Module"), sequential = interned("Sequential"),
            module_list = interned("ModuleList"), module_type = interned("ModuleType"),
            extra_verbose = interned("get_extra_verbose"),
            to_track = interned("get_modules_to_track"),
            not_to_save = interned("get_module_names_to_not_save"), dir = interned("__dir__"),
            named_children = interned("named_children"), get_submodule = interned("get_submodule"),
            name_attr = interned("__name__"), dot = interned("."), empty = interned(""),
            device = interned("device"), dtype = interned("dtype"),
            layer_array = interned("layer_array"), dendrite_class = interned("ZYLLayer");
};

const WalkTexts &texts() {
    PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<WalkTexts> storage;
    return storage.call_once_and_store_result([] { return WalkTexts(); }).get_stored();
}

// value == text, for one of our own interned texts.  Two interned texts are
// equal only when they are the same object.
bool same_text(py::handle value, const py::str &text) {
    PyObject *v = value.ptr();
    if (v == text.ptr()) return true;
    if (PyUnicode_CheckExact(v)) {
        if (PyUnicode_CHECK_INTERNED(v)) return false;
        return PyUnicode_GET_LENGTH(v) == PyUnicode_GET_LENGTH(text.ptr()) &&
               PyUnicode_Compare(v, text.ptr()) == 0;
    }
    return value.equal(text);
}

// GZL.pc, looked up now.
py::object run_config() { return global("GZL").attr(texts().pc); }

bool extra_verbose() { return truthy(call_method(run_config(), texts().extra_verbose)); }

// type(obj).__name__ == "ZYLLayer".  For a class of the plain metatype the
// name is read where __name__ reads it, without making a text object.
bool is_dendrite_layer(py::handle obj) {
    const WalkTexts &t = texts();
    PyTypeObject *type = Py_TYPE(obj.ptr());
    if (Py_TYPE(type) == &PyType_Type) {
        if (type->tp_flags & Py_TPFLAGS_HEAPTYPE) {
            PyObject *name = reinterpret_cast<PyHeapTypeObject *>(type)->ht_name;
            return PyUnicode_Compare(name, t.dendrite_class.ptr()) == 0;
        }
        const char *name = std::strrchr(type->tp_name, '.');
        return std::strcmp(name ? name + 1 : type->tp_name, "ZYLLayer") == 0;
    }
    py::object name = type_of(obj).attr(t.name_attr);
    return same_text(name, t.dendrite_class);
}

// isinstance(getattr(cls, member, None), property), told from the class
// attribute when that runs nothing: a property (its __get__ on the class
// gives itself), a function or built-in descriptor (never a property), or a
// plain value (itself).  Empty when only the full lookup can tell.
std::optional<bool> quick_property(PyTypeObject *type, py::handle member) {
    if (Py_TYPE(type) != &PyType_Type || !PyUnicode_CheckExact(member.ptr())) return {};
    // An attribute of the metatype would take part in the lookup.
    if (_PyType_Lookup(&PyType_Type, member.ptr()) != nullptr) return {};
    PyObject *raw = _PyType_Lookup(type, member.ptr());
    if (raw == nullptr) return false;  // AttributeError: None, not a property
    PyTypeObject *raw_type = Py_TYPE(raw);
    if (raw_type == &PyProperty_Type) return true;
    if (raw_type == &PyFunction_Type || raw_type == &PyMethodDescr_Type ||
        raw_type == &PyWrapperDescr_Type || raw_type == &PyGetSetDescr_Type ||
        raw_type == &PyMemberDescr_Type) {
        return false;
    }
    if (raw_type == &PyClassMethodDescr_Type) {
        if (PyType_IsSubtype(type, PyDescr_TYPE(raw))) return false;
        return {};  // the lookup raises TypeError
    }
    if (raw_type->tp_descr_get == nullptr) {
        return is_instance(borrowed(raw), reinterpret_cast<PyObject *>(&PyProperty_Type));
    }
    return {};
}

// getattr(obj, member, None) on a member of the walk: a bound method when
// the class says so (empty result, `method` set), else the value read.
struct MemberValue {
    py::object value;
    bool method = false;
};

MemberValue read_member(py::handle obj, py::handle member) {
    PyObject *o = obj.ptr();
    if (lookup::reads_plainly(Py_TYPE(o))) {
        py::object dict = lookup::instance_dict(obj);
        if (dict) {
            lookup::QuickRead quick = lookup::quick_read(o, dict.ptr(), member.ptr());
            if (quick.kind == lookup::Quick::method) return {py::object(), true};
            if (quick.kind == lookup::Quick::value) return {borrowed(quick.value), false};
        }
    }
    py::object value = lookup::attr_if_present(obj, member);
    return {value ? value : py::object(py::none()), false};
}

// converted_list is shared by every level and only ever extended in place
// (list +=, which for a list is an append).
void record(py::handle converted_list, py::handle name) {
    if (PyList_CheckExact(converted_list.ptr())) {
        if (PyList_Append(converted_list.ptr(), name.ptr()) < 0) throw py::error_already_set();
        return;
    }
    py::list one;
    one.append(name);
    owned(PyNumber_InPlaceAdd(converted_list.ptr(), one.ptr()));
}

// name_so_far + "[" + str(id) + "]", evaluated in that order.
py::object element_name(py::handle name_so_far, py::handle id) {
    if (!PyUnicode_CheckExact(name_so_far.ptr())) {
        py::object head = name_so_far + py::str("[");
        return head + owned(PyObject_Str(id.ptr())) + py::str("]");
    }
    py::object id_text = owned(PyObject_Str(id.ptr()));
    if (PyUnicode_CheckExact(id_text.ptr())) {
        return owned(PyUnicode_FromFormat("%U[%U]", name_so_far.ptr(), id_text.ptr()));
    }
    return name_so_far + py::str("[") + id_text + py::str("]");
}

// Adding texts runs nothing when both are plain texts.
bool plain_texts(py::handle a, py::handle b) {
    return PyUnicode_CheckExact(a.ptr()) && PyUnicode_CheckExact(b.ptr());
}

// depth + 1, made once for an int depth (the sum of two ints runs nothing).
struct NextDepth {
    py::handle depth;
    py::object once;
    explicit NextDepth(py::handle d) : depth(d) {
        if (PyLong_CheckExact(d.ptr())) once = depth + py::int_(1);
    }
    py::object get() const { return once ? once : depth + py::int_(1); }
};

py::object refresh_zyl(py::object net, py::object depth, py::object name_so_far,
                       py::object converted_list);
py::object make_module(py::object module);
py::object get_pretrained_zyl_attr(py::object pretrained_dendrite, py::object member);
py::object get_pretrained_zyl_var(py::object pretrained_dendrite, py::object submodule_id);

py::object call_refresh(py::handle net, py::handle depth, py::handle name, py::handle list) {
    return call_own<&refresh_zyl>("refresh_zyl", borrowed(net.ptr()), borrowed(depth.ptr()),
                                  borrowed(name.ptr()), borrowed(list.ptr()));
}

py::object call_make_module(py::handle module) {
    return call_own<&make_module>("make_module", borrowed(module.ptr()));
}

// Children of an nn.Sequential or nn.ModuleList.  Names are read lazily from
// named_children(), as replacing a child leaves the container's size as is.
void walk_container(py::handle net, py::handle depth, py::handle name_so_far,
                    py::handle converted_list) {
    const WalkTexts &t = texts();
    NextDepth next_depth(depth);
    py::object children = owned(PyObject_GetIter(call_method(net, t.named_children).ptr()));
    while (PyObject *next = PyIter_Next(children.ptr())) {
        py::object child = py::reinterpret_steal<py::object>(next);
        py::object submodule_id = unpack_pair(child).first;
        if (differs(net, call_method(net, t.get_submodule, submodule_id))) {
            py::object sub_name = element_name(name_so_far, submodule_id);
            record(converted_list, sub_name);
            py::object target = call_method(net, t.get_submodule, submodule_id);
            py::object depth_arg = next_depth.get();
            // The path name is spelt out twice; made again only when making
            // it runs something.
            if (!plain_texts(name_so_far, submodule_id)) {
                sub_name = element_name(name_so_far, submodule_id);
            }
            set_attr(net, submodule_id, call_refresh(target, depth_arg, sub_name, converted_list));
        }
        if (is_dendrite_layer(call_method(net, t.get_submodule, submodule_id))) {
            py::object layer = call_own<&get_pretrained_zyl_var>("get_pretrained_zyl_var",
                                                                 borrowed(net.ptr()), submodule_id);
            set_attr(net, submodule_id, call_make_module(layer));
        }
    }
    if (PyErr_Occurred()) throw py::error_already_set();
}

// A plain list (a layer_array held as a list, for one) has no
// named_children(): its elements are walked by index instead, with the same
// "[i]" path names, and dendrite layers in it are replaced in place.  Only
// modules and nested lists are entered, as named_children() yields only
// modules.
void walk_list(py::handle net, py::handle depth, py::handle name_so_far,
               py::handle converted_list) {
    const WalkTexts &t = texts();
    NextDepth next_depth(depth);
    py::object module_class = global("nn").attr(t.module);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(net.ptr()); ++i) {
        py::int_ index(i);
        py::object element = net[index];
        const bool enter = is_instance(element, module_class) || PyList_Check(element.ptr()) != 0;
        if (enter && !element.is(net)) {
            py::object sub_name = element_name(name_so_far, index);
            record(converted_list, sub_name);
            net[index] = call_refresh(element, next_depth.get(), sub_name, converted_list);
        }
        py::object current = net[index];
        if (is_dendrite_layer(current)) net[index] = call_make_module(current);
    }
}

// A member's path name, prefix + member, for a plain-text prefix and member:
// `in` tests against a plain list of plain texts compare with the parts
// (comparing texts runs nothing), and the text itself is made on first use.
class PathName {
public:
    PathName(py::handle prefix, py::handle member) : prefix_(prefix), member_(member) {
        lazy_ = prefix && PyUnicode_CheckExact(prefix.ptr()) && PyUnicode_CheckExact(member.ptr());
    }
    bool lazy() const { return lazy_; }
    void set(py::object text) { text_ = std::move(text); }

    const py::object &text() {
        if (!text_) text_ = owned(PyUnicode_Concat(prefix_.ptr(), member_.ptr()));
        return text_;
    }

    // text() in container
    bool is_in(py::handle container) {
        if (!text_ && lazy_) {
            const int found = in_plain_list(container.ptr());
            if (found >= 0) return found != 0;
        }
        return contains(container, text());
    }

private:
    static Py_ssize_t text_length(PyObject *text) {
        const Py_ssize_t length = PyUnicode_GetLength(text);
        if (length < 0) throw py::error_already_set();
        return length;
    }

    // 1 or 0 when the container is a list whose items up to the first equal
    // one are plain texts; -1 when only the real test can tell.
    int in_plain_list(PyObject *list) const {
        if (!PyList_CheckExact(list)) return -1;
        const Py_ssize_t head = text_length(prefix_.ptr());
        const Py_ssize_t whole = head + text_length(member_.ptr());
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
            PyObject *item = PyList_GET_ITEM(list, i);
            if (!PyUnicode_CheckExact(item)) return -1;
            if (text_length(item) != whole) continue;
            const Py_ssize_t starts = PyUnicode_Tailmatch(item, prefix_.ptr(), 0, head, -1);
            if (starts < 0) throw py::error_already_set();
            if (starts == 0) continue;
            const Py_ssize_t ends = PyUnicode_Tailmatch(item, member_.ptr(), head, whole, 1);
            if (ends < 0) throw py::error_already_set();
            if (ends != 0) return 1;
        }
        return 0;
    }

    py::handle prefix_;
    py::handle member_;
    py::object text_;
    bool lazy_ = false;
};

// Members of any other module.  Returns false when the module's class is
// tracked: it is then left as it is, unentered.
bool walk_members(py::handle net, py::handle depth, py::handle name_so_far,
                  py::handle converted_list, py::handle all_members) {
    const WalkTexts &t = texts();
    py::object cls = type_of(net);
    auto *type = reinterpret_cast<PyTypeObject *>(cls.ptr());
    if (contains(call_method(run_config(), t.to_track), cls)) return false;

    NextDepth next_depth(depth);
    py::object module_class = global("nn").attr(t.module);
    const bool at_root = name_so_far.equal(t.empty);
    py::handle property_type = reinterpret_cast<PyObject *>(&PyProperty_Type);
    // name_so_far + "." + member, with the first half made once when adding
    // texts runs nothing.
    py::object prefix;
    if (PyUnicode_CheckExact(name_so_far.ptr())) {
        prefix = owned(PyUnicode_Concat(name_so_far.ptr(), t.dot.ptr()));
    }
    // GZL.pc is the same object at every lookup: looked up once per module;
    // its getter is still called for every member.
    py::object config = run_config();

    py::object members = owned(PyObject_GetIter(all_members.ptr()));
    while (PyObject *next = PyIter_Next(members.ptr())) {
        py::object member = py::reinterpret_steal<py::object>(next);
        // A property is never read on the instance: reading it may compute
        // or fail.
        std::optional<bool> is_property = quick_property(type, member);
        if (!is_property) {
            py::object on_class = getattr_or_none(cls, member);
            is_property = is_instance(on_class, property_type);
        }
        if (*is_property) continue;

        MemberValue first;
        try {
            first = read_member(net, member);
        } catch (py::error_already_set &e) {
            if (!e.matches(PyExc_Exception)) throw;
            continue;
        }
        // sub_name = name_so_far + "." + member.  Joining two plain texts
        // runs nothing, so then the text is only made once it is needed:
        // most members are only looked for in plain lists of plain texts.
        PathName sub_name(prefix, member);
        if (!sub_name.lazy()) {
            py::object head = prefix ? prefix : name_so_far + t.dot;
            sub_name.set(owned(PyNumber_Add(head.ptr(), member.ptr())));
        }
        if (same_text(member, t.device) || same_text(member, t.dtype)) continue;
        if (sub_name.is_in(call_method(config, t.not_to_save))) continue;
        if (at_root && sub_name.is_in(converted_list)) {
            if (extra_verbose()) {
                zyl::print(percent("Skipping %s during save", sub_name.text()));
            }
            continue;
        }
        const bool is_layer_array = same_text(member, t.layer_array);
        if (is_layer_array ||
            (!first.method && is_subclass(type_of(first.value), module_class))) {
            record(converted_list, sub_name.text());
            if (differs(net, lookup::attr(net, member))) {
                py::object target = lookup::attr(net, member);
                set_attr(net, member,
                         call_refresh(target, next_depth.get(), sub_name.text(), converted_list));
            }
        }
        // Read afresh: the member may have been replaced meanwhile.
        MemberValue now = read_member(net, member);
        if (!now.method && is_dendrite_layer(now.value)) {
            py::object layer = call_own<&get_pretrained_zyl_attr>("get_pretrained_zyl_attr",
                                                                  borrowed(net.ptr()), member);
            set_attr(net, member, call_make_module(layer));
        }
    }
    if (PyErr_Occurred()) throw py::error_already_set();
    return true;
}

py::object refresh_zyl(py::object net, py::object depth, py::object name_so_far,
                       py::object converted_list) {
    const WalkTexts &t = texts();
    if (extra_verbose()) {
        py::object depth_text = percent("%d", py::make_tuple(depth));
        zyl::print(py::str("CL calling convert on ") + py::str(net) + py::str(" depth ") + depth_text);
        zyl::print(py::str("CL calling convert on ") + name_so_far + py::str(": ") +
              type_of(net).attr(t.name_attr) + py::str(", depth ") + depth_text);
    }
    if (type_of(net).is(global("ModuleType"))) {
        if (extra_verbose()) {
            zyl::print("this is only being called because something in your model is pointed to "
                  "twice by two different variables.  Highest thing on the list is one of the "
                  "duplicates");
        }
        return net;
    }
    py::object all_members = call_method(net, t.dir);

    py::object cls = type_of(net);
    py::object nn = global("nn");
    if (is_subclass(cls, nn.attr(t.sequential)) || is_subclass(cls, nn.attr(t.module_list))) {
        walk_container(net, depth, name_so_far, converted_list);
    } else if (is_subclass(cls, reinterpret_cast<PyObject *>(&PyList_Type))) {
        walk_list(net, depth, name_so_far, converted_list);
    } else if (!walk_members(net, depth, name_so_far, converted_list, all_members)) {
        return net;
    }
    if (is_dendrite_layer(net)) net = call_make_module(net);
    return net;
}

py::object refresh_net(py::object pretrained_dendrite) {
    return call_own<&refresh_zyl>("refresh_zyl", std::move(pretrained_dendrite),
                                  py::object(py::int_(0)), py::object(py::str("")),
                                  py::object(py::list()));
}

py::object make_module(py::object module) { return global("ModuleType")(module); }

py::object get_pretrained_zyl_attr(py::object pretrained_dendrite, py::object member) {
    if (pretrained_dendrite.is_none()) return py::none();
    return lookup::attr(pretrained_dendrite, member);
}

py::object get_pretrained_zyl_var(py::object pretrained_dendrite, py::object submodule_id) {
    if (pretrained_dendrite.is_none()) return py::none();
    return call_method(pretrained_dendrite, texts().get_submodule, submodule_id);
}

}  // namespace

void register_conversion_walk(py::module_ &m) {
    zyl::def<&get_pretrained_zyl_attr>(
        m, "get_pretrained_zyl_attr", "pretrained_dendrite"_a, "member"_a,
        "getattr(pretrained_dendrite, member), or None when pretrained_dendrite is None.");
    zyl::def<&get_pretrained_zyl_var>(
        m, "get_pretrained_zyl_var", "pretrained_dendrite"_a, "submodule_id"_a,
        "pretrained_dendrite.get_submodule(submodule_id), or None when pretrained_dendrite "
        "is None.");
    m.attr("ModuleType") = m.attr("ZYLModulePyThread");
    m.attr("doing_threading") = false;
    zyl::def<&make_module>(m, "make_module", "module"_a,
                           "A new ModuleType (ZYLModulePyThread) built from the dendrite layer "
                           "`module`.");
    zyl::def<&refresh_zyl>(
        m, "refresh_zyl", "net"_a, "depth"_a, "name_so_far"_a, "converted_list"_a,
        "Convert net's subtree in place; returns the module that stands in net's place.");
    zyl::def<&refresh_net>(
        m, "refresh_net", "pretrained_dendrite"_a,
        "Replace every dendrite layer of a trained network by a ZYLModulePyThread; returns "
        "the network (a new module when the root itself is a dendrite layer).");
}

}  // namespace zyl
