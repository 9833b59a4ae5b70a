#pragma once

#include "frame/python.hpp"

namespace norvale::frame {

// Binds the C-API table during exec; any failure becomes the frame's ImportError.
int bind_numpy_at_exec() noexcept;
int bind_numpy_in_body() noexcept;

}  // namespace norvale::frame
