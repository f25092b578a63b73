// The module's function type.
//
// Every function of the module is a `Function`: it binds like a Python function (read
// from an instance it gives a bound method), is called through vectorcall, and carries
// the attributes that `inspect.signature`, `help()` and documentation tools read from an
// ordinary function. The work is done by a body, which receives the function's globals and
// one named value per parameter, already bound and type-tested.
//
// A function is described by a parameter list written once, as rows of
//     X(name, kind, default, exact-type test, annotation expression)
// `NEMBRA_PARAMETERS(Values, LIST)` turns such a list into the struct `Values`, whose
// fields are named after the parameters and whose `parameters` table the binder reads;
// `define_function<Values, body>(...)` makes the description of a function whose body is
// `Ref body(const Values&)`. Counts, positions and the calling shape are all derived from
// the one list, and a malformed list does not compile.
#pragma once

#include "arguments.hpp"

namespace nembra {

// Calls a body with the function's globals and the bound values (one per parameter, in
// table order); returns a new reference, or nullptr with an exception set.
using Invoke = PyObject* (*)(PyObject* globals, PyObject* const* values);

// One function of the module, as data: its parameters, annotations, docstring and body.
struct FunctionSpec {
    Signature signature;
    const char* return_annotation;  // annotation expression, or nullptr
    const char* doc;                // docstring, or nullptr
    Invoke invoke;
};

#define NEMBRA_PARAMETER_ROW(name, kind, default_value, exact, annotation)             \
    ::nembra::Parameter{#name, ::nembra::Kind::kind, ::nembra::Default::default_value, \
                        ::nembra::Exact::exact, annotation},
#define NEMBRA_PARAMETER_FIELD(name, kind, default_value, exact, annotation) PyObject* name;
#define NEMBRA_PARAMETER_TAKE(name, kind, default_value, exact, annotation) taken.name = *at++;

#define NEMBRA_PARAMETERS(Values, LIST)                                                   \
    struct Values {                                                                       \
        PyObject* globals; /* the function's __globals__ */                               \
        LIST(NEMBRA_PARAMETER_FIELD)                                                      \
        static constexpr ::nembra::Parameter parameters[] = {LIST(NEMBRA_PARAMETER_ROW)}; \
        static Values take(PyObject* function_globals, PyObject* const* at) noexcept {    \
            Values taken;                                                                 \
            taken.globals = function_globals;                                             \
            LIST(NEMBRA_PARAMETER_TAKE)                                                   \
            return taken;                                                                 \
        }                                                                                 \
    }

template <class Values, Ref (*body)(const Values&)>
PyObject* invoke(PyObject* globals, PyObject* const* values) noexcept {
    return body(Values::take(globals, values)).release();
}

template <class Values, Ref (*body)(const Values&)>
constexpr FunctionSpec define_function(const char* name, const char* return_annotation,
                                       const char* doc) noexcept {
    static_assert(well_formed(Values::parameters),
                  "parameter table: at most kMaxParameters rows, positional rows first, defaults only on "
                  "trailing positional rows and on every keyword-only row, one row only for a required "
                  "positional parameter");
    return FunctionSpec{make_signature(name, Values::parameters), return_annotation, doc,
                        invoke<Values, body>};
}

struct Function {
    PyObject_HEAD vectorcallfunc vectorcall;
    Binding binding;
    Invoke invoke;
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
    PyObject* parameter_names;  // owned tuple that the binding borrows from
};

extern PyTypeObject FunctionType;

int ready_function_type() noexcept;

// Vectorcall of every function: binds, guards the native stack, runs the body.
PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames);

// Vectorcall of the module's classes: makes and initialises an instance as `type.__call__`
// does, without the generic call's argument tuple where `__init__` is one of ours.
PyObject* class_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames);

// Makes the function object of `spec` with its code object, default tuple, keyword-default
// dict and annotations, the annotations evaluated now in `globals`. Its qualified name is
// the class name, a dot and the short name, or the short name alone when `class_name` is
// nullptr.
Ref make_function(const FunctionSpec& spec, const char* class_name, PyObject* globals) noexcept;

}  // namespace nembra
