#include "array_glue/rows.hpp"

#include <cstdint>

#include "array_glue/messages.hpp"
#include "array_glue/numpy_results.hpp"
#include "frame/type_imports.hpp"

namespace norvale::array_glue {

using frame::Name;
using frame::Ref;

namespace {

Name name_frombuffer{"frombuffer"};
Name name_uint8{"uint8"};
Name name_prod{"prod"};

Name name_ndim{"ndim"};
Name name_shape{"shape"};
Name name_strides{"strides"};
Name name_itemsize{"itemsize"};
Name name_base{"base"};
Name name_flags{"flags"};
Name name_c_contiguous{"c_contiguous"};

// Made once at exec and shared by every call.
PyObject *zero = nullptr;
PyObject *one = nullptr;
PyObject *trailing_axes = nullptr;  // slice(1, None): shape[1:]

PyObject *attribute(PyObject *object, const Name &name) { return PyObject_GetAttr(object, name.object()); }

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
PyObject *attribute_item(PyObject *object, const Name &name, PyObject *position) {
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
        PyErr_SetString(PyExc_ValueError, message::subarrays_not_contiguous);
        return -1;
    }
    return 0;
}

// np.frombuffer(base, np.uint8) over array.base, or over array itself when it has no base.
int bind_base_bytes(PyObject *array, DtypeArgument dtype, BaseBytesView &out) {
    Ref base = Ref::steal(attribute(array, name_base));
    if (!base) return -1;
    if (base.get() == Py_None) base = Ref::borrow(array);
    Ref data = call_numpy(name_frombuffer, base.get(), numpy_dtype(name_uint8),
                          dtype == DtypeArgument::keyword ? DtypeAs::keyword : DtypeAs::positional);
    if (!data) return -1;
    return out.bind(data.get());  // the view keeps the new array, and so base, alive
}

// numpy.prod as NumPy defines it: the function of its fromnumeric module, which a patch of
// np.prod leaves alone. Null if that module is not loaded. Looked up once.
PyObject *numpy_prod() {
    static PyObject *const prod = [] {
        for (const char *module_name : {"numpy._core.fromnumeric", "numpy.core.fromnumeric"}) {
            Ref name = Ref::steal(PyUnicode_FromString(module_name));
            Ref module = Ref::steal(name ? PyImport_GetModule(name.get()) : nullptr);
            PyObject *found = module ? PyObject_GetAttrString(module.get(), "prod") : nullptr;
            PyErr_Clear();
            if (found) return found;  // kept for the life of the process
        }
        return static_cast<PyObject *>(nullptr);
    }();
    return prod;
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

int read_geometry(PyObject *array, RowBytes &rows) {
    Ref length = Ref::steal(attribute_item(array, name_shape, zero));
    if (!length || as_ssize(length.get(), rows.length) < 0) return -1;
    Ref stride = Ref::steal(attribute_item(array, name_strides, zero));
    if (!stride || as_size(stride.get(), rows.stride) < 0) return -1;
    Ref itemsize = Ref::steal(attribute(array, name_itemsize));
    if (!itemsize || as_size(itemsize.get(), rows.itemsize) < 0) return -1;
    const int subarrays = has_subarray_rows(array);
    if (subarrays <= 0) return subarrays;
    // itemsize * np.prod(array.shape[1:]), on Python numbers.
    Ref prod = numpy_attribute(name_prod);
    if (!prod) return -1;
    if (prod.get() == numpy_prod() && Py_IS_TYPE(array, frame::numpy_ndarray_type())) {
        // NumPy's own prod over the axes of a plain array, taken here: NumPy makes no array whose
        // non-zero axes and item size multiply past intp, so no product below overflows, as
        // none of np.prod's does. Saves the microseconds of a reduction over a tuple.
        const auto *numpy_array = reinterpret_cast<PyArrayObject *>(array);
        std::size_t elements = 1;
        for (int axis = 1; axis < PyArray_NDIM(numpy_array); ++axis) elements *= std::size_t(PyArray_DIM(numpy_array, axis));
        rows.itemsize *= elements;
        return 0;
    }
    Ref shape = Ref::steal(attribute(array, name_shape));
    if (!shape) return -1;
    Ref trailing = Ref::steal(PyObject_GetItem(shape.get(), trailing_axes));
    if (!trailing) return -1;
    PyObject *prod_args[] = {trailing.get()};
    Ref elements = Ref::steal(PyObject_Vectorcall(prod.get(), prod_args, 1, nullptr));
    if (!elements) return -1;
    Ref element_size = Ref::steal(PyLong_FromSize_t(rows.itemsize));
    if (!element_size) return -1;
    Ref row_size = Ref::steal(PyNumber_Multiply(element_size.get(), elements.get()));
    return row_size ? as_size(row_size.get(), rows.itemsize) : -1;
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
int check_rows_inside(const RowBytes &rows) {
    if (rows.length == 0 || rows.itemsize == 0) return 0;  // no byte is touched
    const std::uintptr_t begin = reinterpret_cast<std::uintptr_t>(rows.base_bytes.bytes());
    const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(rows.first);
    const std::size_t size = std::size_t(rows.base_bytes.extent(0));
    std::size_t span = 0;
    const bool inside = start >= begin && start - begin <= size &&
                        !__builtin_mul_overflow(std::size_t(rows.length - 1), rows.stride, &span) &&
                        !__builtin_add_overflow(span, rows.itemsize, &span) && span <= size - (start - begin);
    if (inside) return 0;
    PyErr_SetString(PyExc_ValueError, message::rows_outside_base);
    return -1;
}

}  // namespace

int make_row_constants() noexcept {
    if (!zero) zero = PyLong_FromLong(0);
    if (!one) one = PyLong_FromLong(1);
    if (!trailing_axes && one) trailing_axes = PySlice_New(one, Py_None, nullptr);
    return zero && one && trailing_axes ? 0 : -1;
}

int read_rows(PyObject *array, DtypeArgument dtype, RowBytes &out) noexcept {
    if (check_row_layout(array) < 0 || bind_base_bytes(array, dtype, out.base_bytes) < 0 ||
        read_geometry(array, out) < 0 || first_element(array, out.first) < 0)
        return -1;
    return check_rows_inside(out);
}

}  // namespace norvale::array_glue
