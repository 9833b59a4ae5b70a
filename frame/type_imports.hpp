#pragma once

#include "frame/module.hpp"

namespace norvale::frame {

// Fetches the builtin and NumPy type objects the module relies on and checks their sizes
// against the structures of the headers it was built with. Keeps them for the process.
int import_numpy_types(BroadcastLayout broadcast) noexcept;

PyTypeObject *imported_ndarray_type() noexcept;

}  // namespace norvale::frame
