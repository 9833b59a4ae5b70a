// Create and exec steps: one module object per process, set up once, in a fixed order.
#include "frame/module.hpp"

#include <cstdint>

#include "frame/entry.hpp"
#include "frame/messages.hpp"
#include "frame/names.hpp"
#include "frame/numpy_binding.hpp"
#include "frame/ref.hpp"
#include "frame/traceback.hpp"
#include "frame/type_imports.hpp"

namespace norvale::frame {

namespace {

// Process-wide state of this module file; never freed.
constinit std::int64_t owning_interpreter = -1;
constinit PyObject *the_module = nullptr;
constinit PyObject *the_dict = nullptr;
constinit PyObject *the_builtins = nullptr;

int copy_module_spec_attribute(PyObject *module_spec, PyObject *module_dict, const char *from, const char *to,
                        bool skip_none) {
    Ref value = Ref::steal(PyObject_GetAttrString(module_spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    if (skip_none && value.get() == Py_None) return 0;
    return PyDict_SetItemString(module_dict, to, value.get());
}

PyObject *create_step(PyObject *module_spec, PyModuleDef *) noexcept {
    std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1 && PyErr_Occurred()) return nullptr;
    if (owning_interpreter == -1) {
        owning_interpreter = current;
    } else if (current != owning_interpreter) {
        PyErr_SetString(PyExc_ImportError, message::interpreter_change);
        return nullptr;
    }
    if (the_module) return Py_NewRef(the_module);

    Ref name = Ref::steal(PyObject_GetAttrString(module_spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject *dict = PyModule_GetDict(module.get());
    if (copy_module_spec_attribute(module_spec, dict, "loader", "__loader__", false) < 0 ||
        copy_module_spec_attribute(module_spec, dict, "origin", "__file__", false) < 0 ||
        copy_module_spec_attribute(module_spec, dict, "parent", "__package__", false) < 0 ||
        copy_module_spec_attribute(module_spec, dict, "submodule_search_locations", "__path__", true) < 0)
        return nullptr;
    return module.release();
}

// A module runs on the interpreter version whose headers it was built with; on another one it
// warns, naming both.
int check_python_version() {
    const int major = Py_Version >> 24, minor = (Py_Version >> 16) & 0xff;
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return 0;
    char text[200];
    PyOS_snprintf(text, sizeof text, message::version_mismatch, PY_MAJOR_VERSION, PY_MINOR_VERSION,
                  this_module.dotted, major, minor);
    return PyErr_WarnEx(PyExc_RuntimeWarning, text, 1);
}

int register_in_sys_modules() {
    PyObject *modules = PyImport_GetModuleDict();
    Ref name = Ref::steal(PyUnicode_FromString(this_module.dotted));
    if (!name) return -1;
    int present = PyDict_Contains(modules, name.get());
    if (present < 0) return -1;
    return present ? 0 : PyDict_SetItem(modules, name.get(), the_module);
}

// Everything exec does once the guard let it through, in its fixed order. Once the names exist,
// `traceback_entry` is set to `entry`: from then on a failure gains a traceback entry.
int run_exec(PyObject *module, const char *entry, const char *&traceback_entry) {
    the_module = Py_NewRef(module);
    the_dict = PyModule_GetDict(module);
    if (!the_builtins) {
        the_builtins = PyImport_ImportModule("builtins");
        if (!the_builtins) return -1;
    }
    if (PyObject_SetAttrString(module, "__builtins__", the_builtins) < 0) return -1;
    if (check_python_version() < 0) return -1;

    if (Name::prepare_all() < 0) return -1;
    traceback_entry = entry;
    if (this_module.constants && this_module.constants() < 0) return -1;

    if (this_module.numpy == NumpyBinding::at_exec && bind_numpy_at_exec() < 0) return -1;
    if (register_in_sys_modules() < 0) return -1;
    if (Builtin::fetch_all(the_builtins) < 0) return -1;
    if (this_module.numpy != NumpyBinding::none && import_numpy_types(this_module.broadcast) < 0)
        return -1;
    if (this_module.body(the_dict) < 0) return -1;

    Ref test = Ref::steal(PyDict_New());
    if (!test) return -1;
    return PyDict_SetItemString(the_dict, "__test__", test.get());
}

int exec_step(PyObject *module) noexcept {
    if (the_module) {
        if (the_module == module) return 0;
        PyErr_Format(PyExc_RuntimeError, message::reinitialisation, this_module.name);
        return -1;
    }
    char entry[256];
    PyOS_snprintf(entry, sizeof entry, message::init_entry, this_module.dotted);
    const char *traceback_entry = nullptr;
    const int status = guarded_status(&traceback_entry, [&]() -> Result {
        if (run_exec(module, entry, traceback_entry) == 0) return Ref::borrow(Py_None);
        if (!PyErr_Occurred()) {  // a failure without an exception is reported as the import's own
            PyErr_SetString(PyExc_ImportError, entry);
            traceback_entry = nullptr;
        }
        return Failure{1};
    }, 1);
    if (status < 0) {
        the_dict = nullptr;
        Py_CLEAR(the_module);
    }
    return status;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(create_step)},  // one module object per process
    {Py_mod_exec, reinterpret_cast<void *>(exec_step)},      // guards, constants, NumPy, body
    {0, nullptr},
};

}  // namespace

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    this_module.name,
    this_module.doc,
    0,        // no per-module state: it is process-wide
    nullptr,  // functions are placed by the module body
    slots,
    nullptr,
    nullptr,
    nullptr,
};

PyObject *module_dict() noexcept { return the_dict; }
PyObject *builtins_module() noexcept { return the_builtins; }

}  // namespace norvale::frame
