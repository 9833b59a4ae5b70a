// Memory that a kernel owns for the length of a call, allocated without exceptions: a failed
// allocation is reported to the caller, which returns Status::out_of_memory.
#pragma once

#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>

namespace norvale::kernels {

// `count` elements, left uninitialised; false when the memory is not there.
template <typename T>
class Buffer {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    bool allocate(std::size_t count) noexcept {
        data_.reset(new (std::nothrow) T[count]);
        return data_ != nullptr || count == 0;
    }
    T *get() const noexcept { return data_.get(); }
    T &operator[](std::size_t i) const noexcept { return data_[i]; }

private:
    std::unique_ptr<T[]> data_;
};

// A stack of trivially copyable items that grows by doubling.
template <typename T>
class Stack {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    bool push(const T &item) noexcept {
        if (size_ == capacity_) {
            const std::size_t capacity = capacity_ ? 2 * capacity_ : 16;
            std::unique_ptr<T[]> grown(new (std::nothrow) T[capacity]);
            if (!grown) return false;
            if (size_) std::memcpy(grown.get(), items_.get(), size_ * sizeof(T));
            items_ = std::move(grown);
            capacity_ = capacity;
        }
        items_[size_++] = item;
        return true;
    }
    bool empty() const noexcept { return size_ == 0; }
    T pop() noexcept { return items_[--size_]; }

private:
    std::unique_ptr<T[]> items_;
    std::size_t size_ = 0, capacity_ = 0;
};

}  // namespace norvale::kernels
