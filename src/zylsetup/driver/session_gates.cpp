// Whether the configurator may take over this terminal, and where saving as
// the default configuration writes.
#include "prelude.hpp"

#include "driver.hpp"

#include <array>
#include <stdexcept>
#include <string>

namespace zyl {

namespace {

// Launchers export the rank under different names; the first one that is set
// decides, even when its value is not a number.
constexpr std::array<const char *, 4> kRankVariables = {"RANK", "LOCAL_RANK", "SLURM_PROCID",
                                                        "OMPI_COMM_WORLD_RANK"};

const char *const kNoTermios =
    "The interactive zylation-configuration TUI is not available on this platform (no termios). "
    "Set configuration_confirmed=True in your config file (or call "
    "GZL.pc.set_configuration_confirmed(True)) and configure targets via the config file or "
    "Zylpad instead.";

const char *const kRefusalHead =
    "Zylation configuration has not been confirmed, and it cannot be done interactively here (";

const char *const kRefusalTail =
    ").\n"
    "Run zylate_model once from an interactive terminal to choose zylation targets, or set "
    "configuration_confirmed=True in your config file (or call "
    "GZL.pc.set_configuration_confirmed(True) before zylate_model) to skip the interactive step.";

// sys.stdin.isatty() and sys.stdout.isatty(), where a stream that cannot
// answer (closed, replaced by an object without isatty) counts as no terminal.
bool streams_are_terminals() {
    try {
        py::object sys = global("sys");
        if (!py::bool_(sys.attr("stdin").attr("isatty")())) return false;
        return static_cast<bool>(py::bool_(sys.attr("stdout").attr("isatty")()));
    } catch (py::error_already_set &e) {
        if (e.matches(PyExc_ValueError) || e.matches(PyExc_AttributeError) ||
            e.matches(PyExc_OSError)) {
            return false;
        }
        throw;
    }
}

}  // namespace

py::object distributed_rank() {
    py::object environ = global("os").attr("environ");
    for (const char *name : kRankVariables) {
        py::object value = environ.attr("get")(name);
        if (value.is_none()) continue;
        try {
            return builtin("int")(value);
        } catch (py::error_already_set &e) {
            if (!e.matches(PyExc_ValueError)) throw;
            return py::int_(0);
        }
    }
    return py::int_(0);
}

void require_interactive_session() {
    if (global("termios").is_none()) throw std::runtime_error(kNoTermios);
    const bool is_tty = streams_are_terminals();
    // Asked even when the terminal test already failed: a launcher with a
    // broken rank variable should fail the same way on every process.
    py::object rank = call("_distributed_rank");
    std::string reason;
    if (!is_tty) {
        reason = "no interactive terminal is attached";
    } else if (rank.not_equal(py::int_(0))) {
        reason = "process rank is " + text(rank) + ", not 0";
    } else {
        return;
    }
    throw std::runtime_error(kRefusalHead + reason + kRefusalTail);
}

py::object config_target_path() {
    py::object pc = zyl::pc();
    py::object config_file = pc.attr("get_config_file")();
    if (py::bool_(config_file)) return config_file;
    py::object run_config_path = pc.attr("get_run_config_path")();
    if (py::bool_(run_config_path)) {
        try {
            py::object os = global("os");
            return os.attr("path").attr("relpath")(run_config_path, os.attr("getcwd")());
        } catch (py::error_already_set &e) {
            if (!e.matches(PyExc_Exception)) throw;
            return run_config_path;
        }
    }
    py::object save_name = pc.attr("get_save_name")();
    if (!py::bool_(save_name)) save_name = py::str("ZYL");
    return save_name + py::str("/") + save_name + py::str("_config.json");
}

void register_session_gates(py::module_ &m) {
    m.def("_distributed_rank", &distributed_rank,
          "Rank of this process from the launcher's environment variables; 0 when none is set.");
    m.def("require_interactive_session", &require_interactive_session,
          "Raise RuntimeError unless the configurator can run here: terminal control, an "
          "interactive terminal and distributed rank 0.");
    m.def("_config_target_path", &config_target_path,
          "The path that saving as the default configuration writes to, for display.");
}

}  // namespace zyl
