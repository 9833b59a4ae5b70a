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

// The same read for a view whose items lie next to each other: the stride is known to the
// compiler, so loops over it need no multiply and may be vectorised.
template <typename T>
struct Contiguous {
    const char *data;
    std::size_t size;

    T operator[](std::size_t i) const noexcept {
        T value;
        std::memcpy(&value, data + i * sizeof(T), sizeof value);
        return value;
    }
};

// Calls f(view) with the view as a Contiguous one when it is, else as it is.
template <typename T, typename F>
decltype(auto) with_items(Strided<T> view, F &&f) noexcept {
    if (view.contiguous()) return f(Contiguous<T>{view.data, view.size});
    return f(view);
}

}  // namespace norvale::kernels
