// The range bitmap's AVX-512 variant over contiguous values: the scan for the range of the test
// values, and the lookups of values of 2, 4 or 8 bytes, which return how many leading elements
// they answered (the caller answers the rest one by one).
//
// Sixteen elements at a time: the bitmap word of each is loaded by the scalar side straight
// into a vector lane (one VPINSRD with a memory operand), its number cut from the value by one
// BEXTR; the vector side then shifts each word by its value's low five bits, tests bit 0 and
// the range, and stores sixteen answers at once. A vector gather does the same loads, but on
// some processors (AMD Zen 4 and 5) at about a cycle a lane; the scalar loads run at three or
// four a cycle. The word number has the width of the held bits, so a lookup reads inside the
// bitmap whatever the element, even one that another thread changed between the two reads.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "kernels/bitmap_layout.hpp"
#include "kernels/cpu_features.hpp"
#include "kernels/strided.hpp"

#if defined(NORVALE_HAVE_AVX512_VARIANTS)
#include <immintrin.h>

namespace norvale::kernels::bitmap_avx512 {

// Eight bytes of values, loaded once into a register: left to itself, the compiler folds the load
// into each BEXTR, which then costs a load per element instead of one per four.
inline std::uint64_t load_u64(const char *p) noexcept {
    std::uint64_t value;
    std::memcpy(&value, p, sizeof value);
    asm("" : "+r"(value));
    return value;
}

// The bitmap words of four elements, the element k's word number being word_of(k).
template <typename WordOf>
[[gnu::always_inline]] NORVALE_TARGET_AVX512 inline __m128i four_words(const std::uint32_t *words,
                                                                      const WordOf &word_of) noexcept {
    __m128i four = _mm_cvtsi32_si128(static_cast<int>(words[word_of(0)]));
    four = _mm_insert_epi32(four, static_cast<int>(words[word_of(1)]), 1);
    four = _mm_insert_epi32(four, static_cast<int>(words[word_of(2)]), 2);
    return _mm_insert_epi32(four, static_cast<int>(words[word_of(3)]), 3);
}

NORVALE_TARGET_AVX512 inline __m512i joined(__m128i a, __m128i b, __m128i c, __m128i d) noexcept {
    const __m256i low = _mm256_inserti128_si256(_mm256_castsi128_si256(a), b, 1);
    const __m256i high = _mm256_inserti128_si256(_mm256_castsi128_si256(c), d, 1);
    return _mm512_inserti64x4(_mm512_castsi256_si512(low), high, 1);
}

// Sixteen answers as bytes: bit (value mod 32) of each lane's word, where `inside` allows.
NORVALE_TARGET_AVX512 inline void store_answers(std::uint8_t *out, __m512i words, __m512i values,
                                                __mmask16 inside) noexcept {
    const __m512i bits = _mm512_srlv_epi32(words, _mm512_and_si512(values, _mm512_set1_epi32(31)));
    const __mmask16 found = _mm512_mask_test_epi32_mask(inside, bits, _mm512_set1_epi32(1));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out), _mm_maskz_mov_epi8(found, _mm_set1_epi8(1)));
}

// Lane-wise least and greatest of 4- or 8-byte lanes, signed or not as T is.
template <typename T>
[[gnu::always_inline]] NORVALE_TARGET_AVX512 inline __m512i least(__m512i a, __m512i b) noexcept {
    if constexpr (sizeof(T) == 8) return std::is_signed_v<T> ? _mm512_min_epi64(a, b) : _mm512_min_epu64(a, b);
    else return std::is_signed_v<T> ? _mm512_min_epi32(a, b) : _mm512_min_epu32(a, b);
}
template <typename T>
[[gnu::always_inline]] NORVALE_TARGET_AVX512 inline __m512i greatest(__m512i a, __m512i b) noexcept {
    if constexpr (sizeof(T) == 8) return std::is_signed_v<T> ? _mm512_max_epi64(a, b) : _mm512_max_epu64(a, b);
    else return std::is_signed_v<T> ? _mm512_max_epi32(a, b) : _mm512_max_epu32(a, b);
}

// The least and greatest of n >= 1 values of 4 or 8 bytes, two vectors at a time.
template <typename T>
NORVALE_TARGET_AVX512 void scan_range(const char *data, std::size_t n, T &low, T &high) noexcept {
    static_assert(sizeof(T) == 4 || sizeof(T) == 8);
    constexpr std::size_t lanes = 64 / sizeof(T);
    const Contiguous<T> values{data, n};
    low = high = values[0];
    std::size_t j = 0;
    if (n >= 2 * lanes) {
        __m512i low_a = _mm512_loadu_si512(data), low_b = _mm512_loadu_si512(data + 64);
        __m512i high_a = low_a, high_b = low_b;
        for (j = 2 * lanes; j + 2 * lanes <= n; j += 2 * lanes) {
            const __m512i a = _mm512_loadu_si512(data + j * sizeof(T)), b = _mm512_loadu_si512(data + j * sizeof(T) + 64);
            low_a = least<T>(low_a, a);
            low_b = least<T>(low_b, b);
            high_a = greatest<T>(high_a, a);
            high_b = greatest<T>(high_b, b);
        }
        alignas(64) T lows[lanes], highs[lanes];
        _mm512_store_si512(lows, least<T>(low_a, low_b));
        _mm512_store_si512(highs, greatest<T>(high_a, high_b));
        for (std::size_t k = 0; k < lanes; ++k) {
            low = std::min(low, lows[k]);
            high = std::max(high, highs[k]);
        }
    }
    for (; j < n; ++j) {
        low = std::min(low, values[j]);
        high = std::max(high, values[j]);
    }
}

template <typename T>
NORVALE_TARGET_AVX512 std::size_t lookup_words(const BitmapLayout<T> &map, const char *data, std::size_t n,
                                               std::uint8_t *out) noexcept {
    static_assert(sizeof(T) == 2 || sizeof(T) == 4 || sizeof(T) == 8);
    // Locals, which the result stores cannot change (the layout's fields might, for all the
    // compiler knows).
    const std::uint32_t *const words = map.words;
    const T lo = map.lo;
    const std::uint64_t last_offset = map.bits - 1;
    // The word number: bits 5 and up of the position, which is the value's low held_shift bits.
    const unsigned length = unsigned(map.held_shift - 5);
    std::size_t j = 0;
    for (; j + 16 <= n; j += 16) {
        const char *const values = data + j * sizeof(T);
        __m128i part[4];
        __m512i low_halves;  // the values' low 32 bits, for the bit within the word
        __mmask16 inside;
        if constexpr (sizeof(T) == 2) {
            // All 2^16 positions are held: no range to check.
#pragma GCC unroll 4
            for (int g = 0; g < 4; ++g) {
                const std::uint64_t four = load_u64(values + 8 * g);
                part[g] = four_words(words, [&](int k) NORVALE_TARGET_AVX512 { return _bextr_u64(four, unsigned(16 * k + 5), length); });
            }
            low_halves = _mm512_cvtepu16_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(values)));
            inside = 0xFFFF;
        } else if constexpr (sizeof(T) == 4) {
#pragma GCC unroll 4
            for (int g = 0; g < 4; ++g) {
                // Each 8-byte load by itself: a wider copy could go through the stack.
                const std::uint64_t first = load_u64(values + 16 * g), second = load_u64(values + 16 * g + 8);
                part[g] = four_words(words, [&](int k) NORVALE_TARGET_AVX512 {
                    return _bextr_u64(k < 2 ? first : second, unsigned(32 * (k & 1) + 5), length);
                });
            }
            low_halves = _mm512_loadu_si512(values);
            const __m512i offsets = _mm512_sub_epi32(low_halves, _mm512_set1_epi32(static_cast<int>(lo)));
            inside = _mm512_cmple_epu32_mask(offsets, _mm512_set1_epi32(static_cast<int>(std::uint32_t(last_offset))));
        } else {
#pragma GCC unroll 4
            for (int g = 0; g < 4; ++g) {
                // One value a load, which the compiler may fold into the BEXTR.
                part[g] = four_words(words, [&](int k) NORVALE_TARGET_AVX512 {
                    std::uint64_t value;
                    std::memcpy(&value, values + 32 * g + 8 * k, sizeof value);
                    return _bextr_u64(value, 5, length);
                });
            }
            const __m512i a = _mm512_loadu_si512(values), b = _mm512_loadu_si512(values + 64);
            low_halves = _mm512_inserti64x4(_mm512_castsi256_si512(_mm512_cvtepi64_epi32(a)), _mm512_cvtepi64_epi32(b), 1);
            const __m512i low = _mm512_set1_epi64(static_cast<long long>(lo));
            const __m512i last = _mm512_set1_epi64(static_cast<long long>(last_offset));
            inside = _mm512_kunpackb(_mm512_cmple_epu64_mask(_mm512_sub_epi64(b, low), last),
                                     _mm512_cmple_epu64_mask(_mm512_sub_epi64(a, low), last));
        }
        store_answers(out + j, joined(part[0], part[1], part[2], part[3]), low_halves, inside);
    }
    return j;
}

}  // namespace norvale::kernels::bitmap_avx512

#endif
