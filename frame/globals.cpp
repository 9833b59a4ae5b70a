#include "frame/globals.hpp"

#include "frame/messages.hpp"
#include "frame/module.hpp"

namespace norvale::frame {

Ref get_global(const Name &name) noexcept {
    PyObject *found = _PyDict_GetItem_KnownHash(module_dict(), name.object(), name.hash());
    if (found) return Ref::borrow(found);
    if (PyErr_Occurred()) {
        // A failing lookup (say, a key whose comparison raises) falls back to the builtins.
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return {};
        PyErr_Clear();
    }
    Ref builtin = Ref::steal(PyObject_GetAttr(builtins_module(), name.object()));
    if (!builtin && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, message::name_not_defined, name.object());
    }
    return builtin;
}

Ref get_global_attr(const Name &module, const Name &attribute) noexcept {
    Ref owner = get_global(module);
    if (!owner) return {};
    return Ref::steal(PyObject_GetAttr(owner.get(), attribute.object()));
}

int set_global(PyObject *globals, const char *name, Ref value) noexcept {
    if (!value) return -1;
    return PyDict_SetItemString(globals, name, value.get());
}

Ref import_module(const char *dotted) noexcept {
    Ref name = Ref::steal(PyUnicode_FromString(dotted));
    if (!name) return {};
    return Ref::steal(PyImport_ImportModuleLevelObject(name.get(), module_dict(), nullptr, nullptr, 0));
}

}  // namespace norvale::frame
