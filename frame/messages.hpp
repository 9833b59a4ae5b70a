// Every message the frame raises or warns with. They are part of the modules' behaviour and
// follow the interpreter's own wording byte for byte, so they stand here as whole format
// strings: a search for any message finds its one definition.
#pragma once

namespace norvale::frame::message {

// Binding a call's arguments to parameters.
inline constexpr char positional_count[] = "%.200s() takes %.8s %zd positional argument%.1s (%zd given)";
inline constexpr char keywords_must_be_strings[] = "%.200s() keywords must be strings";
inline constexpr char multiple_values[] = "%s() got multiple values for keyword argument '%U'";
inline constexpr char unexpected_keyword[] = "%s() got an unexpected keyword argument '%U'";
inline constexpr char takes_no_keywords[] = "%.200s() takes no keyword arguments";
inline constexpr char takes_no_arguments[] = "%.200s() takes no arguments (%zd given)";
inline constexpr char incorrect_argument_type[] = "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)";

// Binding a typed view over a buffer.
inline constexpr char wrong_dimensions[] = "Buffer has wrong number of dimensions (expected %d, got %d)";
inline constexpr char dtype_mismatch[] = "Buffer dtype mismatch, expected '%s' but got %s";
inline constexpr char dtype_mismatch_past_end[] = "Buffer dtype mismatch, expected end but got %s";
inline constexpr char item_size_mismatch[] = "Item size of buffer (%zu byte%s) does not match size of '%s' (%zu byte%s)";
inline constexpr char not_contiguous_in_dimension[] = "Buffer and memoryview are not contiguous in the same dimension.";
inline constexpr char suboffsets_without_strides[] = "Buffer exposes suboffsets but no strides";
inline constexpr char no_direct_access[] = "Buffer not compatible with direct access in dimension %d.";
inline constexpr char not_c_contiguous[] = "Buffer not C contiguous.";
inline constexpr char shares_memory[] = "%s must not share memory with %s";

// The format checker.
inline constexpr char unexpected_format_character[] = "Unexpected format string character: '%c'";
inline constexpr char unreadable_count[] = "Does not understand character buffer dtype format string ('%c')";
inline constexpr char no_standard_long_double[] =
    "Python does not define a standard format string size for long double ('g')..";
inline constexpr char unexpected_end_in_shape[] = "Unexpected end of format string, expected ')'";
inline constexpr char comma_expected_in_shape[] = "Expected a comma in format string, got '%c'";
inline constexpr char shape_dimensions[] = "Expected %d dimension(s), got %d";
inline constexpr char big_endian[] = "Big-endian buffer not supported on little-endian compiler";
inline constexpr char repeated_arrays[] = "Cannot handle repeated arrays in format string";
inline constexpr char brace_after_struct[] = "Buffer acquisition: Expected '{' after 'T'";
inline constexpr char struct_nesting_too_deep[] = "Buffer acquisition: struct nesting too deep in format string";

// Function objects.
inline constexpr char name_must_be_string[] = "__name__ must be set to a string object";
inline constexpr char qualname_must_be_string[] = "__qualname__ must be set to a string object";
inline constexpr char defaults_must_be_tuple[] = "__defaults__ must be set to a tuple object";
inline constexpr char kwdefaults_must_be_dict[] = "__kwdefaults__ must be set to a dict object";
inline constexpr char annotations_must_be_dict[] = "__annotations__ must be set to a dict object";
inline constexpr char defaults_for_show_only[] = "changes to %s do not affect the values used in calls";
inline constexpr char failed_without_exception[] = "native function failed without setting an exception";
// The dispatching function.
inline constexpr char too_few_arguments[] = "Expected at least %zd argument%.1s, got %zd";
inline constexpr char no_matching_signature[] = "No matching signature found";

// Module globals.
inline constexpr char name_not_defined[] = "name '%U' is not defined";

// The module lifecycle.
inline constexpr char interpreter_change[] =
    "Interpreter change detected - this module can only be loaded into one interpreter per process.";
inline constexpr char reinitialisation[] =
    "Module '%s' has already been imported. Re-initialisation is not supported.";
inline constexpr char version_mismatch[] =
    "compile time Python version %d.%d of module '%.100s' does not match runtime version %d.%d";
inline constexpr char init_entry[] = "init %s";

// Binding the NumPy C-API.
inline constexpr char numpy_at_exec_failed[] =
    "numpy.core.multiarray failed to import (auto-generated because you didn't call "
    "'numpy.import_array()' after cimporting numpy; use '<void>numpy._import_array' to "
    "disable if you are certain you don't need it).";
inline constexpr char numpy_in_body_failed[] = "numpy._core.multiarray failed to import";
inline constexpr char numpy_binding_failed[] = "NumPy C-API binding failed";

// Imported types.
inline constexpr char not_a_type[] = "%.200s.%.200s is not a type object";
inline constexpr char size_changed[] =
    "%.200s.%.200s size changed, may indicate binary incompatibility. Expected %zd from C header, got %zd from PyObject";

// C++ exceptions of unknown kind.
inline constexpr char unknown_exception[] = "Unknown exception";

}  // namespace norvale::frame::message
