// An open-addressing hash set of unsigned integer keys for tables of any size, laid out so that
// a lookup nearly always reads one cache line and takes no branch that depends on the data.
//
// Buckets are one cache line of keys each; a key lives in its home bucket or, when that was
// full, in the next bucket that had room (linear probing over buckets). The key 0 marks an
// empty slot, and the value 0 itself is kept in a flag. One bit per bucket records that some
// key went past it: at half load 2 buckets in 100 have it.
//
// Lookups run in one pass over the elements. Element j + ahead is read and hashed, its home
// bucket's bit looked up, and (for a large table) its line requested, while element j is
// looked up: each lookup then finds its line arrived and knows whether it may have to read
// the next one, which was requested with it. A lookup reads about one line: reading the next
// line for every element would halve the rate at which a table beyond the core's caches is
// read.
//
// The home bucket is the top 32 bits of a multiplicative hash scaled to the bucket count, which
// need not be a power of two; this scaling keeps the order of the buckets when the table is
// resized, so a rehash reads the old table and writes the new one front to back. The table
// starts small and grows fourfold at half load, never past what the test values still to come
// can fill; finish() then shrinks it to half load of the keys it holds, so it ends at about 16
// bytes per 8-byte key.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "kernels/cpu_features.hpp"
#include "kernels/prefetch.hpp"
#include "kernels/set_key.hpp"
#include "kernels/status.hpp"
#include "kernels/table_memory.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(NORVALE_HAVE_AVX2_VARIANTS)
#include <immintrin.h>
#endif

namespace norvale::kernels {

template <typename Key>
class FlatSet {
    static_assert(std::is_unsigned_v<Key> && (sizeof(Key) == 4 || sizeof(Key) == 8));

public:
    static constexpr std::size_t bucket_bytes = 64;
    static constexpr std::size_t lanes = bucket_bytes / sizeof(Key);
    // Tables from this size on are read ahead: their lines are mostly not in the core's caches.
    static constexpr std::size_t prefetch_from = std::size_t(512) << 10;
    // Elements hashed ahead of their lookup.
    static constexpr std::size_t ahead = 64;

    FlatSet() noexcept = default;

    // Makes room for `count` keys at once, for keys moved over from a smaller set.
    Status reserve(std::size_t count) noexcept {
        const std::size_t buckets = buckets_for(count);
        return buckets > bucket_count_ ? rebuild(buckets) : Status::ok;
    }

    // At most `keys` more keys will be inserted: a table that must grow then grows no more than
    // they can fill (growing fourfold would overshoot, to be shrunk again in finish()).
    void expect_at_most(std::size_t keys) noexcept { still_to_come_ = keys; }

    Status insert(Key key) noexcept {
        if (key == 0) {
            has_zero_ = true;
            return Status::ok;
        }
        if (full()) {
            const Status grown = grow();
            if (grown != Status::ok) return grown;
        }
        for (std::size_t b = home(key);; b = next(b)) {
            if (lanes_equal(buckets_[b], key)) return Status::ok;
            // Keys fill a chain front to back, so the key is not further on.
            if (const unsigned open = lanes_equal(buckets_[b], 0)) {
                buckets_[b].slot[__builtin_ctz(open)] = key;
                ++count_;
                return Status::ok;
            }
            mark_overflow(b);
        }
    }

    // Inserts keys[0 .. count-1]; `next_keys` holds the keys of the next block, whose lines are
    // requested meanwhile when the table is large.
    Status insert_portable(const Key *keys, std::size_t count, const Key *next_keys, std::size_t next_count) noexcept {
        for (std::size_t i = 0; i < count; ++i) {
            if (i < next_count && read_ahead()) prefetch(home(next_keys[i]));
            const Status status = insert(keys[i]);
            if (status != Status::ok) return status;
        }
        return Status::ok;
    }

#if defined(NORVALE_HAVE_AVX2_VARIANTS)
    // The same, each bucket compared whole in two vector compares for the key and two for 0.
    // The table's fields are kept in locals between growths (stores of keys could alias them).
    NORVALE_TARGET_AVX2 Status insert_avx2(const Key *keys, std::size_t count, const Key *next_keys,
                                           std::size_t next_count) noexcept {
        std::size_t read_ahead_count = read_ahead() ? next_count : 0;
        Lookup table = lookup();
        std::size_t held = count_, room = lanes * bucket_count_ / 2;
        for (std::size_t i = 0; i < count; ++i) {
            if (i < read_ahead_count) prefetch_line(table.buckets + table.home(next_keys[i]));
            const Key key = keys[i];
            if (key == 0) {
                has_zero_ = true;
                continue;
            }
            if (held + 1 > room) {
                count_ = held;
                const Status grown = grow();
                if (grown != Status::ok) return grown;
                table = lookup();
                room = lanes * bucket_count_ / 2;
                if (read_ahead()) read_ahead_count = next_count;  // large now: read ahead from here on
            }
            for (std::size_t b = table.home(key);; b = table.next(b)) {
                Bucket *const bucket = const_cast<Bucket *>(table.buckets) + b;
                const __m256i *half = reinterpret_cast<const __m256i *>(bucket);
                const __m256i x = _mm256_load_si256(half), y = _mm256_load_si256(half + 1);
                unsigned same, open;
                if constexpr (sizeof(Key) == 8) {
                    const __m256i wanted = _mm256_set1_epi64x(static_cast<long long>(key)), zero = _mm256_setzero_si256();
                    same = unsigned(_mm256_movemask_pd(_mm256_castsi256_pd(_mm256_cmpeq_epi64(x, wanted)))) |
                           unsigned(_mm256_movemask_pd(_mm256_castsi256_pd(_mm256_cmpeq_epi64(y, wanted)))) << 4;
                    open = unsigned(_mm256_movemask_pd(_mm256_castsi256_pd(_mm256_cmpeq_epi64(x, zero)))) |
                           unsigned(_mm256_movemask_pd(_mm256_castsi256_pd(_mm256_cmpeq_epi64(y, zero)))) << 4;
                } else {
                    const __m256i wanted = _mm256_set1_epi32(static_cast<int>(key)), zero = _mm256_setzero_si256();
                    same = unsigned(_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(x, wanted)))) |
                           unsigned(_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(y, wanted)))) << 8;
                    open = unsigned(_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(x, zero)))) |
                           unsigned(_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(y, zero)))) << 8;
                }
                if (same) break;
                if (open) {
                    bucket->slot[__builtin_ctz(open)] = key;
                    ++held;
                    break;
                }
                mark_overflow(b);
            }
        }
        count_ = held;
        return Status::ok;
    }
#endif

    // Shrinks the table to half load of the keys it holds, once all are in.
    Status finish() noexcept {
        const std::size_t buckets = buckets_for(count_);
        return bucket_count_ > buckets + buckets / 8 ? rebuild(buckets) : Status::ok;
    }

    std::uint32_t home(Key key) const noexcept { return lookup().home(key); }

    bool contains(Key key) const noexcept {
        if (key == 0) return has_zero_;
        if (count_ == 0) return false;
        return contains_from(key, home(key));
    }

    // Whether `key` (not 0) is in its chain from bucket b on.
    bool contains_from(Key key, std::size_t b) const noexcept { return lookup().contains_from(key, b); }

    // Every key held, for moving them into another set.
    template <typename F>
    void for_each(F &&f) const noexcept {
        if (has_zero_) f(Key(0));
        for (std::size_t b = 0; b < bucket_count_; ++b)
            for (Key key : buckets_[b].slot)
                if (key != 0) f(key);
    }

    // Asks the memory system for the line of bucket b (for inserts that follow).
    void prefetch(std::uint32_t b) const noexcept { prefetch_line(buckets_ + b); }

    std::size_t count() const noexcept { return count_ + std::size_t(has_zero_); }
    std::size_t bucket_count() const noexcept { return bucket_count_; }
    std::size_t bytes() const noexcept { return table_.bytes(); }
    bool on_mapped_memory() const noexcept { return table_.mapped(); }
    bool read_ahead() const noexcept { return bytes() >= prefetch_from; }

    // ---- Lookups of many keys: out[j * out_stride] = whether key_of(j) is held, j < n ----
    // The loops work on a copy of the table's pointers and sizes (and of `key_of`), held in
    // registers: the result stores could alias the set's own fields, which would otherwise be
    // read again from memory for every element.

    template <typename KeyOf>
    void probe_portable(const KeyOf &key_of, std::size_t n, std::uint8_t *out, std::ptrdiff_t out_stride) const noexcept {
        if (count_ == 0) return probe_empty(key_of, n, out, out_stride);
        const KeyOf read = key_of;
        const Lookup table = lookup();
        const bool prefetching = read_ahead(), has_zero = has_zero_;
        Ring ring;
        for (std::size_t j = 0; j < ahead && j < n; ++j) table.stage(read(j), ring, j, prefetching);
        for (std::size_t j = 0; j < n; ++j) {
            const std::size_t r = j % ahead;
            const Key key = ring.keys[r];
            const std::size_t b = table.bucket_of(ring.homes[r]);
            if (j + ahead < n) table.stage(read(j + ahead), ring, r, prefetching);
            out[std::ptrdiff_t(j) * out_stride] = std::uint8_t(key == 0 ? has_zero : table.contains_from(key, b));
        }
    }

#if defined(NORVALE_HAVE_AVX2_VARIANTS)
    template <typename KeyOf>
    NORVALE_TARGET_AVX2 void probe_avx2(const KeyOf &key_of, std::size_t n, std::uint8_t *out,
                                        std::ptrdiff_t out_stride) const noexcept {
        if (count_ == 0) return probe_empty(key_of, n, out, out_stride);
        // One loop for each combination of reading ahead and unit result stride, so that
        // neither is tested per element.
        if (read_ahead()) {
            if (out_stride == 1) probe_run_avx2<true, true>(key_of, n, out, 1);
            else probe_run_avx2<true, false>(key_of, n, out, out_stride);
        } else {
            if (out_stride == 1) probe_run_avx2<false, true>(key_of, n, out, 1);
            else probe_run_avx2<false, false>(key_of, n, out, out_stride);
        }
    }
#endif

    // ---- The table as its lookups read it (the AVX-512 lookups of flat_set_avx512.hpp too) ----

    struct alignas(bucket_bytes) Bucket {
        Key slot[lanes];
    };

    // The keys of the next `ahead` elements, with the addresses of their home buckets; bit 0 of
    // an address (a bucket starts a cache line) is set when the bucket overflowed.
    struct Ring {
        Key keys[ahead];
        std::uintptr_t homes[ahead];
    };

    // What a lookup reads, by value.
    struct Lookup {
        const Bucket *buckets;
        const std::uint64_t *overflow;
        std::size_t bucket_count;

        std::uint32_t home(Key key) const noexcept {
            const std::uint64_t h = std::uint64_t(key) * multiplier;
            return std::uint32_t(((h >> 32) * bucket_count) >> 32);
        }
        std::size_t next(std::size_t b) const noexcept { return b + 1 == bucket_count ? 0 : b + 1; }
        bool overflowed(std::size_t b) const noexcept { return (overflow[b >> 6] >> (b & 63)) & 1; }

        bool contains_from(Key key, std::size_t b) const noexcept {
            for (;; b = next(b)) {
                if (lanes_equal(buckets[b], key)) return true;
                if (!overflowed(b)) return false;
            }
        }

        // Puts `key` into ring slot r with its home bucket, marked when that overflowed, and
        // requests the lines its lookup reads. (The key 0 may be marked too: its answer is the
        // flag whatever its lookup finds.)
        void stage(Key key, Ring &ring, std::size_t r, bool prefetching) const noexcept {
            const std::uint32_t b = home(key);
            const std::uintptr_t over = overflowed(b);
            const Bucket *line = buckets + b;
            ring.keys[r] = key;
            ring.homes[r] = reinterpret_cast<std::uintptr_t>(line) | over;
            if (prefetching) {
                prefetch_line(line);
                // The next line when marked, else the same one again; past the last bucket
                // lies a spare one, so no wrap is needed here.
                prefetch_line(line + over);
            }
        }

        static const Bucket *line_of(std::uintptr_t staged) noexcept {
            return reinterpret_cast<const Bucket *>(staged & ~std::uintptr_t(bucket_bytes - 1));
        }
        std::size_t bucket_of(std::uintptr_t staged) const noexcept { return std::size_t(line_of(staged) - buckets); }
    };

    Lookup lookup() const noexcept { return {buckets_, overflow_, bucket_count_}; }

    bool has_zero() const noexcept { return has_zero_; }

private:
    static constexpr std::uint64_t multiplier = key_hash_multiplier;

    TableMemory table_;
    TableMemory overflow_bits_;
    Bucket *buckets_ = nullptr;
    std::uint64_t *overflow_ = nullptr;
    std::size_t bucket_count_ = 0;
    std::size_t count_ = 0;  // keys in the table (0 is not among them)
    std::size_t still_to_come_ = SIZE_MAX / 8;  // at most this many keys more (unknown: many)
    bool has_zero_ = false;

    bool full() const noexcept { return 2 * (count_ + 1) > lanes * bucket_count_; }

    // Grows the table fourfold, or only as far as the keys still to come can fill it. (Four
    // times rather than two halves the keys moved and the memory taken on the way.)
    Status grow() noexcept {
        std::size_t buckets = bucket_count_ ? 4 * bucket_count_ : 2;
        if (count_ + 1 <= SIZE_MAX / 4 - still_to_come_)
            buckets = std::max(bucket_count_ + 1, std::min(buckets, buckets_for(count_ + 1 + still_to_come_)));
        return rebuild(buckets);
    }

    // Half load: twice as many slots as keys.
    static std::size_t buckets_for(std::size_t count) noexcept {
        const std::size_t buckets = (2 * count + lanes - 1) / lanes;
        return buckets < 2 ? 2 : buckets;
    }

    std::size_t next(std::size_t b) const noexcept { return lookup().next(b); }
    bool overflowed(std::size_t b) const noexcept { return lookup().overflowed(b); }
    void mark_overflow(std::size_t b) noexcept { overflow_[b >> 6] |= std::uint64_t(1) << (b & 63); }

    // Nothing but perhaps the key 0 is held.
    template <typename KeyOf>
    void probe_empty(const KeyOf &key_of, std::size_t n, std::uint8_t *out, std::ptrdiff_t out_stride) const noexcept {
        for (std::size_t j = 0; j < n; ++j)
            out[std::ptrdiff_t(j) * out_stride] = std::uint8_t(has_zero_ && key_of(j) == 0);
    }

    // Whether `key` (not 0) is in its chain past bucket b. Out of line, so that the lookup
    // loop keeps its registers.
    [[gnu::noinline, gnu::cold]] bool continues_past(Key key, std::size_t b) const noexcept {
        return overflowed(b) && contains_from(key, next(b));
    }

#if defined(NORVALE_HAVE_AVX2_VARIANTS)
    // Whether the bucket at `line` holds `key`: the whole line in two compares.
    [[gnu::always_inline]] NORVALE_TARGET_AVX2 static bool line_holds(const Bucket *line, Key key) noexcept {
        const __m256i *half = reinterpret_cast<const __m256i *>(line);
        __m256i hits;
        if constexpr (sizeof(Key) == 8) {
            const __m256i wanted = _mm256_set1_epi64x(static_cast<long long>(key));
            hits = _mm256_or_si256(_mm256_cmpeq_epi64(_mm256_load_si256(half), wanted),
                                   _mm256_cmpeq_epi64(_mm256_load_si256(half + 1), wanted));
        } else {
            const __m256i wanted = _mm256_set1_epi32(static_cast<int>(key));
            hits = _mm256_or_si256(_mm256_cmpeq_epi32(_mm256_load_si256(half), wanted),
                                   _mm256_cmpeq_epi32(_mm256_load_si256(half + 1), wanted));
        }
        return !_mm256_testz_si256(hits, hits);
    }

    // The home line, compared whole. A marked key (its home overflowed) also reads the next
    // bucket, and goes on from there if that one overflowed too: a branch on the mark, which
    // is rare and known long before the line arrives, so the branch costs little even when
    // mispredicted (a branch on the answer itself would be a coin toss).
    template <bool Prefetching, bool Unit, typename KeyOf>
    NORVALE_TARGET_AVX2 void probe_run_avx2(const KeyOf &key_of, std::size_t n, std::uint8_t *out,
                                            std::ptrdiff_t out_stride) const noexcept {
        const KeyOf read = key_of;
        const Lookup table = lookup();
        const bool has_zero = has_zero_;
        Ring ring;
        const std::size_t first = std::min(n, ahead);
        for (std::size_t j = 0; j < first; ++j) table.stage(read(j), ring, j, Prefetching);
        std::uint8_t *const out_end = out + (Unit ? std::ptrdiff_t(n) : std::ptrdiff_t(n) * out_stride);
        std::size_t j = 0;
        for (; j + ahead < n; ++j) {
            const std::size_t r = j % ahead;
            const Key key = ring.keys[r];
            const std::uintptr_t staged = ring.homes[r];
            table.stage(read(j + ahead), ring, r, Prefetching);
            *out = look_up(table, key, staged, has_zero);
            out += Unit ? 1 : out_stride;
        }
        for (; out != out_end; ++j, out += Unit ? 1 : out_stride)
            *out = look_up(table, ring.keys[j % ahead], ring.homes[j % ahead], has_zero);
    }

    [[gnu::always_inline]] NORVALE_TARGET_AVX2 std::uint8_t look_up(const Lookup &table, Key key, std::uintptr_t staged,
                                                                    bool has_zero) const noexcept {
        bool hit = line_holds(Lookup::line_of(staged), key);
        if (__builtin_expect(staged & 1, 0) && !hit) {
            const std::size_t second = table.next(table.bucket_of(staged));
            hit = line_holds(table.buckets + second, key) || continues_past(key, second);
        }
        // The key 0 matches the empty slots: its answer is the flag.
        return std::uint8_t(key == 0 ? has_zero : hit);
    }
#endif

    // The lanes of a bucket that hold `key`, one bit each.
    static unsigned lanes_equal(const Bucket &bucket, Key key) noexcept {
#if defined(__SSE2__)
        const __m128i *part = reinterpret_cast<const __m128i *>(bucket.slot);
        unsigned mask = 0;
        if constexpr (sizeof(Key) == 8) {
            // Baseline x86-64 has no 64-bit compare: both 32-bit halves must match.
            const __m128i wanted = _mm_set1_epi64x(static_cast<long long>(key));
            for (int i = 0; i < 4; ++i) {
                const __m128i halves = _mm_cmpeq_epi32(_mm_load_si128(part + i), wanted);
                const __m128i both = _mm_and_si128(halves, _mm_shuffle_epi32(halves, _MM_SHUFFLE(2, 3, 0, 1)));
                mask |= unsigned(_mm_movemask_pd(_mm_castsi128_pd(both))) << (2 * i);
            }
        } else {
            const __m128i wanted = _mm_set1_epi32(static_cast<int>(key));
            for (int i = 0; i < 4; ++i)
                mask |= unsigned(_mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(_mm_load_si128(part + i), wanted))))
                        << (4 * i);
        }
        return mask;
#else
        unsigned mask = 0;
        for (std::size_t lane = 0; lane < lanes; ++lane) mask |= unsigned(bucket.slot[lane] == key) << lane;
        return mask;
#endif
    }

    // Moves every key into a new table of `buckets` buckets. Reading the old table in order
    // writes the new one in order. The keys are known distinct, so each only needs a free slot,
    // found from a count per new bucket: reading a bucket just written to would wait for the
    // store, since the load is wider.
    Status rebuild(std::size_t buckets) noexcept {
        // Bucket numbers leave bit 31 free for the mark of a staged home.
        if (buckets >= (std::size_t(1) << 31) || buckets >= SIZE_MAX / bucket_bytes) return Status::out_of_memory;
        FlatSet fresh;
        TableMemory fill_counts;
        // One spare bucket past the last, never holding a key, for read-ahead (see Lookup::stage).
        if (!fresh.table_.allocate((buckets + 1) * bucket_bytes, bucket_bytes) ||
            !fresh.overflow_bits_.allocate((buckets + 63) / 64 * 8, 8) || !fill_counts.allocate(buckets, 64))
            return Status::out_of_memory;
        fresh.buckets_ = static_cast<Bucket *>(fresh.table_.data());
        fresh.overflow_ = static_cast<std::uint64_t *>(fresh.overflow_bits_.data());
        fresh.bucket_count_ = buckets;
        std::uint8_t *const fill = static_cast<std::uint8_t *>(fill_counts.data());
        // A run of old buckets at a time: their keys are gathered without branches, then placed.
        constexpr std::size_t run = 16;
        Key gathered[run * lanes];
        for (std::size_t first = 0; first < bucket_count_; first += run) {
            const std::size_t last = std::min(bucket_count_, first + run);
            // The new lines this run fills lie about where the old ones do, scaled; ask for
            // those of the run after next.
            const std::size_t soon = std::min(bucket_count_, last + run);
            for (std::size_t b = soon * buckets / bucket_count_, end = std::min(buckets, (soon + run) * buckets / bucket_count_);
                 b < end; ++b)
                prefetch_line(fresh.buckets_ + b);
            std::size_t count = 0;
            for (std::size_t b = first; b < last; ++b)
                for (Key key : buckets_[b].slot) {
                    gathered[count] = key;
                    count += key != 0;
                }
            for (std::size_t i = 0; i < count; ++i) {
                std::size_t b = fresh.home(gathered[i]);
                while (fill[b] == lanes) {
                    fresh.mark_overflow(b);
                    b = fresh.next(b);
                }
                fresh.buckets_[b].slot[fill[b]++] = gathered[i];
            }
        }
        fresh.count_ = count_;
        fresh.still_to_come_ = still_to_come_;
        fresh.has_zero_ = has_zero_;
        *this = static_cast<FlatSet &&>(fresh);
        return Status::ok;
    }
};

}  // namespace norvale::kernels
