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
    // read from the module's own table into `out` and held there (code run
    // on them may drop one from its module); false when the framework's own
    // code cannot be vouched for (call the method then).
    bool own_parameters(py::handle module, std::vector<py::object> &out) {
        out.clear();
        if (!collect(module, false, found_)) return false;
        for (PyObject *p : found_) out.push_back(py::reinterpret_borrow<py::object>(p));
        return true;
    }

    // Reads the member tables of every module below `root` once (nothing of
    // the user's runs) and sums each module's parameters and each subtree's
    // from them, so that count_entry can answer without walking again.  To
    // be called right after root.named_modules(...) has been called and
    // before its first item is taken.
    void plan(py::handle root);

    // For the next module that root.named_modules(...) yielded: `direct` =
    // the numel sum over module.named_parameters(recurse=False), then
    // `tree` = the same with recurse=True, as add_numel gives them.  The
    // planned sums are used only while no code of the user's can have run
    // since plan(); from the first module that may have run some (or whose
    // counting may) on, every count is taken the ordinary way.
    void count_entry(py::handle module, py::object &direct, py::object &tree);

    // When the plan vouches for everything below the root (named_modules is
    // the framework's throughout, and no code of the user's runs anywhere
    // below), calls visit(name, module, direct, tree) for each pair that
    // root.named_modules(remove_duplicate=False) would yield after the
    // root's own, in its order and with equal names, with the counts that
    // count_entry would give; then returns true.  The pairs come from the
    // member tables, so the framework's generator need not run.  False,
    // with nothing visited, otherwise.
    bool each_planned_module(
        const std::function<void(py::handle, py::handle, py::handle, py::handle)> &visit);

private:
    struct Impl;
    struct Plan;
    // Appends what named_parameters would yield; false when the framework's
    // own code cannot be vouched for (nothing was appended then).
    bool collect(py::handle module, bool recurse, std::vector<PyObject *> &out);
    void call_method_each(py::handle module, bool recurse,
                          const std::function<void(py::handle)> &visit);
    std::unique_ptr<Impl> impl_;
    std::unique_ptr<Plan> plan_;
    std::vector<PyObject *> found_;  // reused by each(); visits never re-enter it
};

template <typename Visit>
void ParameterWalk::each(py::handle module, bool recurse, Visit &&visit) {
    if (collect(module, recurse, found_)) {
        // Held while visiting: a visit may run code that drops one from its
        // module.
        std::vector<py::object> held;
        held.reserve(found_.size());
        for (PyObject *p : found_) held.push_back(py::reinterpret_borrow<py::object>(p));
        for (const py::object &p : held) visit(p);
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
