#include "array_glue/field_buffer.hpp"

#include <new>

#include "frame/module.hpp"

namespace norvale::array_glue {

namespace {

struct FieldBuffer {
    PyObject_HEAD
    frame::BoundView view;
    const char *format;
    Py_ssize_t itemsize;
    int ndim;
    Py_ssize_t shape[2];
    Py_ssize_t strides[2];
};

bool c_contiguous(const FieldBuffer &b) noexcept {
    Py_ssize_t expected = b.itemsize;
    for (int axis = b.ndim - 1; axis >= 0; --axis) {
        if (b.shape[axis] > 1 && b.strides[axis] != expected) return false;
        expected *= b.shape[axis];
    }
    return true;
}

bool f_contiguous(const FieldBuffer &b) noexcept {
    Py_ssize_t expected = b.itemsize;
    for (int axis = 0; axis < b.ndim; ++axis) {
        if (b.shape[axis] > 1 && b.strides[axis] != expected) return false;
        expected *= b.shape[axis];
    }
    return true;
}

int get_buffer(PyObject *self, Py_buffer *view, int flags) noexcept {
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

void dealloc(PyObject *self) noexcept {
    PyTypeObject *type = Py_TYPE(self);
    reinterpret_cast<FieldBuffer *>(self)->view.~BoundView();
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject *reduce(PyObject *, PyObject *) noexcept {
    PyErr_SetString(PyExc_TypeError, "no default __reduce__ due to non-trivial __cinit__");
    return nullptr;
}

PyMethodDef methods[] = {
    {"__reduce__", reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(dealloc)},
    {Py_tp_methods, methods},
    {Py_bf_getbuffer, reinterpret_cast<void *>(get_buffer)},
    {Py_tp_doc, const_cast<char *>("Read-only buffer over the memory of an array argument.")},
    {0, nullptr},
};

// The buffer type of this module file ("<dotted module>.field_buffer"), made on first use.
PyTypeObject *field_buffer_type() noexcept {
    static PyTypeObject *type = nullptr;
    static char name[160];
    if (type) return type;
    PyOS_snprintf(name, sizeof name, "%s.field_buffer", frame::this_module.dotted);
    PyType_Spec layout = {name, int(sizeof(FieldBuffer)), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
    type = reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&layout));
    return type;
}

}  // namespace

frame::Ref new_field_buffer(const frame::BoundView &view, const frame::ViewDecl &decl) noexcept {
    PyTypeObject *type = field_buffer_type();
    if (!type) return {};
    frame::Ref self = frame::Ref::steal(PyType_GenericAlloc(type, 0));
    if (!self) return {};
    auto *b = reinterpret_cast<FieldBuffer *>(self.get());
    new (&b->view) frame::BoundView(view);
    const frame::ElementType &element = *decl.type;
    b->itemsize = Py_ssize_t(element.size);
    b->format = element.kind == frame::Kind::unsigned_integer ? "B" : (sizeof(long) == element.size ? "l" : "q");
    b->ndim = decl.ndim;
    for (int axis = 0; axis < 2; ++axis) {
        b->shape[axis] = axis < b->ndim ? view.extent(axis) : 0;
        b->strides[axis] = axis < b->ndim ? view.stride(axis) : 0;
    }
    return self;
}

}  // namespace norvale::array_glue
