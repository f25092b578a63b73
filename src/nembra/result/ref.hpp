// Owned references.
//
// Rules of use, for every file of this module:
//  - A `Ref` owns exactly one strong reference (or none). It is move-only and releases its
//    reference when it goes out of scope, so an early `return nullptr` on an error path
//    never leaks.
//  - A raw `PyObject*` is always borrowed. Functions that return a new reference return a
//    `Ref`; when a raw new reference must be handed to the interpreter (a slot's return
//    value), call `release()` at that last moment.
//  - A `Constant` owns an object for the rest of the process (interned names, the module's
//    constants); it can be used wherever a borrowed `PyObject*` is expected.
//  - `Ref::steal(p)` adopts a new reference returned by a C API call (null stays null, with
//    the interpreter's exception set). `Ref::borrow(p)` takes an extra reference on p.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace nembra {

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : ptr_(other.ptr_) { other.ptr_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = ptr_;
            ptr_ = other.ptr_;
            other.ptr_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(ptr_); }

    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject* get() const noexcept { return ptr_; }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    void reset() noexcept { Py_CLEAR(ptr_); }

private:
    explicit Ref(PyObject* p) noexcept : ptr_(p) {}
    PyObject* ptr_ = nullptr;
};

// A reference kept in static storage for the rest of the process. Assigning replaces it
// and releases the previous one; it is never released at exit, when the interpreter
// that owns it may already be gone. Since it lives as long as the process, it lends its
// object wherever a borrowed `PyObject*` is expected.
class Constant {
public:
    Constant() noexcept = default;
    Constant(const Constant&) = delete;
    Constant& operator=(const Constant&) = delete;
    Constant& operator=(Ref&& value) noexcept {
        Ref previous = replace(std::move(value));
        return *this;
    }
    // Stores `value` and hands back the previous reference, to be released by the caller
    // once this one is consistent again (releasing can run Python code).
    [[nodiscard]] Ref replace(Ref&& value) noexcept {
        return Ref::steal(std::exchange(ptr_, value.release()));
    }

    PyObject* get() const noexcept { return ptr_; }
    operator PyObject*() const noexcept { return ptr_; }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

private:
    PyObject* ptr_ = nullptr;
};

inline Ref none() noexcept {
    return Ref::borrow(Py_None);
}

}  // namespace nembra
