// The range bitmap's AVX2 and BMI2 variant over contiguous values: the scan for the range of the
// test values, and the lookups, each returning how many leading elements it answered (the caller
// answers the rest one by one). Vector lanes hold 8 to 32
// positions at a time; the bitmap words come from a gather, or, for 8-bit values, from the whole
// 32-byte bitmap held in registers. The gather is slow on some processors (20 cycles for 8
// lanes on Zen 3), so bitmaps that fit the first-level cache are read by scalar loads instead,
// a block of elements at a time once the block is known to lie inside the held range.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

#include "kernels/bitmap_layout.hpp"
#include "kernels/cpu_features.hpp"

#if defined(NORVALE_HAVE_AVX2_VARIANTS)
#include <immintrin.h>

namespace norvale::kernels::bitmap_avx2 {

template <typename T>
T load(const char *data, std::size_t j) noexcept {
    T value;
    std::memcpy(&value, data + j * sizeof value, sizeof value);
    return value;
}

// Lane-wise least and greatest of signed 4- or 8-byte lanes.
template <std::size_t Bytes>
NORVALE_TARGET_AVX2 inline __m256i least(__m256i a, __m256i b) noexcept {
    if constexpr (Bytes == 8) return _mm256_blendv_epi8(a, b, _mm256_cmpgt_epi64(a, b));
    else return _mm256_min_epi32(a, b);
}
template <std::size_t Bytes>
NORVALE_TARGET_AVX2 inline __m256i greatest(__m256i a, __m256i b) noexcept {
    if constexpr (Bytes == 8) return _mm256_blendv_epi8(a, b, _mm256_cmpgt_epi64(b, a));
    else return _mm256_max_epi32(a, b);
}

// The least and greatest of n >= 1 values of 4 or 8 bytes, two vectors of each at a time. The
// compares are signed: unsigned values are put in signed order by flipping their top bit.
template <typename T>
NORVALE_TARGET_AVX2 void scan_range(const char *data, std::size_t n, T &low, T &high) noexcept {
    static_assert(sizeof(T) == 4 || sizeof(T) == 8);
    constexpr std::size_t lanes = 32 / sizeof(T), step = 2 * lanes;
    using Signed = std::make_signed_t<T>;
    constexpr Signed top = std::is_signed_v<T> ? 0 : std::numeric_limits<Signed>::min();
    const __m256i flip = sizeof(T) == 8 ? _mm256_set1_epi64x(top) : _mm256_set1_epi32(static_cast<int>(top));
    const __m256i *const vectors = reinterpret_cast<const __m256i *>(data);
    low = high = load<T>(data, 0);
    std::size_t j = 0;
    if (n >= step) {
        __m256i low_a = _mm256_xor_si256(_mm256_loadu_si256(vectors), flip);
        __m256i low_b = _mm256_xor_si256(_mm256_loadu_si256(vectors + 1), flip);
        __m256i high_a = low_a, high_b = low_b;
        for (j = step; j + step <= n; j += step) {
            const __m256i a = _mm256_xor_si256(_mm256_loadu_si256(vectors + j / lanes), flip);
            const __m256i b = _mm256_xor_si256(_mm256_loadu_si256(vectors + j / lanes + 1), flip);
            low_a = least<sizeof(T)>(low_a, a);
            low_b = least<sizeof(T)>(low_b, b);
            high_a = greatest<sizeof(T)>(high_a, a);
            high_b = greatest<sizeof(T)>(high_b, b);
        }
        alignas(32) Signed lows[lanes], highs[lanes];
        _mm256_store_si256(reinterpret_cast<__m256i *>(lows), _mm256_xor_si256(least<sizeof(T)>(low_a, low_b), flip));
        _mm256_store_si256(reinterpret_cast<__m256i *>(highs),
                           _mm256_xor_si256(greatest<sizeof(T)>(high_a, high_b), flip));
        for (std::size_t k = 0; k < lanes; ++k) {
            low = std::min(low, T(lows[k]));
            high = std::max(high, T(highs[k]));
        }
    }
    for (; j < n; ++j) {
        const T value = load<T>(data, j);
        low = std::min(low, value);
        high = std::max(high, value);
    }
}

// The answers of 8 positions (in 32-bit lanes) as 8 bytes: gather the word of each lane's bit,
// shift the bit to the top, and spread the 8 sign bits to bytes. Lanes outside the range are
// left out of the gather and answer 0.
NORVALE_TARGET_AVX2 inline std::uint64_t answer_8(const std::uint32_t *words, __m256i positions,
                                                  __m256i inside) noexcept {
    const __m256i word = _mm256_mask_i32gather_epi32(_mm256_setzero_si256(), reinterpret_cast<const int *>(words),
                                                     _mm256_srli_epi32(positions, 5), inside, 4);
    const __m256i to_top = _mm256_andnot_si256(positions, _mm256_set1_epi32(31));  // 31 - position % 32
    const unsigned mask = unsigned(_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_sllv_epi32(word, to_top))));
    return _pdep_u64(mask, 0x0101010101010101ull);
}

// The low (or high) halves of the 64-bit lanes of a and b, in order, as 8 lanes of 32 bits.
template <int High>
NORVALE_TARGET_AVX2 inline __m256i halves(__m256i a, __m256i b) noexcept {
    constexpr int pick = High ? _MM_SHUFFLE(3, 1, 3, 1) : _MM_SHUFFLE(2, 0, 2, 0);
    const __m256 mixed = _mm256_shuffle_ps(_mm256_castsi256_ps(a), _mm256_castsi256_ps(b), pick);
    return _mm256_permute4x64_epi64(_mm256_castps_si256(mixed), _MM_SHUFFLE(3, 1, 2, 0));
}

// 64-bit elements, held_shift <= 32. An offset from lo is inside the held bits when its high half
// is 0 and its low half shifted right by held_shift is 0; the position is the low half of the
// value, which is the low half of the offset plus that of lo, masked.
template <typename T>
NORVALE_TARGET_AVX2 std::size_t gather_64(const BitmapLayout<T> &map, const char *data, std::size_t n,
                                          std::uint8_t *out) noexcept {
    const __m256i lo = _mm256_set1_epi64x(static_cast<long long>(map.lo));
    const __m256i lo_low = _mm256_set1_epi32(static_cast<int>(std::uint32_t(std::uint64_t(map.lo))));
    const __m256i mask = _mm256_set1_epi32(static_cast<int>(std::uint32_t(map.held_mask())));
    const __m128i shift = _mm_cvtsi32_si128(map.held_shift);
    std::size_t j = 0;
    for (; j + 8 <= n; j += 8) {
        const __m256i a = _mm256_sub_epi64(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(data + 8 * j)), lo);
        const __m256i b =
            _mm256_sub_epi64(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(data + 8 * j + 32)), lo);
        const __m256i low = halves<0>(a, b);
        const __m256i beyond = _mm256_or_si256(_mm256_srl_epi32(low, shift), halves<1>(a, b));
        const __m256i inside = _mm256_cmpeq_epi32(beyond, _mm256_setzero_si256());
        const __m256i positions = _mm256_and_si256(_mm256_add_epi32(low, lo_low), mask);
        const std::uint64_t bytes = answer_8(map.words, positions, inside);
        std::memcpy(out + j, &bytes, 8);
    }
    return j;
}

template <typename T>
NORVALE_TARGET_AVX2 std::size_t gather_32(const BitmapLayout<T> &map, const char *data, std::size_t n,
                                          std::uint8_t *out) noexcept {
    const __m256i lo = _mm256_set1_epi32(static_cast<int>(map.lo));
    const __m256i mask = _mm256_set1_epi32(static_cast<int>(std::uint32_t(map.held_mask())));
    const __m128i shift = _mm_cvtsi32_si128(map.held_shift);  // 32 shifts every bit out: all held
    std::size_t j = 0;
    for (; j + 8 <= n; j += 8) {
        const __m256i values = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(data + 4 * j));
        const __m256i offsets = _mm256_sub_epi32(values, lo);
        const __m256i inside = _mm256_cmpeq_epi32(_mm256_srl_epi32(offsets, shift), _mm256_setzero_si256());
        const std::uint64_t bytes = answer_8(map.words, _mm256_and_si256(values, mask), inside);
        std::memcpy(out + j, &bytes, 8);
    }
    return j;
}

// 16-bit values: the bitmap holds all 2^16 positions, so every lane takes part and the value is
// its own position (the gather takes its lanes from a mask either way: all-ones costs nothing).
template <typename T>
NORVALE_TARGET_AVX2 std::size_t gather_16(const BitmapLayout<T> &map, const char *data, std::size_t n,
                                          std::uint8_t *out) noexcept {
    const __m256i all = _mm256_set1_epi32(-1);
    std::size_t j = 0;
    for (; j + 16 <= n; j += 16) {
        const __m256i values = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(data + 2 * j));
        const std::uint64_t low = answer_8(map.words, _mm256_cvtepu16_epi32(_mm256_castsi256_si128(values)), all);
        const std::uint64_t high = answer_8(map.words, _mm256_cvtepu16_epi32(_mm256_extracti128_si256(values, 1)), all);
        std::memcpy(out + j, &low, 8);
        std::memcpy(out + j + 8, &high, 8);
    }
    return j;
}

// 8-bit values: the 256-bit bitmap sits in two registers; byte shuffles pick each value's bitmap
// byte (by bits 3..6 of the value, bit 7 choosing the register) and its bit.
template <typename T>
NORVALE_TARGET_AVX2 std::size_t shuffle_8(const BitmapLayout<T> &map, const char *data, std::size_t n,
                                          std::uint8_t *out) noexcept {
    const __m128i low_bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(map.words));
    const __m128i high_bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(map.words) + 1);
    const __m256i low_table = _mm256_broadcastsi128_si256(low_bytes);
    const __m256i high_table = _mm256_broadcastsi128_si256(high_bytes);
    const __m256i bit_of = _mm256_setr_epi8(1, 2, 4, 8, 16, 32, 64, -128, 1, 2, 4, 8, 16, 32, 64, -128, 1, 2, 4, 8,
                                            16, 32, 64, -128, 1, 2, 4, 8, 16, 32, 64, -128);
    const __m256i low_nibble = _mm256_set1_epi8(0x0F), seven = _mm256_set1_epi8(7), one = _mm256_set1_epi8(1);
    std::size_t j = 0;
    for (; j + 32 <= n; j += 32) {
        const __m256i values = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(data + j));
        const __m256i byte_index = _mm256_and_si256(_mm256_srli_epi16(values, 3), low_nibble);
        const __m256i byte = _mm256_blendv_epi8(_mm256_shuffle_epi8(low_table, byte_index),
                                                _mm256_shuffle_epi8(high_table, byte_index), values);
        const __m256i bit = _mm256_shuffle_epi8(bit_of, _mm256_and_si256(values, seven));
        const __m256i answer = _mm256_min_epu8(_mm256_and_si256(byte, bit), one);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + j), answer);
    }
    return j;
}

// Elements answered per block of the scalar lookups: each block is checked first.
inline constexpr std::size_t lookup_block = 64;

// Whether all lookup_block elements at data lie in the held range: the OR of their offsets
// from lo has no bit at or above held_shift.
template <typename T>
NORVALE_TARGET_AVX2 bool block_inside(const BitmapLayout<T> &map, const char *data) noexcept {
    constexpr std::size_t lanes = 32 / sizeof(T);
    const __m256i lo = sizeof(T) == 8 ? _mm256_set1_epi64x(static_cast<long long>(map.lo))
                                      : _mm256_set1_epi32(static_cast<int>(map.lo));
    __m256i any = _mm256_setzero_si256();
#pragma GCC unroll 16
    for (std::size_t k = 0; k < lookup_block; k += lanes) {
        const __m256i values = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(data + k * sizeof(T)));
        any = _mm256_or_si256(any, sizeof(T) == 8 ? _mm256_sub_epi64(values, lo) : _mm256_sub_epi32(values, lo));
    }
    const __m128i shift = _mm_cvtsi32_si128(map.held_shift);  // at the lane width or more: all held
    const __m256i beyond = sizeof(T) == 8 ? _mm256_srl_epi64(any, shift) : _mm256_srl_epi32(any, shift);
    return _mm256_testz_si256(beyond, beyond);
}

// 32- and 64-bit elements, one scalar load of a 64-bit bitmap word per element: bits 6 and up of
// the position number the word (one BEXTR) and the low 6 bits of the value pick its bit. Eight
// answers gather as bits in a register and spread to bytes with one PDEP, so a store serves
// eight elements. The position is taken from each element as it is read, so an element that
// changed since its block was checked is answered wrongly at worst, never read outside the bitmap.
template <typename T>
NORVALE_TARGET_AVX2 std::size_t scalar_blocks(const BitmapLayout<T> &map, const char *data, std::size_t n,
                                              std::uint8_t *out) noexcept {
    static_assert(sizeof(T) == 4 || sizeof(T) == 8);
    using U = typename BitmapLayout<T>::U;
    const char *const words = reinterpret_cast<const char *>(map.words);
    const unsigned word_field = 6u | unsigned(map.held_shift - 6) << 8;  // start 6, length held_shift - 6
    std::size_t j = 0;
    for (; j + lookup_block <= n; j += lookup_block) {
        const char *const values = data + j * sizeof(T);
        if (!block_inside(map, values)) {
            for (std::size_t k = 0; k < lookup_block; ++k) out[j + k] = std::uint8_t(map.contains(load<T>(values, k)));
            continue;
        }
        for (std::size_t k = 0; k < lookup_block; k += 8) {
            std::uint64_t found = 0;  // element k + i's answer in bit i
#pragma GCC unroll 8
            for (int i = 7; i >= 0; --i) {
                const std::uint64_t value = std::uint64_t(U(load<T>(values, k + std::size_t(i))));
                std::uint64_t word;
                std::memcpy(&word, words + 8 * __bextr_u64(value, word_field), sizeof word);
                // BT takes the bit number modulo 64; ADC shifts the answer in from the carry.
                asm("bt %2, %1\n\tadc %0, %0" : "+r"(found) : "r"(word), "r"(value) : "cc");
            }
            const std::uint64_t bytes = _pdep_u64(found, 0x0101010101010101ull);
            std::memcpy(out + j + k, &bytes, 8);
        }
    }
    return j;
}

}  // namespace norvale::kernels::bitmap_avx2

#endif
