// Integer test values that span a narrow range go into a bitmap over that range instead of a
// hash set: one bit per value of the range (held up to the next power of two: at most 16 bytes
// per test value), and a lookup is a subtraction, a compare and one bit test. With AVX2 the lookups run 8 to 32 elements at a
// time: offsets and bit numbers in vector lanes, the bitmap words fetched by a gather (or, for
// 8-bit values, the whole 32-byte bitmap held in registers and read by byte shuffles). Many
// 16-bit elements are looked up in a byte per value instead (see byte_table_from).
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "kernels/cpu_features.hpp"
#include "kernels/status.hpp"
#include "kernels/strided.hpp"
#include "kernels/table_memory.hpp"

#if defined(NORVALE_HAVE_AVX2_VARIANTS)
#include <immintrin.h>
#endif

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
    bool fits(Strided<Test> test) noexcept {
        return with_items(test, [this](auto items) { return fits_items(items); });
    }

    // Sets the bit of every test value. The values are read a second time here: if another
    // thread changed one since fits(), it may lie outside the range, and is refused.
    template <typename Test>
    Status fill(Strided<Test> test) noexcept {
        return with_items(test, [this](auto items) { return fill_items(items); });
    }

private:
    template <typename Items>
    bool fits_items(Items test) noexcept {
        if (test.size == 0) return false;
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
        const T low = std::min(std::min(lo[0], lo[1]), std::min(lo[2], lo[3]));
        const T high = std::max(std::max(hi[0], hi[1]), std::max(hi[2], hi[3]));
        lo_ = low;
        bits_ = std::uint64_t(U(U(high) - U(low))) + 1;  // no overflow: U is at most 64 bits wide...
        return bits_ != 0 && bits_ <= limit(test.size);  // ...and a full 64-bit range wraps to 0
    }

    template <typename Items>
    Status fill_items(Items test) noexcept {
        // The bits past the range, up to a power of two (all 2^8 or 2^16 for narrow types), are
        // held too, all zero: a vector lookup then checks its offset with one shift, and the
        // 8- and 16-bit lookups need no check at all.
        held_shift_ = sizeof(T) == 1 ? 8 : sizeof(T) == 2 ? 16 : std::max(5, int(std::bit_width(bits_ - 1)));
        if (held_shift_ > 62) return Status::out_of_memory;
        if (!memory_.allocate(std::size_t((std::uint64_t(1) << held_shift_) / 8), 16)) return Status::out_of_memory;
        words_ = static_cast<std::uint32_t *>(memory_.data());
        // Locals, which the stores into the bitmap cannot change (fields might, for all the
        // compiler knows).
        std::uint32_t *const words = words_;
        const U low = U(lo_);
        const std::uint64_t bits = bits_;
        for (std::size_t i = 0; i < test.size; ++i) {
            const std::uint64_t bit = std::uint64_t(U(U(T(test[i])) - low));
            if (bit >= bits) return Status::input_changed;
            words[bit >> 5] |= std::uint32_t(1) << (bit & 31);
        }
        return Status::ok;
    }

public:
    bool contains(T value) const noexcept {
        // Values below the range wrap around to offsets past its end.
        const std::uint64_t bit = offset(value);
        const bool inside = bit < bits_;
        const std::uint32_t word = words_[inside ? bit >> 5 : 0];
        return inside & bool((word >> (bit & 31)) & 1);
    }

    // From this many elements on, 16-bit values are looked up in a table of one byte per value
    // (64 KiB) made from the bitmap: one load per element instead of a gather, whose throughput
    // is the limit of the vector loop.
    static constexpr std::size_t byte_table_from = std::size_t(1) << 15;

    // out[j * out_stride] = whether elements[j], as T, is in the bitmap.
    template <typename Element>
    void probe(Isa isa, Strided<Element> elements, std::uint8_t *out, std::ptrdiff_t out_stride) const noexcept {
        if constexpr (sizeof(T) == 2)
            if (elements.size >= byte_table_from && probe_byte_table(elements, out, out_stride)) return;
#if defined(NORVALE_HAVE_AVX2_VARIANTS)
        if constexpr (std::is_same_v<Element, T>) {
            // Offsets go into 32-bit lanes.
            if (isa == Isa::avx2 && held_shift_ <= 32) return probe_staged(elements, out, out_stride);
        }
#endif
        (void)isa;
        for (std::size_t j = 0; j < elements.size; ++j)
            out[std::ptrdiff_t(j) * out_stride] = std::uint8_t(contains(T(elements[j])));
    }

private:
    T lo_{};
    std::uint64_t bits_ = 0;
    int held_shift_ = 0;  // 2^held_shift_ bits are held
    TableMemory memory_;
    std::uint32_t *words_ = nullptr;

    std::uint64_t offset(T value) const noexcept { return std::uint64_t(U(U(value) - U(lo_))); }

    // The lookups of 16-bit values through a byte per value, indexed by the value's bits (so no
    // subtraction, and no range check: values outside the range find a 0); false (nothing
    // written) when the table's memory is not there.
    template <typename Element>
    bool probe_byte_table(Strided<Element> elements, std::uint8_t *out, std::ptrdiff_t out_stride) const noexcept {
        TableMemory memory;
        if (!memory.allocate(65536, 64)) return false;
        std::uint8_t *const table = static_cast<std::uint8_t *>(memory.data());
        for (std::size_t w = 0; w < (bits_ + 31) / 32; ++w)
            for (std::uint32_t word = words_[w]; word; word &= word - 1)
                table[std::uint16_t(U(lo_) + 32 * w + unsigned(__builtin_ctz(word)))] = 1;
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
    void probe_staged(Strided<T> elements, std::uint8_t *out, std::ptrdiff_t out_stride) const noexcept {
        const std::size_t n = elements.size;
        if (elements.contiguous() && out_stride == 1) return probe_avx2(elements.data, n, out);
        constexpr std::size_t block = 512;
        alignas(32) T values[block];
        std::uint8_t found[block];
        for (std::size_t start = 0; start < n; start += block) {
            const std::size_t count = std::min(block, n - start);
            for (std::size_t i = 0; i < count; ++i) values[i] = elements[start + i];
            std::uint8_t *target = out_stride == 1 ? out + start : found;
            probe_avx2(reinterpret_cast<const char *>(values), count, target);
            if (out_stride != 1)
                for (std::size_t i = 0; i < count; ++i) out[std::ptrdiff_t(start + i) * out_stride] = found[i];
        }
    }

    NORVALE_TARGET_AVX2 void probe_avx2(const char *data, std::size_t n, std::uint8_t *out) const noexcept {
        std::size_t j = 0;
        if constexpr (sizeof(T) == 1) j = probe_bytes_avx2(data, n, out);
        else if constexpr (sizeof(T) == 2) j = probe_16_avx2(data, n, out);
        else if constexpr (sizeof(T) == 4) j = probe_32_avx2(data, n, out);
        else j = probe_64_avx2(data, n, out);
        for (; j < n; ++j) {
            T value;
            std::memcpy(&value, data + j * sizeof(T), sizeof value);
            out[j] = std::uint8_t(contains(value));
        }
    }

    // The answers of 8 offsets (in 32-bit lanes) as 8 bytes: gather the word of each lane's
    // bit, shift the bit to the top, and spread the 8 sign bits to bytes. Lanes outside the
    // held bits are left out of the gather and answer 0.
    NORVALE_TARGET_AVX2 static std::uint64_t answer_8(const std::uint32_t *words, __m256i offsets,
                                                      __m256i inside) noexcept {
        const __m256i word = _mm256_mask_i32gather_epi32(_mm256_setzero_si256(), reinterpret_cast<const int *>(words),
                                                         _mm256_srli_epi32(offsets, 5), inside, 4);
        const __m256i to_top = _mm256_andnot_si256(offsets, _mm256_set1_epi32(31));  // 31 - offset % 32
        const unsigned mask = unsigned(_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_sllv_epi32(word, to_top))));
        return _pdep_u64(mask, 0x0101010101010101ull);
    }

    // Every 16-bit offset is held: every lane takes part (the gather takes its lanes from a mask
    // either way, so an all-ones one costs nothing).
    NORVALE_TARGET_AVX2 static std::uint64_t answer_8(const std::uint32_t *words, __m256i offsets) noexcept {
        return answer_8(words, offsets, _mm256_set1_epi32(-1));
    }

    // The low (or high) halves of the 64-bit lanes of a and b, in order, as 8 lanes of 32 bits.
    template <int High>
    NORVALE_TARGET_AVX2 static __m256i halves(__m256i a, __m256i b) noexcept {
        constexpr int pick = High ? _MM_SHUFFLE(3, 1, 3, 1) : _MM_SHUFFLE(2, 0, 2, 0);
        const __m256 mixed = _mm256_shuffle_ps(_mm256_castsi256_ps(a), _mm256_castsi256_ps(b), pick);
        return _mm256_permute4x64_epi64(_mm256_castps_si256(mixed), _MM_SHUFFLE(3, 1, 2, 0));
    }

    // An offset is held when its top 64 - held_shift_ bits are 0 (held_shift_ <= 32 here): its
    // high half is 0 and its low half shifted right by held_shift_ is 0.
    NORVALE_TARGET_AVX2 std::size_t probe_64_avx2(const char *data, std::size_t n, std::uint8_t *out) const noexcept {
        const std::uint32_t *const words = words_;  // a local: the result stores could alias the field
        const __m256i lo = _mm256_set1_epi64x(static_cast<long long>(lo_));
        const __m128i shift = _mm_cvtsi32_si128(held_shift_);
        std::size_t j = 0;
        for (; j + 8 <= n; j += 8) {
            const __m256i a = _mm256_sub_epi64(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(data + 8 * j)), lo);
            const __m256i b =
                _mm256_sub_epi64(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(data + 8 * j + 32)), lo);
            const __m256i low = halves<0>(a, b);
            const __m256i beyond = _mm256_or_si256(_mm256_srl_epi32(low, shift), halves<1>(a, b));
            const __m256i inside = _mm256_cmpeq_epi32(beyond, _mm256_setzero_si256());
            const std::uint64_t bytes = answer_8(words, low, inside);
            std::memcpy(out + j, &bytes, 8);
        }
        return j;
    }

    NORVALE_TARGET_AVX2 std::size_t probe_32_avx2(const char *data, std::size_t n, std::uint8_t *out) const noexcept {
        const std::uint32_t *const words = words_;  // a local: the result stores could alias the field
        const __m256i lo = _mm256_set1_epi32(static_cast<int>(lo_));
        const __m128i shift = _mm_cvtsi32_si128(held_shift_);  // 32 shifts every bit out: all held
        std::size_t j = 0;
        for (; j + 8 <= n; j += 8) {
            const __m256i offsets =
                _mm256_sub_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(data + 4 * j)), lo);
            const __m256i inside = _mm256_cmpeq_epi32(_mm256_srl_epi32(offsets, shift), _mm256_setzero_si256());
            const std::uint64_t bytes = answer_8(words, offsets, inside);
            std::memcpy(out + j, &bytes, 8);
        }
        return j;
    }

    NORVALE_TARGET_AVX2 std::size_t probe_16_avx2(const char *data, std::size_t n, std::uint8_t *out) const noexcept {
        const std::uint32_t *const words = words_;  // a local: the result stores could alias the field
        const __m256i lo = _mm256_set1_epi16(static_cast<short>(lo_));
        std::size_t j = 0;
        for (; j + 16 <= n; j += 16) {
            const __m256i offsets =
                _mm256_sub_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(data + 2 * j)), lo);
            const std::uint64_t low = answer_8(words, _mm256_cvtepu16_epi32(_mm256_castsi256_si128(offsets)));
            const std::uint64_t high = answer_8(words, _mm256_cvtepu16_epi32(_mm256_extracti128_si256(offsets, 1)));
            std::memcpy(out + j, &low, 8);
            std::memcpy(out + j + 8, &high, 8);
        }
        return j;
    }

    // 8-bit values: the 256-bit bitmap sits in two registers; byte shuffles pick each value's
    // bitmap byte (by bits 3..6 of the offset, bit 7 choosing the register) and its bit.
    NORVALE_TARGET_AVX2 std::size_t probe_bytes_avx2(const char *data, std::size_t n, std::uint8_t *out) const noexcept {
        const __m128i low_bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(words_));
        const __m128i high_bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(words_) + 1);
        const __m256i low_table = _mm256_broadcastsi128_si256(low_bytes);
        const __m256i high_table = _mm256_broadcastsi128_si256(high_bytes);
        const __m256i bit_of = _mm256_setr_epi8(1, 2, 4, 8, 16, 32, 64, -128, 1, 2, 4, 8, 16, 32, 64, -128, 1, 2, 4, 8,
                                                16, 32, 64, -128, 1, 2, 4, 8, 16, 32, 64, -128);
        const __m256i lo = _mm256_set1_epi8(static_cast<char>(lo_));
        const __m256i low_nibble = _mm256_set1_epi8(0x0F), seven = _mm256_set1_epi8(7), one = _mm256_set1_epi8(1);
        std::size_t j = 0;
        for (; j + 32 <= n; j += 32) {
            const __m256i offsets = _mm256_sub_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(data + j)), lo);
            const __m256i byte_index = _mm256_and_si256(_mm256_srli_epi16(offsets, 3), low_nibble);
            const __m256i byte = _mm256_blendv_epi8(_mm256_shuffle_epi8(low_table, byte_index),
                                                    _mm256_shuffle_epi8(high_table, byte_index), offsets);
            const __m256i bit = _mm256_shuffle_epi8(bit_of, _mm256_and_si256(offsets, seven));
            const __m256i answer = _mm256_min_epu8(_mm256_and_si256(byte, bit), one);
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + j), answer);
        }
        return j;
    }
#endif
};

}  // namespace norvale::kernels
