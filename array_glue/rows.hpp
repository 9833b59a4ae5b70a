// The rows of an array seen as raw bytes, for the modules that compare or move whole rows.
//
// Everything is read through the array's Python attributes (ndim, shape, strides, itemsize,
// base, the first row's flags) and NumPy is reached through the calling module's global `np`,
// looked up at each call, so arrays and array-likes behave as they would in Python code.
#pragma once

#include <cstddef>
#include <cstdint>

#include "frame/element_types.hpp"
#include "frame/view.hpp"

namespace norvale::array_glue {

using frame::Access;
using frame::Contiguity;
using frame::View;
namespace elem = frame::elem;

// How np.frombuffer receives its dtype; the modules differ here, and each keeps its own call.
enum class DtypeArgument { positional, keyword };

// np.frombuffer(base, np.uint8) bound writable: the whole memory of array.base (or array).
using BaseBytesView = View<elem::uint8, 1, Access::writable, Contiguity::c_contiguous>;

struct RowBytes {
    // Holds the buffer of base for as long as the rows are used: declare it before a GilRelease.
    BaseBytesView base_bytes;
    Py_ssize_t length = 0;     // array.shape[0]
    std::size_t stride = 0;    // array.strides[0]; a negative one is refused with OverflowError
    std::size_t itemsize = 0;  // bytes per row: array.itemsize * prod(array.shape[1:])
    char *first = nullptr;     // the first row's first byte, inside base_bytes

    // The bytes of all rows (inside base_bytes, as read_rows checks).
    frame::ByteSpan span() const noexcept {
        if (length == 0 || itemsize == 0) return {};
        const std::uintptr_t at = reinterpret_cast<std::uintptr_t>(first);
        return {at, at + std::size_t(length - 1) * stride + itemsize};
    }
};

// The constants read_rows uses, made once at exec: call it from the module's constants hook.
// Idempotent, so an import retried after a failed exec keeps what the first attempt made.
int make_row_constants() noexcept;

// In this order: rows must be single values or C-contiguous blocks ("Subarrays must be
// C-contiguous"); the byte view over base; the geometry; and every byte of every row must lie
// inside that view. 0, or -1 with the exception set.
int read_rows(PyObject *array, DtypeArgument dtype, RowBytes &out) noexcept;

}  // namespace norvale::array_glue
