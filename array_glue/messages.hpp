// Every message of the array glue that modules share, as whole format strings.
#pragma once

namespace norvale::array_glue::message {

// Rows of an array as raw bytes.
inline constexpr char subarrays_not_contiguous[] = "Subarrays must be C-contiguous";
inline constexpr char rows_outside_base[] =
    "the rows of array (first element, stride and row size) do not lie inside the buffer of array.base";

// Arrays that order the rows or ranges.
inline constexpr char one_entry_per_row[] = "%s must have one entry per row: it has %zd, array has %zd rows";
inline constexpr char not_a_permutation[] = "%s must be a permutation of 0 .. n-1 for n = %zd %s, but %s[%zd] = %zd %s";
inline constexpr char entry_out_of_range[] = "is out of range";
inline constexpr char entry_repeated[] = "repeats an earlier entry";

// What np.empty and np.zeros returned (a module's `np` can be anything).
inline constexpr char wrong_entry_count[] = "%s must have %zd entries: it has %zd";
inline constexpr char wrong_shape[] = "%s must have shape (%zd, %zd): it has (%zd, %zd)";
inline constexpr char not_contiguous[] = "%s must be contiguous";

// How a kernel ended.
inline constexpr char changed_under_pass[] = "%s was changed while the call was using it";
inline constexpr char out_of_memory[] = "bad allocation";

// Byte ranges.
inline constexpr char must_not_be_none[] = "Argument '%s' must not be None";
inline constexpr char range_beyond_tables[] =
    "range %zd is beyond the range tables: src_indices, starts and ends have %zd, %zd and %zd entries";
inline constexpr char range_outside_src[] = "range %zd lies outside src: row %zd, columns %zd to %zd, src shape (%zd, %zd)";

}  // namespace norvale::array_glue::message
