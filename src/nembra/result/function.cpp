#include "function.hpp"

#include <cstddef>
#include <cstdint>

#include "names.hpp"

#if PY_VERSION_HEX >= 0x030D0000
// Exported by the interpreter, declared only in its internal headers since 3.13.
extern "C" PyObject* _PyObject_MakeTpCall(PyThreadState* tstate, PyObject* callable, PyObject* const* args,
                                          Py_ssize_t nargs, PyObject* keywords);
#endif

#if defined(__linux__) || defined(__APPLE__)
#include <pthread.h>
#endif

// glibc 2.32 and 2.34 gave these functions new default versions when libpthread moved into
// libc; the original versions, which every glibc still has, keep the module loadable on
// the older systems that wheels target.
#if defined(__GLIBC__) && defined(__x86_64__)
__asm__(".symver pthread_getattr_np,pthread_getattr_np@GLIBC_2.2.5");
__asm__(".symver pthread_attr_getstack,pthread_attr_getstack@GLIBC_2.2.5");
#elif defined(__GLIBC__) && defined(__aarch64__)
__asm__(".symver pthread_getattr_np,pthread_getattr_np@GLIBC_2.17");
__asm__(".symver pthread_attr_getstack,pthread_attr_getstack@GLIBC_2.17");
#endif

namespace nembra {

namespace {

// A chain of native calls (a result that holds itself, say) uses C stack at every level.
// The interpreter's limits do not bound that use: 3.11 counts only Python frames, and the
// C recursion limit of 3.12 and 3.13 assumes a large stack, so a high recursion limit or a
// thread with a small stack would let the chain run off the end of the stack. Each call
// therefore also checks how much of its thread's stack is left.
constexpr std::uintptr_t kStackReserve = 256 * 1024;  // left for the interpreter and callees

// The lowest stack address a call may start at, on the calling thread.
std::uintptr_t stack_floor(std::uintptr_t here) noexcept {
    std::uintptr_t low = 0;
    std::uintptr_t size = 0;
#if defined(__linux__)
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
        void* address = nullptr;
        std::size_t length = 0;
        if (pthread_attr_getstack(&attributes, &address, &length) == 0) {
            low = reinterpret_cast<std::uintptr_t>(address);
            size = length;
        }
        pthread_attr_destroy(&attributes);
    }
#elif defined(__APPLE__)
    size = pthread_get_stacksize_np(pthread_self());
    low = reinterpret_cast<std::uintptr_t>(pthread_get_stackaddr_np(pthread_self())) - size;
#endif
    if (size == 0 || here < low || here - low > size) return here > kStackReserve ? here - kStackReserve : 0;
    const std::uintptr_t reserve = size / 4 < kStackReserve ? size / 4 : kStackReserve;
    return low + reserve;
}

int check_native_stack() noexcept {
    static thread_local std::uintptr_t floor = 0;
    const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    if (floor == 0) floor = stack_floor(here);
    if (here >= floor) return 0;
    PyErr_SetString(PyExc_RecursionError,
                    "maximum recursion depth exceeded while calling a nembra.result function");
    return -1;
}

constexpr const char kRecursionWhere[] = " while calling a nembra.result function";

// The interpreter's recursion check around a call. From 3.12 it is a counter on the
// thread state that Py_EnterRecursiveCall and Py_LeaveRecursiveCall step (functions, not
// inline, from 3.13); it is stepped here directly, and only when it runs out does the
// interpreter's own check run, to raise RecursionError as it does.
//
// The same counter tells how deep the thread's calls are. The stack is measured only past
// kShallowDepth levels: fewer cannot come near the end of the stack, given the reserve
// that the measurement keeps, and most calls are made at such depths.
constexpr int kShallowDepth = 48;

class RecursionGuard {
public:
#if PY_VERSION_HEX >= 0x030C0000
#if PY_VERSION_HEX >= 0x030D0000
    static constexpr int kLimit = Py_C_RECURSION_LIMIT;
#else
    static constexpr int kLimit = C_RECURSION_LIMIT;
#endif
    int enter() noexcept {
        state_ = _PyThreadState_UncheckedGet();
        if (state_->c_recursion_remaining-- > 0) return 0;
        ++state_->c_recursion_remaining;
        return Py_EnterRecursiveCall(kRecursionWhere);
    }
    void leave() noexcept {
        ++state_->c_recursion_remaining;
    }
    bool deep() const noexcept {
        return kLimit - state_->c_recursion_remaining > kShallowDepth;
    }
#else
    int enter() noexcept {
        state_ = PyThreadState_Get();
        return Py_EnterRecursiveCall(kRecursionWhere);
    }
    void leave() noexcept {
        Py_LeaveRecursiveCall();
    }
    bool deep() const noexcept {
        return state_->recursion_limit - state_->recursion_remaining > kShallowDepth;
    }
#endif

private:
    PyThreadState* state_ = nullptr;
};

inline Function* as_function(PyObject* self) noexcept {
    return reinterpret_cast<Function*>(self);
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

// A function cleared by the cycle collector may still be seen by a finalizer; its repr
// and pickling must not read the names it has dropped.
PyObject* function_repr(PyObject* self) {
    PyObject* qualname = as_function(self)->qualname;
    if (qualname == nullptr) return PyUnicode_FromFormat("<function at %p>", self);
    return PyUnicode_FromFormat("<function %U at %p>", qualname, self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    Function* f = as_function(self);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->globals);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->code);
    Py_VISIT(f->dict);
    Py_VISIT(f->parameter_names);
    return 0;
}

int function_clear(PyObject* self) {
    Function* f = as_function(self);
    // The binding borrows from the defaults; a cleared function must not be callable.
    f->binding = Binding{};
    f->vectorcall = nullptr;
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->code);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->parameter_names);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    if (as_function(self)->weakreflist != nullptr) PyObject_ClearWeakRefs(self);
    function_clear(self);
    PyObject_GC_Del(self);
}

PyObject* function_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    if (as_function(self)->vectorcall == nullptr) {
        PyErr_SetString(PyExc_SystemError, "function object has been cleared");
        return nullptr;
    }
    return PyVectorcall_Call(self, args, kwargs);
}

// Pickling and copying refer to the function by its qualified name, as for a function
// defined in Python.
PyObject* function_reduce(PyObject* self, PyObject*) {
    PyObject* qualname = as_function(self)->qualname;
    if (qualname == nullptr) {
        PyErr_SetString(PyExc_TypeError, "cannot pickle a cleared function");
        return nullptr;
    }
    return Py_NewRef(qualname);
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// Attribute access. Read-only attributes have no setter.

PyObject** slot_of(PyObject* self, void* closure) {
    return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) +
                                        reinterpret_cast<std::ptrdiff_t>(closure));
}

#define NEMBRA_SLOT(field) reinterpret_cast<void*>(offsetof(Function, field))

PyObject* get_slot(PyObject* self, void* closure) {
    PyObject* value = *slot_of(self, closure);
    return Py_NewRef(value != nullptr ? value : Py_None);
}

int set_any(PyObject* self, PyObject* value, void* closure) {
    Py_XSETREF(*slot_of(self, closure), Py_XNewRef(value != nullptr ? value : Py_None));
    return 0;
}

int set_str(PyObject* self, PyObject* value, void* closure, const char* what) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_XSETREF(*slot_of(self, closure), Py_NewRef(value));
    return 0;
}

int set_name(PyObject* self, PyObject* value, void* closure) {
    return set_str(self, value, closure, "__name__");
}

int set_qualname(PyObject* self, PyObject* value, void* closure) {
    return set_str(self, value, closure, "__qualname__");
}

PyObject* get_annotations(PyObject* self, void*) {
    Function* f = as_function(self);
    if (f->annotations == nullptr) {
        f->annotations = PyDict_New();
        if (f->annotations == nullptr) return nullptr;
    }
    return Py_NewRef(f->annotations);
}

int set_annotations(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_function(self)->annotations, Py_XNewRef(value));
    return 0;
}

PyGetSetDef function_getset[] = {
    {"__name__", get_slot, set_name, nullptr, NEMBRA_SLOT(name)},
    {"__qualname__", get_slot, set_qualname, nullptr, NEMBRA_SLOT(qualname)},
    {"__module__", get_slot, set_any, nullptr, NEMBRA_SLOT(module)},
    {"__doc__", get_slot, set_any, nullptr, NEMBRA_SLOT(doc)},
    {"__globals__", get_slot, nullptr, nullptr, NEMBRA_SLOT(globals)},
    {"__defaults__", get_slot, nullptr, nullptr, NEMBRA_SLOT(defaults)},
    {"__kwdefaults__", get_slot, nullptr, nullptr, NEMBRA_SLOT(kwdefaults)},
    {"__code__", get_slot, nullptr, nullptr, NEMBRA_SLOT(code)},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#undef NEMBRA_SLOT

}  // namespace

PyTypeObject FunctionType = {PyVarObject_HEAD_INIT(nullptr, 0)};

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    Function* f = as_function(callable);
    BoundValues bound;
    if (bind(f->binding, args, PyVectorcall_NARGS(nargsf), kwnames, bound) < 0) return nullptr;
    // Results can hold themselves; a native call chain must hit the recursion limit, not
    // the end of the C stack.
    RecursionGuard recursion;
    if (recursion.enter() < 0) return nullptr;
    if (recursion.deep() && check_native_stack() < 0) {
        recursion.leave();
        return nullptr;
    }
    PyObject* result = f->invoke(f->globals, bound.values);
    recursion.leave();
    return result;
}

int ready_function_type() noexcept {
    if (FunctionType.tp_flags & Py_TPFLAGS_READY) return 0;
    FunctionType.tp_name = "nembra.result.function";
    FunctionType.tp_basicsize = sizeof(Function);
    FunctionType.tp_dealloc = function_dealloc;
    FunctionType.tp_vectorcall_offset = offsetof(Function, vectorcall);
    FunctionType.tp_repr = function_repr;
    FunctionType.tp_call = function_call;
    FunctionType.tp_getattro = PyObject_GenericGetAttr;
    FunctionType.tp_setattro = PyObject_GenericSetAttr;
    FunctionType.tp_flags =
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
    FunctionType.tp_doc = "Function of the nembra.result module.";
    FunctionType.tp_traverse = function_traverse;
    FunctionType.tp_clear = function_clear;
    FunctionType.tp_weaklistoffset = offsetof(Function, weakreflist);
    FunctionType.tp_methods = function_methods;
    FunctionType.tp_getset = function_getset;
    FunctionType.tp_descr_get = function_descr_get;
    FunctionType.tp_dictoffset = offsetof(Function, dict);
    return PyType_Ready(&FunctionType);
}

// `Cls(...)` is `type.__call__`: `object.__new__` makes the instance and `__init__`, looked
// up on the class at the call, is called with it and must return None. When `__new__` is
// object's and `__init__` is one of the module's functions, that is done here with the
// call's own argument vector, without the argument tuple and keyword dict that the
// generic path makes; anything else takes the generic path.
PyObject* class_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    constexpr Py_ssize_t kMostArguments = 15;
    auto* type = reinterpret_cast<PyTypeObject*>(callable);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t total = nargs + (kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames));
    PyObject* init = _PyType_Lookup(type, names.str___init__);
    if (type->tp_new != PyBaseObject_Type.tp_new || PyType_HasFeature(type, Py_TPFLAGS_IS_ABSTRACT) ||
        init == nullptr || Py_TYPE(init) != &FunctionType || as_function(init)->vectorcall == nullptr ||
        total > kMostArguments) {
        return _PyObject_MakeTpCall(PyThreadState_Get(), callable, args, nargs, kwnames);
    }
    Ref held_init = Ref::borrow(init);  // allocating can run finalizers that rebind it
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    PyObject* stack[kMostArguments + 1];
    stack[0] = self.get();
    for (Py_ssize_t i = 0; i < total; ++i) stack[i + 1] = args[i];
    Ref result =
        Ref::steal(function_vectorcall(held_init.get(), stack, static_cast<size_t>(nargs + 1), kwnames));
    if (!result) return nullptr;
    if (result.get() != Py_None) {
        PyErr_Format(PyExc_TypeError, "__init__() should return None, not '%.200s'",
                     Py_TYPE(result.get())->tp_name);
        return nullptr;
    }
    return self.release();
}

}  // namespace nembra
