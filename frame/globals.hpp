#pragma once

#include "frame/names.hpp"

namespace norvale::frame {

// Looks a module global up at each use: the module dict, then the builtins module, else
// NameError. Returns a new reference, or nullptr with an exception set.
PyObject *get_global(const Name &name) noexcept;

// getattr(get_global(module), attribute): the usual `np.empty` in one call.
PyObject *get_global_attr(const Name &module, const Name &attribute) noexcept;

}  // namespace norvale::frame
