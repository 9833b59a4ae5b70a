// An open-addressing hash set of unsigned integer keys, for membership tests.
//
// Linear probing over a power-of-two table kept at most half full; the key 0 marks an empty
// slot, so the value 0 itself is held in a flag. The table starts empty and grows by doubling:
// nothing is reserved up front. Allocation failure throws std::bad_alloc.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace norvale::kernels {

template <typename Key>
class FlatSet {
    static_assert(std::is_unsigned_v<Key>);

public:
    void insert(Key key) {
        if (key == 0) {
            has_zero_ = true;
            return;
        }
        if (2 * (count_ + 1) > capacity_) grow();
        std::size_t slot = home(key);
        while (slots_[slot] != 0) {
            if (slots_[slot] == key) return;
            slot = (slot + 1) & mask_;
        }
        slots_[slot] = key;
        ++count_;
    }

    bool contains(Key key) const noexcept {
        if (key == 0) return has_zero_;
        if (count_ == 0) return false;
        std::size_t slot = home(key);
        for (;;) {
            const Key held = slots_[slot];
            if (held == key) return true;
            if (held == 0) return false;
            slot = (slot + 1) & mask_;
        }
    }

    // Hints the cache about the slot a later `contains(key)` will read first.
    void prefetch(Key key) const noexcept {
        if (capacity_) __builtin_prefetch(&slots_[home(key)]);
    }

    std::size_t capacity() const noexcept { return capacity_; }

private:
    std::unique_ptr<Key[]> slots_;
    std::size_t capacity_ = 0;
    std::size_t mask_ = 0;
    std::size_t count_ = 0;
    unsigned shift_ = 64;
    bool has_zero_ = false;

    // Fibonacci hashing: the high bits of a multiplication spread clustered keys.
    std::size_t home(Key key) const noexcept {
        return std::size_t((std::uint64_t(key) * 0x9E3779B97F4A7C15ull) >> shift_);
    }

    void grow() {
        const std::size_t capacity = capacity_ ? 2 * capacity_ : 16;
        std::unique_ptr<Key[]> old = std::move(slots_);
        const std::size_t old_capacity = capacity_;
        slots_.reset(new Key[capacity]());
        capacity_ = capacity;
        mask_ = capacity - 1;
        shift_ = 64 - unsigned(std::countr_zero(capacity));
        for (std::size_t i = 0; i < old_capacity; ++i) {
            const Key key = old[i];
            if (key == 0) continue;
            std::size_t slot = home(key);
            while (slots_[slot] != 0) slot = (slot + 1) & mask_;
            slots_[slot] = key;
        }
    }
};

}  // namespace norvale::kernels
