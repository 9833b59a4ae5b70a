// Zero-filled, aligned memory for tables and bitmaps, never throwing. Large blocks are mapped
// on their own, aligned to 2 MiB and advised onto transparent huge pages: a table of many
// megabytes probed at random would otherwise miss the TLB on most probes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace norvale::kernels {

class TableMemory {
public:
    static constexpr std::size_t huge_page = std::size_t(1) << 21;
    // From this size on a block is mapped (and fresh mappings come zero-filled, so no memset).
    static constexpr std::size_t mapped_from = std::size_t(4) << 20;

    TableMemory() noexcept = default;
    TableMemory(const TableMemory &) = delete;
    TableMemory &operator=(const TableMemory &) = delete;
    TableMemory(TableMemory &&other) noexcept { take(other); }
    TableMemory &operator=(TableMemory &&other) noexcept {
        if (this != &other) {
            release();
            take(other);
        }
        return *this;
    }
    ~TableMemory() { release(); }

    // Replaces the block with `bytes` zero bytes aligned to `alignment` (a power of two, at most
    // 4096); false, with no block held, when the memory is not there.
    bool allocate(std::size_t bytes, std::size_t alignment) noexcept {
        release();
        if (bytes == 0) bytes = alignment;
#if defined(__linux__)
        if (bytes >= mapped_from) return map(bytes);
#endif
        // Small alignments come from the plain allocator, which is quicker for small blocks.
        data_ = alignment <= __STDCPP_DEFAULT_NEW_ALIGNMENT__ ? ::operator new(bytes, std::nothrow)
                                                               : ::operator new(bytes, std::align_val_t(alignment), std::nothrow);
        if (!data_) return false;
        std::memset(data_, 0, bytes);
        bytes_ = bytes;
        alignment_ = alignment;
        return true;
    }

    void *data() const noexcept { return data_; }
    std::size_t bytes() const noexcept { return bytes_; }
    bool mapped() const noexcept { return mapped_; }

private:
    void *data_ = nullptr;
    std::size_t bytes_ = 0;
    std::size_t alignment_ = 0;
    bool mapped_ = false;

    void take(TableMemory &other) noexcept {
        data_ = std::exchange(other.data_, nullptr);
        bytes_ = std::exchange(other.bytes_, 0);
        alignment_ = other.alignment_;
        mapped_ = std::exchange(other.mapped_, false);
    }

#if defined(__linux__)
    // Maps bytes rounded up to whole pages, starting on a huge-page boundary: the kernel can
    // back every whole 2 MiB of it with one huge page (the tail stays on small pages).
    bool map(std::size_t bytes) noexcept {
        constexpr std::size_t page = 4096;
        const std::size_t length = (bytes + page - 1) & ~(page - 1);
        if (length > SIZE_MAX - huge_page) return false;
        void *raw = mmap(nullptr, length + huge_page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (raw == MAP_FAILED) return false;
        const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(raw);
        const std::uintptr_t aligned = (start + huge_page - 1) & ~std::uintptr_t(huge_page - 1);
        if (aligned > start) munmap(raw, aligned - start);
        const std::uintptr_t end = start + length + huge_page;
        if (end > aligned + length) munmap(reinterpret_cast<void *>(aligned + length), end - (aligned + length));
        data_ = reinterpret_cast<void *>(aligned);
        bytes_ = length;
        mapped_ = true;
#if defined(MADV_HUGEPAGE)
        madvise(data_, length, MADV_HUGEPAGE);  // only advice: small pages work too
#endif
        return true;
    }
#endif

    void release() noexcept {
        if (!data_) return;
#if defined(__linux__)
        if (mapped_) munmap(data_, bytes_);
        else
#endif
            if (alignment_ <= __STDCPP_DEFAULT_NEW_ALIGNMENT__) ::operator delete(data_);
            else ::operator delete(data_, std::align_val_t(alignment_));
        data_ = nullptr;
        bytes_ = 0;
        mapped_ = false;
    }
};

}  // namespace norvale::kernels
