// Reading, showing, cycling, writing and parsing run settings of GZL.pc.
#include "prelude.hpp"

#include "model.hpp"

namespace zyl {

namespace {

constexpr const char *kUnavailable = "<unavailable>";

// hasattr(obj, name) and the attribute itself, with the same rule.
bool lookup_attr(py::handle obj, py::handle name, py::object &out) {
    try {
        out = obj.attr(name);
        return true;
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_AttributeError)) throw;
    }
    return false;
}

bool is_callable(py::handle obj) { return PyCallable_Check(obj.ptr()) != 0; }


// The success edit result is fixed; built once.
py::tuple edit_ok() {
    PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<py::tuple> storage;
    return storage.call_once_and_store_result([] { return py::make_tuple(true, ""); }).get_stored();
}

py::tuple edit_refused(py::object message) { return py::make_tuple(false, message); }

// Position of the first element equal to `value`, or -1.
py::ssize_t index_of(py::handle sequence, py::handle value) {
    py::ssize_t index = 0;
    for (py::handle element : sequence) {
        if (equals(element, value)) return index;
        ++index;
    }
    return -1;
}

py::object format_setting_value(py::object value) {
    if (value.is_none()) return py::str("None");
    py::object text = is_callable(value) ? global("GZL").attr("callable_config_repr")(value)
                                         : py::object(text_form(value));
    if (py::len(text) > 140) {
        py::object head = text[py::slice(0, 137, 1)];
        return head + py::str("...");
    }
    return text;
}

py::list switch_mode_values() {
    py::object pc_obj = pc();
    py::list values;
    for (const char *name :
         {"DOING_SWITCH_EVERY_TIME", "DOING_HISTORY", "DOING_FIXED_SWITCH", "DOING_NO_SWITCH"}) {
        values.append(pc_obj.attr(name));
    }
    return values;
}

py::object get_enum_options(py::object setting_name) {
    if (equals(setting_name, py::str("switch_mode"))) return call("_switch_mode_values");
    if (equals(setting_name, py::str("zyl_forward_function"))) {
        // A new list: py::list(...) of a list would hand out the constant.
        py::list names;
        for (py::handle name : global("FORWARD_FUNCTION_NAMES")) names.append(name);
        return names;
    }
    return py::none();
}

py::object format_run_setting_value(py::object setting_name, py::object value) {
    if (equals(setting_name, py::str("switch_mode"))) {
        py::ssize_t index = index_of(call("_switch_mode_values"), value);
        py::object names = global("SWITCH_MODE_NAMES");
        if (index >= 0 && index < static_cast<py::ssize_t>(py::len(names))) {
            return names[py::int_(index)];
        }
        return text_form(value);
    }
    if (equals(setting_name, py::str("zyl_forward_function"))) {
        py::object name = getattr_or_none(value, py::str("__name__"));
        if (global("FORWARD_FUNCTION_NAMES").contains(name)) return name;
    }
    return call("format_setting_value", value);
}

py::object cycle_enum_setting(py::object setting_name, py::object current_value) {
    py::object options = call("get_enum_options", setting_name);
    if (options.is_none() || !py::bool_(options)) {
        return edit_refused(py::str(setting_name) + py::str(" is not an enum setting."));
    }
    auto count = static_cast<py::ssize_t>(py::len(options));
    py::ssize_t index = enum_option_position(setting_name, options, current_value);
    // The interpreter's own remainder: options that test true yet report no
    // length (a rebound get_enum_options) give its ZeroDivisionError.
    py::object next_option =
        options[owned(PyNumber_Remainder(py::int_(index + 1).ptr(), py::int_(count).ptr()))];
    if (equals(setting_name, py::str("zyl_forward_function"))) {
        py::object torch = global("torch");
        py::object new_value = torch.is_none() ? next_option : py::object(torch.attr(next_option));
        return call("apply_setting_value", setting_name, new_value);
    }
    return call("apply_setting_value", setting_name, next_option);
}

py::object get_global_setting_value(py::object setting_name) {
    py::object pc_obj = pc();
    py::object getter = getattr_or_none(pc_obj, py::str("get_") + setting_name);
    if (!getter.is_none()) {
        try {
            return getter();
        } catch (py::error_already_set &e) {
            if (!e.matches(PyExc_Exception)) throw;
            return py::str(kUnavailable);
        }
    }
    py::object plain;
    if (!lookup_attr(pc_obj, setting_name, plain) || is_callable(plain)) return py::str(kUnavailable);
    return plain;
}

py::object apply_setting_value(py::object setting_name, py::object value) {
    py::object pc_obj = pc();
    py::object setter = getattr_or_none(pc_obj, py::str("set_") + setting_name);
    if (!setter.is_none()) {
        setter(value);
        return edit_ok();
    }
    py::object plain;
    if (lookup_attr(pc_obj, setting_name, plain) && !is_callable(plain)) {
        py::setattr(pc_obj, setting_name, value);
        return edit_ok();
    }
    return edit_refused(py::str("Setting ") + py::str(setting_name) + py::str(" is not editable."));
}

py::object parse_value_from_text(py::object text, py::object sample_value) {
    if (Py_TYPE(sample_value.ptr()) == &PyBool_Type) {
        py::object lowered = text.attr("strip")().attr("lower")();
        for (const char *word : {"1", "true", "t", "yes", "y", "on"}) {
            if (equals(lowered, py::str(word))) return py::bool_(true);
        }
        for (const char *word : {"0", "false", "f", "no", "n", "off"}) {
            if (equals(lowered, py::str(word))) return py::bool_(false);
        }
        throw py::value_error("Expected boolean value (true/false).");
    }
    // The interpreter's own conversions, so accepted forms and error texts
    // are exactly those of int() and float().
    if (PyLong_Check(sample_value.ptr())) return builtin("int")(text.attr("strip")(), 10);
    if (PyFloat_Check(sample_value.ptr())) return builtin("float")(text.attr("strip")());
    return text;
}

py::dict get_all_global_parameters() {
    py::object data = call("load_description_data");
    py::object by_bucket = data.attr("get")("settings_by_bucket", py::dict());
    py::object runtime_only = global("RUNTIME_ONLY_CONFIG_KEYS");
    py::dict values;
    for (py::handle bucket_name : data.attr("get")("bucket_order", py::list())) {
        for (py::handle name : by_bucket.attr("get")(bucket_name, py::list())) {
            if (runtime_only.contains(name)) continue;
            values[name] = call("get_global_setting_value", name);
        }
    }
    return values;
}

}  // namespace

py::ssize_t enum_option_position(py::handle setting_name, py::handle options, py::handle value) {
    if (equals(setting_name, py::str("zyl_forward_function"))) {
        return index_of(options, getattr_or_none(value, py::str("__name__")));
    }
    return index_of(options, value);
}

void register_setting_values(py::module_ &m) {
    m.def("format_setting_value", &format_setting_value, "value"_a,
          "Display text of a setting value, at most 140 characters.");
    m.def("_switch_mode_values", &switch_mode_values,
          "The four switch-mode constants of GZL.pc, in option order.");
    m.def("get_enum_options", &get_enum_options, "setting_name"_a,
          "Option list of an enumerated setting, or None.");
    m.def("format_run_setting_value", &format_run_setting_value, "setting_name"_a, "value"_a,
          "Display text of a run setting's value, naming enumeration options.");
    m.def("cycle_enum_setting", &cycle_enum_setting, "setting_name"_a, "current_value"_a,
          "Write the option after the current one; returns (ok, message).");
    m.def("get_global_setting_value", &get_global_setting_value, "setting_name"_a,
          "Current value of a run setting, or '<unavailable>'.");
    m.def("apply_setting_value", &apply_setting_value, "setting_name"_a, "value"_a,
          "Write a run setting; returns (ok, message).");
    m.def("parse_value_from_text", &parse_value_from_text, "text"_a, "sample_value"_a,
          "Convert typed text to the type of sample_value; raises ValueError.");
    m.def("get_all_global_parameters", &get_all_global_parameters,
          "Current value of every described run setting.");
}

}  // namespace zyl
