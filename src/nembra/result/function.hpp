// The module's function type.
//
// Every function of the module is a `Function`: it binds like a Python function (read
// from an instance it gives a bound method), is called through vectorcall, and carries
// the attributes that `inspect.signature`, `help()` and documentation tools read from an
// ordinary function. The work is done by a `Body`, which receives one borrowed value per
// parameter, already bound and type-tested.
#pragma once

#include "arguments.hpp"

namespace nembra {

using Body = PyObject* (*)(PyObject* const* values);

// One function of the module, as data: its parameters, annotations, docstring and body.
struct FunctionSpec {
    Signature signature;
    const char* return_annotation;  // annotation expression, or nullptr
    const char* doc;                // docstring, or nullptr
    Body body;
};

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    Binding binding;
    Body body;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* globals;
    PyObject* defaults;
    PyObject* kwdefaults;
    PyObject* annotations;
    PyObject* code;
    PyObject* dict;
    PyObject* weakreflist;
    // Owned tuples that the binding borrows from.
    PyObject* keyword_only_defaults;
    PyObject* parameter_names;
};

extern PyTypeObject FunctionType;

int ready_function_type() noexcept;

// Makes the function object of `spec` with its default tuple and keyword-default dict.
// Its qualified name is the class name, a dot and the short name, or the short name alone
// when `class_name` is nullptr. `code` and `annotations` (a dict) are stored as they are.
Ref make_function(const FunctionSpec& spec, const char* class_name, PyObject* globals,
                  PyObject* code, PyObject* annotations) noexcept;

}  // namespace nembra
