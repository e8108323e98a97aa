// torch keeps grad mode, inference mode, autocast and the current CUDA
// device and stream per thread, and a new thread starts from torch's
// defaults.  A threaded forward reads the caller's state once and has each
// layer's thread run under it, so that the threaded pass computes what the
// plain one computes on the caller's thread.
#pragma once

#include "prelude.hpp"

#include <optional>
#include <utility>
#include <vector>

namespace zyl::layer_threads {

// The calling thread's torch state, to hand to its layer threads: None
// while it is the state a new thread starts with anyway.
py::object caller_state();

// The state of one layer thread while it runs under the caller's state:
// enter() sets what the caller had, leave() puts back what the thread had.
class CallerState {
public:
    CallerState() = default;
    CallerState(const CallerState &) = delete;
    CallerState &operator=(const CallerState &) = delete;

    // `state` as caller_state() gave it.
    void enter(py::handle state);
    void leave();

private:
    struct Autocast {
        py::object device_type;
        bool enabled;
        py::object dtype;
    };

    py::object inference_;          // the inference_mode entered, to exit
    std::optional<bool> grad_;      // the grad mode before
    std::vector<Autocast> autocast_;
    bool nested_ = false;           // autocast nesting raised
    std::optional<bool> autocast_cache_;
    py::object cuda_device_, cuda_stream_;
};

}  // namespace zyl::layer_threads
