// A function that dispatches on its first argument to one of several entry functions, kept in
// a signature table: `f(x, ...)` calls the entry that the selector names for x with the caller's
// arguments unchanged, `f[key]` returns an entry, `f.__signatures__` lists them.
#pragma once

#include "frame/function.hpp"
#include "frame/names.hpp"

namespace norvale::frame {

struct DispatchDef {
    FunctionDef function;  // first, so that a function object's def leads back here
    // Picks the key of the entry for the first argument: a str of the table, or None for no
    // match ("No matching signature found"); fail() with the exception set.
    Result (*select)(PyObject *first);
    const Name *first_parameter;     // the keyword that may carry the first argument
    Py_ssize_t expected_arguments;   // for the message when no first argument is given
};

// The dispatching function over `def`, with `table` (a dict of key -> entry, which it takes).
Ref make_dispatching_function(const DispatchDef &def, PyObject *globals, Ref table) noexcept;

}  // namespace norvale::frame
