// What norvale.cython.span_order shares with the native modules that bind to it:
// - the layout of a byte_ranges_context instance (importers check its size at import),
// - the comparator's signature and the key and capsule name under which it is published in
//   the module's __pyx_capi__ dict,
// - the typed views over byte ranges and their kernel form,
// - the small read-only buffer objects over a view's memory that the modules hand to Python.
#pragma once

#include <new>
#include <string>

#include "frame/frame.hpp"
#include "kernels/span_ranges.hpp"

namespace norvale::span_order {

namespace frame = norvale::frame;

using SrcView = frame::View<frame::elem::uint8, 2, frame::Access::read_only>;
using TableView = frame::View<frame::elem::intp, 1, frame::Access::read_only>;

// The instance layout of byte_ranges_context: the object header, then its four field views.
struct ByteRangesContext {
    PyObject_HEAD
    SrcView src;
    TableView src_indices;
    TableView starts;
    TableView ends;
};

// int span_order(const void *i, const void *j, void *context): the order of range *i against
// range *j (intp indices) in a byte_ranges_context; call it with the interpreter lock held.
using Comparator = int (*)(const void *, const void *, void *);
inline constexpr char comparator_key[] = "span_order";
inline constexpr char comparator_signature[] = "int (void const *, void const *, void *)";

inline kernels::RangeSet range_set(const SrcView &src, const TableView &rows, const TableView &starts,
                                   const TableView &ends) noexcept {
    return {{reinterpret_cast<const unsigned char *>(src.bytes()), src.extent(0), src.extent(1), src.stride(0),
             src.stride(1)},
            {rows.bytes(), rows.stride(), rows.size()},
            {starts.bytes(), starts.stride(), starts.size()},
            {ends.bytes(), ends.stride(), ends.size()}};
}

// ValueError for a range that check_range found outside src.
inline void raise_range_fault(const kernels::RangeSet &set, const kernels::RangeCheck &check) noexcept {
    char message[256];
    kernels::describe_fault(message, sizeof message, set, check);
    PyErr_SetString(PyExc_ValueError, message);
}

// ValueError naming the first of ranges 0 .. n-1 that does not lie inside src.
inline int check_ranges_or_raise(const kernels::RangeSet &set, std::ptrdiff_t n) noexcept {
    const kernels::RangeCheck check = kernels::check_ranges(set, n);
    if (check.fault == kernels::RangeFault::none) return 0;
    raise_range_fault(set, check);
    return -1;
}

// The functions over byte ranges take no None for their arrays.
inline int reject_none(PyObject *value, const char *parameter) noexcept {
    if (value != Py_None) return 0;
    PyErr_Format(PyExc_TypeError, "Argument '%s' must not be None", parameter);
    return -1;
}

// The four range arguments of span_rank and span_distinct: None refused first, then each
// bound in argument order. The caller's `line` stays on its call of bind().
struct RangeArguments {
    SrcView src;
    TableView src_indices, starts, ends;

    int bind(PyObject *const *args) noexcept {
        static constexpr const char *names[] = {"src", "src_indices", "starts", "ends"};
        for (int k = 0; k < 4; ++k)
            if (reject_none(args[k], names[k]) < 0) return -1;
        if (src.bind(args[0]) < 0 || src_indices.bind(args[1]) < 0 || starts.bind(args[2]) < 0 ||
            ends.bind(args[3]) < 0)
            return -1;
        return 0;
    }
};

// A read-only buffer object over the memory of a bound view, with the view's element type,
// dimensions and strides. It shares the view's buffer acquisition, so the exporter's buffer
// stays held while the object (or anything that took a buffer from it) lives. It refuses to be
// pickled: it stands for memory, not for a value.
struct FieldBuffer {
    PyObject_HEAD
    frame::BoundView view;
    const char *format;
    Py_ssize_t itemsize;
    int ndim;
    Py_ssize_t shape[2];
    Py_ssize_t strides[2];
};

namespace field_buffer_detail {

inline bool c_contiguous(const FieldBuffer &b) noexcept {
    Py_ssize_t expected = b.itemsize;
    for (int axis = b.ndim - 1; axis >= 0; --axis) {
        if (b.shape[axis] > 1 && b.strides[axis] != expected) return false;
        expected *= b.shape[axis];
    }
    return true;
}

inline bool f_contiguous(const FieldBuffer &b) noexcept {
    Py_ssize_t expected = b.itemsize;
    for (int axis = 0; axis < b.ndim; ++axis) {
        if (b.shape[axis] > 1 && b.strides[axis] != expected) return false;
        expected *= b.shape[axis];
    }
    return true;
}

inline int get_buffer(PyObject *self, Py_buffer *view, int flags) {
    auto &b = *reinterpret_cast<FieldBuffer *>(self);
    if (flags & PyBUF_WRITABLE) {
        PyErr_SetString(PyExc_BufferError, "the buffer is read-only");
        return -1;
    }
    const bool c = c_contiguous(b), f = f_contiguous(b);
    const bool wants_strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES;
    if ((!wants_strides && !c) || ((flags & PyBUF_C_CONTIGUOUS) == PyBUF_C_CONTIGUOUS && !c) ||
        ((flags & PyBUF_F_CONTIGUOUS) == PyBUF_F_CONTIGUOUS && !f) ||
        ((flags & PyBUF_ANY_CONTIGUOUS) == PyBUF_ANY_CONTIGUOUS && !c && !f)) {
        PyErr_SetString(PyExc_BufferError, "the buffer does not have the requested contiguity");
        return -1;
    }
    static char empty[1];
    Py_ssize_t items = 1;
    for (int axis = 0; axis < b.ndim; ++axis) items *= b.shape[axis];
    view->buf = b.view.bytes() ? b.view.bytes() : empty;
    view->obj = Py_NewRef(self);
    view->len = items * b.itemsize;
    view->readonly = 1;
    view->itemsize = b.itemsize;
    view->format = (flags & PyBUF_FORMAT) ? const_cast<char *>(b.format) : nullptr;
    view->ndim = b.ndim;
    view->shape = (flags & PyBUF_ND) == PyBUF_ND ? b.shape : nullptr;
    view->strides = wants_strides ? b.strides : nullptr;
    view->suboffsets = nullptr;
    view->internal = nullptr;
    return 0;
}

inline void dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    reinterpret_cast<FieldBuffer *>(self)->view.~BoundView();
    type->tp_free(self);
    Py_DECREF(type);
}

inline PyObject *reduce(PyObject *, PyObject *) {
    PyErr_SetString(PyExc_TypeError, "no default __reduce__ due to non-trivial __cinit__");
    return nullptr;
}

}  // namespace field_buffer_detail

// The buffer type of this module file, made on first use ("<dotted module>.field_buffer").
inline PyTypeObject *field_buffer_type() noexcept {
    static PyTypeObject *type = nullptr;
    if (type) return type;
    static const std::string name = std::string(frame::this_module.dotted) + ".field_buffer";
    static PyBufferProcs buffer_procs = {field_buffer_detail::get_buffer, nullptr};
    static PyMethodDef methods[] = {
        {"__reduce__", field_buffer_detail::reduce, METH_NOARGS, nullptr},
        {nullptr, nullptr, 0, nullptr},
    };
    static PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void *>(field_buffer_detail::dealloc)},
        {Py_tp_methods, methods},
        {Py_bf_getbuffer, reinterpret_cast<void *>(buffer_procs.bf_getbuffer)},
        {Py_tp_doc, const_cast<char *>("Read-only buffer over the memory of an array argument.")},
        {0, nullptr},
    };
    static PyType_Spec field_buffer_spec = {name.c_str(), int(sizeof(FieldBuffer)), 0,
                                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
    type = reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&field_buffer_spec));
    return type;
}

// A new read-only buffer object over `view`, which must be bound (not absent).
template <typename V>
PyObject *new_field_buffer(const V &view) noexcept {
    PyTypeObject *type = field_buffer_type();
    if (!type) return nullptr;
    PyObject *self = PyType_GenericAlloc(type, 0);
    if (!self) return nullptr;
    auto *b = reinterpret_cast<FieldBuffer *>(self);
    new (&b->view) frame::BoundView(view);
    const frame::ElementType &element = *V::decl.type;
    b->itemsize = Py_ssize_t(element.size);
    b->format = element.kind == frame::Kind::unsigned_integer ? "B" : (sizeof(long) == element.size ? "l" : "q");
    b->ndim = V::decl.ndim;
    for (int axis = 0; axis < 2; ++axis) {
        b->shape[axis] = axis < b->ndim ? view.extent(axis) : 0;
        b->strides[axis] = axis < b->ndim ? view.stride(axis) : 0;
    }
    return self;
}

}  // namespace norvale::span_order
