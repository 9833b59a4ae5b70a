#include "array_glue/kernel_calls.hpp"

#include "array_glue/messages.hpp"

namespace norvale::array_glue {

int raise_for(kernels::Status status, const char *what) noexcept {
    switch (status) {
        case kernels::Status::ok: return 0;
        case kernels::Status::out_of_memory: PyErr_SetString(PyExc_MemoryError, message::out_of_memory); return -1;
        case kernels::Status::input_changed: PyErr_Format(PyExc_RuntimeError, message::changed_under_pass, what); return -1;
    }
    return -1;
}

}  // namespace norvale::array_glue
