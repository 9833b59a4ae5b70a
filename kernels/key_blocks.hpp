// Keys side by side, as the vector lookups (of the hash sets and of the bitmap) read them: keys
// made one by one (converted, or read through a stride) are staged a block at a time, and the
// answers go out at the result's stride.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace norvale::kernels {

// Calls run(keys, count, answers) for the keys key_of(0 .. n-1), `Block` at a time, so that
// out[j * out_stride] ends up holding the answer for key j.
template <typename Key, std::size_t Block, typename KeyOf, typename Run>
void in_key_blocks(const KeyOf &key_of, std::size_t n, std::uint8_t *out, std::ptrdiff_t out_stride,
                   const Run &run) noexcept {
    const KeyOf read = key_of;  // a local copy, which the result stores cannot change
    alignas(64) Key keys[Block];
    std::uint8_t answers[Block];
    for (std::size_t start = 0; start < n; start += Block) {
        const std::size_t count = std::min(Block, n - start);
        for (std::size_t i = 0; i < count; ++i) keys[i] = read(start + i);
        run(reinterpret_cast<const char *>(keys), count, out_stride == 1 ? out + start : answers);
        if (out_stride != 1)
            for (std::size_t i = 0; i < count; ++i) out[std::ptrdiff_t(start + i) * out_stride] = answers[i];
    }
}

}  // namespace norvale::kernels
