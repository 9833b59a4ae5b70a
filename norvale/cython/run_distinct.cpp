// norvale.cython.run_distinct: the distinct rows of an array whose equal rows stand together.
//
// Rows are compared as raw bytes in one pass over sorted neighbours; a second pass over the
// run flags places one position and the count of every run. Neither pass sorts or hashes.
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
frame::Name name_return_index{"return_index"};
frame::Name name_return_inverse{"return_inverse"};
frame::Name name_return_counts{"return_counts"};
frame::Name name_order{"order"};
frame::Name name_presorted{"presorted"};

frame::Name name_np{"np"};
frame::Name name_frombuffer{"frombuffer"};
frame::Name name_uint8{"uint8"};
frame::Name name_prod{"prod"};
frame::Name name_empty{"empty"};
frame::Name name_intp{"intp"};
frame::Name name_zeros{"zeros"};

frame::Name name_ndim{"ndim"};
frame::Name name_shape{"shape"};
frame::Name name_strides{"strides"};
frame::Name name_itemsize{"itemsize"};
frame::Name name_base{"base"};
frame::Name name_flags{"flags"};
frame::Name name_c_contiguous{"c_contiguous"};

frame::Builtin builtin_bool{"bool"};

// Made once at exec and shared by every call.
PyObject *zero = nullptr;
PyObject *one = nullptr;
PyObject *trailing_axes = nullptr;  // slice(1, None): shape[1:]
PyObject *defaults = nullptr;       // (False, False, False, None, False)

// Idempotent: an import retried after a failed exec keeps what the first attempt made.
int make_constants() {
    if (!zero) zero = PyLong_FromLong(0);
    if (!one) one = PyLong_FromLong(1);
    if (!trailing_axes && one) trailing_axes = PySlice_New(one, Py_None, nullptr);
    if (!defaults) defaults = PyTuple_Pack(5, Py_False, Py_False, Py_False, Py_None, Py_False);
    return zero && one && trailing_axes && defaults ? 0 : -1;
}

// ---- The array's geometry, read through its Python attributes --------------------------------

PyObject *attribute(PyObject *object, const frame::Name &name) { return PyObject_GetAttr(object, name.object()); }

// The Python truth of `left <op> right`: 1, 0, or -1 with an exception set.
int compare(PyObject *left, PyObject *right, int op) {
    Ref result = Ref::steal(PyObject_RichCompare(left, right, op));
    return result ? PyObject_IsTrue(result.get()) : -1;
}

// array.ndim > 1
int has_subarray_rows(PyObject *array) {
    Ref ndim = Ref::steal(attribute(array, name_ndim));
    return ndim ? compare(ndim.get(), one, Py_GT) : -1;
}

// sequence_attribute[position] of `object`, e.g. array.shape[0].
PyObject *attribute_item(PyObject *object, const frame::Name &name, PyObject *position) {
    Ref sequence = Ref::steal(attribute(object, name));
    return sequence ? PyObject_GetItem(sequence.get(), position) : nullptr;
}

// Rows must be single values or C-contiguous blocks; only the first row is examined, and only
// when there is one.
int check_row_layout(PyObject *array) {
    const int subarrays = has_subarray_rows(array);
    if (subarrays <= 0) return subarrays;
    Ref rows = Ref::steal(attribute_item(array, name_shape, zero));
    if (!rows) return -1;
    const int nonempty = compare(rows.get(), zero, Py_GT);
    if (nonempty <= 0) return nonempty;
    Ref first_row = Ref::steal(PyObject_GetItem(array, zero));
    if (!first_row) return -1;
    Ref flags = Ref::steal(attribute(first_row.get(), name_flags));
    if (!flags) return -1;
    Ref c_contiguous = Ref::steal(attribute(flags.get(), name_c_contiguous));
    if (!c_contiguous) return -1;
    const int contiguous = PyObject_IsTrue(c_contiguous.get());
    if (contiguous < 0) return -1;
    if (!contiguous) {
        PyErr_SetString(PyExc_ValueError, "Subarrays must be C-contiguous");
        return -1;
    }
    return 0;
}

int as_ssize(PyObject *value, Py_ssize_t &out) {
    Ref number = Ref::steal(PyNumber_Index(value));
    if (!number) return -1;
    out = PyLong_AsSsize_t(number.get());
    return out == -1 && PyErr_Occurred() ? -1 : 0;
}

// A negative value fails with "can't convert negative value to size_t".
int as_size(PyObject *value, std::size_t &out) {
    Ref number = Ref::steal(PyNumber_Index(value));
    if (!number) return -1;
    out = PyLong_AsSize_t(number.get());
    return out == std::size_t(-1) && PyErr_Occurred() ? -1 : 0;
}

struct Geometry {
    Py_ssize_t length;
    std::size_t stride;
    std::size_t itemsize;  // bytes per row
};

int read_geometry(PyObject *array, Geometry &g, int &line) {
    line = __LINE__;
    Ref length = Ref::steal(attribute_item(array, name_shape, zero));
    if (!length || as_ssize(length.get(), g.length) < 0) return -1;
    line = __LINE__;
    Ref stride = Ref::steal(attribute_item(array, name_strides, zero));
    if (!stride || as_size(stride.get(), g.stride) < 0) return -1;
    line = __LINE__;
    Ref itemsize = Ref::steal(attribute(array, name_itemsize));
    if (!itemsize || as_size(itemsize.get(), g.itemsize) < 0) return -1;
    line = __LINE__;
    const int subarrays = has_subarray_rows(array);
    if (subarrays < 0) return -1;
    if (subarrays) {
        // itemsize * np.prod(array.shape[1:]), on Python numbers.
        line = __LINE__;
        Ref prod = Ref::steal(frame::get_global_attr(name_np, name_prod));
        if (!prod) return -1;
        Ref shape = Ref::steal(attribute(array, name_shape));
        if (!shape) return -1;
        Ref trailing = Ref::steal(PyObject_GetItem(shape.get(), trailing_axes));
        if (!trailing) return -1;
        PyObject *prod_args[] = {trailing.get()};
        Ref elements = Ref::steal(PyObject_Vectorcall(prod.get(), prod_args, 1, nullptr));
        if (!elements) return -1;
        Ref element_size = Ref::steal(PyLong_FromSize_t(g.itemsize));
        if (!element_size) return -1;
        Ref row_size = Ref::steal(PyNumber_Multiply(element_size.get(), elements.get()));
        if (!row_size || as_size(row_size.get(), g.itemsize) < 0) return -1;
    }
    return 0;
}

// The address of array's first element. The attributes give no address, so it is taken from
// the object itself: for NumPy arrays (and subclasses) from the array structure, which is exact
// for every dtype, including those NumPy cannot export as a buffer (datetimes, for example);
// any other object must export a buffer, whose start is its first element.
int first_element(PyObject *array, char *&address) {
    if (PyObject_TypeCheck(array, frame::numpy_ndarray_type())) {
        address = PyArray_BYTES(reinterpret_cast<PyArrayObject *>(array));
        return 0;
    }
    Py_buffer buffer;
    if (PyObject_GetBuffer(array, &buffer, PyBUF_RECORDS_RO) < 0) return -1;
    address = static_cast<char *>(buffer.buf);
    PyBuffer_Release(&buffer);
    return 0;
}

// Every byte the passes touch must lie in the byte view of base: first element + k * stride
// + [0, itemsize) for k < length.
int check_rows_inside(const char *first, const Geometry &g, const frame::BoundView &data) {
    if (g.length == 0 || g.itemsize == 0) return 0;  // no byte is touched
    const std::uintptr_t begin = reinterpret_cast<std::uintptr_t>(data.bytes());
    const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(first);
    const std::size_t size = std::size_t(data.extent(0));
    std::size_t span = 0;
    const bool inside = start >= begin && start - begin <= size &&
                        !__builtin_mul_overflow(std::size_t(g.length - 1), g.stride, &span) &&
                        !__builtin_add_overflow(span, g.itemsize, &span) && span <= size - (start - begin);
    if (inside) return 0;
    PyErr_SetString(PyExc_ValueError,
                    "the rows of array (first element, stride and row size) do not lie inside the buffer of "
                    "array.base");
    return -1;
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
using ByteView = View<elem::uint8, 1, frame::Access::writable, frame::Contiguity::c_contiguous>;

// The entries of an intp view, at whatever byte address its buffer puts them.
kernels::intp_entry *entries(const frame::BoundView &view) {
    return reinterpret_cast<kernels::intp_entry *>(view.bytes());
}

// The neighbour pass in the variant that `order` and `inverse` ask for.
std::intptr_t neighbour_pass(const Geometry &g, char *first, const kernels::intp_entry *order, std::uint8_t *diff,
                             kernels::intp_entry *inverse) {
    const kernels::Rows rows{first, g.stride};
    return kernels::with_row_class(g.itemsize, [&](auto row) {
        if (order)
            return inverse ? kernels::mark_runs<true, true>(row, rows, g.length, order, diff, inverse)
                           : kernels::mark_runs<true, false>(row, rows, g.length, order, diff, inverse);
        return inverse ? kernels::mark_runs<false, true>(row, rows, g.length, order, diff, inverse)
                       : kernels::mark_runs<false, false>(row, rows, g.length, order, diff, inverse);
    });
}

int refuse_order(const OrderView &order, std::intptr_t position, Py_ssize_t length) {
    const std::intptr_t value = entries(order)[position];
    if (value < 0 || value >= length)
        PyErr_Format(PyExc_ValueError,
                     "order must be a permutation of 0 .. n-1 for n = %zd rows, but order[%zd] = %zd is out of range",
                     length, Py_ssize_t(position), Py_ssize_t(value));
    else
        PyErr_Format(PyExc_ValueError,
                     "order must be a permutation of 0 .. n-1 for n = %zd rows, but order[%zd] = %zd repeats an "
                     "earlier entry",
                     length, Py_ssize_t(position), Py_ssize_t(value));
    return -1;
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

    // Step 2: rows are single values or C-contiguous blocks.
    line = __LINE__;
    if (check_row_layout(array) < 0) return nullptr;

    // Step 3: the byte view over the whole memory of base.
    line = __LINE__;
    Ref base = Ref::steal(attribute(array, name_base));
    if (!base) return nullptr;
    if (base.get() == Py_None) base = Ref::borrow(array);
    line = __LINE__;
    Ref data_ndarray;
    {
        Ref frombuffer = Ref::steal(frame::get_global_attr(name_np, name_frombuffer));
        if (!frombuffer) return nullptr;
        Ref uint8 = Ref::steal(frame::get_global_attr(name_np, name_uint8));
        if (!uint8) return nullptr;
        PyObject *frombuffer_args[] = {base.get(), uint8.get()};
        data_ndarray = Ref::steal(PyObject_Vectorcall(frombuffer.get(), frombuffer_args, 2, nullptr));
        if (!data_ndarray) return nullptr;
    }
    ByteView data;
    line = __LINE__;
    if (data.bind(data_ndarray.get()) < 0) return nullptr;

    // Step 4: geometry, and where the rows lie.
    Geometry g{};
    if (read_geometry(array, g, line) < 0) return nullptr;
    line = __LINE__;
    char *first = nullptr;
    if (first_element(array, first) < 0 || check_rows_inside(first, g, data) < 0) return nullptr;
    const Py_ssize_t n = g.length;

    // Step 5: run flags.
    line = __LINE__;
    Ref diff_ndarray = Ref::steal(new_array(name_empty, n, builtin_bool.object()));
    if (!diff_ndarray) return nullptr;
    FlagView diff;
    line = __LINE__;
    if (diff.bind(diff_ndarray.get()) < 0 || check_fresh(diff, n, 1, "np.empty(length, bool)") < 0) return nullptr;
    if (n > 0) diff.data()[0] = 1;

    // Step 6: the order, checked against the flags as marks, then the neighbour pass.
    OrderView order_view;
    line = __LINE__;
    if (order_view.bind(order_arg) < 0) return nullptr;
    const bool with_order = !order_view.absent();
    if (with_order) {
        line = __LINE__;
        if (order_view.size() != n) {
            PyErr_Format(PyExc_ValueError, "order must have one entry per row: it has %zd, array has %zd rows",
                         order_view.size(), n);
            return nullptr;
        }
        std::intptr_t bad;
        {
            frame::GilRelease unlocked;
            bad = kernels::check_order(entries(order_view), n, diff.data());
        }
        if (bad != kernels::permutation_ok) return refuse_order(order_view, bad, n), nullptr;
    }
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
        if (n > 0) entries(inverse)[with_order ? order[0] : 0] = 0;
    }
    std::intptr_t unique_index;
    {
        frame::GilRelease unlocked;
        unique_index = neighbour_pass(g, first, order, diff.data(), want_inverse ? entries(inverse) : nullptr);
    }

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
    if (n > 0) entries(index)[0] = with_order ? order[0] : 0;

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
        if (num_unique > 0) entries(counts)[0] = 1;
    }
    {
        frame::GilRelease unlocked;
        kernels::intp_entry *count_data = want_counts ? entries(counts) : nullptr;
        if (with_order) kernels::place_runs<true>(diff.data(), n, order, entries(index), count_data);
        else kernels::place_runs<false>(diff.data(), n, order, entries(index), count_data);
    }

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
