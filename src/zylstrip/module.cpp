// zylora.zylstrip: replaces dendrite layers of a trained network by
// ZYLModulePyThread modules that compute the same forward pass.
#include "prelude.hpp"

#include "fast_paths.hpp"

#include "attribute_lookup.hpp"
#include "container_indexing.hpp"
#include "tensor_calls.hpp"
#include "zylstrip.hpp"

namespace {

// None of these imports is optional: without the package globals, torch or
// threads there is nothing to convert, so a failing import fails the import
// of this module with that error.
void bind_imports(py::module_ &m) {
    m.attr("GZL") = py::module_::import("zylora.globals_zylora");
    m.attr("nn") = py::module_::import("torch.nn");
    m.attr("torch") = py::module_::import("torch");
    m.attr("Thread") = py::module_::import("threading").attr("Thread");
    m.attr("doing_threading") = false;
}

}  // namespace

ZYL_MODULE(zylstrip, m) {
    m.doc() = "Conversion of trained dendrite networks.";
    zyl::bind_module(m);
    bind_imports(m);
    // The converted layer's shortcuts copy torch's attribute lookup, container
    // indexing and two tensor calls: they are set up only where the switch
    // allows them and torch is a release they were tested on.  Left
    // uncaptured, every one of them takes the interpreter's route.
    zyl::fast_paths_enabled();
    if (zyl::torch_shortcuts_allowed(m.attr("torch"))) {
        zyl::lookup::capture(m.attr("nn").attr("Module"));
        zyl::containers::capture(m.attr("nn"));
        zyl::tensors::capture(m.attr("torch"));
    }
    zyl::register_forward_module(m);
    zyl::register_conversion_walk(m);
}
