// The save overlay: how to start training, or a warning about modules that
// would get neither dendrites nor tracking.
#include "prelude.hpp"

#include "terminal.hpp"
#include "text_pieces.hpp"

#include <string>
#include <vector>

namespace zyl {

namespace {

using namespace text_pieces;

// Listing more would push the options off small terminals.
constexpr py::ssize_t max_listed_modules = 5;

struct SaveOption {
    py::str label;
    py::str detail;  // "" for none
    bool single;     // drawn as one text rather than label and detail
};

py::object pointer_for(bool marked) {
    return marked ? colored("  \u25b8 ", cursor_color) : py::object(py::str("    "));
}

py::object option_line(const SaveOption &option, bool marked) {
    py::object pointer = pointer_for(marked);
    if (option.single) {
        return concat({pointer, marked ? colored(option.label, cursor_color) : dim(option.label)});
    }
    py::object label = marked ? colored(option.label, cursor_color) : py::object(option.label);
    if (length(option.detail) == 0) return concat({pointer, label});
    return concat({pointer, label, dim(concat({py::str("  \u2014 "), option.detail}))});
}

py::list render_save_overlay(py::handle entries, py::handle resolved,
                             py::object save_selected_index, py::handle config_target_path) {
    py::object unset = call("unset_module_entries", entries, resolved);
    py::ssize_t count = py::len(unset);

    py::list lines;
    lines.append(py::str(""));
    lines.append(concat({py::str("  "), colored("Save configuration", cursor_color)}));
    lines.append(py::str(""));

    std::vector<SaveOption> options;
    if (count != 0) {
        std::string noun = count == 1 ? "module has" : "modules have";
        lines.append(colored("  \u26a0  " + std::to_string(count) + " " + noun +
                                 " parameters but no mode",
                             global("COLOR_ATTENTION")));
        lines.append(py::str(""));
        py::ssize_t listed = 0;
        for (py::handle entry : py::iter(unset)) {
            if (listed == max_listed_modules) break;
            lines.append(concat({py::str("      "),
                                 dim(concat({shown(entry["id"]), py::str("   ["),
                                             shown(entry["type_name"]), py::str("]")}))}));
            ++listed;
        }
        if (count > max_listed_modules) {
            lines.append(concat({py::str("      "),
                                 dim("(+" + std::to_string(count - max_listed_modules) +
                                     " more)")}));
        }
        lines.append(py::str(""));
        lines.append(
            dim("  These parameters get no dendrites and are not tracked. Usually a mistake."));
        lines.append(py::str(""));
        options.push_back({py::str("Keep editing"), py::str(""), true});
        options.push_back({py::str("Start anyway \u2014 I know these " + std::to_string(count) +
                                   " have no mode"),
                           py::str(""), true});
    } else {
        lines.append(dim("  Start training with this configuration:"));
        lines.append(py::str(""));
        options.push_back({py::str("just this run"), py::str("don't touch my saved config"), false});
        options.push_back({py::str("and save it as default"),
                           concat({py::str("write it to "), shown(config_target_path),
                                   py::str(", skip this screen next time")}),
                           false});
        options.push_back({py::str("Keep editing"), py::str(""), false});
    }

    for (std::size_t i = 0; i < options.size(); ++i) {
        bool marked = index_is(save_selected_index, static_cast<py::ssize_t>(i));
        lines.append(option_line(options[i], marked));
    }

    lines.append(py::str(""));
    lines.append(py::str(""));
    lines.append(dim("  \u2191\u2193/jk move \u00b7 Enter choose \u00b7 Esc / x back to editing"));
    return lines;
}

}  // namespace

void register_save_overlay(py::module_ &m) {
    m.def("render_save_overlay", &render_save_overlay, "entries"_a, "resolved"_a,
          "save_selected_index"_a, "config_target_path"_a);
}

}  // namespace zyl
