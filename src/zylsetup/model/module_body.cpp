// What importing the module binds: standard modules, the optional terminal
// and framework modules, the package globals and the module constants.
#include "prelude.hpp"

#include "model.hpp"

namespace zyl {

namespace {

void bind_standard_modules(py::module_ &m) {
    for (const char *name : {"sys", "shutil", "json", "os", "select", "re"}) {
        m.attr(name) = py::module_::import(name);
    }
}

// Terminal control is optional: without it the module still imports and the
// configurator refuses to start with its own message.
void bind_terminal_control(py::module_ &m) {
    py::object termios = py::none();
    py::object tty = py::none();
    try {
        termios = py::module_::import("termios");
        tty = py::module_::import("tty");
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_ImportError)) throw;
        termios = py::none();
        tty = py::none();
    }
    m.attr("termios") = termios;
    m.attr("tty") = tty;
}

// torch is only needed to pick a forward function by name; any ordinary
// failure to import it leaves it None, while an interrupt still propagates.
void bind_torch(py::module_ &m) {
    py::object torch = py::none();
    try {
        torch = py::module_::import("torch");
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
    }
    m.attr("torch") = torch;
}

void bind_constants(py::module_ &m) {
    m.attr("COLOR_ZYLATE") = "00A5A5";
    m.attr("COLOR_TRACK") = "8A95A0";
    m.attr("COLOR_ATTENTION") = "FD4D00";
    m.attr("COLOR_ACCENT") = "D9A441";
    m.attr("ANSI_ESCAPE_RE") = m.attr("re").attr("compile")(R"(\x1b\[[0-9;]*m)");
    py::set runtime_only;
    runtime_only.add("config_file");
    m.attr("RUNTIME_ONLY_CONFIG_KEYS") = runtime_only;
    m.attr("DESCRIPTION_FILE_NAME") = "configuration_descriptions.json";
    m.attr("DESCRIPTION_CACHE") = py::none();
    m.attr("LABEL_IMPACTFUL") = "impactful";
    m.attr("LABEL_SUPPORTING") = "supporting";
    py::list switch_names;
    for (const char *name :
         {"DOING_SWITCH_EVERY_TIME", "DOING_HISTORY", "DOING_FIXED_SWITCH", "DOING_NO_SWITCH"}) {
        switch_names.append(name);
    }
    m.attr("SWITCH_MODE_NAMES") = switch_names;
    py::list forward_names;
    for (const char *name : {"relu", "tanh", "sigmoid"}) forward_names.append(name);
    m.attr("FORWARD_FUNCTION_NAMES") = forward_names;
    // Taken once: later changes to the map are not seen.
    m.attr("CUSTOMIZABLE_SETTING_NAMES") =
        py::list(m.attr("GZL").attr("ZYLConfig").attr("_CUSTOMIZABLE").attr("keys")());
    std::string hr = "  ";
    for (int i = 0; i < 70; ++i) hr += "\u2500";
    m.attr("HR") = hr;
    py::dict verbs;
    verbs["zylated"] = "zylate";
    verbs["tracked"] = "track";
    m.attr("MODE_VERB") = verbs;
}

}  // namespace

void register_module_body(py::module_ &m) {
    bind_standard_modules(m);
    bind_terminal_control(m);
    m.attr("GZL") = py::module_::import("zylora.globals_zylora");
    bind_torch(m);
    bind_constants(m);
}

}  // namespace zyl
