// The function objects of every module: named, documented, introspectable, called through
// vectorcall, pickled by reference.
#pragma once

#include <cstddef>
#include <source_location>

#include "frame/arguments.hpp"
#include "frame/result.hpp"

namespace norvale::frame {

struct FunctionObject;

// A function body sees its bound arguments, one per parameter, borrowed. It returns its result
// or fail() (frame/result.hpp); the frame adds the traceback entry and stops C++ exceptions.
using FunctionBody = Result (*)(FunctionObject &self, PyObject *const *args);

// Arguments are bound into a fixed array on the stack.
inline constexpr std::size_t max_parameters = 16;

// The parameter names of a function, the first `Required` of them without a default.
template <std::size_t Required, std::size_t Count>
constexpr ParameterList parameters(const Name *const (&names)[Count]) noexcept {
    static_assert(Count <= max_parameters, "more parameters than a call can bind");
    static_assert(Required <= Count);
    return {names, Py_ssize_t(Count), Py_ssize_t(Required)};
}
inline constexpr ParameterList no_parameters{nullptr, 0, 0};

// The local names that __code__ lists after the parameters.
struct LocalNames {
    const char *const *names;
    Py_ssize_t count;
};
template <std::size_t Count>
constexpr LocalNames locals(const char *const (&names)[Count]) noexcept {
    return {names, Py_ssize_t(Count)};
}
inline constexpr LocalNames no_locals{nullptr, 0};

struct FunctionDef {
    const char *name;            // __name__, and __qualname__ unless `qualname` is given
    const char *doc;             // __doc__: signature line, blank line, description
    ParameterList parameters;    // none: the function takes no arguments at all
    LocalNames locals;
    FunctionBody body;
    int line;                    // where the function is defined, for __code__ and tracebacks
    const char *qualname;
};

// A function definition, its line taken from where it is written.
constexpr FunctionDef function_def(const char *name, const char *doc, ParameterList parameters, LocalNames locals,
                                   FunctionBody body,
                                   std::source_location at = std::source_location::current()) noexcept {
    return {name, doc, parameters, locals, body, int(at.line()), nullptr};
}

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

// A function object over `def`, which must outlive it; `defaults` (borrowed) is the tuple of
// default values, or nullptr. A derived kind passes its type and its own vectorcall.
Ref make_function(const FunctionDef &def, PyObject *globals, PyObject *defaults = nullptr,
                  PyTypeObject *type = nullptr, vectorcallfunc call = nullptr) noexcept;

// Derives a function kind from the shared type (for example one that adds a subscript).
// The derived type keeps the function object's own __doc__ (and, through getattro, __module__).
Ref derive_function_type(PyType_Spec *derived) noexcept;

}  // namespace norvale::frame
