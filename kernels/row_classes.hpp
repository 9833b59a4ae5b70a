// Rows of an array seen as raw bytes, by size class, so that the common row sizes are compared
// and moved with fixed-size loads and stores instead of a memcmp or memcpy call per row.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace norvale::kernels {

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

}  // namespace norvale::kernels
