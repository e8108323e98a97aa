// Parameter counts of framework modules, for the passes that sum them over
// every module entry: what `module.named_parameters(recurse=...)` yields and
// the sum of `numel()` over it.
#pragma once

#include "prelude.hpp"

#include <functional>
#include <memory>
#include <vector>

#include "container_ops.hpp"
#include "pointer_set.hpp"

namespace zyl {

// Walks the parameters a module's named_parameters would yield.  While that
// call would run the framework's own code unchanged (the module's lookups of
// named_parameters, _named_members and named_modules give the framework's
// own functions, no class or instance attribute stands in their way, module
// and parameter hashing is by identity, the member tables are plain dicts),
// the walk reads those tables directly: the same
// parameters in the same order, without the generators, the name texts and
// the sets that the framework's code would build and throw away.  Anything
// else (a module that overrides one of them, a proxy, an unfamiliar
// framework version) gets the method called as before.  One instance serves
// one call of a counting pass: it remembers per module what it found, as
// nothing is changed on the modules during such a pass.
class ParameterWalk {
public:
    ParameterWalk();
    ~ParameterWalk();
    ParameterWalk(const ParameterWalk &) = delete;
    ParameterWalk &operator=(const ParameterWalk &) = delete;

    // Calls `visit(parameter)` for every parameter that
    // module.named_parameters(recurse=recurse) yields, in order.  `visit`
    // may throw.
    template <typename Visit>
    void each(py::handle module, bool recurse, Visit &&visit);

    // `sum` += parameter.numel() for each parameter that
    // module.named_parameters(recurse=recurse) yields; with `seen`, a
    // parameter already in it is skipped and every other one added to it.
    void add_numel(py::handle module, bool recurse, py::object &sum,
                   PointerSet *seen = nullptr);

    // The parameters module.named_parameters(recurse=False) would yield,
    // read from the module's own table into `out`; false when the
    // framework's own code cannot be vouched for (call the method then).
    bool own_parameters(py::handle module, std::vector<PyObject *> &out) {
        return collect(module, false, out);
    }

private:
    struct Impl;
    // Appends what named_parameters would yield; false when the framework's
    // own code cannot be vouched for (nothing was appended then).
    bool collect(py::handle module, bool recurse, std::vector<PyObject *> &out);
    void call_method_each(py::handle module, bool recurse,
                          const std::function<void(py::handle)> &visit);
    std::unique_ptr<Impl> impl_;
    std::vector<PyObject *> found_;  // reused by each(); visits never re-enter it
};

template <typename Visit>
void ParameterWalk::each(py::handle module, bool recurse, Visit &&visit) {
    if (collect(module, recurse, found_)) {
        // The parameters stay held by their modules for the whole pass.
        for (PyObject *p : found_) visit(py::handle(p));
        return;
    }
    call_method_each(module, recurse, [&](py::handle p) { visit(p); });
}

// A running sum of numel() results: exact integers are added natively until
// something else turns up, which gives the same sum (integer addition is
// exact) without an integer object per step.
class NumelSum {
public:
    explicit NumelSum(py::object start) : sum_(std::move(start)) {}

    // sum += parameter.numel()
    void add_numel_of(py::handle parameter);
    py::object value();

private:
    void flush();
    py::object sum_;
    long long pending_ = 0;
    py::str numel_ = interned("numel");
};

}  // namespace zyl
