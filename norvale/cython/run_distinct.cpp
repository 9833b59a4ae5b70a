// norvale.cython.run_distinct: the distinct rows of an array whose equal rows stand together.
//
// Rows are compared as raw bytes in one pass over sorted neighbours; a second pass over the
// run flags places one position and the count of every run. Neither pass sorts or hashes.
#include <cstddef>
#include <cstdint>

#include "array_glue/kernel_calls.hpp"
#include "array_glue/numpy_results.hpp"
#include "array_glue/permutations.hpp"
#include "array_glue/rows.hpp"
#include "frame/frame.hpp"
#include "kernels/permutation_check.hpp"
#include "kernels/runs.hpp"

using namespace norvale;
using namespace norvale::frame::common;
namespace glue = norvale::array_glue;

namespace {

constexpr char no_mode[] = "Input must either be presorted, or an order must be provided";
constexpr char object_rows[] = "array holds object references, whose rows cannot be compared as bytes";

frame::Name name_array{"array"};
frame::Name name_return_index{"return_index"};
frame::Name name_return_inverse{"return_inverse"};
frame::Name name_return_counts{"return_counts"};
frame::Name name_order{"order"};
frame::Name name_presorted{"presorted"};

frame::Name name_empty{"empty"};
frame::Name name_intp{"intp"};
frame::Name name_zeros{"zeros"};
frame::Name name_dtype{"dtype"};
frame::Name name_hasobject{"hasobject"};

frame::Builtin builtin_bool{"bool"};

// Made once at exec and shared by every call.
PyObject *defaults = nullptr;  // (False, False, False, None, False)

// Idempotent: an import retried after a failed exec keeps what the first attempt made.
int make_constants() {
    if (glue::make_row_constants() < 0) return -1;
    if (!defaults) defaults = PyTuple_Pack(5, Py_False, Py_False, Py_False, Py_None, Py_False);
    return defaults ? 0 : -1;
}

using FlagView = View<elem::uint8>;
using IntpView = View<elem::intp>;
using OrderView = View<elem::intp, 1, frame::Access::writable, frame::Contiguity::c_contiguous>;

// Rows holding object references cannot be compared as bytes (two equal strings are two
// different pointers). NumPy arrays tell by their dtype, other array-likes by dtype.hasobject.
int refuse_object_rows(PyObject *array) {
    int holds_objects = 0;
    if (PyArray_Check(array)) {
        holds_objects = PyDataType_REFCHK(PyArray_DESCR(reinterpret_cast<PyArrayObject *>(array)));
    } else {
        Ref dtype = Ref::steal(PyObject_GetAttr(array, name_dtype.object()));
        Ref flag = dtype ? Ref::steal(PyObject_GetAttr(dtype.get(), name_hasobject.object())) : Ref();
        if (!flag) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
            PyErr_Clear();
            return 0;
        }
        if ((holds_objects = PyObject_IsTrue(flag.get())) < 0) return -1;
    }
    if (!holds_objects) return 0;
    PyErr_SetString(PyExc_TypeError, object_rows);
    return -1;
}

// A result of n or num_unique intp entries, as np.<function>(count, np.intp) makes it.
Result intp_result(const frame::Name &function, Py_ssize_t count, IntpView &view, const char *name) {
    Ref made = glue::call_numpy(function, count, glue::numpy_dtype(name_intp));
    if (!made) return fail();
    if (view.bind(made.get()) < 0 || glue::check_entries(view, count, name, true) < 0) return fail();
    return made;
}

// The neighbour pass in the variant that `order` and `inverse` ask for.
kernels::Status neighbour_pass(const glue::RowBytes &rows, const kernels::intp_entry *order, std::uint8_t *diff,
                               kernels::intp_entry *inverse, std::intptr_t &last_run) {
    const kernels::Rows kernel_rows{rows.first, rows.stride};
    const std::intptr_t n = rows.length;
    return kernels::with_row_class(rows.itemsize, [&](auto row) {
        if (order)
            return inverse ? kernels::mark_runs<true, true>(row, kernel_rows, n, order, diff, inverse, last_run)
                           : kernels::mark_runs<true, false>(row, kernel_rows, n, order, diff, inverse, last_run);
        return inverse ? kernels::mark_runs<false, true>(row, kernel_rows, n, order, diff, inverse, last_run)
                       : kernels::mark_runs<false, false>(row, kernel_rows, n, order, diff, inverse, last_run);
    });
}

// The arrays of one call, in the order they are made; absent views cover results not asked for.
struct Runs {
    glue::RowBytes rows;
    Ref diff_ndarray, inverse_ndarray, index_ndarray, counts_ndarray;
    FlagView diff;
    OrderView order_view;
    IntpView inverse, index, counts;
    const kernels::intp_entry *order = nullptr;  // null without an order: row k is sorted position k

    glue::NamedSpan rows_span() const noexcept { return {rows.span(), "the rows of array"}; }
};

// The flags, the order and the inverse, then the neighbour pass: returns the number of runs.
Result find_runs(Runs &call, PyObject *order_arg, PyObject *return_inverse, Py_ssize_t &num_unique) {
    const Py_ssize_t n = call.rows.length;
    call.diff_ndarray = glue::call_numpy(name_empty, n, glue::given_dtype(builtin_bool.object()));
    if (!call.diff_ndarray) return fail();
    if (call.diff.bind(call.diff_ndarray.get()) < 0 || glue::check_entries(call.diff, n, "diff_ndarray", true) < 0)
        return fail();
    if (call.order_view.bind(order_arg) < 0) return fail();
    if (!call.order_view.absent()) {
        if (glue::check_one_entry_per_row("order", call.order_view.size(), n) < 0) return fail();
        call.order = glue::entries(call.order_view);
    }
    const int want_inverse = PyObject_IsTrue(return_inverse);
    if (want_inverse < 0) return fail();
    if (want_inverse) {
        Result made = intp_result(name_empty, n, call.inverse, "inverse_ndarray");
        if (!made.ok()) return made;
        call.inverse_ndarray = Ref::steal(made.release());
    }

    // The inverse's np.empty (and the flag's truth test) were the last Python code before the
    // neighbour pass: the checks it relies on stand here, and the permutation check of `order`
    // runs in the same block without the lock. The pass still bounds every entry of `order` it
    // reads, as another thread may write it.
    const glue::NamedSpan order{call.order_view.byte_span(), "order"}, diff{call.diff.byte_span(), "diff_ndarray"};
    if (glue::refuse_overlaps(diff.first, diff.second, {call.rows_span(), order}) < 0 ||
        glue::refuse_overlaps(call.inverse.byte_span(), "inverse_ndarray", {call.rows_span(), order, diff}) < 0)
        return fail();
    std::intptr_t bad = kernels::permutation_ok, last_run = 0;
    kernels::Status marked = kernels::Status::ok;
    {
        frame::GilRelease unlocked;
        if (call.order) bad = kernels::check_with_byte_marks(call.order, n, call.diff.data());
        if (bad == kernels::permutation_ok)
            marked = neighbour_pass(call.rows, call.order, call.diff.data(),
                                    want_inverse ? glue::entries(call.inverse) : nullptr, last_run);
    }
    if (bad != kernels::permutation_ok) return glue::refuse_permutation("order", bad, call.order[bad], n), fail();
    if (glue::raise_for(marked, "order") < 0) return fail();
    num_unique = n > 0 ? Py_ssize_t(last_run) + 1 : 0;  // no rows, no runs
    return Ref::borrow(Py_None);
}

// One position per run and, if asked for, the count of every run: the run pass.
Result place_all_runs(Runs &call, PyObject *return_counts, Py_ssize_t num_unique) {
    Result index_made = intp_result(name_empty, num_unique, call.index, "index_ndarray");
    if (!index_made.ok()) return index_made;
    call.index_ndarray = Ref::steal(index_made.release());
    const int want_counts = PyObject_IsTrue(return_counts);
    if (want_counts < 0) return fail();
    if (want_counts) {
        Result made = intp_result(name_zeros, num_unique, call.counts, "counts_ndarray");
        if (!made.ok()) return made;
        call.counts_ndarray = Ref::steal(made.release());
    }

    // np.zeros was the last Python code before the run pass, which writes index and counts. It
    // reads the flags and `order` again (Python code may have changed them since the neighbour
    // pass) and writes no more runs than the arrays were made for.
    const glue::NamedSpan order{call.order_view.byte_span(), "order"}, diff{call.diff.byte_span(), "diff_ndarray"},
        inverse{call.inverse.byte_span(), "inverse_ndarray"}, index{call.index.byte_span(), "index_ndarray"};
    if (glue::refuse_overlaps(index.first, index.second, {call.rows_span(), order, diff, inverse}) < 0 ||
        glue::refuse_overlaps(call.counts.byte_span(), "counts_ndarray", {call.rows_span(), order, diff, inverse, index}) < 0)
        return fail();
    const std::intptr_t n = call.rows.length;
    kernels::Status placed;
    {
        frame::GilRelease unlocked;
        kernels::intp_entry *counts = want_counts ? glue::entries(call.counts) : nullptr;
        placed = call.order ? kernels::place_runs<true>(call.diff.data(), n, call.order, glue::entries(call.index),
                                                        counts, num_unique)
                            : kernels::place_runs<false>(call.diff.data(), n, call.order, glue::entries(call.index),
                                                         counts, num_unique);
    }
    if (glue::raise_for(placed, call.order ? "order or diff_ndarray" : "diff_ndarray") < 0) return fail();
    return Ref::borrow(Py_None);
}

Result run_distinct_body(frame::FunctionObject &, PyObject *const *args) {
    PyObject *array = args[0], *return_index = args[1], *return_inverse = args[2], *return_counts = args[3],
             *order_arg = args[4], *presorted = args[5];
    if (order_arg == Py_None) {
        const int sorted = PyObject_IsTrue(presorted);
        if (sorted < 0) return fail();
        if (!sorted) return PyErr_SetString(PyExc_ValueError, no_mode), fail();
    }

    // The rows: single values or C-contiguous blocks, inside the memory of array.base.
    Runs call;
    if (glue::read_rows(array, glue::DtypeArgument::positional, call.rows) < 0) return fail();
    if (refuse_object_rows(array) < 0) return fail();
    Py_ssize_t num_unique;
    if (Result found = find_runs(call, order_arg, return_inverse, num_unique); !found.ok()) return found;
    if (Result placed = place_all_runs(call, return_counts, num_unique); !placed.ok()) return placed;

    // The distinct rows, then the arrays the flags ask for.
    Ref distinct = Ref::steal(PyObject_GetItem(array, call.index_ndarray.get()));
    if (!distinct) return fail();
    const int want_index = PyObject_IsTrue(return_index);
    if (want_index < 0) return fail();
    PyObject *members[4] = {distinct.get()};
    Py_ssize_t count = 1;
    if (want_index) members[count++] = call.index_ndarray.get();
    if (call.inverse_ndarray) members[count++] = call.inverse_ndarray.get();
    if (call.counts_ndarray) members[count++] = call.counts_ndarray.get();
    Ref ret = Ref::steal(PyTuple_New(count));
    if (!ret) return fail();
    for (Py_ssize_t i = 0; i < count; ++i) PyTuple_SET_ITEM(ret.get(), i, Py_NewRef(members[i]));
    return ret;
}

const frame::Name *const parameters[] = {&name_array,  &name_return_index, &name_return_inverse,
                                         &name_return_counts, &name_order, &name_presorted};
const char *const run_distinct_locals[] = {"base",           "data",         "length",        "stride",
                                           "itemsize",       "diff_ndarray", "diff",          "order_view",
                                           "inverse_ndarray", "inverse",     "unique_index",  "num_unique",
                                           "index_ndarray",  "index",        "counts_ndarray", "counts",
                                           "ret"};

constexpr frame::FunctionDef run_distinct_def = frame::function_def(
    "run_distinct",
    "run_distinct(array, return_index=False, return_inverse=False, return_counts=False, order=None, "
    "presorted=False)\n"
    "\n"
    "Optimised equivalent to numpy.unique(axis=0), for pre-sorted input.\n"
    "\n"
    ":param array: (ndarray) Array to search for unique elements, ndim=1 or more. The elements\n"
    "                        of axis 0 must be either single values or C-contiguous arrays.\n"
    ":param order: (ndarray, np.intp, ndim=1) Sort order of 'array'. If this is given, then\n"
    "                                         'array' itself does not need to be sorted.\n"
    ":param presorted: (bool) Whether 'array' is already sorted.\n"
    "\n"
    "The return_index, return_inverse and return_counts parameters behave the same as for\n"
    "numpy.unique.",
    frame::parameters<1>(parameters), frame::locals(run_distinct_locals), run_distinct_body);

int module_body(PyObject *globals) {
    if (frame::set_global(globals, "np", frame::import_module("numpy")) < 0) return -1;
    return frame::set_global(globals, "run_distinct", frame::make_function(run_distinct_def, globals, defaults));
}

}  // namespace

const frame::ModuleConfig frame::this_module = {
    .name = "run_distinct",
    .dotted = "norvale.cython.run_distinct",
    .source = "norvale/cython/run_distinct.cpp",
    .body = module_body,
    .constants = make_constants,
};

PyMODINIT_FUNC PyInit_run_distinct() { return PyModuleDef_Init(&frame::module_def); }
