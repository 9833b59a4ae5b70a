// The arrays a call makes through NumPy, and the checks of what NumPy returned.
//
// NumPy is reached through the calling module's global `np`, looked up at each call as Python
// code would look it up, so a caller who rebinds `np` changes what the next call makes. Such a
// stand-in may return anything: before a pass writes a result, the result's length and layout
// are checked, and so is that it shares no memory with another array of the call.
#pragma once

#include <initializer_list>
#include <utility>

#include "frame/names.hpp"
#include "frame/ref.hpp"
#include "frame/view.hpp"

namespace norvale::array_glue {

// The dtype argument: an attribute of `np` (looked up after the function), or a fixed object.
struct Dtype {
    const frame::Name *numpy_attribute;
    PyObject *object;
};
inline Dtype numpy_dtype(const frame::Name &attribute) noexcept { return {&attribute, nullptr}; }
inline Dtype given_dtype(PyObject *object) noexcept { return {nullptr, object}; }

enum class DtypeAs { positional, keyword };

// np.<attribute> of the calling module's `np`.
frame::Ref numpy_attribute(const frame::Name &attribute) noexcept;

// np.<function>(first, dtype) or np.<function>(first, dtype=dtype): `first` a size, a shape, a
// buffer for np.frombuffer.
frame::Ref call_numpy(const frame::Name &function, Py_ssize_t size, Dtype dtype,
                      DtypeAs as = DtypeAs::positional) noexcept;
frame::Ref call_numpy(const frame::Name &function, PyObject *first, Dtype dtype,
                      DtypeAs as = DtypeAs::positional) noexcept;

// A result the passes write: `count` entries, adjacent ones when `contiguous`. 0 or -1.
int check_entries(const frame::BoundView &result, Py_ssize_t count, const char *name, bool contiguous) noexcept;
int check_shape(const frame::BoundView &result, Py_ssize_t rows, Py_ssize_t columns, const char *name) noexcept;

// The views of a call that a result may not overlap, each with the name its message gives.
using NamedSpan = std::pair<frame::ByteSpan, const char *>;
int refuse_overlaps(const frame::ByteSpan &result, const char *name, std::initializer_list<NamedSpan> others) noexcept;
inline NamedSpan named(const frame::BoundView &view, const char *name) noexcept { return {view.byte_span(), name}; }

}  // namespace norvale::array_glue
