// What the glue hands the kernels and takes back: caller arrays as kernel entries, and the
// status a kernel ends with as the Python exception it stands for.
#pragma once

#include "frame/view.hpp"
#include "kernels/entries.hpp"
#include "kernels/status.hpp"

namespace norvale::array_glue {

// The intp entries of a view, at whatever byte address its buffer puts them.
inline kernels::intp_entry *entries(const frame::BoundView &view) noexcept {
    return reinterpret_cast<kernels::intp_entry *>(view.bytes());
}

// 0 for ok; otherwise -1 with MemoryError "bad allocation" for out_of_memory, or RuntimeError
// "<what> was changed while the call was using it" for input_changed: another thread wrote
// `what`, or Python code that ran since its check, and the pass stopped rather than read or
// write outside an array.
int raise_for(kernels::Status status, const char *what) noexcept;

}  // namespace norvale::array_glue
