// The signals taken over while the configurator holds the terminal, and the
// restoring step of every way out.
//
// Python runs a signal's handler at the next check after the signal lands:
// in any bytecode, and in calls such as signal.signal or a write retried
// after EINTR.  A handler that raises in the middle of the restoring step
// would leave the alternate screen on and the cursor hidden.  So the first
// step of every way out blocks the signals at the C level, and the
// configurator's own handlers, which may already have been tripped, only
// note their signal from then on; the signals take effect once the terminal
// is back.
#include "prelude.hpp"

#include "ways_out.hpp"

#include <csignal>
#include <exception>
#include <memory>
#include <vector>

#ifndef _WIN32
#include <pthread.h>
#include <signal.h>
#endif

namespace zyl {

namespace {

const char *const kAutoPersist = "_auto_persist_config";

// More than any system numbers its signals.
constexpr int kSignalNumbers = 128;

// What a SIGTERM or SIGHUP raises while the configurator holds the terminal.
// Not an Exception: nothing on the way may take it for an ordinary error.
py::handle termination_type() {
    PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<py::object> storage;
    return storage
        .call_once_and_store_result([] {
            PyObject *type =
                PyErr_NewException("zylora.zylsetup.TerminationRequested", PyExc_BaseException, nullptr);
            if (type == nullptr) throw py::error_already_set();
            return py::reinterpret_steal<py::object>(type);
        })
        .get_stored();
}

// The interpreter's signal module, imported once.
py::module_ &signal_module() {
    PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<py::module_> storage;
    return storage.call_once_and_store_result([] { return py::module_::import("signal"); })
        .get_stored();
}

// What the configurator's handlers of one run go by.
struct HandlerState {
    // From the first step of a way out until the terminal is back a signal
    // only leaves word that it came.
    bool deferring = false;
    // The termination signal the process ends by once the terminal is back.
    int termination = 0;
    // A SIGINT that came once the way out had begun.
    bool interrupt_waiting = false;
};

// SIGINT raises KeyboardInterrupt, as Python's default handler does; SIGTERM
// and SIGHUP raise the termination, so the way out restores everything
// before the process ends by the signal.
void on_signal(HandlerState &state, int signum) {
    if (signum != SIGINT && state.termination == 0) state.termination = signum;
    if (state.deferring) {
        if (signum == SIGINT) state.interrupt_waiting = true;
        return;
    }
    if (signum == SIGINT) {
        PyErr_SetNone(PyExc_KeyboardInterrupt);
    } else {
        PyErr_SetObject(termination_type().ptr(), py::int_(signum).ptr());
    }
    throw py::error_already_set();
}

#ifndef _WIN32
// The signals the calling thread blocks, held for one way out.
class ThreadMask {
public:
    // Blocks every signal but the faults that a signal reports about the
    // thread itself.
    void block_all() noexcept {
        sigset_t all;
        sigfillset(&all);
        for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT}) {
            sigdelset(&all, fault);
        }
        pthread_sigmask(SIG_BLOCK, &all, &before_);
    }

    void put_back() noexcept { pthread_sigmask(SIG_SETMASK, &before_, nullptr); }

private:
    sigset_t before_{};
};

// Sets the disposition at the C level alone; Python's record of it is
// brought in line right after.
void default_action(int signum) {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signum, &action, nullptr);
}
#else
// No thread masks here; without terminal control the configurator never
// takes the terminal anyway.
struct ThreadMask {
    void block_all() noexcept {}
    void put_back() noexcept {}
};

void default_action(int signum) { std::signal(signum, SIG_DFL); }
#endif

class SignalHold {
public:
    // SIGINT while Python's default handler has it, SIGTERM and SIGHUP
    // while they would end the process in raw mode on the alternate screen.
    // A disposition the process chose itself (ignored, or a handler of its
    // own) stays in charge, and so does every default on a thread other
    // than the main one, where no handler can be set.
    void take_over() {
        py::module_ &signal = signal_module();
        py::cpp_function handler(
            [state = state_](int signum, py::handle) { on_signal(*state, signum); });
        take(signal.attr("SIGTERM"), signal.attr("SIG_DFL"), handler);
        if (py::hasattr(signal, "SIGHUP")) take(signal.attr("SIGHUP"), signal.attr("SIG_DFL"), handler);
        take(signal.attr("SIGINT"), signal.attr("default_int_handler"), handler);
    }

    // The first step of every way out: from here until the terminal is
    // back no signal reaches a handler.
    void shut_out() noexcept {
        if (shut_) return;
        mask_.block_all();
        shut_ = true;
        state_->deferring = !taken_.empty();
    }

    // Once the terminal is back: the signals that waited come in, the
    // handlers tripped meanwhile run (ours only take note), and every
    // disposition is the process's own again.  The first error that a
    // handler of the process's own raised is kept in `handler_error`.
    void let_in(std::exception_ptr &handler_error) {
        // A termination that comes from now on ends the process at once,
        // as it would have without us; none can be lost between noting the
        // ones that came and handing the signal back.
        for (const Taken &taken : taken_) {
            if (taken.signum != SIGINT) default_action(taken.signum);
        }
        if (shut_) mask_.put_back();
        shut_ = false;
        run_tripped(handler_error);
        py::module_ &signal = signal_module();
        for (const Taken &taken : taken_) {
            try {
                signal.attr("signal")(taken.signum, taken.previous);
            } catch (py::error_already_set &e) {
                // Python's own SIGINT handler, back in place, met a SIGINT
                // that came in the meantime.
                if (e.matches(PyExc_KeyboardInterrupt)) {
                    state_->interrupt_waiting = true;
                } else if (!handler_error) {
                    handler_error = std::current_exception();
                }
            }
        }
        taken_.clear();
        state_->deferring = false;
    }

    // The run was stopped by a termination.
    void note_termination() {
        if (state_->termination == 0) state_->termination = SIGTERM;
    }

    // The termination signal to end by, or 0.
    int termination() const { return state_->termination; }

    bool interrupt_waiting() const { return state_->interrupt_waiting; }

private:
    struct Taken {
        int signum;
        py::object previous;
    };

    void take(const py::object &number, const py::object &ours_when, const py::object &handler) {
        py::module_ &signal = signal_module();
        py::object previous = signal.attr("getsignal")(number);
        if (!previous.equal(ours_when)) return;
        taken_.push_back({number.cast<int>(), previous});
        try {
            signal.attr("signal")(number, handler);
        } catch (py::error_already_set &e) {
            // Not the main thread: nothing was set.  Any other error came
            // from a signal that was already waiting, in the check that
            // follows the setting: ours is in place, and is given back with
            // the others on the way out.
            if (!e.matches(PyExc_ValueError)) throw;
            taken_.pop_back();
        }
    }

    // Each check stops at the first handler that raises and leaves the
    // others for the next one.
    static void run_tripped(std::exception_ptr &handler_error) {
        for (int round = 0; round < kSignalNumbers && PyErr_CheckSignals() != 0; ++round) {
            py::error_already_set raised;
            if (!handler_error) handler_error = std::make_exception_ptr(raised);
        }
    }

    // Shared with the handler, which may outlive the run.
    std::shared_ptr<HandlerState> state_ = std::make_shared<HandlerState>();
    std::vector<Taken> taken_;
    ThreadMask mask_;
    bool shut_ = false;
};

// Leaves the alternate screen and puts auto-persist back, the latter even
// when leaving fails; the first error, if any.
std::exception_ptr restore(const ConfiguratorState &state, const py::object &pc_dict) {
    std::exception_ptr error;
    if (state.entered_alt_screen) {
        // A second try: a handler of the process's own may have cut the
        // first one short.  A terminal that is gone refuses both at once.
        for (int attempt = 0; attempt < 2; ++attempt) {
            try {
                call("exit_alternate_screen");
                break;
            } catch (...) {
                if (!error) error = std::current_exception();
            }
        }
    }
    try {
        pc_dict[kAutoPersist] = state.previous_auto_persist;
    } catch (...) {
        if (!error) error = std::current_exception();
    }
    return error;
}

// Ends the process by the signal, as the sender meant.
void end_by(int signum) {
    signal_module().attr("raise_signal")(signum);
    // Still here: the thread blocks the signal. End as a shell reports a
    // death by it.
    global("sys").attr("exit")(128 + signum);
}

}  // namespace

bool is_interrupt(const py::error_already_set &error) {
    return error.matches(PyExc_KeyboardInterrupt) || error.matches(termination_type());
}

void hold_the_terminal(ConfiguratorState &state, const py::object &pc_dict,
                       const std::function<void()> &region) {
    SignalHold signals;
    std::exception_ptr error;
    try {
        signals.take_over();
        region();
        signals.shut_out();
    } catch (py::error_already_set &e) {
        signals.shut_out();
        if (e.matches(termination_type())) {
            signals.note_termination();
        } else if (e.matches(PyExc_KeyboardInterrupt)) {
            state.quit_requested = true;
        } else {
            error = std::current_exception();
        }
    } catch (...) {
        signals.shut_out();
        error = std::current_exception();
    }
    std::exception_ptr restore_error = restore(state, pc_dict);
    std::exception_ptr handler_error;
    signals.let_in(handler_error);

    if (signals.termination() != 0) end_by(signals.termination());
    if (handler_error) std::rethrow_exception(handler_error);
    if (error) std::rethrow_exception(error);
    if (restore_error) std::rethrow_exception(restore_error);
    if (signals.interrupt_waiting() && !state.quit_requested) {
        // Came once the run was over: it interrupts what follows.
        PyErr_SetNone(PyExc_KeyboardInterrupt);
        throw py::error_already_set();
    }
}

}  // namespace zyl
