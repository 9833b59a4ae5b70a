// Owning reference to a Python object: the one place where reference counts change hands.
#pragma once

#include <utility>

#include "frame/python.hpp"

namespace norvale::frame {

class Ref {
public:
    Ref() noexcept = default;
    // Takes over a reference the caller owns (the usual result of a C API call).
    static Ref steal(PyObject *object) noexcept {
        Ref ref;
        ref.object_ = object;
        return ref;
    }
    // Adds a reference of its own to a borrowed object.
    static Ref borrow(PyObject *object) noexcept { return steal(Py_XNewRef(object)); }

    Ref(const Ref &other) noexcept : object_(Py_XNewRef(other.object_)) {}
    Ref(Ref &&other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref &operator=(Ref other) noexcept {
        std::swap(object_, other.object_);
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }

    PyObject *get() const noexcept { return object_; }
    PyObject *release() noexcept { return std::exchange(object_, nullptr); }
    void reset() noexcept { Py_CLEAR(object_); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    PyObject *object_ = nullptr;
};

// Releases the interpreter lock for the lifetime of the guard.
class GilRelease {
public:
    GilRelease() noexcept : state_(PyEval_SaveThread()) {}
    ~GilRelease() { PyEval_RestoreThread(state_); }
    GilRelease(const GilRelease &) = delete;
    GilRelease &operator=(const GilRelease &) = delete;

private:
    PyThreadState *state_;
};

}  // namespace norvale::frame
