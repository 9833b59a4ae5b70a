// Where the bits of a range bitmap lie. The test values span the range [lo, lo + bits); the
// bitmap holds 2^held_shift >= bits bits, and the bit of value v is bit number v mod 2^held_shift.
// Every value of the range has a bit of its own, and every value at all, in the range or not,
// has a position inside the bitmap: a lookup that skips the range check (because it checked a
// whole block of elements beforehand, say) reads inside the bitmap whatever the element is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace norvale::kernels {

template <typename T>
struct BitmapLayout {
    static_assert(std::is_integral_v<T>);
    using U = std::make_unsigned_t<T>;

    const std::uint32_t *words = nullptr;  // 2^held_shift bits, at least 64
    T lo{};
    std::uint64_t bits = 0;
    int held_shift = 0;

    std::uint64_t held_mask() const noexcept { return held_shift >= 64 ? ~std::uint64_t(0) : (std::uint64_t(1) << held_shift) - 1; }
    // Values below the range wrap around to offsets past its end.
    std::uint64_t offset(T value) const noexcept { return std::uint64_t(U(U(value) - U(lo))); }
    std::uint64_t position(T value) const noexcept { return std::uint64_t(U(value)) & held_mask(); }

    bool contains(T value) const noexcept {
        // Both halves without a branch: the position is inside the bitmap either way.
        const std::uint64_t bit = position(value);
        return (offset(value) < bits) & bool((words[bit >> 5] >> (bit & 31)) & 1);
    }
};

}  // namespace norvale::kernels
