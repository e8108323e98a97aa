// The walk that converts a trained network: every dendrite layer it reaches
// is replaced, on its parent and under the same name, by a ModuleType
// (ZYLModulePyThread) built from it.  The walk is not a hot path; it follows
// the interpreter's semantics step by step (`!=`, `in`, `+=`, getattr) so that
// whatever the network's classes define is honoured.
#include "prelude.hpp"

#include "zylstrip.hpp"

#include <cstring>
#include <optional>

namespace zyl {

namespace {

bool truth(py::handle value) {
    const int result = PyObject_IsTrue(value.ptr());
    if (result < 0) throw py::error_already_set();
    return result != 0;
}

bool differs(py::handle a, py::handle b) { return a.not_equal(b); }

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

py::object type_of(py::handle obj) { return py::reinterpret_borrow<py::object>(py::type::handle_of(obj)); }

// format % args
py::object percent(const char *format, py::handle args) {
    PyObject *text = PyNumber_Remainder(py::str(format).ptr(), args.ptr());
    if (text == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(text);
}

py::str interned(const char *text) {
    PyObject *name = PyUnicode_InternFromString(text);
    if (name == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(name);
}

// Names and texts of the member loop, which runs once per member of every
// module: made once per process instead of once per use.
struct WalkTexts {
    py::str gzl = interned("GZL"), pc = interned("pc"),
            not_to_save = interned("get_module_names_to_not_save"),
            name_attr = interned("__name__"), getattribute = interned("__getattribute__"),
            dot = interned("."), device = interned("device"), dtype = interned("dtype"),
            layer_array = interned("layer_array"), dendrite_class = interned("ZYLLayer");
    py::object generic_getattribute = py::reinterpret_borrow<py::object>(
        reinterpret_cast<PyObject *>(&PyBaseObject_Type)).attr("__getattribute__");
};

const WalkTexts &texts() {
    PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<WalkTexts> storage;
    return storage.call_once_and_store_result([] { return WalkTexts(); }).get_stored();
}

bool same_text(py::handle value, const py::str &text) {
    if (value.ptr() == text.ptr()) return true;
    if (PyUnicode_CheckExact(value.ptr())) {
        return PyUnicode_Compare(value.ptr(), text.ptr()) == 0;
    }
    return value.equal(text);
}

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

// What getattr(cls, member) gives when the class attribute itself says so
// without running anything: a property (true), a plain function or no
// attribute at all (false).  Empty when only the full lookup can tell.
std::optional<bool> class_property_quick(py::handle cls, py::handle member) {
    if (Py_TYPE(cls.ptr()) != &PyType_Type || !PyUnicode_CheckExact(member.ptr())) return {};
    // An attribute of the metatype would take part in the lookup.
    if (_PyType_Lookup(&PyType_Type, member.ptr()) != nullptr) return {};
    PyObject *raw = _PyType_Lookup(reinterpret_cast<PyTypeObject *>(cls.ptr()), member.ptr());
    if (raw == nullptr) return false;  // AttributeError: None, not a property
    if (Py_TYPE(raw) == &PyProperty_Type) return true;  // property.__get__(None, cls) is itself
    if (PyFunction_Check(raw)) return false;             // a function gives itself
    return {};
}

bool extra_verbose() { return truth(pc().attr("get_extra_verbose")()); }

// converted_list is shared by every level and only ever extended in place.
void record(py::handle converted_list, py::handle name) {
    py::list one;
    one.append(name);
    py::object result = py::reinterpret_steal<py::object>(
        PyNumber_InPlaceAdd(converted_list.ptr(), one.ptr()));
    if (!result) throw py::error_already_set();
}

py::object element_name(py::handle name_so_far, py::handle id) {
    return name_so_far + py::str("[") + py::str(id) + py::str("]");
}

// Children of an nn.Sequential or nn.ModuleList.  Names are read lazily from
// named_children(), as replacing a child leaves the container's size as is.
void walk_container(py::handle net, py::handle depth, py::handle name_so_far,
                    py::handle converted_list) {
    py::object next_depth = depth + py::int_(1);
    for (py::handle child : net.attr("named_children")()) {
        py::object submodule_id = child[py::int_(0)];
        if (differs(net, net.attr("get_submodule")(submodule_id))) {
            py::object sub_name = element_name(name_so_far, submodule_id);
            record(converted_list, sub_name);
            py::setattr(net, submodule_id,
                        call("refresh_zyl", net.attr("get_submodule")(submodule_id), next_depth,
                             sub_name, converted_list));
        }
        if (is_dendrite_layer(net.attr("get_submodule")(submodule_id))) {
            py::setattr(net, submodule_id,
                        call("make_module", call("get_pretrained_zyl_var", net, submodule_id)));
        }
    }
}

// A plain list (a layer_array held as a list, for one) has no
// named_children(): its elements are walked by index instead, with the same
// "[i]" path names, and dendrite layers in it are replaced in place.  Only
// modules and nested lists are entered, as named_children() yields only
// modules.
void walk_list(py::handle net, py::handle depth, py::handle name_so_far,
               py::handle converted_list) {
    py::object next_depth = depth + py::int_(1);
    py::object module_class = global("nn").attr("Module");
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(net.ptr()); ++i) {
        py::int_ index(i);
        py::object element = net[index];
        const bool enter = py::isinstance(element, module_class) ||
                           PyList_Check(element.ptr()) != 0;
        if (enter && !element.is(net)) {
            py::object sub_name = element_name(name_so_far, index);
            record(converted_list, sub_name);
            net[index] = call("refresh_zyl", element, next_depth, sub_name, converted_list);
        }
        py::object current = net[index];
        if (is_dendrite_layer(current)) net[index] = call("make_module", current);
    }
}

// Members of any other module.  Returns false when the module's class is
// tracked: it is then left as it is, unentered.
bool walk_members(py::handle net, py::handle depth, py::handle name_so_far,
                  py::handle converted_list, py::handle all_members) {
    const WalkTexts &t = texts();
    py::object cls = type_of(net);
    if (contains(pc().attr("get_modules_to_track")(), cls)) return false;

    py::object next_depth = depth + py::int_(1);
    py::object module_class = global("nn").attr("Module");
    const bool at_root = name_so_far.equal(py::str(""));
    py::handle property_type = reinterpret_cast<PyObject *>(&PyProperty_Type);
    // name_so_far + "." + member, with the first half made once.
    py::object prefix = name_so_far + t.dot;
    // GZL.pc is the same object at every lookup: looked up once per module;
    // its getter is still called for every member.
    py::object config = global("GZL").attr(t.pc);

    // A member that the instance finds as a plain function of its class
    // reads as a bound method, which is neither a module nor a dendrite
    // layer: while attribute lookup is the ordinary one and the instance
    // dict does not hold the name, such reads have no effect and need not
    // be made.
    py::object instance_dict;
    bool plain_lookup = false;
    if (Py_TYPE(cls.ptr()) == &PyType_Type) {
        PyObject *getattribute =
            _PyType_Lookup(reinterpret_cast<PyTypeObject *>(cls.ptr()), t.getattribute.ptr());
        if (getattribute == t.generic_getattribute.ptr()) {
            PyObject *dict = PyObject_GenericGetDict(net.ptr(), nullptr);
            if (dict != nullptr && PyDict_CheckExact(dict)) {
                instance_dict = py::reinterpret_steal<py::object>(dict);
                plain_lookup = true;
            } else {
                Py_XDECREF(dict);
                PyErr_Clear();
            }
        }
    }
    auto reads_as_method = [&](py::handle member) {
        if (!plain_lookup || !PyUnicode_CheckExact(member.ptr())) return false;
        PyObject *raw = _PyType_Lookup(reinterpret_cast<PyTypeObject *>(cls.ptr()), member.ptr());
        if (raw == nullptr || !PyFunction_Check(raw)) return false;
        PyObject *own = PyDict_GetItemWithError(instance_dict.ptr(), member.ptr());
        if (own == nullptr && PyErr_Occurred()) throw py::error_already_set();
        return own == nullptr && !same_text(member, t.layer_array);
    };

    for (py::handle member : all_members) {
        // A property is never read on the instance: reading it may compute
        // or fail.
        std::optional<bool> is_property = class_property_quick(cls, member);
        if (!is_property) {
            is_property = py::isinstance(getattr_or_none(cls, member), property_type);
        }
        if (*is_property) continue;
        const bool method = reads_as_method(member);
        py::object value;
        if (!method) {
            try {
                value = getattr_or_none(net, member);
            } catch (py::error_already_set &e) {
                if (!e.matches(PyExc_Exception)) throw;
                continue;
            }
        }
        py::object sub_name = prefix + py::reinterpret_borrow<py::object>(member);
        if (same_text(member, t.device) || same_text(member, t.dtype)) continue;
        PyObject *not_to_save = PyObject_CallMethodNoArgs(config.ptr(), t.not_to_save.ptr());
        if (not_to_save == nullptr) throw py::error_already_set();
        if (contains(py::reinterpret_steal<py::object>(not_to_save), sub_name)) continue;
        if (at_root && contains(converted_list, sub_name)) {
            if (extra_verbose()) {
                zyl::print(percent("Skipping %s during save", sub_name));
            }
            continue;
        }
        if (method) continue;
        if (is_subclass(type_of(value), module_class) || same_text(member, t.layer_array)) {
            record(converted_list, sub_name);
            if (differs(net, py::getattr(net, member))) {
                py::setattr(net, member,
                            call("refresh_zyl", py::getattr(net, member), next_depth, sub_name,
                                 converted_list));
            }
        }
        if (is_dendrite_layer(getattr_or_none(net, member))) {
            py::setattr(net, member,
                        call("make_module", call("get_pretrained_zyl_attr", net, member)));
        }
    }
    return true;
}

py::object refresh_zyl(py::object net, py::object depth, py::object name_so_far,
                       py::object converted_list) {
    if (extra_verbose()) {
        py::object depth_text = percent("%d", py::make_tuple(depth));
        zyl::print(py::str("CL calling convert on ") + py::str(net) + py::str(" depth ") + depth_text);
        zyl::print(py::str("CL calling convert on ") + name_so_far + py::str(": ") +
              type_of(net).attr("__name__") + py::str(", depth ") + depth_text);
    }
    if (type_of(net).is(global("ModuleType"))) {
        if (extra_verbose()) {
            zyl::print("this is only being called because something in your model is pointed to "
                  "twice by two different variables.  Highest thing on the list is one of the "
                  "duplicates");
        }
        return net;
    }
    py::object all_members = net.attr("__dir__")();

    py::object cls = type_of(net);
    py::object nn = global("nn");
    if (is_subclass(cls, nn.attr("Sequential")) || is_subclass(cls, nn.attr("ModuleList"))) {
        walk_container(net, depth, name_so_far, converted_list);
    } else if (is_subclass(cls, reinterpret_cast<PyObject *>(&PyList_Type))) {
        walk_list(net, depth, name_so_far, converted_list);
    } else if (!walk_members(net, depth, name_so_far, converted_list, all_members)) {
        return net;
    }
    if (is_dendrite_layer(net)) net = call("make_module", net);
    return net;
}

py::object refresh_net(py::object pretrained_dendrite) {
    return call("refresh_zyl", pretrained_dendrite, 0, "", py::list());
}

py::object make_module(py::object module) { return global("ModuleType")(module); }

py::object get_pretrained_zyl_attr(py::object pretrained_dendrite, py::object member) {
    if (pretrained_dendrite.is_none()) return py::none();
    return py::getattr(pretrained_dendrite, member);
}

py::object get_pretrained_zyl_var(py::object pretrained_dendrite, py::object submodule_id) {
    if (pretrained_dendrite.is_none()) return py::none();
    return pretrained_dendrite.attr("get_submodule")(submodule_id);
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
