// OptimizationResultElement: one row of an optimisation table, a candidate parameter set
// with the analysis results computed for it.
#include "classes.hpp"
#include "number_text.hpp"
#include "runtime.hpp"

namespace nembra {

namespace {

const char init_doc[] = R"(
        :param params: a complete parameter set
        :param analysis_result: the accompanying results.

        For an example, see :class:`OptimizationResult`
        )";

#define INIT_PARAMETERS(X)                                    \
    X(self, Positional, Required, Any, nullptr)               \
    X(params, Positional, Required, Any, "Union[dict, Munch]") \
    X(analysis_result, Positional, None, Dict, "'dict'")
NEMBRA_PARAMETERS(Init, INIT_PARAMETERS);

// __init__(self, params, analysis_result=None)
Ref init(const Init& values) {
    if (set_attr(values.self, names.str__parameter_set, values.params) < 0) return Ref();
    const int given = PyObject_IsTrue(values.analysis_result);
    if (given < 0) return Ref();
    Ref stored = given ? Ref::borrow(values.analysis_result) : new_dict();
    if (!stored || set_attr(values.self, names.str__analysis_result, stored.get()) < 0) return Ref();
    return none();
}

// analysis.get(key, "") without a method call when analysis is a plain dict, whose get
// cannot be overridden.
Ref analysis_value(PyObject* analysis, PyObject* key) noexcept {
    if (PyDict_CheckExact(analysis)) {
        PyObject* value = PyDict_GetItemWithError(analysis, key);
        if (value != nullptr) return Ref::borrow(value);
        return PyErr_Occurred() ? Ref() : Ref::borrow(names.text_empty);
    }
    return call_method(analysis, names.str_get, key, names.text_empty);
}

// Whether looking up an exact str in `analysis` can run no Python code: a plain dict
// whose stored keys are all exact str compares them with the builtin string comparison
// only. Small dicts only, so that checking costs less than what it saves.
bool plain_string_keys(PyObject* analysis) noexcept {
    constexpr Py_ssize_t kMostKeysChecked = 32;
    if (!PyDict_CheckExact(analysis) || PyDict_GET_SIZE(analysis) > kMostKeysChecked) return false;
    Py_ssize_t position = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(analysis, &position, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) return false;
    }
    return true;
}

bool builtin_container(PyObject* obj) noexcept {
    return PyDict_CheckExact(obj) || PyList_CheckExact(obj) || PyTuple_CheckExact(obj);
}

bool plain_value(PyObject* obj) noexcept {
    return PyUnicode_CheckExact(obj) || PyLong_CheckExact(obj) || PyFloat_CheckExact(obj);
}

// Whether reading `self._analysis_result` runs builtin code only: the type reads
// attributes with the generic protocol and has no attribute of that name (a property, a
// descriptor), so the read is a lookup of the instance's own attributes.
bool plain_analysis_read(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    return type->tp_getattro == PyObject_GenericGetAttr &&
           _PyType_Lookup(type, names.str__analysis_result) == nullptr;
}

// One display text per header key, in the order the headers yield their keys.
//
// Each key reads self._analysis_result anew, since Python code run by the loop (the
// headers' iterator, the attribute read itself, a stored key's __eq__, a value's __str__,
// a custom get) may rebind it. The reread is skipped only while nothing but builtin code
// can have run since the last one: builtin headers, a plain attribute read, exact str keys
// looked up in a dict of exact str keys, and values of exact str, int or float.
Ref display_data(PyObject* self, PyObject* output_headers) noexcept {
    Ref texts = new_list();
    Ref keys = Ref::steal(PyObject_GetIter(output_headers));
    if (!texts || !keys) return Ref();
    const bool builtin_keys = builtin_container(output_headers);
    Ref analysis;
    bool analysis_plain = false;
    bool analysis_current = false;
    SignalCheck signals;
    while (Ref key = Ref::steal(PyIter_Next(keys.get()))) {
        if (signals.tick() < 0) return Ref();
        if (!analysis_current) {
            analysis = attr(self, names.str__analysis_result);
            if (!analysis) return Ref();
            analysis_plain = builtin_keys && plain_analysis_read(self) && plain_string_keys(analysis.get());
        }
        Ref value = analysis_value(analysis.get(), key.get());
        if (!value) return Ref();
        analysis_current = analysis_plain && PyUnicode_CheckExact(key.get()) && plain_value(value.get());
        Ref text = str_of(value.get());
        if (!text || PyList_Append(texts.get(), text.get()) < 0) return Ref();
    }
    if (PyErr_Occurred()) return Ref();
    return texts;
}

#define SERIALIZE_PARAMETERS(X)                 \
    X(self, Positional, Required, Any, nullptr) \
    X(output_headers, Positional, Required, Any, "Optional[dict]")
NEMBRA_PARAMETERS(Serialize, SERIALIZE_PARAMETERS);

// _serialize(self, output_headers)
Ref serialize(const Serialize& values) {
    Ref serialized = new_dict();
    if (!serialized) return Ref();
    Ref serialize_params = global(values.globals, names.str__serialize_params);
    if (!serialize_params) return Ref();
    Ref parameter_set = attr(values.self, names.str__parameter_set);
    if (!parameter_set) return Ref();
    Ref design = call_one(serialize_params.get(), parameter_set.get());
    if (!design || PyDict_SetItem(serialized.get(), names.str_design, design.get()) < 0) return Ref();
    Ref analysis = attr(values.self, names.str__analysis_result);
    if (!analysis || PyDict_SetItem(serialized.get(), names.str_analysis, analysis.get()) < 0) return Ref();
    if (values.output_headers == Py_None) return serialized;

    Ref texts = display_data(values.self, values.output_headers);
    if (!texts || PyDict_SetItem(serialized.get(), names.str_output_display_data, texts.get()) < 0) return Ref();
    return serialized;
}

constexpr FunctionSpec methods[] = {
    define_function<Init, init>("__init__", nullptr, init_doc),
    define_function<Serialize, serialize>("_serialize", "'dict'", "Only provide output_headers when non-empty"),
};

}  // namespace

const ClassSpec optimization_result_element_class =
    define_class("OptimizationResultElement", false, nullptr, methods);

}  // namespace nembra
