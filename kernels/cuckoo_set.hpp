// A small hash set of unsigned integer keys whose lookup never branches on the data: every key
// lives in one of its two buckets of 32 bytes (cuckoo hashing), and a lookup compares the key
// with both buckets whole, one vector compare each. For tables that stay in the nearer caches,
// where the work per lookup, not the memory, sets the pace.
//
// Empty slots hold a filler that no lookup can match: 0 in every bucket except the two buckets
// of the key 0 itself (0 and 1), which hold a small key whose own two buckets lie elsewhere. So
// any key, 0 included, is stored like any other, and a lookup is two compares and an or.
//
// The bucket count is a power of two; the table doubles when it is 15/16 full (or when a chain
// of evictions finds no room), so it holds at most about 17 bytes per 8-byte key. It never
// grows past max_bytes: then insert() reports too_large and the caller moves the keys into a
// FlatSet, which takes any number.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "kernels/cpu_features.hpp"
#include "kernels/set_key.hpp"
#include "kernels/table_memory.hpp"

#if defined(NORVALE_HAVE_AVX2_VARIANTS)
#include <immintrin.h>
#endif

namespace norvale::kernels {

template <typename Key>
class CuckooSet {
    static_assert(std::is_unsigned_v<Key> && (sizeof(Key) == 4 || sizeof(Key) == 8));

public:
    static constexpr std::size_t bucket_bytes = 32;
    static constexpr std::size_t lanes = bucket_bytes / sizeof(Key);
    static constexpr std::size_t max_bytes = std::size_t(256) << 10;
    static constexpr std::size_t min_buckets = 4;
    // The most keys the table holds at its largest (an unlucky chain of evictions may end it
    // sooner).
    static constexpr std::size_t max_keys = max_bytes / bucket_bytes * lanes * 15 / 16;

    enum class Insert { ok, out_of_memory, too_large };

    // The two buckets a lookup reads for a key.
    struct Homes {
        std::uint32_t first, second;
    };

    Insert insert(Key key) noexcept {
        if (!buckets_ && !resize(min_buckets)) return Insert::out_of_memory;
        if (contains(key)) return Insert::ok;
        if (16 * (count_ + 1) > 15 * lanes * bucket_count()) {
            const Insert grown = grow();
            if (grown != Insert::ok) return grown;
        }
        while (!place(key)) {
            // `key` is now whichever key the evictions left without a slot.
            const Insert grown = grow();
            if (grown != Insert::ok) {
                homeless_ = key;
                has_homeless_ = true;
                return grown;
            }
        }
        ++count_;
        return Insert::ok;
    }

    Homes homes(Key key) const noexcept {
        // Multiplicative hashing: the top bits name the first bucket, the next bits the distance
        // to the second (odd, so the two always differ).
        const std::uint64_t h = std::uint64_t(key) * multiplier;
        const std::uint32_t first = std::uint32_t(h >> (64 - bits_));
        const std::uint32_t apart = (std::uint32_t(h >> (64 - 2 * bits_)) & std::uint32_t(bucket_count() - 1)) | 1;
        return {first, first ^ apart};
    }

    bool contains(Key key) const noexcept {
        if (!buckets_) return false;
        const Homes at = homes(key);
        bool found = false;
        for (std::size_t lane = 0; lane < lanes; ++lane)
            found |= (buckets_[at.first].slot[lane] == key) | (buckets_[at.second].slot[lane] == key);
        return found;
    }

    // Every key held (a key left without a slot by a failed insert included), for moving them
    // into another set.
    template <typename F>
    void for_each(F &&f) const noexcept {
        for (std::size_t b = 0; b < bucket_count(); ++b)
            for (Key key : buckets_[b].slot)
                if (key != filler(b)) f(key);
        if (has_homeless_) f(homeless_);
    }

    std::size_t count() const noexcept { return count_; }
    std::size_t bytes() const noexcept { return memory_.bytes(); }
    std::size_t bucket_count() const noexcept { return std::size_t(1) << bits_; }
    unsigned bucket_bits() const noexcept { return bits_; }
    // The buckets, bucket_count() of bucket_bytes each (null before the first insert).
    const void *buckets() const noexcept { return buckets_; }

    // ---- Lookups of many keys: out[j * out_stride] = whether key_of(j) is held ----
    // (The loops read `key_of` and the table through local copies, held in registers: the
    // result stores could alias anything else, which would be read again for every element.)
    template <typename KeyOf>
    void probe_portable(const KeyOf &key_of, std::size_t n, std::uint8_t *out, std::ptrdiff_t out_stride) const noexcept {
        const KeyOf read = key_of;
        for (std::size_t j = 0; j < n; ++j) out[std::ptrdiff_t(j) * out_stride] = std::uint8_t(contains(read(j)));
    }

#if defined(NORVALE_HAVE_AVX2_VARIANTS)
    template <typename KeyOf>
    NORVALE_TARGET_AVX2 void probe_avx2(const KeyOf &key_of, std::size_t n, std::uint8_t *out,
                                        std::ptrdiff_t out_stride) const noexcept {
        if (!buckets_) {
            for (std::size_t j = 0; j < n; ++j) out[std::ptrdiff_t(j) * out_stride] = 0;
            return;
        }
        const KeyOf read = key_of;
        const char *const table = reinterpret_cast<const char *>(buckets_);
        const unsigned first_shift = 64 - bits_, apart_shift = 64 - 2 * bits_;
        const std::uint32_t apart_mask = std::uint32_t(bucket_count() - 1);
        for (std::size_t j = 0; j < n; ++j) {
            const Key key = read(j);
            const std::uint64_t h = std::uint64_t(key) * multiplier;
            const std::uint32_t first = std::uint32_t(h >> first_shift);
            const std::uint32_t second = first ^ ((std::uint32_t(h >> apart_shift) & apart_mask) | 1);
            const __m256i a = _mm256_load_si256(reinterpret_cast<const __m256i *>(table + first * bucket_bytes));
            const __m256i b = _mm256_load_si256(reinterpret_cast<const __m256i *>(table + second * bucket_bytes));
            __m256i hits;
            if constexpr (sizeof(Key) == 8) {
                const __m256i wanted = _mm256_set1_epi64x(static_cast<long long>(key));
                hits = _mm256_or_si256(_mm256_cmpeq_epi64(a, wanted), _mm256_cmpeq_epi64(b, wanted));
            } else {
                const __m256i wanted = _mm256_set1_epi32(static_cast<int>(key));
                hits = _mm256_or_si256(_mm256_cmpeq_epi32(a, wanted), _mm256_cmpeq_epi32(b, wanted));
            }
            out[std::ptrdiff_t(j) * out_stride] = std::uint8_t(!_mm256_testz_si256(hits, hits));
        }
    }
#endif

private:
    static constexpr std::uint64_t multiplier = key_hash_multiplier;
    static constexpr int max_evictions = 256;

    struct alignas(bucket_bytes) Bucket {
        Key slot[lanes];
    };

    TableMemory memory_;
    Bucket *buckets_ = nullptr;
    unsigned bits_ = 2;
    std::size_t count_ = 0;
    Key low_filler_ = 0;  // the filler of buckets 0 and 1
    Key homeless_ = 0;
    bool has_homeless_ = false;

    Key filler(std::size_t b) const noexcept { return b < 2 ? low_filler_ : Key(0); }

    // Puts a key known to be absent into one of its buckets, evicting others along a random
    // walk if both are full. False when the walk ends without room; `key` then holds the key
    // left over, and the table holds all the others.
    bool place(Key &key) noexcept {
        std::uint32_t walk = std::uint32_t(key) | 1;
        Homes at = homes(key);
        std::uint32_t b = at.first;
        for (int step = 0; step < max_evictions; ++step) {
            if (put(at.first, key) || put(at.second, key)) return true;
            // Evict from the bucket the key did not just come from.
            walk = walk * 1103515245u + 12345u;
            b = (b == at.first) ? at.second : at.first;
            Key &slot = buckets_[b].slot[(walk >> 16) % lanes];
            const Key evicted = slot;
            slot = key;
            key = evicted;
            at = homes(key);
        }
        return false;
    }

    bool put(std::uint32_t b, Key key) noexcept {
        const Key empty = filler(b);
        for (Key &slot : buckets_[b].slot) {
            if (slot == empty) {
                slot = key;
                return true;
            }
        }
        return false;
    }

    Insert grow() noexcept {
        for (std::size_t buckets = 2 * bucket_count(); buckets * bucket_bytes <= max_bytes; buckets *= 2) {
            CuckooSet bigger;
            if (!bigger.resize(buckets)) return Insert::out_of_memory;
            bool all_placed = true;
            for_each([&](Key key) {
                if (all_placed && !bigger.place(key)) all_placed = false;
            });
            if (all_placed) {
                bigger.count_ = count_ + std::size_t(has_homeless_);
                *this = static_cast<CuckooSet &&>(bigger);
                return Insert::ok;
            }
        }
        return Insert::too_large;
    }

    // An empty table of `buckets` buckets (a power of two, at least 4).
    bool resize(std::size_t buckets) noexcept {
        if (!memory_.allocate(buckets * bucket_bytes, bucket_bytes)) return false;
        buckets_ = static_cast<Bucket *>(memory_.data());
        bits_ = unsigned(__builtin_ctzll(buckets));
        count_ = 0;
        has_homeless_ = false;
        // The key 0 lives in buckets 0 and 1 (its hash is 0); their filler is the first key
        // whose own buckets are neither. Such a key comes within a few tries at any size.
        for (Key candidate = 1;; ++candidate) {
            const Homes at = homes(candidate);
            if (at.first >= 2 && at.second >= 2) {
                low_filler_ = candidate;
                break;
            }
        }
        for (std::size_t b = 0; b < 2; ++b)
            for (Key &slot : buckets_[b].slot) slot = low_filler_;
        return true;
    }
};

}  // namespace norvale::kernels
