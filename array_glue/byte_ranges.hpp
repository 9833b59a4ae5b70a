// Byte ranges cut from the rows of a byte matrix, as the modules over them bind and check them:
// a matrix `src` and three tables (row, first column, end column of every range).
#pragma once

#include "frame/view.hpp"
#include "kernels/span_ranges.hpp"

namespace norvale::array_glue {

using SrcView = frame::View<frame::elem::uint8, 2, frame::Access::read_only>;
using TableView = frame::View<frame::elem::intp, 1, frame::Access::read_only>;

kernels::RangeSet range_set(const SrcView &src, const TableView &rows, const TableView &starts,
                            const TableView &ends) noexcept;

// ValueError for a range that check_range found outside src.
void raise_range_fault(const kernels::RangeSet &set, const kernels::RangeCheck &check) noexcept;

// ValueError naming the first of ranges 0 .. n-1 that does not lie inside src; 0 or -1.
int check_ranges_or_raise(const kernels::RangeSet &set, std::ptrdiff_t n) noexcept;

// The four range arguments of span_rank and span_distinct: None refused first (TypeError), then
// each bound in argument order.
struct RangeArguments {
    SrcView src;
    TableView src_indices, starts, ends;

    int bind(PyObject *const *args) noexcept;
    kernels::RangeSet set() const noexcept { return range_set(src, src_indices, starts, ends); }
};

}  // namespace norvale::array_glue
