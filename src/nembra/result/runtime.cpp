#include "runtime.hpp"

#include <cstddef>
#include <cstdint>

#if PY_VERSION_HEX >= 0x030D0000
// Exported by the interpreter, declared only in its internal headers since 3.13.
extern "C" int _PyObject_GetMethod(PyObject* obj, PyObject* name, PyObject** method);
#endif

namespace nembra {

Runtime runtime;

Method lookup_method(PyObject* obj, PyObject* name) noexcept {
    PyObject* found = nullptr;
    const int unbound = _PyObject_GetMethod(obj, name, &found);
    Method method;
    method.callable = Ref::steal(found);
    if (unbound) method.self = obj;
    return method;
}

namespace {

void raise_name_error(PyObject* name) noexcept {
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
}

}  // namespace

Ref builtin(PyObject* name) noexcept {
    PyObject* value = PyDict_GetItemWithError(PyModule_GetDict(runtime.builtins), name);
    if (value != nullptr) return Ref::borrow(value);
    if (!PyErr_Occurred()) raise_name_error(name);
    return Ref();
}

// Names found in a module namespace are remembered with the namespace's version tag at
// that moment. The interpreter gives a dict a new tag, unique across all dicts, at every
// change, so an entry whose tag is the namespace's current one holds exactly what the
// namespace holds: a rebound or deleted name, or another namespace (that of a function
// from an earlier load), is looked up again. Entries own their values, so a value removed
// from the namespace stays valid until its entry is replaced. Interpreters that no longer
// keep the tag look every name up.
#if PY_VERSION_HEX < 0x030E0000
namespace {

struct CachedGlobal {
    PyObject* name = nullptr;  // an interned name, which lives for the process
    std::uint64_t version = 0;
    Constant value;
};

constexpr std::size_t kGlobalCacheSize = 16;
CachedGlobal global_cache[kGlobalCacheSize];

std::uint64_t version_of(PyObject* dict) noexcept {
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
}

CachedGlobal& cache_entry(PyObject* name) noexcept {
    return global_cache[(reinterpret_cast<std::uintptr_t>(name) >> 4) % kGlobalCacheSize];
}

}  // namespace

Ref global(PyObject* globals, PyObject* name) noexcept {
    CachedGlobal& entry = cache_entry(name);
    const std::uint64_t version = version_of(globals);
    if (entry.name == name && entry.version == version) return Ref::borrow(entry.value);
    PyObject* value = PyDict_GetItemWithError(globals, name);
    if (value == nullptr) return PyErr_Occurred() ? Ref() : builtin(name);
    Ref found = Ref::borrow(value);
    entry.name = nullptr;  // consistent while the previous value is released
    Ref previous = entry.value.replace(Ref::borrow(value));
    entry.version = version;
    entry.name = name;
    return found;
}
#else
Ref global(PyObject* globals, PyObject* name) noexcept {
    PyObject* value = PyDict_GetItemWithError(globals, name);
    if (value != nullptr) return Ref::borrow(value);
    return PyErr_Occurred() ? Ref() : builtin(name);
}
#endif

void raise_not_implemented() noexcept {
    PyErr_SetNone(runtime.not_implemented_error);
}

void raise_value_error(PyObject* args) noexcept {
    PyErr_SetObject(runtime.value_error, args);
}

Ref lookup_special(PyObject* obj, PyObject* name) noexcept {
    PyTypeObject* type = Py_TYPE(obj);
    PyObject* found = _PyType_Lookup(type, name);
    if (found == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetObject(PyExc_AttributeError, name);
        return Ref();
    }
    descrgetfunc get = Py_TYPE(found)->tp_descr_get;
    if (get == nullptr) return Ref::borrow(found);
    return Ref::steal(get(found, obj, reinterpret_cast<PyObject*>(type)));
}

namespace {

// Calls __exit__ while the block's exception is the one being handled, as the with
// statement does, so that an exception raised by __exit__ carries it as its context.
Ref call_exit(PyObject* exit, PyObject* type, PyObject* value, PyObject* traceback) noexcept {
    Ref handled_before = Ref::steal(PyErr_GetHandledException());
    PyErr_SetHandledException(value);
    Ref suppress = call(exit, type, value, traceback != nullptr ? traceback : Py_None);
    PyErr_SetHandledException(handled_before.get());
    return suppress;
}

}  // namespace

// Calls `__exit__` with the exception that ended the block: a true result drops the
// exception (1), a false one lets it propagate (-1).
int detail::exit_after_error(PyObject* exit) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    Ref value = Ref::steal(PyErr_GetRaisedException());
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value.get()));
    Ref traceback = Ref::steal(PyException_GetTraceback(value.get()));
    Ref suppress = call_exit(exit, type, value.get(), traceback.get());
    if (!suppress) return -1;
    const int truth = PyObject_IsTrue(suppress.get());
    if (truth < 0) return -1;
    if (truth) return 1;
    PyErr_SetRaisedException(value.release());
    return -1;
#else
    PyObject* type;
    PyObject* value;
    PyObject* traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Ref owned_type = Ref::steal(type);
    Ref owned_value = Ref::steal(value);
    Ref owned_traceback = Ref::steal(traceback);
    if (traceback != nullptr) PyException_SetTraceback(value, traceback);
    Ref suppress = call_exit(exit, type, value, traceback);
    if (!suppress) return -1;
    const int truth = PyObject_IsTrue(suppress.get());
    if (truth < 0) return -1;
    if (truth) return 1;
    PyErr_Restore(owned_type.release(), owned_value.release(), owned_traceback.release());
    return -1;
#endif
}

}  // namespace nembra
