// How far ahead the kernels that visit memory in a data-dependent order fetch it, and how.
#pragma once

#include <cstdint>

namespace norvale::kernels {

// Entries ahead of the one in use: far enough to hide a cache miss behind the work in between,
// near enough that what was fetched is still there.
inline constexpr std::intptr_t prefetch_distance = 16;

// Asks for the cache line at p ahead of its use. An asm statement, because the compiler may drop
// a loop that does nothing but __builtin_prefetch.
inline void prefetch_line(const void *p) noexcept {
#if defined(__x86_64__) && defined(__GNUC__)
    asm volatile("prefetcht0 %0" : : "m"(*static_cast<const char *>(p)));
#else
    __builtin_prefetch(p);
#endif
}

}  // namespace norvale::kernels
