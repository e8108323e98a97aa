// Included first by every source of both extension modules.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/gil_safe_call_once.h>
#include <pybind11/stl.h>

#include <string>
#include <string_view>
#include <utility>

namespace py = pybind11;
using namespace py::literals;

namespace zyl {

// The extension module being defined.  Module-level functions reach one
// another and the module's globals (GZL, os, termios, ...) through its
// namespace at each call, so a caller that rebinds `zylsetup.read_single_key`
// or `zylsetup.os` is honoured everywhere.  A borrowed handle is enough: the
// module outlives every call made through it.
inline py::handle &module_slot() {
    static py::handle module;
    return module;
}

inline void bind_module(py::module_ &m) { module_slot() = m; }

inline py::module_ ns() { return py::reinterpret_borrow<py::module_>(module_slot()); }

// A module global, looked up now.
inline py::object global(const char *name) { return ns().attr(name); }

// Call a module-level function by name, looked up now.
template <typename... Args>
py::object call(const char *name, Args &&...args) {
    return ns().attr(name)(std::forward<Args>(args)...);
}

// The interpreter's builtins module, imported once.
inline py::module_ &builtins() {
    PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<py::module_> storage;
    return storage.call_once_and_store_result([] { return py::module_::import("builtins"); })
        .get_stored();
}

// A builtin (len, str, isinstance, ...), looked up now.
inline py::object builtin(const char *name) { return builtins().attr(name); }

// The run-configuration object, looked up afresh through the module's GZL.
inline py::object pc() { return global("GZL").attr("pc"); }

// Python text of any object, as str() gives it.
inline std::string text(py::handle obj) { return py::str(obj).cast<std::string>(); }

// Python's print(), keyword arguments included, so output goes through
// sys.stdout as the interpreter sees it at the moment of the call.
template <typename... Args>
void print(Args &&...args) {
    builtin("print")(std::forward<Args>(args)...);
}

// getattr(obj, name, None): only AttributeError means "absent"; any other
// error (an interrupt, a failing property) reaches the caller.
inline py::object getattr_or_none(py::handle obj, py::handle name) {
    PyObject *value = PyObject_GetAttr(obj.ptr(), name.ptr());
    if (value) return py::reinterpret_steal<py::object>(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    return py::none();
}

inline py::object getattr_or_none(py::handle obj, const char *name) {
    return getattr_or_none(obj, py::str(name));
}

}  // namespace zyl

// Defines the extension module `name`.  Unlike PYBIND11_MODULE, an exception
// raised while the module body runs (a failing `import globals_zylora`, a
// broken `_CUSTOMIZABLE`) reaches the importer unchanged, type and message,
// instead of being wrapped in "ImportError: initialization failed".
#define ZYL_MODULE(name, variable)                                                         \
    static void zyl_module_body_##name(::pybind11::module_ &);                             \
    static ::pybind11::module_::module_def zyl_module_def_##name;                          \
    extern "C" PYBIND11_EXPORT PyObject *PyInit_##name() {                                  \
        PYBIND11_CHECK_PYTHON_VERSION                                                      \
        PYBIND11_ENSURE_INTERNALS_READY                                                    \
        try {                                                                              \
            auto module = ::pybind11::module_::create_extension_module(                    \
                #name, nullptr, &zyl_module_def_##name);                                   \
            zyl_module_body_##name(module);                                                \
            return module.ptr();                                                           \
        } catch (::pybind11::error_already_set & e) {                                      \
            e.restore();                                                                   \
        } catch (const std::exception &e) {                                                \
            ::pybind11::set_error(PyExc_ImportError, e.what());                            \
        }                                                                                  \
        return nullptr;                                                                    \
    }                                                                                      \
    static void zyl_module_body_##name(::pybind11::module_ &variable)
