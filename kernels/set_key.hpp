// How values of a set's element type T become unsigned keys with the same equality.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace norvale::kernels {

// The multiplier of the hash sets' multiplicative hashing: 2^64 divided by the golden ratio,
// made odd, whose products spread clustered keys over the top bits.
inline constexpr std::uint64_t key_hash_multiplier = 0x9E3779B97F4A7C15ull;

template <typename T>
struct SetKey {
    using type = std::make_unsigned_t<T>;
    // Whether a key has the bits of its value, so that values can be read as keys in place.
    static constexpr bool identity = true;
    // The key a test value is inserted under; false for a value that equals nothing.
    static bool of(T value, type &key) noexcept {
        key = type(value);
        return true;
    }
    // The key an element is looked up under.
    static type probe(T value) noexcept { return type(value); }
};

// Floating point: -0.0 is folded onto 0.0, and NaN, equal to nothing, is never inserted. The
// remaining values are equal exactly when their bit patterns are, so a NaN element, looked up
// under its own bits, matches no key in a set.
template <typename T>
    requires std::is_floating_point_v<T>
struct SetKey<T> {
    static_assert(sizeof(T) == 4 || sizeof(T) == 8);
    using type = std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>;
    static constexpr bool identity = false;  // -0.0 is folded
    static bool of(T value, type &key) noexcept {
        key = probe(value);
        return !std::isnan(value);
    }
    static type probe(T value) noexcept {
        if (value == T(0)) value = T(0);
        type key;
        std::memcpy(&key, &value, sizeof key);
        return key;
    }
};

}  // namespace norvale::kernels
