// Sizes, counts, widths and indexes worked out from values that came from
// outside: entry fields, terminal sizes, indexes and window starts handed in,
// lengths that user objects report.  Machine integers wrap (or, signed, are
// undefined) where the interpreter's integers just grow, so every such sum
// and difference is checked here: past the machine's range it either stays
// exact (ExactCount) or is held at the bound, where every comparison with a
// real length or count comes out as it would with the exact value.
#pragma once

#include "prelude.hpp"

#include <climits>
#include <limits>
#include <type_traits>

namespace zyl {

// a + b, held at the type's bounds instead of wrapping.
template <typename T>
T saturating_add(T a, T b) {
    static_assert(std::is_integral_v<T>);
    T sum{};
    if (!__builtin_add_overflow(a, b, &sum)) return sum;
    return b > 0 ? std::numeric_limits<T>::max() : std::numeric_limits<T>::min();
}

// a - b, held at the type's bounds instead of wrapping.
template <typename T>
T saturating_sub(T a, T b) {
    static_assert(std::is_integral_v<T>);
    T difference{};
    if (!__builtin_sub_overflow(a, b, &difference)) return difference;
    return b < 0 ? std::numeric_limits<T>::max() : std::numeric_limits<T>::min();
}

// An integer argument (anything operator.index accepts, with its TypeError
// for the rest) as a machine integer, held at the bounds of long long.
inline long long clamped_index(py::handle value) {
    py::object index = owned(PyNumber_Index(value.ptr()));
    int overflow = 0;
    const long long result = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (overflow > 0) return LLONG_MAX;
    if (overflow < 0) return LLONG_MIN;
    if (result == -1 && PyErr_Occurred()) throw py::error_already_set();
    return result;
}

// A room size for `count` more items of `unit` bytes after `used`, or the
// interpreter's MemoryError when no buffer could ever be that large.
inline std::size_t checked_room(std::size_t used, std::size_t count, std::size_t unit) {
    std::size_t items = 0;
    std::size_t bytes = 0;
    if (__builtin_add_overflow(used, count, &items) || __builtin_mul_overflow(items, unit, &bytes) ||
        bytes > static_cast<std::size_t>(PY_SSIZE_T_MAX)) {
        PyErr_NoMemory();
        throw py::error_already_set();
    }
    return items;
}

// A sum of counts that stays exact however large it grows: machine
// additions while they fit, the interpreter's integers past that.
class ExactCount {
public:
    void add(unsigned long long n) {
        unsigned long long sum = 0;
        if (!__builtin_add_overflow(pending_, n, &sum)) {
            pending_ = sum;
            return;
        }
        carry();
        pending_ = n;
    }
    py::object value() {
        carry();
        return carried_ ? carried_ : py::object(py::int_(0));
    }

private:
    void carry() {
        if (pending_ == 0) return;
        py::object part = owned(PyLong_FromUnsignedLongLong(pending_));
        carried_ = carried_ ? owned(PyNumber_Add(carried_.ptr(), part.ptr())) : part;
        pending_ = 0;
    }

    unsigned long long pending_ = 0;
    py::object carried_;
};

}  // namespace zyl
