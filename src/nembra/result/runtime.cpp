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

Ref Method::operator()(PyObject* arg) const noexcept {
    if (self == nullptr) return call(callable.get(), {arg});
    return call(callable.get(), {self, arg});
}

Ref Method::operator()(PyObject* first, PyObject* second) const noexcept {
    if (self == nullptr) return call(callable.get(), {first, second});
    return call(callable.get(), {self, first, second});
}

namespace {

void raise_name_error(PyObject* name) noexcept {
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
}

}  // namespace

Ref builtin(PyObject* name) noexcept {
    PyObject* value = PyDict_GetItemWithError(PyModule_GetDict(runtime.builtins.get()), name);
    if (value != nullptr) return Ref::borrow(value);
    if (!PyErr_Occurred()) raise_name_error(name);
    return Ref();
}

// Module-level names found in the module namespace are remembered together with the
// namespace's version at that moment: any change to the namespace gives it a new version,
// so a rebound or deleted name is looked up again at its next use. On 3.12 and newer,
// where the dict version is no longer public, a dict watcher bumps a version of our own.
namespace {

struct CachedGlobal {
    PyObject* name = nullptr;   // borrowed: the interned names live for the process
    PyObject* value = nullptr;  // borrowed from the namespace, valid while the version holds
    std::uint64_t version = 0;
};

constexpr std::size_t kGlobalCacheSize = 16;
CachedGlobal global_cache[kGlobalCacheSize];

#if PY_VERSION_HEX >= 0x030C0000
std::uint64_t namespace_generation = 1;
int namespace_watcher = -1;

int on_namespace_event(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    ++namespace_generation;
    return 0;
}

std::uint64_t namespace_version() noexcept { return namespace_generation; }
#else
std::uint64_t namespace_version() noexcept {
    return reinterpret_cast<PyDictObject*>(runtime.globals)->ma_version_tag;
}
#endif

CachedGlobal& cache_entry(PyObject* name) noexcept {
    return global_cache[(reinterpret_cast<std::uintptr_t>(name) >> 4) % kGlobalCacheSize];
}

}  // namespace

int watch_namespace() noexcept {
    for (CachedGlobal& entry : global_cache) entry = CachedGlobal{};
#if PY_VERSION_HEX >= 0x030C0000
    ++namespace_generation;
    if (namespace_watcher < 0) {
        namespace_watcher = PyDict_AddWatcher(on_namespace_event);
        if (namespace_watcher < 0) return -1;
    }
    return PyDict_Watch(namespace_watcher, runtime.globals);
#else
    return 0;
#endif
}

Ref global(PyObject* name) noexcept {
    CachedGlobal& entry = cache_entry(name);
    const std::uint64_t version = namespace_version();
    if (entry.name == name && entry.version == version) return Ref::borrow(entry.value);
    PyObject* value = PyDict_GetItemWithError(runtime.globals, name);
    if (value != nullptr) {
        entry = CachedGlobal{name, value, version};
        return Ref::borrow(value);
    }
    if (PyErr_Occurred()) return Ref();
    return builtin(name);
}

void raise_not_implemented() noexcept { PyErr_SetNone(runtime.not_implemented_error.get()); }

void raise_value_error(PyObject* args) noexcept { PyErr_SetObject(runtime.value_error.get(), args); }

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
    Ref suppress = call(exit, {type, value, traceback != nullptr ? traceback : Py_None});
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
