// Temporary stand-in until the loop's own definition lands; removed at merge.
#include "prelude.hpp"

#include "configurator_state.hpp"

namespace zyl {

py::list visible_targets(const ConfiguratorState &state) {
    py::list result;
    for (py::handle entry : state.entries) {
        if (py::bool_(entry["in_replaced"])) {
            py::object flag = state.expanded_replaced.attr("get")(entry["replaced_root"]);
            if (!py::bool_(flag)) continue;
        }
        result.append(entry);
    }
    return result;
}

}  // namespace zyl
