// The module frame: definition, create and exec steps shared by every extension module.
//
// A module source provides `this_module` and a one-line `PyInit_<name>` returning
// `PyModuleDef_Init(&norvale::frame::module_def)`; everything else happens here.
#pragma once

#include "frame/python.hpp"

namespace norvale::frame {

enum class NumpyBinding {
    none,     // the module does not use NumPy
    at_exec,  // bind the C-API during exec, before the module body
    in_body,  // the module body binds it itself, right after importing numpy
};

// The size check applied to numpy.broadcast: modules differ in how much of it they declare.
enum class BroadcastLayout { dimensions_only, with_iterators };

struct ModuleConfig {
    const char *name;        // bare module name, e.g. "tail_guid"
    const char *dotted;      // e.g. "norvale.cython.tail_guid"
    const char *doc;         // module docstring, or nullptr
    const char *source;      // file name shown in traceback entries
    NumpyBinding numpy;
    BroadcastLayout broadcast;
    int (*constants)();              // optional: module constants made at exec step 4
    int (*body)(PyObject *globals);  // the module body: imports, variables, functions
};

// Defined by each module source.
extern const ModuleConfig this_module;
// The definition handed to PyModuleDef_Init.
extern PyModuleDef module_def;

// Process-wide state set up by exec; valid once the module is executing.
PyObject *module_dict() noexcept;
PyObject *builtins_module() noexcept;
PyTypeObject *numpy_ndarray_type() noexcept;  // nullptr in modules without NumPy

// The NumPy C-API binding used by modules that bind it in their body; raises ImportError
// "numpy._core.multiarray failed to import" chained to the cause.
int bind_numpy_in_body() noexcept;

// Stores `value` (a new reference, consumed) in the module dict under `name`.
int set_global(PyObject *globals, const char *name, PyObject *value) noexcept;

// Absolute import as the import statement does it: returns the module (new reference).
PyObject *import_module(const char *dotted) noexcept;

}  // namespace norvale::frame
