// Sort order of byte ranges: lexicographic by unsigned byte, a proper prefix first, equal ranges
// in input order. No Python objects; runs without the interpreter lock.
//
// Each range gets a 16-byte record: the next 8 bytes of the range as a big-endian number
// (zero-padded), then, in the top byte of the second word, min(remaining length, 9), and below
// it the range index. Ordering records as 128-bit numbers orders the ranges by those 8 bytes
// and, when they tie, puts a range that ends within them before a longer one; the index makes
// the order total, so ties keep input order whatever sort is used. Records tying with 9 (both
// ranges go on past these 8 bytes) are refilled from the next 8 bytes and sorted again.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "kernels/buffers.hpp"
#include "kernels/entries.hpp"
#include "kernels/prefetch.hpp"
#include "kernels/span_ranges.hpp"
#include "kernels/status.hpp"

namespace norvale::kernels {

struct RankRecord {
    std::uint64_t key;   // 8 bytes of the range, big-endian
    std::uint64_t tail;  // (min(remaining length, 9) << 56) | range index
};

inline constexpr int rank_index_bits = 56;
inline constexpr std::uint64_t rank_index_mask = (std::uint64_t(1) << rank_index_bits) - 1;
inline constexpr std::uint64_t rank_goes_on = 9;  // the range continues past these 8 bytes

inline bool operator<(const RankRecord &a, const RankRecord &b) noexcept {
    return a.key != b.key ? a.key < b.key : a.tail < b.tail;
}

inline std::uint64_t load_key(const unsigned char *first, std::ptrdiff_t length, std::ptrdiff_t col_stride) noexcept {
    if (col_stride == 1 && length >= 8) {
        std::uint64_t word;
        std::memcpy(&word, first, 8);
        return __builtin_bswap64(word);
    }
    const std::ptrdiff_t n = length < 8 ? length : 8;
    std::uint64_t key = 0;
    for (std::ptrdiff_t i = 0; i < n; ++i) key |= std::uint64_t(first[i * col_stride]) << (56 - 8 * i);
    return key;
}

// The record of range k from byte `offset` on. A range no longer inside src (the tables changed
// under the sort) reads as empty: the order stays a permutation, only its meaning is lost.
inline RankRecord rank_record(const RangeSet &set, std::ptrdiff_t k, std::ptrdiff_t offset) noexcept {
    Span span;
    std::uint64_t key = 0, remaining = 0;
    if (locate(set, k, span) && span.length > offset) {
        const std::ptrdiff_t left = span.length - offset;
        key = load_key(span.first + offset * set.src.col_stride, left, set.src.col_stride);
        remaining = left > 8 ? rank_goes_on : std::uint64_t(left);
    }
    return {key, (remaining << rank_index_bits) | std::uint64_t(k)};
}

// Least-significant-digit radix sort on the lowest `passes` of the 9 bytes above the index
// (byte 0 is the length byte, bytes 1-8 the key from its lowest byte up); stable, so the index
// order the records come in is kept among ties. Passes whose byte is the same everywhere are
// skipped. The result is left in `records`.
inline void lsd_radix_sort(RankRecord *records, RankRecord *scratch, std::size_t n, int passes) noexcept {
    std::size_t counts[9][256] = {};
    auto digit = [](const RankRecord &r, int pass) -> unsigned {
        return pass == 0 ? unsigned(r.tail >> rank_index_bits) : unsigned((r.key >> (8 * (pass - 1))) & 0xff);
    };
    for (std::size_t i = 0; i < n; ++i) {
        const RankRecord &r = records[i];
        ++counts[0][r.tail >> rank_index_bits];
        for (int b = 0; b < 8; ++b) ++counts[b + 1][(r.key >> (8 * b)) & 0xff];
    }
    RankRecord *from = records, *to = scratch;
    for (int pass = 0; pass < passes; ++pass) {
        std::size_t *count = counts[pass];
        if (count[digit(from[0], pass)] == n) continue;
        std::size_t position = 0;
        for (int d = 0; d < 256; ++d) {
            const std::size_t c = count[d];
            count[d] = position;
            position += c;
        }
        for (std::size_t i = 0; i < n; ++i) to[count[digit(from[i], pass)]++] = from[i];
        std::swap(from, to);
    }
    if (from != records) std::memcpy(records, from, n * sizeof *records);
}

// Large inputs: one pass on the key's top byte splits them into 256 buckets that fit the cache
// far better, then each bucket is sorted on the other 8 bytes.
inline void radix_sort(RankRecord *records, RankRecord *scratch, std::size_t n) noexcept {
    constexpr std::size_t cache_sized = std::size_t(1) << 15;
    if (n <= cache_sized) {
        lsd_radix_sort(records, scratch, n, 9);
        return;
    }
    std::size_t starts[257] = {};
    for (std::size_t i = 0; i < n; ++i) ++starts[(records[i].key >> 56) + 1];
    for (int d = 0; d < 256; ++d) starts[d + 1] += starts[d];
    std::size_t next[256];
    std::memcpy(next, starts, sizeof next);
    for (std::size_t i = 0; i < n; ++i) scratch[next[records[i].key >> 56]++] = records[i];
    for (int d = 0; d < 256; ++d) {
        const std::size_t begin = starts[d], size = starts[d + 1] - begin;
        if (size == 0) continue;
        lsd_radix_sort(scratch + begin, records + begin, size, 8);
        std::memcpy(records + begin, scratch + begin, size * sizeof *records);
    }
}

inline void sort_records(RankRecord *records, RankRecord *scratch, std::size_t n) noexcept {
    if (n < 2) return;
    if (n <= 24) {
        for (std::size_t i = 1; i < n; ++i) {
            const RankRecord r = records[i];
            std::size_t j = i;
            for (; j > 0 && r < records[j - 1]; --j) records[j] = records[j - 1];
            records[j] = r;
        }
    } else if (n <= 1024) {
        std::sort(records, records + n);
    } else {
        radix_sort(records, scratch, n);
    }
}

// Whether the ranges of a run of records are all equal. Such a run is already in its final
// order (by index), which saves refilling and sorting it at every further 8 bytes: with many
// repeated sequences, most runs are of this kind.
inline bool all_equal(const RangeSet &set, const RankRecord *run, std::size_t size) noexcept {
    Span first, other;
    if (!locate(set, std::ptrdiff_t(run[0].tail & rank_index_mask), first)) return false;
    for (std::size_t m = 1; m < size; ++m) {
        if (m + prefetch_distance < size)
            prefetch_tables(set, std::intptr_t(run[m + prefetch_distance].tail & rank_index_mask));
        if (!locate(set, std::ptrdiff_t(run[m].tail & rank_index_mask), other) ||
            compare_spans(first, other, set.src.col_stride) != 0)
            return false;
    }
    return true;
}

// Writes the sorted order of ranges 0 .. n-1 to order[0 .. n-1]. Every range must lie inside
// src when the sort starts (see rank_record otherwise). out_of_memory leaves `order` unwritten.
inline Status rank_ranges(const RangeSet &set, std::ptrdiff_t n, intp_entry *order) noexcept {
    if (n <= 0) return Status::ok;
    const std::size_t count = static_cast<std::size_t>(n);
    // Left uninitialised: every record is written before it is read.
    Buffer<RankRecord> record_store, scratch_store;
    if (!record_store.allocate(count) || !scratch_store.allocate(count)) return Status::out_of_memory;
    RankRecord *const records = record_store.get(), *const scratch = scratch_store.get();
    for (std::ptrdiff_t k = 0; k < n; ++k) records[k] = rank_record(set, k, 0);

    struct Job {
        std::size_t begin, end;
        std::ptrdiff_t offset;
    };
    Stack<Job> jobs;
    if (!jobs.push({0, std::size_t(n), 0})) return Status::out_of_memory;
    while (!jobs.empty()) {
        const Job job = jobs.pop();
        RankRecord *base = records;
        sort_records(base + job.begin, scratch, job.end - job.begin);
        // Runs that tie on 8 bytes and all go on are ordered by their next 8 bytes, unless they
        // hold one sequence only.
        for (std::size_t i = job.begin; i < job.end;) {
            std::size_t j = i + 1;
            const std::uint64_t key = base[i].key, remaining = base[i].tail >> rank_index_bits;
            while (j < job.end && base[j].key == key && (base[j].tail >> rank_index_bits) == remaining) ++j;
            if (j - i > 1 && remaining == rank_goes_on && !all_equal(set, base + i, j - i)) {
                const std::ptrdiff_t next = job.offset + 8;
                for (std::size_t m = i; m < j; ++m) {
                    if (m + prefetch_distance < j)
                        prefetch_tables(set, std::intptr_t(base[m + prefetch_distance].tail & rank_index_mask));
                    base[m] = rank_record(set, std::ptrdiff_t(base[m].tail & rank_index_mask), next);
                }
                if (!jobs.push({i, j, next})) return Status::out_of_memory;
            }
            i = j;
        }
    }
    for (std::ptrdiff_t i = 0; i < n; ++i) order[i] = std::intptr_t(records[i].tail & rank_index_mask);
    return Status::ok;
}

}  // namespace norvale::kernels
