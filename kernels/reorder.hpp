// The in-place reorder of permute_rows: rows into the order that `indices` gives, with extra
// memory of one row.
//
// The reorder keeps its bookkeeping in `indices` itself, which the call consumes and leaves as
// 0 .. n-1. Rows of up to 8 bytes are gathered into `indices` and given back; larger rows follow
// the cycles, which read the plain targets: an entry equal to its own position is settled (or a
// fixed point), and a position where a chain was cut open, with its row held aside in scratch
// slot t, holds n + t until the chain that leads into it arrives. Every walk expects a checked
// permutation (kernels/permutation_check.hpp) and bounds every entry it reads, since another
// thread may write `indices` under it.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "kernels/entries.hpp"
#include "kernels/row_classes.hpp"
#include "kernels/status.hpp"

namespace norvale::kernels {

// A row of up to 8 bytes as an unsigned word, zero-extended, read and written in pieces of 4,
// 2 and 1 bytes at their own widths. Building the word in memory from narrower stores and
// reading it back whole would stall every row on the failed store forwarding.
template <std::size_t Bytes>
inline std::size_t load_short_row(const char *p) noexcept {
    static_assert(Bytes <= sizeof(std::size_t));
    if constexpr (Bytes == sizeof(std::size_t)) {
        return FixedRow<8>::load(p);
    } else {
        std::size_t v = 0, at = 0;
        if constexpr ((Bytes & 4) != 0) v = FixedRow<4>::load(p), at = 4;
        if constexpr ((Bytes & 2) != 0) v |= std::size_t(FixedRow<2>::load(p + at)) << (8 * at), at += 2;
        if constexpr ((Bytes & 1) != 0) v |= std::size_t(FixedRow<1>::load(p + at)) << (8 * at);
        return v;
    }
}

template <std::size_t Bytes>
inline void store_short_row(char *p, std::size_t v) noexcept {
    static_assert(Bytes <= sizeof(std::size_t));
    if constexpr (Bytes == sizeof(std::size_t)) {
        __builtin_memcpy(p, &v, Bytes);
    } else {
        std::size_t at = 0;
        if constexpr ((Bytes & 4) != 0) {
            const std::uint32_t piece = std::uint32_t(v);
            __builtin_memcpy(p, &piece, 4);
            at = 4;
        }
        if constexpr ((Bytes & 2) != 0) {
            const std::uint16_t piece = std::uint16_t(v >> (8 * at));
            __builtin_memcpy(p + at, &piece, 2);
            at += 2;
        }
        if constexpr ((Bytes & 1) != 0) {
            const std::uint8_t piece = std::uint8_t(v >> (8 * at));
            __builtin_memcpy(p + at, &piece, 1);
        }
    }
}

// The give-back of reorder_through_indices: row j from entry j to `array`, and entry j refilled
// with j, from the back. Rows of 8 bytes and their entries move in one loop (which vectorises
// for adjacent rows). Narrower rows are not stored one by one between the stores of the
// entries, which measured three to four times slower: adjacent rows of 1, 2 or 4 bytes are
// packed into one 8-byte store, and other rows are stored in a loop of their own.
template <std::size_t Bytes>
void give_back(char *first, std::size_t stride, index_word *word, std::intptr_t n) noexcept {
    if constexpr (Bytes == sizeof(std::size_t)) {
        for (std::intptr_t j = n - 1; j >= 0; --j) {
            store_short_row<Bytes>(first + std::size_t(j) * stride, word[j]);
            word[j] = std::size_t(j);
        }
    } else {
        std::intptr_t j = n;
        if constexpr ((Bytes == 1 || Bytes == 2 || Bytes == 4) && std::endian::native == std::endian::little) {
            constexpr std::intptr_t per_store = sizeof(std::size_t) / Bytes;
            if (stride == Bytes) {
                for (; j >= per_store; j -= per_store) {
                    const std::intptr_t low = j - per_store;
                    std::size_t packed = 0;  // row `low` in the lowest bytes, as in memory
                    for (std::intptr_t e = per_store - 1; e >= 0; --e) packed = packed << (8 * Bytes) | word[low + e];
                    __builtin_memcpy(first + std::size_t(low) * Bytes, &packed, sizeof packed);
                    for (std::intptr_t e = 0; e < per_store; ++e) word[low + e] = std::size_t(low + e);
                }
            }
        }
        for (std::intptr_t k = j - 1; k >= 0; --k) store_short_row<Bytes>(first + std::size_t(k) * stride, word[k]);
        for (std::intptr_t k = j - 1; k >= 0; --k) word[k] = std::size_t(k);
    }
}

// Every walk ends with `indices` holding 0 .. n-1, also when it stops early.
inline void refill_positions(intp_entry *indices, std::intptr_t n) noexcept {
    index_word *word = words_of(indices);
    for (std::intptr_t j = 0; j < n; ++j) word[j] = std::size_t(j);
}

// Rows of up to 8 bytes fit in an entry of `indices`, whose targets are read once each: so
// `indices` itself can take the reordered rows, a gather of independent loads (no chains of
// dependent ones), and then give them back to `array` while it is refilled with 0 .. n-1.
// No extra memory, two row copies per row. Expects a checked permutation; the rows must not
// share memory with `indices`. An entry that another thread has moved out of range since the
// check is read as 0 and ends the reorder with input_changed before any row moves.
template <std::size_t Bytes>
Status reorder_through_indices(Rows rows, intp_entry *indices, std::intptr_t n) noexcept {
    static_assert(Bytes <= sizeof(std::size_t));
    index_word *word = words_of(indices);
    if constexpr (Bytes > 0) {
        const std::size_t last = std::size_t(n) - 1;
        auto reorder = [&](char *first, std::size_t stride) {
            // Clamped without a branch (a compare and a conditional move), which keeps the loop
            // unrolled; any clamp shows in the or of the differences.
            std::size_t changed = 0;
#pragma GCC unroll 4
            for (std::intptr_t j = 0; j < n; ++j) {
                const std::size_t k = word[j], bounded = k < last ? k : last;
                changed |= k ^ bounded;
                word[j] = load_short_row<Bytes>(first + bounded * stride);
            }
            if (changed != 0) [[unlikely]] {
                refill_positions(indices, n);
                return Status::input_changed;
            }
            // From the back, where the gather has just been.
            give_back<Bytes>(first, stride, word, n);
            return Status::ok;
        };
        // A constant stride for adjacent rows: scaled addressing, and a give-back that vectorises.
        if (rows.stride == Bytes) return reorder(rows.first, Bytes);
        return reorder(rows.first, rows.stride);
    } else {
        refill_positions(indices, n);
        return Status::ok;
    }
}

// reorder_through_indices for a row size known only at run time (up to 8 bytes).
inline Status reorder_through_indices(std::size_t bytes, Rows rows, intp_entry *indices, std::intptr_t n) noexcept {
    switch (bytes) {
        case 0: return reorder_through_indices<0>(rows, indices, n);
        case 1: return reorder_through_indices<1>(rows, indices, n);
        case 2: return reorder_through_indices<2>(rows, indices, n);
        case 3: return reorder_through_indices<3>(rows, indices, n);
        case 4: return reorder_through_indices<4>(rows, indices, n);
        case 5: return reorder_through_indices<5>(rows, indices, n);
        case 6: return reorder_through_indices<6>(rows, indices, n);
        case 7: return reorder_through_indices<7>(rows, indices, n);
        default: return reorder_through_indices<8>(rows, indices, n);
    }
}

// The one-chain cycle walk, for rows of any size (taken for those over 128 bytes), with one
// scratch row `tmp`. Expects a checked permutation. Rows of up to 8 bytes are reordered through
// `indices` instead.
//
// A checked permutation settles one position per move, n at most. An entry that another thread
// has moved out of range since the check, or more moves than that, end the walk with
// input_changed; the row in `tmp` then fills the open position, so no row is lost.
template <typename Row>
Status follow_cycles_one_chain(Row row, Rows rows, intp_entry *indices, std::intptr_t n, char *tmp) noexcept {
    if (row.bytes() <= sizeof(std::size_t)) return reorder_through_indices(row.bytes(), rows, indices, n);
    std::size_t moves_left = std::size_t(n);
    for (std::intptr_t i = 0; i < n; ++i) {
        std::intptr_t k = indices[i];
        if (k == i) continue;  // settled by an earlier cycle, or a fixed point
        std::intptr_t j = i;
        indices[i] = i;
        std::memcpy(tmp, rows[i], row.bytes());
        while (k != i) {
            if (std::size_t(k) >= std::size_t(n) || moves_left-- == 0) [[unlikely]] {
                std::memcpy(rows[j], tmp, row.bytes());
                refill_positions(indices, n);
                return Status::input_changed;
            }
            row.move(rows[j], rows[k]);
            j = k;
            k = indices[j];
            indices[j] = j;
        }
        std::memcpy(rows[j], tmp, row.bytes());
    }
    return Status::ok;
}

// The same reorder with several chains walked side by side, for rows of at most 128 bytes
// (fixed sizes and ShortRow), whose scratch slots fit on the stack. Expects a checked permutation. Rows of up to 8 bytes are reordered through `indices` instead.
//
// Following one cycle is a chain of dependent loads; with `Lanes` chains in flight, their
// cache misses overlap. A chain starts at the next unsettled position in increasing order: its
// row goes to a scratch slot and the position is marked n + slot, cutting the cycle open there.
// A chain ends when its next position is such a cut; it then takes the row from that slot.
// Cuts can land anywhere on a cycle (also ahead of a running chain); each is consumed exactly
// once, by the chain that arrives at it, so the rows end up as with the one-chain walk.
// Each step prefetches the entry and row of the chain's next step, one round ahead.
//
// Every step settles one position, n at most. A cut that names no slot, or more steps than
// that, mean that another thread changed `indices` under the walk: it ends with input_changed,
// after the rows in waiting fill the open positions of the running chains (one of each per
// running chain), so no row is lost.
template <typename Row, int Lanes = 16>
Status follow_cycles_parallel(Row row, Rows rows, intp_entry *indices, std::intptr_t n) noexcept {
    static_assert(Row::max_bytes <= 128 && Lanes <= 32);
    if constexpr (Row::max_bytes <= sizeof(std::size_t)) {
        return reorder_through_indices<Row::max_bytes>(rows, indices, n);
    } else {
        constexpr std::size_t bytes = Row::max_bytes;
        alignas(64) char slots[Lanes][bytes];
        std::intptr_t at[Lanes];    // position waiting for its row
        std::intptr_t next[Lanes];  // position whose row moves there
        std::uint32_t waiting = 0;  // bit t: slot t holds a row
        std::intptr_t scan = 0;
        std::size_t steps_left = std::size_t(n);
        const std::size_t cut = std::size_t(n);  // entries from n up are cuts

        auto prefetch_step = [&](std::intptr_t k) {
            __builtin_prefetch(indices + k, 1);
            __builtin_prefetch(rows[k]);
            // A row that may reach into the next line (ShortRow rows lie at any offset).
            if constexpr (bytes > 64 || !Row::fixed) __builtin_prefetch(rows[k] + row.bytes() - 1);
        };

        // Starts a chain in `lane` at the next unsettled position, into scratch slot t. False
        // when no unsettled position is left.
        auto start = [&](int lane, int t) -> bool {
            while (scan < n) {
                // Settled stretches are skipped eight entries at a time; the scan runs in short
                // bursts between chain starts, too irregular for the hardware prefetcher.
                __builtin_prefetch(indices + scan + 64);
                if (scan + 8 <= n) {
                    const index_word *group = words_of(indices) + scan;
                    const std::size_t s = std::size_t(scan);
                    if (((group[0] ^ s) | (group[1] ^ (s + 1)) | (group[2] ^ (s + 2)) | (group[3] ^ (s + 3)) |
                         (group[4] ^ (s + 4)) | (group[5] ^ (s + 5)) | (group[6] ^ (s + 6)) |
                         (group[7] ^ (s + 7))) == 0) {
                        scan += 8;
                        continue;
                    }
                }
                const std::intptr_t i = scan++;
                const std::intptr_t k = indices[i];
                if (k == i || std::size_t(k) >= cut) continue;  // settled, or a running chain's cut
                row.move(slots[t], rows[i]);
                waiting |= std::uint32_t(1) << t;
                indices[i] = n + t;
                at[lane] = i;
                next[lane] = k;
                prefetch_step(k);
                return true;
            }
            return false;
        };

        // Lanes 0 .. active-1 run; a lane that finds no more work swaps with the last running one.
        int active = 0;
        auto stop_changed = [&] {
            for (int lane = 0; lane < active && waiting != 0; ++lane) {
                const int t = std::countr_zero(waiting);
                row.move(rows[at[lane]], slots[t]);
                waiting &= waiting - 1;
            }
            refill_positions(indices, n);
            return Status::input_changed;
        };
        while (active < Lanes && start(active, active)) ++active;
        while (active > 0) {
            // A round takes one step in each lane that runs at its start.
            if (steps_left < std::size_t(active)) [[unlikely]] return stop_changed();
            steps_left -= std::size_t(active);
            for (int lane = 0; lane < active; ++lane) {
                const std::intptr_t j = at[lane], k = next[lane];
                const std::intptr_t e = indices[k];
                if (std::size_t(e) >= cut) [[unlikely]] {
                    // k is a cut: its row waits in slot e - n, which is free afterwards.
                    const std::size_t slot = std::size_t(e) - cut;
                    if (slot >= std::size_t(Lanes) || !(waiting >> slot & 1)) return stop_changed();
                    const int t = int(slot);
                    row.move(rows[j], slots[t]);
                    waiting &= ~(std::uint32_t(1) << t);
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
                    next[lane] = e;
                    prefetch_step(e);
                }
            }
        }
        return Status::ok;
    }
}

}  // namespace norvale::kernels
