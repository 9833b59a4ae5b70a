// Is an array of n entries a permutation of 0 .. n-1? Two checks, for two kinds of caller:
// - with_byte_marks, for orders that are only read: marks in n bytes of scratch;
// - with_packed_marks, for the indices that permute_rows consumes: marks packed into spare high
//   bits of the entries themselves, so that no memory grows with n, and cleared again.
// Both return permutation_ok or the first position whose entry is out of range or repeats an
// earlier one. Each entry is read once where it becomes an index, and bounded there.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "kernels/cpu_features.hpp"
#include "kernels/entries.hpp"
#include "kernels/prefetch.hpp"

namespace norvale::kernels {

// Order checks return this on success, else the first bad position.
constexpr std::intptr_t permutation_ok = -1;

// Is `order` (n entries) a permutation of 0 .. n-1? `marks` (n bytes) is scratch: it is
// zeroed first and, on success, left all ones. Returns permutation_ok or the first position
// whose entry is out of range or repeated.
inline std::intptr_t check_with_byte_marks(const intp_entry *order, std::intptr_t n, std::uint8_t *marks) noexcept {
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
inline std::intptr_t check_with_packed_marks(intp_entry *indices, std::intptr_t n) noexcept {
    if (std::size_t(n) <= std::size_t(1) << 32) return check_permutation_packed<32>(indices, n);
    if (std::size_t(n) <= std::size_t(1) << 48) return check_permutation_packed<16>(indices, n);
    return check_permutation_packed<2>(indices, n);  // entries of an indices buffer stay below 2^62
}

}  // namespace norvale::kernels
