// The module frame: definition, create and exec steps shared by every extension module.
//
// Each module source defines `norvale::frame::this_module`, its ModuleConfig, and a one-line
// `PyInit_<name>` returning `PyModuleDef_Init(&norvale::frame::module_def)`. The frame is a static
// library linked into every module's shared object, so each shared object resolves
// `this_module` to its own definition and keeps its own process-wide state.
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
    const char *name;                 // bare module name, e.g. "tail_guid"
    const char *dotted;               // e.g. "norvale.cython.tail_guid"
    const char *source;               // file name shown in traceback entries
    int (*body)(PyObject *globals);   // the module body: imports, variables, functions
    const char *doc = nullptr;        // module docstring
    NumpyBinding numpy = NumpyBinding::at_exec;
    BroadcastLayout broadcast = BroadcastLayout::dimensions_only;
    // Made once exec has interned the names, before NumPy is bound. It may be run again by an
    // import retried after a failed exec, so it keeps what it made the first time.
    int (*constants)() = nullptr;
};

extern const ModuleConfig this_module;
// The definition handed to PyModuleDef_Init.
extern PyModuleDef module_def;

// Process-wide state set up by exec; valid once the module is executing.
PyObject *module_dict() noexcept;
PyObject *builtins_module() noexcept;

}  // namespace norvale::frame
