#pragma once

#include "frame/python.hpp"

namespace norvale::frame {

// Turns the C++ exception being handled into a Python exception. Call it only inside a catch
// block. A Python exception already pending stands, and the C++ one is dropped.
void raise_from_cpp_exception() noexcept;

}  // namespace norvale::frame
