#include "array_glue/byte_ranges.hpp"

#include "array_glue/messages.hpp"

namespace norvale::array_glue {

kernels::RangeSet range_set(const SrcView &src, const TableView &rows, const TableView &starts,
                            const TableView &ends) noexcept {
    return {{reinterpret_cast<const unsigned char *>(src.bytes()), src.extent(0), src.extent(1), src.stride(0),
             src.stride(1)},
            {rows.bytes(), rows.stride(), rows.size()},
            {starts.bytes(), starts.stride(), starts.size()},
            {ends.bytes(), ends.stride(), ends.size()}};
}

void raise_range_fault(const kernels::RangeSet &set, const kernels::RangeCheck &check) noexcept {
    if (check.fault == kernels::RangeFault::beyond_tables)
        PyErr_Format(PyExc_ValueError, message::range_beyond_tables, Py_ssize_t(check.range), Py_ssize_t(set.rows.length),
                     Py_ssize_t(set.starts.length), Py_ssize_t(set.ends.length));
    else
        PyErr_Format(PyExc_ValueError, message::range_outside_src, Py_ssize_t(check.range), Py_ssize_t(check.entry.row),
                     Py_ssize_t(check.entry.start), Py_ssize_t(check.entry.end), Py_ssize_t(set.src.rows),
                     Py_ssize_t(set.src.cols));
}

int check_ranges_or_raise(const kernels::RangeSet &set, std::ptrdiff_t n) noexcept {
    const kernels::RangeCheck check = kernels::check_ranges(set, n);
    if (check.fault == kernels::RangeFault::none) return 0;
    raise_range_fault(set, check);
    return -1;
}

int RangeArguments::bind(PyObject *const *args) noexcept {
    static constexpr const char *names[] = {"src", "src_indices", "starts", "ends"};
    for (int k = 0; k < 4; ++k) {
        if (args[k] != Py_None) continue;
        PyErr_Format(PyExc_TypeError, message::must_not_be_none, names[k]);
        return -1;
    }
    if (src.bind(args[0]) < 0 || src_indices.bind(args[1]) < 0 || starts.bind(args[2]) < 0 || ends.bind(args[3]) < 0)
        return -1;
    return 0;
}

}  // namespace norvale::array_glue
