// Element types of typed array views: the name shown in messages, the size and the kind.
#pragma once

#include <cstddef>
#include <cstdint>

namespace norvale::frame {

// Kinds of buffer items, by their one-letter group.
enum class Kind : char {
    signed_integer = 'I',
    unsigned_integer = 'U',
    real = 'R',
    complex = 'C',
    character = 'H',  // matches any item of the same size
    object = 'O',
    pointer = 'P',
};

struct ElementType {
    const char *name;        // writable views
    const char *const_name;  // read-only views: "const " in front
    std::size_t size;
    Kind kind;
};

// A compile-time element type: the C++ value type plus its description.
template <typename T, const ElementType &Info>
struct Element {
    using value_type = T;
    static constexpr const ElementType &info = Info;
};

namespace element_info {
inline constexpr ElementType uint8{"uint8_t", "const uint8_t", 1, Kind::unsigned_integer};
inline constexpr ElementType intp{"intp_t", "const intp_t", sizeof(std::intptr_t), Kind::signed_integer};
inline constexpr ElementType int64{"int64_t", "const int64_t", 8, Kind::signed_integer};
inline constexpr ElementType npy_bool{"npy_bool", "const npy_bool", 1, Kind::unsigned_integer};
inline constexpr ElementType signed_char{"signed char", "const signed char", 1, Kind::signed_integer};
inline constexpr ElementType plain_char{"char", "const char", 1, Kind::character};
inline constexpr ElementType unsigned_char{"unsigned char", "const unsigned char", 1, Kind::unsigned_integer};
inline constexpr ElementType short_{"short", "const short", 2, Kind::signed_integer};
inline constexpr ElementType unsigned_short{"unsigned short", "const unsigned short", 2, Kind::unsigned_integer};
inline constexpr ElementType int_{"int", "const int", 4, Kind::signed_integer};
inline constexpr ElementType unsigned_int{"unsigned int", "const unsigned int", 4, Kind::unsigned_integer};
// Fixed at 32 bits whatever the platform's C long is.
inline constexpr ElementType long32{"long", "const long", 4, Kind::signed_integer};
inline constexpr ElementType unsigned_long32{"unsigned long", "const unsigned long", 4, Kind::unsigned_integer};
inline constexpr ElementType long_long{"long long", "const long long", 8, Kind::signed_integer};
inline constexpr ElementType unsigned_long_long{"unsigned long long", "const unsigned long long", 8,
                                                Kind::unsigned_integer};
inline constexpr ElementType float_{"float", "const float", 4, Kind::real};
inline constexpr ElementType double_{"double", "const double", 8, Kind::real};
}  // namespace element_info

namespace elem {
using uint8 = Element<std::uint8_t, element_info::uint8>;
using intp = Element<std::intptr_t, element_info::intp>;
using int64 = Element<std::int64_t, element_info::int64>;
using npy_bool = Element<std::uint8_t, element_info::npy_bool>;
using signed_char = Element<std::int8_t, element_info::signed_char>;
using plain_char = Element<std::int8_t, element_info::plain_char>;
using unsigned_char = Element<std::uint8_t, element_info::unsigned_char>;
using short_ = Element<std::int16_t, element_info::short_>;
using unsigned_short = Element<std::uint16_t, element_info::unsigned_short>;
using int_ = Element<std::int32_t, element_info::int_>;
using unsigned_int = Element<std::uint32_t, element_info::unsigned_int>;
using long32 = Element<std::int32_t, element_info::long32>;
using unsigned_long32 = Element<std::uint32_t, element_info::unsigned_long32>;
using long_long = Element<std::int64_t, element_info::long_long>;
using unsigned_long_long = Element<std::uint64_t, element_info::unsigned_long_long>;
using float_ = Element<float, element_info::float_>;
using double_ = Element<double, element_info::double_>;
}  // namespace elem

}  // namespace norvale::frame
