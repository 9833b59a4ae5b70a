// norvale.cython.span_distinct: the distinct byte sequences among ranges cut from a 2D byte
// array, as the rows of a zero-padded byte matrix, with the row of every range.
//
// The sort order comes from norvale.cython.span_rank; the runs of equal sequences in it are found
// with the comparator of norvale.cython.span_order, bound natively at import.
#include <cstdint>
#include <initializer_list>
#include <utility>

#include "frame/frame.hpp"
#include "kernels/span_group.hpp"
#include "span_order.hpp"

namespace frame = norvale::frame;
namespace kernels = norvale::kernels;
using frame::Ref;
using frame::View;
namespace elem = frame::elem;
using norvale::span_order::SrcView;
using norvale::span_order::TableView;

namespace {

constexpr char span_order_module[] = "norvale.cython.span_order";

frame::Name name_np{"np"};
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
norvale::span_order::Comparator span_order = nullptr;

// ---- Import-time binding to span_order --------------------------------------------------------

// The imported type must be at least as large as the layout this module was built with; a
// larger one is allowed with a RuntimeWarning.
int import_context_type() {
    context_type = frame::import_checked_type({span_order_module, "byte_ranges_context",
                                               sizeof(norvale::span_order::ByteRangesContext),
                                               alignof(norvale::span_order::ByteRangesContext), frame::Larger::warn});
    return context_type ? 0 : -1;
}

int import_comparator() {
    Ref module = Ref::steal(PyImport_ImportModule(span_order_module));
    if (!module) return -1;
    Ref capi = Ref::steal(PyObject_GetAttrString(module.get(), "__pyx_capi__"));
    if (!capi) return -1;
    if (!PyDict_Check(capi.get())) {
        PyErr_Format(PyExc_TypeError, "%.200s.__pyx_capi__ is not a dict", span_order_module);
        return -1;
    }
    PyObject *capsule = PyDict_GetItemString(capi.get(), norvale::span_order::comparator_key);
    if (!capsule) {
        PyErr_Format(PyExc_ImportError, "%.200s does not export expected C %.8s %.200s", span_order_module,
                     "function", norvale::span_order::comparator_key);
        return -1;
    }
    const char *signature = norvale::span_order::comparator_signature;
    if (!PyCapsule_IsValid(capsule, signature)) {
        const char *got = PyCapsule_CheckExact(capsule) ? PyCapsule_GetName(capsule) : Py_TYPE(capsule)->tp_name;
        PyErr_Format(PyExc_TypeError, "C %.8s %.200s.%.200s has wrong signature (expected %.500s, got %.500s)",
                     "function", span_order_module, norvale::span_order::comparator_key, signature,
                     got ? got : "NULL");
        return -1;
    }
    span_order = reinterpret_cast<norvale::span_order::Comparator>(PyCapsule_GetPointer(capsule, signature));
    return span_order ? 0 : -1;
}

// from .span_rank import span_rank: a loaded module that has the name is used as it is;
// otherwise the import system imports it. Without the attribute, a loaded submodule of that
// name is taken instead.
PyObject *import_span_rank(PyObject *globals) {
    PyObject *modules = PyImport_GetModuleDict();
    Ref full_name = Ref::steal(PyUnicode_FromString("norvale.cython.span_rank"));
    if (!full_name) return nullptr;
    Ref module = Ref::borrow(PyDict_GetItemWithError(modules, full_name.get()));
    if (!module && PyErr_Occurred()) return nullptr;
    if (module) {
        Ref found = Ref::steal(PyObject_GetAttr(module.get(), name_span_rank.object()));
        if (found) return found.release();
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
        PyErr_Clear();
        module.reset();
    }
    Ref fromlist = Ref::steal(PyTuple_Pack(1, name_span_rank.object()));
    if (!fromlist) return nullptr;
    module = Ref::steal(PyImport_ImportModuleLevelObject(name_span_rank.object(), globals, nullptr, fromlist.get(), 1));
    if (!module) return nullptr;
    Ref value = Ref::steal(PyObject_GetAttr(module.get(), name_span_rank.object()));
    if (value || !PyErr_ExceptionMatches(PyExc_AttributeError)) return value.release();
    PyErr_Clear();
    Ref module_name = Ref::steal(PyObject_GetAttr(module.get(), name_module_name.object()));
    if (module_name) {
        Ref submodule_name = Ref::steal(PyUnicode_FromFormat("%U.%U", module_name.get(), name_span_rank.object()));
        if (!submodule_name) return nullptr;
        PyObject *submodule = PyDict_GetItemWithError(modules, submodule_name.get());
        if (submodule) return Py_NewRef(submodule);
        if (PyErr_Occurred()) return nullptr;
    } else {
        PyErr_Clear();
    }
    PyErr_Format(PyExc_ImportError, "cannot import name %S", name_span_rank.object());
    return nullptr;
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

// np.<function>(first, np.<dtype>) or, with a null dtype name, np.<function>(first, second).
PyObject *call_numpy(const frame::Name &function, PyObject *first, const frame::Name *dtype, PyObject *second) {
    Ref callable = Ref::steal(frame::get_global_attr(name_np, function));
    if (!callable) return nullptr;
    Ref type = dtype ? Ref::steal(frame::get_global_attr(name_np, *dtype)) : Ref::borrow(second);
    if (!type) return nullptr;
    PyObject *args[] = {first, type.get()};
    return PyObject_Vectorcall(callable.get(), args, 2, nullptr);
}

PyObject *new_length(Py_ssize_t n) { return PyLong_FromSsize_t(n); }

// A result must not overlap the inputs, the order or an earlier result.
int refuse_overlaps(const frame::ByteSpan &result, const char *name, const norvale::span_order::RangeArguments &inputs,
                    std::initializer_list<std::pair<const frame::BoundView *, const char *>> others) {
    const std::pair<const frame::BoundView *, const char *> arguments[] = {
        {&inputs.src, "src"}, {&inputs.src_indices, "src_indices"}, {&inputs.starts, "starts"}, {&inputs.ends, "ends"}};
    for (const auto &[view, other] : arguments)
        if (frame::refuse_shared_memory(result, name, view->byte_span(), other) < 0) return -1;
    for (const auto &[view, other] : others)
        if (frame::refuse_shared_memory(result, name, view->byte_span(), other) < 0) return -1;
    return 0;
}

using WritableBytes = View<elem::uint8, 1, frame::Access::writable, frame::Contiguity::c_contiguous>;
using WritableIndices = View<elem::intp, 1, frame::Access::writable, frame::Contiguity::c_contiguous>;
using WritableMatrix = View<elem::uint8, 2, frame::Access::writable, frame::Contiguity::c_contiguous>;

PyObject *span_distinct_body(frame::FunctionObject *, PyObject *const *args, int &line) {
    norvale::span_order::RangeArguments ranges;
    line = __LINE__;
    if (ranges.bind(args) < 0) return nullptr;
    auto &[src, src_indices, starts, ends] = ranges;

    // span_rank and the context see read-only buffers over the bound memory.
    line = __LINE__;
    PyObject *buffers[4] = {};
    Ref src_buffer = Ref::steal(buffers[0] = norvale::span_order::new_field_buffer(src));
    Ref src_indices_buffer = Ref::steal(buffers[1] = norvale::span_order::new_field_buffer(src_indices));
    Ref starts_buffer = Ref::steal(buffers[2] = norvale::span_order::new_field_buffer(starts));
    Ref ends_buffer = Ref::steal(buffers[3] = norvale::span_order::new_field_buffer(ends));
    if (!src_buffer || !src_indices_buffer || !starts_buffer || !ends_buffer) return nullptr;

    line = __LINE__;
    Ref rank = Ref::steal(frame::get_global(name_span_rank));
    if (!rank) return nullptr;
    Ref order = Ref::steal(PyObject_Vectorcall(rank.get(), buffers, 4, nullptr));
    if (!order) return nullptr;
    line = __LINE__;
    Ref ctx = Ref::steal(PyObject_Vectorcall(reinterpret_cast<PyObject *>(context_type), buffers, 4, nullptr));
    if (!ctx) return nullptr;
    WritableIndices order_view;
    line = __LINE__;
    if (order_view.bind(order.get()) < 0) return nullptr;
    const Py_ssize_t length = src_indices.size();

    line = __LINE__;
    Ref n = Ref::steal(new_length(length));
    if (!n) return nullptr;
    Ref diff_ndarray = Ref::steal(call_numpy(name_empty, n.get(), nullptr, builtin_bool.object()));
    if (!diff_ndarray) return nullptr;
    WritableBytes diff_view;
    line = __LINE__;
    if (diff_view.bind(diff_ndarray.get()) < 0) return nullptr;
    line = __LINE__;
    Ref inverse_ndarray = Ref::steal(call_numpy(name_empty, n.get(), &name_intp, nullptr));
    if (!inverse_ndarray) return nullptr;
    WritableIndices inverse_view;
    line = __LINE__;
    if (inverse_view.bind(inverse_ndarray.get()) < 0) return nullptr;
    line = __LINE__;
    if (diff_view.size() < length || inverse_view.size() < length) {
        PyErr_Format(PyExc_ValueError, "np.empty(%zd) returned fewer entries", length);
        return nullptr;
    }

    // The inverse's np.empty was the last Python code before the group pass: what the pass relies
    // on is checked from here on. No result may share memory with another array of the call.
    line = __LINE__;
    if (refuse_overlaps(diff_view.byte_span(), "diff_ndarray", ranges, {{&order_view, "order"}}) < 0 ||
        refuse_overlaps(inverse_view.byte_span(), "inverse_ndarray", ranges,
                        {{&order_view, "order"}, {&diff_view, "diff_ndarray"}}) < 0)
        return nullptr;
    const kernels::RangeSet set = norvale::span_order::range_set(src, src_indices, starts, ends);
    line = __LINE__;
    if (norvale::span_order::check_ranges_or_raise(set, length) < 0) return nullptr;
    line = __LINE__;
    if (order_view.size() < length) {
        PyErr_Format(PyExc_ValueError, "span_rank returned an order of %zd entries for %zd ranges", order_view.size(),
                     length);
        return nullptr;
    }
    line = __LINE__;
    const std::ptrdiff_t bad = kernels::first_non_permutation(order_view.data(), length, diff_view.data());
    if (bad >= 0) return frame::refuse_permutation("order", bad, order_view[bad], length, "ranges"), nullptr;

    // Group pass with the interpreter lock held, as the comparator needs it. The comparator
    // checks each range it reads; the pass bounds each order entry it reads.
    std::intptr_t num_unique = 0;
    if (length > 0) {
        void *context = ctx.get();
        const kernels::Status grouped = kernels::mark_groups(
            set, order_view.data(), length, diff_view.data(), inverse_view.data(),
            [context](const std::intptr_t *later, const std::intptr_t *earlier) {
                return span_order(later, earlier, context);
            },
            num_unique);
        line = __LINE__;
        if (grouped != kernels::Status::ok) return frame::raise_changed_under_pass("order"), nullptr;
    }

    line = __LINE__;
    Ref rows = Ref::steal(new_length(num_unique));
    Ref columns = Ref::steal(new_length(src.extent(1)));
    if (!rows || !columns) return nullptr;
    Ref shape = Ref::steal(PyTuple_Pack(2, rows.get(), columns.get()));
    if (!shape) return nullptr;
    Ref unique_ndarray = Ref::steal(call_numpy(name_zeros, shape.get(), &name_uint8, nullptr));
    if (!unique_ndarray) return nullptr;
    WritableMatrix unique_view;
    line = __LINE__;
    if (unique_view.bind(unique_ndarray.get()) < 0) return nullptr;
    line = __LINE__;
    if (unique_view.extent(0) < num_unique || unique_view.extent(1) != src.extent(1)) {
        PyErr_SetString(PyExc_ValueError, "np.zeros returned an array of another shape");
        return nullptr;
    }
    // np.zeros was the last Python code before the copy pass, and it may have changed the tables:
    // they are checked again. The copy pass still locates every range and bounds every order
    // entry and group it reads, as other threads may write the inputs.
    line = __LINE__;
    if (refuse_overlaps(unique_view.byte_span(), "unique_ndarray", ranges,
                        {{&order_view, "order"}, {&diff_view, "diff_ndarray"}, {&inverse_view, "inverse_ndarray"}}) < 0 ||
        norvale::span_order::check_ranges_or_raise(set, length) < 0)
        return nullptr;

    if (length > 0) {
        frame::GilRelease unlocked;
        kernels::copy_groups(set, order_view.data(), length, diff_view.data(),
                             reinterpret_cast<unsigned char *>(unique_view.bytes()), src.extent(1), num_unique);
    }
    return PyTuple_Pack(2, unique_ndarray.get(), inverse_ndarray.get());
}

const frame::Name *const span_distinct_parameters[] = {&name_src, &name_src_indices, &name_starts, &name_ends};
const char *const span_distinct_locals[] = {
    "order",         "ctx",       "order_view",     "length",        "diff_ndarray", "diff_view",   "diff",
    "inverse_ndarray", "inverse_view", "num_unique", "unique_ndarray", "unique_view", "unique_index", "i",
};
const frame::FunctionDef span_distinct_def = {
    "span_distinct",
    span_distinct_doc,
    {span_distinct_parameters, 4, 4},
    span_distinct_locals,
    14,
    span_distinct_body,
    __LINE__,
};

// The type and the comparator of span_order come first: after the NumPy type objects, before
// the module body's own imports.
int module_body(PyObject *globals) {
    if (import_context_type() < 0 || import_comparator() < 0) return -1;
    if (frame::set_global(globals, "np", frame::import_module("numpy")) < 0) return -1;
    if (frame::set_global(globals, "span_rank", import_span_rank(globals)) < 0) return -1;
    return frame::set_global(globals, span_distinct_def.name, frame::make_function(span_distinct_def, globals, nullptr));
}

}  // namespace

const frame::ModuleConfig frame::this_module = {
    .name = "span_distinct",
    .dotted = "norvale.cython.span_distinct",
    .doc = nullptr,
    .source = "norvale/cython/span_distinct.cpp",
    .numpy = frame::NumpyBinding::at_exec,
    .broadcast = frame::BroadcastLayout::dimensions_only,
    .constants = nullptr,
    .body = module_body,
};

PyMODINIT_FUNC PyInit_span_distinct() { return PyModuleDef_Init(&frame::module_def); }
