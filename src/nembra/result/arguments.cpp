#include "arguments.hpp"

namespace nembra {

namespace {

int raise_positional_count(const Binding& b, Py_ssize_t given) noexcept {
    const Signature& sig = *b.signature;
    Py_ssize_t expected;
    const char* quantity;
    if (given < b.required) {
        expected = b.required;
        quantity = "at least";
    } else {
        expected = sig.positional;
        quantity = "at most";
    }
    if (b.required == sig.positional) quantity = "exactly";
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 sig.name, quantity, expected, expected == 1 ? "" : "s", given);
    return -1;
}

// Keyword names are nearly always interned, so identity settles most comparisons.
int same_name(PyObject* name, PyObject* key) noexcept {
    if (name == key) return 1;
    if (!PyUnicode_Check(key)) return 0;
    if (PyUnicode_GET_LENGTH(name) != PyUnicode_GET_LENGTH(key)) return 0;
    return PyUnicode_Compare(name, key) == 0;
}

PyObject* find_keyword(PyObject* name, PyObject* kwnames, PyObject* const* kwvalues) noexcept {
    const Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (PyTuple_GET_ITEM(kwnames, i) == name) return kwvalues[i];
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (same_name(name, PyTuple_GET_ITEM(kwnames, i))) return kwvalues[i];
    }
    return nullptr;
}

// Every keyword has been matched against the parameters after the positional arguments;
// this finds the first one, in call order, that did not match and reports it.
int raise_keyword_error(const Binding& b, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    const Signature& sig = *b.signature;
    const Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, i);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", sig.name);
            return -1;
        }
        bool matched = false;
        for (int p = static_cast<int>(nargs); p < sig.count() && !matched; ++p) {
            matched = same_name(b.names[p], key);
        }
        if (matched) continue;
        for (int p = 0; p < nargs; ++p) {
            if (same_name(b.names[p], key)) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                             sig.name, key);
                return -1;
            }
        }
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name, key);
        return -1;
    }
    return 0;
}

int bind_one_argument(const Binding& b, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames, PyObject** values) noexcept {
    const char* name = b.signature->name;
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", name);
        return -1;
    }
    if (nargs != 1) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes exactly one argument (%zd given)", name, nargs);
        return -1;
    }
    values[0] = args[0];
    return 0;
}

int bind_general(const Binding& b, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                 PyObject** values) noexcept {
    const Signature& sig = *b.signature;
    if (nargs > sig.positional) return raise_positional_count(b, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) values[i] = args[i];

    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    if (nkw == 0) {
        if (nargs < b.required) return raise_positional_count(b, nargs);
        for (int p = static_cast<int>(nargs); p < sig.count(); ++p) values[p] = b.defaults[p];
        return 0;
    }

    // A missing required parameter is reported before any keyword that names nothing.
    PyObject* const* kwvalues = args + nargs;
    Py_ssize_t matched = 0;
    for (int p = static_cast<int>(nargs); p < sig.count(); ++p) {
        PyObject* value = find_keyword(b.names[p], kwnames, kwvalues);
        if (value != nullptr) {
            values[p] = value;
            ++matched;
        } else if (p < b.required) {
            return raise_positional_count(b, p);
        } else {
            values[p] = b.defaults[p];
        }
    }
    if (matched != nkw) return raise_keyword_error(b, nargs, kwnames);
    return 0;
}

}  // namespace

void raise_argument_type(const char* name, const char* expected, PyObject* value) noexcept {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 name, expected, Py_TYPE(value)->tp_name);
}

int test_types(const Binding& binding, PyObject** values) noexcept {
    const Signature& sig = *binding.signature;
    for (int p = 0; p < sig.count(); ++p) {
        if ((binding.tested & (1u << p)) == 0 || values[p] == Py_None) continue;
        const Parameter& param = sig.parameters[p];
        PyObject* value = values[p];
        if (param.exact == Exact::Dict && !PyDict_CheckExact(value)) {
            raise_argument_type(param.name, "dict", value);
            return -1;
        }
        if (param.exact == Exact::Str && !PyUnicode_CheckExact(value)) {
            raise_argument_type(param.name, "str", value);
            return -1;
        }
    }
    return 0;
}

int bind_arguments(const Binding& binding, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** values) noexcept {
    const int bound = binding.signature->shape == Shape::OneArgument
                          ? bind_one_argument(binding, args, nargs, kwnames, values)
                          : bind_general(binding, args, nargs, kwnames, values);
    if (bound < 0) return -1;
    return test_types(binding, values);
}

}  // namespace nembra
