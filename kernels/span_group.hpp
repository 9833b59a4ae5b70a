// The passes of distinct byte ranges over their sort order (checked as a permutation first):
// numbering the groups of equal neighbours, copying one sequence per group. No Python objects.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "kernels/entries.hpp"
#include "kernels/prefetch.hpp"
#include "kernels/span_ranges.hpp"
#include "kernels/status.hpp"

namespace norvale::kernels {

// Group pass over n >= 1 sorted positions: diff[i] = 1 where position i starts a new group,
// inverse[order[i]] = the group number, `groups` the number of groups. `differs(later, earlier)`
// gets pointers to two range indices and returns non-zero when their ranges differ; the tables
// of `set` are only prefetched here. `differs` may run Python code (the comparator reports its
// failures through hooks), which may change `order`: each entry is read once, into a local that
// the comparator and the inverse both use, and bounded; one out of range ends the pass with
// input_changed.
template <typename Differs>
Status mark_groups(const RangeSet &set, const intp_entry *order, std::ptrdiff_t n, unsigned char *diff,
                   intp_entry *inverse, Differs &&differs, std::intptr_t &groups) {
    std::intptr_t previous = order[0];
    if (std::size_t(previous) >= std::size_t(n)) return Status::input_changed;
    diff[0] = 1;
    inverse[previous] = 0;
    std::intptr_t group = 0;
    for (std::ptrdiff_t i = 1; i < n; ++i) {
        if (i + prefetch_distance < n) {
            const std::intptr_t ahead = order[i + prefetch_distance];
            prefetch_tables(set, ahead);
            __builtin_prefetch(reinterpret_cast<const void *>(std::uintptr_t(inverse) + std::uintptr_t(ahead) * sizeof *inverse), 1);
        }
        const std::intptr_t current = order[i];
        if (std::size_t(current) >= std::size_t(n)) return Status::input_changed;
        const unsigned char starts_group = differs(&current, &previous) != 0;
        diff[i] = starts_group;
        group += starts_group;
        inverse[current] = group;
        previous = current;
    }
    groups = group + 1;
    return Status::ok;
}

// Copy pass: the sequence of every sorted range into the row of its group (rows `row_bytes`
// wide, `groups` of them). Runs without the interpreter lock, so it locates each range afresh
// and skips entries that no longer lie inside the arrays rather than read or write outside.
inline void copy_groups(const RangeSet &set, const intp_entry *order, std::ptrdiff_t n, const unsigned char *diff,
                        unsigned char *unique, std::ptrdiff_t row_bytes, std::intptr_t groups) noexcept {
    std::intptr_t group = -1;
    for (std::ptrdiff_t i = 0; i < n; ++i) {
        if (i + prefetch_distance < n) prefetch_tables(set, order[i + prefetch_distance]);
        group += diff[i] != 0;  // diff[0] is 1: the first range opens group 0
        const std::intptr_t k = order[i];
        Span span;
        if (group >= groups || k < 0 || k >= n || !locate(set, k, span) || span.length > row_bytes) continue;
        copy_span(unique + group * row_bytes, span, set.src.col_stride);
    }
}

}  // namespace norvale::kernels
