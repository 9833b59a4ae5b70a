// The flat table's lookups with AVX-512: a vector of keys (8 of 8 bytes, 16 of 4) hashed at
// once, each home bucket compared whole by one instruction, and no branch in the loop that
// depends on the data.
//
// Keys fill a bucket front to back, and a key only goes past its home bucket when that is full,
// so a bucket whose last slot is empty ends every chain through it. One compare therefore tells
// a lookup all it needs in nearly every case: the key against every slot but the last, and the
// last slot against 0. A match answers yes; an empty last slot answers no; the rest (a full
// bucket without the key in its first slots: a few keys in a hundred at half load) are marked
// and looked up one by one after each block of keys. A branch on them in the main loop would be
// mispredicted for each, and each misprediction throws away the lookups in flight behind it.
//
// A table past the nearer caches is read ahead: the lines of the keys 64 places on are requested
// as their group is hashed.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "kernels/cpu_features.hpp"
#include "kernels/strided.hpp"
#include "kernels/flat_set.hpp"
#include "kernels/prefetch.hpp"

#if defined(NORVALE_HAVE_AVX512_VARIANTS)
#include <immintrin.h>

namespace norvale::kernels::flat_avx512 {

// Keys looked up between two passes over the marked ones.
inline constexpr std::size_t block = 1024;

template <typename Key>
class Prober {
    static_assert(sizeof(Key) == 4 || sizeof(Key) == 8);
    using Set = FlatSet<Key>;
    static constexpr std::size_t lanes = Set::lanes;  // keys a bucket holds, and keys per group
    using Bits = std::conditional_t<lanes == 8, __mmask8, __mmask16>;

public:
    explicit Prober(const Set &set) noexcept : set_(set), table_(set.lookup()), has_zero_(set.has_zero()) {}

    // out[j] = whether keys[j] is held, j < n; the keys lie next to each other at any address.
    NORVALE_TARGET_AVX512 void run(const char *keys, std::size_t n, std::uint8_t *out) const noexcept {
        if (!table_.buckets) {  // nothing held but perhaps the key 0
            const Contiguous<Key> items{keys, n};
            for (std::size_t j = 0; j < n; ++j) out[j] = std::uint8_t(set_.contains(items[j]));
            return;
        }
        const bool read_ahead = table_.bucket_count * Set::bucket_bytes >= Set::prefetch_from;
        for (std::size_t start = 0; start < n; start += block) {
            const std::size_t count = std::min(block, n - start);
            if (read_ahead) run_block<true>(keys + start * sizeof(Key), count, out + start);
            else run_block<false>(keys + start * sizeof(Key), count, out + start);
        }
    }

private:
    const Set &set_;
    typename Set::Lookup table_;  // a copy held in registers by the loops
    bool has_zero_;

    // The byte offsets of the home buckets of the group of keys at `keys`.
    NORVALE_TARGET_AVX512 void home_offsets(const char *keys, std::uint64_t *offsets) const noexcept {
        const __m512i multiplier = _mm512_set1_epi64(static_cast<long long>(key_hash_multiplier));
        const __m512i bucket_count = _mm512_set1_epi64(static_cast<long long>(table_.bucket_count));
        const auto offsets_of = [&](__m512i wide_keys) NORVALE_TARGET_AVX512 {
            // The bucket is the top half of the key's product scaled to the bucket count (as
            // FlatSet::Lookup::home computes it), 64 bytes each.
            const __m512i top = _mm512_srli_epi64(_mm512_mullo_epi64(wide_keys, multiplier), 32);
            return _mm512_slli_epi64(_mm512_srli_epi64(_mm512_mul_epu32(top, bucket_count), 32), 6);
        };
        if constexpr (sizeof(Key) == 8) {
            _mm512_store_si512(offsets, offsets_of(_mm512_loadu_si512(keys)));
        } else {
            const __m512i both = _mm512_loadu_si512(keys);
            _mm512_store_si512(offsets, offsets_of(_mm512_cvtepu32_epi64(_mm512_castsi512_si256(both))));
            _mm512_store_si512(offsets + 8, offsets_of(_mm512_cvtepu32_epi64(_mm512_extracti64x4_epi64(both, 1))));
        }
    }

    // Compares each key of the group with its home bucket: bit q of `found` when key q is in
    // the first slots, of `unknown` when it is not and the bucket is full.
    NORVALE_TARGET_AVX512 void compare(const char *keys, const std::uint64_t *offsets, std::uint32_t &found,
                                       std::uint32_t &unknown) const noexcept {
        const char *const buckets = reinterpret_cast<const char *>(table_.buckets);
        const Contiguous<Key> group{keys, lanes};
        found = unknown = 0;
        // Per key a mask with a bit for each slot but the last that holds it, and the last bit
        // for an empty last slot; four or eight masks at a time go into one 64-bit word.
        constexpr std::uint64_t last = lanes == 8 ? 0x8080808080808080ull : 0x8000800080008000ull;
        constexpr std::uint64_t others = ~last;
        constexpr std::size_t per_word = 64 / lanes;
#pragma GCC unroll 2
        for (std::size_t w = 0; w < lanes / per_word; ++w) {
            Bits mask[per_word];
#pragma GCC unroll 8
            for (std::size_t q = 0; q < per_word; ++q) {
                const std::size_t k = w * per_word + q;
                const __m512i line = _mm512_load_si512(buckets + offsets[k]);
                if constexpr (sizeof(Key) == 8)
                    mask[q] = _mm512_cmpeq_epi64_mask(line, _mm512_maskz_set1_epi64(0x7F, static_cast<long long>(group[k])));
                else
                    mask[q] = _mm512_cmpeq_epi32_mask(line, _mm512_maskz_set1_epi32(0x7FFF, static_cast<int>(group[k])));
            }
            std::uint64_t word;
            if constexpr (sizeof(Key) == 8) {
                const __mmask32 low = _mm512_kunpackw(_mm512_kunpackb(mask[3], mask[2]), _mm512_kunpackb(mask[1], mask[0]));
                const __mmask32 high = _mm512_kunpackw(_mm512_kunpackb(mask[7], mask[6]), _mm512_kunpackb(mask[5], mask[4]));
                word = _cvtmask64_u64(_mm512_kunpackd(high, low));
            } else {
                word = _cvtmask64_u64(_mm512_kunpackd(_mm512_kunpackw(mask[3], mask[2]), _mm512_kunpackw(mask[1], mask[0])));
            }
            // The last bit of each key's field is set by any of its other bits (no carry leaves
            // a field: the others add up to less than the last bit).
            const std::uint64_t hit = ((word & others) + others) & last;
            found |= std::uint32_t(_pext_u64(hit, last)) << (w * per_word);
            unknown |= std::uint32_t(_pext_u64(~(hit | word) & last, last)) << (w * per_word);
        }
    }

    // n <= block keys. Whole groups go through the vector loop, the rest one by one.
    template <bool ReadAhead>
    NORVALE_TARGET_AVX512 void run_block(const char *keys, std::size_t n, std::uint8_t *out) const noexcept {
        const std::size_t whole = n / lanes * lanes;
        // Bit j % 64 of pending[j / 64]: key j was not settled by its home bucket's first slots.
        std::uint64_t pending[block / 64];
        // The home bucket offsets of the groups ahead, hashed `ahead` groups before their lookups
        // (and their lines requested then, when reading ahead); read back long after the stores.
        constexpr std::size_t ahead = ReadAhead ? 64 / lanes : 1;
        alignas(64) std::uint64_t offsets[ahead + 1][lanes];
        const char *const buckets = reinterpret_cast<const char *>(table_.buckets);
        const auto hash_group = [&](std::size_t j) NORVALE_TARGET_AVX512 {
            std::uint64_t *const into = offsets[(j / lanes) % (ahead + 1)];
            home_offsets(keys + j * sizeof(Key), into);
            if constexpr (ReadAhead)
                for (std::size_t q = 0; q < lanes; ++q) prefetch_line(buckets + into[q]);
        };
        for (std::size_t j = 0; j < whole && j < ahead * lanes; j += lanes) hash_group(j);
        const Contiguous<Key> items{keys, n};
        const bool has_zero = has_zero_;
        std::uint64_t pend = 0;
        for (std::size_t j = 0; j < whole; j += lanes) {
            const char *const group = keys + j * sizeof(Key);
            if (j + ahead * lanes < whole) hash_group(j + ahead * lanes);
            std::uint32_t found, unknown;
            compare(group, offsets[(j / lanes) % (ahead + 1)], found, unknown);
            // The key 0 matches empty slots: its answer is the flag.
            const __m512i group_keys = _mm512_loadu_si512(group);
            const std::uint32_t zero = sizeof(Key) == 8 ? std::uint32_t(_mm512_testn_epi64_mask(group_keys, group_keys))
                                                        : std::uint32_t(_mm512_testn_epi32_mask(group_keys, group_keys));
            found = (found & ~zero) | (has_zero ? zero : 0);
            const std::uint64_t low_bytes = _pdep_u64(found, 0x0101010101010101ull);
            std::memcpy(out + j, &low_bytes, 8);
            if constexpr (lanes == 16) {
                const std::uint64_t high_bytes = _pdep_u64(found >> 8, 0x0101010101010101ull);
                std::memcpy(out + j + 8, &high_bytes, 8);
            }
            // Kept in a register, stored once a word: no branch, and no store and reload per group.
            pend |= std::uint64_t(unknown & ~zero) << (j % 64);
            if ((j + lanes) % 64 == 0 || j + lanes == whole) {
                pending[j / 64] = pend;
                pend = 0;
            }
        }
        for (std::size_t w = 0; w < (whole + 63) / 64; ++w)
            for (std::uint64_t bits = pending[w]; bits; bits &= bits - 1) {
                const std::size_t j = w * 64 + std::size_t(__builtin_ctzll(bits));
                out[j] = std::uint8_t(past_first_slots(items[j]));
            }
        for (std::size_t j = whole; j < n; ++j) out[j] = std::uint8_t(set_.contains(items[j]));
    }

    // Whether `key` (not 0), not in the first slots of its full home bucket, is in its last slot
    // or further along the chain. No branch but for chains past a second bucket:
    // the second line read is the home line again unless the home bucket overflowed, so that
    // the lookups of many marked keys overlap.
    NORVALE_TARGET_AVX512 bool past_first_slots(Key key) const noexcept {
        const char *const buckets = reinterpret_cast<const char *>(table_.buckets);
        const std::size_t b = table_.home(key);
        const bool over = table_.overflowed(b);
        const std::size_t second = over ? table_.next(b) : b;
        const __m512i home = _mm512_load_si512(buckets + b * Set::bucket_bytes);
        const __m512i next = _mm512_load_si512(buckets + second * Set::bucket_bytes);
        bool hit;
        if constexpr (sizeof(Key) == 8) {
            const __m512i wanted = _mm512_set1_epi64(static_cast<long long>(key));
            hit = (_mm512_cmpeq_epi64_mask(home, wanted) | _mm512_cmpeq_epi64_mask(next, wanted)) != 0;
        } else {
            const __m512i wanted = _mm512_set1_epi32(static_cast<int>(key));
            hit = (_mm512_cmpeq_epi32_mask(home, wanted) | _mm512_cmpeq_epi32_mask(next, wanted)) != 0;
        }
        if (__builtin_expect(over & table_.overflowed(second) & !hit, 0)) return table_.contains_from(key, table_.next(second));
        return hit;
    }
};

}  // namespace norvale::kernels::flat_avx512

#endif
