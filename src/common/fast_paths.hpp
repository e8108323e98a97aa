// When the shortcuts may be taken.  Every shortcut of both modules stands
// beside a plain route that makes the calls as written through the
// interpreter; the plain route is the reference and always correct, the
// shortcut only saves time where a user waits for it.
#pragma once

#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

namespace zyl {

// ZYLORA_NO_FAST_PATHS set to anything but "" or "0" sends every call down
// the plain route.  Read once, the first time a module asks (each module asks
// while it is imported), so a process never mixes the two routes.
inline bool fast_paths_enabled() {
    static const bool enabled = [] {
        const char *value = std::getenv("ZYLORA_NO_FAST_PATHS");
        return value == nullptr || std::string_view(value).empty() || std::string_view(value) == "0";
    }();
    return enabled;
}

// The torch releases (major.minor) that the whole suite has been run
// against.  A shortcut that copies torch's own behaviour (its containers'
// indexing, its module attribute lookup, its parameter and module walks) is
// taken only on one of these: on any other release the plain route runs.
inline constexpr std::string_view tested_torch_releases[] = {"2.13", "2.14"};

namespace detail {

// "2.13.0+cpu" -> "2.13"; anything else that does not start with two
// dot-separated numbers -> "".
inline std::string torch_release_of(std::string_view version) {
    std::size_t dots = 0, end = 0;
    for (; end < version.size(); ++end) {
        const char c = version[end];
        if (c == '.') {
            if (++dots == 2) break;
        } else if (c < '0' || c > '9') {
            break;
        }
    }
    if (dots == 0 || end == 0 || version[end - 1] == '.') return {};
    return std::string(version.substr(0, end));
}

}  // namespace detail

// Whether `torch` (the imported module) is one of the tested releases; read
// from torch.__version__ the first time it is asked, then remembered.
inline bool torch_release_tested(py::handle torch) {
    PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<bool> storage;
    return storage
        .call_once_and_store_result([&] {
            PyObject *version = PyObject_GetAttrString(torch.ptr(), "__version__");
            if (version == nullptr) {
                PyErr_Clear();
                return false;
            }
            auto held = py::reinterpret_steal<py::object>(version);
            if (!PyUnicode_Check(version)) return false;
            Py_ssize_t size = 0;
            const char *utf8 = PyUnicode_AsUTF8AndSize(version, &size);
            if (utf8 == nullptr) {
                PyErr_Clear();
                return false;
            }
            const std::string release =
                detail::torch_release_of(std::string_view(utf8, static_cast<std::size_t>(size)));
            for (std::string_view tested : tested_torch_releases) {
                if (release == tested) return true;
            }
            return false;
        })
        .get_stored();
}

namespace detail {

// The UTF-8 text of an exact str; nothing for anything else.
inline std::optional<std::string_view> exact_text(PyObject *value) {
    if (value == nullptr || !PyUnicode_CheckExact(value)) return std::nullopt;
    Py_ssize_t size = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(value, &size);
    if (utf8 == nullptr) {
        PyErr_Clear();
        return std::nullopt;
    }
    return std::string_view(utf8, static_cast<std::size_t>(size));
}

// `value` is an exact str equal to `text`.
inline bool is_text(PyObject *value, std::string_view text) {
    const std::optional<std::string_view> own = exact_text(value);
    return own && *own == text;
}

// code.<attribute> is an exact str equal to `text`.
inline bool code_attribute_is(PyObject *code, const char *attribute, std::string_view text) {
    PyObject *value = PyObject_GetAttrString(code, attribute);
    if (value == nullptr) {
        PyErr_Clear();
        return false;
    }
    const bool same = is_text(value, text);
    Py_DECREF(value);
    return same;
}

}  // namespace detail

// Whether `function` is the very function that torch's module `module_name`
// (already imported) defines as `qualname` ("Class.method"): a plain Python
// function that runs with that module's namespace as its globals, whose code
// was compiled from that module's file under that name.  Whatever stands in
// its place fails: a wrapper keeps none of these, however much of the
// original functools.wraps copies onto it (name, qualified name, module,
// docstring, __wrapped__) and whatever signature it takes; so does another
// of torch's functions put there.  A shortcut that copies what such a
// function does asks this of every function it stands in for, each time it
// decides for a class (the class's lookup may find a patch put there before
// or after this module was imported).
inline bool is_torch_own_function(py::handle function, const char *module_name,
                                  std::string_view qualname) {
    if (!function || !PyFunction_Check(function.ptr())) return false;
    PyObject *module = PyDict_GetItemString(PyImport_GetModuleDict(), module_name);
    if (module == nullptr || !PyModule_Check(module)) return false;
    PyObject *globals = PyModule_GetDict(module);
    if (globals == nullptr || PyFunction_GET_GLOBALS(function.ptr()) != globals) return false;
    const std::optional<std::string_view> file =
        detail::exact_text(PyDict_GetItemString(globals, "__file__"));
    if (!file) return false;
    PyObject *code = PyFunction_GET_CODE(function.ptr());
    const std::size_t dot = qualname.rfind('.');
    const std::string_view name = dot == std::string_view::npos ? qualname : qualname.substr(dot + 1);
    if (!detail::code_attribute_is(code, "co_filename", *file) ||
        !detail::code_attribute_is(code, "co_name", name)) {
        return false;
    }
    // The qualified name is recorded on the code from 3.11 on.
#if PY_VERSION_HEX >= 0x030B0000
    return detail::code_attribute_is(code, "co_qualname", qualname);
#else
    return true;
#endif
}

// A shortcut that copies torch's behaviour: allowed by the switch and by the
// release in use.
inline bool torch_shortcuts_allowed(py::handle torch) {
    return fast_paths_enabled() && torch_release_tested(torch);
}

}  // namespace zyl
