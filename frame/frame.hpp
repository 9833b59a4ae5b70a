// Everything a module source needs from the frame.
#pragma once

#include "frame/arguments.hpp"
#include "frame/element_types.hpp"
#include "frame/exceptions.hpp"
#include "frame/function.hpp"
#include "frame/globals.hpp"
#include "frame/module.hpp"
#include "frame/names.hpp"
#include "frame/ref.hpp"
#include "frame/rows.hpp"
#include "frame/traceback.hpp"
#include "frame/type_imports.hpp"
#include "frame/view.hpp"
