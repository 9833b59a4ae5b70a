// The membership kernel: load the test values into a hash set, then probe it once per element.
// No Python objects, no interpreter lock: data pointers, lengths and byte strides only.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>

#include "kernels/flat_set.hpp"
#include "kernels/status.hpp"

namespace norvale::kernels {

// How values of the set's element type T become unsigned keys with the same equality.
template <typename T>
struct SetKey {
    using type = std::make_unsigned_t<T>;
    static bool of(T value, type &key) noexcept {
        key = type(value);
        return true;
    }
};

// Floating point: -0.0 is folded onto 0.0, and NaN, equal to nothing, has no key at all.
// For the remaining values, equality is equality of the bit patterns.
template <typename T>
    requires std::is_floating_point_v<T>
struct SetKey<T> {
    using type = std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>;
    static bool of(T value, type &key) noexcept {
        if (std::isnan(value)) {
            key = 0;
            return false;
        }
        if (value == T(0)) value = T(0);
        std::memcpy(&key, &value, sizeof key);
        return true;
    }
};

template <typename T>
struct Strided {
    const char *data;
    std::ptrdiff_t stride;
    std::size_t size;
    T operator[](std::size_t i) const noexcept {
        T value;
        std::memcpy(&value, data + std::ptrdiff_t(i) * stride, sizeof value);
        return value;
    }
};

// Integer test values that span a narrow range go into a bitmap over that range instead of
// a hash set: one bit per value of the range, at most as much memory as the set would need
// (limit below), and a probe is a subtraction, a compare and one bit test.
template <typename T>
class RangeBitmap {
    using U = std::make_unsigned_t<T>;

public:
    // The most bits a bitmap may have for m test values: 64 bits per value, the size of the
    // hash set's slots at its fullest, and never less than the whole range of a 16-bit type.
    static std::uint64_t limit(std::size_t m) noexcept { return std::max<std::uint64_t>(64 * std::uint64_t(m), 65536); }

    // Finds the range of the test values; false when it is too wide for a bitmap.
    template <typename Test>
    bool fits(Strided<Test> test) noexcept {
        if (test.size == 0) return false;
        T lo = T(test[0]), hi = lo;
        for (std::size_t i = 1; i < test.size; ++i) {
            const T value = T(test[i]);
            lo = std::min(lo, value);
            hi = std::max(hi, value);
        }
        lo_ = lo;
        bits_ = std::uint64_t(U(U(hi) - U(lo))) + 1;  // no overflow: U is at most 64 bits wide...
        return bits_ != 0 && bits_ <= limit(test.size);  // ...and a full 64-bit range wraps to 0
    }

    template <typename Test>
    bool fill(Strided<Test> test) noexcept {
        words_.reset(new (std::nothrow) std::uint64_t[(bits_ + 63) / 64]());
        if (!words_) return false;
        // Each value is read again here: bounded, since another thread may have changed it
        // since the range was taken.
        for (std::size_t i = 0; i < test.size; ++i) {
            const std::uint64_t bit = offset(T(test[i]));
            if (bit < bits_) words_[bit >> 6] |= std::uint64_t(1) << (bit & 63);
        }
        return true;
    }

    bool contains(T value) const noexcept {
        // Values below the range wrap around to offsets past its end.
        const std::uint64_t bit = offset(value);
        const bool inside = bit < bits_;
        const std::uint64_t word = words_[inside ? bit >> 6 : 0];
        return inside & bool((word >> (bit & 63)) & 1);
    }

private:
    T lo_{};
    std::uint64_t bits_ = 0;
    std::unique_ptr<std::uint64_t[]> words_;

    std::uint64_t offset(T value) const noexcept { return std::uint64_t(U(U(value) - U(lo_))); }
};

// out[j] = 1 when elements[j], as T, equals some test[i] as T; else 0. out_of_memory when the
// set cannot be built, with `out` unwritten.
template <typename T, typename Element, typename Test>
Status mark_members(Strided<Element> elements, Strided<Test> test, std::uint8_t *out,
                    std::ptrdiff_t out_stride) noexcept {
    if constexpr (std::is_integral_v<T>) {
        RangeBitmap<T> bitmap;
        if (bitmap.fits(test)) {
            if (!bitmap.fill(test)) return Status::out_of_memory;
            for (std::size_t j = 0; j < elements.size; ++j)
                out[std::ptrdiff_t(j) * out_stride] = std::uint8_t(bitmap.contains(T(elements[j])));
            return Status::ok;
        }
    }
    using Key = typename SetKey<T>::type;
    FlatSet<Key> set;
    Key key{};
    for (std::size_t i = 0; i < test.size; ++i)
        if (SetKey<T>::of(T(test[i]), key) && !set.insert(key)) return Status::out_of_memory;

    // Past the caches, probes wait on memory. Work in blocks: compute and prefetch the home
    // buckets of a whole block first, so that its cache misses overlap, then probe.
    constexpr std::size_t block = 32;
    const bool prefetch = set.bytes() > (std::size_t(1) << 20);
    Key keys[block];
    bool keyed[block];
    for (std::size_t start = 0; start < elements.size; start += block) {
        const std::size_t count = std::min(block, elements.size - start);
        for (std::size_t i = 0; i < count; ++i) {
            keyed[i] = SetKey<T>::of(T(elements[start + i]), keys[i]);
            if (prefetch) set.prefetch(keys[i]);
        }
        std::uint8_t *row = out + std::ptrdiff_t(start) * out_stride;
        for (std::size_t i = 0; i < count; ++i)
            row[std::ptrdiff_t(i) * out_stride] = std::uint8_t(keyed[i] & set.contains(keys[i]));
    }
    return Status::ok;
}

}  // namespace norvale::kernels
