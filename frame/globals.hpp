// Module globals, looked up at each use, and the module dict's other traffic.
#pragma once

#include "frame/names.hpp"
#include "frame/ref.hpp"

namespace norvale::frame {

// The module dict, then the builtins module, else NameError; empty with the exception set.
Ref get_global(const Name &name) noexcept;

// getattr(get_global(module), attribute): the usual `np.empty` in one call.
Ref get_global_attr(const Name &module, const Name &attribute) noexcept;

// globals[name] = value; fails (-1) with the exception already set when `value` is empty, so
// that the result of a call that may fail can be stored directly.
int set_global(PyObject *globals, const char *name, Ref value) noexcept;

// Absolute import as the import statement does it, relative to the module's globals.
Ref import_module(const char *dotted) noexcept;

}  // namespace norvale::frame
