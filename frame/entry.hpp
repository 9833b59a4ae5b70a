// The guarded entry: every function, slot and method that the interpreter calls runs its body
// through one of these, and nothing else catches C++ exceptions or adds traceback entries.
//
// A body returns a Result (frame/result.hpp). On failure, whether by a Result without a value or
// by a C++ exception (turned into a Python one by the frame's table), the exception gains one
// traceback entry named `entry` at the failing line, and the interpreter gets NULL or -1.
#pragma once

#include <source_location>

#include "frame/exceptions.hpp"
#include "frame/result.hpp"

namespace norvale::frame {

// Completes a failure: the exception (a SystemError if the body set none) gains its entry. An
// entry known only once the body ran is passed by address; a null one adds no entry.
void leave_failed(const char *entry, int line) noexcept;
void leave_failed(PyObject *entry, int line) noexcept;
inline void leave_failed(const char *const *entry, int line) noexcept { leave_failed(*entry, line); }

// `entry` names the traceback entry (a C string or a str object); `line`, where the entry is
// written unless given, is the line reported for a C++ exception, which carries none of its own.
template <typename Entry, typename Body>
PyObject *guarded(Entry entry, Body &&body, int line = int(std::source_location::current().line())) noexcept {
    PyObject *result = nullptr;
    try {
        Result outcome = body();
        line = outcome.line();
        result = outcome.release();
    } catch (...) {
        raise_from_cpp_exception();
    }
    if (!result) leave_failed(entry, line);
    return result;
}

// For slots that answer 0 or -1 (tp_init and the like): success is any result, which is dropped.
template <typename Entry, typename Body>
int guarded_status(Entry entry, Body &&body, int line = int(std::source_location::current().line())) noexcept {
    PyObject *result = guarded(entry, static_cast<Body &&>(body), line);
    if (!result) return -1;
    Py_DECREF(result);
    return 0;
}

}  // namespace norvale::frame
