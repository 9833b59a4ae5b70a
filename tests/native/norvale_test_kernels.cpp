// Test-only entry to kernels that have a processor-specific variant, so that the tests can hold
// each variant against the others on the machine they run on.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#include "kernels/membership.hpp"
#include "kernels/permutation_check.hpp"

namespace {

namespace kernels = norvale::kernels;

// check_permutation(indices, portable) -> first bad position or -1. `indices` is a writable
// buffer of intp items; the check leaves it as it was.
PyObject *check_permutation(PyObject *, PyObject *args) {
    Py_buffer view;
    int portable;
    if (!PyArg_ParseTuple(args, "w*p", &view, &portable)) return nullptr;
    if (view.itemsize != sizeof(std::intptr_t) || view.len % view.itemsize != 0) {
        PyBuffer_Release(&view);
        PyErr_SetString(PyExc_ValueError, "indices must be a contiguous buffer of intp items");
        return nullptr;
    }
    auto *indices = static_cast<kernels::intp_entry *>(view.buf);
    const std::intptr_t n = view.len / view.itemsize;
    std::intptr_t bad;
    if (std::size_t(n) > std::size_t(1) << 32) bad = kernels::check_with_packed_marks(indices, n);
    else if (portable) bad = kernels::check_permutation_packed<32, true>(indices, n);
    else bad = kernels::check_permutation_packed<32, false>(indices, n);
    PyBuffer_Release(&view);
    return PyLong_FromSsize_t(bad);
}

// ---- Membership ----

// A buffer held for the length of a call.
struct HeldBuffer {
    Py_buffer view{};
    bool held = false;
    ~HeldBuffer() {
        if (held) PyBuffer_Release(&view);
    }
    // A one-dimensional buffer of `itemsize`-byte items, any strides.
    int acquire(PyObject *object, Py_ssize_t itemsize, const char *what) {
        if (PyObject_GetBuffer(object, &view, PyBUF_RECORDS_RO) < 0) return -1;
        held = true;
        if (view.ndim != 1 || view.itemsize != itemsize) {
            PyErr_Format(PyExc_ValueError, "%s must be one-dimensional with %zd-byte items", what, itemsize);
            return -1;
        }
        return 0;
    }
    template <typename T>
    kernels::Strided<T> strided() const {
        return {static_cast<const char *>(view.buf), view.strides[0], std::size_t(view.shape[0])};
    }
};

const char *layout_name(kernels::MemberLayout layout) {
    switch (layout) {
        case kernels::MemberLayout::empty: return "empty";
        case kernels::MemberLayout::bitmap: return "bitmap";
        case kernels::MemberLayout::cuckoo: return "cuckoo";
        case kernels::MemberLayout::flat: return "flat";
        case kernels::MemberLayout::flat_read_ahead: return "flat_read_ahead";
        case kernels::MemberLayout::flat_mapped: return "flat_mapped";
    }
    return "?";
}

PyObject *raise_status(kernels::Status status) {
    if (status == kernels::Status::out_of_memory) PyErr_SetString(PyExc_MemoryError, "out of memory");
    else PyErr_SetString(PyExc_RuntimeError, "input changed");
    return nullptr;
}

// The result lands in a byte buffer of (n - 1) * |out_stride| + 1 bytes filled with 0xAA; for a
// negative stride the kernel writes from its last byte backwards. The tests check the gaps.
template <typename T, typename Element, typename Test>
PyObject *run_mark_members(PyObject *elements_object, PyObject *test_object, kernels::Isa isa,
                           Py_ssize_t out_stride) {
    HeldBuffer elements, test;
    if (elements.acquire(elements_object, sizeof(Element), "elements") < 0 ||
        test.acquire(test_object, sizeof(Test), "test_elements") < 0)
        return nullptr;
    const Py_ssize_t n = elements.view.shape[0];
    const Py_ssize_t step = out_stride < 0 ? -out_stride : out_stride;
    std::vector<std::uint8_t> out(n ? std::size_t((n - 1) * step + 1) : 0, 0xAA);
    std::uint8_t *first = out.data() + (out_stride < 0 && n ? (n - 1) * step : 0);
    kernels::MemberLayout layout;
    kernels::Status status;
    {
        PyThreadState *saved = PyEval_SaveThread();
        status = kernels::mark_members<T>(elements.strided<Element>(), test.strided<Test>(), first, out_stride, isa,
                                          &layout);
        PyEval_RestoreThread(saved);
    }
    if (status != kernels::Status::ok) return raise_status(status);
    PyObject *written = PyBytes_FromStringAndSize(reinterpret_cast<const char *>(out.data()), Py_ssize_t(out.size()));
    if (!written) return nullptr;
    return Py_BuildValue("(Ns)", written, layout_name(layout));
}

using MarkMembers = PyObject *(*)(PyObject *, PyObject *, kernels::Isa, Py_ssize_t);

struct Kind {
    const char *name;
    MarkMembers run;
};

// Set element type, and the element types of both arguments (equal but for the last).
const Kind kinds[] = {
    {"int8", run_mark_members<std::int8_t, std::int8_t, std::int8_t>},
    {"uint8", run_mark_members<std::uint8_t, std::uint8_t, std::uint8_t>},
    {"int16", run_mark_members<std::int16_t, std::int16_t, std::int16_t>},
    {"uint16", run_mark_members<std::uint16_t, std::uint16_t, std::uint16_t>},
    {"int32", run_mark_members<std::int32_t, std::int32_t, std::int32_t>},
    {"uint32", run_mark_members<std::uint32_t, std::uint32_t, std::uint32_t>},
    {"int64", run_mark_members<std::int64_t, std::int64_t, std::int64_t>},
    {"uint64", run_mark_members<std::uint64_t, std::uint64_t, std::uint64_t>},
    {"float32", run_mark_members<float, float, float>},
    {"float64", run_mark_members<double, double, double>},
    {"int64_in_uint16", run_mark_members<std::int64_t, std::int64_t, std::uint16_t>},
};

int parse_isa(const char *name, kernels::Isa &isa) {
    const std::string_view text(name);
    if (text == "portable") isa = kernels::Isa::portable;
    else if (text == "avx2") isa = kernels::Isa::avx2;
    else if (text == "avx512") isa = kernels::Isa::avx512;
    else {
        PyErr_Format(PyExc_ValueError, "unknown variant %s", name);
        return -1;
    }
    if (!kernels::isa_available(isa)) {
        PyErr_Format(PyExc_ValueError, "this processor cannot run the %s variant", name);
        return -1;
    }
    return 0;
}

// mark_members(kind, elements, test_elements, isa, out_stride=1) -> (out bytes, layout name)
PyObject *mark_members(PyObject *, PyObject *args) {
    const char *kind_name, *isa_name;
    PyObject *elements, *test;
    Py_ssize_t out_stride = 1;
    if (!PyArg_ParseTuple(args, "sOOs|n", &kind_name, &elements, &test, &isa_name, &out_stride)) return nullptr;
    kernels::Isa isa;
    if (parse_isa(isa_name, isa) < 0) return nullptr;
    if (out_stride == 0) {
        PyErr_SetString(PyExc_ValueError, "out_stride must not be 0");
        return nullptr;
    }
    for (const Kind &kind : kinds)
        if (std::string_view(kind.name) == kind_name) return kind.run(elements, test, isa, out_stride);
    PyErr_Format(PyExc_ValueError, "unknown kind %s", kind_name);
    return nullptr;
}

// membership_variants() -> the variants this processor runs, by name
PyObject *membership_variants(PyObject *, PyObject *) {
    PyObject *names = PyList_New(0);
    if (!names) return nullptr;
    for (const auto &[isa, name] : {std::pair{kernels::Isa::portable, "portable"}, std::pair{kernels::Isa::avx2, "avx2"},
                                    std::pair{kernels::Isa::avx512, "avx512"}}) {
        if (!kernels::isa_available(isa)) continue;
        PyObject *text = PyUnicode_FromString(name);
        if (!text || PyList_Append(names, text) < 0) {
            Py_XDECREF(text);
            Py_DECREF(names);
            return nullptr;
        }
        Py_DECREF(text);
    }
    return names;
}

// bitmap_refill(before, after) -> status name: the range of int64 values `before`, then the bits
// of `after`, as if another thread had changed the test values between the two passes.
PyObject *bitmap_refill(PyObject *, PyObject *args) {
    PyObject *before_object, *after_object;
    if (!PyArg_ParseTuple(args, "OO", &before_object, &after_object)) return nullptr;
    HeldBuffer before, after;
    if (before.acquire(before_object, 8, "before") < 0 || after.acquire(after_object, 8, "after") < 0) return nullptr;
    kernels::RangeBitmap<std::int64_t> bitmap;
    if (!bitmap.fits(before.strided<std::int64_t>())) {
        PyErr_SetString(PyExc_ValueError, "before does not fit a bitmap");
        return nullptr;
    }
    switch (bitmap.fill(after.strided<std::int64_t>())) {
        case kernels::Status::ok: return PyUnicode_FromString("ok");
        case kernels::Status::out_of_memory: return PyUnicode_FromString("out_of_memory");
        case kernels::Status::input_changed: return PyUnicode_FromString("input_changed");
    }
    return nullptr;
}

// membership_thresholds() -> {name: count}: the hash multiplier (for keys made to collide); the
// elements from which 16-bit values are looked up in a byte table; for 4- and 8-byte keys, the
// most distinct keys a cuckoo table holds and the counts from which a flat table reads ahead and
// is mapped on its own.
PyObject *membership_thresholds(PyObject *, PyObject *) {
    using Flat64 = kernels::FlatSet<std::uint64_t>;
    using Flat32 = kernels::FlatSet<std::uint32_t>;
    // A flat table holds half as many keys as it has slots.
    const auto keys_filling = [](std::size_t bytes, std::size_t lanes) { return bytes / 64 * lanes / 2; };
    return Py_BuildValue("{s:K,s:n,s:n,s:n,s:n,s:n,s:n,s:n}", "hash_multiplier",
                         static_cast<unsigned long long>(kernels::key_hash_multiplier), "byte_table_elements",
                         Py_ssize_t(kernels::RangeBitmap<std::uint16_t>::byte_table_from), "cuckoo_keys_8", Py_ssize_t(kernels::CuckooSet<std::uint64_t>::max_keys),
                         "cuckoo_keys_4", Py_ssize_t(kernels::CuckooSet<std::uint32_t>::max_keys), "read_ahead_keys_8",
                         Py_ssize_t(keys_filling(Flat64::prefetch_from, Flat64::lanes)), "read_ahead_keys_4",
                         Py_ssize_t(keys_filling(Flat32::prefetch_from, Flat32::lanes)), "mapped_keys_8",
                         Py_ssize_t(keys_filling(kernels::TableMemory::mapped_from, Flat64::lanes)), "mapped_keys_4",
                         Py_ssize_t(keys_filling(kernels::TableMemory::mapped_from, Flat32::lanes)));
}

PyMethodDef methods[] = {
    {"membership_thresholds", membership_thresholds, METH_NOARGS, "membership_thresholds() -> {name: key count}"},
    {"mark_members", mark_members, METH_VARARGS,
     "mark_members(kind, elements, test_elements, isa, out_stride=1) -> (out bytes, layout name)"},
    {"membership_variants", membership_variants, METH_NOARGS, "membership_variants() -> variant names"},
    {"bitmap_refill", bitmap_refill, METH_VARARGS, "bitmap_refill(before, after) -> status name"},
    {"check_permutation", check_permutation, METH_VARARGS,
     "check_permutation(indices, portable) -> first bad position or -1"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = {PyModuleDef_HEAD_INIT, "norvale_test_kernels", nullptr, -1, methods, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_norvale_test_kernels() { return PyModule_Create(&module); }
