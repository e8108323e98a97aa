// Read-only summaries of the target choice that the renderers redraw on every
// frame: the type rules, the modules still without a mode, and the budget.
#include "prelude.hpp"

#include "container_ops.hpp"
#include "model.hpp"
#include "parameter_walk.hpp"
#include "pointer_set.hpp"

namespace zyl {

namespace {

py::list type_rule_entries(py::handle entries) {
    const py::str key_in_replaced = interned("in_replaced"), key_type_name = interned("type_name");
    py::dict counts;
    const py::int_ one(1);
    for (py::handle entry : entries) {
        if (truthy(item(entry, key_in_replaced))) continue;
        py::object type_name = item(entry, key_type_name);
        PyObject *seen = PyDict_GetItemWithError(counts.ptr(), type_name.ptr());
        if (seen == nullptr && PyErr_Occurred()) throw py::error_already_set();
        counts[type_name] = seen ? py::reinterpret_borrow<py::object>(seen) + one : py::object(one);
    }

    py::list rules;
    const py::int_ zero(0);
    auto add_rules = [&](const char *getter, const char *mode_text) {
        py::str mode(mode_text);
        // sorted() gives plain code-point order and leaves the getter's
        // result as it was.
        for (py::handle type_name : builtin("sorted")(pc().attr(getter)())) {
            PyObject *count = PyDict_GetItemWithError(counts.ptr(), type_name.ptr());
            if (count == nullptr && PyErr_Occurred()) throw py::error_already_set();
            rules.append(py::make_tuple(type_name, mode,
                                        count ? py::reinterpret_borrow<py::object>(count)
                                              : py::object(zero)));
        }
    };
    add_rules("get_module_names_to_zylate", "zylated");
    add_rules("get_module_names_to_track", "tracked");
    return rules;
}

py::list unset_module_entries(py::handle entries, py::handle resolved) {
    const py::str key_in_replaced = interned("in_replaced"),
                  key_is_root = interned("is_replaced_root"),
                  key_count = interned("direct_param_count"), key_id = interned("id"),
                  key_eff = interned("eff");
    py::list unset;
    const py::int_ zero(0);
    for (py::handle entry : entries) {
        // Restructured modules are targeted by type, and modules without
        // parameters of their own need no mode: neither is waiting on the user.
        if (truthy(item(entry, key_in_replaced))) continue;
        if (truthy(item(entry, key_is_root))) continue;
        int positive =
            PyObject_RichCompareBool(item(entry, key_count).ptr(), zero.ptr(), Py_GT);
        if (positive < 0) throw py::error_already_set();
        if (!positive) continue;
        if (item(item(resolved, item(entry, key_id)), key_eff).is_none()) unset.append(entry);
    }
    return unset;
}

py::object build_budget_line(py::handle entries, py::handle resolved) {
    NumelSum added(py::int_(0));
    NumelSum total_model_params(py::int_(0));
    // Parameters are held by their modules for the whole call, so their
    // addresses stand for their identities.
    PointerSet seen_added;
    PointerSet seen_total;
    const py::str zylated("zylated");
    const py::str key_module = interned("module"), key_id = interned("id"),
                  key_eff = interned("eff");
    ParameterWalk walk;
    std::vector<py::object> own;

    for (py::handle entry : entries) {
        py::object module = item(entry, key_module);
        // Where the framework's own named_parameters would run, both sums
        // read the one list of the module's parameters it would yield twice.
        const bool listed = walk.own_parameters(module, own);
        // Each parameter once per sum, however many entries hold it.
        auto count_own = [&](NumelSum &sum, PointerSet &seen) {
            auto visit = [&](py::handle parameter) {
                if (seen.insert(parameter.ptr())) sum.add_numel_of(parameter);
            };
            if (!listed) return ParameterWalk::call_named_parameters(module, visit);
            for (const py::object &parameter : own) visit(parameter);
        };
        count_own(total_model_params, seen_total);
        // Inherited modes count too: a zylated container adds every module
        // below it.
        if (equals(item(item(resolved, item(entry, key_id)), key_eff), zylated)) {
            count_own(added, seen_added);
        }
    }

    py::object added_value = added.value();
    py::object total_value = total_model_params.value();
    py::object pct = py::float_(0.0);
    if (truthy(total_value)) pct = py::float_(100.0) * added_value / total_value;

    // The counts' texts as str() gives them: format_human_count may be
    // rebound to anything.
    return py::str("Zylation budget:  +") + text_form(call("format_human_count", added_value)) +
           py::str(" params per dendrite cycle  \u00b7  model ") +
           text_form(call("format_human_count", total_value)) + py::str("  (+") +
           builtin("format")(pct, ".1f") + py::str("% / cycle)");
}

}  // namespace

void register_summaries(py::module_ &m) {
    m.def("type_rule_entries", &type_rule_entries, "entries"_a,
          "(type name, mode, count) per type rule: zylate rules, then track rules, each "
          "sorted; counts leave out modules inside restructured ones.");
    m.def("unset_module_entries", &unset_module_entries, "entries"_a, "resolved"_a,
          "Entries with parameters of their own that still have no effective mode.");
    m.def("build_budget_line", &build_budget_line, "entries"_a, "resolved"_a,
          "One line: parameters added per dendrite cycle against the whole network.");
}

}  // namespace zyl
