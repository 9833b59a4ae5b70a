// norvale.cython.span_rank: the sort order of byte ranges cut from a 2D byte array, as
// norvale.cython.span_distinct asks for it.
#include "array_glue/byte_ranges.hpp"
#include "array_glue/kernel_calls.hpp"
#include "array_glue/numpy_results.hpp"
#include "frame/frame.hpp"
#include "kernels/span_sort.hpp"

using namespace norvale;
using namespace norvale::frame::common;
namespace glue = norvale::array_glue;

namespace {

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

using OrderView = frame::View<frame::elem::intp, 1, frame::Access::writable, frame::Contiguity::c_contiguous>;

Result span_rank_body(frame::FunctionObject &, PyObject *const *args) {
    glue::RangeArguments ranges;
    if (ranges.bind(args) < 0) return fail();
    const Py_ssize_t n = ranges.src_indices.size();

    Ref order_ndarray = glue::call_numpy(name_empty, n, glue::numpy_dtype(name_intp));
    if (!order_ndarray) return fail();
    OrderView order_view;
    if (order_view.bind(order_ndarray.get()) < 0 || glue::check_entries(order_view, n, "order_ndarray", true) < 0)
        return fail();
    // np.empty was the last Python code: the ranges are checked now, and the sort locates every
    // range again where it reads it, as another thread may write the tables.
    const frame::ByteSpan order = order_view.byte_span();
    if (glue::refuse_overlaps(order, "order_ndarray",
                              {glue::named(ranges.src, "the inputs"), glue::named(ranges.src_indices, "the inputs"),
                               glue::named(ranges.starts, "the inputs"), glue::named(ranges.ends, "the inputs")}) < 0 ||
        glue::check_ranges_or_raise(ranges.set(), n) < 0)
        return fail();

    norvale::kernels::Status ranked;
    {
        frame::GilRelease unlocked;
        ranked = norvale::kernels::rank_ranges(ranges.set(), n, glue::entries(order_view));
    }
    if (glue::raise_for(ranked, "the range tables") < 0) return fail();
    return order_ndarray;
}

const frame::Name *const parameters[] = {&name_src, &name_src_indices, &name_starts, &name_ends};
const char *const span_rank_locals[] = {"order_ndarray", "order_view", "length"};
constexpr frame::FunctionDef span_rank_def = frame::function_def(
    "span_rank", span_rank_doc, frame::parameters<4>(parameters), frame::locals(span_rank_locals), span_rank_body);

int module_body(PyObject *globals) {
    if (frame::set_global(globals, "np", frame::import_module("numpy")) < 0) return -1;
    return frame::set_global(globals, "span_rank", frame::make_function(span_rank_def, globals));
}

}  // namespace

const frame::ModuleConfig frame::this_module = {
    .name = "span_rank",
    .dotted = "norvale.cython.span_rank",
    .source = "norvale/cython/span_rank.cpp",
    .body = module_body,
};

PyMODINIT_FUNC PyInit_span_rank() { return PyModuleDef_Init(&frame::module_def); }
