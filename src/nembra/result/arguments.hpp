// Describing a function's parameters, and binding a call's arguments to them.
//
// Every function of the module is described by a table of `Parameter` rows; the counts
// that binding needs are derived from the table and the table is checked at compile time
// (`well_formed`). `bind()` is the only place that turns a vectorcall's arguments into one
// value per parameter, and the only place that raises the binding and argument-type errors.
#pragma once

#include <cstddef>

#include "ref.hpp"

namespace nembra {

constexpr int kMaxParameters = 6;

// How a parameter is passed: by position or keyword, or by keyword only.
enum class Kind : unsigned char { Positional, KeywordOnly };

// Default value of a parameter, as a constant made when the module executes.
enum class Default : unsigned char { Required, None, Utf8 };

// An argument-type test run after binding: the value must be None or of exactly this type.
enum class Exact : unsigned char { Any, Dict, Str };

// The two calling shapes, derived from the parameter count: a function of one parameter
// takes exactly one positional argument and no keyword at all; any other binds positional
// and keyword arguments like a Python function.
enum class Shape : unsigned char { OneArgument, General };

struct Parameter {
    const char* name;
    Kind kind;
    Default default_value;
    Exact exact;
    const char* annotation;  // annotation expression (see annotation.cpp), or nullptr
};

struct Signature {
    const char* name;  // the short name, used in every binding message
    const Parameter* parameters;
    int positional;  // positional-or-keyword parameters, the instance included
    int keyword_only;
    Shape shape;

    constexpr int count() const noexcept { return positional + keyword_only; }
};

// A parameter table the binder can serve: at most kMaxParameters rows, positional rows
// before keyword-only ones, defaults only on trailing positional rows and on every
// keyword-only row, and a one-row table only for a required positional parameter.
template <std::size_t N>
constexpr bool well_formed(const Parameter (&rows)[N]) noexcept {
    if (N == 0 || N > kMaxParameters) return false;
    bool keyword_only_seen = false;
    bool default_seen = false;
    for (const Parameter& row : rows) {
        if (row.name == nullptr || row.name[0] == '\0') return false;
        if (row.kind == Kind::KeywordOnly) {
            keyword_only_seen = true;
            if (row.default_value == Default::Required) return false;
        } else {
            if (keyword_only_seen) return false;
            if (row.default_value != Default::Required) {
                default_seen = true;
            } else if (default_seen) {
                return false;
            }
        }
    }
    return N != 1 || (rows[0].kind == Kind::Positional && rows[0].default_value == Default::Required);
}

template <std::size_t N>
constexpr Signature make_signature(const char* name, const Parameter (&rows)[N]) noexcept {
    int positional = 0;
    for (const Parameter& row : rows) positional += row.kind == Kind::Positional ? 1 : 0;
    return Signature{name, rows, positional, static_cast<int>(N) - positional,
                     N == 1 ? Shape::OneArgument : Shape::General};
}

// Per-function binding data prepared from a Signature when the function object is made.
// `names` and the positional `defaults` are borrowed from tuples the function owns;
// `kwdefaults` is the function's `__kwdefaults__` dict, read at every call that leaves a
// keyword-only parameter out, as a Python function reads it.
struct Binding {
    const Signature* signature = nullptr;
    int required = 0;     // leading positional parameters without a default
    unsigned tested = 0;  // bit p set: parameter p has an exact-type test
    PyObject* kwdefaults = nullptr;
    PyObject* names[kMaxParameters] = {};
    PyObject* defaults[kMaxParameters] = {};
};

// The values of one call: borrowed from the caller's arguments and the default tuple,
// except keyword-only defaults, which are owned for the length of the call because the
// `__kwdefaults__` dict can be changed while the call runs.
struct BoundValues {
    PyObject* values[kMaxParameters];
    Ref owned[kMaxParameters];
};

// The general case of `bind()`.
int bind_arguments(const Binding& binding, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   BoundValues& bound) noexcept;

// Fills every keyword-only parameter with its `__kwdefaults__` value.
int keyword_only_defaults(const Binding& binding, BoundValues& bound) noexcept;

// Runs the exact-type tests of the parameters marked in `binding.tested`.
int test_types(const Binding& binding, PyObject* const* values) noexcept;

// Binds `args`/`kwnames` of a vectorcall into `bound` and runs the argument-type tests.
// Returns 0, or -1 with TypeError set. Inline for the common call without keywords and
// with an acceptable number of positional arguments.
inline int bind(const Binding& binding, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                BoundValues& bound) noexcept {
    const Signature& sig = *binding.signature;
    if (kwnames == nullptr && nargs >= binding.required && nargs <= sig.positional) {
        for (Py_ssize_t p = 0; p < nargs; ++p) bound.values[p] = args[p];
        for (int p = static_cast<int>(nargs); p < sig.positional; ++p) bound.values[p] = binding.defaults[p];
        if (sig.keyword_only != 0 && keyword_only_defaults(binding, bound) < 0) return -1;
        return binding.tested == 0 ? 0 : test_types(binding, bound.values);
    }
    return bind_arguments(binding, args, nargs, kwnames, bound);
}

// "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)"
void raise_argument_type(const char* name, const char* expected, PyObject* value) noexcept;

}  // namespace nembra
