// How a function body ends: with its result, or with the line of the step that failed.
//
// A body returns a Ref, which is its result when it holds an object, or `fail()`, with the
// Python exception set. Both take the line they are written on, so the traceback entry of a
// failure names the failing step without any bookkeeping that could be forgotten:
//
//     if (elements.bind(args[0]) < 0) return frame::fail();
//     return Ref::steal(PyTuple_Pack(2, unique.get(), inverse.get()));  // a null result fails here
#pragma once

#include <source_location>
#include <utility>

#include "frame/ref.hpp"

namespace norvale::frame {

struct Failure {
    int line;
};

// The failing step: the exception is set, its traceback entry takes this line.
[[nodiscard]] inline Failure fail(std::source_location at = std::source_location::current()) noexcept {
    return {int(at.line())};
}

class [[nodiscard]] Result {
public:
    Result(Ref value, std::source_location at = std::source_location::current()) noexcept
        : value_(std::move(value)), line_(int(at.line())) {}
    Result(Failure failure) noexcept : line_(failure.line) {}

    bool ok() const noexcept { return bool(value_); }
    int line() const noexcept { return line_; }
    PyObject *release() noexcept { return value_.release(); }

private:
    Ref value_;
    int line_;
};

}  // namespace norvale::frame
