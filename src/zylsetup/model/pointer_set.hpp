// A set of object addresses for the counting passes: open addressing, no
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

// Object address -> its number, counting from 0 in the order first seen,
// for the tens of thousands of modules and parameters of one plan: open
// addressing over the numbers alone, so the table stays small.
class PointerIndex {
public:
    // The number of `p`, or -1.
    int find(const void *p) const {
        if (slots_.empty()) return -1;
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t i = pointer_hash(p) & mask;; i = (i + 1) & mask) {
            const int at = slots_[i];
            if (at < 0) return -1;
            if (keys_[at] == p) return at;
        }
    }

    // The number of `p`, the next one when it is new.
    int insert(const void *p) {
        if ((keys_.size() + 1) * 2 > slots_.size()) grow();
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t i = pointer_hash(p) & mask;; i = (i + 1) & mask) {
            const int at = slots_[i];
            if (at >= 0 && keys_[at] == p) return at;
            if (at < 0) {
                slots_[i] = static_cast<int>(keys_.size());
                keys_.push_back(p);
                return slots_[i];
            }
        }
    }

private:
    void grow() {
        slots_.assign(slots_.empty() ? 64 : slots_.size() * 2, -1);
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t at = 0; at < keys_.size(); ++at) {
            std::size_t i = pointer_hash(keys_[at]) & mask;
            while (slots_[i] >= 0) i = (i + 1) & mask;
            slots_[i] = static_cast<int>(at);
        }
    }

    std::vector<const void *> keys_;
    std::vector<int> slots_;  // -1: empty
};

}  // namespace zyl
