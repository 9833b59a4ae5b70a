#include "frame/dispatching.hpp"

#include <cstddef>
#include <structmember.h>

#include "frame/entry.hpp"
#include "frame/messages.hpp"

namespace norvale::frame {

namespace {

FunctionObject *as_function(PyObject *self) noexcept { return reinterpret_cast<FunctionObject *>(self); }
const DispatchDef &dispatch_of(const FunctionObject &self) noexcept {
    return *reinterpret_cast<const DispatchDef *>(self.def);
}

// The first positional argument, else the keyword that names the first parameter; nullptr if
// neither is given, or on a failed keyword comparison (with the exception set).
PyObject *first_argument(const DispatchDef &def, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                         bool &failed) noexcept {
    failed = false;
    if (nargs > 0) return args[0];
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    PyObject *wanted = def.first_parameter->object();
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *keyword = PyTuple_GET_ITEM(kwnames, k);
        const int same = keyword == wanted ? 1 : PyObject_RichCompareBool(keyword, wanted, Py_EQ);
        if (same < 0) {
            failed = true;
            return nullptr;
        }
        if (same) return args[nargs + k];
    }
    return nullptr;
}

// Selects the entry under the dispatching function's own traceback entry, then forwards the
// call, whose failures carry the entry's traceback entry already.
PyObject *dispatch_vectorcall(PyObject *callable, PyObject *const *args, size_t nargsf, PyObject *kwnames) noexcept {
    FunctionObject &self = *as_function(callable);
    const DispatchDef &def = dispatch_of(self);
    PyObject *entry = guarded(self.traceback_name, [&]() -> Result {
        const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
        bool failed;
        PyObject *first = first_argument(def, args, nargs, kwnames, failed);
        if (failed) return Failure{def.function.line};
        if (!first) {
            PyErr_Format(PyExc_TypeError, message::too_few_arguments, def.expected_arguments,
                         def.expected_arguments == 1 ? "" : "s", nargs);
            return Failure{def.function.line};
        }
        Result selected = def.select(first);
        const int line = selected.line();
        Ref key = Ref::steal(selected.release());
        if (!key) return Failure{line};
        PyObject *found = key.get() == Py_None ? nullptr : PyDict_GetItemWithError(self.extra, key.get());
        if (!found) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, message::no_matching_signature);
            return Failure{line};
        }
        return Ref::borrow(found);
    }, def.function.line);
    if (!entry) return nullptr;
    Ref held = Ref::steal(entry);
    return PyObject_Vectorcall(held.get(), args, nargsf, kwnames);
}

// f[key]: the key as a string (a str itself, a type's __name__, else str(key); a tuple's items
// so converted and joined with "|"), looked up in the table.
Name name_dunder_name{"__name__"};
Name name_bar{"|"};

PyObject *key_string(PyObject *key) noexcept {
    if (PyUnicode_Check(key)) return Py_NewRef(key);
    if (PyType_Check(key)) return PyObject_GetAttr(key, name_dunder_name.object());
    return PyObject_Str(key);
}

PyObject *dispatch_subscript(PyObject *callable, PyObject *key) noexcept {
    Ref text;
    if (PyTuple_Check(key)) {
        const Py_ssize_t count = PyTuple_GET_SIZE(key);
        Ref parts = Ref::steal(PyList_New(count));
        if (!parts) return nullptr;
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyObject *part = key_string(PyTuple_GET_ITEM(key, i));
            if (!part) return nullptr;
            PyList_SET_ITEM(parts.get(), i, part);
        }
        text = Ref::steal(PyUnicode_Join(name_bar.object(), parts.get()));
    } else {
        text = Ref::steal(key_string(key));
    }
    if (!text) return nullptr;
    PyObject *entry = PyDict_GetItemWithError(as_function(callable)->extra, text.get());
    if (!entry) {
        if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, text.get());
        return nullptr;
    }
    return Py_NewRef(entry);
}

// A copy, so that the table stays as it was made.
PyObject *get_signatures(PyObject *callable, void *) noexcept { return PyDict_Copy(as_function(callable)->extra); }

PyGetSetDef dispatch_getset[] = {
    {"__signatures__", get_signatures, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef dispatch_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot dispatch_slots[] = {
    {Py_mp_subscript, reinterpret_cast<void *>(dispatch_subscript)},
    {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
    {Py_tp_getset, dispatch_getset},
    {Py_tp_members, dispatch_members},
    {0, nullptr},
};

// Size 0: the instances are the frame's function objects; GC support is inherited.
PyType_Spec dispatch_spec = {
    "norvale.cython.dispatching_function",
    0,
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_IMMUTABLETYPE,
    dispatch_slots,
};

}  // namespace

Ref make_dispatching_function(const DispatchDef &def, PyObject *globals, Ref table) noexcept {
    static PyTypeObject *type = nullptr;  // one per module file, kept for the process
    if (!table) return {};
    if (!type) {
        Ref made = derive_function_type(&dispatch_spec);
        if (!made) return {};
        type = reinterpret_cast<PyTypeObject *>(made.release());
    }
    Ref function = make_function(def.function, globals, nullptr, type, dispatch_vectorcall);
    if (!function) return {};
    as_function(function.get())->extra = table.release();
    return function;
}

}  // namespace norvale::frame
