#pragma once

#include "frame/python.hpp"

namespace norvale::frame {

// Adds one traceback entry named `function` at `line` to the exception being raised.
// Code objects are cached per (function, line), so a repeated failure builds nothing new.
void add_traceback(const char *function, int line) noexcept;

}  // namespace norvale::frame
