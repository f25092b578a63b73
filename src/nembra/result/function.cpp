#include "function.hpp"

#include <cstddef>

#include "names.hpp"

namespace nembra {

namespace {

inline Function* as_function(PyObject* self) noexcept { return reinterpret_cast<Function*>(self); }

PyObject* default_constant(Default d) noexcept {
    return d == Default::Utf8 ? names.utf_8 : Py_None;
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    Function* f = as_function(callable);
    PyObject* values[kMaxParameters];
    if (bind(f->binding, args, PyVectorcall_NARGS(nargsf), kwnames, values) < 0) return nullptr;
    // Results can hold themselves; a native call chain must hit the recursion limit, not
    // the end of the C stack.
    if (Py_EnterRecursiveCall(" while calling a nembra.result function")) return nullptr;
    PyObject* result = f->body(values);
    Py_LeaveRecursiveCall();
    return result;
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
    Py_VISIT(f->keyword_only_defaults);
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
    Py_CLEAR(f->keyword_only_defaults);
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

Ref make_qualname(const FunctionSpec& spec, const char* class_name) noexcept {
    if (class_name == nullptr) return Ref::steal(PyUnicode_FromString(spec.signature.name));
    return Ref::steal(PyUnicode_FromFormat("%s.%s", class_name, spec.signature.name));
}

// The default tuple pairs with the last positional parameters; None when there is none.
Ref make_defaults(const Signature& sig, int required) noexcept {
    const int count = sig.positional - required;
    if (count == 0) return none();
    Ref tuple = Ref::steal(PyTuple_New(count));
    if (!tuple) return tuple;
    for (int i = 0; i < count; ++i) {
        const Parameter& param = sig.parameters[required + i];
        PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(default_constant(param.default_value)));
    }
    return tuple;
}

Ref make_kwdefaults(const Signature& sig) noexcept {
    if (sig.keyword_only == 0) return none();
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return dict;
    for (int p = sig.positional; p < sig.count(); ++p) {
        const Parameter& param = sig.parameters[p];
        if (PyDict_SetItemString(dict.get(), param.name, default_constant(param.default_value)) < 0) {
            return Ref();
        }
    }
    return dict;
}

Ref make_keyword_only_defaults(const Signature& sig) noexcept {
    Ref tuple = Ref::steal(PyTuple_New(sig.keyword_only));
    if (!tuple) return tuple;
    for (int i = 0; i < sig.keyword_only; ++i) {
        const Parameter& param = sig.parameters[sig.positional + i];
        PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(default_constant(param.default_value)));
    }
    return tuple;
}

Ref make_parameter_names(const Signature& sig) noexcept {
    Ref tuple = Ref::steal(PyTuple_New(sig.count()));
    if (!tuple) return tuple;
    for (int p = 0; p < sig.count(); ++p) {
        PyObject* name = PyUnicode_InternFromString(sig.parameters[p].name);
        if (name == nullptr) return Ref();
        PyTuple_SET_ITEM(tuple.get(), p, name);
    }
    return tuple;
}

int leading_required(const Signature& sig) noexcept {
    int required = 0;
    while (required < sig.positional && sig.parameters[required].default_value == Default::Required) {
        ++required;
    }
    return required;
}

// Points the binding at the names and defaults that the function object owns.
void prepare_binding(Function* f, const Signature& sig) noexcept {
    Binding& b = f->binding;
    b.signature = &sig;
    b.required = leading_required(sig);
    b.tested = 0;
    for (int p = 0; p < sig.count(); ++p) {
        if (sig.parameters[p].exact != Exact::Any) b.tested |= 1u << p;
    }
    for (int p = 0; p < sig.count(); ++p) b.names[p] = PyTuple_GET_ITEM(f->parameter_names, p);
    for (int p = b.required; p < sig.positional; ++p) {
        b.defaults[p] = PyTuple_GET_ITEM(f->defaults, p - b.required);
    }
    for (int i = 0; i < sig.keyword_only; ++i) {
        b.defaults[sig.positional + i] = PyTuple_GET_ITEM(f->keyword_only_defaults, i);
    }
}

}  // namespace

PyTypeObject FunctionType = {PyVarObject_HEAD_INIT(nullptr, 0)};

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
    FunctionType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                            Py_TPFLAGS_METHOD_DESCRIPTOR;
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

Ref make_function(const FunctionSpec& spec, const char* class_name, PyObject* globals,
                  PyObject* code, PyObject* annotations) noexcept {
    const Signature& sig = spec.signature;
    Ref name = Ref::steal(PyUnicode_InternFromString(sig.name));
    Ref qualname = make_qualname(spec, class_name);
    Ref doc = spec.doc == nullptr ? none() : Ref::steal(PyUnicode_FromString(spec.doc));
    Ref defaults = make_defaults(sig, leading_required(sig));
    Ref kwdefaults = make_kwdefaults(sig);
    Ref keyword_only_defaults = make_keyword_only_defaults(sig);
    Ref parameter_names = make_parameter_names(sig);
    if (!name || !qualname || !doc || !defaults || !kwdefaults || !keyword_only_defaults || !parameter_names) {
        return Ref();
    }

    Function* f = PyObject_GC_New(Function, &FunctionType);
    if (f == nullptr) return Ref();
    f->binding = Binding{};
    f->body = spec.body;
    f->name = name.release();
    f->qualname = qualname.release();
    f->module = Py_NewRef(names.module_name);
    f->doc = doc.release();
    f->globals = Py_NewRef(globals);
    f->defaults = defaults.release();
    f->kwdefaults = kwdefaults.release();
    f->annotations = Py_NewRef(annotations);
    f->code = Py_NewRef(code);
    f->dict = nullptr;
    f->weakreflist = nullptr;
    f->keyword_only_defaults = keyword_only_defaults.release();
    f->parameter_names = parameter_names.release();
    prepare_binding(f, sig);
    f->vectorcall = function_vectorcall;
    PyObject_GC_Track(f);
    return Ref::steal(reinterpret_cast<PyObject*>(f));
}

}  // namespace nembra
