// The function objects of every module: named, documented, introspectable, called through
// vectorcall, pickled by reference.
#pragma once

#include "frame/arguments.hpp"

namespace norvale::frame {

struct FunctionObject;

// A function body sees its bound arguments (one per parameter, borrowed). It returns a new
// reference, or nullptr with an exception set and `line` naming the failing step. It may throw:
// the frame turns C++ exceptions into Python ones.
using FunctionBody = PyObject *(*)(FunctionObject *self, PyObject *const *args, int &line);

struct FunctionDef {
    const char *name;           // __name__ and __qualname__
    const char *doc;            // __doc__: signature line, blank line, description
    ParameterList parameters;   // count 0: the function takes no arguments at all
    const char *const *locals;  // local names listed after the parameters in __code__
    Py_ssize_t local_count;
    FunctionBody body;
    int line;                        // first line of the function in its source
    const char *message_name = nullptr;  // name in argument messages, if not `name`
    const char *qualname = nullptr;      // __qualname__, if not `name`
    vectorcallfunc call = nullptr;       // a derived kind's own call, in place of binding + body
};

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionDef *def;
    PyObject *name;
    PyObject *qualname;
    PyObject *module;
    PyObject *doc;
    PyObject *globals;
    PyObject *dict;
    PyObject *code;
    PyObject *annotations;
    PyObject *defaults;           // used by calls; fixed when the function is made
    PyObject *defaults_shown;     // what __defaults__ reports
    PyObject *kwdefaults_shown;   // what __kwdefaults__ reports
    PyObject *traceback_name;     // "<dotted module>.<function>"
    PyObject *weakrefs;
    PyObject *extra;              // owned data of derived kinds
};

// The shared function type of this module file; made on first use.
PyTypeObject *function_type() noexcept;

// Derives a function kind from the shared type (for example one that adds a subscript).
// The derived type keeps the function object's own __doc__ and __module__.
PyTypeObject *derive_function_type(PyType_Spec *derived) noexcept;

// Makes a function object of `type` (the shared type or one derived from it) over `def`,
// which must outlive it. `defaults` (borrowed) is the tuple of default values, or nullptr.
PyObject *make_function(const FunctionDef &def, PyObject *globals, PyObject *defaults,
                        PyTypeObject *type = nullptr) noexcept;

// Runs a function's body on a vectorcall: binds the arguments, translates C++ exceptions and
// adds the traceback entry on failure.
PyObject *call_function(FunctionObject *self, PyObject *const *args, size_t nargsf, PyObject *kwnames) noexcept;

}  // namespace norvale::frame
