// The description file: which run settings exist, how they are grouped into
// buckets, their help texts and whether each one is impactful.
#include "prelude.hpp"

#include "model.hpp"

namespace zyl {

namespace {

py::object normalize_label(py::handle label_text) {
    if (!PyUnicode_Check(label_text.ptr())) return global("LABEL_SUPPORTING");
    // The interpreter's own split and lower, so any Unicode white space and
    // case folding count the same way as everywhere else in Python.
    py::object compact = py::str(" ").attr("join")(label_text.attr("strip")().attr("split")())
                             .attr("lower")();
    if (compact.equal(py::str("impactful")) || compact.equal(py::str("impactful hyperparameters"))) {
        return global("LABEL_IMPACTFUL");
    }
    return global("LABEL_SUPPORTING");
}

// The whole file as one JSON document; anything that keeps it from being
// read or parsed means "no description file", which is not an error.
py::object read_description_document(py::handle path) {
    try {
        py::object handle = builtin("open")(path, "r");
        try {
            py::object document = global("json").attr("load")(handle);
            handle.attr("close")();
            return document;
        } catch (py::error_already_set &) {
            handle.attr("close")();
            throw;
        }
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
    }
    return py::dict();
}

py::object load_description_data() {
    py::object cached = global("DESCRIPTION_CACHE");
    if (!cached.is_none()) return cached;

    py::object path_mod = global("os").attr("path");
    py::object path = path_mod.attr("join")(path_mod.attr("dirname")(ns().attr("__file__")),
                                            global("DESCRIPTION_FILE_NAME"));
    py::object document = read_description_document(path);
    // A top level that is not an object fails here, and nothing is cached.
    py::object bucket_map = document.attr("get")("buckets", py::dict());

    py::dict buckets, settings, setting_labels, setting_to_bucket, settings_by_bucket;
    py::list bucket_order;
    if (PyDict_Check(bucket_map.ptr())) {
        for (py::handle pair : bucket_map.attr("items")()) {
            py::object bucket_name = pair[py::int_(0)];
            py::object bucket = pair[py::int_(1)];
            bucket_order.append(bucket_name);
            if (PyDict_Check(bucket.ptr())) {
                buckets[bucket_name] = bucket.attr("get")("description", "");
                py::object setting_map = bucket.attr("get")("settings", py::dict());
                py::list names;
                if (PyDict_Check(setting_map.ptr())) {
                    for (py::handle item : setting_map.attr("items")()) {
                        py::object setting_name = item[py::int_(0)];
                        py::object setting = item[py::int_(1)];
                        names.append(setting_name);
                        setting_to_bucket[setting_name] = bucket_name;
                        if (PyDict_Check(setting.ptr())) {
                            settings[setting_name] = setting.attr("get")("description", "");
                            setting_labels[setting_name] =
                                call("_normalize_label", setting.attr("get")("label"));
                        } else if (PyUnicode_Check(setting.ptr())) {
                            settings[setting_name] = setting;
                            setting_labels[setting_name] = global("LABEL_SUPPORTING");
                        }
                    }
                }
                settings_by_bucket[bucket_name] = names;
            } else if (PyUnicode_Check(bucket.ptr())) {
                buckets[bucket_name] = bucket;
            }
        }
    }

    py::dict data;
    data["buckets"] = buckets;
    data["bucket_order"] = bucket_order;
    data["settings"] = settings;
    data["setting_labels"] = setting_labels;
    data["setting_to_bucket"] = setting_to_bucket;
    data["settings_by_bucket"] = settings_by_bucket;
    ns().attr("DESCRIPTION_CACHE") = data;
    return global("DESCRIPTION_CACHE");
}

// One map of the description data, an empty one when the key is absent.
py::object data_map(const char *key) {
    return call("load_description_data").attr("get")(key, py::dict());
}

py::object get_setting_label(py::object setting_name) {
    py::object labels = data_map("setting_labels");
    if (labels.contains(setting_name)) return call("_normalize_label", labels[setting_name]);
    return global("LABEL_SUPPORTING");
}

py::object get_setting_description(py::object setting_name) {
    py::object descriptions = data_map("settings");
    if (descriptions.contains(setting_name)) return descriptions[setting_name];
    return py::str("No description available for ") + py::str(setting_name) + py::str(".");
}

py::object get_bucket_description(py::object bucket_name) {
    py::object descriptions = data_map("buckets");
    if (descriptions.contains(bucket_name)) return descriptions[bucket_name];
    return py::str("No description available.");
}

}  // namespace

void register_setting_descriptions(py::module_ &m) {
    m.def("_normalize_label", &normalize_label, "label_text"_a,
          "LABEL_IMPACTFUL for 'impactful' or 'impactful hyperparameters' in any case and "
          "spacing; LABEL_SUPPORTING for anything else.");
    m.def("load_description_data", &load_description_data,
          "The description data, read from the description file once per process.");
    m.def("get_setting_label", &get_setting_label, "setting_name"_a,
          "Whether a run setting is impactful or supporting.");
    m.def("get_setting_description", &get_setting_description, "setting_name"_a,
          "Help text of a run setting.");
    m.def("get_bucket_description", &get_bucket_description, "bucket_name"_a,
          "Help text of a bucket of run settings.");
}

}  // namespace zyl
