// An open-addressing hash set of unsigned integer keys, for membership tests.
//
// The table is a power-of-two number of buckets of one cache line each, probed bucket by bucket from
// the key's home bucket. A bucket is scanned whole without early exits, so a lookup costs one
// predictable loop instead of a mispredicted branch per probe; the table is kept at most half
// full, so nearly every lookup ends in its home bucket. The key 0 marks an empty slot, and the
// value 0 itself is held in a flag. The table starts empty and grows by doubling: nothing is
// reserved up front. An insert that cannot grow the table returns false.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace norvale::kernels {

template <typename Key>
class FlatSet {
    static_assert(std::is_unsigned_v<Key>);
    static constexpr std::size_t bucket_bytes = 64;  // one cache line
    static constexpr std::size_t width = bucket_bytes / sizeof(Key);

    struct alignas(bucket_bytes) Bucket {
        Key keys[width];
    };

    struct Scan {
        bool found;  // the bucket holds the key
        bool open;   // the bucket has an empty slot
    };

#if defined(__SSE2__)
    // Lane-wise equality of 16 bytes of keys, as all-ones lanes; 64-bit lanes are built from
    // their two 32-bit halves, since baseline x86-64 has no 64-bit compare.
    static __m128i equal(__m128i a, __m128i b) noexcept {
        if constexpr (sizeof(Key) == 1) return _mm_cmpeq_epi8(a, b);
        else if constexpr (sizeof(Key) == 2) return _mm_cmpeq_epi16(a, b);
        else if constexpr (sizeof(Key) == 4) return _mm_cmpeq_epi32(a, b);
        else {
            const __m128i halves = _mm_cmpeq_epi32(a, b);
            return _mm_and_si128(halves, _mm_shuffle_epi32(halves, _MM_SHUFFLE(2, 3, 0, 1)));
        }
    }

    static __m128i splat(Key key) noexcept {
        if constexpr (sizeof(Key) == 1) return _mm_set1_epi8(char(key));
        else if constexpr (sizeof(Key) == 2) return _mm_set1_epi16(short(key));
        else if constexpr (sizeof(Key) == 4) return _mm_set1_epi32(int(key));
        else return _mm_set1_epi64x((long long)key);
    }

    static Scan scan_bucket(const Bucket &bucket, Key key) noexcept {
        const __m128i wanted = splat(key), zero = _mm_setzero_si128();
        __m128i found = zero, open = zero;
        const auto *lanes = reinterpret_cast<const __m128i *>(bucket.keys);
        for (std::size_t i = 0; i < bucket_bytes / 16; ++i) {
            const __m128i lane = _mm_load_si128(lanes + i);
            found = _mm_or_si128(found, equal(lane, wanted));
            open = _mm_or_si128(open, equal(lane, zero));
        }
        return {_mm_movemask_epi8(found) != 0, _mm_movemask_epi8(open) != 0};
    }
#else
    static Scan scan_bucket(const Bucket &bucket, Key key) noexcept {
        bool found = false, open = false;
        for (Key held : bucket.keys) {
            found |= held == key;
            open |= held == 0;
        }
        return {found, open};
    }
#endif

public:
    bool insert(Key key) noexcept {
        if (key == 0) {
            has_zero_ = true;
            return true;
        }
        if (2 * (count_ + 1) > width * buckets_ && !grow()) return false;
        for (std::size_t b = home(key);; b = (b + 1) & mask_) {
            const Scan scan = scan_bucket(table_[b], key);
            if (scan.found) return true;
            if (scan.open) {
                fill_open_slot(table_[b], key);
                ++count_;
                return true;
            }
        }
    }

    bool contains(Key key) const noexcept {
        if (key == 0) return has_zero_;
        if (count_ == 0) return false;
        for (std::size_t b = home(key);; b = (b + 1) & mask_) {
            const Scan scan = scan_bucket(table_[b], key);
            // Keys fill a probe chain's buckets in order, so an open slot ends the chain.
            if (scan.found | scan.open) return scan.found;
        }
    }

    // Hints the cache about the bucket a later `contains(key)` reads first.
    void prefetch(Key key) const noexcept {
        if (count_) __builtin_prefetch(&table_[home(key)]);
    }

    std::size_t bytes() const noexcept { return buckets_ * sizeof(Bucket); }

private:
    std::unique_ptr<Bucket[]> table_;
    std::size_t buckets_ = 0;
    std::size_t mask_ = 0;
    std::size_t count_ = 0;
    unsigned shift_ = 63;
    bool has_zero_ = false;

    // Fibonacci hashing: the high bits of the product spread clustered keys over the buckets.
    std::size_t home(Key key) const noexcept {
        return std::size_t((std::uint64_t(key) * 0x9E3779B97F4A7C15ull) >> shift_) & mask_;
    }

    static void fill_open_slot(Bucket &bucket, Key key) noexcept {
        for (Key &slot : bucket.keys) {
            if (slot == 0) {
                slot = key;
                return;
            }
        }
    }

    // Rehashing: the key is known to be new, so only an open slot is sought.
    void place(Key key) noexcept {
        for (std::size_t b = home(key);; b = (b + 1) & mask_) {
            if (scan_bucket(table_[b], key).open) {
                fill_open_slot(table_[b], key);
                return;
            }
        }
    }

    bool grow() noexcept {
        const std::size_t buckets = buckets_ ? 2 * buckets_ : 2;
        std::unique_ptr<Bucket[]> grown(new (std::nothrow) Bucket[buckets]());
        if (!grown) return false;
        std::unique_ptr<Bucket[]> old = std::move(table_);
        const std::size_t old_buckets = buckets_;
        table_ = std::move(grown);
        buckets_ = buckets;
        mask_ = buckets - 1;
        shift_ = 64 - unsigned(std::countr_zero(buckets));
        for (std::size_t b = 0; b < old_buckets; ++b)
            for (Key key : old[b].keys)
                if (key != 0) place(key);
        return true;
    }
};

}  // namespace norvale::kernels
