// Byte ranges cut from the rows of a byte matrix: where they lie, whether they lie inside the
// matrix, and how two of them compare. No Python objects: addresses, extents and byte strides.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "kernels/prefetch.hpp"

namespace norvale::kernels {

// A column of intp values at any byte stride; read by memcpy, so unaligned buffers are fine.
struct IndexColumn {
    const char *base;
    std::ptrdiff_t stride;
    std::ptrdiff_t length;

    std::intptr_t operator[](std::ptrdiff_t i) const noexcept {
        std::intptr_t value;
        std::memcpy(&value, base + i * stride, sizeof value);
        return value;
    }
};

struct ByteMatrix {
    const unsigned char *base;
    std::ptrdiff_t rows, cols;
    std::ptrdiff_t row_stride, col_stride;
};

// Range k: row rows[k] of src, columns starts[k] (inclusive) to ends[k] (exclusive).
struct RangeSet {
    ByteMatrix src;
    IndexColumn rows, starts, ends;
};

enum class RangeFault { none, beyond_tables, outside_src };

// The three table entries of one range, as read once.
struct RangeEntry {
    std::intptr_t row = 0, start = 0, end = 0;
};

// Reads the entries of range k once and tells whether the range lies inside src. The caller
// uses the entries it got, never the tables again: another thread, or Python code that runs
// between a check and a use, may change them.
inline RangeFault read_range(const RangeSet &set, std::ptrdiff_t k, RangeEntry &entry) noexcept {
    if (k < 0 || k >= set.rows.length || k >= set.starts.length || k >= set.ends.length)
        return RangeFault::beyond_tables;
    entry = {set.rows[k], set.starts[k], set.ends[k]};
    if (entry.row < 0 || entry.row >= set.src.rows || entry.start < 0 || entry.start > entry.end ||
        entry.end > set.src.cols)
        return RangeFault::outside_src;
    return RangeFault::none;
}

// A located range: its first byte and its length; its bytes lie the matrix's column stride apart.
struct Span {
    const unsigned char *first;
    std::ptrdiff_t length;
};

inline Span span_of(const RangeSet &set, const RangeEntry &entry) noexcept {
    return {set.src.base + entry.row * set.src.row_stride + entry.start * set.src.col_stride, entry.end - entry.start};
}

// Locates range k; false, and nothing read from src, when it does not lie inside src. Every
// range is located this way where it is used.
inline bool locate(const RangeSet &set, std::ptrdiff_t k, Span &span) noexcept {
    RangeEntry entry;
    if (read_range(set, k, entry) != RangeFault::none) return false;
    span = span_of(set, entry);
    return true;
}

// Sorted ranges are visited in random index order; fetching a range's table entries some steps
// ahead hides the cache misses. A prefetch never faults, so k needs no check.
inline void prefetch_tables(const RangeSet &set, std::intptr_t k) noexcept {
    const std::uintptr_t at = std::uintptr_t(k);
    __builtin_prefetch(reinterpret_cast<const void *>(std::uintptr_t(set.rows.base) + at * std::uintptr_t(set.rows.stride)));
    __builtin_prefetch(reinterpret_cast<const void *>(std::uintptr_t(set.starts.base) + at * std::uintptr_t(set.starts.stride)));
    __builtin_prefetch(reinterpret_cast<const void *>(std::uintptr_t(set.ends.base) + at * std::uintptr_t(set.ends.stride)));
}

// The first of ranges 0 .. n-1 that is not inside src (range -1 when all are). Tables shorter
// than n make their first missing entry the faulty range.
struct RangeCheck {
    RangeFault fault;
    std::ptrdiff_t range;
    RangeEntry entry;  // what was read for it
};

inline RangeCheck check_range(const RangeSet &set, std::ptrdiff_t k) noexcept {
    RangeCheck check{RangeFault::none, k, {}};
    check.fault = read_range(set, k, check.entry);
    return check;
}

inline RangeCheck check_ranges(const RangeSet &set, std::ptrdiff_t n) noexcept {
    for (std::ptrdiff_t k = 0; k < n; ++k) {
        const RangeCheck check = check_range(set, k);
        if (check.fault != RangeFault::none) return check;
    }
    return {RangeFault::none, -1, {}};
}

// Lexicographic order by unsigned byte, a proper prefix first. At the first differing byte the
// result is -1 or +1; otherwise the difference of the lengths, kept within int with its sign.
inline int compare_spans(const Span &a, const Span &b, std::ptrdiff_t col_stride) noexcept {
    const std::ptrdiff_t n = a.length < b.length ? a.length : b.length;
    if (col_stride == 1) {
        if (n > 0) {
            const int c = std::memcmp(a.first, b.first, std::size_t(n));
            if (c != 0) return c < 0 ? -1 : 1;
        }
    } else {
        for (std::ptrdiff_t i = 0; i < n; ++i) {
            const unsigned char x = a.first[i * col_stride], y = b.first[i * col_stride];
            if (x != y) return x < y ? -1 : 1;
        }
    }
    const std::ptrdiff_t difference = a.length - b.length;
    if (difference > INT_MAX) return INT_MAX;
    if (difference < -INT_MAX) return -INT_MAX;
    return int(difference);
}

// Copies a range into consecutive bytes at `out`.
inline void copy_span(unsigned char *out, const Span &span, std::ptrdiff_t col_stride) noexcept {
    if (col_stride == 1) {
        if (span.length > 0) std::memcpy(out, span.first, std::size_t(span.length));
    } else {
        for (std::ptrdiff_t i = 0; i < span.length; ++i) out[i] = span.first[i * col_stride];
    }
}

}  // namespace norvale::kernels
