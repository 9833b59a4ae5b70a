// What a module source needs from the frame.
#pragma once

#include "frame/arguments.hpp"
#include "frame/element_types.hpp"
#include "frame/entry.hpp"
#include "frame/function.hpp"
#include "frame/globals.hpp"
#include "frame/module.hpp"
#include "frame/names.hpp"
#include "frame/numpy_binding.hpp"
#include "frame/ref.hpp"
#include "frame/result.hpp"
#include "frame/type_imports.hpp"
#include "frame/view.hpp"

// The frame's names that every module source uses, brought in by `using namespace
// norvale::frame::common;`.
namespace norvale::frame::common {
using norvale::frame::fail;
using norvale::frame::Ref;
using norvale::frame::Result;
using norvale::frame::View;
namespace elem = norvale::frame::elem;
}  // namespace norvale::frame::common
