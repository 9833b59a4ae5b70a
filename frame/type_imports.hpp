#pragma once

#include "frame/module.hpp"

namespace norvale::frame {

// What happens when a type's instances are larger than the structure the module was built with.
enum class Larger { warn, accept };

struct ExpectedType {
    const char *module;
    const char *name;
    Py_ssize_t size;       // sizeof the structure in the headers this module is built with
    Py_ssize_t alignment;  // alignof it: a smaller nonzero item size counts as this much
    Larger larger;
};

// Imports `module`, takes its attribute `name` and checks it is a type at least `size` large
// (TypeError, ValueError; a RuntimeWarning for a larger one when asked). A new reference.
PyTypeObject *import_checked_type(const ExpectedType &expected) noexcept;

// Fetches the builtin and NumPy type objects the module relies on and checks their sizes
// against the structures of the headers it was built with. Keeps them for the process.
int import_numpy_types(BroadcastLayout broadcast) noexcept;

// numpy.ndarray as imported at exec; nullptr in modules without NumPy.
PyTypeObject *numpy_ndarray_type() noexcept;

}  // namespace norvale::frame
