// A set of object addresses for the budget line: open addressing, no
// allocation per element (the passes add tens of thousands per call).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zyl {

// Object addresses are aligned and clustered: their bits are mixed before
// they pick a slot.
inline std::size_t pointer_hash(const void *p) {
    auto v = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(p));
    v ^= v >> 33;
    v *= 0xff51afd7ed558ccdULL;
    v ^= v >> 33;
    return static_cast<std::size_t>(v);
}

class PointerSet {
public:
    // True when `p` was not in the set (it is now).
    bool insert(const void *p) {
        if ((count_ + 1) * 2 > slots_.size()) grow();
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t i = pointer_hash(p) & mask;; i = (i + 1) & mask) {
            if (slots_[i] == p) return false;
            if (slots_[i] == nullptr) {
                slots_[i] = p;
                ++count_;
                return true;
            }
        }
    }

private:
    void grow() {
        std::vector<const void *> old = std::move(slots_);
        slots_.assign(old.empty() ? 64 : old.size() * 2, nullptr);
        count_ = 0;
        for (const void *p : old) {
            if (p != nullptr) insert(p);
        }
    }

    std::vector<const void *> slots_;
    std::size_t count_ = 0;
};

}  // namespace zyl
