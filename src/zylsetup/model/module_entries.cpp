// The flat list of module entries a configurator run works on.
#include "prelude.hpp"

#include "model.hpp"

#include <algorithm>
#include <vector>

namespace zyl {

namespace {

py::object sum_numel(py::handle module, bool recurse) {
    py::object total = py::int_(0);
    for (py::handle pair : module.attr("named_parameters")("recurse"_a = recurse)) {
        total = total + pair.cast<py::tuple>()[1].attr("numel")();
    }
    return total;
}

py::list get_module_entries(py::handle model) {
    py::list entries;
    for (py::handle pair : model.attr("named_modules")("remove_duplicate"_a = false)) {
        auto item = pair.cast<py::tuple>();
        py::object name = item[0];
        py::object module = item[1];
        auto name_text = name.cast<std::string>();
        if (name_text.empty()) continue;
        py::dict entry;
        entry["id"] = "." + name_text;
        entry["name"] = name;
        entry["type_name"] = py::type::of(module).attr("__name__");
        entry["module"] = module;
        entry["depth"] = std::count(name_text.begin(), name_text.end(), '.');
        entry["direct_param_count"] = sum_numel(module, false);
        entry["tree_param_count"] = sum_numel(module, true);
        entries.append(entry);
    }

    py::tuple classes(pc().attr("get_modules_to_replace")());
    std::vector<std::string> root_ids;
    for (py::handle entry : entries) {
        bool is_root = false;
        if (!classes.empty()) {
            int hit = PyObject_IsInstance(entry["module"].ptr(), classes.ptr());
            if (hit < 0) throw py::error_already_set();
            is_root = hit == 1;
        }
        entry["is_replaced_root"] = py::bool_(is_root);
        if (is_root) root_ids.push_back(entry["id"].cast<std::string>());
    }

    for (py::handle entry : entries) {
        auto id = entry["id"].cast<std::string>();
        py::object root = py::none();
        // Root ids are in module order, so the first match is the outermost.
        for (const auto &root_id : root_ids) {
            if (id.size() > root_id.size() && id.compare(0, root_id.size(), root_id) == 0 &&
                id[root_id.size()] == '.') {
                root = py::str(root_id);
                break;
            }
        }
        entry["replaced_root"] = root;
        entry["in_replaced"] = py::bool_(!root.is_none());
    }
    return entries;
}

py::object get_parent_module_id(const std::string &module_id) {
    std::vector<std::string_view> parts;
    std::string_view rest(module_id);
    for (;;) {
        auto dot = rest.find('.');
        parts.push_back(rest.substr(0, dot));
        if (dot == std::string_view::npos) break;
        rest.remove_prefix(dot + 1);
    }
    if (parts.size() <= 2) return py::none();
    std::string parent;
    for (size_t i = 1; i + 1 < parts.size(); ++i) {
        parent += '.';
        parent += parts[i];
    }
    return py::str(parent);
}

}  // namespace

void register_module_entries(py::module_ &m) {
    m.def("get_module_entries", &get_module_entries, "model"_a,
          "One entry per submodule, in module order, with restructured roots marked.");
    m.def("get_parent_module_id", &get_parent_module_id, "module_id"_a,
          "Id of the parent module, from the id text alone; None for a direct child.");
}

}  // namespace zyl
