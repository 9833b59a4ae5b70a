// norvale.cython.permute_rows: reorder the rows of an array in place, with one row of scratch.
//
// The rows are moved along the cycles of the permutation; the order array itself records which
// positions are settled, so nothing grows with the number of rows.
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
frame::Name name_frombuffer{"frombuffer"};
frame::Name name_uint8{"uint8"};
frame::Name name_prod{"prod"};
frame::Name name_empty{"empty"};
frame::Name name_dtype{"dtype"};

frame::Name name_ndim{"ndim"};
frame::Name name_shape{"shape"};
frame::Name name_strides{"strides"};
frame::Name name_itemsize{"itemsize"};
frame::Name name_base{"base"};
frame::Name name_flags{"flags"};
frame::Name name_c_contiguous{"c_contiguous"};

// Made once at exec and shared by every call.
PyObject *zero = nullptr;
PyObject *one = nullptr;
PyObject *trailing_axes = nullptr;  // slice(1, None): shape[1:]
PyObject *dtype_keyword = nullptr;  // ("dtype",)

// Idempotent: an import retried after a failed exec keeps what the first attempt made.
int make_constants() {
    if (!zero) zero = PyLong_FromLong(0);
    if (!one) one = PyLong_FromLong(1);
    if (!trailing_axes && one) trailing_axes = PySlice_New(one, Py_None, nullptr);
    if (!dtype_keyword) dtype_keyword = PyTuple_Pack(1, name_dtype.object());
    return zero && one && trailing_axes && dtype_keyword ? 0 : -1;
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

// ---- permute_rows ---------------------------------------------------------------------------

using IndicesView = View<elem::intp, 1, frame::Access::writable, frame::Contiguity::c_contiguous>;
using ByteView = View<elem::uint8, 1, frame::Access::writable, frame::Contiguity::c_contiguous>;
using ScratchView = View<elem::uint8>;

// The entries of `indices`, at whatever byte address its buffer puts them.
kernels::intp_entry *entries(const IndicesView &view) {
    return reinterpret_cast<kernels::intp_entry *>(view.bytes());
}

// The cycle pass never reads indices through the rows it moves: refuse indices stored in them.
int check_no_shared_memory(const char *first, const Geometry &g, const IndicesView &indices) {
    if (g.length == 0 || g.itemsize == 0) return 0;
    const std::uintptr_t rows_begin = reinterpret_cast<std::uintptr_t>(first);
    const std::uintptr_t rows_end = rows_begin + std::size_t(g.length - 1) * g.stride + g.itemsize;
    const std::uintptr_t indices_begin = reinterpret_cast<std::uintptr_t>(indices.bytes());
    const std::uintptr_t indices_end = indices_begin + std::size_t(indices.size()) * sizeof(std::intptr_t);
    if (indices_end <= rows_begin || rows_end <= indices_begin) return 0;
    PyErr_SetString(PyExc_ValueError, "indices must not share memory with the rows of array");
    return -1;
}

int refuse_indices(const IndicesView &indices, std::intptr_t position, Py_ssize_t length) {
    const std::intptr_t value = entries(indices)[position];
    if (value < 0 || value >= length)
        PyErr_Format(PyExc_ValueError,
                     "indices must be a permutation of 0 .. n-1 for n = %zd rows, but indices[%zd] = %zd is out of "
                     "range",
                     length, Py_ssize_t(position), Py_ssize_t(value));
    else
        PyErr_Format(PyExc_ValueError,
                     "indices must be a permutation of 0 .. n-1 for n = %zd rows, but indices[%zd] = %zd repeats an "
                     "earlier entry",
                     length, Py_ssize_t(position), Py_ssize_t(value));
    return -1;
}

// The cycle pass for the row size of `g`: several chains at once for the fixed sizes, the
// one-chain walk through `tmp` for any other.
void cycle_pass(const Geometry &g, char *first, kernels::intp_entry *indices, char *tmp) {
    const kernels::Rows rows{first, g.stride};
    kernels::with_row_class(g.itemsize, [&](auto row) {
        if constexpr (decltype(row)::fixed) kernels::follow_cycles_parallel(row, rows, indices, g.length);
        else kernels::follow_cycles_one_chain(row, rows, indices, g.length, tmp);
    });
}

PyObject *permute_rows_body(frame::FunctionObject *, PyObject *const *args, int &line) {
    PyObject *array = args[0], *indices_arg = args[1];

    // Step 1: rows are single values or C-contiguous blocks.
    line = __LINE__;
    if (check_row_layout(array) < 0) return nullptr;

    // Step 2: the byte view over the whole memory of base.
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
        data_ndarray = Ref::steal(PyObject_Vectorcall(frombuffer.get(), frombuffer_args, 1, dtype_keyword));
        if (!data_ndarray) return nullptr;
    }
    ByteView data;
    line = __LINE__;
    if (data.bind(data_ndarray.get()) < 0) return nullptr;

    // Step 3: geometry, and where the rows lie.
    Geometry g{};
    if (read_geometry(array, g, line) < 0) return nullptr;
    line = __LINE__;
    char *first = nullptr;
    if (first_element(array, first) < 0 || check_rows_inside(first, g, data) < 0) return nullptr;
    const Py_ssize_t n = g.length;

    // Step 4: the order.
    IndicesView indices;
    line = __LINE__;
    if (indices.bind(indices_arg) < 0) return nullptr;
    line = __LINE__;
    if (indices.size() != n) {
        PyErr_Format(PyExc_ValueError, "indices must have one entry per row: it has %zd, array has %zd rows",
                     indices.size(), n);
        return nullptr;
    }
    if (check_no_shared_memory(first, g, indices) < 0) return nullptr;

    // Step 5: the scratch row.
    line = __LINE__;
    Ref tmp_ndarray;
    {
        Ref empty = Ref::steal(frame::get_global_attr(name_np, name_empty));
        if (!empty) return nullptr;
        Ref size = Ref::steal(PyLong_FromSize_t(g.itemsize));
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
    if (tmp.extent(0) != Py_ssize_t(g.itemsize) || (g.itemsize > 1 && tmp.stride(0) != 1)) {
        PyErr_Format(PyExc_ValueError, "np.empty(itemsize, np.uint8) is not a contiguous array of %zu bytes",
                     g.itemsize);
        return nullptr;
    }

    // Step 6: check the permutation, then follow its cycles; nothing moves unless it is one.
    std::intptr_t bad;
    {
        frame::GilRelease unlocked;
        bad = kernels::check_and_mark_indices(entries(indices), n);
        if (bad == kernels::permutation_ok) cycle_pass(g, first, entries(indices), tmp.bytes());
    }
    line = __LINE__;
    if (bad != kernels::permutation_ok) return refuse_indices(indices, bad, n), nullptr;
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
    .constants = make_constants,
    .body = module_body,
};

PyMODINIT_FUNC PyInit_permute_rows() { return PyModuleDef_Init(&frame::module_def); }
