#include "arguments.hpp"

namespace nembra {

int keyword_only_default(const Binding& binding, int p, BoundValues& bound) noexcept;

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
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", sig.name,
                 quantity, expected, expected == 1 ? "" : "s", given);
    return -1;
}

// Keyword names are nearly always interned, so identity settles most comparisons. The
// names have been made ready (see `ready_keywords`), so their lengths can be read.
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

// Some keyword did not match a parameter after the positional arguments, or matched one
// that an earlier keyword already filled (a raw vectorcall can repeat a name). This finds
// the first such keyword, in call order, and reports it.
int raise_keyword_error(const Binding& b, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    const Signature& sig = *b.signature;
    const Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
    unsigned filled = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, i);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", sig.name);
            return -1;
        }
        int matched = -1;
        for (int p = static_cast<int>(nargs); p < sig.count() && matched < 0; ++p) {
            if (same_name(b.names[p], key)) matched = p;
        }
        if (matched >= 0 && (filled & (1u << matched)) == 0) {
            filled |= 1u << matched;
            continue;
        }
        bool repeated = matched >= 0;
        for (int p = 0; p < nargs && !repeated; ++p) repeated = same_name(b.names[p], key);
        if (repeated) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", sig.name,
                         key);
        } else {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name, key);
        }
        return -1;
    }
    PyErr_Format(PyExc_SystemError, "%s() could not bind its keyword arguments", sig.name);
    return -1;
}

int bind_one_argument(const Binding& b, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                      BoundValues& bound) noexcept {
    const char* name = b.signature->name;
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", name);
        return -1;
    }
    if (nargs != 1) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes exactly one argument (%zd given)", name, nargs);
        return -1;
    }
    bound.values[0] = args[0];
    return 0;
}

// A str made by C code through the legacy API of 3.11 is not ready: its length and data
// read as empty until it is made ready.
int ready_keywords(PyObject* kwnames) noexcept {
#if PY_VERSION_HEX < 0x030C0000
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, i);
        if (PyUnicode_Check(key) && PyUnicode_READY(key) < 0) return -1;
    }
#else
    (void)kwnames;
#endif
    return 0;
}

int bind_general(const Binding& b, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                 BoundValues& bound) noexcept {
    const Signature& sig = *b.signature;
    if (nargs > sig.positional) return raise_positional_count(b, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) bound.values[i] = args[i];

    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    if (nkw == 0) {
        if (nargs < b.required) return raise_positional_count(b, nargs);
        for (int p = static_cast<int>(nargs); p < sig.positional; ++p) bound.values[p] = b.defaults[p];
        return keyword_only_defaults(b, bound);
    }

    if (ready_keywords(kwnames) < 0) return -1;
    // A missing required parameter is reported before any keyword that names nothing.
    PyObject* const* kwvalues = args + nargs;
    Py_ssize_t matched = 0;
    for (int p = static_cast<int>(nargs); p < sig.count(); ++p) {
        PyObject* value = find_keyword(b.names[p], kwnames, kwvalues);
        if (value != nullptr) {
            bound.values[p] = value;
            ++matched;
        } else if (p < b.required) {
            return raise_positional_count(b, p);
        } else if (p < sig.positional) {
            bound.values[p] = b.defaults[p];
        } else {
            bound.values[p] = nullptr;
        }
    }
    if (matched != nkw) return raise_keyword_error(b, nargs, kwnames);
    for (int p = sig.positional; p < sig.count(); ++p) {
        if (bound.values[p] == nullptr && keyword_only_default(b, p, bound) < 0) return -1;
    }
    return 0;
}

}  // namespace

void raise_argument_type(const char* name, const char* expected, PyObject* value) noexcept {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name,
                 expected, Py_TYPE(value)->tp_name);
}

// A keyword-only parameter takes its default from `__kwdefaults__` at every call, as in a
// Python function; a name missing from it makes the parameter required. The value is owned
// from the moment it is read: Python code run later in the call may change the dict.
int keyword_only_default(const Binding& binding, int p, BoundValues& bound) noexcept {
    PyObject* name = binding.names[p];
    PyObject* value = PyDict_GetItemWithError(binding.kwdefaults, name);
    if (value == nullptr) {
        if (!PyErr_Occurred()) {
            PyErr_Format(PyExc_TypeError, "%s() missing 1 required keyword-only argument: '%U'",
                         binding.signature->name, name);
        }
        return -1;
    }
    bound.owned[p] = Ref::borrow(value);
    bound.values[p] = value;
    return 0;
}

int keyword_only_defaults(const Binding& binding, BoundValues& bound) noexcept {
    const Signature& sig = *binding.signature;
    for (int p = sig.positional; p < sig.count(); ++p) {
        if (keyword_only_default(binding, p, bound) < 0) return -1;
    }
    return 0;
}

int test_types(const Binding& binding, PyObject* const* values) noexcept {
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
                   BoundValues& bound) noexcept {
    const int done = binding.signature->shape == Shape::OneArgument
                         ? bind_one_argument(binding, args, nargs, kwnames, bound)
                         : bind_general(binding, args, nargs, kwnames, bound);
    if (done < 0) return -1;
    return test_types(binding, bound.values);
}

}  // namespace nembra
