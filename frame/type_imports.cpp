#include "frame/type_imports.hpp"

#include <cstddef>
#include <numpy/ufuncobject.h>

#include "frame/messages.hpp"
#include "frame/ref.hpp"

namespace norvale::frame {

namespace {

constexpr Py_ssize_t object_size = sizeof(PyObject);
constexpr Py_ssize_t object_alignment = alignof(PyObject);

// numpy.broadcast: the dimensions block alone, or with the iterator table after it.
constexpr Py_ssize_t broadcast_dimensions_size = offsetof(PyArrayMultiIterObject, iters);

PyTypeObject *ndarray_type = nullptr;

}  // namespace

PyTypeObject *import_checked_type(const ExpectedType &expected) noexcept {
    Ref module = Ref::steal(PyImport_ImportModule(expected.module));
    if (!module) return nullptr;
    Ref object = Ref::steal(PyObject_GetAttrString(module.get(), expected.name));
    if (!object) return nullptr;
    if (!PyType_Check(object.get())) {
        PyErr_Format(PyExc_TypeError, message::not_a_type, expected.module, expected.name);
        return nullptr;
    }
    auto *type = reinterpret_cast<PyTypeObject *>(object.get());
    Py_ssize_t basic = type->tp_basicsize;
    Py_ssize_t item = type->tp_itemsize;
    if (item && item < expected.alignment) item = expected.alignment;
    if (basic + item < expected.size) {
        PyErr_Format(PyExc_ValueError, message::size_changed, expected.module, expected.name, expected.size,
                     basic + item);
        return nullptr;
    }
    if (expected.larger == Larger::warn && basic > expected.size) {
        char text[200];
        PyOS_snprintf(text, sizeof text, message::size_changed, expected.module, expected.name, expected.size, basic);
        if (PyErr_WarnEx(PyExc_RuntimeWarning, text, 0) < 0) return nullptr;
    }
    return reinterpret_cast<PyTypeObject *>(object.release());
}

int import_numpy_types(BroadcastLayout broadcast) noexcept {
    const Py_ssize_t broadcast_size = broadcast == BroadcastLayout::with_iterators
                                          ? Py_ssize_t(sizeof(PyArrayMultiIterObject))
                                          : broadcast_dimensions_size;
    const ExpectedType table[] = {
        {"builtins", "type", sizeof(PyHeapTypeObject), alignof(PyHeapTypeObject), Larger::warn},
        {"numpy", "dtype", sizeof(PyArray_Descr), alignof(PyArray_Descr), Larger::accept},
        {"numpy", "flatiter", sizeof(PyArrayIterObject), alignof(PyArrayIterObject), Larger::accept},
        {"numpy", "broadcast", broadcast_size, alignof(PyArrayMultiIterObject), Larger::accept},
        {"numpy", "ndarray", object_size, object_alignment, Larger::accept},
        {"numpy", "generic", object_size, object_alignment, Larger::warn},
        {"numpy", "number", object_size, object_alignment, Larger::warn},
        {"numpy", "integer", object_size, object_alignment, Larger::warn},
        {"numpy", "signedinteger", object_size, object_alignment, Larger::warn},
        {"numpy", "unsignedinteger", object_size, object_alignment, Larger::warn},
        {"numpy", "inexact", object_size, object_alignment, Larger::warn},
        {"numpy", "floating", object_size, object_alignment, Larger::warn},
        {"numpy", "complexfloating", object_size, object_alignment, Larger::warn},
        {"numpy", "flexible", object_size, object_alignment, Larger::warn},
        {"numpy", "character", object_size, object_alignment, Larger::warn},
        {"numpy", "ufunc", sizeof(PyUFuncObject), alignof(PyUFuncObject), Larger::accept},
    };
    // Kept for the life of the process, as the module's other state.
    static PyObject *kept[sizeof table / sizeof table[0]] = {};
    for (std::size_t i = 0; i < sizeof table / sizeof table[0]; ++i) {
        if (kept[i]) continue;
        kept[i] = reinterpret_cast<PyObject *>(import_checked_type(table[i]));
        if (!kept[i]) return -1;
        if (i == 4) ndarray_type = reinterpret_cast<PyTypeObject *>(kept[i]);
    }
    return 0;
}

PyTypeObject *numpy_ndarray_type() noexcept { return ndarray_type; }

}  // namespace norvale::frame
