// Test-only entry to kernels that have a processor-specific variant, so that the tests can hold
// each variant against the others on the machine they run on.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

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

PyMethodDef methods[] = {
    {"check_permutation", check_permutation, METH_VARARGS,
     "check_permutation(indices, portable) -> first bad position or -1"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = {PyModuleDef_HEAD_INIT, "norvale_test_kernels", nullptr, -1, methods};

}  // namespace

PyMODINIT_FUNC PyInit_norvale_test_kernels() { return PyModule_Create(&module); }
