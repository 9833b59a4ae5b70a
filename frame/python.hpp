// Single entry point for the interpreter and NumPy headers, so that every translation unit
// sees the same NumPy API settings and the one shared API table.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#ifndef NORVALE_FRAME_DEFINES_ARRAY_API
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
