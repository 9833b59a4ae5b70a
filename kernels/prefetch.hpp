// How far ahead the kernels that visit memory in a data-dependent order fetch it.
#pragma once

#include <cstdint>

namespace norvale::kernels {

// Entries ahead of the one in use: far enough to hide a cache miss behind the work in between,
// near enough that what was fetched is still there.
inline constexpr std::intptr_t prefetch_distance = 16;

}  // namespace norvale::kernels
