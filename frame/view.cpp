#include "frame/view.hpp"

#include <new>
#include <utility>

#include "frame/format.hpp"
#include "frame/messages.hpp"

namespace norvale::frame {

namespace {

int request_flags(const ViewDecl &decl) {
    if (decl.contiguity == Contiguity::c_contiguous) return PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | PyBUF_WRITABLE;
    return decl.access == Access::writable ? PyBUF_RECORDS : PyBUF_RECORDS_RO;
}

// The extent of an axis; an exporter that gives no shape describes a flat run of items.
Py_ssize_t extent_of(const Py_buffer &buffer, int axis) {
    return buffer.shape ? buffer.shape[axis] : (buffer.itemsize ? buffer.len / buffer.itemsize : 0);
}

// The checks after the format, in their fixed order; the buffer is not yet owned by a view.
int check_buffer(const Py_buffer &buffer, const ViewDecl &decl) {
    if (buffer.ndim != decl.ndim) {
        PyErr_Format(PyExc_ValueError, message::wrong_dimensions, decl.ndim, buffer.ndim);
        return -1;
    }
    const ElementType &type = *decl.type;
    const char *type_name = decl.access == Access::read_only ? type.const_name : type.name;
    if (check_buffer_format(buffer.format, type, type_name) < 0) return -1;
    if (std::size_t(buffer.itemsize) != type.size) {
        PyErr_Format(PyExc_ValueError, message::item_size_mismatch,
                     std::size_t(buffer.itemsize), buffer.itemsize > 1 ? "s" : "", type_name, type.size,
                     type.size > 1 ? "s" : "");
        return -1;
    }
    Py_ssize_t items = 1;
    for (int axis = 0; axis < buffer.ndim; ++axis) items *= extent_of(buffer, axis);
    if (items == 0) return 0;
    for (int axis = 0; axis < buffer.ndim; ++axis) {
        const Py_ssize_t extent = extent_of(buffer, axis);
        if (extent > 1 && buffer.strides) {
            const bool contiguous_axis = decl.last_axis == LastAxis::contiguous && axis == decl.ndim - 1;
            const bool followed_axis = decl.last_axis == LastAxis::contiguous && axis < decl.ndim - 1;
            const Py_ssize_t stride = buffer.strides[axis];
            if ((contiguous_axis && stride != buffer.itemsize) ||
                (followed_axis && (stride < 0 ? -stride : stride) < buffer.itemsize)) {
                PyErr_SetString(PyExc_ValueError, message::not_contiguous_in_dimension);
                return -1;
            }
        } else if (extent > 1 && buffer.suboffsets) {
            PyErr_SetString(PyExc_ValueError, message::suboffsets_without_strides);
            return -1;
        }
        if (buffer.suboffsets && buffer.suboffsets[axis] >= 0) {
            PyErr_Format(PyExc_ValueError, message::no_direct_access, axis);
            return -1;
        }
    }
    if (decl.contiguity == Contiguity::c_contiguous && buffer.strides) {
        Py_ssize_t expected = buffer.itemsize;
        for (int axis = buffer.ndim - 1; axis >= 0; --axis) {
            if (extent_of(buffer, axis) > 1 && buffer.strides[axis] != expected) {
                PyErr_SetString(PyExc_ValueError, message::not_c_contiguous);
                return -1;
            }
            expected *= extent_of(buffer, axis);
        }
    }
    return 0;
}

}  // namespace

BoundView::BoundView(const BoundView &other) noexcept
    : acquisition_(other.acquisition_), data_(other.data_), shape_{other.shape_[0], other.shape_[1]},
      strides_{other.strides_[0], other.strides_[1]} {
    if (acquisition_) acquisition_->holders.fetch_add(1, std::memory_order_relaxed);
}

BoundView &BoundView::operator=(const BoundView &other) noexcept {
    if (this != &other) {
        BoundView copy(other);
        *this = std::move(copy);
    }
    return *this;
}

BoundView::BoundView(BoundView &&other) noexcept
    : acquisition_(std::exchange(other.acquisition_, nullptr)), data_(std::exchange(other.data_, nullptr)),
      shape_{other.shape_[0], other.shape_[1]}, strides_{other.strides_[0], other.strides_[1]} {}

BoundView &BoundView::operator=(BoundView &&other) noexcept {
    if (this != &other) {
        release();
        acquisition_ = std::exchange(other.acquisition_, nullptr);
        data_ = std::exchange(other.data_, nullptr);
        for (int axis = 0; axis < 2; ++axis) {
            shape_[axis] = other.shape_[axis];
            strides_[axis] = other.strides_[axis];
        }
    }
    return *this;
}

void BoundView::release() noexcept {
    Acquisition *held = std::exchange(acquisition_, nullptr);
    data_ = nullptr;
    shape_[0] = shape_[1] = strides_[0] = strides_[1] = 0;
    if (held && held->holders.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        PyBuffer_Release(&held->buffer);
        delete held;
    }
}

PyObject *BoundView::exporter() const noexcept { return acquisition_ ? acquisition_->buffer.obj : nullptr; }

ByteSpan BoundView::byte_span() const noexcept {
    if (!acquisition_) return {};
    const int ndim = acquisition_->buffer.ndim;
    std::intptr_t low = 0, high = acquisition_->buffer.itemsize;
    for (int axis = 0; axis < ndim; ++axis) {
        if (shape_[axis] == 0) return {};
        const std::intptr_t reach = (shape_[axis] - 1) * strides_[axis];
        (reach < 0 ? low : high) += reach;
    }
    const std::uintptr_t at = reinterpret_cast<std::uintptr_t>(data_);
    return {at + std::uintptr_t(low), at + std::uintptr_t(high)};
}

int refuse_shared_memory(const ByteSpan &result, const char *result_name, const ByteSpan &other,
                         const char *other_name) noexcept {
    if (!result.overlaps(other)) return 0;
    PyErr_Format(PyExc_ValueError, message::shares_memory, result_name, other_name);
    return -1;
}

int BoundView::bind(PyObject *object, const ViewDecl &decl) noexcept {
    release();
    if (object == Py_None) return 0;
    auto *held = new (std::nothrow) Acquisition;
    if (!held) {
        PyErr_NoMemory();
        return -1;
    }
    if (PyObject_GetBuffer(object, &held->buffer, request_flags(decl)) < 0) {
        delete held;
        return -1;
    }
    if (check_buffer(held->buffer, decl) < 0) {
        PyBuffer_Release(&held->buffer);
        delete held;
        return -1;
    }
    held->holders.store(1, std::memory_order_relaxed);
    const Py_buffer &buffer = held->buffer;
    acquisition_ = held;
    data_ = static_cast<char *>(buffer.buf);
    // A buffer without strides is row-major.
    Py_ssize_t step = buffer.itemsize;
    for (int axis = buffer.ndim - 1; axis >= 0; --axis) {
        shape_[axis] = extent_of(buffer, axis);
        strides_[axis] = buffer.strides ? buffer.strides[axis] : step;
        step *= shape_[axis];
    }
    return 0;
}

}  // namespace norvale::frame
