// Included first by every source of both extension modules.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/gil_safe_call_once.h>
#include <pybind11/stl.h>

#if defined(__linux__) || defined(__APPLE__)
#include <pthread.h>
#endif

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace py = pybind11;
using namespace py::literals;

#include "fast_paths.hpp"

namespace zyl {

namespace detail {

// What the module body was handed, held by a strong reference for the life
// of the process: the namespace while the body runs, before the import
// machinery has recorded the module.
inline PyObject *&module_being_defined() {
    static PyObject *module = nullptr;
    return module;
}

inline PyModuleDef *&module_definition() {
    static PyModuleDef *definition = nullptr;
    return definition;
}

}  // namespace detail

// The extension module's namespace, live.  Module-level functions reach one
// another and the module's globals (GZL, os, termios, ...) through it at each
// call, so a caller that rebinds `zylsetup.read_single_key` or
// `zylsetup.os` is honoured everywhere.  After `del sys.modules[...]` and a
// fresh import the interpreter makes a new module object from the same
// definition and may free the first, so the namespace is looked up through
// the interpreter's record of the module made from our definition (the one a
// user imports now, reload included) rather than kept as a pointer.
inline py::handle module_slot() {
    if (PyModuleDef *definition = detail::module_definition()) {
        if (PyObject *live = PyState_FindModule(definition)) return live;
    }
    return detail::module_being_defined();
}

inline void bind_module(py::module_ &m) {
    PyObject *&held = detail::module_being_defined();
    if (held == nullptr) held = m.inc_ref().ptr();
}

inline py::module_ ns() { return py::reinterpret_borrow<py::module_>(module_slot()); }

// A new reference from the C API as an object; a null result raises the
// Python error that the call set.
inline py::object owned(PyObject *result) {
    if (result == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
}

// str(value): the value's ordinary text form.  py::str of an object keeps a
// str subclass as it is, so its characters would stand in for whatever its
// own __str__ says; this gives what the interpreter's str() gives.
inline py::str text_form(py::handle value) {
    if (PyUnicode_CheckExact(value.ptr())) return py::reinterpret_borrow<py::str>(value);
    return py::reinterpret_steal<py::str>(owned(PyObject_Str(value.ptr())).release());
}

// Python's truth test of any value.
inline bool truthy(py::handle value) {
    const int result = PyObject_IsTrue(value.ptr());
    if (result < 0) throw py::error_already_set();
    return result != 0;
}

// obj.name() and obj.name(arg), looked up as a method call looks it up,
// without making the bound method object.
inline py::object call_method(py::handle obj, py::handle name) {
    return owned(PyObject_CallMethodNoArgs(obj.ptr(), name.ptr()));
}

inline py::object call_method(py::handle obj, py::handle name, py::handle arg) {
    return owned(PyObject_CallMethodOneArg(obj.ptr(), name.ptr(), arg.ptr()));
}

// A module global, looked up now.
inline py::object global(const char *name) { return ns().attr(name); }

// Call a module-level function by name, looked up now.
template <typename... Args>
py::object call(const char *name, Args &&...args) {
    return ns().attr(name)(std::forward<Args>(args)...);
}

// --- Module-level functions called by name, with a native fast path -----
//
// A module-level function reaches another one through the namespace, so a
// rebound name (a test double, a user's patch) is honoured.  While the name
// still holds the very function object this module registered under it, the
// call goes straight to the C++ body instead of through the interpreter; only
// a rebound name costs a Python call.  The registered objects are held by
// strong references for the life of the process, so a freed object's address
// can never be mistaken for ours.

struct OwnFunction {
    const char *text = nullptr;     // the name, as registered
    PyObject *name = nullptr;       // the same, interned
    PyObject *function = nullptr;   // the function object registered under it
};

namespace detail {

inline std::vector<OwnFunction> &own_functions() {
    static std::vector<OwnFunction> table;
    return table;
}

template <auto Fn>
OwnFunction &own_slot() {
    static OwnFunction slot;
    return slot;
}

// Only functions taking plain Python objects: they receive exactly what the
// interpreter would have passed, so the direct call sees the same arguments.
template <typename P>
constexpr bool plain_object_parameter =
    std::is_same_v<std::decay_t<P>, py::handle> || std::is_same_v<std::decay_t<P>, py::object>;

template <typename R, typename... P>
constexpr bool takes_plain_objects(R (*)(P...)) {
    return (plain_object_parameter<P> && ...);
}

}  // namespace detail

// Remember the function object that `name` holds right now as this module's
// own (call right after m.def).
inline const OwnFunction &remember_own(py::module_ &m, const char *name) {
    PyObject *key = PyUnicode_InternFromString(name);
    if (key == nullptr) throw py::error_already_set();
    PyObject *function = PyObject_GetAttr(m.ptr(), key);
    if (function == nullptr) {
        Py_DECREF(key);
        throw py::error_already_set();
    }
    for (auto &own : detail::own_functions()) {
        if (std::strcmp(own.text, name) == 0) {
            // The earlier references stay held: copies of the record may
            // still compare against them.
            own = {name, key, function};
            return own;
        }
    }
    return detail::own_functions().emplace_back(OwnFunction{name, key, function});
}

// Register `Fn` as the module-level function `name` and remember it, so
// that call_own<Fn> may run it directly while the name still holds it.
template <auto Fn, typename... Extra>
void def(py::module_ &m, const char *name, Extra &&...extra) {
    static_assert(detail::takes_plain_objects(Fn),
                  "a function called directly must take py::handle / py::object parameters");
    m.def(name, Fn, std::forward<Extra>(extra)...);
    detail::own_slot<Fn>() = remember_own(m, name);
}

// What the name of `own` holds now, or a null object while that is still
// our own function.
inline py::object rebound(const OwnFunction &own) {
    PyObject *module = module_slot().ptr();
    // Without the fast paths every call goes through the name as the
    // interpreter would make it.
    if (!fast_paths_enabled()) return owned(PyObject_GetAttr(module, own.name));
    if (PyModule_CheckExact(module)) {
        // A plain module object finds these names in its own dict (its type
        // defines none of them), so a hit there is what getattr would give;
        // only a miss needs the full lookup, for a module __getattr__ or the
        // interpreter's own error.
        PyObject *found = PyDict_GetItemWithError(PyModule_GetDict(module), own.name);
        if (found == own.function) return py::object();
        if (found != nullptr) return py::reinterpret_borrow<py::object>(found);
        if (PyErr_Occurred()) throw py::error_already_set();
    }
    PyObject *current = PyObject_GetAttr(module, own.name);
    if (current == nullptr) throw py::error_already_set();
    if (current == own.function) {
        Py_DECREF(current);
        return py::object();
    }
    return py::reinterpret_steal<py::object>(current);
}

// The same for the function registered by def<Fn>; never null when Fn was
// not registered that way (then the name is looked up as zyl::call does).
template <auto Fn>
py::object rebound(const char *name) {
    const OwnFunction &own = detail::own_slot<Fn>();
    if (own.function == nullptr) return ns().attr(name);
    return rebound(own);
}

// The object that the module-level `name` holds now, or None while it is
// still the function this module remembered under that name.
inline py::object rebound(const char *name) {
    for (const auto &own : detail::own_functions()) {
        if (std::strcmp(own.text, name) == 0) {
            py::object current = rebound(own);
            return current ? current : py::object(py::none());
        }
    }
    return ns().attr(name);
}

// Like rebound<Fn>(name), but with the name looked up as the route in use
// looks it up, and a null object on either route while the name still holds
// Fn's own function object: the caller may then run Fn's steps itself, as
// the call would, instead of nesting a call on the C stack.
template <auto Fn>
py::object rebound_or_own(const char *name) {
    const OwnFunction &own = detail::own_slot<Fn>();
    if (own.function == nullptr) return ns().attr(name);
    py::object current = rebound(own);
    if (current && current.ptr() == own.function) return py::object();
    return current;
}

namespace detail {

// The direct call, with what it returns turned into the Python object the
// interpreter's call would have given, and any C++ error into the Python
// exception that pybind11 would have raised at the call boundary (so callers
// that catch py::error_already_set see the same thing either way).
template <auto Fn, typename... Args>
py::object invoke_own(Args &&...args) {
    using R = decltype(Fn(std::forward<Args>(args)...));
    try {
        if constexpr (std::is_void_v<R>) {
            Fn(std::forward<Args>(args)...);
            return py::none();
        } else if constexpr (std::is_base_of_v<py::handle, std::decay_t<R>>) {
            return Fn(std::forward<Args>(args)...);
        } else {
            return py::cast(Fn(std::forward<Args>(args)...));
        }
    } catch (py::error_already_set &) {
        throw;
#ifdef __GLIBCXX__
    } catch (abi::__forced_unwind &) {
        throw;
#endif
    } catch (...) {
        py::detail::try_translate_exceptions();
        throw py::error_already_set();
    }
}

}  // namespace detail

// Call the module-level function `name`, registered with def<Fn>: Fn itself
// while the name still holds it, otherwise whatever is bound there now.
template <auto Fn, typename... Args>
py::object call_own(const char *name, Args &&...args) {
    const OwnFunction &own = detail::own_slot<Fn>();
    if (own.function == nullptr) return call(name, std::forward<Args>(args)...);
    if (py::object current = rebound(own)) return current(std::forward<Args>(args)...);
    return detail::invoke_own<Fn>(std::forward<Args>(args)...);
}

// The interpreter's builtins module, imported once.
inline py::module_ &builtins() {
    PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<py::module_> storage;
    return storage.call_once_and_store_result([] { return py::module_::import("builtins"); })
        .get_stored();
}

// function(*args), a direct call of a callable with positional arguments.
template <typename... Args>
py::object call_function(py::handle function, Args... args) {
    PyObject *arguments[] = {nullptr, py::handle(args).ptr()...};
    return owned(PyObject_Vectorcall(function.ptr(), arguments + 1,
                                     sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// A builtin (len, str, isinstance, ...), looked up now.
inline py::object builtin(const char *name) { return builtins().attr(name); }

// The run-configuration object, looked up afresh through the module's GZL.
inline py::object pc() { return global("GZL").attr("pc"); }

// Python text of any object, as str() gives it, in UTF-8 for a message.  A
// lone surrogate (an id from a ModuleDict key, a file name from undecodable
// bytes) has no UTF-8 form: it is written as repr writes it.
inline std::string text(py::handle obj) {
    py::str value = text_form(obj);
    py::object utf8 = py::reinterpret_steal<py::object>(
        PyUnicode_AsEncodedString(value.ptr(), "utf-8", "backslashreplace"));
    if (!utf8) throw py::error_already_set();
    return std::string(PyBytes_AS_STRING(utf8.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(utf8.ptr())));
}

// Python's print(), keyword arguments included, so output goes through
// sys.stdout as the interpreter sees it at the moment of the call.
template <typename... Args>
void print(Args &&...args) {
    builtin("print")(std::forward<Args>(args)...);
}

// `first, second = pair`, with the interpreter's own errors: its
// "cannot unpack non-iterable" only where it gives that text (no __iter__
// slot and no sequence protocol); a failing or unusual __iter__ keeps its
// own error.
inline std::pair<py::object, py::object> unpack_pair(py::handle pair) {
    PyObject *p = pair.ptr();
    if (PyTuple_CheckExact(p) && PyTuple_GET_SIZE(p) == 2) {
        return {py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(p, 0)),
                py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(p, 1))};
    }
    PyObject *iterator = PyObject_GetIter(p);
    if (iterator == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(p)->tp_iter == nullptr &&
            !PySequence_Check(p)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(p)->tp_name);
        }
        throw py::error_already_set();
    }
    auto it = py::reinterpret_steal<py::object>(iterator);
    py::object values[2];
    for (int i = 0; i < 2; ++i) {
        PyObject *next = PyIter_Next(it.ptr());
        if (next == nullptr) {
            if (PyErr_Occurred()) throw py::error_already_set();
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            throw py::error_already_set();
        }
        values[i] = py::reinterpret_steal<py::object>(next);
    }
    PyObject *extra = PyIter_Next(it.ptr());
    if (extra != nullptr) {
        Py_DECREF(extra);
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        throw py::error_already_set();
    }
    if (PyErr_Occurred()) throw py::error_already_set();
    return {std::move(values[0]), std::move(values[1])};
}

// Python's a == b, errors included.
inline bool equals(py::handle a, py::handle b) { return a.equal(b); }

// Python's value == "text" for an ASCII text: a plain str compares without
// any object made (comparing two plain texts runs nothing).
inline bool equals_ascii(py::handle value, const char *text) {
    if (PyUnicode_CheckExact(value.ptr())) return PyUnicode_CompareWithASCIIString(value.ptr(), text) == 0;
    return value.equal(py::str(text));
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

// A key or attribute name for a hot loop: interned, its hash computed once,
// instead of a fresh text object made and hashed at every lookup.
inline py::str interned(const char *text) {
    PyObject *name = PyUnicode_InternFromString(text);
    if (name == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(name);
}

// container[key], without the detour through the generic protocol for a
// plain dict that holds the key; a miss takes the generic path so the error
// is the container's own.
inline py::object item(py::handle container, py::handle key) {
    if (PyDict_CheckExact(container.ptr())) {
        PyObject *found = PyDict_GetItemWithError(container.ptr(), key.ptr());
        if (found != nullptr) return py::reinterpret_borrow<py::object>(found);
        if (PyErr_Occurred()) throw py::error_already_set();
    }
    PyObject *value = PyObject_GetItem(container.ptr(), key.ptr());
    if (value == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(value);
}

// sequence[index] for a position: the item held by a new reference, and the
// sequence's own IndexError when it has shrunk meanwhile.
inline py::object item_at(py::handle sequence, Py_ssize_t index) {
    return owned(PySequence_GetItem(sequence.ptr(), index));
}

// container[key] = value
inline void set_item(py::handle container, py::handle key, py::handle value) {
    const int failed = PyDict_CheckExact(container.ptr())
                           ? PyDict_SetItem(container.ptr(), key.ptr(), value.ptr())
                           : PyObject_SetItem(container.ptr(), key.ptr(), value.ptr());
    if (failed < 0) throw py::error_already_set();
}

// getattr(obj, name)
inline py::object get_attr(py::handle obj, py::handle name) {
    return owned(PyObject_GetAttr(obj.ptr(), name.ptr()));
}

// setattr(obj, name, value)
inline void set_attr(py::handle obj, py::handle name, py::handle value) {
    if (PyObject_SetAttr(obj.ptr(), name.ptr(), value.ptr()) < 0) throw py::error_already_set();
}

// len(value)
inline Py_ssize_t length_of(py::handle value) {
    const Py_ssize_t size = PyObject_Length(value.ptr());
    if (size < 0) throw py::error_already_set();
    return size;
}

// `needle in haystack`: the container's own test; a generator is consumed.
inline bool contains(py::handle haystack, py::handle needle) {
    int hit = PySequence_Contains(haystack.ptr(), needle.ptr());
    if (hit < 0) throw py::error_already_set();
    return hit == 1;
}

// Python's a != b: the operator itself, with no identity shortcut.
inline bool not_equal(py::handle a, py::handle b) {
    return truthy(owned(PyObject_RichCompare(a.ptr(), b.ptr(), Py_NE)));
}

// isinstance(value, cls) and issubclass(cls, base)
inline bool is_instance(py::handle value, py::handle cls) {
    const int result = PyObject_IsInstance(value.ptr(), cls.ptr());
    if (result < 0) throw py::error_already_set();
    return result != 0;
}

inline bool is_subclass(py::handle cls, py::handle base) {
    const int result = PyObject_IsSubclass(cls.ptr(), base.ptr());
    if (result < 0) throw py::error_already_set();
    return result != 0;
}

namespace detail {

// The address below which this thread's C stack counts as nearly full, or 0
// where the platform does not say.  A quarter of the stack, at most 256 KiB,
// is kept free for whatever the interpreter and torch run between two
// checks.  Worked out once per thread: for the main thread glibc reads the
// process's memory map to answer.
inline std::uintptr_t stack_reserve_start() {
    thread_local std::uintptr_t start = [] {
        std::uintptr_t lowest = 0;
        std::size_t size = 0;
#if defined(__linux__)
        pthread_attr_t attributes;
        if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
            void *base = nullptr;
            if (pthread_attr_getstack(&attributes, &base, &size) == 0) {
                lowest = reinterpret_cast<std::uintptr_t>(base);
            }
            pthread_attr_destroy(&attributes);
        }
#elif defined(__APPLE__)
        pthread_t self = pthread_self();
        size = pthread_get_stacksize_np(self);
        lowest = reinterpret_cast<std::uintptr_t>(pthread_get_stackaddr_np(self)) - size;
#endif
        if (lowest == 0) return std::uintptr_t{0};
        return lowest + std::min<std::size_t>(256 * 1024, size / 4);
    }();
    return start;
}

}  // namespace detail

// Whether this thread's C stack is close to its end.  The interpreter's
// recursion limit counts calls, not bytes: a user who raises it for a deep
// network (sys.setrecursionlimit(100000)) would otherwise let a recursion
// that passes through C run off the end of the stack and kill the process.
inline bool c_stack_nearly_full() {
    const std::uintptr_t reserve = detail::stack_reserve_start();
    char here = 0;
    return reserve != 0 && reinterpret_cast<std::uintptr_t>(&here) < reserve;
}

// The interpreter's own RecursionError, for a nesting it would not allow.
[[noreturn]] inline void raise_recursion_error() {
    PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while calling a Python object");
    throw py::error_already_set();
}

// One level of recursion over user objects, counted by the interpreter as a
// call: what would overflow the C stack raises RecursionError instead, at
// the interpreter's limit or where the stack itself runs short.
class RecursionGuard {
public:
    RecursionGuard() {
        if (Py_EnterRecursiveCall(" while calling a Python object") != 0) {
            throw py::error_already_set();
        }
        if (c_stack_nearly_full()) {
            Py_LeaveRecursiveCall();
            raise_recursion_error();
        }
    }
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
    RecursionGuard(const RecursionGuard &) = delete;
    RecursionGuard &operator=(const RecursionGuard &) = delete;
};

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
            ::zyl::detail::module_definition() = &zyl_module_def_##name;                   \
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
