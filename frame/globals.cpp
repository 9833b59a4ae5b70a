#include "frame/globals.hpp"

#include "frame/module.hpp"
#include "frame/ref.hpp"

namespace norvale::frame {

PyObject *get_global(const Name &name) noexcept {
    PyObject *found = _PyDict_GetItem_KnownHash(module_dict(), name.object(), name.hash());
    if (found) return Py_NewRef(found);
    if (PyErr_Occurred()) {
        // A failing lookup (say, a key whose comparison raises) falls back to the builtins.
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
        PyErr_Clear();
    }
    found = PyObject_GetAttr(builtins_module(), name.object());
    if (!found && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.object());
    }
    return found;
}

PyObject *get_global_attr(const Name &module, const Name &attribute) noexcept {
    Ref owner = Ref::steal(get_global(module));
    if (!owner) return nullptr;
    return PyObject_GetAttr(owner.get(), attribute.object());
}

}  // namespace norvale::frame
