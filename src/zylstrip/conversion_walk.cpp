// The walk that converts a trained network: every dendrite layer it reaches
// is replaced, on its parent and under the same name, by a ModuleType
// (ZYLModulePyThread) built from it.  The walk is not a hot path; it follows
// the interpreter's semantics step by step (`!=`, `in`, `+=`, getattr) so that
// whatever the network's classes define is honoured.
#include "prelude.hpp"

#include "zylstrip.hpp"

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

bool is_dendrite_layer(py::handle obj) {
    py::object name = type_of(obj).attr("__name__");
    return name.equal(py::str("ZYLLayer"));
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
    py::object cls = type_of(net);
    if (contains(pc().attr("get_modules_to_track")(), cls)) return false;

    py::object next_depth = depth + py::int_(1);
    py::object module_class = global("nn").attr("Module");
    const bool at_root = name_so_far.equal(py::str(""));
    py::handle property_type = reinterpret_cast<PyObject *>(&PyProperty_Type);

    for (py::handle member : all_members) {
        // A property is never read on the instance: reading it may compute
        // or fail.
        if (py::isinstance(getattr_or_none(cls, member), property_type)) continue;
        py::object value;
        try {
            value = getattr_or_none(net, member);
        } catch (py::error_already_set &e) {
            if (!e.matches(PyExc_Exception)) throw;
            continue;
        }
        py::object sub_name = name_so_far + py::str(".") + member;
        if (member.equal(py::str("device")) || member.equal(py::str("dtype"))) continue;
        if (contains(pc().attr("get_module_names_to_not_save")(), sub_name)) continue;
        if (at_root && contains(converted_list, sub_name)) {
            if (extra_verbose()) {
                zyl::print(percent("Skipping %s during save", sub_name));
            }
            continue;
        }
        if (is_subclass(type_of(value), module_class) ||
            member.equal(py::str("layer_array"))) {
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
