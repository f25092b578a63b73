// What the bodies of the module's functions share: module-level name resolution, calls,
// attribute access, the `with` statement, signal checks and the module's error constants.
#pragma once

#include "names.hpp"

namespace nembra {

// Set when the module executes; they live for the rest of the process.
struct Runtime {
    Constant builtins;               // the `builtins` module
    Constant value_error;            // builtins.ValueError, fetched once
    Constant not_implemented_error;  // builtins.NotImplementedError, fetched once
};

extern Runtime runtime;

// Resolves a module-level name at the moment of use: `globals` (the namespace of the
// calling function, which the function owns), then the builtins, else NameError
// "name '...' is not defined".
Ref global(PyObject* globals, PyObject* name) noexcept;

// Looks `name` up in the builtins only (the same NameError when it is missing).
Ref builtin(PyObject* name) noexcept;

// obj.name and obj.name = value. The names are interned str, so the generic attribute
// protocol can be entered directly where the type uses it.
inline Ref attr(PyObject* obj, PyObject* name) noexcept {
    if (Py_TYPE(obj)->tp_getattro == PyObject_GenericGetAttr) {
        return Ref::steal(PyObject_GenericGetAttr(obj, name));
    }
    return Ref::steal(PyObject_GetAttr(obj, name));
}

inline int set_attr(PyObject* obj, PyObject* name, PyObject* value) noexcept {
    if (Py_TYPE(obj)->tp_setattro == PyObject_GenericSetAttr)
        return PyObject_GenericSetAttr(obj, name, value);
    return PyObject_SetAttr(obj, name, value);
}

// callable(args...). The argument array keeps a free slot in front, so that a bound
// method can put its instance there instead of copying the arguments.
template <class... Args>
Ref call(PyObject* callable, const Args&... args) noexcept {
    PyObject* stack[] = {nullptr, static_cast<PyObject*>(args)...};
    return Ref::steal(
        PyObject_Vectorcall(callable, stack + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// callable(arg). A builtin function that takes one object (METH_O) is entered directly,
// as the interpreter's own call of such a builtin does; anything else is called through
// vectorcall.
inline Ref call_one(PyObject* callable, PyObject* arg) noexcept {
    if (PyCFunction_CheckExact(callable) && PyCFunction_GET_FLAGS(callable) == METH_O) {
        return Ref::steal(PyCFunction_GET_FUNCTION(callable)(PyCFunction_GET_SELF(callable), arg));
    }
    return call(callable, arg);
}

// obj.name(args...), without making a bound method where the interpreter can avoid it.
template <class... Args>
Ref call_method(PyObject* obj, PyObject* name, const Args&... args) noexcept {
    PyObject* stack[] = {obj, static_cast<PyObject*>(args)...};
    return Ref::steal(PyObject_VectorcallMethod(
        name, stack, (sizeof...(Args) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// A method looked up as `obj.name` would be, but without making a bound method when the
// attribute is a plain function of the type: then `self` is set and is passed first.
struct Method {
    Ref callable;
    PyObject* self = nullptr;

    explicit operator bool() const noexcept { return static_cast<bool>(callable); }

    template <class... Args>
    Ref operator()(const Args&... args) const noexcept {
        if (self == nullptr) return call(callable.get(), args...);
        return call(callable.get(), self, args...);
    }
};

Method lookup_method(PyObject* obj, PyObject* name) noexcept;

inline Ref new_dict() noexcept {
    return Ref::steal(PyDict_New());
}
inline Ref new_list() noexcept {
    return Ref::steal(PyList_New(0));
}

// Raises the NotImplementedError class itself, without a message.
void raise_not_implemented() noexcept;

// Raises ValueError with a one-item argument tuple made once.
void raise_value_error(PyObject* args) noexcept;

// Loops over rows, headers, views and zip entries run Python code only where their items
// do; `tick()` once per item runs the signal handlers every few thousand items, so that
// Ctrl-C stops a long serialisation promptly. Returns -1 when a handler raised. A loop
// that must prepare for handlers (Python code) asks `due()` and calls
// PyErr_CheckSignals() itself when it says so.
class SignalCheck {
public:
    bool due() noexcept {
        if (++count_ < kInterval) return false;
        count_ = 0;
        return true;
    }

    int tick() noexcept { return due() ? PyErr_CheckSignals() : 0; }

private:
    static constexpr unsigned kInterval = 4096;
    unsigned count_ = 0;
};

// Looks a special method up on the type of `obj` and binds it, as the `with` statement
// does; AttributeError with the bare name when the type lacks it.
Ref lookup_special(PyObject* obj, PyObject* name) noexcept;

// The `with` statement around `body(entered)`, which returns 0 or -1 with an exception
// set. `__exit__` is looked up before `__enter__`. Returns 0 when the block completed, 1
// when `__exit__` suppressed an exception of the block, -1 with an exception set.
template <class Block>
int with_block(PyObject* manager, Block&& body) noexcept;

namespace detail {
int exit_after_error(PyObject* exit) noexcept;
}

// Keeps the exception being raised aside while cleanup code runs, and raises it again
// when the scope ends.
class PendingError {
public:
    PendingError() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
        value_ = PyErr_GetRaisedException();
#else
        PyErr_Fetch(&type_, &value_, &traceback_);
#endif
    }
    PendingError(const PendingError&) = delete;
    PendingError& operator=(const PendingError&) = delete;
    ~PendingError() {
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetRaisedException(value_);
#else
        PyErr_Restore(type_, value_, traceback_);
#endif
    }

private:
#if PY_VERSION_HEX < 0x030C0000
    PyObject* type_ = nullptr;
    PyObject* traceback_ = nullptr;
#endif
    PyObject* value_ = nullptr;
};

template <class Block>
int with_block(PyObject* manager, Block&& body) noexcept {
    Ref exit = lookup_special(manager, names.str___exit__);
    if (!exit) return -1;
    Ref enter = lookup_special(manager, names.str___enter__);
    if (!enter) return -1;
    Ref entered = call(enter.get());
    if (!entered) return -1;
    if (body(entered.get()) < 0) return detail::exit_after_error(exit.get());
    return call(exit.get(), Py_None, Py_None, Py_None) ? 0 : -1;
}

}  // namespace nembra
