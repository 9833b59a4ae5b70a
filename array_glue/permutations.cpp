#include "array_glue/permutations.hpp"

#include "array_glue/messages.hpp"

namespace norvale::array_glue {

int check_one_entry_per_row(const char *what, Py_ssize_t size, Py_ssize_t length) noexcept {
    if (size == length) return 0;
    PyErr_Format(PyExc_ValueError, message::one_entry_per_row, what, size, length);
    return -1;
}

int refuse_permutation(const char *what, std::intptr_t position, std::intptr_t value, Py_ssize_t length,
                       const char *items) noexcept {
    const char *fault = value < 0 || value >= length ? message::entry_out_of_range : message::entry_repeated;
    PyErr_Format(PyExc_ValueError, message::not_a_permutation, what, length, items, what, Py_ssize_t(position),
                 Py_ssize_t(value), fault);
    return -1;
}

}  // namespace norvale::array_glue
