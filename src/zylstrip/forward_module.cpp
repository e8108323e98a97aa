// ZYLModulePyThread: the module that takes the place of a dendrite layer in a
// converted network.  The class is a real subclass of torch.nn.Module, made
// at import with the `type` builtin; its methods have C++ bodies.
//
// forward() runs on every training and inference step.  It makes the calls
// that its Python form spells out, in that order and as often (each
// self.<array> read, each index, tolist(), view(), to(), the operators, the
// forward function fetched per output), but the cheap way where nothing can
// tell: attribute names are interned once, the instance's attributes are read
// through attribute_lookup, torch's own containers are indexed through
// container_indexing, two tensor calls of the cascade take tensor_calls'
// shorter spelling, and this class's own helpers, when not overridden, are
// run directly instead of through a second Python call.
#include "prelude.hpp"

#include "attribute_lookup.hpp"
#include "cpython_private.hpp"
#include "container_indexing.hpp"
#include "instance_method.hpp"
#include "layer_thread_state.hpp"
#include "tensor_calls.hpp"
#include "zylstrip.hpp"

#include <optional>
#include <utility>
#include <vector>

namespace zyl {

namespace {

struct Names {
    py::str layer_array = interned("layer_array");
    py::str processor_array = interned("processor_array");
    py::str skip_weights = interned("skip_weights");
    py::str node_index = interned("node_index");
    py::str num_cycles = interned("num_cycles");
    py::str view_tuple = interned("view_tuple");
    py::str process_and_forward = interned("process_and_forward");
    py::str process_and_pre = interned("process_and_pre");
    py::str forward = interned("forward");
    py::str init = interned("__init__");
    py::str pre = interned("pre");
    py::str post = interned("post");
    py::str tolist = interned("tolist");
    py::str view = interned("view");
    py::str to = interned("to");
    py::str device = interned("device");
    py::str clone = interned("clone");
    py::str detach = interned("detach");
    py::str register_buffer = interned("register_buffer");
    py::str doing_threading = interned("doing_threading");
    py::str gzl = interned("GZL");
    py::str pc = interned("pc");
    py::str get_zyl_forward_function = interned("get_zyl_forward_function");
    py::str thread = interned("Thread");
    py::str target = interned("target");
    py::str args = interned("args");
    py::str kwargs = interned("kwargs");
    py::str start = interned("start");
    py::str join = interned("join");
};

const Names &names() {
    PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<Names> storage;
    return storage.call_once_and_store_result([] { return Names{}; }).get_stored();
}

// What the class itself provides: the class object, the plain functions
// behind its two helper methods (to recognise them on an instance), the
// wrapper that runs a helper in a thread and keeps its exception, and
// functools.partial to bind that wrapper to one thread's slot.
struct Own {
    py::object cls;
    py::object process_and_forward;  // as the class dict holds them
    py::object process_and_pre;
    py::object run_keeping_error;
    py::object partial;
};

py::gil_safe_call_once_and_store<Own> &own_storage() {
    PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<Own> storage;
    return storage;
}

const Own &own() { return own_storage().get_stored(); }

// --- thin C-level helpers -------------------------------------------------

py::object number(Py_ssize_t value) { return owned(PyLong_FromSsize_t(value)); }

// `value != None`, as the comparison operator decides it (None itself
// compares without running anything).
bool differs_from_none(py::handle value) { return !value.is_none() && not_equal(value, Py_None); }

// f(*args, **kwargs); an empty keyword map is passed as none at all.
py::object call(py::handle function, py::handle args, py::handle kwargs) {
    PyObject *keywords = kwargs.ptr();
    if (keywords != nullptr && PyDict_Check(keywords) && PyDict_GET_SIZE(keywords) == 0) {
        keywords = nullptr;
    }
    return owned(PyObject_Call(function.ptr(), args.ptr(), keywords));
}

// (first..., *rest)
py::tuple prepend(std::initializer_list<py::handle> first, const py::tuple &rest) {
    const auto head = static_cast<Py_ssize_t>(first.size());
    const Py_ssize_t tail = PyTuple_GET_SIZE(rest.ptr());
    auto result = py::reinterpret_steal<py::tuple>(owned(PyTuple_New(head + tail)).release());
    Py_ssize_t at = 0;
    for (py::handle value : first) PyTuple_SET_ITEM(result.ptr(), at++, value.inc_ref().ptr());
    for (Py_ssize_t i = 0; i < tail; ++i) {
        PyTuple_SET_ITEM(result.ptr(), at++, py::handle(PyTuple_GET_ITEM(rest.ptr(), i)).inc_ref().ptr());
    }
    return result;
}

// What `*value` and `**value` of a call accept.
py::object as_positional(py::handle value) {
    if (PyTuple_CheckExact(value.ptr())) return py::reinterpret_borrow<py::object>(value);
    return owned(PySequence_Tuple(value.ptr()));
}

py::object as_keywords(py::handle value) {
    if (PyDict_CheckExact(value.ptr())) return py::reinterpret_borrow<py::object>(value);
    py::dict merged;
    if (PyDict_Merge(merged.ptr(), value.ptr(), 1) < 0) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Format(PyExc_TypeError, "argument after ** must be a mapping, not %.200s",
                         Py_TYPE(value.ptr())->tp_name);
        }
        throw py::error_already_set();
    }
    return merged;
}

// --- the two helpers ---------------------------------------------------------
//
// Both read the instance's arrays afresh at each use, as their bodies spell it
// out (self.processor_array[c] before and after the layer call, and so on);
// attribute_lookup makes those reads cheap.

py::object self_attr(py::handle self, const py::str &name) { return lookup::attr(self, name); }

// self.processor_array[index]
py::object processor_at(py::handle self, py::handle index) {
    return containers::item(self_attr(self, names().processor_array), index);
}

// self.processor_array[index] != None
bool has_processor(py::handle self, py::handle index) {
    return differs_from_none(processor_at(self, index));
}

void run_dendrite(py::handle self, py::handle index, py::handle dendrite_outs, py::object inputs,
                  py::object kwargs) {
    const Names &n = names();
    if (has_processor(self, index)) {
        py::object processor = processor_at(self, index);
        auto processed = unpack_pair(call(get_attr(processor, n.pre), inputs, kwargs));
        inputs = as_positional(processed.first);
        kwargs = as_keywords(processed.second);
    }
    py::object out = call(containers::item(self_attr(self, n.layer_array), index), inputs, kwargs);
    if (has_processor(self, index)) {
        out = call_method(processor_at(self, index), n.post, out);
    }
    set_item(dendrite_outs, index, out);
}

// The main module's forward() is called directly, so its call hooks don't run.
void run_main(py::handle self, py::handle dendrite_outs, py::handle inputs, py::handle kwargs) {
    const Names &n = names();
    py::object last = number(-1);
    py::object main = containers::item(self_attr(self, n.layer_array), last);
    py::object out = call(get_attr(main, n.forward), inputs, kwargs);
    if (has_processor(self, last)) {
        out = call_method(processor_at(self, last), n.pre, out);
    }
    set_item(dendrite_outs, number(containers::length(self_attr(self, n.layer_array)) - 1), out);
}

// --- threads ----------------------------------------------------------------

// Target of every layer thread: runs the helper under the caller's torch
// state and, instead of letting the thread print the exception and die with
// its slot still None, keeps it so that forward() raises it once every
// thread has been joined.
// It is bound to (errors, slot, caller's state, target) by functools.partial,
// so a thread class that calls its target with other arguments changes only
// what the helper receives, as with the helper itself as target.
void run_keeping_error(const py::args &args, const py::kwargs &kwargs) {
    if (PyTuple_GET_SIZE(args.ptr()) < 4) {
        throw py::type_error(
            "_run_keeping_error() needs the error list, the slot, the caller's state and the target");
    }
    py::object errors = item_at(args, 0);
    py::object slot = item_at(args, 1);
    py::object target = item_at(args, 3);
    py::object rest = owned(PyTuple_GetSlice(args.ptr(), 4, PyTuple_GET_SIZE(args.ptr())));
    layer_threads::CallerState state;
    std::optional<py::error_already_set> failure;
    try {
        state.enter(item_at(args, 2));
        owned(PyObject_Call(target.ptr(), rest.ptr(), kwargs.ptr()));
    } catch (py::error_already_set &e) {
        failure = std::move(e);
    }
    try {
        state.leave();
    } catch (py::error_already_set &e) {
        if (!failure) failure = std::move(e);
    }
    if (!failure) return;
    py::object error = failure->value();
    if (failure->trace()) PyException_SetTraceback(error.ptr(), failure->trace().ptr());
    set_item(errors, slot, error);
}

py::object new_thread(py::list &errors, py::handle caller_state, py::handle target,
                      py::handle args, py::handle kwargs) {
    const Names &n = names();
    py::object slot = number(static_cast<Py_ssize_t>(errors.size()));
    errors.append(py::none());
    py::dict options;
    options[n.target] = own().partial(own().run_keeping_error, errors, slot, caller_state, target);
    options[n.args] = args;
    options[n.kwargs] = kwargs ? py::reinterpret_borrow<py::object>(kwargs) : py::object(py::dict());
    return call(get_attr(ns(), n.thread), py::tuple(), options);
}

void start_and_join(const std::vector<py::object> &threads, const py::list &errors) {
    const Names &n = names();
    std::size_t started = 0;
    try {
        for (const py::object &thread : threads) {
            call_function(get_attr(thread, n.start));
            ++started;
        }
    } catch (py::error_already_set &) {
        // Threads already running still write into this call's list: wait
        // for them before the failure leaves forward().
        for (std::size_t i = 0; i < started; ++i) call_function(get_attr(threads[i], n.join));
        throw;
    }
    for (const py::object &thread : threads) call_function(get_attr(thread, n.join));
    // The list is reachable from the threads' targets: read it checked.
    for (Py_ssize_t i = 0; i < length_of(errors); ++i) {
        py::object error = item_at(errors, i);
        if (error.is_none()) continue;
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(error.ptr())), error.ptr());
        throw py::error_already_set();
    }
}

// --- the methods --------------------------------------------------------------

py::object init_method(py::handle self, const py::tuple &args, py::handle kwargs) {
    const Names &n = names();
    static const char *keywords[] = {"original_module", nullptr};
    PyObject *original = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args.ptr(), kwargs.ptr(), "O:__init__",
                                     const_cast<char **>(keywords), &original)) {
        throw py::error_already_set();
    }
    py::handle layer = original;
    py::object base = owned(PyObject_CallFunctionObjArgs(
        reinterpret_cast<PyObject *>(&PySuper_Type), own().cls.ptr(), self.ptr(), nullptr));
    call_function(get_attr(base, n.init));

    set_attr(self, n.layer_array, lookup::attr(layer, n.layer_array));
    set_attr(self, n.processor_array, lookup::attr(layer, n.processor_array));
    // The first entry of a layer's skip weights belongs to its first layer,
    // which has no earlier output to take from; entry k is for layer k+1.
    if (lookup::attr_if_present(layer, n.skip_weights) &&
        length_of(lookup::attr(layer, n.skip_weights)) >= 2) {
        py::object from_second = owned(PySlice_New(number(1).ptr(), nullptr, nullptr));
        set_attr(self, n.skip_weights, item(lookup::attr(layer, n.skip_weights), from_second));
    }
    get_attr(self, n.register_buffer)(
        n.node_index,
        call_method(call_method(lookup::attr(layer, n.node_index), n.clone), n.detach));
    get_attr(self, n.register_buffer)(n.num_cycles, lookup::attr(layer, n.num_cycles));
    get_attr(self, n.register_buffer)(n.view_tuple, lookup::attr(layer, n.view_tuple));
    return py::none();
}

py::object process_and_forward_method(py::handle self, const py::tuple &args2, py::handle kwargs2) {
    py::object index = owned(PySequence_GetItem(args2.ptr(), 0));
    py::object dendrite_outs = owned(PySequence_GetItem(args2.ptr(), 1));
    py::object inputs = owned(PyTuple_GetSlice(args2.ptr(), 2, PyTuple_GET_SIZE(args2.ptr())));
    run_dendrite(self, index, dendrite_outs, inputs, py::reinterpret_borrow<py::object>(kwargs2));
    return py::none();
}

py::object process_and_pre_method(py::handle self, const py::tuple &args, py::handle kwargs) {
    py::object dendrite_outs = owned(PySequence_GetItem(args.ptr(), 0));
    py::object inputs = owned(PyTuple_GetSlice(args.ptr(), 1, PyTuple_GET_SIZE(args.ptr())));
    run_main(self, dendrite_outs, inputs, kwargs);
    return py::none();
}

// self.<name> is this class's own helper method (not overridden in a
// subclass, not shadowed on the instance), so calling it is running its body.
bool is_own_helper(py::handle self, const py::str &name, py::handle method) {
    PyTypeObject *type = Py_TYPE(self.ptr());
    if (!lookup::reads_plainly(type) || cpython::type_lookup(type, name.ptr()) != method.ptr()) {
        return false;
    }
    py::object dict = lookup::instance_dict(self);
    if (!dict) return true;
    const int shadowed = PyDict_Contains(dict.ptr(), name.ptr());
    if (shadowed < 0) throw py::error_already_set();
    return shadowed == 0;
}

// The cascade of one output: the weighted sum of the combined earlier
// outputs is added to it, term by term, as
//   current_out + skip_weights[out_index - 1][in_index, :]
//                     .view(view_tuple.tolist()).to(current_out.device)
//                 * dendrite_outs[in_index]
py::object add_earlier_outputs(py::handle self, py::handle dendrite_outs, Py_ssize_t out_index,
                               py::object current_out) {
    const Names &n = names();
    for (Py_ssize_t in_index = 0; in_index < out_index; ++in_index) {
        py::object weights = containers::item(self_attr(self, n.skip_weights), number(out_index - 1));
        py::object row = tensors::row(weights, in_index);
        py::object view = get_attr(row, n.view);
        py::object shape = call_method(self_attr(self, n.view_tuple), n.tolist);
        py::object skip_weight = tensors::view(row, view, shape);
        py::object to = get_attr(skip_weight, n.to);
        py::object moved = call_function(to, get_attr(current_out, n.device));
        // Read now, after the device: reading it may run user code.
        py::object earlier = item_at(dendrite_outs, in_index);
        py::object weighted = owned(PyNumber_Multiply(moved.ptr(), earlier.ptr()));
        current_out = owned(PyNumber_Add(current_out.ptr(), weighted.ptr()));
    }
    return current_out;
}

py::object forward_method(py::handle self, const py::tuple &args, py::handle kwargs) {
    const Names &n = names();
    const Own &mine = own();
    py::object doing_multi = get_attr(ns(), n.doing_threading);
    const Py_ssize_t count = containers::length(self_attr(self, n.layer_array));

    py::list dendrite_outs(count);
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyList_SET_ITEM(dendrite_outs.ptr(), i, py::none().release().ptr());
    }
    std::vector<py::object> threads;
    py::list errors;
    // The caller's torch state, read once for all the layer threads.
    py::object state;
    auto caller_state = [&state]() -> py::handle {
        if (!state) state = layer_threads::caller_state();
        return state;
    };

    for (Py_ssize_t c = 0; c < count - 1; ++c) {
        py::object index = number(c);
        if (truthy(doing_multi)) {
            py::object helper = get_attr(self, n.process_and_forward);
            threads.push_back(new_thread(errors, caller_state(), helper,
                                         prepend({index, dendrite_outs}, args), kwargs));
        } else if (is_own_helper(self, n.process_and_forward, mine.process_and_forward)) {
            run_dendrite(self, index, dendrite_outs, args, py::reinterpret_borrow<py::object>(kwargs));
        } else {
            call(get_attr(self, n.process_and_forward), prepend({index, dendrite_outs}, args), kwargs);
        }
    }
    if (truthy(doing_multi)) {
        py::object helper = get_attr(self, n.process_and_pre);
        threads.push_back(
            new_thread(errors, caller_state(), helper, prepend({dendrite_outs}, args), kwargs));
    } else if (is_own_helper(self, n.process_and_pre, mine.process_and_pre)) {
        run_main(self, dendrite_outs, args, kwargs);
    } else {
        call(get_attr(self, n.process_and_pre), prepend({dendrite_outs}, args), kwargs);
    }
    if (truthy(doing_multi)) start_and_join(threads, errors);

    // Cascade: each output receives the weighted sum of the combined earlier
    // outputs; only with skip weights, and the dendrite outputs then pass
    // through the configured forward function.
    py::object current_out;
    for (Py_ssize_t out_index = 0; out_index < count; ++out_index) {
        // The helpers, processors and layers have all had the list.
        current_out = item_at(dendrite_outs, out_index);
        if (count > 1 && lookup::attr_if_present(self, n.skip_weights)) {
            current_out = add_earlier_outputs(self, dendrite_outs, out_index, std::move(current_out));
            if (out_index < count - 1) {
                py::object config = get_attr(get_attr(ns(), n.gzl), n.pc);
                py::object function = call_method(config, n.get_zyl_forward_function);
                current_out = call_function(function, current_out);
            }
        }
        set_item(dendrite_outs, number(out_index), current_out);
    }
    if (!current_out) {
        PyErr_SetString(PyExc_UnboundLocalError,
                        "ZYLModulePyThread has an empty layer_array: no output to return");
        throw py::error_already_set();
    }
    py::object last = number(-1);
    if (has_processor(self, last)) {
        current_out = call_method(processor_at(self, last), n.post, current_out);
    }
    return current_out;
}

}  // namespace

void register_forward_module(py::module_ &m) {
    py::object module_name = m.attr("__name__");
    py::dict body;
    body["__module__"] = module_name;
    body["__qualname__"] = "ZYLModulePyThread";
    body["__doc__"] =
        "Stands in a converted network for one dendrite layer: holds its layers, "
        "processors, skip weights and buffers and computes its forward pass, plainly "
        "or with one thread per layer while zylstrip.doing_threading is true.";
    body["__init__"] = instance_method<&init_method>(
        "__init__",
        "__init__($self, /, original_module)\n--\n\n"
        "Take over the layers, processors, skip weights and buffers of a dendrite layer.",
        module_name);
    body["process_and_forward"] = instance_method<&process_and_forward_method>(
        "process_and_forward",
        "process_and_forward($self, /, *args2, **kwargs2)\n--\n\n"
        "Run dendrite layer args2[0] on args2[2:] and store its output in args2[1].",
        module_name);
    body["process_and_pre"] = instance_method<&process_and_pre_method>(
        "process_and_pre",
        "process_and_pre($self, /, *args, **kwargs)\n--\n\n"
        "Run the main module's forward on args[1:] and store its output in args[0].",
        module_name);
    body["forward"] = instance_method<&forward_method>(
        "forward",
        "forward($self, /, *args, **kwargs)\n--\n\n"
        "The dendrite layer's forward pass.",
        module_name);

    py::object type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject *>(&PyType_Type));
    py::object cls = type("ZYLModulePyThread", py::make_tuple(m.attr("nn").attr("Module")), body);
    m.attr("ZYLModulePyThread") = cls;

    own_storage().call_once_and_store_result([&] {
        return Own{
            cls,
            body["process_and_forward"],
            body["process_and_pre"],
            py::cpp_function(&run_keeping_error, py::name("_run_keeping_error")),
            py::module_::import("functools").attr("partial"),
        };
    });
}

}  // namespace zyl
