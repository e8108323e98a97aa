// The own parameters of framework modules, for the budget line that sums
// them over every module entry on every frame: what
// `module.named_parameters(recurse=False)` yields and the sum of `numel()`
// over it.
#pragma once

#include "prelude.hpp"

#include <functional>
#include <memory>
#include <vector>

#include "container_ops.hpp"

namespace zyl {

// Reads a module's own parameter table where named_parameters(recurse=False)
// would run the framework's own code unchanged (the module's lookups of
// named_parameters and _named_members give the very functions torch defines,
// not a wrapper with their signature, no
// class or instance attribute stands in their way, the table is a plain dict
// with text keys holding plain tensors): the same parameters in the same
// order, without the generators, the name texts and the memo set that the
// framework's code would build and throw away.  Only on a tested torch
// release with the fast paths on; anything else gets the method called.
class ParameterWalk {
public:
    ParameterWalk();
    ~ParameterWalk();
    ParameterWalk(const ParameterWalk &) = delete;
    ParameterWalk &operator=(const ParameterWalk &) = delete;

    // The parameters module.named_parameters(recurse=False) would yield,
    // read from the module's own table into `out` and held there (code run
    // on them may drop one from its module); false when the framework's own
    // code cannot be vouched for (call_named_parameters then).
    bool own_parameters(py::handle module, std::vector<py::object> &out);

    // visit(parameter) for each pair module.named_parameters(recurse=False)
    // yields, the method called as the interpreter calls it.
    static void call_named_parameters(py::handle module,
                                      const std::function<void(py::handle)> &visit);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

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
};

}  // namespace zyl
