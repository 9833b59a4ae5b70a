// The contract of norvale.cython.span_order with the native modules that bind to it: the layout
// of a byte_ranges_context, and the comparator it publishes in its __pyx_capi__ dict, with both
// halves of that exchange (span_order publishes, span_distinct imports).
#pragma once

#include "array_glue/byte_ranges.hpp"
#include "frame/ref.hpp"

namespace norvale::span_order {

// The instance layout of byte_ranges_context: the object header, then its four field views.
// Importers check the imported type's size against it.
struct ByteRangesContext {
    PyObject_HEAD
    array_glue::SrcView src;
    array_glue::TableView src_indices;
    array_glue::TableView starts;
    array_glue::TableView ends;
};

inline constexpr char module_name[] = "norvale.cython.span_order";
inline constexpr char context_type_name[] = "byte_ranges_context";

// int span_order(const void *i, const void *j, void *context): the order of range *i against
// range *j (intp indices) in a byte_ranges_context; call it with the interpreter lock held.
using Comparator = int (*)(const void *, const void *, void *);
inline constexpr char comparator_key[] = "span_order";
inline constexpr char comparator_signature[] = "int (void const *, void const *, void *)";

inline constexpr char not_exported[] = "%.200s does not export expected C %.8s %.200s";
inline constexpr char wrong_signature[] = "C %.8s %.200s.%.200s has wrong signature (expected %.500s, got %.500s)";
inline constexpr char capi_not_a_dict[] = "%.200s.__pyx_capi__ is not a dict";

// Publishes `comparator` under its key in the module's __pyx_capi__ dict, which it takes from the
// module dict or makes. 0 or -1.
inline int publish_comparator(PyObject *module_dict, Comparator comparator) noexcept {
    frame::Ref capi = frame::Ref::borrow(PyDict_GetItemString(module_dict, "__pyx_capi__"));
    if (!capi) {
        capi = frame::Ref::steal(PyDict_New());
        if (!capi || PyDict_SetItemString(module_dict, "__pyx_capi__", capi.get()) < 0) return -1;
    }
    frame::Ref capsule =
        frame::Ref::steal(PyCapsule_New(reinterpret_cast<void *>(comparator), comparator_signature, nullptr));
    if (!capsule) return -1;
    return PyDict_SetItemString(capi.get(), comparator_key, capsule.get());
}

// The comparator as span_order publishes it: the capsule under its key, with exactly its
// signature as the capsule's name. ImportError or TypeError otherwise.
inline Comparator import_comparator() noexcept {
    frame::Ref module = frame::Ref::steal(PyImport_ImportModule(module_name));
    if (!module) return nullptr;
    frame::Ref capi = frame::Ref::steal(PyObject_GetAttrString(module.get(), "__pyx_capi__"));
    if (!capi) return nullptr;
    if (!PyDict_Check(capi.get())) {
        PyErr_Format(PyExc_TypeError, capi_not_a_dict, module_name);
        return nullptr;
    }
    PyObject *capsule = PyDict_GetItemString(capi.get(), comparator_key);
    if (!capsule) {
        PyErr_Format(PyExc_ImportError, not_exported, module_name, "function", comparator_key);
        return nullptr;
    }
    if (!PyCapsule_IsValid(capsule, comparator_signature)) {
        const char *got = PyCapsule_CheckExact(capsule) ? PyCapsule_GetName(capsule) : Py_TYPE(capsule)->tp_name;
        PyErr_Format(PyExc_TypeError, wrong_signature, "function", module_name, comparator_key, comparator_signature,
                     got ? got : "NULL");
        return nullptr;
    }
    return reinterpret_cast<Comparator>(PyCapsule_GetPointer(capsule, comparator_signature));
}

}  // namespace norvale::span_order
