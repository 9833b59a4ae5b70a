#include "frame/arguments.hpp"

#include "frame/messages.hpp"

namespace norvale::frame {

namespace {

// Exact strings compare by hash, length and content; subclasses by their own equality.
int same_name(PyObject *given, const Name &name) {
    if (given == name.object()) return 1;
    if (PyUnicode_CheckExact(given)) {
        Py_hash_t hash = PyObject_Hash(given);
        if (hash == -1) return -1;
        return hash == name.hash() && PyUnicode_GET_LENGTH(given) == PyUnicode_GET_LENGTH(name.object()) &&
               PyUnicode_Compare(given, name.object()) == 0;
    }
    return PyObject_RichCompareBool(given, name.object(), Py_EQ);
}

Py_ssize_t find_parameter(PyObject *key, const ParameterList &parameters, Py_ssize_t from, Py_ssize_t to) {
    // Identity first: keyword names from source code are the interned parameter names.
    for (Py_ssize_t i = from; i < to; ++i)
        if (key == parameters.names[i]->object()) return i;
    for (Py_ssize_t i = from; i < to; ++i) {
        int same = same_name(key, *parameters.names[i]);
        if (same < 0) return -2;
        if (same) return i;
    }
    return -1;
}

void count_error(const char *function, const char *bound, Py_ssize_t expected, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, message::positional_count, function, bound, expected, expected == 1 ? "" : "s", given);
}

}  // namespace

int bind_arguments(const char *function, const ParameterList &parameters, PyObject *defaults,
                   PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, PyObject **values) noexcept {
    const Py_ssize_t count = parameters.count, required = parameters.required;
    if (nargs > count) {
        count_error(function, required == count ? "exactly" : "at most", count, nargs);
        return -1;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) values[i] = args[i];
    for (Py_ssize_t i = nargs; i < count; ++i) values[i] = nullptr;

    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, message::keywords_must_be_strings, function);
            return -1;
        }
        Py_ssize_t index = find_parameter(key, parameters, nargs, count);
        if (index == -2) return -1;
        if (index >= 0 && !values[index]) {
            values[index] = args[nargs + k];
            continue;
        }
        Py_ssize_t earlier = index >= 0 ? index : find_parameter(key, parameters, 0, nargs);
        if (earlier == -2) return -1;
        if (earlier >= 0)
            PyErr_Format(PyExc_TypeError, message::multiple_values, function, key);
        else
            PyErr_Format(PyExc_TypeError, message::unexpected_keyword, function, key);
        return -1;
    }

    for (Py_ssize_t i = 0; i < required; ++i) {
        if (!values[i]) {
            count_error(function, required == count ? "exactly" : "at least", required, i);
            return -1;
        }
    }
    for (Py_ssize_t i = required; i < count; ++i)
        if (!values[i]) values[i] = PyTuple_GET_ITEM(defaults, i - required);
    return 0;
}

int bind_no_arguments(const char *function, Py_ssize_t nargs, PyObject *kwnames) noexcept {
    if (kwnames && PyTuple_GET_SIZE(kwnames) > 0) {
        PyErr_Format(PyExc_TypeError, message::takes_no_keywords, function);
        return -1;
    }
    if (nargs > 0) {
        PyErr_Format(PyExc_TypeError, message::takes_no_arguments, function, nargs);
        return -1;
    }
    return 0;
}

int check_argument_type(PyObject *value, PyTypeObject *type, const char *parameter) noexcept {
    if (value == Py_None || Py_IS_TYPE(value, type)) return 0;
    PyErr_Format(PyExc_TypeError, message::incorrect_argument_type, parameter, type->tp_name, Py_TYPE(value)->tp_name);
    return -1;
}

}  // namespace norvale::frame
