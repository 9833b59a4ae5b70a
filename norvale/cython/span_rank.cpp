// norvale.cython.span_rank: the sort order of byte ranges cut from a 2D byte array, as
// norvale.cython.span_distinct asks for it.
#include <exception>

#include "frame/frame.hpp"
#include "kernels/span_sort.hpp"
#include "span_order.hpp"

namespace frame = norvale::frame;
using frame::Ref;
using norvale::span_order::SrcView;
using norvale::span_order::TableView;

namespace {

frame::Name name_np{"np"};
frame::Name name_empty{"empty"};
frame::Name name_intp{"intp"};
frame::Name name_src{"src"};
frame::Name name_src_indices{"src_indices"};
frame::Name name_starts{"starts"};
frame::Name name_ends{"ends"};

const char span_rank_doc[] =
    "span_rank(const uint8_t[:, :] src, const intp_t[:] src_indices, const intp_t[:] starts, const intp_t[:] ends)\n"
    "\n"
    "Sort order of byte sequences, given source ranges from a 2D byte array.\n"
    "\n"
    "Sequence k is row src_indices[k] of 'src' from column starts[k] up to, not including, column ends[k].\n"
    "Sequences are ordered by their bytes as unsigned values, a proper prefix before the longer sequence;\n"
    "equal sequences keep their input order. Every range must lie inside 'src', else ValueError.\n"
    "\n"
    ":param src: Source array (uint8, ndim=2)\n"
    ":param src_indices: The row indices of 'src' from which to take each sequence.\n"
    ":param starts: Starting column indices of 'src' from which to take each sequence.\n"
    ":param ends: Ending column indices of 'src' from which to take each sequence.\n"
    "\n"
    ":return: New intp array: the indices 0 ... n-1 of the sequences in sorted order.";

PyObject *span_rank_body(frame::FunctionObject *, PyObject *const *args, int &line) {
    norvale::span_order::RangeArguments ranges;
    line = __LINE__;
    if (ranges.bind(args) < 0) return nullptr;
    auto &[src, src_indices, starts, ends] = ranges;
    const Py_ssize_t n = src_indices.size();
    const norvale::kernels::RangeSet set = norvale::span_order::range_set(src, src_indices, starts, ends);

    line = __LINE__;
    Ref empty = Ref::steal(frame::get_global_attr(name_np, name_empty));
    if (!empty) return nullptr;
    Ref intp = Ref::steal(frame::get_global_attr(name_np, name_intp));
    if (!intp) return nullptr;
    Ref length = Ref::steal(PyLong_FromSsize_t(n));
    if (!length) return nullptr;
    PyObject *empty_args[] = {length.get(), intp.get()};
    Ref order_ndarray = Ref::steal(PyObject_Vectorcall(empty.get(), empty_args, 2, nullptr));
    if (!order_ndarray) return nullptr;
    frame::View<frame::elem::intp, 1, frame::Access::writable, frame::Contiguity::c_contiguous> order_view;
    line = __LINE__;
    if (order_view.bind(order_ndarray.get()) < 0) return nullptr;
    line = __LINE__;
    if (order_view.size() < n) {
        PyErr_Format(PyExc_ValueError, "np.empty(%zd, np.intp) returned %zd entries", n, order_view.size());
        return nullptr;
    }
    // np.empty was the last Python code: the ranges are checked now, and the sort locates every
    // range again where it reads it, as another thread may write the tables.
    line = __LINE__;
    for (const frame::BoundView *input : {static_cast<const frame::BoundView *>(&src), static_cast<const frame::BoundView *>(&src_indices),
                                          static_cast<const frame::BoundView *>(&starts), static_cast<const frame::BoundView *>(&ends)})
        if (frame::refuse_shared_memory(order_view.byte_span(), "order_ndarray", input->byte_span(), "the inputs") < 0)
            return nullptr;
    line = __LINE__;
    if (norvale::span_order::check_ranges_or_raise(set, n) < 0) return nullptr;

    std::exception_ptr failure;
    {
        frame::GilRelease unlocked;
        try {
            norvale::kernels::rank_ranges(set, n, order_view.data());
        } catch (...) {
            failure = std::current_exception();
        }
    }
    line = __LINE__;
    if (failure) std::rethrow_exception(failure);  // translated by the frame (MemoryError)
    return order_ndarray.release();
}

const frame::Name *const parameters[] = {&name_src, &name_src_indices, &name_starts, &name_ends};
const char *const span_rank_locals[] = {"order_ndarray", "order_view", "length"};
const frame::FunctionDef span_rank_def = {
    "span_rank", span_rank_doc, {parameters, 4, 4}, span_rank_locals, 3, span_rank_body, __LINE__,
};

int module_body(PyObject *globals) {
    if (frame::set_global(globals, "np", frame::import_module("numpy")) < 0) return -1;
    return frame::set_global(globals, "span_rank", frame::make_function(span_rank_def, globals, nullptr));
}

}  // namespace

const frame::ModuleConfig frame::this_module = {
    .name = "span_rank",
    .dotted = "norvale.cython.span_rank",
    .doc = nullptr,
    .source = "norvale/cython/span_rank.cpp",
    .numpy = frame::NumpyBinding::at_exec,
    .broadcast = frame::BroadcastLayout::dimensions_only,
    .constants = nullptr,
    .body = module_body,
};

PyMODINIT_FUNC PyInit_span_rank() { return PyModuleDef_Init(&frame::module_def); }
