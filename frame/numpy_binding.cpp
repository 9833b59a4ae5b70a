// The NumPy C-API binding: NumPy's own import procedure, with this system's failure messages.
#define NORVALE_FRAME_DEFINES_ARRAY_API
#include "frame/numpy_binding.hpp"

#include "frame/messages.hpp"

namespace norvale::frame {

int bind_numpy_at_exec() noexcept {
    if (_import_array() >= 0) return 0;
    // Whatever went wrong, the import reports one ImportError in place of the cause.
    PyErr_SetString(PyExc_ImportError, message::numpy_at_exec_failed);
    return -1;
}

int bind_numpy_in_body() noexcept {
    if (_import_array() >= 0) return 0;
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, message::numpy_binding_failed);
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return -1;  // KeyboardInterrupt and the like pass
    PyObject *cause = PyErr_GetRaisedException();
    PyErr_SetString(PyExc_ImportError, message::numpy_in_body_failed);
    PyObject *raised = PyErr_GetRaisedException();
    PyException_SetContext(raised, cause);  // steals cause
    PyErr_SetRaisedException(raised);
    return -1;
}

}  // namespace norvale::frame
