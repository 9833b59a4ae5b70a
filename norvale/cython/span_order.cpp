// norvale.cython.span_order: the context type byte_ranges_context, which binds a byte matrix and
// three tables naming byte ranges in its rows, and the native comparator over such ranges, which
// other native modules take from the module's __pyx_capi__ dict.
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "frame/frame.hpp"
#include "frame/traceback.hpp"
#include "kernels/span_ranges.hpp"
#include "span_order.hpp"

namespace frame = norvale::frame;
namespace kernels = norvale::kernels;
using frame::Ref;
using norvale::span_order::ByteRangesContext;
using norvale::span_order::SrcView;
using norvale::span_order::TableView;

namespace {

constexpr char context_type_name[] = "norvale.cython.span_order.byte_ranges_context";
constexpr char comparator_entry[] = "norvale.cython.span_order.span_order";
constexpr char init_entry[] = "norvale.cython.span_order.byte_ranges_context.__init__";
constexpr char reduce_entry[] = "norvale.cython.span_order.byte_ranges_context.__reduce__";
constexpr char setstate_entry[] = "norvale.cython.span_order.byte_ranges_context.__setstate__";

// Pickle state checksums: the current layout first, then the layouts it is compatible with.
constexpr long checksum_current = 0x6b2856c;
constexpr long checksum_compatible[] = {0x6b2856c, 0xc961668, 0x9614869};

frame::Name name_np{"np"};
frame::Name name_src{"src"};
frame::Name name_src_indices{"src_indices"};
frame::Name name_starts{"starts"};
frame::Name name_ends{"ends"};
frame::Name name_pyx_type{"__pyx_type"};
frame::Name name_pyx_checksum{"__pyx_checksum"};
frame::Name name_pyx_state{"__pyx_state"};
frame::Name name_unpickle{"__pyx_unpickle_byte_ranges_context"};
frame::Name name_capi{"__pyx_capi__"};
frame::Name name_new{"__new__"};
frame::Name name_dict{"__dict__"};
frame::Name name_update{"update"};
frame::Name name_pickle_error{"PickleError"};
frame::Name name_reduce{"__reduce__"};
frame::Name name_setstate{"__setstate__"};

PyTypeObject *context_type = nullptr;  // made at exec, kept for the process
PyObject *comparator_name = nullptr;   // the object named in unraisable reports

ByteRangesContext *as_context(PyObject *self) { return reinterpret_cast<ByteRangesContext *>(self); }

// ---- The comparator ---------------------------------------------------------------------------

// The comparator cannot raise: its error is printed with its traceback, then reported to the
// unraisable hook under the comparator's name.
void report_unraisable(int line) {
    frame::add_traceback(comparator_entry, line);
    PyObject *raised = PyErr_GetRaisedException();
    PyErr_SetRaisedException(Py_NewRef(raised));
    PyErr_PrintEx(0);
    PyErr_SetRaisedException(raised);
    PyErr_WriteUnraisable(comparator_name);
}

const char *first_absent_field(const ByteRangesContext &c) {
    if (c.src.absent()) return "src";
    if (c.src_indices.absent()) return "src_indices";
    if (c.starts.absent()) return "starts";
    if (c.ends.absent()) return "ends";
    return nullptr;
}

// Fails (with the exception set) unless range k lies inside the context. The table entries are
// read once: the span is made from what was checked.
bool locate_or_raise(const kernels::RangeSet &set, std::intptr_t k, kernels::Span &span) {
    const kernels::RangeCheck check = kernels::check_range(set, k);
    if (check.fault == kernels::RangeFault::none) {
        span = kernels::span_of(set, check.entry);
        return true;
    }
    norvale::span_order::raise_range_fault(set, check);
    return false;
}

int span_order(const void *a, const void *b, void *context) {
    std::intptr_t i, j;
    std::memcpy(&i, a, sizeof i);
    std::memcpy(&j, b, sizeof j);
    PyObject *object = static_cast<PyObject *>(context);
    const Ref held = Ref::borrow(object);  // the context stays alive for the whole call
    int line = __LINE__;
    if (object != Py_None && !PyObject_TypeCheck(object, context_type)) {
        PyErr_Format(PyExc_TypeError, "%.1sCannot convert %.200s to %.200s", "", Py_TYPE(object)->tp_name,
                     context_type_name);
        report_unraisable(line);
        return 0;
    }
    line = __LINE__;
    if (object == Py_None) {
        PyErr_SetString(PyExc_ValueError, "span_order needs a byte_ranges_context, not None");
        report_unraisable(line);
        return 0;
    }
    const ByteRangesContext &c = *as_context(object);
    line = __LINE__;
    if (const char *field = first_absent_field(c)) {
        PyErr_Format(PyExc_ValueError, "the byte_ranges_context holds no view in its field '%s'", field);
        report_unraisable(line);
        return 0;
    }
    const kernels::RangeSet set = norvale::span_order::range_set(c.src, c.src_indices, c.starts, c.ends);
    kernels::Span first, second;
    line = __LINE__;
    if (!locate_or_raise(set, i, first) || !locate_or_raise(set, j, second)) {
        report_unraisable(line);
        return 0;
    }
    return kernels::compare_spans(first, second, set.src.col_stride);
}

// ---- The context type -------------------------------------------------------------------------

PyObject *context_new(PyTypeObject *type, PyObject *, PyObject *) {
    PyObject *self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    ByteRangesContext *c = as_context(self);
    new (&c->src) SrcView();
    new (&c->src_indices) TableView();
    new (&c->starts) TableView();
    new (&c->ends) TableView();
    return self;
}

void context_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    ByteRangesContext *c = as_context(self);
    c->ends.~TableView();
    c->starts.~TableView();
    c->src_indices.~TableView();
    c->src.~SrcView();
    type->tp_free(self);
    Py_DECREF(type);  // instances of a heap type hold a reference to it
}

const frame::Name *const field_names[] = {&name_src, &name_src_indices, &name_starts, &name_ends};
const frame::ParameterList init_parameters{field_names, 4, 4};

int init_body(PyObject *self, PyObject *args, PyObject *kwds, int &line) {
    // The frame binds vectorcall-style arguments: flatten the tuple and the keyword dict.
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    PyObject **items = PySequence_Fast_ITEMS(args);
    std::vector<PyObject *> flat(items, items + nargs);
    Ref kwnames;
    if (kwds && PyDict_GET_SIZE(kwds) > 0) {
        kwnames = Ref::steal(PyTuple_New(PyDict_GET_SIZE(kwds)));
        if (!kwnames) return -1;
        Py_ssize_t position = 0, index = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwds, &position, &key, &value)) {
            PyTuple_SET_ITEM(kwnames.get(), index++, Py_NewRef(key));
            flat.push_back(value);
        }
    }
    PyObject *values[4];
    line = __LINE__;
    if (frame::bind_arguments("__init__", init_parameters, nullptr, flat.data(), nargs, kwnames.get(), values) < 0)
        return -1;
    SrcView src;
    TableView src_indices, starts, ends;
    line = __LINE__;
    if (src.bind(values[0]) < 0) return -1;
    line = __LINE__;
    if (src_indices.bind(values[1]) < 0) return -1;
    line = __LINE__;
    if (starts.bind(values[2]) < 0) return -1;
    line = __LINE__;
    if (ends.bind(values[3]) < 0) return -1;
    // All four are bound: replace the fields together.
    ByteRangesContext *c = as_context(self);
    c->src = std::move(src);
    c->src_indices = std::move(src_indices);
    c->starts = std::move(starts);
    c->ends = std::move(ends);
    return 0;
}

int context_init(PyObject *self, PyObject *args, PyObject *kwds) {
    int line = __LINE__;
    int status = -1;
    try {
        status = init_body(self, args, kwds, line);
    } catch (...) {
        frame::raise_from_cpp_exception();
    }
    if (status < 0) frame::add_traceback(init_entry, line);
    return status;
}

// Set-state: binds ends, src, src_indices, starts from state[0..3], each replacing its field
// before the next is bound. A true fifth item would go to the instance dict, which there is not.
int set_state(PyObject *self, PyObject *state, int &line) {
    const Py_ssize_t size = PyTuple_GET_SIZE(state);
    line = __LINE__;
    if (size < 4) {
        PyErr_Format(PyExc_ValueError,
                     "byte_ranges_context state must be a tuple of 4 items (ends, src, src_indices, starts), "
                     "got %zd",
                     size);
        return -1;
    }
    ByteRangesContext *c = as_context(self);
    TableView ends, src_indices, starts;
    SrcView src;
    line = __LINE__;
    if (ends.bind(PyTuple_GET_ITEM(state, 0)) < 0) return -1;
    c->ends = std::move(ends);
    line = __LINE__;
    if (src.bind(PyTuple_GET_ITEM(state, 1)) < 0) return -1;
    c->src = std::move(src);
    line = __LINE__;
    if (src_indices.bind(PyTuple_GET_ITEM(state, 2)) < 0) return -1;
    c->src_indices = std::move(src_indices);
    line = __LINE__;
    if (starts.bind(PyTuple_GET_ITEM(state, 3)) < 0) return -1;
    c->starts = std::move(starts);
    if (size > 4) {
        line = __LINE__;
        const int extra = PyObject_IsTrue(PyTuple_GET_ITEM(state, 4));
        if (extra < 0) return -1;
        if (extra) {
            Ref dict = Ref::steal(PyObject_GetAttr(self, name_dict.object()));  // AttributeError: no dict
            if (!dict) return -1;
            Ref done = Ref::steal(PyObject_CallMethodOneArg(dict.get(), name_update.object(), PyTuple_GET_ITEM(state, 4)));
            if (!done) return -1;
        }
    }
    return 0;
}

PyObject *reduce_body(PyObject *self, Py_ssize_t nargs, PyObject *kwnames, int &line) {
    line = __LINE__;
    if (frame::bind_no_arguments("__reduce__", nargs, kwnames) < 0) return nullptr;
    const ByteRangesContext &c = *as_context(self);
    line = __LINE__;
    if (c.ends.absent() || c.src.absent() || c.src_indices.absent() || c.starts.absent()) {
        PyErr_SetString(PyExc_AttributeError, "Memoryview is not initialized");
        return nullptr;
    }
    line = __LINE__;
    Ref ends = Ref::steal(norvale::span_order::new_field_buffer(c.ends));
    Ref src = Ref::steal(norvale::span_order::new_field_buffer(c.src));
    Ref src_indices = Ref::steal(norvale::span_order::new_field_buffer(c.src_indices));
    Ref starts = Ref::steal(norvale::span_order::new_field_buffer(c.starts));
    if (!ends || !src || !src_indices || !starts) return nullptr;
    line = __LINE__;
    Ref unpickle = Ref::steal(frame::get_global(name_unpickle));
    if (!unpickle) return nullptr;
    return Py_BuildValue("(O(Ol(OOOO)))", unpickle.get(), reinterpret_cast<PyObject *>(Py_TYPE(self)),
                         checksum_current, ends.get(), src.get(), src_indices.get(), starts.get());
}

PyObject *context_reduce(PyObject *self, PyObject *const *, Py_ssize_t nargs, PyObject *kwnames) {
    int line = __LINE__;
    PyObject *result = reduce_body(self, nargs, kwnames, line);
    if (!result) frame::add_traceback(reduce_entry, line);
    return result;
}

const frame::Name *const setstate_names[] = {&name_pyx_state};
const frame::ParameterList setstate_parameters{setstate_names, 1, 1};

// The set-state argument must be exactly a tuple.
int check_state_tuple(PyObject *state) {
    if (state == Py_None) {
        PyErr_SetString(PyExc_TypeError, "cannot pass None into a C function argument that is declared 'not None'");
        return -1;
    }
    if (!PyTuple_CheckExact(state)) {
        PyErr_Format(PyExc_TypeError, "Expected %.42s, got %.200s", "tuple", Py_TYPE(state)->tp_name);
        return -1;
    }
    return 0;
}

PyObject *context_setstate(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    int line = __LINE__;
    PyObject *state = nullptr;
    if (frame::bind_arguments("__setstate__", setstate_parameters, nullptr, args, nargs, kwnames, &state) < 0 ||
        (line = __LINE__, check_state_tuple(state) < 0) || set_state(self, state, line) < 0) {
        frame::add_traceback(setstate_entry, line);
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyMethodDef reduce_def = {"__reduce__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(context_reduce)),
                          METH_FASTCALL | METH_KEYWORDS, nullptr};
PyMethodDef setstate_def = {"__setstate__",
                            reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(context_setstate)),
                            METH_FASTCALL | METH_KEYWORDS, nullptr};

const char context_doc[] =
    "byte_ranges_context(const uint8_t[:, :] src, const intp_t[:] src_indices, const intp_t[:] starts, "
    "const intp_t[:] ends)";

PyType_Slot context_slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(context_new)},
    {Py_tp_init, reinterpret_cast<void *>(context_init)},
    {Py_tp_dealloc, reinterpret_cast<void *>(context_dealloc)},
    {Py_tp_doc, const_cast<char *>(context_doc)},
    {0, nullptr},
};

// No Py_TPFLAGS_BASETYPE (final), no Py_TPFLAGS_HAVE_GC (holds no Python references), no dict.
// Immutable, as a statically defined type is: Python code cannot replace its __new__ or its
// methods, on which span_distinct relies for its contexts.
PyType_Spec context_spec = {context_type_name, int(sizeof(ByteRangesContext)), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, context_slots};

// __reduce__ and __setstate__ go into the type's dict after it is made, as methods under these
// names only (its attributes cannot be set: it is immutable).
int install_pickling() {
    PyObject *dict = context_type->tp_dict;
    Ref reduce = Ref::steal(PyDescr_NewMethod(context_type, &reduce_def));
    if (reduce && PyDict_SetItem(dict, name_reduce.object(), reduce.get()) == 0) {
        Ref setstate = Ref::steal(PyDescr_NewMethod(context_type, &setstate_def));
        if (setstate && PyDict_SetItem(dict, name_setstate.object(), setstate.get()) == 0) {
            PyType_Modified(context_type);
            return 0;
        }
    }
    PyObject *cause = PyErr_GetRaisedException();
    PyErr_Format(PyExc_RuntimeError, "Unable to initialize pickling for %.200s", context_type->tp_name);
    if (cause) {
        PyObject *raised = PyErr_GetRaisedException();
        PyException_SetCause(raised, Py_NewRef(cause));
        PyException_SetContext(raised, cause);
        PyErr_SetRaisedException(raised);
    }
    return -1;
}

// Runs before NumPy is bound: publish the comparator, then make and bind the type.
int publish_comparator_and_type() {
    PyObject *globals = frame::module_dict();
    if (!(comparator_name = PyUnicode_FromString(comparator_entry))) return -1;
    Ref capi = Ref::borrow(PyDict_GetItemWithError(globals, name_capi.object()));
    if (!capi) {
        if (PyErr_Occurred()) return -1;
        capi = Ref::steal(PyDict_New());
        if (!capi || PyDict_SetItem(globals, name_capi.object(), capi.get()) < 0) return -1;
    }
    norvale::span_order::Comparator comparator = span_order;
    Ref capsule = Ref::steal(
        PyCapsule_New(reinterpret_cast<void *>(comparator), norvale::span_order::comparator_signature, nullptr));
    if (!capsule || PyDict_SetItemString(capi.get(), norvale::span_order::comparator_key, capsule.get()) < 0)
        return -1;

    context_type = reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&context_spec));
    if (!context_type) return -1;
    if (PyDict_SetItemString(globals, "byte_ranges_context", reinterpret_cast<PyObject *>(context_type)) < 0)
        return -1;
    return install_pickling();
}

// ---- Unpickling -------------------------------------------------------------------------------

// The checksum as a C long: an int directly, anything else through its __int__.
int checksum_value(PyObject *value, long &out) {
    if (PyLong_Check(value)) {
        out = PyLong_AsLong(value);
        return out == -1 && PyErr_Occurred() ? -1 : 0;
    }
    PyNumberMethods *number = Py_TYPE(value)->tp_as_number;
    if (!number || !number->nb_int) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return -1;
    }
    Ref converted = Ref::steal(number->nb_int(value));
    if (!converted) return -1;
    if (!PyLong_Check(converted.get())) {
        PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", Py_TYPE(converted.get())->tp_name);
        return -1;
    }
    out = PyLong_AsLong(converted.get());
    return out == -1 && PyErr_Occurred() ? -1 : 0;
}

int raise_incompatible_checksum(PyObject *given) {
    Ref pickle = Ref::steal(PyImport_ImportModule("pickle"));
    if (!pickle) return -1;
    Ref error = Ref::steal(PyObject_GetAttr(pickle.get(), name_pickle_error.object()));
    if (!error) return -1;
    // Formatted as Python's %x does it, so a negative checksum reads 0x-5.
    Ref format = Ref::steal(PyUnicode_FromString(
        "Incompatible checksums (0x%x vs (0x6b2856c, 0xc961668, 0x9614869) = (ends, src, src_indices, starts))"));
    if (!format) return -1;
    Ref message = Ref::steal(PyUnicode_Format(format.get(), given));
    if (!message) return -1;
    PyErr_SetObject(error.get(), message.get());
    return -1;
}

PyObject *unpickle_body(frame::FunctionObject *, PyObject *const *args, int &line) {
    long checksum;
    line = __LINE__;
    if (checksum_value(args[1], checksum) < 0) return nullptr;
    line = __LINE__;
    if (frame::check_argument_type(args[2], &PyTuple_Type, "__pyx_state") < 0) return nullptr;
    bool known = false;
    for (long compatible : checksum_compatible) known = known || checksum == compatible;
    if (!known) {
        line = __LINE__;
        Ref given = Ref::steal(PyLong_FromLong(checksum));
        if (given) raise_incompatible_checksum(given.get());
        return nullptr;
    }
    line = __LINE__;
    Ref make = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject *>(context_type), name_new.object()));
    if (!make) return nullptr;
    Ref result = Ref::steal(PyObject_CallOneArg(make.get(), args[0]));  // rejects other types
    if (!result) return nullptr;
    if (args[2] != Py_None) {
        if (!PyObject_TypeCheck(result.get(), context_type)) {
            PyErr_Format(PyExc_TypeError, "%.200s.__new__ returned %.200s", context_type_name,
                         Py_TYPE(result.get())->tp_name);
            return nullptr;
        }
        if (set_state(result.get(), args[2], line) < 0) return nullptr;
    }
    return result.release();
}

const frame::Name *const unpickle_parameters[] = {&name_pyx_type, &name_pyx_checksum, &name_pyx_state};
const char *const unpickle_locals[] = {"__pyx_PickleError", "__pyx_result"};
const frame::FunctionDef unpickle_def = {
    "__pyx_unpickle_byte_ranges_context",
    "__pyx_unpickle_byte_ranges_context(__pyx_type, long __pyx_checksum, tuple __pyx_state)",
    {unpickle_parameters, 3, 3},
    unpickle_locals,
    2,
    unpickle_body,
    __LINE__,
};

int module_body(PyObject *globals) {
    if (frame::set_global(globals, "np", frame::import_module("numpy")) < 0) return -1;
    return frame::set_global(globals, unpickle_def.name, frame::make_function(unpickle_def, globals, nullptr));
}

}  // namespace

const frame::ModuleConfig frame::this_module = {
    .name = "span_order",
    .dotted = "norvale.cython.span_order",
    .doc = nullptr,
    .source = "norvale/cython/span_order.cpp",
    .numpy = frame::NumpyBinding::at_exec,
    .broadcast = frame::BroadcastLayout::dimensions_only,
    .constants = publish_comparator_and_type,
    .body = module_body,
};

PyMODINIT_FUNC PyInit_span_order() { return PyModuleDef_Init(&frame::module_def); }
