#include "array_glue/numpy_results.hpp"

#include "array_glue/messages.hpp"
#include "frame/globals.hpp"

namespace norvale::array_glue {

namespace {

frame::Name name_np{"np"};
frame::Name name_dtype{"dtype"};
frame::KeywordName dtype_keyword{name_dtype};

}  // namespace

frame::Ref numpy_attribute(const frame::Name &attribute) noexcept { return frame::get_global_attr(name_np, attribute); }

frame::Ref call_numpy(const frame::Name &function, PyObject *first, Dtype dtype, DtypeAs as) noexcept {
    frame::Ref make = numpy_attribute(function);
    if (!make) return {};
    frame::Ref type = dtype.numpy_attribute ? numpy_attribute(*dtype.numpy_attribute) : frame::Ref::borrow(dtype.object);
    if (!type) return {};
    PyObject *args[] = {first, type.get()};
    if (as == DtypeAs::positional) return frame::Ref::steal(PyObject_Vectorcall(make.get(), args, 2, nullptr));
    return frame::Ref::steal(PyObject_Vectorcall(make.get(), args, 1, dtype_keyword.tuple()));
}

frame::Ref call_numpy(const frame::Name &function, Py_ssize_t size, Dtype dtype, DtypeAs as) noexcept {
    frame::Ref count = frame::Ref::steal(PyLong_FromSsize_t(size));
    return count ? call_numpy(function, count.get(), dtype, as) : frame::Ref();
}

int check_entries(const frame::BoundView &result, Py_ssize_t count, const char *name, bool contiguous) noexcept {
    if (result.extent(0) != count) {
        PyErr_Format(PyExc_ValueError, message::wrong_entry_count, name, count, result.extent(0));
        return -1;
    }
    if (contiguous && count > 1 && result.stride(0) != result.item_size()) {
        PyErr_Format(PyExc_ValueError, message::not_contiguous, name);
        return -1;
    }
    return 0;
}

int check_shape(const frame::BoundView &result, Py_ssize_t rows, Py_ssize_t columns, const char *name) noexcept {
    if (result.extent(0) == rows && result.extent(1) == columns) return 0;
    PyErr_Format(PyExc_ValueError, message::wrong_shape, name, rows, columns, result.extent(0), result.extent(1));
    return -1;
}

int refuse_overlaps(const frame::ByteSpan &result, const char *name, std::initializer_list<NamedSpan> others) noexcept {
    for (const auto &[span, other] : others)
        if (frame::refuse_shared_memory(result, name, span, other) < 0) return -1;
    return 0;
}

}  // namespace norvale::array_glue
