// Integer test values that span a narrow range go into a bitmap over that range instead of a
// hash set: one bit per value of the range (held up to the next power of two: at most 16 bytes
// per test value, see bitmap_layout.hpp), and a lookup is a subtraction, a compare and one bit
// test. The AVX2 variant (range scan and lookups) is in range_bitmap_avx2.hpp, the AVX-512 lookups
// in range_bitmap_avx512.hpp. Without AVX-512, many 16-bit elements are looked up in a byte per
// value instead (see byte_table_from).
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "kernels/bitmap_layout.hpp"
#include "kernels/range_bitmap_avx2.hpp"
#include "kernels/range_bitmap_avx512.hpp"
#include "kernels/cpu_features.hpp"
#include "kernels/key_blocks.hpp"
#include "kernels/status.hpp"
#include "kernels/strided.hpp"
#include "kernels/table_memory.hpp"

namespace norvale::kernels {

template <typename T>
class RangeBitmap {
    static_assert(std::is_integral_v<T>);
    using U = std::make_unsigned_t<T>;

public:
    // The most bits a bitmap may have for m test values: 64 per value, no more memory than a
    // hash set's slot at its fullest, and never less than the whole range of a 16-bit type.
    static std::uint64_t limit(std::size_t m) noexcept {
        return std::max<std::uint64_t>(64 * std::uint64_t(m), 65536);
    }

    // Finds the range of the test values; false when it is too wide for a bitmap.
    template <typename Test>
    bool fits(Strided<Test> test, Isa isa = Isa::portable) noexcept {
        if (test.size == 0) return false;
        T low, high;
#if defined(NORVALE_HAVE_AVX2_VARIANTS)
        if constexpr (std::is_same_v<Test, T> && sizeof(T) >= 4) {
            if (isa >= Isa::avx2 && test.contiguous()) {
#if defined(NORVALE_HAVE_AVX512_VARIANTS)
                if (isa == Isa::avx512) bitmap_avx512::scan_range(test.data, test.size, low, high);
                else
#endif
                    bitmap_avx2::scan_range(test.data, test.size, low, high);
                return take_range(low, high, test.size);
            }
        }
#endif
        (void)isa;
        with_items(test, [&](auto items) { scan_range(items, low, high); });
        return take_range(low, high, test.size);
    }

    // Sets the bit of every test value. The values are read a second time here: if another
    // thread changed one since fits(), it may lie outside the range, and is refused.
    template <typename Test>
    Status fill(Strided<Test> test) noexcept {
        return with_items(test, [this](auto items) { return fill_items(items); });
    }

private:
    template <typename Items>
    static void scan_range(Items test, T &low, T &high) noexcept {
        // Four running minima and maxima, so that no compare waits for the one before.
        T lo[4], hi[4];
        for (T &x : lo) x = T(test[0]);
        for (T &x : hi) x = T(test[0]);
        const std::size_t whole = test.size / 4 * 4;
        for (std::size_t i = 0; i < whole; i += 4) {
            for (std::size_t k = 0; k < 4; ++k) {
                const T value = T(test[i + k]);
                lo[k] = std::min(lo[k], value);
                hi[k] = std::max(hi[k], value);
            }
        }
        for (std::size_t i = whole; i < test.size; ++i) {
            const T value = T(test[i]);
            lo[0] = std::min(lo[0], value);
            hi[0] = std::max(hi[0], value);
        }
        low = std::min(std::min(lo[0], lo[1]), std::min(lo[2], lo[3]));
        high = std::max(std::max(hi[0], hi[1]), std::max(hi[2], hi[3]));
    }

    bool take_range(T low, T high, std::size_t m) noexcept {
        lo_ = low;
        bits_ = std::uint64_t(U(U(high) - U(low))) + 1;  // no overflow: U is at most 64 bits wide...
        return bits_ != 0 && bits_ <= limit(m);           // ...and a full 64-bit range wraps to 0
    }

    template <typename Items>
    Status fill_items(Items test) noexcept {
        // The bits past the range, up to a power of two (all 2^8 or 2^16 for narrow types), are
        // held too, all zero: a vector lookup then checks its offset with one shift, and the
        // 8- and 16-bit lookups need no check at all. At least one 64-bit word is held, for the
        // lookups that read whole words.
        held_shift_ = sizeof(T) == 1 ? 8 : sizeof(T) == 2 ? 16 : std::max(6, int(std::bit_width(bits_ - 1)));
        if (held_shift_ > 62) return Status::out_of_memory;
        if (!memory_.allocate(std::size_t((std::uint64_t(1) << held_shift_) / 8), 16)) return Status::out_of_memory;
        words_ = static_cast<std::uint32_t *>(memory_.data());
        // Locals, which the stores into the bitmap cannot change (fields might, for all the
        // compiler knows).
        std::uint32_t *const words = words_;
        const BitmapLayout<T> map = layout();
        for (std::size_t i = 0; i < test.size; ++i) {
            const T value = T(test[i]);
            if (map.offset(value) >= map.bits) return Status::input_changed;
            const std::uint64_t bit = map.position(value);
            words[bit >> 5] |= std::uint32_t(1) << (bit & 31);
        }
        return Status::ok;
    }

public:
    bool contains(T value) const noexcept { return layout().contains(value); }

    BitmapLayout<T> layout() const noexcept { return {words_, lo_, bits_, held_shift_}; }

    // From this many elements on, 16-bit values are looked up in a table of one byte per value
    // (64 KiB) made from the bitmap: one load per element instead of a gather, whose throughput
    // is the limit of the vector loop.
    static constexpr std::size_t byte_table_from = std::size_t(1) << 15;

    // out[j * out_stride] = whether elements[j], as T, is in the bitmap.
    template <typename Element>
    void probe(Isa isa, Strided<Element> elements, std::uint8_t *out, std::ptrdiff_t out_stride) const noexcept {
        if constexpr (sizeof(T) == 2)
            if (isa != Isa::avx512 && elements.size >= byte_table_from && probe_byte_table(elements, out, out_stride))
                return;
#if defined(NORVALE_HAVE_AVX2_VARIANTS)
        if constexpr (std::is_same_v<Element, T>) {
            // Offsets go into 32-bit lanes.
            if (isa >= Isa::avx2 && held_shift_ <= 32) return probe_staged(isa, elements, out, out_stride);
        }
#endif
        (void)isa;
        const BitmapLayout<T> map = layout();
        for (std::size_t j = 0; j < elements.size; ++j)
            out[std::ptrdiff_t(j) * out_stride] = std::uint8_t(map.contains(T(elements[j])));
    }

private:
    T lo_{};
    std::uint64_t bits_ = 0;
    int held_shift_ = 0;  // 2^held_shift_ bits are held
    TableMemory memory_;
    std::uint32_t *words_ = nullptr;

    // With AVX2, bitmaps up to this size (2^15 bytes: the first-level data cache of many
    // processors) are read by scalar loads rather than gathers.
    static constexpr int scalar_lookups_up_to = 18;

    // The lookups of 16-bit values through a byte per value, indexed by the value's bits (so no
    // subtraction, and no range check: values outside the range find a 0); false (nothing
    // written) when the table's memory is not there.
    template <typename Element>
    bool probe_byte_table(Strided<Element> elements, std::uint8_t *out, std::ptrdiff_t out_stride) const noexcept {
        TableMemory memory;
        if (!memory.allocate(65536, 64)) return false;
        std::uint8_t *const table = static_cast<std::uint8_t *>(memory.data());
        // All 2^16 positions are held, and a 16-bit value is its own position.
        for (std::size_t w = 0; w < 65536 / 32; ++w)
            for (std::uint32_t word = words_[w]; word; word &= word - 1)
                table[32 * w + unsigned(__builtin_ctz(word))] = 1;
        if (elements.contiguous() && out_stride == 1) {
            // Eight answers packed into one store: a store per element would share the load
            // ports with the two loads each element needs.
            const char *const data = elements.data;
            const std::size_t n = elements.size;
            auto answer = [&](std::size_t j) {
                Element value;
                std::memcpy(&value, data + j * sizeof value, sizeof value);
                return std::uint64_t(table[std::uint16_t(value)]);
            };
            std::size_t j = 0;
            for (; j + 16 <= n; j += 16) {
                std::uint64_t low = 0, high = 0;
#pragma GCC unroll 8
                for (int k = 0; k < 8; ++k) {
                    low |= answer(j + k) << (8 * k);
                    high |= answer(j + 8 + k) << (8 * k);
                }
                std::memcpy(out + j, &low, 8);
                std::memcpy(out + j + 8, &high, 8);
            }
            for (; j < n; ++j) out[j] = std::uint8_t(answer(j));
        } else {
            for (std::size_t j = 0; j < elements.size; ++j)
                out[std::ptrdiff_t(j) * out_stride] = table[std::uint16_t(elements[j])];
        }
        return true;
    }

#if defined(NORVALE_HAVE_AVX2_VARIANTS)
    // Contiguous input and output go straight to the vector loop; other layouts pass through
    // a small buffer on each side.
    void probe_staged(Isa isa, Strided<T> elements, std::uint8_t *out, std::ptrdiff_t out_stride) const noexcept {
        const std::size_t n = elements.size;
        if (elements.contiguous() && out_stride == 1) return probe_vector(isa, elements.data, n, out);
        in_key_blocks<T, 512>([elements](std::size_t j) noexcept { return elements[j]; }, n, out, out_stride,
                              [&](const char *values, std::size_t count, std::uint8_t *answers) {
                                  probe_vector(isa, values, count, answers);
                              });
    }

    void probe_vector(Isa isa, const char *data, std::size_t n, std::uint8_t *out) const noexcept {
        const BitmapLayout<T> map = layout();
        std::size_t j = 0;
        if constexpr (sizeof(T) == 1) j = bitmap_avx2::shuffle_8(map, data, n, out);
#if defined(NORVALE_HAVE_AVX512_VARIANTS)
        else if (isa == Isa::avx512) j = bitmap_avx512::lookup_words(map, data, n, out);
#endif
        else if constexpr (sizeof(T) == 2) j = bitmap_avx2::gather_16(map, data, n, out);
        else if (held_shift_ <= scalar_lookups_up_to) j = bitmap_avx2::scalar_blocks(map, data, n, out);
        else if constexpr (sizeof(T) == 4) j = bitmap_avx2::gather_32(map, data, n, out);
        else j = bitmap_avx2::gather_64(map, data, n, out);
        for (; j < n; ++j) out[j] = std::uint8_t(map.contains(bitmap_avx2::load<T>(data, j)));
    }
#endif
};

}  // namespace norvale::kernels
