// Interned names and cached builtins, declared where they are used and prepared once at exec.
//
// Each declaration links itself into a per-module list at load time; the exec step walks the
// lists, so no module has to keep a separate table of the names it uses.
#pragma once

#include "frame/python.hpp"

namespace norvale::frame {

class Name {
public:
    explicit Name(const char *text) noexcept;
    Name(const Name &) = delete;
    Name &operator=(const Name &) = delete;

    PyObject *object() const noexcept { return object_; }
    Py_hash_t hash() const noexcept { return hash_; }
    const char *text() const noexcept { return text_; }

    // Interns every declared name and computes its hash; idempotent.
    static int prepare_all() noexcept;

private:
    const char *text_;
    PyObject *object_ = nullptr;
    Py_hash_t hash_ = -1;
    Name *next_;
};

// The keyword-name tuple of a call that passes one keyword argument, e.g. ("dtype",); made at
// exec right after the names, and shared by every call.
class KeywordName {
public:
    explicit KeywordName(const Name &name) noexcept;
    KeywordName(const KeywordName &) = delete;
    KeywordName &operator=(const KeywordName &) = delete;

    PyObject *tuple() const noexcept { return tuple_; }

    static int prepare_all() noexcept;

private:
    const Name &name_;
    PyObject *tuple_ = nullptr;
    KeywordName *next_;
};

// A builtin looked up once at exec; a missing one fails the import with NameError.
class Builtin {
public:
    explicit Builtin(const char *name) noexcept;
    Builtin(const Builtin &) = delete;
    Builtin &operator=(const Builtin &) = delete;

    PyObject *object() const noexcept { return object_; }

    static int fetch_all(PyObject *builtins_module) noexcept;

private:
    Name name_;
    PyObject *object_ = nullptr;
    Builtin *next_;
};

}  // namespace norvale::frame
