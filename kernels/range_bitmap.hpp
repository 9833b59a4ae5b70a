// Integer test values that span a narrow range go into a bitmap over that range instead of a
// hash set: one bit per value of the range, at most 8 bytes per test value, and a lookup is a
// subtraction, a compare and one bit test. With AVX2 the lookups run 8 to 32 elements at a
// time: offsets and bit numbers in vector lanes, the bitmap words fetched by a gather (or, for
// 8-bit values, the whole 32-byte bitmap held in registers and read by byte shuffles).
#pragma once

#include <algorithm>
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
        if (test.size == 0) return false;
        T lo = T(test[0]), hi = lo;
        for (std::size_t i = 1; i < test.size; ++i) {
            const T value = T(test[i]);
            lo = std::min(lo, value);
            hi = std::max(hi, value);
        }
        lo_ = lo;
        bits_ = std::uint64_t(U(U(hi) - U(lo))) + 1;  // no overflow: U is at most 64 bits wide...
        return bits_ != 0 && bits_ <= limit(test.size);  // ...and a full 64-bit range wraps to 0
    }

    // Sets the bit of every test value. The values are read a second time here: if another
    // thread changed one since fits(), it may lie outside the range, and is refused.
    template <typename Test>
    Status fill(Strided<Test> test) noexcept {
        // 8-bit values get all 256 bits, so that their lookups need no range check.
        const std::uint64_t held = sizeof(T) == 1 ? 256 : bits_;
        if (!memory_.allocate(std::size_t((held + 31) / 32) * sizeof(std::uint32_t), 32)) return Status::out_of_memory;
        words_ = static_cast<std::uint32_t *>(memory_.data());
        for (std::size_t i = 0; i < test.size; ++i) {
            const std::uint64_t bit = offset(T(test[i]));
            if (bit >= bits_) return Status::input_changed;
            words_[bit >> 5] |= std::uint32_t(1) << (bit & 31);
        }
        return Status::ok;
    }

    bool contains(T value) const noexcept {
        // Values below the range wrap around to offsets past its end.
        const std::uint64_t bit = offset(value);
        const bool inside = bit < bits_;
        const std::uint32_t word = words_[inside ? bit >> 5 : 0];
        return inside & bool((word >> (bit & 31)) & 1);
    }

    // out[j * out_stride] = whether elements[j], as T, is in the bitmap.
    template <typename Element>
    void probe(Isa isa, Strided<Element> elements, std::uint8_t *out, std::ptrdiff_t out_stride) const noexcept {
#if defined(NORVALE_HAVE_AVX2_VARIANTS)
        if constexpr (std::is_same_v<Element, T>) {
            // Word indices go into signed 32-bit gather lanes.
            if (isa == Isa::avx2 && bits_ <= (std::uint64_t(1) << 36)) return probe_staged(elements, out, out_stride);
        }
#endif
        (void)isa;
        for (std::size_t j = 0; j < elements.size; ++j)
            out[std::ptrdiff_t(j) * out_stride] = std::uint8_t(contains(T(elements[j])));
    }

private:
    T lo_{};
    std::uint64_t bits_ = 0;
    TableMemory memory_;
    std::uint32_t *words_ = nullptr;

    std::uint64_t offset(T value) const noexcept { return std::uint64_t(U(U(value) - U(lo_))); }

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

    // The answers of 8 lanes as 8 bytes: gather the word of each lane's bitmap index, shift the
    // lane's bit (offset mod 32) to the top, and spread the 8 sign bits to bytes. Lanes outside
    // the range read word 0 and are masked off.
    NORVALE_TARGET_AVX2 static std::uint64_t answer_8(const std::uint32_t *words, __m256i index, __m256i offsets,
                                                      __m256i inside) noexcept {
        const __m256i word =
            _mm256_i32gather_epi32(reinterpret_cast<const int *>(words), _mm256_and_si256(index, inside), 4);
        const __m256i to_top = _mm256_xor_si256(_mm256_and_si256(offsets, _mm256_set1_epi32(31)), _mm256_set1_epi32(31));
        const __m256i bit = _mm256_and_si256(_mm256_sllv_epi32(word, to_top), inside);
        const unsigned mask = unsigned(_mm256_movemask_ps(_mm256_castsi256_ps(bit)));
        return _pdep_u64(mask, 0x0101010101010101ull);
    }

    // Offsets below 2^32 in 32-bit lanes.
    NORVALE_TARGET_AVX2 static std::uint64_t answer_8(const std::uint32_t *words, __m256i offsets,
                                                      __m256i inside) noexcept {
        return answer_8(words, _mm256_srli_epi32(offsets, 5), offsets, inside);
    }

    // The low halves of the 64-bit lanes of a and b, in order, as 8 lanes of 32 bits.
    NORVALE_TARGET_AVX2 static __m256i low_halves(__m256i a, __m256i b) noexcept {
        const __m256 mixed = _mm256_shuffle_ps(_mm256_castsi256_ps(a), _mm256_castsi256_ps(b), _MM_SHUFFLE(2, 0, 2, 0));
        return _mm256_permute4x64_epi64(_mm256_castps_si256(mixed), _MM_SHUFFLE(3, 1, 2, 0));
    }

    NORVALE_TARGET_AVX2 std::size_t probe_64_avx2(const char *data, std::size_t n, std::uint8_t *out) const noexcept {
        const __m256i lo = _mm256_set1_epi64x(static_cast<long long>(lo_));
        const __m256i sign = _mm256_set1_epi64x(INT64_MIN);
        const __m256i last = _mm256_xor_si256(_mm256_set1_epi64x(static_cast<long long>(bits_ - 1)), sign);
        std::size_t j = 0;
        for (; j + 8 <= n; j += 8) {
            const __m256i a = _mm256_sub_epi64(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(data + 8 * j)), lo);
            const __m256i b =
                _mm256_sub_epi64(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(data + 8 * j + 32)), lo);
            // Unsigned offset <= last, as a signed compare with the sign bits flipped.
            const __m256i out_a = _mm256_cmpgt_epi64(_mm256_xor_si256(a, sign), last);
            const __m256i out_b = _mm256_cmpgt_epi64(_mm256_xor_si256(b, sign), last);
            // An offset inside the range is below 2^36, so its word index fits 32 bits once
            // shifted; its bit number lies in the low half anyway.
            const __m256i inside = _mm256_xor_si256(low_halves(out_a, out_b), _mm256_set1_epi32(-1));
            const __m256i index = low_halves(_mm256_srli_epi64(a, 5), _mm256_srli_epi64(b, 5));
            const std::uint64_t bytes = answer_8(words_, index, low_halves(a, b), inside);
            std::memcpy(out + j, &bytes, 8);
        }
        return j;
    }

    NORVALE_TARGET_AVX2 std::size_t probe_32_avx2(const char *data, std::size_t n, std::uint8_t *out) const noexcept {
        const __m256i lo = _mm256_set1_epi32(static_cast<int>(lo_));
        const __m256i sign = _mm256_set1_epi32(INT32_MIN);
        const __m256i last = _mm256_xor_si256(_mm256_set1_epi32(static_cast<int>(std::uint32_t(bits_ - 1))), sign);
        std::size_t j = 0;
        for (; j + 8 <= n; j += 8) {
            const __m256i offsets =
                _mm256_sub_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(data + 4 * j)), lo);
            const __m256i outside = _mm256_cmpgt_epi32(_mm256_xor_si256(offsets, sign), last);
            const std::uint64_t bytes = answer_8(words_, offsets, _mm256_xor_si256(outside, _mm256_set1_epi32(-1)));
            std::memcpy(out + j, &bytes, 8);
        }
        return j;
    }

    NORVALE_TARGET_AVX2 std::size_t probe_16_avx2(const char *data, std::size_t n, std::uint8_t *out) const noexcept {
        const __m256i lo = _mm256_set1_epi16(static_cast<short>(lo_));
        const __m256i last = _mm256_set1_epi16(static_cast<short>(std::uint16_t(bits_ - 1)));
        std::size_t j = 0;
        for (; j + 16 <= n; j += 16) {
            const __m256i offsets =
                _mm256_sub_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(data + 2 * j)), lo);
            const __m256i inside = _mm256_cmpeq_epi16(_mm256_max_epu16(offsets, last), last);
            const std::uint64_t low = answer_8(words_, _mm256_cvtepu16_epi32(_mm256_castsi256_si128(offsets)),
                                               _mm256_cvtepi16_epi32(_mm256_castsi256_si128(inside)));
            const std::uint64_t high = answer_8(words_, _mm256_cvtepu16_epi32(_mm256_extracti128_si256(offsets, 1)),
                                                _mm256_cvtepi16_epi32(_mm256_extracti128_si256(inside, 1)));
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
