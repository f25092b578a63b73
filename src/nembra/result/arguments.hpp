// Describing a function's parameters, and binding a call's arguments to them.
//
// Every function of the module is described by a `Signature`; `bind()` is the only place
// that turns a vectorcall's arguments into one borrowed value per parameter, and the only
// place that raises the binding and argument-type errors.
#pragma once

#include "ref.hpp"

namespace nembra {

constexpr int kMaxParameters = 6;

// The two calling shapes. A `OneArgument` function takes exactly one positional argument
// and no keyword at all; a `General` function binds positional and keyword arguments like
// a Python function.
enum class Shape : unsigned char { OneArgument, General };

// Default value of a parameter, as a constant made when the module executes.
enum class Default : unsigned char { Required, None, Utf8 };

// An argument-type test run after binding: the value must be None or of exactly this type.
enum class Exact : unsigned char { Any, Dict, Str };

struct Parameter {
    const char* name;
    Default default_value = Default::Required;
    Exact exact = Exact::Any;
    // Annotation expression (see annotations in module.cpp), or nullptr for none.
    const char* annotation = nullptr;
};

struct Signature {
    const char* name;  // the short name, used in every binding message
    Shape shape;
    int positional;    // positional-or-keyword parameters, the instance included
    int keyword_only;
    Parameter parameters[kMaxParameters];

    int count() const noexcept { return positional + keyword_only; }
};

// Per-function binding data prepared from a Signature when the function object is made:
// the interned parameter names and the default value of each parameter (nullptr where
// required). Both are borrowed from constants that live as long as the function.
struct Binding {
    const Signature* signature = nullptr;
    int required = 0;  // leading positional parameters without a default
    unsigned tested = 0;  // bit p set: parameter p has an exact-type test
    PyObject* names[kMaxParameters] = {};
    PyObject* defaults[kMaxParameters] = {};
};

// The general case of `bind()`.
int bind_arguments(const Binding& binding, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** values) noexcept;

// Runs the exact-type tests of the parameters marked in `binding.tested`.
int test_types(const Binding& binding, PyObject** values) noexcept;

// Binds `args`/`kwnames` of a vectorcall into `values` (borrowed references) and runs the
// argument-type tests. Returns 0, or -1 with TypeError set. Inline for the common call
// without keywords and with an acceptable number of positional arguments.
inline int bind(const Binding& binding, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                PyObject** values) noexcept {
    const Signature& sig = *binding.signature;
    if (kwnames == nullptr && nargs >= binding.required && nargs <= sig.positional) {
        for (Py_ssize_t p = 0; p < nargs; ++p) values[p] = args[p];
        for (int p = static_cast<int>(nargs); p < sig.count(); ++p) values[p] = binding.defaults[p];
        return binding.tested == 0 ? 0 : test_types(binding, values);
    }
    return bind_arguments(binding, args, nargs, kwnames, values);
}

// "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)"
void raise_argument_type(const char* name, const char* expected, PyObject* value) noexcept;

}  // namespace nembra
