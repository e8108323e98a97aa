// When the shortcuts may be taken.  Every shortcut of both modules stands
// beside a plain route that makes the calls as written through the
// interpreter; the plain route is the reference and always correct, the
// shortcut only saves time where a user waits for it.
#pragma once

#include <cstdlib>
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

// A shortcut that copies torch's behaviour: allowed by the switch and by the
// release in use.
inline bool torch_shortcuts_allowed(py::handle torch) {
    return fast_paths_enabled() && torch_release_tested(torch);
}

}  // namespace zyl
