#include "frame/names.hpp"

#include "frame/messages.hpp"

namespace norvale::frame {

namespace {
constinit Name *first_name = nullptr;
constinit Builtin *first_builtin = nullptr;
constinit KeywordName *first_keyword = nullptr;
}  // namespace

Name::Name(const char *text) noexcept : text_(text), next_(first_name) { first_name = this; }

int Name::prepare_all() noexcept {
    for (Name *name = first_name; name; name = name->next_) {
        if (name->object_) continue;
        PyObject *object = PyUnicode_InternFromString(name->text_);
        if (!object) return -1;
        Py_hash_t hash = PyObject_Hash(object);
        if (hash == -1) {
            Py_DECREF(object);
            return -1;
        }
        name->object_ = object;  // kept for the life of the process
        name->hash_ = hash;
    }
    return KeywordName::prepare_all();
}

KeywordName::KeywordName(const Name &name) noexcept : name_(name), next_(first_keyword) { first_keyword = this; }

int KeywordName::prepare_all() noexcept {
    for (KeywordName *entry = first_keyword; entry; entry = entry->next_) {
        if (entry->tuple_) continue;
        entry->tuple_ = PyTuple_Pack(1, entry->name_.object());  // kept for the life of the process
        if (!entry->tuple_) return -1;
    }
    return 0;
}

Builtin::Builtin(const char *name) noexcept : name_(name), next_(first_builtin) { first_builtin = this; }

int Builtin::fetch_all(PyObject *builtins_module) noexcept {
    for (Builtin *entry = first_builtin; entry; entry = entry->next_) {
        if (entry->object_) continue;
        PyObject *object = PyObject_GetAttr(builtins_module, entry->name_.object());
        if (!object) {
            if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_Clear();
                PyErr_Format(PyExc_NameError, message::name_not_defined, entry->name_.object());
            }
            return -1;
        }
        entry->object_ = object;
    }
    return 0;
}

}  // namespace norvale::frame
