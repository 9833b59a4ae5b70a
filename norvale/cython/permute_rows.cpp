// norvale.cython.permute_rows: reorder the rows of an array in place, with one row of scratch.
//
// The order array itself holds all bookkeeping: the marks of the permutation check, then rows
// of up to 8 bytes on their way (gathered into it and given back), or, for wider rows, which
// positions the cycle walk has settled; so nothing grows with the number of rows.
#include <cstddef>
#include <cstdint>

#include "frame/frame.hpp"
#include "kernels/rows.hpp"

namespace frame = norvale::frame;
namespace kernels = norvale::kernels;
using frame::Ref;
using frame::View;
namespace elem = frame::elem;

namespace {

frame::Name name_array{"array"};
frame::Name name_indices{"indices"};

frame::Name name_np{"np"};
frame::Name name_uint8{"uint8"};
frame::Name name_empty{"empty"};

// ---- permute_rows ---------------------------------------------------------------------------

using IndicesView = View<elem::intp, 1, frame::Access::writable, frame::Contiguity::c_contiguous>;
using ScratchView = View<elem::uint8>;

// The entries of `indices`, at whatever byte address its buffer puts them.
kernels::intp_entry *entries(const IndicesView &view) {
    return reinterpret_cast<kernels::intp_entry *>(view.bytes());
}

// The cycle pass never reads indices through the rows it moves: refuse indices stored in them.
int check_no_shared_memory(const frame::RowBytes &rows, const IndicesView &indices) {
    if (rows.length == 0 || rows.itemsize == 0) return 0;
    const std::uintptr_t rows_begin = reinterpret_cast<std::uintptr_t>(rows.first);
    const std::uintptr_t rows_end = rows_begin + std::size_t(rows.length - 1) * rows.stride + rows.itemsize;
    const std::uintptr_t indices_begin = reinterpret_cast<std::uintptr_t>(indices.bytes());
    const std::uintptr_t indices_end = indices_begin + std::size_t(indices.size()) * sizeof(std::intptr_t);
    if (indices_end <= rows_begin || rows_end <= indices_begin) return 0;
    PyErr_SetString(PyExc_ValueError, "indices must not share memory with the rows of array");
    return -1;
}

// The cycle pass for the row size of `rows`: several chains at once for rows of up to 128
// bytes, the one-chain walk through `tmp` for any other.
kernels::Status cycle_pass(const frame::RowBytes &rows, kernels::intp_entry *indices, char *tmp) {
    const kernels::Rows kernel_rows{rows.first, rows.stride};
    return kernels::with_row_class(rows.itemsize, [&](auto row) {
        if constexpr (decltype(row)::max_bytes <= 128)
            return kernels::follow_cycles_parallel(row, kernel_rows, indices, rows.length);
        else return kernels::follow_cycles_one_chain(row, kernel_rows, indices, rows.length, tmp);
    });
}

PyObject *permute_rows_body(frame::FunctionObject *, PyObject *const *args, int &line) {
    PyObject *array = args[0], *indices_arg = args[1];

    // Steps 1-3: rows are single values or C-contiguous blocks; the byte view over the whole
    // memory of base; the geometry, and the rows lie inside that view.
    frame::RowBytes rows;
    line = __LINE__;
    if (frame::read_rows(array, frame::DtypeArgument::keyword, rows) < 0) return nullptr;
    const Py_ssize_t n = rows.length;

    // Step 4: the order.
    IndicesView indices;
    line = __LINE__;
    if (indices.bind(indices_arg) < 0) return nullptr;
    line = __LINE__;
    if (frame::check_one_entry_per_row("indices", indices.size(), n) < 0 || check_no_shared_memory(rows, indices) < 0)
        return nullptr;

    // Step 5: the scratch row.
    line = __LINE__;
    Ref tmp_ndarray;
    {
        Ref empty = Ref::steal(frame::get_global_attr(name_np, name_empty));
        if (!empty) return nullptr;
        Ref size = Ref::steal(PyLong_FromSize_t(rows.itemsize));
        if (!size) return nullptr;
        Ref uint8 = Ref::steal(frame::get_global_attr(name_np, name_uint8));
        if (!uint8) return nullptr;
        PyObject *empty_args[] = {size.get(), uint8.get()};
        tmp_ndarray = Ref::steal(PyObject_Vectorcall(empty.get(), empty_args, 2, nullptr));
        if (!tmp_ndarray) return nullptr;
    }
    ScratchView tmp;
    line = __LINE__;
    if (tmp.bind(tmp_ndarray.get()) < 0) return nullptr;
    if (tmp.extent(0) != Py_ssize_t(rows.itemsize) || (rows.itemsize > 1 && tmp.stride(0) != 1)) {
        PyErr_Format(PyExc_ValueError, "np.empty(itemsize, np.uint8) is not a contiguous array of %zu bytes",
                     rows.itemsize);
        return nullptr;
    }
    line = __LINE__;
    if (frame::refuse_shared_memory(tmp.byte_span(), "tmp", indices.byte_span(), "indices") < 0 ||
        frame::refuse_shared_memory(tmp.byte_span(), "tmp", rows.span(), "the rows of array") < 0)
        return nullptr;

    // Step 6: np.empty was the last Python code: the permutation is checked in the same block
    // without the lock as the walk that relies on it, and the walk bounds every entry it reads,
    // since another thread may still write `indices`. Nothing moves unless it is a permutation.
    std::intptr_t bad;
    kernels::Status walked = kernels::Status::ok;
    {
        frame::GilRelease unlocked;
        bad = kernels::check_and_mark_indices(entries(indices), n);
        if (bad == kernels::permutation_ok) walked = cycle_pass(rows, entries(indices), tmp.bytes());
    }
    line = __LINE__;
    if (bad != kernels::permutation_ok)
        return frame::refuse_permutation("indices", bad, entries(indices)[bad], n), nullptr;
    if (walked != kernels::Status::ok) return frame::raise_changed_under_pass("indices"), nullptr;
    Py_RETURN_NONE;
}

const frame::Name *const parameters[] = {&name_array, &name_indices};
const char *const permute_rows_locals[] = {"base", "data", "length", "stride", "itemsize", "indices_view",
                                           "tmp",  "i",    "j",      "k"};

const frame::FunctionDef permute_rows_def = {
    "permute_rows",
    "permute_rows(array, indices)\n"
    "\n"
    "Reorder the first or only axis of 'array' into the order given by 'indices', without\n"
    "consuming additional input-sized memory. Both arrays are modified in the process: the\n"
    "indices cannot be reused afterwards!\n"
    "\n"
    ":param array: (ndarray) Array to be reordered, ndim=1 or more. The elements of axis 0\n"
    "                        must be either single values or C-contiguous arrays.\n"
    "\n"
    ":param indices: (ndarray, np.intp, ndim=1) Desired order. Must be C-contiguous.",
    {parameters, 2, 2},
    permute_rows_locals,
    Py_ssize_t(sizeof permute_rows_locals / sizeof *permute_rows_locals),
    permute_rows_body,
    __LINE__,
};

// import numpy as np, then the C-API binding, then the function.
int module_body(PyObject *globals) {
    if (frame::set_global(globals, "np", frame::import_module("numpy")) < 0) return -1;
    if (frame::bind_numpy_in_body() < 0) return -1;
    return frame::set_global(globals, "permute_rows", frame::make_function(permute_rows_def, globals, nullptr));
}

}  // namespace

const frame::ModuleConfig frame::this_module = {
    .name = "permute_rows",
    .dotted = "norvale.cython.permute_rows",
    .doc = nullptr,
    .source = "norvale/cython/permute_rows.cpp",
    .numpy = frame::NumpyBinding::in_body,
    .broadcast = frame::BroadcastLayout::dimensions_only,
    .constants = frame::make_row_constants,
    .body = module_body,
};

PyMODINIT_FUNC PyInit_permute_rows() { return PyModuleDef_Init(&frame::module_def); }
