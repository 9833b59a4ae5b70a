// norvale.cython.span_distinct: the distinct byte sequences among ranges cut from a 2D byte
// array, as the rows of a zero-padded byte matrix, with the row of every range.
//
// The sort order comes from norvale.cython.span_rank; the runs of equal sequences in it are found
// with the comparator of norvale.cython.span_order, bound natively at import.
#include <cstdint>
#include <utility>

#include "array_glue/byte_ranges.hpp"
#include "array_glue/field_buffer.hpp"
#include "array_glue/kernel_calls.hpp"
#include "array_glue/numpy_results.hpp"
#include "array_glue/permutations.hpp"
#include "frame/frame.hpp"
#include "kernels/permutation_check.hpp"
#include "kernels/span_group.hpp"
#include "span_order.hpp"

using namespace norvale;
using namespace norvale::frame::common;
namespace glue = norvale::array_glue;
namespace contract = norvale::span_order;

namespace {

constexpr char order_too_short[] = "span_rank returned an order of %zd entries for %zd ranges";
constexpr char cannot_import_name[] = "cannot import name %S";

frame::Name name_empty{"empty"};
frame::Name name_zeros{"zeros"};
frame::Name name_intp{"intp"};
frame::Name name_uint8{"uint8"};
frame::Name name_span_rank{"span_rank"};
frame::Name name_src{"src"};
frame::Name name_src_indices{"src_indices"};
frame::Name name_starts{"starts"};
frame::Name name_ends{"ends"};
frame::Name name_module_name{"__name__"};
frame::Builtin builtin_bool{"bool"};

// Bound from span_order at import, kept for the process.
PyTypeObject *context_type = nullptr;
contract::Comparator span_order = nullptr;

// ---- Import-time binding to span_order and span_rank ------------------------------------------

// The imported type must be at least as large as the layout this module was built with; a
// larger one is allowed with a RuntimeWarning.
int import_from_span_order() {
    context_type = frame::import_checked_type({contract::module_name, contract::context_type_name,
                                               sizeof(contract::ByteRangesContext),
                                               alignof(contract::ByteRangesContext), frame::Larger::warn});
    if (!context_type) return -1;
    span_order = contract::import_comparator();
    return span_order ? 0 : -1;
}

// from .span_rank import span_rank: a loaded module that has the name is used as it is;
// otherwise the import system imports it. Without the attribute, a loaded submodule of that
// name is taken instead.
Ref import_span_rank(PyObject *globals) {
    PyObject *modules = PyImport_GetModuleDict();
    Ref full_name = Ref::steal(PyUnicode_FromString("norvale.cython.span_rank"));
    if (!full_name) return {};
    Ref module = Ref::borrow(PyDict_GetItemWithError(modules, full_name.get()));
    if (!module && PyErr_Occurred()) return {};
    if (module) {
        Ref found = Ref::steal(PyObject_GetAttr(module.get(), name_span_rank.object()));
        if (found) return found;
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return {};
        PyErr_Clear();
        module.reset();
    }
    Ref fromlist = Ref::steal(PyTuple_Pack(1, name_span_rank.object()));
    if (!fromlist) return {};
    module = Ref::steal(PyImport_ImportModuleLevelObject(name_span_rank.object(), globals, nullptr, fromlist.get(), 1));
    if (!module) return {};
    Ref value = Ref::steal(PyObject_GetAttr(module.get(), name_span_rank.object()));
    if (value || !PyErr_ExceptionMatches(PyExc_AttributeError)) return value;
    PyErr_Clear();
    Ref module_name = Ref::steal(PyObject_GetAttr(module.get(), name_module_name.object()));
    if (module_name) {
        Ref submodule_name = Ref::steal(PyUnicode_FromFormat("%U.%U", module_name.get(), name_span_rank.object()));
        if (!submodule_name) return {};
        PyObject *submodule = PyDict_GetItemWithError(modules, submodule_name.get());
        if (submodule) return Ref::borrow(submodule);
        if (PyErr_Occurred()) return {};
    } else {
        PyErr_Clear();
    }
    PyErr_Format(PyExc_ImportError, cannot_import_name, name_span_rank.object());
    return {};
}

// ---- span_distinct ----------------------------------------------------------------------------

const char span_distinct_doc[] =
    "span_distinct(const uint8_t[:, :] src, const intp_t[:] src_indices, const intp_t[:] starts, const intp_t[:] "
    "ends)\n"
    "\n"
    "Find unique sequences of bytes, given source ranges from a 2D byte array.\n"
    "\n"
    ":param src: Source array (uint8, ndim=2)\n"
    ":param src_indices: The row indices of 'src' from which to take each sequence.\n"
    ":param starts: Starting column indices of 'src' from which to take each sequence.\n"
    ":param ends: Ending column indices of 'src' from which to take each sequence.\n"
    "\n"
    ":return: Unique sequences, and indices into this array for each input sequence.";

using WritableBytes = View<elem::uint8, 1, frame::Access::writable, frame::Contiguity::c_contiguous>;
using WritableIndices = View<elem::intp, 1, frame::Access::writable, frame::Contiguity::c_contiguous>;
using WritableMatrix = View<elem::uint8, 2, frame::Access::writable, frame::Contiguity::c_contiguous>;

Result span_distinct_body(frame::FunctionObject &, PyObject *const *args) {
    glue::RangeArguments ranges;
    if (ranges.bind(args) < 0) return fail();
    const Py_ssize_t length = ranges.src_indices.size();

    // span_rank and the context see read-only buffers over the bound memory.
    Ref src_buffer = glue::new_field_buffer(ranges.src), src_indices_buffer = glue::new_field_buffer(ranges.src_indices),
        starts_buffer = glue::new_field_buffer(ranges.starts), ends_buffer = glue::new_field_buffer(ranges.ends);
    if (!src_buffer || !src_indices_buffer || !starts_buffer || !ends_buffer) return fail();
    PyObject *buffers[] = {src_buffer.get(), src_indices_buffer.get(), starts_buffer.get(), ends_buffer.get()};
    Ref rank = frame::get_global(name_span_rank);
    if (!rank) return fail();
    Ref order = Ref::steal(PyObject_Vectorcall(rank.get(), buffers, 4, nullptr));
    if (!order) return fail();
    Ref ctx = Ref::steal(PyObject_Vectorcall(reinterpret_cast<PyObject *>(context_type), buffers, 4, nullptr));
    if (!ctx) return fail();
    WritableIndices order_view;
    if (order_view.bind(order.get()) < 0) return fail();

    Ref diff_ndarray = glue::call_numpy(name_empty, length, glue::given_dtype(builtin_bool.object()));
    if (!diff_ndarray) return fail();
    WritableBytes diff_view;
    if (diff_view.bind(diff_ndarray.get()) < 0 || glue::check_entries(diff_view, length, "diff_ndarray", true) < 0)
        return fail();
    Ref inverse_ndarray = glue::call_numpy(name_empty, length, glue::numpy_dtype(name_intp));
    if (!inverse_ndarray) return fail();
    WritableIndices inverse_view;
    if (inverse_view.bind(inverse_ndarray.get()) < 0 ||
        glue::check_entries(inverse_view, length, "inverse_ndarray", true) < 0)
        return fail();

    // The inverse's np.empty was the last Python code before the group pass: what the pass relies
    // on is checked from here on. No result may share memory with another array of the call.
    const glue::NamedSpan src{ranges.src.byte_span(), "src"}, rows{ranges.src_indices.byte_span(), "src_indices"},
        starts{ranges.starts.byte_span(), "starts"}, ends{ranges.ends.byte_span(), "ends"},
        order_span{order_view.byte_span(), "order"}, diff{diff_view.byte_span(), "diff_ndarray"},
        inverse{inverse_view.byte_span(), "inverse_ndarray"};
    if (glue::refuse_overlaps(diff.first, diff.second, {src, rows, starts, ends, order_span}) < 0 ||
        glue::refuse_overlaps(inverse.first, inverse.second, {src, rows, starts, ends, order_span, diff}) < 0)
        return fail();
    const kernels::RangeSet set = ranges.set();
    if (glue::check_ranges_or_raise(set, length) < 0) return fail();
    if (order_view.size() < length)
        return PyErr_Format(PyExc_ValueError, order_too_short, order_view.size(), length), fail();
    const kernels::intp_entry *sorted = glue::entries(order_view);
    const std::intptr_t bad = kernels::check_with_byte_marks(sorted, length, diff_view.data());
    if (bad != kernels::permutation_ok) return glue::refuse_permutation("order", bad, sorted[bad], length, "ranges"), fail();

    // The group pass holds the interpreter lock, as the comparator needs it. The comparator
    // checks each range it reads; the pass bounds each order entry it reads.
    std::intptr_t num_unique = 0;
    if (length > 0) {
        void *context = ctx.get();
        auto differs = [context](const std::intptr_t *later, const std::intptr_t *earlier) {
            return span_order(later, earlier, context);
        };
        const kernels::Status grouped = kernels::mark_groups(set, sorted, length, diff_view.data(),
                                                             glue::entries(inverse_view), differs, num_unique);
        if (glue::raise_for(grouped, "order") < 0) return fail();
    }

    const Py_ssize_t columns = ranges.src.extent(1);
    Ref shape = Ref::steal(Py_BuildValue("(nn)", Py_ssize_t(num_unique), columns));
    if (!shape) return fail();
    Ref unique_ndarray = glue::call_numpy(name_zeros, shape.get(), glue::numpy_dtype(name_uint8));
    if (!unique_ndarray) return fail();
    WritableMatrix unique_view;
    if (unique_view.bind(unique_ndarray.get()) < 0 ||
        glue::check_shape(unique_view, num_unique, columns, "unique_ndarray") < 0)
        return fail();
    // np.zeros was the last Python code before the copy pass, and it may have changed the tables:
    // they are checked again. The copy pass still locates every range and bounds every order
    // entry and group it reads, as other threads may write the inputs.
    if (glue::refuse_overlaps(unique_view.byte_span(), "unique_ndarray",
                              {src, rows, starts, ends, order_span, diff, inverse}) < 0 ||
        glue::check_ranges_or_raise(set, length) < 0)
        return fail();
    if (length > 0) {
        frame::GilRelease unlocked;
        kernels::copy_groups(set, sorted, length, diff_view.data(), reinterpret_cast<unsigned char *>(unique_view.bytes()),
                             columns, num_unique);
    }
    return Ref::steal(PyTuple_Pack(2, unique_ndarray.get(), inverse_ndarray.get()));
}

const frame::Name *const span_distinct_parameters[] = {&name_src, &name_src_indices, &name_starts, &name_ends};
const char *const span_distinct_locals[] = {
    "order",         "ctx",       "order_view",     "length",        "diff_ndarray", "diff_view",   "diff",
    "inverse_ndarray", "inverse_view", "num_unique", "unique_ndarray", "unique_view", "unique_index", "i",
};
constexpr frame::FunctionDef span_distinct_def =
    frame::function_def("span_distinct", span_distinct_doc, frame::parameters<4>(span_distinct_parameters),
                        frame::locals(span_distinct_locals), span_distinct_body);

// The type and the comparator of span_order come first: after the NumPy type objects, before
// the module body's own imports.
int module_body(PyObject *globals) {
    if (import_from_span_order() < 0) return -1;
    if (frame::set_global(globals, "np", frame::import_module("numpy")) < 0) return -1;
    if (frame::set_global(globals, "span_rank", import_span_rank(globals)) < 0) return -1;
    return frame::set_global(globals, span_distinct_def.name, frame::make_function(span_distinct_def, globals));
}

}  // namespace

const frame::ModuleConfig frame::this_module = {
    .name = "span_distinct",
    .dotted = "norvale.cython.span_distinct",
    .source = "norvale/cython/span_distinct.cpp",
    .body = module_body,
};

PyMODINIT_FUNC PyInit_span_distinct() { return PyModuleDef_Init(&frame::module_def); }
