// norvale.cython.permute_rows: reorder the rows of an array in place, with one row of scratch.
//
// The order array itself holds all bookkeeping: the marks of the permutation check, then rows
// of up to 8 bytes on their way (gathered into it and given back), or, for wider rows, which
// positions the cycle walk has settled; so nothing grows with the number of rows.
#include <cstddef>
#include <cstdint>

#include "array_glue/kernel_calls.hpp"
#include "array_glue/numpy_results.hpp"
#include "array_glue/permutations.hpp"
#include "array_glue/rows.hpp"
#include "frame/frame.hpp"
#include "kernels/permutation_check.hpp"
#include "kernels/reorder.hpp"

using namespace norvale;
using namespace norvale::frame::common;
namespace glue = norvale::array_glue;

namespace {

frame::Name name_array{"array"};
frame::Name name_indices{"indices"};
frame::Name name_empty{"empty"};
frame::Name name_uint8{"uint8"};

using IndicesView = View<elem::intp, 1, frame::Access::writable, frame::Contiguity::c_contiguous>;
using ScratchView = View<elem::uint8>;

// The walk for the row size of `rows`: several chains at once for rows of up to 128 bytes, the
// one-chain walk through `tmp` for any other.
kernels::Status walk_cycles(const glue::RowBytes &rows, kernels::intp_entry *indices, char *tmp) {
    const kernels::Rows kernel_rows{rows.first, rows.stride};
    return kernels::with_row_class(rows.itemsize, [&](auto row) {
        if constexpr (decltype(row)::max_bytes <= 128)
            return kernels::follow_cycles_parallel(row, kernel_rows, indices, rows.length);
        else
            return kernels::follow_cycles_one_chain(row, kernel_rows, indices, rows.length, tmp);
    });
}

Result permute_rows_body(frame::FunctionObject &, PyObject *const *args) {
    PyObject *array = args[0], *indices_arg = args[1];

    glue::RowBytes rows;
    if (glue::read_rows(array, glue::DtypeArgument::keyword, rows) < 0) return fail();
    const Py_ssize_t n = rows.length;

    IndicesView indices;
    if (indices.bind(indices_arg) < 0) return fail();
    // The walks never read indices through the rows they move.
    if (glue::check_one_entry_per_row("indices", indices.size(), n) < 0 ||
        frame::refuse_shared_memory(indices.byte_span(), "indices", rows.span(), "the rows of array") < 0)
        return fail();

    Ref tmp_ndarray = glue::call_numpy(name_empty, Py_ssize_t(rows.itemsize), glue::numpy_dtype(name_uint8));
    if (!tmp_ndarray) return fail();
    ScratchView tmp;
    if (tmp.bind(tmp_ndarray.get()) < 0) return fail();
    if (glue::check_entries(tmp, Py_ssize_t(rows.itemsize), "tmp", true) < 0 ||
        glue::refuse_overlaps(tmp.byte_span(), "tmp", {glue::named(indices, "indices"), {rows.span(), "the rows of array"}}) < 0)
        return fail();

    // np.empty was the last Python code: the permutation is checked in the same block without
    // the lock as the walk that relies on it, and the walk bounds every entry it reads, since
    // another thread may still write `indices`. Nothing moves unless it is a permutation.
    std::intptr_t bad;
    kernels::Status walked = kernels::Status::ok;
    {
        frame::GilRelease unlocked;
        bad = kernels::check_with_packed_marks(glue::entries(indices), n);
        if (bad == kernels::permutation_ok) walked = walk_cycles(rows, glue::entries(indices), tmp.bytes());
    }
    if (bad != kernels::permutation_ok)
        return glue::refuse_permutation("indices", bad, glue::entries(indices)[bad], n), fail();
    if (glue::raise_for(walked, "indices") < 0) return fail();
    return Ref::borrow(Py_None);
}

const frame::Name *const parameters[] = {&name_array, &name_indices};
const char *const permute_rows_locals[] = {"base", "data", "length", "stride", "itemsize", "indices_view",
                                           "tmp",  "i",    "j",      "k"};

constexpr frame::FunctionDef permute_rows_def = frame::function_def(
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
    frame::parameters<2>(parameters), frame::locals(permute_rows_locals), permute_rows_body);

// import numpy as np, then the C-API binding, then the function.
int module_body(PyObject *globals) {
    if (frame::set_global(globals, "np", frame::import_module("numpy")) < 0) return -1;
    if (frame::bind_numpy_in_body() < 0) return -1;
    return frame::set_global(globals, "permute_rows", frame::make_function(permute_rows_def, globals));
}

}  // namespace

const frame::ModuleConfig frame::this_module = {
    .name = "permute_rows",
    .dotted = "norvale.cython.permute_rows",
    .source = "norvale/cython/permute_rows.cpp",
    .body = module_body,
    .numpy = frame::NumpyBinding::in_body,
    .constants = glue::make_row_constants,
};

PyMODINIT_FUNC PyInit_permute_rows() { return PyModuleDef_Init(&frame::module_def); }
