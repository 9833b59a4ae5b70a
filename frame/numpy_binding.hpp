// The NumPy C-API binding: NumPy's own import procedure, with this system's failure messages.
#pragma once

#include "frame/python.hpp"

namespace norvale::frame {

// During exec, before the module body: any failure becomes the frame's one ImportError.
int bind_numpy_at_exec() noexcept;

// From a module body, right after it imported numpy: a failure that is an Exception becomes
// ImportError "numpy._core.multiarray failed to import" with the failure as its context.
int bind_numpy_in_body() noexcept;

}  // namespace norvale::frame
