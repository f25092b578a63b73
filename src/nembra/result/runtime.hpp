// What the bodies of the module's functions share: module-level name resolution, calls,
// attribute access, the `with` statement and the module's error constants.
#pragma once

#include <initializer_list>

#include "names.hpp"

namespace nembra {

// The module namespace and the builtins, set when the module executes.
struct Runtime {
    PyObject* globals = nullptr;  // borrowed from the loaded module
    Constant builtins;              // the `builtins` module
    Constant value_error;           // builtins.ValueError, fetched once
    Constant not_implemented_error; // builtins.NotImplementedError, fetched once
};

extern Runtime runtime;

// Resolves a module-level name at the moment of use: the module namespace, then the
// builtins, else NameError "name '...' is not defined".
Ref global(PyObject* name) noexcept;

// Starts following changes of the module namespace, for `global()`'s cache.
int watch_namespace() noexcept;

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
    if (Py_TYPE(obj)->tp_setattro == PyObject_GenericSetAttr) return PyObject_GenericSetAttr(obj, name, value);
    return PyObject_SetAttr(obj, name, value);
}

inline Ref call(PyObject* callable, std::initializer_list<PyObject*> args = {}) noexcept {
    return Ref::steal(PyObject_Vectorcall(callable, args.begin(), args.size(), nullptr));
}

// callable(arg). A builtin function that takes one object (METH_O) is entered directly,
// as the interpreter's own call of such a builtin does; anything else is called through
// vectorcall.
inline Ref call_one(PyObject* callable, PyObject* arg) noexcept {
    if (PyCFunction_CheckExact(callable) && PyCFunction_GET_FLAGS(callable) == METH_O) {
        return Ref::steal(PyCFunction_GET_FUNCTION(callable)(PyCFunction_GET_SELF(callable), arg));
    }
    return Ref::steal(PyObject_Vectorcall(callable, &arg, 1, nullptr));
}

// obj.name(*args), without making a bound method where the interpreter can avoid it.
inline Ref call_method(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> args = {}) noexcept {
    PyObject* stack[4] = {obj};
    size_t n = 1;
    for (PyObject* a : args) stack[n++] = a;
    return Ref::steal(PyObject_VectorcallMethod(name, stack, n, nullptr));
}

// A method looked up as `obj.name` would be, but without making a bound method when the
// attribute is a plain function of the type: then `self` is set and must be passed first.
struct Method {
    Ref callable;
    PyObject* self = nullptr;

    explicit operator bool() const noexcept { return static_cast<bool>(callable); }
    Ref operator()(PyObject* arg) const noexcept;
    Ref operator()(PyObject* first, PyObject* second) const noexcept;
};

Method lookup_method(PyObject* obj, PyObject* name) noexcept;

inline Ref new_dict() noexcept { return Ref::steal(PyDict_New()); }
inline Ref new_list() noexcept { return Ref::steal(PyList_New(0)); }

// Raises the NotImplementedError class itself, without a message.
void raise_not_implemented() noexcept;

// Raises ValueError with a one-item argument tuple made once.
void raise_value_error(PyObject* args) noexcept;

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
    Ref exit = lookup_special(manager, names.dunder_exit);
    if (!exit) return -1;
    Ref enter = lookup_special(manager, names.dunder_enter);
    if (!enter) return -1;
    Ref entered = call(enter.get());
    if (!entered) return -1;
    if (body(entered.get()) < 0) return detail::exit_after_error(exit.get());
    return call(exit.get(), {Py_None, Py_None, Py_None}) ? 0 : -1;
}

}  // namespace nembra
