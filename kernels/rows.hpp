// Kernels over the rows of an array seen as raw bytes: run detection over sorted neighbours,
// placement of run starts and counts, permutation checks and the in-place reorder.
// No Python objects, no interpreter lock: data pointers, lengths and byte strides only.
//
// Every kernel is templated on a row-size class, so that the common row sizes are compared
// and moved with fixed-size loads and stores instead of a memcmp or memcpy call per row.
#pragma once

#include <bit>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "kernels/status.hpp"

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

// Rows of any other size from 9 to 127 bytes, in a few pieces of 8 or 16 bytes: half of them
// from the start of the row, half ending at its end, overlapping in the middle, so that no
// narrower tail and no loop is needed. All loads come before all stores, as in FixedRow.
// Bounded, so that a row can wait in a fixed scratch slot.
struct ShortRow {
    static constexpr bool fixed = false;
    static constexpr std::size_t max_bytes = 128;
    std::size_t size;  // 9 .. 127
    std::size_t bytes() const noexcept { return size; }

    bool equal(const char *a, const char *b) const noexcept {
        if (size <= 16) return equal_pieces<8, 2>(a, b);
        if (size <= 32) return equal_pieces<16, 2>(a, b);
        if (size <= 64) return equal_pieces<16, 4>(a, b);
        return equal_pieces<16, 8>(a, b);
    }

    void move(char *to, const char *from) const noexcept {
        if (size <= 16) return move_pieces<8, 2>(to, from);
        if (size <= 32) return move_pieces<16, 2>(to, from);
        if (size <= 64) return move_pieces<16, 4>(to, from);
        return move_pieces<16, 8>(to, from);
    }

  private:
    // Piece i of Count: the first half from offset 0 on, the second half ending at `size`.
    template <std::size_t Piece, int Count>
    std::size_t offset(int i) const noexcept {
        return i < Count / 2 ? std::size_t(i) * Piece : size - std::size_t(Count - i) * Piece;
    }

    template <std::size_t Piece, int Count>
    bool equal_pieces(const char *a, const char *b) const noexcept {
        std::uint64_t difference = 0;
        for (int i = 0; i < Count; ++i)
            for (std::size_t w = 0; w < Piece; w += 8)
                difference |= FixedRow<8>::load(a + offset<Piece, Count>(i) + w) ^
                              FixedRow<8>::load(b + offset<Piece, Count>(i) + w);
        return difference == 0;
    }

    template <std::size_t Piece, int Count>
    void move_pieces(char *to, const char *from) const noexcept {
        std::uint64_t held[Count][Piece / 8];
        for (int i = 0; i < Count; ++i) __builtin_memcpy(held[i], from + offset<Piece, Count>(i), Piece);
        for (int i = 0; i < Count; ++i) __builtin_memcpy(to + offset<Piece, Count>(i), held[i], Piece);
    }
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
        default:
            if (size > 8 && size < 128) return f(ShortRow{size});
            return f(AnyRow{size});
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

// Outputs of at least this size are written with stores that bypass the caches.
constexpr std::size_t streamed_output_bytes = std::size_t(32) << 20;

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

// ---- In-place reorder -----------------------------------------------------------------------
//
// The reorder keeps its bookkeeping in `indices` itself, which the call consumes and leaves as
// 0 .. n-1. The check marks the values it has seen in spare high bits of `indices` and clears
// them again. Rows of up to 8 bytes are then gathered into `indices` and given back; larger rows
// follow the cycles, which read the plain targets: an entry equal to its own position is settled
// (or a fixed point), and a position where a chain was cut open, with its row held aside in
// scratch slot t, holds n + t until the chain that leads into it arrives.

// `indices` seen as unsigned words (the same type up to sign, so the two may alias).
typedef std::size_t index_word __attribute__((aligned(1)));

inline index_word *words_of(intp_entry *indices) noexcept { return reinterpret_cast<index_word *>(indices); }

// Does word v lie outside 0 .. last? Exactly when v or (last - v) has its top bit set, in
// unsigned arithmetic: or-ing those over many words vectorises where a comparison would not.
inline std::size_t out_of_range_bits(std::size_t v, std::size_t last) noexcept { return v | (last - v); }
constexpr std::size_t top_bit = std::size_t(1) << 63;

// The first position of `indices` whose entry is out of range or repeats an earlier one, or
// permutation_ok. Slow and exact: only run once a fast check has failed. `indices` is intact.
inline std::intptr_t first_bad_index(intp_entry *indices, std::intptr_t n) noexcept {
    index_word *word = words_of(indices);
    for (std::intptr_t j = 0; j < n; ++j)
        if (word[j] >= std::size_t(n)) return j;
    std::intptr_t bad = permutation_ok;
    for (std::intptr_t j = 0; j < n && bad == permutation_ok; ++j) {
        const std::size_t v = word[j] & ~top_bit;  // read once: another thread may write it
        if (v >= std::size_t(n) || (word[v] & top_bit)) bad = j;
        else word[v] |= top_bit;
    }
    for (std::intptr_t j = 0; j < n; ++j) word[j] &= ~top_bit;
    return bad;
}

// Marks value v by bit 64 - PerWord + v % PerWord of word v / PerWord; that sum is written in
// the form that a shift by a register takes as it stands.
template <int PerWord>
inline void mark_value(index_word *word, std::size_t v) noexcept {
    constexpr int mark_shift = 64 - PerWord;
    word[v / PerWord] |= std::size_t(1) << ((v | mark_shift) & 63);
}

// The marking loop of the permutation check: marks entries from..to-1 (from the back), each cut
// to `reach`, and returns the or of the entries as they stand. See check_permutation_packed.
template <int PerWord>
std::size_t mark_entries_portable(index_word *word, std::intptr_t from, std::intptr_t to, std::size_t reach) noexcept {
    std::size_t all_entries = 0;
#pragma GCC unroll 4
    for (std::intptr_t j = to - 1; j >= from; --j) {
        const std::size_t v = word[j];
        all_entries |= v;
        mark_value<PerWord>(word, v & reach);
    }
    return all_entries;
}

#if defined(__x86_64__) && defined(__GNUC__)
// The same loop with 32 marks to a word, for x86-64 with BMI1/BMI2. Mark v is bit v % 32 of the
// high half of word v / 32 (bit 32 + v % 32 of the word, as above), so a 32-bit shlx, whose
// count is taken modulo 32, makes the mark of v as it stands, and a 32-bit or puts it in place;
// bextr takes bits 5 .. k-1 of v (reach = 2^k - 1), the word number cut to reach. The or of
// the entries runs in SSE2 registers, four entries to an or, off the integer units. An entry
// above `reach` may mark another bit of the mark words than the portable loop would; the check
// refuses it either way.
typedef std::uint32_t mark_half __attribute__((aligned(1), may_alias));

__attribute__((target("bmi2"), always_inline)) inline std::uint32_t shift_left_modulo_32(std::uint32_t x,
                                                                                       std::uint32_t count) noexcept {
    std::uint32_t shifted;
    asm("shlx %2, %1, %0" : "=r"(shifted) : "r"(x), "r"(count));
    return shifted;
}

__attribute__((target("bmi,bmi2"), always_inline)) inline void mark_bmi(char *high_halves, unsigned word_field,
                                                                         std::size_t v) noexcept {
    *reinterpret_cast<mark_half *>(high_halves + 8 * __builtin_ia32_bextr_u64(v, word_field)) |=
        shift_left_modulo_32(1, std::uint32_t(v));
}

__attribute__((target("bmi,bmi2"))) inline std::size_t mark_entries_bmi(index_word *word, std::intptr_t from,
                                                                         std::intptr_t to, std::size_t reach) noexcept {
    static_assert(std::endian::native == std::endian::little);
    const unsigned value_bits = unsigned(std::popcount(reach));
    const unsigned word_bits = value_bits > 5 ? value_bits - 5 : 0;
    const unsigned word_field = 5 | word_bits << 8;  // bextr's control: start 5, length word_bits
    char *const high_halves = reinterpret_cast<char *>(word) + 4;
    // The entries read here all lie at or after `from`, past every mark word.
    __m128i all_pairs = _mm_setzero_si128();
    std::intptr_t j = to;
    for (; j - 4 >= from; j -= 4) {
        const index_word *group = word + (j - 4);
        all_pairs = _mm_or_si128(all_pairs, _mm_or_si128(_mm_loadu_si128(reinterpret_cast<const __m128i *>(group)),
                                                         _mm_loadu_si128(reinterpret_cast<const __m128i *>(group + 2))));
        mark_bmi(high_halves, word_field, group[3]);
        mark_bmi(high_halves, word_field, group[2]);
        mark_bmi(high_halves, word_field, group[1]);
        mark_bmi(high_halves, word_field, group[0]);
    }
    std::size_t all_entries = std::size_t(_mm_cvtsi128_si64(all_pairs)) |
                              std::size_t(_mm_cvtsi128_si64(_mm_unpackhi_epi64(all_pairs, all_pairs)));
    for (--j; j >= from; --j) {
        all_entries |= word[j];
        mark_bmi(high_halves, word_field, word[j]);
    }
    return all_entries;
}

inline bool cpu_has_bmi() noexcept {
    static const bool has = __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2");
    return has;
}
#endif

// The marking loop for this processor; `Portable` keeps to the portable one (for the tests).
template <int PerWord, bool Portable>
std::size_t mark_entries(index_word *word, std::intptr_t from, std::intptr_t to, std::size_t reach) noexcept {
#if defined(__x86_64__) && defined(__GNUC__)
    if constexpr (PerWord == 32 && !Portable)
        if (cpu_has_bmi()) return mark_entries_bmi(word, from, to, reach);
#endif
    return mark_entries_portable<PerWord>(word, from, to, reach);
}

// The permutation check with its marks packed `PerWord` to a word: value v is marked by bit
// (64 - PerWord + v % PerWord) of word v / PerWord, high bits that are zero in every word below
// 2^(64 - PerWord). With 32 to a word the marks of 10^5 values take 25 KiB at the front of
// `indices` instead of all of it, so the random marking stays in the nearest caches.
//
// Entries are marked as they stand, cut to `reach` (n rounded up to a power of two, less one),
// so that the marking loop carries no comparison: an entry at or above 2^k shows in the or of
// all entries, and one in n .. reach marks a value that is not counted, which leaves one of
// the n marks of 0 .. n-1 unset (n entries, at most n-1 of them in range). By counting, n
// entries that set all n marks are n different values in range.
template <int PerWord, bool Portable = false>
std::intptr_t check_permutation_packed(intp_entry *indices, std::intptr_t n) noexcept {
    static_assert(PerWord >= 2 && PerWord <= 32 && (PerWord & (PerWord - 1)) == 0);
    constexpr int mark_shift = 64 - PerWord;
    constexpr std::size_t value_mask = ~std::size_t(0) >> PerWord;
    if (n == 0) return permutation_ok;
    index_word *word = words_of(indices);
    const std::size_t last = std::size_t(n) - 1;
    const std::size_t reach = ~std::size_t(0) >> __builtin_clzll(last | 1);  // 2^k - 1 >= last
    // Every word that a mark can land in (at most n of them, as reach < 2n and PerWord >= 2).
    const std::intptr_t mark_words = std::intptr_t(reach / PerWord) + 1;

    // The words that receive marks must be in range (so their mark bits start clear) before the
    // first mark lands.
    std::size_t out_of_range = 0;
    for (std::intptr_t j = 0; j < mark_words; ++j) out_of_range |= out_of_range_bits(word[j], last);
    if (out_of_range & top_bit) return first_bad_index(indices, n);
    // From the back: the caller has most likely just written `indices` from the front, so that
    // its end is still in the nearest caches.
    const std::size_t all_entries = mark_entries<PerWord, Portable>(word, mark_words, n, reach);
    // Cut to reach as well, as another thread may have written these words since their check.
    for (std::intptr_t j = mark_words - 1; j >= 0; --j) mark_value<PerWord>(word, word[j] & value_mask & reach);

    // All marks of 0 .. n-1 set? Every mark is cleared on the way, which restores the mark words.
    const std::intptr_t counted_words = std::intptr_t(last / PerWord);  // whole words of counted marks
    std::size_t all_marks = ~std::size_t(0);
    for (std::intptr_t j = 0; j < counted_words; ++j) {
        all_marks &= word[j] | value_mask;
        word[j] &= value_mask;
    }
    const std::size_t final_marks = std::size_t(n) - std::size_t(counted_words) * PerWord;  // 1 .. PerWord
    const std::size_t final_expected = (~std::size_t(0) >> (64 - final_marks)) << mark_shift;
    const bool final_ok = (word[counted_words] & final_expected) == final_expected;
    for (std::intptr_t j = counted_words; j < mark_words; ++j) word[j] &= value_mask;
    if (all_entries > reach || ~all_marks || !final_ok) return first_bad_index(indices, n);
    return permutation_ok;
}

// Checks that `indices` (n entries) is a permutation of 0 .. n-1. Returns permutation_ok, or the
// first position whose entry is out of range or repeats an earlier one. Either way `indices` is
// left as it was (the marks are cleared again).
inline std::intptr_t check_and_mark_indices(intp_entry *indices, std::intptr_t n) noexcept {
    if (std::size_t(n) <= std::size_t(1) << 32) return check_permutation_packed<32>(indices, n);
    if (std::size_t(n) <= std::size_t(1) << 48) return check_permutation_packed<16>(indices, n);
    return check_permutation_packed<2>(indices, n);  // entries of an indices buffer stay below 2^62
}

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
