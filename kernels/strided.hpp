// A read-only one-dimensional view of a caller's buffer: any byte stride (negative or zero too),
// elements possibly misaligned, so every element is read through memcpy.
#pragma once

#include <cstddef>
#include <cstring>

namespace norvale::kernels {

template <typename T>
struct Strided {
    const char *data;  // element 0; null only when size is 0
    std::ptrdiff_t stride;
    std::size_t size;

    T operator[](std::size_t i) const noexcept {
        T value;
        std::memcpy(&value, data + std::ptrdiff_t(i) * stride, sizeof value);
        return value;
    }
    bool contiguous() const noexcept { return stride == std::ptrdiff_t(sizeof(T)); }
};

}  // namespace norvale::kernels
