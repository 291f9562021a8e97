// An owned reference to a Python object.
//
// Rules of use:
//  1. Every reference the binding owns lives in a Ref; borrowed references (arguments, items read
//     from a container that outlives their use) stay plain PyObject*.
//  2. `steal` adopts a new reference (a C-API return value, possibly null); `borrow` adds one.
//  3. `release` hands the reference over, once, at the return to the interpreter or to a call
//     that steals it.
//  4. A Ref holding an object is only destroyed while the thread is attached to the interpreter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace korvane::python {

class Ref {
public:
    Ref() noexcept = default;

    [[nodiscard]] static Ref steal(PyObject* object) noexcept { return Ref(object); }
    [[nodiscard]] static Ref borrow(PyObject* object) noexcept { return Ref(Py_XNewRef(object)); }

    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        Ref old(std::exchange(object_, std::exchange(other.object_, nullptr)));
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(object_); }

    [[nodiscard]] PyObject* get() const noexcept { return object_; }
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    explicit Ref(PyObject* object) noexcept : object_(object) {}

    PyObject* object_ = nullptr;
};

}  // namespace korvane::python
