// Entries of caller-given intp arrays (orders, indices, results): a buffer may place them at any
// byte address, so kernels read and write them through types of alignment 1 (ordinary loads
// and stores on x86).
#pragma once

#include <cstddef>
#include <cstdint>

namespace norvale::kernels {

typedef std::intptr_t intp_entry __attribute__((aligned(1)));

// The same entries seen as unsigned words (the same type up to sign, so the two may alias).
typedef std::size_t index_word __attribute__((aligned(1)));

inline index_word *words_of(intp_entry *entries) noexcept { return reinterpret_cast<index_word *>(entries); }
inline const index_word *words_of(const intp_entry *entries) noexcept {
    return reinterpret_cast<const index_word *>(entries);
}

}  // namespace norvale::kernels
