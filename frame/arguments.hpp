// Binding of a call's positional and keyword arguments to a function's parameters.
#pragma once

#include "frame/names.hpp"

namespace norvale::frame {

struct ParameterList {
    const Name *const *names;  // positional-or-keyword parameters, in order
    Py_ssize_t count;          // P
    Py_ssize_t required;       // R: the leading parameters without a default
};

// Fills values[0 .. P-1] with borrowed references: the arguments of a vectorcall, then the
// defaults (a tuple of P - R items). Fails with the interpreter's TypeError wording, naming
// the function `function`.
int bind_arguments(const char *function, const ParameterList &parameters, PyObject *defaults,
                   PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, PyObject **values) noexcept;

// The checks of a function without parameters; keywords are refused first.
int bind_no_arguments(const char *function, Py_ssize_t nargs, PyObject *kwnames) noexcept;

// For a parameter declared with a Python type: exactly that type, or None.
int check_argument_type(PyObject *value, PyTypeObject *type, const char *parameter) noexcept;

}  // namespace norvale::frame
