#include "frame/entry.hpp"

#include "frame/messages.hpp"
#include "frame/traceback.hpp"

namespace norvale::frame {

namespace {

void ensure_exception() noexcept {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, message::failed_without_exception);
}

}  // namespace

void leave_failed(const char *entry, int line) noexcept {
    ensure_exception();
    if (entry) add_traceback(entry, line);
}

void leave_failed(PyObject *entry, int line) noexcept {
    ensure_exception();
    // The name is read with the exception set aside, then the exception is put back.
    PyObject *raised = PyErr_GetRaisedException();
    const char *text = PyUnicode_AsUTF8(entry);
    if (!text) PyErr_Clear();
    PyErr_SetRaisedException(raised);
    if (text) add_traceback(text, line);
}

}  // namespace norvale::frame
