// The caller's torch state in a layer thread.  It is read on every threaded
// forward, a dozen calls of torch's own C functions, which is little beside
// starting the threads; a thread sets only what differs from the state it
// starts with, so under torch's defaults a layer thread makes no call at all.
#include "prelude.hpp"

#include "layer_thread_state.hpp"

#include <memory>

namespace zyl::layer_threads {

namespace {

struct Torch {
    py::object is_grad_enabled, set_grad_enabled, is_inference_mode_enabled, inference_mode,
        is_autocast_enabled, set_autocast_enabled, get_autocast_dtype, set_autocast_dtype,
        is_autocast_cache_enabled, set_autocast_cache_enabled, autocast_increment_nesting,
        autocast_decrement_nesting, clear_autocast_cache;
    // The device types that autocast can be on for.
    std::vector<py::object> autocast_device_types;
    // torch.cuda, where this torch is built with CUDA; otherwise null.
    py::object cuda;
    py::str enter = interned("__enter__"), exit = interned("__exit__"),
            is_initialized = interned("is_initialized"),
            current_device = interned("current_device"), set_device = interned("set_device"),
            current_stream = interned("current_stream"), set_stream = interned("set_stream");
};

// torch's own list where it has one (it saves and restores autocast over
// that list itself), else the device types that torch.amp says autocast is
// available for.
std::vector<py::object> autocast_device_types(const py::module_ &torch) {
    py::object listed = getattr_or_none(torch.attr("_C"), "_autocast_supported_devices");
    std::vector<py::object> found;
    if (!listed.is_none()) {
        for (py::handle name : listed()) found.push_back(py::reinterpret_borrow<py::object>(name));
    } else {
        py::object available = py::module_::import("torch.amp").attr("is_autocast_available");
        for (const char *name :
             {"cpu", "cuda", "xpu", "mps", "hpu", "xla", "ipu", "mtia", "maia", "privateuseone"}) {
            if (truthy(available(name))) found.push_back(py::str(name));
        }
    }
    return found;
}

const Torch &torch_calls() {
    PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<Torch> storage;
    return storage
        .call_once_and_store_result([] {
            py::module_ torch = py::module_::import("torch");
            Torch t;
            for (auto [slot, name] : std::initializer_list<std::pair<py::object *, const char *>>{
                     {&t.is_grad_enabled, "is_grad_enabled"},
                     {&t.set_grad_enabled, "set_grad_enabled"},
                     {&t.is_inference_mode_enabled, "is_inference_mode_enabled"},
                     {&t.inference_mode, "inference_mode"},
                     {&t.is_autocast_enabled, "is_autocast_enabled"},
                     {&t.set_autocast_enabled, "set_autocast_enabled"},
                     {&t.get_autocast_dtype, "get_autocast_dtype"},
                     {&t.set_autocast_dtype, "set_autocast_dtype"},
                     {&t.is_autocast_cache_enabled, "is_autocast_cache_enabled"},
                     {&t.set_autocast_cache_enabled, "set_autocast_cache_enabled"},
                     {&t.autocast_increment_nesting, "autocast_increment_nesting"},
                     {&t.autocast_decrement_nesting, "autocast_decrement_nesting"},
                     {&t.clear_autocast_cache, "clear_autocast_cache"}}) {
                *slot = torch.attr(name);
            }
            t.autocast_device_types = autocast_device_types(torch);
            if (truthy(py::module_::import("torch.backends.cuda").attr("is_built")())) {
                t.cuda = torch.attr("cuda");
            }
            return t;
        })
        .get_stored();
}

py::handle boolean(bool value) { return value ? Py_True : Py_False; }

// What a caller's thread had that a new thread lacks.
struct State {
    bool grad = true;
    bool inference = false;
    std::vector<std::pair<py::object, py::object>> autocast;  // device type, dtype
    bool autocast_cache = true;
    py::object cuda_device, cuda_stream;  // where CUDA is in use
};

constexpr const char *kStateName = "zylora.zylstrip.caller_state";

const State &state_of(py::handle state) {
    void *found = PyCapsule_GetPointer(state.ptr(), kStateName);
    if (found == nullptr) throw py::error_already_set();
    return *static_cast<const State *>(found);
}

}  // namespace

py::object caller_state() {
    const Torch &t = torch_calls();
    auto state = std::make_unique<State>();
    state->grad = truthy(call_function(t.is_grad_enabled));
    state->inference = truthy(call_function(t.is_inference_mode_enabled));
    for (const py::object &device_type : t.autocast_device_types) {
        if (truthy(call_function(t.is_autocast_enabled, device_type))) {
            state->autocast.emplace_back(device_type, call_function(t.get_autocast_dtype, device_type));
        }
    }
    if (!state->autocast.empty()) state->autocast_cache = truthy(call_function(t.is_autocast_cache_enabled));
    // Asking for the current device would set CUDA up in a process that
    // never used it; one that has not has nothing to carry.
    if (t.cuda && truthy(call_method(t.cuda, t.is_initialized))) {
        state->cuda_device = call_method(t.cuda, t.current_device);
        state->cuda_stream = call_method(t.cuda, t.current_stream);
    }
    if (state->grad && !state->inference && state->autocast.empty() && !state->cuda_device) {
        return py::none();
    }
    py::object capsule = owned(PyCapsule_New(state.get(), kStateName, [](PyObject *held) {
        delete static_cast<State *>(PyCapsule_GetPointer(held, kStateName));
    }));
    state.release();
    return capsule;
}

void CallerState::enter(py::handle state) {
    if (state.is_none()) return;
    const State &caller = state_of(state);
    const Torch &t = torch_calls();
    // Each step records what it changes before changing it, so that leave()
    // undoes exactly what was done, also after a failure midway.
    if (caller.inference) {
        // Entering inference mode turns grad mode off.
        py::object mode = call_function(t.inference_mode, Py_True);
        call_method(mode, t.enter);
        inference_ = std::move(mode);
    }
    if (caller.inference || !caller.grad) {
        const bool now = truthy(call_function(t.is_grad_enabled));
        if (now != caller.grad) {
            grad_ = now;
            call_function(t.set_grad_enabled, boolean(caller.grad));
        }
    }
    if (!caller.autocast.empty()) {
        // As torch.autocast enters, for every device type the caller has it on.
        for (const auto &[device_type, dtype] : caller.autocast) {
            autocast_.push_back({device_type, truthy(call_function(t.is_autocast_enabled, device_type)),
                                 call_function(t.get_autocast_dtype, device_type)});
            call_function(t.set_autocast_enabled, device_type, Py_True);
            call_function(t.set_autocast_dtype, device_type, dtype);
        }
        call_function(t.autocast_increment_nesting);
        nested_ = true;
        autocast_cache_ = truthy(call_function(t.is_autocast_cache_enabled));
        call_function(t.set_autocast_cache_enabled, boolean(caller.autocast_cache));
    }
    if (caller.cuda_device) {
        cuda_device_ = call_method(t.cuda, t.current_device);
        call_method(t.cuda, t.set_device, caller.cuda_device);
        cuda_stream_ = call_method(t.cuda, t.current_stream);
        call_method(t.cuda, t.set_stream, caller.cuda_stream);
    }
}

void CallerState::leave() {
    if (!inference_ && !grad_ && autocast_.empty() && !nested_ && !cuda_device_) return;
    const Torch &t = torch_calls();
    if (py::object stream = std::exchange(cuda_stream_, py::object())) {
        call_method(t.cuda, t.set_stream, stream);
    }
    if (py::object device = std::exchange(cuda_device_, py::object())) {
        call_method(t.cuda, t.set_device, device);
    }
    // As torch.autocast exits: the cast cache is dropped with the outermost
    // level.
    if (std::exchange(nested_, false) &&
        equals(call_function(t.autocast_decrement_nesting), py::int_(0))) {
        call_function(t.clear_autocast_cache);
    }
    for (auto it = autocast_.rbegin(); it != autocast_.rend(); ++it) {
        call_function(t.set_autocast_enabled, it->device_type, boolean(it->enabled));
        call_function(t.set_autocast_dtype, it->device_type, it->dtype);
    }
    autocast_.clear();
    if (std::optional<bool> cache = std::exchange(autocast_cache_, std::nullopt)) {
        call_function(t.set_autocast_cache_enabled, boolean(*cache));
    }
    if (std::optional<bool> grad = std::exchange(grad_, std::nullopt)) {
        call_function(t.set_grad_enabled, boolean(*grad));
    }
    if (py::object mode = std::exchange(inference_, py::object())) {
        py::handle none = Py_None;
        owned(PyObject_CallMethodObjArgs(mode.ptr(), t.exit.ptr(), none.ptr(), none.ptr(),
                                         none.ptr(), nullptr));
    }
}

}  // namespace zyl::layer_threads
