// zylora.zylstrip: replaces dendrite layers of a trained network by
// ZYLModulePyThread modules that compute the same forward pass.
#include "prelude.hpp"

#include "zylstrip.hpp"

ZYL_MODULE(zylstrip, m) {
    m.doc() = "Conversion of trained dendrite networks.";
    zyl::bind_module(m);
    zyl::register_forward_module(m);
    zyl::register_conversion_walk(m);
}
