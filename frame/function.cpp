#include "frame/function.hpp"

#include <cstddef>
#include <structmember.h>

#include "frame/entry.hpp"
#include "frame/messages.hpp"
#include "frame/module.hpp"
#include "frame/ref.hpp"

namespace norvale::frame {

namespace {

FunctionObject *as_function(PyObject *self) noexcept { return reinterpret_cast<FunctionObject *>(self); }

// A call: the arguments bound to the parameters (a failure there is reported at the function's
// own line), then the body.
PyObject *function_vectorcall(PyObject *callable, PyObject *const *args, size_t nargsf, PyObject *kwnames) noexcept {
    FunctionObject &self = *as_function(callable);
    const FunctionDef &def = *self.def;
    return guarded(self.traceback_name, [&]() -> Result {
        const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
        PyObject *values[max_parameters];
        const int bound = def.parameters.count == 0
                              ? bind_no_arguments(def.name, nargs, kwnames)
                              : bind_arguments(def.name, def.parameters, self.defaults, args, nargs, kwnames, values);
        if (bound < 0) return Failure{def.line};
        return def.body(self, values);
    }, def.line);
}

int traverse(PyObject *self, visitproc visit, void *arg) noexcept {
    FunctionObject *f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->globals);
    Py_VISIT(f->dict);
    Py_VISIT(f->code);
    Py_VISIT(f->annotations);
    Py_VISIT(f->defaults);
    Py_VISIT(f->defaults_shown);
    Py_VISIT(f->kwdefaults_shown);
    Py_VISIT(f->traceback_name);
    Py_VISIT(f->extra);
    return 0;
}

int clear(PyObject *self) noexcept {
    FunctionObject *f = as_function(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->code);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->defaults_shown);
    Py_CLEAR(f->kwdefaults_shown);
    Py_CLEAR(f->traceback_name);
    Py_CLEAR(f->extra);
    return 0;
}

void dealloc(PyObject *self) noexcept {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_function(self)->weakrefs) PyObject_ClearWeakRefs(self);
    clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject *repr(PyObject *self) noexcept {
    return PyUnicode_FromFormat("<native function %U at %p>", as_function(self)->qualname, self);
}

// Replaces *slot by value, which must be a str.
int set_string(PyObject *value, PyObject **slot, const char *message) noexcept {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    Py_XSETREF(*slot, Py_NewRef(value));
    return 0;
}

PyObject *get_name(PyObject *self, void *) noexcept { return Py_NewRef(as_function(self)->name); }
int set_name(PyObject *self, PyObject *value, void *) noexcept {
    return set_string(value, &as_function(self)->name, message::name_must_be_string);
}
PyObject *get_qualname(PyObject *self, void *) noexcept { return Py_NewRef(as_function(self)->qualname); }
int set_qualname(PyObject *self, PyObject *value, void *) noexcept {
    return set_string(value, &as_function(self)->qualname, message::qualname_must_be_string);
}

PyObject *get_doc(PyObject *self, void *) noexcept { return Py_NewRef(as_function(self)->doc); }
int set_doc(PyObject *self, PyObject *value, void *) noexcept {
    Py_XSETREF(as_function(self)->doc, Py_NewRef(value ? value : Py_None));
    return 0;
}

// __defaults__ and __kwdefaults__ can be replaced for show; calls keep their own defaults.
int set_shown(PyObject *value, PyObject **slot, bool (*accepts)(PyObject *), const char *refusal,
              const char *attribute) noexcept {
    if (!value) value = Py_None;
    if (value != Py_None && !accepts(value)) {
        PyErr_SetString(PyExc_TypeError, refusal);
        return -1;
    }
    if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, message::defaults_for_show_only, attribute) < 0) return -1;
    Py_XSETREF(*slot, Py_NewRef(value));
    return 0;
}

PyObject *get_defaults(PyObject *self, void *) noexcept { return Py_NewRef(as_function(self)->defaults_shown); }
int set_defaults(PyObject *self, PyObject *value, void *) noexcept {
    return set_shown(value, &as_function(self)->defaults_shown, [](PyObject *v) { return bool(PyTuple_Check(v)); },
                     message::defaults_must_be_tuple, "__defaults__");
}
PyObject *get_kwdefaults(PyObject *self, void *) noexcept { return Py_NewRef(as_function(self)->kwdefaults_shown); }
int set_kwdefaults(PyObject *self, PyObject *value, void *) noexcept {
    return set_shown(value, &as_function(self)->kwdefaults_shown, [](PyObject *v) { return bool(PyDict_Check(v)); },
                     message::kwdefaults_must_be_dict, "__kwdefaults__");
}

PyObject *get_annotations(PyObject *self, void *) noexcept {
    FunctionObject *f = as_function(self);
    if (!f->annotations && !(f->annotations = PyDict_New())) return nullptr;
    return Py_NewRef(f->annotations);
}
int set_annotations(PyObject *self, PyObject *value, void *) noexcept {
    if (value == Py_None) value = nullptr;
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, message::annotations_must_be_dict);
        return -1;
    }
    Py_XSETREF(as_function(self)->annotations, Py_XNewRef(value));
    return 0;
}

PyObject *get_globals(PyObject *self, void *) noexcept { return Py_NewRef(as_function(self)->globals); }
PyObject *get_closure(PyObject *, void *) noexcept { Py_RETURN_NONE; }
PyObject *get_code(PyObject *self, void *) noexcept { return Py_NewRef(as_function(self)->code); }

PyGetSetDef getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__closure__", get_closure, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// __module__ of a function is its own, but the type's __module__ must stay the string that a
// heap type keeps in its dict (tools read type(f).__module__): so the instance attribute is
// served by getattro and setattro ahead of the type's dict, not by a descriptor in it.
Name name_module{"__module__"};

bool is_module_name(PyObject *name) noexcept {
    return name == name_module.object() ||
           (PyUnicode_Check(name) && PyUnicode_Compare(name, name_module.object()) == 0);
}

PyObject *getattro(PyObject *self, PyObject *name) noexcept {
    if (is_module_name(name)) return Py_NewRef(as_function(self)->module);
    return PyObject_GenericGetAttr(self, name);
}

int setattro(PyObject *self, PyObject *name, PyObject *value) noexcept {
    if (!is_module_name(name)) return PyObject_GenericSetAttr(self, name, value);
    Py_XSETREF(as_function(self)->module, Py_NewRef(value ? value : Py_None));
    return 0;
}

// Stored on a class, a function stays itself: it is not bound to the instance.
PyObject *descr_get(PyObject *self, PyObject *, PyObject *) noexcept { return Py_NewRef(self); }

PyMemberDef members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FunctionObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// Pickled by reference: the qualified name, found again in the function's module.
PyObject *reduce(PyObject *self, PyObject *) noexcept { return Py_NewRef(as_function(self)->qualname); }

PyMethodDef methods[] = {
    {"__reduce__", reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(clear)},
    {Py_tp_repr, reinterpret_cast<void *>(repr)},
    {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
    {Py_tp_getset, getset},
    {Py_tp_members, members},
    {Py_tp_getattro, reinterpret_cast<void *>(getattro)},
    {Py_tp_setattro, reinterpret_cast<void *>(setattro)},
    {Py_tp_descr_get, reinterpret_cast<void *>(descr_get)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec function_type_spec = {
    "norvale.cython.native_function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_BASETYPE |
        Py_TPFLAGS_IMMUTABLETYPE,
    slots,
};

PyTypeObject *the_type = nullptr;

PyObject *make_code(const FunctionDef &def, PyObject *name, PyObject *qualname) noexcept {
    const Py_ssize_t params = def.parameters.count, local_count = def.locals.count;
    Ref varnames = Ref::steal(PyTuple_New(params + local_count));
    if (!varnames) return nullptr;
    for (Py_ssize_t i = 0; i < params; ++i)
        PyTuple_SET_ITEM(varnames.get(), i, Py_NewRef(def.parameters.names[i]->object()));
    for (Py_ssize_t i = 0; i < local_count; ++i) {
        PyObject *local = PyUnicode_InternFromString(def.locals.names[i]);
        if (!local) return nullptr;
        PyTuple_SET_ITEM(varnames.get(), params + i, local);
    }
    Ref empty_bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
    Ref empty_tuple = Ref::steal(PyTuple_New(0));
    Ref filename = Ref::steal(PyUnicode_FromString(this_module.source));
    if (!empty_bytes || !empty_tuple || !filename) return nullptr;
    return reinterpret_cast<PyObject *>(PyUnstable_Code_New(
        int(params), 0, int(params + local_count), 0, CO_OPTIMIZED | CO_NEWLOCALS, empty_bytes.get(),
        empty_tuple.get(), empty_tuple.get(), varnames.get(), empty_tuple.get(), empty_tuple.get(), filename.get(),
        name, qualname, def.line, empty_bytes.get(), empty_bytes.get()));
}

}  // namespace

PyTypeObject *function_type() noexcept {
    if (!the_type) the_type = reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&function_type_spec));
    return the_type;
}

Ref derive_function_type(PyType_Spec *derived) noexcept {
    PyTypeObject *base = function_type();
    if (!base) return {};
    Ref type = Ref::steal(PyType_FromSpecWithBases(derived, reinterpret_cast<PyObject *>(base)));
    if (!type) return {};
    // A new type's dict gets a __doc__ of its own, which would hide the descriptor that leads
    // to the function object's; put the base's descriptor back.
    auto *made = reinterpret_cast<PyTypeObject *>(type.get());
    PyObject *descriptor = PyDict_GetItemString(base->tp_dict, "__doc__");
    if (!descriptor || PyDict_SetItemString(made->tp_dict, "__doc__", descriptor) < 0) return {};
    PyType_Modified(made);
    return type;
}

Ref make_function(const FunctionDef &def, PyObject *globals, PyObject *defaults, PyTypeObject *type,
                  vectorcallfunc call) noexcept {
    if (!type && !(type = function_type())) return {};
    Ref self = Ref::steal(PyType_GenericAlloc(type, 0));
    if (!self) return {};
    FunctionObject *f = as_function(self.get());
    f->vectorcall = call ? call : function_vectorcall;
    f->def = &def;
    if (!(f->name = PyUnicode_InternFromString(def.name))) return {};
    f->qualname = def.qualname ? PyUnicode_FromString(def.qualname) : Py_NewRef(f->name);
    if (!f->qualname) return {};
    if (!(f->module = PyUnicode_FromString(this_module.dotted))) return {};
    f->doc = def.doc ? PyUnicode_FromString(def.doc) : Py_NewRef(Py_None);
    if (!f->doc) return {};
    f->globals = Py_NewRef(globals);
    f->defaults = Py_XNewRef(defaults);
    f->defaults_shown = Py_NewRef(defaults ? defaults : Py_None);
    f->kwdefaults_shown = Py_NewRef(Py_None);
    if (!(f->traceback_name = PyUnicode_FromFormat("%s.%s", this_module.dotted, def.name))) return {};
    if (!(f->code = make_code(def, f->name, f->qualname))) return {};
    return self;
}

}  // namespace norvale::frame
