// The caller's arrays that order rows or ranges (run_distinct's order, permute_rows' indices,
// the order span_rank gives span_distinct), and how a bad one is refused.
#pragma once

#include <cstdint>

#include "frame/python.hpp"

namespace norvale::array_glue {

// "<what> must have one entry per row: it has <size>, array has <length> rows"; 0 or -1.
int check_one_entry_per_row(const char *what, Py_ssize_t size, Py_ssize_t length) noexcept;

// The ValueError for the first entry that is not part of a permutation of 0 .. length-1 (out
// of range, or a repeat of an earlier entry), of `length` rows or ranges (`items`). Always -1.
int refuse_permutation(const char *what, std::intptr_t position, std::intptr_t value, Py_ssize_t length,
                       const char *items = "rows") noexcept;

}  // namespace norvale::array_glue
