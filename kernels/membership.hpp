// The membership kernel: load the test values into a hash set, then probe it once per element.
// No Python objects, no interpreter lock: data pointers, lengths and byte strides only.
#pragma once

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
        if (std::isnan(value)) return false;
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
    Key key;
    for (std::size_t i = 0; i < test.size; ++i)
        if (SetKey<T>::of(T(test[i]), key)) set.insert(key);

    // Past the caches, probes are memory-bound: look ahead and prefetch the slots to come.
    constexpr std::size_t ahead = 16;
    const bool prefetch = set.capacity() * sizeof(Key) > (std::size_t(1) << 18) && elements.size > ahead;
    for (std::size_t j = 0; j < elements.size; ++j) {
        if (prefetch && j + ahead < elements.size && SetKey<T>::of(T(elements[j + ahead]), key)) set.prefetch(key);
        const bool found = SetKey<T>::of(T(elements[j]), key) && set.contains(key);
        out[std::ptrdiff_t(j) * out_stride] = found ? 1 : 0;
    }
}

}  // namespace norvale::kernels
