#pragma once

#include "frame/element_types.hpp"

namespace norvale::frame {

// Checks that a buffer format string (struct-module syntax) describes exactly one item that
// matches `type`; raises ValueError otherwise. `type_name` is the name used in messages.
int check_buffer_format(const char *format, const ElementType &type, const char *type_name) noexcept;

}  // namespace norvale::frame
