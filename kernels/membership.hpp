// The membership kernel: load the test values into a hash set, then probe it once per element.
// No Python objects, no interpreter lock: data pointers, lengths and byte strides only.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "kernels/flat_set.hpp"

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

// out[j] = 1 when elements[j], as T, equals some test[i] as T; else 0. Throws std::bad_alloc.
template <typename T, typename Element, typename Test>
void mark_members(Strided<Element> elements, Strided<Test> test, std::uint8_t *out, std::ptrdiff_t out_stride) {
    using Key = typename SetKey<T>::type;
    FlatSet<Key> set;
    Key key{};
    for (std::size_t i = 0; i < test.size; ++i)
        if (SetKey<T>::of(T(test[i]), key)) set.insert(key);

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
}

}  // namespace norvale::kernels
