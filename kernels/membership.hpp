// The membership kernel: load the test values into a set once, then look up every element.
// No Python objects, no interpreter lock: data pointers, lengths and byte strides only.
//
// Integer test values of a narrow range go into a bitmap (range_bitmap.hpp). Other values go
// into a hash set: a cuckoo table while it is small enough for the nearer caches, where every
// lookup is the same few instructions (cuckoo_set.hpp), then a table of cache-line buckets that
// takes any size and reads ahead of its lookups (flat_set.hpp).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "kernels/cpu_features.hpp"
#include "kernels/cuckoo_set.hpp"
#include "kernels/cuckoo_set_avx512.hpp"
#include "kernels/flat_set.hpp"
#include "kernels/flat_set_avx512.hpp"
#include "kernels/key_blocks.hpp"
#include "kernels/range_bitmap.hpp"
#include "kernels/set_key.hpp"
#include "kernels/status.hpp"
#include "kernels/strided.hpp"

namespace norvale::kernels {

// Which structure holds the test values (reported to the tests).
enum class MemberLayout { empty, bitmap, cuckoo, flat, flat_read_ahead, flat_mapped };

// The hash set of the test values: a CuckooSet until that would grow too large, then a FlatSet.
// With more test values than a CuckooSet takes, it is a FlatSet from the start; if few of them
// are distinct, they are moved into a CuckooSet at the end, whose lookups are cheaper.
template <typename Key>
class MemberSet {
public:
    // At most `values` more test values will be inserted.
    void expect_at_most(std::size_t values) noexcept {
        if (!flat_in_use_ && small_.count() == 0 && values > CuckooSet<Key>::max_keys) flat_in_use_ = true;
        if (flat_in_use_) flat_.expect_at_most(values);
    }

    Status insert(Key key) noexcept {
        if (!flat_in_use_) {
            switch (small_.insert(key)) {
                case CuckooSet<Key>::Insert::ok: return Status::ok;
                case CuckooSet<Key>::Insert::out_of_memory: return Status::out_of_memory;
                case CuckooSet<Key>::Insert::too_large: break;
            }
            const Status moved = move_to_flat();
            if (moved != Status::ok) return moved;
        }
        return flat_.insert(key);
    }

    // Inserts keys[0 .. count-1]; `next_keys` holds the next block's keys, for reading ahead.
    Status insert_block(Isa isa, const Key *keys, std::size_t count, const Key *next_keys,
                        std::size_t next_count) noexcept {
        std::size_t i = 0;
        for (; i < count && !flat_in_use_; ++i) {
            const Status status = insert(keys[i]);
            if (status != Status::ok) return status;
        }
        if (i == count) return Status::ok;
#if defined(NORVALE_HAVE_AVX2_VARIANTS)
        if (isa >= Isa::avx2) return flat_.insert_avx2(keys + i, count - i, next_keys, next_count);
#endif
        (void)isa;
        return flat_.insert_portable(keys + i, count - i, next_keys, next_count);
    }

    Status finish() noexcept {
        if (!flat_in_use_) return Status::ok;
        if (flat_.count() <= CuckooSet<Key>::max_keys / 2) return move_to_small();
        return flat_.finish();
    }

    bool flat_in_use() const noexcept { return flat_in_use_; }
    const CuckooSet<Key> &small() const noexcept { return small_; }
    const FlatSet<Key> &flat() const noexcept { return flat_; }

    MemberLayout layout() const noexcept {
        if (flat_in_use_)
            return flat_.on_mapped_memory() ? MemberLayout::flat_mapped
                   : flat_.read_ahead()     ? MemberLayout::flat_read_ahead
                                            : MemberLayout::flat;
        return small_.count() ? MemberLayout::cuckoo : MemberLayout::empty;
    }

    std::size_t bytes() const noexcept { return flat_in_use_ ? flat_.bytes() : small_.bytes(); }

private:
    CuckooSet<Key> small_;
    FlatSet<Key> flat_;
    bool flat_in_use_ = false;

    Status move_to_flat() noexcept {
        Status status = flat_.reserve(small_.count() + 1);
        small_.for_each([&](Key key) {
            if (status == Status::ok) status = flat_.insert(key);
        });
        small_ = CuckooSet<Key>();
        flat_in_use_ = true;
        return status;
    }

    // Few distinct keys in a FlatSet: into a CuckooSet, if it takes them all.
    Status move_to_small() noexcept {
        CuckooSet<Key> small;
        bool fits = true;
        flat_.for_each([&](Key key) {
            if (fits) {
                const auto inserted = small.insert(key);
                if (inserted == CuckooSet<Key>::Insert::out_of_memory) fits = false;
                if (inserted == CuckooSet<Key>::Insert::too_large) fits = false;
            }
        });
        if (!fits) return flat_.finish();  // stays a FlatSet (out of memory here is not fatal)
        small_ = static_cast<CuckooSet<Key> &&>(small);
        flat_ = FlatSet<Key>();
        flat_in_use_ = false;
        return Status::ok;
    }
};

namespace membership_detail {

constexpr std::size_t block = 64;  // test values read at a time while the set is built

// Looks up every element in `set` (a CuckooSet or a FlatSet) through the chosen variant, reading
// contiguous elements without a multiply per element.
template <typename T, typename Element, typename Set>
void probe_set(const Set &set, Isa isa, Strided<Element> elements, std::uint8_t *out, std::ptrdiff_t out_stride) noexcept {
    using Key = typename SetKey<T>::type;
#if defined(NORVALE_HAVE_AVX512_VARIANTS)
    if (isa == Isa::avx512) {
        // The AVX-512 lookups read keys side by side: integers that are their own keys are read
        // in place, others staged a block at a time.
        const auto look_up = [&](const auto &prober) {
            if constexpr (std::is_same_v<Element, T> && SetKey<T>::identity)
                if (elements.contiguous() && out_stride == 1) return prober.run(elements.data, elements.size, out);
            with_items(elements, [&](auto items) {
                const auto key_of = [items](std::size_t j) noexcept { return SetKey<T>::probe(T(items[j])); };
                in_key_blocks<Key, 1024>(key_of, items.size, out, out_stride,
                                         [&](const char *keys, std::size_t count, std::uint8_t *answers) {
                                             prober.run(keys, count, answers);
                                         });
            });
        };
        if constexpr (std::is_same_v<Set, FlatSet<Key>>) look_up(flat_avx512::Prober<Key>(set));
        else look_up(cuckoo_avx512::Prober<Key>(set));
        return;
    }
#endif
    with_items(elements, [&](auto items) {
        const auto key_of = [items](std::size_t j) noexcept { return SetKey<T>::probe(T(items[j])); };
#if defined(NORVALE_HAVE_AVX2_VARIANTS)
        if (isa >= Isa::avx2) return set.probe_avx2(key_of, items.size, out, out_stride);
#endif
        (void)isa;
        set.probe_portable(key_of, items.size, out, out_stride);
    });
}

// Fills the set from the test values. Once the set is a large FlatSet, the next block's home
// buckets are requested while this block goes in.
template <typename T, typename Test, typename Key>
Status build_set(MemberSet<Key> &set, Strided<Test> test, Isa isa) noexcept {
    Key keys[2][block];
    const auto load = [&](Key *into, std::size_t start) {
        const std::size_t count = std::min(block, test.size - start);
        std::size_t kept = 0;
        for (std::size_t i = 0; i < count; ++i) kept += SetKey<T>::of(T(test[start + i]), into[kept]);
        return kept;
    };
    if (test.size == 0) return Status::ok;
    int current = 0;
    std::size_t kept = load(keys[0], 0);
    for (std::size_t start = 0; start < test.size; start += block) {
        set.expect_at_most(test.size - start);
        const std::size_t next_kept = start + block < test.size ? load(keys[current ^ 1], start + block) : 0;
        const Status status = set.insert_block(isa, keys[current], kept, keys[current ^ 1], next_kept);
        if (status != Status::ok) return status;
        current ^= 1;
        kept = next_kept;
    }
    return set.finish();
}

}  // namespace membership_detail

// out[j * out_stride] = 1 when elements[j], as T, equals some test[i] as T; else 0. Every result
// element is written. `isa` picks the variant (it must be available).
template <typename T, typename Element, typename Test>
Status mark_members(Strided<Element> elements, Strided<Test> test, std::uint8_t *out, std::ptrdiff_t out_stride,
                    Isa isa, MemberLayout *layout = nullptr) noexcept {
    namespace detail = membership_detail;
    if (layout) *layout = MemberLayout::empty;
    if constexpr (std::is_integral_v<T>) {
        RangeBitmap<T> bitmap;
        if (bitmap.fits(test, isa)) {
            const Status filled = bitmap.fill(test);
            if (filled != Status::ok) return filled;
            if (layout) *layout = MemberLayout::bitmap;
            bitmap.probe(isa, elements, out, out_stride);
            return Status::ok;
        }
    }
    if constexpr (sizeof(T) <= 2) {
        // The bitmap takes every set of 8- and 16-bit values but the empty one.
        for (std::size_t j = 0; j < elements.size; ++j) out[std::ptrdiff_t(j) * out_stride] = 0;
        return Status::ok;
    } else {
        using Key = typename SetKey<T>::type;
        MemberSet<Key> set;
        const Status built = detail::build_set<T>(set, test, isa);
        if (built != Status::ok) return built;
        if (layout) *layout = set.layout();
        if (set.flat_in_use()) detail::probe_set<T>(set.flat(), isa, elements, out, out_stride);
        else detail::probe_set<T>(set.small(), isa, elements, out, out_stride);
        return Status::ok;
    }
}

// The same with the fastest variant this processor runs.
template <typename T, typename Element, typename Test>
Status mark_members(Strided<Element> elements, Strided<Test> test, std::uint8_t *out,
                    std::ptrdiff_t out_stride) noexcept {
    return mark_members<T>(elements, test, out, out_stride, best_isa());
}

}  // namespace norvale::kernels
