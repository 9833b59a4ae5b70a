// norvale.cython.run_distinct: the distinct rows of an array whose equal rows stand together.
//
// Rows are compared as raw bytes in one pass over sorted neighbours; a second pass over the
// run flags places one position and the count of every run. Neither pass sorts or hashes.
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <utility>

#include "frame/frame.hpp"
#include "kernels/rows.hpp"

namespace frame = norvale::frame;
namespace kernels = norvale::kernels;
using frame::Ref;
using frame::View;
namespace elem = frame::elem;

namespace {

frame::Name name_array{"array"};
frame::Name name_return_index{"return_index"};
frame::Name name_return_inverse{"return_inverse"};
frame::Name name_return_counts{"return_counts"};
frame::Name name_order{"order"};
frame::Name name_presorted{"presorted"};

frame::Name name_np{"np"};
frame::Name name_empty{"empty"};
frame::Name name_intp{"intp"};
frame::Name name_zeros{"zeros"};

frame::Builtin builtin_bool{"bool"};

// Made once at exec and shared by every call.
PyObject *defaults = nullptr;  // (False, False, False, None, False)

// Idempotent: an import retried after a failed exec keeps what the first attempt made.
int make_constants() {
    if (frame::make_row_constants() < 0) return -1;
    if (!defaults) defaults = PyTuple_Pack(5, Py_False, Py_False, Py_False, Py_None, Py_False);
    return defaults ? 0 : -1;
}

// ---- NumPy allocations, looked up anew on every call -----------------------------------------

// np.<function>(count, dtype) with dtype = np.<dtype_name>, or the given dtype object.
PyObject *new_array(const frame::Name &function, Py_ssize_t count, PyObject *dtype) {
    Ref make = Ref::steal(frame::get_global_attr(name_np, function));
    if (!make) return nullptr;
    Ref size = Ref::steal(PyLong_FromSsize_t(count));
    if (!size) return nullptr;
    PyObject *args[] = {size.get(), dtype};
    return PyObject_Vectorcall(make.get(), args, 2, nullptr);
}

PyObject *new_intp_array(const frame::Name &function, Py_ssize_t count) {
    Ref make = Ref::steal(frame::get_global_attr(name_np, function));
    if (!make) return nullptr;
    Ref size = Ref::steal(PyLong_FromSsize_t(count));
    if (!size) return nullptr;
    Ref intp = Ref::steal(frame::get_global_attr(name_np, name_intp));
    if (!intp) return nullptr;
    PyObject *args[] = {size.get(), intp.get()};
    return PyObject_Vectorcall(make.get(), args, 2, nullptr);
}

// The passes write `count` adjacent entries: refuse anything else that np might have returned.
int check_fresh(const frame::BoundView &view, Py_ssize_t count, std::size_t item, const char *what) {
    if (view.extent(0) == count && (count <= 1 || view.stride(0) == Py_ssize_t(item))) return 0;
    PyErr_Format(PyExc_ValueError, "%s is not a contiguous array of %zd entries", what, count);
    return -1;
}

// ---- run_distinct ---------------------------------------------------------------------------

using FlagView = View<elem::uint8>;
using IntpView = View<elem::intp>;
using OrderView = View<elem::intp, 1, frame::Access::writable, frame::Contiguity::c_contiguous>;

// The entries of an intp view, at whatever byte address its buffer puts them.
kernels::intp_entry *entries(const frame::BoundView &view) {
    return reinterpret_cast<kernels::intp_entry *>(view.bytes());
}

// The neighbour pass in the variant that `order` and `inverse` ask for.
kernels::Status neighbour_pass(const frame::RowBytes &rows, const kernels::intp_entry *order, std::uint8_t *diff,
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

// A refusable object dtype: rows holding object references cannot be compared as bytes (two
// equal strings are two different pointers). Other array-likes say it through dtype.hasobject.
frame::Name name_dtype{"dtype"};
frame::Name name_hasobject{"hasobject"};

int refuse_object_rows(PyObject *array) {
    int holds_objects;
    if (PyArray_Check(array)) {
        holds_objects = PyDataType_REFCHK(PyArray_DESCR(reinterpret_cast<PyArrayObject *>(array)));
    } else {
        Ref dtype = Ref::steal(PyObject_GetAttr(array, name_dtype.object()));
        if (!dtype) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
            PyErr_Clear();
            return 0;
        }
        Ref flag = Ref::steal(PyObject_GetAttr(dtype.get(), name_hasobject.object()));
        if (!flag) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
            PyErr_Clear();
            return 0;
        }
        holds_objects = PyObject_IsTrue(flag.get());
        if (holds_objects < 0) return -1;
    }
    if (!holds_objects) return 0;
    PyErr_SetString(PyExc_TypeError,
                    "array holds object references, whose rows cannot be compared as bytes");
    return -1;
}

// Results of np.empty and np.zeros: none may overlap the rows, `order` or another result.
int refuse_overlaps(const frame::ByteSpan &result, const char *name, const frame::RowBytes &rows,
                    std::initializer_list<std::pair<const frame::BoundView *, const char *>> others) {
    if (frame::refuse_shared_memory(result, name, rows.span(), "the rows of array") < 0) return -1;
    for (const auto &[view, other] : others)
        if (frame::refuse_shared_memory(result, name, view->byte_span(), other) < 0) return -1;
    return 0;
}

PyObject *run_distinct_body(frame::FunctionObject *, PyObject *const *args, int &line) {
    PyObject *array = args[0], *return_index = args[1], *return_inverse = args[2], *return_counts = args[3],
             *order_arg = args[4], *presorted = args[5];

    // Step 1: mode.
    if (order_arg == Py_None) {
        line = __LINE__;
        const int sorted = PyObject_IsTrue(presorted);
        if (sorted < 0) return nullptr;
        if (!sorted) {
            PyErr_SetString(PyExc_ValueError, "Input must either be presorted, or an order must be provided");
            return nullptr;
        }
    }

    // Steps 2-4: rows are single values or C-contiguous blocks; the byte view over the whole
    // memory of base; the geometry, and the rows lie inside that view.
    frame::RowBytes rows;
    line = __LINE__;
    if (frame::read_rows(array, frame::DtypeArgument::positional, rows) < 0) return nullptr;
    const Py_ssize_t n = rows.length;
    line = __LINE__;
    if (refuse_object_rows(array) < 0) return nullptr;

    // Step 5: run flags.
    line = __LINE__;
    Ref diff_ndarray = Ref::steal(new_array(name_empty, n, builtin_bool.object()));
    if (!diff_ndarray) return nullptr;
    FlagView diff;
    line = __LINE__;
    if (diff.bind(diff_ndarray.get()) < 0 || check_fresh(diff, n, 1, "np.empty(length, bool)") < 0) return nullptr;

    // Step 6: the order and the inverse, then the check of the order and the neighbour pass.
    OrderView order_view;
    line = __LINE__;
    if (order_view.bind(order_arg) < 0) return nullptr;
    const bool with_order = !order_view.absent();
    line = __LINE__;
    if (with_order && frame::check_one_entry_per_row("order", order_view.size(), n) < 0) return nullptr;
    const kernels::intp_entry *order = with_order ? entries(order_view) : nullptr;

    line = __LINE__;
    const int want_inverse = PyObject_IsTrue(return_inverse);
    if (want_inverse < 0) return nullptr;
    Ref inverse_ndarray;
    IntpView inverse;
    if (want_inverse) {
        line = __LINE__;
        inverse_ndarray = Ref::steal(new_intp_array(name_empty, n));
        if (!inverse_ndarray) return nullptr;
        line = __LINE__;
        if (inverse.bind(inverse_ndarray.get()) < 0 ||
            check_fresh(inverse, n, sizeof(std::intptr_t), "np.empty(length, np.intp)") < 0)
            return nullptr;
    }
    // The inverse's np.empty (and the flag's truth test) were the last Python code before the
    // pass: the checks that the pass relies on stand here, and the permutation check of `order`
    // runs in the same block without the lock as the pass. The pass still bounds every entry of
    // `order` it reads, as another thread may write it.
    line = __LINE__;
    if (refuse_overlaps(diff.byte_span(), "diff_ndarray", rows, {{&order_view, "order"}}) < 0 ||
        (want_inverse && refuse_overlaps(inverse.byte_span(), "inverse_ndarray", rows,
                                         {{&order_view, "order"}, {&diff, "diff_ndarray"}}) < 0))
        return nullptr;
    std::intptr_t bad = kernels::permutation_ok, unique_index = 0;
    kernels::Status marked = kernels::Status::ok;
    {
        frame::GilRelease unlocked;
        if (with_order) bad = kernels::check_order(order, n, diff.data());
        if (bad == kernels::permutation_ok)
            marked = neighbour_pass(rows, order, diff.data(), want_inverse ? entries(inverse) : nullptr, unique_index);
    }
    line = __LINE__;
    if (bad != kernels::permutation_ok) return frame::refuse_permutation("order", bad, order[bad], n), nullptr;
    if (marked != kernels::Status::ok) return frame::raise_changed_under_pass("order"), nullptr;

    // Step 7. An array without rows has no runs.
    const Py_ssize_t num_unique = n > 0 ? Py_ssize_t(unique_index) + 1 : 0;

    // Step 8: one position per run.
    line = __LINE__;
    Ref index_ndarray = Ref::steal(new_intp_array(name_empty, num_unique));
    if (!index_ndarray) return nullptr;
    IntpView index;
    line = __LINE__;
    if (index.bind(index_ndarray.get()) < 0 ||
        check_fresh(index, num_unique, sizeof(std::intptr_t), "np.empty(num_unique, np.intp)") < 0)
        return nullptr;

    // Step 9: the run pass.
    line = __LINE__;
    const int want_counts = PyObject_IsTrue(return_counts);
    if (want_counts < 0) return nullptr;
    Ref counts_ndarray;
    IntpView counts;
    if (want_counts) {
        line = __LINE__;
        counts_ndarray = Ref::steal(new_intp_array(name_zeros, num_unique));
        if (!counts_ndarray) return nullptr;
        line = __LINE__;
        if (counts.bind(counts_ndarray.get()) < 0 ||
            check_fresh(counts, num_unique, sizeof(std::intptr_t), "np.zeros(num_unique, np.intp)") < 0)
            return nullptr;
    }
    // np.zeros was the last Python code before the run pass, which writes index and counts: it
    // reads the flags again (Python code may have changed them since the neighbour pass) and
    // writes no more runs than the arrays were made for.
    line = __LINE__;
    if (refuse_overlaps(index.byte_span(), "index_ndarray", rows,
                        {{&order_view, "order"}, {&diff, "diff_ndarray"}, {&inverse, "inverse_ndarray"}}) < 0 ||
        (want_counts && refuse_overlaps(counts.byte_span(), "counts_ndarray", rows,
                                        {{&order_view, "order"},
                                         {&diff, "diff_ndarray"},
                                         {&inverse, "inverse_ndarray"},
                                         {&index, "index_ndarray"}}) < 0))
        return nullptr;
    kernels::Status placed;
    {
        frame::GilRelease unlocked;
        kernels::intp_entry *count_data = want_counts ? entries(counts) : nullptr;
        placed = with_order ? kernels::place_runs<true>(diff.data(), n, order, entries(index), count_data, num_unique)
                            : kernels::place_runs<false>(diff.data(), n, order, entries(index), count_data, num_unique);
    }
    line = __LINE__;
    if (placed != kernels::Status::ok)
        return frame::raise_changed_under_pass(with_order ? "order or diff_ndarray" : "diff_ndarray"), nullptr;

    // Step 10: the result tuple.
    line = __LINE__;
    Ref distinct = Ref::steal(PyObject_GetItem(array, index_ndarray.get()));
    if (!distinct) return nullptr;
    line = __LINE__;
    const int want_index = PyObject_IsTrue(return_index);
    if (want_index < 0) return nullptr;
    PyObject *members[4] = {distinct.get()};
    Py_ssize_t count = 1;
    if (want_index) members[count++] = index_ndarray.get();
    if (want_inverse) members[count++] = inverse_ndarray.get();
    if (want_counts) members[count++] = counts_ndarray.get();
    line = __LINE__;
    PyObject *ret = PyTuple_New(count);
    if (!ret) return nullptr;
    for (Py_ssize_t i = 0; i < count; ++i) PyTuple_SET_ITEM(ret, i, Py_NewRef(members[i]));
    return ret;
}

const frame::Name *const parameters[] = {&name_array,  &name_return_index, &name_return_inverse,
                                         &name_return_counts, &name_order, &name_presorted};
const char *const run_distinct_locals[] = {"base",           "data",         "length",        "stride",
                                           "itemsize",       "diff_ndarray", "diff",          "order_view",
                                           "inverse_ndarray", "inverse",     "unique_index",  "num_unique",
                                           "index_ndarray",  "index",        "counts_ndarray", "counts",
                                           "ret"};

const frame::FunctionDef run_distinct_def = {
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
    {parameters, 6, 1},
    run_distinct_locals,
    Py_ssize_t(sizeof run_distinct_locals / sizeof *run_distinct_locals),
    run_distinct_body,
    __LINE__,
};

int module_body(PyObject *globals) {
    if (frame::set_global(globals, "np", frame::import_module("numpy")) < 0) return -1;
    return frame::set_global(globals, "run_distinct", frame::make_function(run_distinct_def, globals, defaults));
}

}  // namespace

const frame::ModuleConfig frame::this_module = {
    .name = "run_distinct",
    .dotted = "norvale.cython.run_distinct",
    .doc = nullptr,
    .source = "norvale/cython/run_distinct.cpp",
    .numpy = frame::NumpyBinding::at_exec,
    .broadcast = frame::BroadcastLayout::dimensions_only,
    .constants = make_constants,
    .body = module_body,
};

PyMODINIT_FUNC PyInit_run_distinct() { return PyModuleDef_Init(&frame::module_def); }
