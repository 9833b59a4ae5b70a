// Runs of equal rows in sorted order: flags and run numbers over sorted neighbours, then the
// first position and the length of every run.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "kernels/entries.hpp"
#include "kernels/prefetch.hpp"
#include "kernels/row_classes.hpp"
#include "kernels/status.hpp"

namespace norvale::kernels {

// Outputs of at least this size are written with stores that bypass the caches.
inline constexpr std::size_t streamed_output_bytes = std::size_t(32) << 20;


// Neighbour pass: diff[k] = 1 when the row at sorted position k differs from the one before
// (diff[0] = 1); inverse (if not null) gets the run number of every input position; last_run
// the number of the last run. With `order` null, sorted position k is row k; otherwise row
// order[k]. Each entry of `order` is read once and bounded where it is used: another thread
// may change it under the pass, which then ends with input_changed.
template <bool WithOrder, bool WithInverse, typename Row>
Status mark_runs(Row row, Rows rows, std::intptr_t n, const intp_entry *order, std::uint8_t *diff,
                 intp_entry *inverse, std::intptr_t &last_run) noexcept {
    last_run = 0;
    if (n == 0) return Status::ok;
    const std::intptr_t p0 = WithOrder ? order[0] : 0;
    if (std::size_t(p0) >= std::size_t(n)) return Status::input_changed;
    diff[0] = 1;
    if constexpr (WithInverse) inverse[p0] = 0;
    // A local count, kept in a register: last_run could alias the flags written through a byte pointer.
    std::intptr_t unique_index = 0;
    if (n < 2) return Status::ok;
    if constexpr (!WithOrder && Row::fixed && Row::max_bytes > 0 && Row::max_bytes <= 16) {
        // Adjacent rows: a constant stride and no carried pointer, so the compiler can vectorise.
        if (rows.stride == Row::max_bytes) {
            const char *first = rows.first;
            if constexpr (WithInverse) {
                auto step = [&](std::intptr_t k) {
                    const std::uint8_t d = !row.equal(first + (k - 1) * Row::max_bytes, first + k * Row::max_bytes);
                    diff[k] = d;
                    unique_index += d;
                    return unique_index;
                };
                std::intptr_t k = 1;
#if defined(__SSE2__)
                // An inverse larger than the caches is written past them, two entries a store:
                // no read of each line before it is written, and the input stays cached.
                if (std::size_t(n) * sizeof(std::intptr_t) >= streamed_output_bytes &&
                    reinterpret_cast<std::uintptr_t>(inverse) % sizeof(std::intptr_t) == 0) {
                    for (; k < n && reinterpret_cast<std::uintptr_t>(inverse + k) % 16 != 0; ++k) inverse[k] = step(k);
                    for (; k + 2 <= n; k += 2) {
                        const std::intptr_t low = step(k), high = step(k + 1);
                        _mm_stream_si128(reinterpret_cast<__m128i *>(const_cast<std::intptr_t *>(&inverse[k])),
                                         _mm_set_epi64x(high, low));
                    }
                    _mm_sfence();
                }
#endif
                for (; k < n; ++k) inverse[k] = step(k);
                last_run = unique_index;
                return Status::ok;
            }
            // Flags first, then their sum: two loops that vectorise, where one would not.
            std::uint8_t *__restrict flags = diff;
            const char *__restrict values = first;
            for (std::intptr_t k = 1; k < n; ++k)
                flags[k] = !row.equal(values + (k - 1) * Row::max_bytes, values + k * Row::max_bytes);
            std::size_t runs = 0;
            for (std::intptr_t k = 1; k < n; ++k) runs += diff[k];
            last_run = std::intptr_t(runs);
            return Status::ok;
        }
    }
    auto position = [&](std::intptr_t k) { return WithOrder ? order[k] : k; };
    const char *previous = rows[p0];
    for (std::intptr_t k = 1; k < n; ++k) {
        if constexpr (WithOrder) {
            // The rows and inverse entries are scattered: fetch them ahead of use.
            if (k + prefetch_distance < n) {
                const std::intptr_t ahead = order[k + prefetch_distance];
                __builtin_prefetch(rows[ahead]);
                if constexpr (Row::max_bytes > 64) __builtin_prefetch(rows[ahead] + row.bytes() - 1);
                if constexpr (WithInverse) __builtin_prefetch(inverse + ahead, 1);
            }
        }
        const std::intptr_t p = position(k);
        if constexpr (WithOrder)
            if (std::size_t(p) >= std::size_t(n)) [[unlikely]] return Status::input_changed;
        const char *current = rows[p];
        const std::uint8_t d = !row.equal(previous, current);
        diff[k] = d;
        unique_index += d;
        if constexpr (WithInverse) inverse[p] = unique_index;
        previous = current;
    }
    last_run = unique_index;
    return Status::ok;
}

// Run pass: index[u] = the first input position of run u (through `order` when given), and
// counts (if not null) the length of every run, for the `runs` runs that index and counts hold;
// both are written whole. The flags are counted again here, and could have changed since the
// neighbour pass counted them, as could `order`: more set flags than runs, or a position out of
// range, end the pass with input_changed.
template <bool WithOrder>
Status place_runs(const std::uint8_t *diff, std::intptr_t n, const intp_entry *order, intp_entry *index,
                  intp_entry *counts, std::intptr_t runs) noexcept {
    if (n == 0) return Status::ok;
    bool changed = false;
    auto position = [&](std::intptr_t k) {
        if constexpr (!WithOrder) return k;
        const std::intptr_t p = order[k];
        changed |= std::size_t(p) >= std::size_t(n);
        return p;
    };
    index[0] = position(0);
    std::intptr_t unique_index = 0, run_start = 0;
    auto start_run = [&](std::intptr_t k) {
        if (unique_index + 1 >= runs) [[unlikely]] {
            changed = true;
            return;
        }
        if (counts) counts[unique_index] = k - run_start;
        ++unique_index;
        run_start = k;
        index[unique_index] = position(k);
    };
    // Sixteen flags at a time: long runs are mostly zero flags, skipped in one test; the set
    // flags of a group are visited lowest first, one count-trailing-zeros each.
    std::intptr_t k = 1;
    for (; k + 16 <= n; k += 16) {
        std::uint64_t low, high;
        std::memcpy(&low, diff + k, 8);
        std::memcpy(&high, diff + k + 8, 8);
        if ((low | high) == 0) continue;
        if constexpr (std::endian::native == std::endian::big) {  // lowest address in the lowest bits
            low = __builtin_bswap64(low);
            high = __builtin_bswap64(high);
        }
        for (; low; low &= low - 1) start_run(k + (__builtin_ctzll(low) >> 3));
        for (; high; high &= high - 1) start_run(k + 8 + (__builtin_ctzll(high) >> 3));
    }
    for (; k < n; ++k)
        if (diff[k]) start_run(k);
    if (changed || unique_index + 1 != runs) return Status::input_changed;
    if (counts) counts[unique_index] = n - run_start;
    return Status::ok;
}

}  // namespace norvale::kernels
