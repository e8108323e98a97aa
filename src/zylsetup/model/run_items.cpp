// The rows of the Run settings panel: buckets, and under each expanded one
// its impactful settings, a divider, then its supporting settings.
#include "prelude.hpp"

#include "model.hpp"

namespace zyl {

namespace {


py::list build_run_items(py::object expanded_buckets) {
    // One snapshot of every described value, taken before anything else, so
    // all rows of a frame show the same moment.
    py::object values = call("get_all_global_parameters");
    py::object data = call("load_description_data");
    py::object runtime_only = global("RUNTIME_ONLY_CONFIG_KEYS");
    py::object impactful_label = global("LABEL_IMPACTFUL");
    py::list items;

    py::object by_bucket = data.attr("get")("settings_by_bucket", py::dict());
    for (py::handle bucket_name : data.attr("get")("bucket_order", py::list())) {
        auto setting_item = [&](py::handle setting_name) {
            py::dict row;
            row["type"] = "setting";
            row["bucket"] = bucket_name;
            row["name"] = setting_name;
            row["value"] = values.attr("get")(setting_name, "<unavailable>");
            return row;
        };

        py::list names;
        for (py::handle name : by_bucket.attr("get")(bucket_name, py::list())) {
            if (!runtime_only.contains(name)) names.append(name);
        }
        if (names.empty()) continue;

        py::object is_expanded = expanded_buckets.attr("get")(bucket_name, false);
        py::dict bucket_row;
        bucket_row["type"] = "bucket";
        bucket_row["bucket"] = bucket_name;
        bucket_row["is_expanded"] = is_expanded;
        bucket_row["count"] = py::len(names);
        items.append(bucket_row);
        if (!py::bool_(is_expanded)) continue;

        py::list impactful, supporting;
        for (py::handle name : names) {
            if (equals(call("get_setting_label", name), impactful_label)) impactful.append(name);
        }
        for (py::handle name : names) {
            if (!equals(call("get_setting_label", name), impactful_label)) supporting.append(name);
        }
        for (py::handle name : impactful) items.append(setting_item(name));
        if (!impactful.empty() && !supporting.empty()) {
            py::dict divider;
            divider["type"] = "divider";
            divider["bucket"] = bucket_name;
            items.append(divider);
        }
        for (py::handle name : supporting) items.append(setting_item(name));
    }
    return items;
}

}  // namespace

void register_run_items(py::module_ &m) {
    m.def("build_run_items", &build_run_items, "expanded_buckets"_a,
          "Rows of the Run settings panel for the current values.");
}

}  // namespace zyl
