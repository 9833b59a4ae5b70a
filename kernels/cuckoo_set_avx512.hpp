// The cuckoo table's lookups with AVX-512: eight keys hashed in one vector, and each key
// compared with both its buckets at once, the two 32-byte buckets side by side in one register.
// Every key, 0 included, lives in one of its two buckets, so one compare answers each lookup:
// no branch, no second pass. The answers of eight keys come out as eight bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "kernels/cpu_features.hpp"
#include "kernels/strided.hpp"
#include "kernels/cuckoo_set.hpp"

#if defined(NORVALE_HAVE_AVX512_VARIANTS)
#include <immintrin.h>

namespace norvale::kernels::cuckoo_avx512 {

template <typename Key>
class Prober {
    static_assert(sizeof(Key) == 4 || sizeof(Key) == 8);
    using Set = CuckooSet<Key>;
    static_assert(Set::bucket_bytes == 32);
    static constexpr std::size_t group = 8;  // keys hashed at a time

public:
    explicit Prober(const Set &set) noexcept
        : set_(set), buckets_(static_cast<const char *>(set.buckets())), bits_(set.bucket_bits()) {}

    // out[j] = whether keys[j] is held, j < n; the keys lie next to each other at any address.
    NORVALE_TARGET_AVX512 void run(const char *keys, std::size_t n, std::uint8_t *out) const noexcept {
        if (!buckets_) {  // nothing inserted
            for (std::size_t j = 0; j < n; ++j) out[j] = 0;
            return;
        }
        const std::size_t whole = n / group * group;
        // A group's bucket offsets are hashed a group ahead, so that they are read back long
        // after their stores.
        alignas(64) std::uint64_t offsets[2][group];
        if (whole) home_offsets(keys, offsets[0]);
        for (std::size_t j = 0; j < whole; j += group) {
            if (j + group < whole) home_offsets(keys + (j + group) * sizeof(Key), offsets[((j / group) & 1) ^ 1]);
            const std::uint64_t answers = compare(keys + j * sizeof(Key), offsets[(j / group) & 1]);
            std::memcpy(out + j, &answers, 8);
        }
        const Contiguous<Key> items{keys, n};
        for (std::size_t j = whole; j < n; ++j) out[j] = std::uint8_t(set_.contains(items[j]));
    }

private:
    const Set &set_;
    const char *buckets_;  // copies held in registers by the loops

    unsigned bits_;

    // As CuckooSet::homes: the top bits of the key's product name the first bucket, the next
    // bits the (odd) distance to the second. Both byte offsets in one word, the second on top.
    NORVALE_TARGET_AVX512 void home_offsets(const char *keys, std::uint64_t *offsets) const noexcept {
        const __m512i wide = sizeof(Key) == 8 ? _mm512_loadu_si512(keys)
                                              : _mm512_cvtepu32_epi64(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(keys)));
        const __m512i h = _mm512_mullo_epi64(wide, _mm512_set1_epi64(static_cast<long long>(key_hash_multiplier)));
        const __m512i first = _mm512_srl_epi64(h, _mm_cvtsi32_si128(int(64 - bits_)));
        const __m512i apart = _mm512_or_si512(
            _mm512_and_si512(_mm512_srl_epi64(h, _mm_cvtsi32_si128(int(64 - 2 * bits_))),
                             _mm512_set1_epi64(static_cast<long long>((std::uint64_t(1) << bits_) - 1))),
            _mm512_set1_epi64(1));
        const __m512i second = _mm512_xor_si512(first, apart);
        _mm512_store_si512(offsets, _mm512_or_si512(_mm512_slli_epi64(first, 5), _mm512_slli_epi64(second, 37)));
    }

    // Eight answers, one byte each: per key a mask of the slots of its two buckets that hold it.
    NORVALE_TARGET_AVX512 std::uint64_t compare(const char *keys, const std::uint64_t *offsets) const noexcept {
        constexpr std::size_t per_word = sizeof(Key) == 8 ? 8 : 4;  // masks of 8 or 16 bits
        std::uint64_t answers = 0;
#pragma GCC unroll 2
        for (std::size_t w = 0; w < group / per_word; ++w) {
            std::uint64_t word;
            if constexpr (sizeof(Key) == 8) {
                __mmask8 mask[8];
#pragma GCC unroll 8
                for (std::size_t q = 0; q < 8; ++q) mask[q] = slots_holding(keys, offsets, q);
                const __mmask32 low = _mm512_kunpackw(_mm512_kunpackb(mask[3], mask[2]), _mm512_kunpackb(mask[1], mask[0]));
                const __mmask32 high = _mm512_kunpackw(_mm512_kunpackb(mask[7], mask[6]), _mm512_kunpackb(mask[5], mask[4]));
                word = _cvtmask64_u64(_mm512_kunpackd(high, low));
                // A byte per key: its top bit set by any of its bits (the low seven add up to
                // less than the top one, so no carry leaves a byte).
                constexpr std::uint64_t low7 = 0x7F7F7F7F7F7F7F7Full, top = 0x8080808080808080ull;
                answers = ((((word & low7) + low7) | word) & top) >> 7;
            } else {
                __mmask16 mask[4];
#pragma GCC unroll 4
                for (std::size_t q = 0; q < 4; ++q) mask[q] = slots_holding(keys, offsets, w * 4 + q);
                word = _cvtmask64_u64(_mm512_kunpackd(_mm512_kunpackw(mask[3], mask[2]), _mm512_kunpackw(mask[1], mask[0])));
                constexpr std::uint64_t low15 = 0x7FFF7FFF7FFF7FFFull, top = 0x8000800080008000ull;
                const std::uint64_t any = (((word & low15) + low15) | word) & top;
                answers |= _pdep_u64(_pext_u64(any, top), 0x01010101ull) << (32 * w);
            }
        }
        return answers;
    }

    [[gnu::always_inline]] NORVALE_TARGET_AVX512 auto slots_holding(const char *keys, const std::uint64_t *offsets,
                                                                    std::size_t q) const noexcept {
        const std::uint64_t both = offsets[q];
        const Key key = Contiguous<Key>{keys, group}[q];
        const __m256i first = _mm256_load_si256(reinterpret_cast<const __m256i *>(buckets_ + std::uint32_t(both)));
        const __m512i line = _mm512_inserti64x4(_mm512_castsi256_si512(first),
                                                _mm256_load_si256(reinterpret_cast<const __m256i *>(buckets_ + (both >> 32))), 1);
        if constexpr (sizeof(Key) == 8)
            return _mm512_cmpeq_epi64_mask(line, _mm512_set1_epi64(static_cast<long long>(key)));
        else
            return _mm512_cmpeq_epi32_mask(line, _mm512_set1_epi32(static_cast<int>(key)));
    }
};

}  // namespace norvale::kernels::cuckoo_avx512

#endif
