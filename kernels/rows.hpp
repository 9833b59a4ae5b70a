// Kernels over the rows of an array seen as raw bytes: run detection over sorted neighbours,
// placement of run starts and counts, permutation checks and the in-place cycle reorder.
// No Python objects, no interpreter lock: data pointers, lengths and byte strides only.
//
// Every kernel is templated on a row-size class, so that the common row sizes are compared
// and moved with fixed-size loads and stores instead of a memcmp or memcpy call per row.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

namespace norvale::kernels {

// ---- Row-size classes ---------------------------------------------------------------------

// Rows of exactly N bytes, N a power of two up to 128.
template <std::size_t N>
struct FixedRow {
    static constexpr bool fixed = true;
    static constexpr std::size_t max_bytes = N;

    std::size_t bytes() const noexcept { return N; }

    // Word-sized pieces: the widest unsigned type that divides N, two of them for N = 16 and up.
    using word = std::conditional_t<N == 1, std::uint8_t,
                 std::conditional_t<N == 2, std::uint16_t,
                 std::conditional_t<N == 4, std::uint32_t, std::uint64_t>>>;
    static constexpr std::size_t words = N < 8 ? 1 : N / 8;

    static word load(const char *p) noexcept {
        word w;
        __builtin_memcpy(&w, p, sizeof w);  // constant size: a single load
        return w;
    }

    bool equal(const char *a, const char *b) const noexcept {
        word difference = 0;
        for (std::size_t i = 0; i < words; ++i)
            difference |= load(a + i * sizeof(word)) ^ load(b + i * sizeof(word));
        return difference == 0;
    }

    // All loads before all stores, so that overlapping rows move as a whole.
    void move(char *to, const char *from) const noexcept {
        word held[words];
        for (std::size_t i = 0; i < words; ++i) held[i] = load(from + i * sizeof(word));
        for (std::size_t i = 0; i < words; ++i) __builtin_memcpy(to + i * sizeof(word), &held[i], sizeof(word));
    }
};

// Rows of no bytes: all equal, nothing to move.
struct EmptyRow {
    static constexpr bool fixed = true;
    static constexpr std::size_t max_bytes = 0;
    std::size_t bytes() const noexcept { return 0; }
    bool equal(const char *, const char *) const noexcept { return true; }
    void move(char *, const char *) const noexcept {}
};

// Any other size: the library's comparison and (overlap-safe) move.
struct AnyRow {
    static constexpr bool fixed = false;
    static constexpr std::size_t max_bytes = std::size_t(-1);
    std::size_t size;
    std::size_t bytes() const noexcept { return size; }
    bool equal(const char *a, const char *b) const noexcept { return std::memcmp(a, b, size) == 0; }
    void move(char *to, const char *from) const noexcept { std::memmove(to, from, size); }
};

// Calls f(row_class) with the class that fits `size`.
template <typename F>
decltype(auto) with_row_class(std::size_t size, F &&f) {
    switch (size) {
        case 0: return f(EmptyRow{});
        case 1: return f(FixedRow<1>{});
        case 2: return f(FixedRow<2>{});
        case 4: return f(FixedRow<4>{});
        case 8: return f(FixedRow<8>{});
        case 16: return f(FixedRow<16>{});
        case 32: return f(FixedRow<32>{});
        case 64: return f(FixedRow<64>{});
        case 128: return f(FixedRow<128>{});
        default: return f(AnyRow{size});
    }
}

// The rows of an array: row k starts at first + k * stride.
struct Rows {
    char *first;
    std::size_t stride;
    char *operator[](std::intptr_t k) const noexcept { return first + std::size_t(k) * stride; }
};

// Entries of caller-given intp arrays: a buffer may place them at any byte address, so they are
// read and written through a type of alignment 1 (an ordinary load or store on x86).
typedef std::intptr_t intp_entry __attribute__((aligned(1)));

// How far ahead random accesses are prefetched.
constexpr std::intptr_t prefetch_distance = 16;

// ---- Sorted distinct rows -------------------------------------------------------------------

// Order checks return this on success, else the first bad position.
constexpr std::intptr_t permutation_ok = -1;

// Is `order` (n entries) a permutation of 0 .. n-1? `marks` (n bytes) is scratch: it is
// zeroed first and, on success, left all ones. Returns permutation_ok or the first position
// whose entry is out of range or repeated.
inline std::intptr_t check_order(const intp_entry *order, std::intptr_t n, std::uint8_t *marks) noexcept {
    std::memset(marks, 0, std::size_t(n));
    for (std::intptr_t k = 0; k < n; ++k) {
        if (k + prefetch_distance < n) {
            const std::size_t ahead = std::size_t(order[k + prefetch_distance]);
            if (ahead < std::size_t(n)) __builtin_prefetch(marks + ahead, 1);
        }
        const std::size_t v = std::size_t(order[k]);  // negative entries wrap to large ones
        if (v >= std::size_t(n) || marks[v]) return k;
        marks[v] = 1;
    }
    return permutation_ok;
}

// Neighbour pass: diff[k] = 1 when the row at sorted position k differs from the one before;
// inverse (if not null) gets the run number of every input position. Returns the number of the
// last run. With `order` null, sorted position k is row k; otherwise row order[k].
// diff[0] and the inverse entry of sorted position 0 are set by the caller.
template <bool WithOrder, bool WithInverse, typename Row>
std::intptr_t mark_runs(Row row, Rows rows, std::intptr_t n, const intp_entry *order, std::uint8_t *diff,
                        intp_entry *inverse) noexcept {
    std::intptr_t unique_index = 0;
    if (n < 2) return 0;
    if constexpr (!WithOrder && Row::fixed && Row::max_bytes > 0 && Row::max_bytes <= 16) {
        // Adjacent rows: a constant stride and no carried pointer, so the compiler can vectorise.
        if (rows.stride == Row::max_bytes) {
            const char *first = rows.first;
            if constexpr (WithInverse) {
                for (std::intptr_t k = 1; k < n; ++k) {
                    const std::uint8_t d = !row.equal(first + (k - 1) * Row::max_bytes, first + k * Row::max_bytes);
                    diff[k] = d;
                    unique_index += d;
                    inverse[k] = unique_index;
                }
                return unique_index;
            }
            // Flags first, then their sum: two loops that vectorise, where one would not.
            std::uint8_t *__restrict flags = diff;
            const char *__restrict values = first;
            for (std::intptr_t k = 1; k < n; ++k)
                flags[k] = !row.equal(values + (k - 1) * Row::max_bytes, values + k * Row::max_bytes);
            std::size_t runs = 0;
            for (std::intptr_t k = 1; k < n; ++k) runs += diff[k];
            return std::intptr_t(runs);
        }
    }
    auto position = [&](std::intptr_t k) { return WithOrder ? order[k] : k; };
    const char *previous = rows[position(0)];
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
        const char *current = rows[p];
        const std::uint8_t d = !row.equal(previous, current);
        diff[k] = d;
        unique_index += d;
        if constexpr (WithInverse) inverse[p] = unique_index;
        previous = current;
    }
    return unique_index;
}

// Run pass: index[u] = the first input position of run u (through `order` when given), and
// counts (if not null) the length of every run. index[0] is preset by the caller; counts is
// written whole.
template <bool WithOrder>
void place_runs(const std::uint8_t *diff, std::intptr_t n, const intp_entry *order, intp_entry *index,
                intp_entry *counts) noexcept {
    if (n == 0) return;
    std::intptr_t unique_index = 0, run_start = 0;
    std::intptr_t k = 1;
    while (k < n) {
        // Long runs are mostly zero flags: skip them eight at a time.
        if (k + 8 <= n) {
            std::uint64_t flags;
            std::memcpy(&flags, diff + k, 8);
            if (flags == 0) {
                k += 8;
                continue;
            }
        }
        if (diff[k]) {
            if (counts) counts[unique_index] = k - run_start;
            ++unique_index;
            run_start = k;
            index[unique_index] = WithOrder ? order[k] : k;
        }
        ++k;
    }
    if (counts) counts[unique_index] = n - run_start;
}

// ---- In-place reorder -----------------------------------------------------------------------
//
// The reorder keeps its bookkeeping in `indices` itself. After a successful check every entry
// holds its target with the sign bit set (negative: not yet settled); the cycle pass settles
// position j by writing j there; a position where a chain was cut open, with its row held aside
// in scratch slot t, holds n + t until the chain that leads into it arrives.

constexpr std::intptr_t unsettled_bit = INTPTR_MIN;

// The first position of `indices` whose entry is out of range or repeats an earlier one, or
// permutation_ok. Slow and exact: only run once a fast check has failed. `indices` is intact.
inline std::intptr_t first_bad_index(intp_entry *indices, std::intptr_t n) noexcept {
    for (std::intptr_t j = 0; j < n; ++j)
        if (std::size_t(indices[j]) >= std::size_t(n)) return j;
    std::intptr_t bad = permutation_ok;
    for (std::intptr_t j = 0; j < n && bad == permutation_ok; ++j) {
        const std::intptr_t v = indices[j] & ~unsettled_bit;
        if (indices[v] < 0) bad = j;
        else indices[v] |= unsettled_bit;
    }
    for (std::intptr_t j = 0; j < n; ++j) indices[j] &= ~unsettled_bit;
    return bad;
}

// Checks that `indices` (n entries) is a permutation of 0 .. n-1, marking value v as seen by
// setting the sign bit of indices[v]. On success every entry is left marked and permutation_ok
// is returned; on failure `indices` is restored and the first bad position is returned.
// The hot loops carry no early exit, so that they run at the speed of the loads.
inline std::intptr_t check_and_mark_indices(intp_entry *indices, std::intptr_t n) noexcept {
    // v is out of range exactly when v or (n - 1 - v) has its top bit set, in unsigned
    // arithmetic: or-ing those vectorises where a 64-bit comparison would not (SSE2).
    const std::size_t last = std::size_t(n) - 1;
    std::size_t out_of_range = 0;
    for (std::intptr_t j = 0; j < n; ++j) {
        const std::size_t v = std::size_t(indices[j]);
        out_of_range |= v | (last - v);
    }
    if (n > 0 && std::intptr_t(out_of_range) < 0) return first_bad_index(indices, n);
    std::intptr_t seen_twice = 0;
    for (std::intptr_t j = 0; j < n; ++j) {
        if (j + prefetch_distance < n)
            __builtin_prefetch(indices + (indices[j + prefetch_distance] & ~unsettled_bit), 1);
        const std::intptr_t v = indices[j] & ~unsettled_bit;
        const std::intptr_t e = indices[v];
        seen_twice |= e;  // the sign bit survives when v was marked before
        indices[v] = e | unsettled_bit;
    }
    if (seen_twice >= 0) return permutation_ok;
    for (std::intptr_t j = 0; j < n; ++j) indices[j] &= ~unsettled_bit;
    return first_bad_index(indices, n);
}

// The one-chain cycle walk, for rows of any size, with one scratch row `tmp`.
// Expects the marks left by check_and_mark_indices.
template <typename Row>
void follow_cycles_one_chain(Row row, Rows rows, intp_entry *indices, std::intptr_t n, char *tmp) noexcept {
    for (std::intptr_t i = 0; i < n; ++i) {
        if (indices[i] >= 0) continue;  // settled by an earlier cycle
        std::intptr_t j = i, k = indices[i] ^ unsettled_bit;
        indices[i] = i;
        if (k == i) continue;  // a fixed point
        std::memcpy(tmp, rows[i], row.bytes());
        while (k != i) {
            row.move(rows[j], rows[k]);
            j = k;
            k = indices[j] ^ unsettled_bit;
            indices[j] = j;
        }
        std::memcpy(rows[j], tmp, row.bytes());
    }
}

// The same reorder with several chains walked side by side, for fixed-size rows.
//
// Following one cycle is a chain of dependent loads; with `Lanes` chains in flight, their
// cache misses overlap. A chain starts at the next unsettled position in increasing order: its
// row goes to a scratch slot and the position is marked n + slot, cutting the cycle open there.
// A chain ends when its next position is such a cut; it then takes the row from that slot.
// Cuts can land anywhere on a cycle (also ahead of a running chain); each is consumed exactly
// once, by the chain that arrives at it, so the rows end up as with the one-chain walk.
template <typename Row, int Lanes = 16>
void follow_cycles_parallel(Row row, Rows rows, intp_entry *indices, std::intptr_t n) noexcept {
    static_assert(Row::fixed && Row::max_bytes <= 128);
    constexpr std::size_t slot_bytes = Row::max_bytes ? Row::max_bytes : 1;
    alignas(64) char slots[Lanes][slot_bytes];
    std::intptr_t at[Lanes];    // position waiting for its row
    std::intptr_t next[Lanes];  // position whose row moves there
    std::intptr_t scan = 0;

    // Starts a chain in `lane` at the next unsettled position, into scratch slot t. False when
    // no unsettled position is left.
    auto start = [&](int lane, int t) -> bool {
        while (scan < n) {
            // Settled stretches are skipped eight entries at a time; the scan runs in short
            // bursts between chain starts, too irregular for the hardware prefetcher.
            __builtin_prefetch(indices + scan + 64);
            if (scan + 8 <= n) {
                const intp_entry *group = indices + scan;
                if ((group[0] | group[1] | group[2] | group[3] | group[4] | group[5] | group[6] | group[7]) >= 0) {
                    scan += 8;
                    continue;
                }
            }
            const std::intptr_t i = scan++;
            const std::intptr_t e = indices[i];
            if (e >= 0) continue;  // settled
            const std::intptr_t k = e ^ unsettled_bit;
            if (k == i) {
                indices[i] = i;
                continue;
            }
            row.move(slots[t], rows[i]);
            indices[i] = n + t;
            at[lane] = i;
            next[lane] = k;
            return true;
        }
        return false;
    };

    // Lanes 0 .. active-1 run; a lane that finds no more work swaps with the last running one.
    int active = 0;
    while (active < Lanes && start(active, active)) ++active;
    while (active > 0) {
        for (int lane = 0; lane < active; ++lane) {
            const std::intptr_t j = at[lane], k = next[lane];
            const std::intptr_t e = indices[k];
            if (e >= n) [[unlikely]] {
                // k is a cut: its row waits in slot e - n, which is free afterwards.
                const int t = int(e - n);
                row.move(rows[j], slots[t]);
                indices[k] = k;
                if (!start(lane, t)) {
                    --active;
                    at[lane] = at[active];
                    next[lane] = next[active];
                    --lane;  // the moved-in lane still takes its step this round
                }
            } else {
                row.move(rows[j], rows[k]);
                indices[k] = k;
                at[lane] = k;
                next[lane] = e ^ unsettled_bit;
            }
        }
    }
}

}  // namespace norvale::kernels
