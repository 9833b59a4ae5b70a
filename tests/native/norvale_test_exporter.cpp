// Test-only buffer exporter. It serves its own memory under whatever buffer fields the test
// chooses (format string or none, item size, shape, strides, suboffsets, read-only), whatever
// the consumer asked for, so the view binding meets buffers that NumPy never produces. It refuses
// only writable requests on a read-only export, and counts requests and releases.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <structmember.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace {

struct Layout {
    std::string format;
    bool has_format = false;
    std::vector<Py_ssize_t> shape, strides, suboffsets;
    bool has_shape = false, has_strides = false, has_suboffsets = false;
};

struct Exporter {
    PyObject_HEAD
    Layout *layout;
    char *memory;  // malloc'ed, so that an instrumented build sees reads past its end
    Py_ssize_t length;
    Py_ssize_t offset;
    Py_ssize_t itemsize;
    int ndim;
    int readonly;
    Py_ssize_t exports;   // outstanding buffers
    Py_ssize_t requests;  // every successful request
    int last_flags;
};

// None leaves `present` false; otherwise a sequence of integers.
int read_sizes(PyObject *object, const char *what, std::vector<Py_ssize_t> &out, bool &present) {
    if (object == Py_None) return 0;
    PyObject *items = PySequence_Fast(object, what);
    if (!items) return -1;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(items);
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_ssize_t value = PyLong_AsSsize_t(PySequence_Fast_GET_ITEM(items, i));
        if (value == -1 && PyErr_Occurred()) {
            Py_DECREF(items);
            return -1;
        }
        out.push_back(value);
    }
    Py_DECREF(items);
    present = true;
    return 0;
}

PyObject *exporter_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    static const char *keywords[] = {"data", "format", "shape", "strides", "suboffsets",
                                     "itemsize", "readonly", "offset", "ndim", nullptr};
    PyObject *data, *format = Py_None, *shape = Py_None, *strides = Py_None, *suboffsets = Py_None;
    Py_ssize_t itemsize = 1, offset = 0;
    int readonly = 0, ndim = -1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OOOOnpni:Exporter", const_cast<char **>(keywords), &data,
                                     &format, &shape, &strides, &suboffsets, &itemsize, &readonly, &offset, &ndim))
        return nullptr;

    auto *layout = new (std::nothrow) Layout;
    if (!layout) return PyErr_NoMemory();
    if (format != Py_None) {
        Py_ssize_t size;
        const char *text = PyUnicode_AsUTF8AndSize(format, &size);
        if (!text) {
            delete layout;
            return nullptr;
        }
        layout->format.assign(text, size);
        layout->has_format = true;
    }
    if (read_sizes(shape, "shape must be a sequence", layout->shape, layout->has_shape) < 0 ||
        read_sizes(strides, "strides must be a sequence", layout->strides, layout->has_strides) < 0 ||
        read_sizes(suboffsets, "suboffsets must be a sequence", layout->suboffsets, layout->has_suboffsets) < 0) {
        delete layout;
        return nullptr;
    }
    if (ndim < 0) ndim = layout->has_shape ? int(layout->shape.size()) : 1;

    Py_ssize_t length;
    Py_buffer source{};
    bool copy = false;
    if (PyLong_Check(data)) {
        length = PyLong_AsSsize_t(data);
        if (length < 0) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "data length must not be negative");
            delete layout;
            return nullptr;
        }
    } else {
        if (PyObject_GetBuffer(data, &source, PyBUF_SIMPLE) < 0) {
            delete layout;
            return nullptr;
        }
        length = source.len;
        copy = true;
    }
    if (offset < 0 || offset > length) {
        if (copy) PyBuffer_Release(&source);
        delete layout;
        PyErr_SetString(PyExc_ValueError, "offset must lie within the data");
        return nullptr;
    }
    char *memory = static_cast<char *>(std::calloc(length ? length : 1, 1));
    if (!memory) {
        if (copy) PyBuffer_Release(&source);
        delete layout;
        return PyErr_NoMemory();
    }
    if (copy) {
        std::memcpy(memory, source.buf, length);
        PyBuffer_Release(&source);
    }

    auto *self = reinterpret_cast<Exporter *>(type->tp_alloc(type, 0));
    if (!self) {
        std::free(memory);
        delete layout;
        return nullptr;
    }
    self->layout = layout;
    self->memory = memory;
    self->length = length;
    self->offset = offset;
    self->itemsize = itemsize;
    self->ndim = ndim;
    self->readonly = readonly;
    return reinterpret_cast<PyObject *>(self);
}

void exporter_dealloc(PyObject *object) {
    auto *self = reinterpret_cast<Exporter *>(object);
    std::free(self->memory);
    delete self->layout;
    PyTypeObject *type = Py_TYPE(object);
    type->tp_free(object);
    Py_DECREF(type);
}

int exporter_getbuffer(PyObject *object, Py_buffer *view, int flags) {
    auto *self = reinterpret_cast<Exporter *>(object);
    if ((flags & PyBUF_WRITABLE) == PyBUF_WRITABLE && self->readonly) {
        PyErr_SetString(PyExc_BufferError, "test exporter: buffer is read-only");
        view->obj = nullptr;
        return -1;
    }
    Layout &layout = *self->layout;
    view->obj = Py_NewRef(object);
    view->buf = self->memory + self->offset;
    view->readonly = self->readonly;
    view->itemsize = self->itemsize;
    view->ndim = self->ndim;
    view->format = layout.has_format ? const_cast<char *>(layout.format.c_str()) : nullptr;
    view->shape = layout.has_shape ? layout.shape.data() : nullptr;
    view->strides = layout.has_strides ? layout.strides.data() : nullptr;
    view->suboffsets = layout.has_suboffsets ? layout.suboffsets.data() : nullptr;
    view->internal = nullptr;
    Py_ssize_t len = self->length - self->offset;
    if (layout.has_shape) {
        len = self->itemsize;
        for (Py_ssize_t extent : layout.shape) len *= extent;
    }
    view->len = len;
    ++self->exports;
    ++self->requests;
    self->last_flags = flags;
    return 0;
}

void exporter_releasebuffer(PyObject *object, Py_buffer *) { --reinterpret_cast<Exporter *>(object)->exports; }

PyObject *exporter_tobytes(PyObject *object, PyObject *) {
    auto *self = reinterpret_cast<Exporter *>(object);
    return PyBytes_FromStringAndSize(self->memory, self->length);
}

PyMethodDef exporter_methods[] = {
    {"tobytes", exporter_tobytes, METH_NOARGS, "The whole memory, from its first byte (before the offset)."},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef exporter_members[] = {
    {"exports", T_PYSSIZET, offsetof(Exporter, exports), READONLY, "Buffers handed out and not yet released."},
    {"requests", T_PYSSIZET, offsetof(Exporter, requests), READONLY, "Buffers handed out in all."},
    {"last_flags", T_INT, offsetof(Exporter, last_flags), READONLY, "Flags of the last request served."},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot exporter_slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(exporter_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(exporter_dealloc)},
    {Py_tp_methods, exporter_methods},
    {Py_tp_members, exporter_members},
    {Py_tp_doc, const_cast<char *>(
                    "Exporter(data, format, shape=None, strides=None, suboffsets=None, itemsize=1, readonly=False, "
                    "offset=0, ndim=-1)\n\ndata is a length (zero-filled) or a bytes-like object to copy.")},
    {Py_bf_getbuffer, reinterpret_cast<void *>(exporter_getbuffer)},
    {Py_bf_releasebuffer, reinterpret_cast<void *>(exporter_releasebuffer)},
    {0, nullptr},
};

PyType_Spec exporter_spec = {"norvale_test_exporter.Exporter", sizeof(Exporter), 0, Py_TPFLAGS_DEFAULT,
                             exporter_slots};

int module_exec(PyObject *module) {
    PyObject *type = PyType_FromModuleAndSpec(module, &exporter_spec, nullptr);
    if (!type) return -1;
    const int added = PyModule_AddObjectRef(module, "Exporter", type);
    Py_DECREF(type);
    return added;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "norvale_test_exporter",
                          "Test-only buffer exporter with caller-chosen buffer fields.", 0, nullptr, module_slots,
                          nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_norvale_test_exporter() { return PyModuleDef_Init(&module_def); }
