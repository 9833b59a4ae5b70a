// norvale.cython.span_order: the context type byte_ranges_context, which binds a byte matrix and
// three tables naming byte ranges in its rows, and the native comparator over such ranges, which
// other native modules take from the module's __pyx_capi__ dict.
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "array_glue/byte_ranges.hpp"
#include "array_glue/field_buffer.hpp"
#include "frame/frame.hpp"
#include "frame/traceback.hpp"
#include "kernels/span_ranges.hpp"
#include "span_order.hpp"

using namespace norvale;
using namespace norvale::frame::common;
namespace glue = norvale::array_glue;
using glue::SrcView;
using glue::TableView;
using norvale::span_order::ByteRangesContext;

namespace {

constexpr char context_type_name[] = "norvale.cython.span_order.byte_ranges_context";
constexpr char wrong_context_type[] = "%.1sCannot convert %.200s to %.200s";
constexpr char context_is_none[] = "span_order needs a byte_ranges_context, not None";
constexpr char field_not_bound[] = "the byte_ranges_context holds no view in its field '%s'";
constexpr char not_initialized[] = "Memoryview is not initialized";
constexpr char short_state[] =
    "byte_ranges_context state must be a tuple of 4 items (ends, src, src_indices, starts), got %zd";
constexpr char state_is_none[] = "cannot pass None into a C function argument that is declared 'not None'";
constexpr char state_not_tuple[] = "Expected %.42s, got %.200s";
constexpr char new_returned_other[] = "%.200s.__new__ returned %.200s";
constexpr char pickling_not_installed[] = "Unable to initialize pickling for %.200s";
constexpr char integer_required[] = "an integer is required";
constexpr char int_returned_non_int[] = "__int__ returned non-int (type %.200s)";
// Formatted as Python's %x does it, so a negative checksum reads 0x-5.
constexpr char incompatible_checksums[] =
    "Incompatible checksums (0x%x vs (0x6b2856c, 0xc961668, 0x9614869) = (ends, src, src_indices, starts))";
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
frame::Name name_new{"__new__"};
frame::Name name_dict{"__dict__"};
frame::Name name_update{"update"};
frame::Name name_pickle_error{"PickleError"};
frame::Name name_reduce{"__reduce__"};
frame::Name name_setstate{"__setstate__"};

PyTypeObject *context_type = nullptr;  // made at exec, kept for the process
PyObject *comparator_name = nullptr;   // the object named in unraisable reports

ByteRangesContext *as_context(PyObject *self) noexcept { return reinterpret_cast<ByteRangesContext *>(self); }

// ---- The comparator ---------------------------------------------------------------------------

// The comparator cannot raise: its error is printed with its traceback, then reported to the
// unraisable hook under the comparator's name. Returns the comparator's answer then, 0.
int report_unraisable(frame::Failure failure) noexcept {
    frame::add_traceback(comparator_entry, failure.line);
    PyObject *raised = PyErr_GetRaisedException();
    PyErr_SetRaisedException(Py_NewRef(raised));
    PyErr_PrintEx(0);
    PyErr_SetRaisedException(raised);
    PyErr_WriteUnraisable(comparator_name);
    return 0;
}

const char *first_absent_field(const ByteRangesContext &c) noexcept {
    if (c.src.absent()) return "src";
    if (c.src_indices.absent()) return "src_indices";
    if (c.starts.absent()) return "starts";
    if (c.ends.absent()) return "ends";
    return nullptr;
}

// Fails (with the exception set) unless range k lies inside the context. The table entries are
// read once: the span is made from what was checked.
bool locate_or_raise(const kernels::RangeSet &set, std::intptr_t k, kernels::Span &span) noexcept {
    const kernels::RangeCheck check = kernels::check_range(set, k);
    if (check.fault == kernels::RangeFault::none) {
        span = kernels::span_of(set, check.entry);
        return true;
    }
    glue::raise_range_fault(set, check);
    return false;
}

// Each index is read once through its pointer, and each range's table entries once.
int span_order(const void *a, const void *b, void *context) noexcept {
    std::intptr_t i, j;
    std::memcpy(&i, a, sizeof i);
    std::memcpy(&j, b, sizeof j);
    PyObject *object = static_cast<PyObject *>(context);
    const Ref held = Ref::borrow(object);  // the context stays alive for the whole call
    if (object != Py_None && !PyObject_TypeCheck(object, context_type))
        return PyErr_Format(PyExc_TypeError, wrong_context_type, "", Py_TYPE(object)->tp_name, context_type_name),
               report_unraisable(fail());
    if (object == Py_None) return PyErr_SetString(PyExc_ValueError, context_is_none), report_unraisable(fail());
    const ByteRangesContext &c = *as_context(object);
    if (const char *field = first_absent_field(c))
        return PyErr_Format(PyExc_ValueError, field_not_bound, field), report_unraisable(fail());
    const kernels::RangeSet set = glue::range_set(c.src, c.src_indices, c.starts, c.ends);
    kernels::Span first, second;
    if (!locate_or_raise(set, i, first) || !locate_or_raise(set, j, second)) return report_unraisable(fail());
    return kernels::compare_spans(first, second, set.src.col_stride);
}

// ---- The context type -------------------------------------------------------------------------

PyObject *context_new(PyTypeObject *type, PyObject *, PyObject *) noexcept {
    PyObject *self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    ByteRangesContext *c = as_context(self);
    new (&c->src) SrcView();
    new (&c->src_indices) TableView();
    new (&c->starts) TableView();
    new (&c->ends) TableView();
    return self;
}

void context_dealloc(PyObject *self) noexcept {
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
const frame::ParameterList init_parameters = frame::parameters<4>(field_names);

Result init_body(PyObject *self, PyObject *args, PyObject *kwds) {
    // The frame binds vectorcall-style arguments: flatten the tuple and the keyword dict.
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    PyObject **items = PySequence_Fast_ITEMS(args);
    std::vector<PyObject *> flat(items, items + nargs);
    Ref kwnames;
    if (kwds && PyDict_GET_SIZE(kwds) > 0) {
        kwnames = Ref::steal(PyTuple_New(PyDict_GET_SIZE(kwds)));
        if (!kwnames) return fail();
        Py_ssize_t position = 0, index = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwds, &position, &key, &value)) {
            PyTuple_SET_ITEM(kwnames.get(), index++, Py_NewRef(key));
            flat.push_back(value);
        }
    }
    PyObject *values[4];
    if (frame::bind_arguments("__init__", init_parameters, nullptr, flat.data(), nargs, kwnames.get(), values) < 0)
        return fail();
    SrcView src;
    TableView src_indices, starts, ends;
    if (src.bind(values[0]) < 0) return fail();
    if (src_indices.bind(values[1]) < 0) return fail();
    if (starts.bind(values[2]) < 0) return fail();
    if (ends.bind(values[3]) < 0) return fail();
    // All four are bound: replace the fields together.
    ByteRangesContext *c = as_context(self);
    c->src = std::move(src);
    c->src_indices = std::move(src_indices);
    c->starts = std::move(starts);
    c->ends = std::move(ends);
    return Ref::borrow(Py_None);
}

int context_init(PyObject *self, PyObject *args, PyObject *kwds) noexcept {
    return frame::guarded_status(init_entry, [&] { return init_body(self, args, kwds); });
}

// Set-state: binds ends, src, src_indices, starts from state[0..3], each replacing its field
// before the next is bound. A true fifth item would go to the instance dict, which there is not.
Result set_state(PyObject *self, PyObject *state) {
    const Py_ssize_t size = PyTuple_GET_SIZE(state);
    if (size < 4) return PyErr_Format(PyExc_ValueError, short_state, size), fail();
    ByteRangesContext *c = as_context(self);
    TableView ends, src_indices, starts;
    SrcView src;
    if (ends.bind(PyTuple_GET_ITEM(state, 0)) < 0) return fail();
    c->ends = std::move(ends);
    if (src.bind(PyTuple_GET_ITEM(state, 1)) < 0) return fail();
    c->src = std::move(src);
    if (src_indices.bind(PyTuple_GET_ITEM(state, 2)) < 0) return fail();
    c->src_indices = std::move(src_indices);
    if (starts.bind(PyTuple_GET_ITEM(state, 3)) < 0) return fail();
    c->starts = std::move(starts);
    if (size > 4) {
        const int extra = PyObject_IsTrue(PyTuple_GET_ITEM(state, 4));
        if (extra < 0) return fail();
        if (extra) {
            Ref dict = Ref::steal(PyObject_GetAttr(self, name_dict.object()));  // AttributeError: no dict
            if (!dict) return fail();
            Ref done =
                Ref::steal(PyObject_CallMethodOneArg(dict.get(), name_update.object(), PyTuple_GET_ITEM(state, 4)));
            if (!done) return fail();
        }
    }
    return Ref::borrow(Py_None);
}

Result reduce_body(PyObject *self, Py_ssize_t nargs, PyObject *kwnames) {
    if (frame::bind_no_arguments("__reduce__", nargs, kwnames) < 0) return fail();
    const ByteRangesContext &c = *as_context(self);
    if (c.ends.absent() || c.src.absent() || c.src_indices.absent() || c.starts.absent())
        return PyErr_SetString(PyExc_AttributeError, not_initialized), fail();
    Ref ends = glue::new_field_buffer(c.ends), src = glue::new_field_buffer(c.src),
        src_indices = glue::new_field_buffer(c.src_indices), starts = glue::new_field_buffer(c.starts);
    if (!ends || !src || !src_indices || !starts) return fail();
    Ref unpickle = frame::get_global(name_unpickle);
    if (!unpickle) return fail();
    return Ref::steal(Py_BuildValue("(O(Ol(OOOO)))", unpickle.get(), reinterpret_cast<PyObject *>(Py_TYPE(self)),
                                    checksum_current, ends.get(), src.get(), src_indices.get(), starts.get()));
}

PyObject *context_reduce(PyObject *self, PyObject *const *, Py_ssize_t nargs, PyObject *kwnames) noexcept {
    return frame::guarded(reduce_entry, [&] { return reduce_body(self, nargs, kwnames); });
}

const frame::Name *const setstate_names[] = {&name_pyx_state};
const frame::ParameterList setstate_parameters = frame::parameters<1>(setstate_names);

// The set-state argument must be exactly a tuple.
int check_state_tuple(PyObject *state) noexcept {
    if (state == Py_None) {
        PyErr_SetString(PyExc_TypeError, state_is_none);
        return -1;
    }
    if (!PyTuple_CheckExact(state)) {
        PyErr_Format(PyExc_TypeError, state_not_tuple, "tuple", Py_TYPE(state)->tp_name);
        return -1;
    }
    return 0;
}

PyObject *context_setstate(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) noexcept {
    return frame::guarded(setstate_entry, [&]() -> Result {
        PyObject *state = nullptr;
        if (frame::bind_arguments("__setstate__", setstate_parameters, nullptr, args, nargs, kwnames, &state) < 0)
            return fail();
        if (check_state_tuple(state) < 0) return fail();
        return set_state(self, state);
    });
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
int install_pickling() noexcept {
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
    PyErr_Format(PyExc_RuntimeError, pickling_not_installed, context_type->tp_name);
    if (cause) {
        PyObject *raised = PyErr_GetRaisedException();
        PyException_SetCause(raised, Py_NewRef(cause));
        PyException_SetContext(raised, cause);
        PyErr_SetRaisedException(raised);
    }
    return -1;
}

// Runs before NumPy is bound: publish the comparator, then make and bind the type.
int publish_comparator_and_type() noexcept {
    PyObject *globals = frame::module_dict();
    if (!(comparator_name = PyUnicode_FromString(comparator_entry))) return -1;
    if (norvale::span_order::publish_comparator(globals, span_order) < 0) return -1;
    context_type = reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&context_spec));
    if (!context_type) return -1;
    if (PyDict_SetItemString(globals, "byte_ranges_context", reinterpret_cast<PyObject *>(context_type)) < 0)
        return -1;
    return install_pickling();
}

// ---- Unpickling -------------------------------------------------------------------------------

// The checksum as a C long: an int directly, anything else through its __int__.
int checksum_value(PyObject *value, long &out) noexcept {
    if (PyLong_Check(value)) {
        out = PyLong_AsLong(value);
        return out == -1 && PyErr_Occurred() ? -1 : 0;
    }
    PyNumberMethods *number = Py_TYPE(value)->tp_as_number;
    if (!number || !number->nb_int) {
        PyErr_SetString(PyExc_TypeError, integer_required);
        return -1;
    }
    Ref converted = Ref::steal(number->nb_int(value));
    if (!converted) return -1;
    if (!PyLong_Check(converted.get())) {
        PyErr_Format(PyExc_TypeError, int_returned_non_int, Py_TYPE(converted.get())->tp_name);
        return -1;
    }
    out = PyLong_AsLong(converted.get());
    return out == -1 && PyErr_Occurred() ? -1 : 0;
}

int raise_incompatible_checksum(long checksum) noexcept {
    Ref given = Ref::steal(PyLong_FromLong(checksum));
    Ref pickle = Ref::steal(given ? PyImport_ImportModule("pickle") : nullptr);
    Ref error = Ref::steal(pickle ? PyObject_GetAttr(pickle.get(), name_pickle_error.object()) : nullptr);
    Ref format = Ref::steal(error ? PyUnicode_FromString(incompatible_checksums) : nullptr);
    Ref message = Ref::steal(format ? PyUnicode_Format(format.get(), given.get()) : nullptr);
    if (message) PyErr_SetObject(error.get(), message.get());
    return -1;
}

Result unpickle_body(frame::FunctionObject &, PyObject *const *args) {
    long checksum;
    if (checksum_value(args[1], checksum) < 0) return fail();
    if (frame::check_argument_type(args[2], &PyTuple_Type, "__pyx_state") < 0) return fail();
    bool known = false;
    for (long compatible : checksum_compatible) known = known || checksum == compatible;
    if (!known) return raise_incompatible_checksum(checksum), fail();
    Ref make = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject *>(context_type), name_new.object()));
    if (!make) return fail();
    Ref result = Ref::steal(PyObject_CallOneArg(make.get(), args[0]));  // rejects other types
    if (!result) return fail();
    if (args[2] != Py_None) {
        if (!PyObject_TypeCheck(result.get(), context_type))
            return PyErr_Format(PyExc_TypeError, new_returned_other, context_type_name, Py_TYPE(result.get())->tp_name),
                   fail();
        Result state = set_state(result.get(), args[2]);
        if (!state.ok()) return state;
    }
    return result;
}

const frame::Name *const unpickle_parameters[] = {&name_pyx_type, &name_pyx_checksum, &name_pyx_state};
const char *const unpickle_locals[] = {"__pyx_PickleError", "__pyx_result"};
constexpr frame::FunctionDef unpickle_def = frame::function_def(
    "__pyx_unpickle_byte_ranges_context",
    "__pyx_unpickle_byte_ranges_context(__pyx_type, long __pyx_checksum, tuple __pyx_state)",
    frame::parameters<3>(unpickle_parameters), frame::locals(unpickle_locals), unpickle_body);

int module_body(PyObject *globals) {
    if (frame::set_global(globals, "np", frame::import_module("numpy")) < 0) return -1;
    return frame::set_global(globals, unpickle_def.name, frame::make_function(unpickle_def, globals));
}

}  // namespace

const frame::ModuleConfig frame::this_module = {
    .name = "span_order",
    .dotted = "norvale.cython.span_order",
    .source = "norvale/cython/span_order.cpp",
    .body = module_body,
    .constants = publish_comparator_and_type,
};

PyMODINIT_FUNC PyInit_span_order() { return PyModuleDef_Init(&frame::module_def); }
