// OptimizationResultElement: one row of an optimisation table, a candidate parameter set
// with the analysis results computed for it.
#include "class_spec.hpp"
#include "number_text.hpp"
#include "runtime.hpp"

namespace nembra {

namespace {

const char init_doc[] =
    "\n"
    "        :param params: a complete parameter set\n"
    "        :param analysis_result: the accompanying results.\n"
    "\n"
    "        For an example, see :class:`OptimizationResult`\n"
    "        ";

// __init__(self, params, analysis_result=None)
PyObject* init(PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* analysis_result = args[2];
    if (set_attr(self, names.parameter_set, args[1]) < 0) return nullptr;
    const int given = PyObject_IsTrue(analysis_result);
    if (given < 0) return nullptr;
    Ref stored = given ? Ref::borrow(analysis_result) : new_dict();
    if (!stored || set_attr(self, names.analysis_result, stored.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

// analysis.get(key, "") without a method call when analysis is a plain dict, whose get
// cannot be overridden.
Ref analysis_value(PyObject* analysis, PyObject* key) noexcept {
    if (PyDict_CheckExact(analysis)) {
        PyObject* value = PyDict_GetItemWithError(analysis, key);
        if (value != nullptr) return Ref::borrow(value);
        return PyErr_Occurred() ? Ref() : Ref::borrow(names.empty);
    }
    return call_method(analysis, names.get, {key, names.empty});
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

// One display text per header key, in the order the headers yield their keys.
//
// Each key reads self._analysis_result anew, since Python code run by the loop (the
// headers' iterator, a stored key's __eq__, a value's __str__, a custom get) may rebind
// it. The reread is skipped only while nothing but builtin code can have run since the
// last one: builtin headers, exact str keys looked up in a dict of exact str keys, and
// values of exact str, int or float.
Ref display_data(PyObject* self, PyObject* output_headers) noexcept {
    Ref texts = new_list();
    Ref keys = Ref::steal(PyObject_GetIter(output_headers));
    if (!texts || !keys) return Ref();
    const bool builtin_keys = builtin_container(output_headers);
    Ref analysis;
    bool analysis_plain = false;
    bool analysis_current = false;
    while (Ref key = Ref::steal(PyIter_Next(keys.get()))) {
        if (!analysis_current) {
            analysis = attr(self, names.analysis_result);
            if (!analysis) return Ref();
            analysis_plain = builtin_keys && plain_string_keys(analysis.get());
        }
        Ref value = analysis_value(analysis.get(), key.get());
        if (!value) return Ref();
        analysis_current = analysis_plain && PyUnicode_CheckExact(key.get()) && plain_value(value.get());
        Ref text = Ref::steal(str_of(value.get()));
        if (!text || PyList_Append(texts.get(), text.get()) < 0) return Ref();
    }
    if (PyErr_Occurred()) return Ref();
    return texts;
}

// _serialize(self, output_headers)
PyObject* serialize(PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* output_headers = args[1];
    Ref serialized = new_dict();
    if (!serialized) return nullptr;
    Ref serialize_params = global(names.serialize_params);
    if (!serialize_params) return nullptr;
    Ref parameter_set = attr(self, names.parameter_set);
    if (!parameter_set) return nullptr;
    Ref design = call_one(serialize_params.get(), parameter_set.get());
    if (!design || PyDict_SetItem(serialized.get(), names.design, design.get()) < 0) return nullptr;
    Ref analysis = attr(self, names.analysis_result);
    if (!analysis || PyDict_SetItem(serialized.get(), names.analysis, analysis.get()) < 0) return nullptr;
    if (output_headers == Py_None) return serialized.release();

    Ref texts = display_data(self, output_headers);
    if (!texts || PyDict_SetItem(serialized.get(), names.output_display_data, texts.get()) < 0) return nullptr;
    return serialized.release();
}

const FunctionSpec methods[] = {
    {{"__init__",
      Shape::General,
      3,
      0,
      {{"self"},
       {"params", Default::Required, Exact::Any, "Union[dict, Munch]"},
       {"analysis_result", Default::None, Exact::Dict, "'dict'"}}},
     nullptr,
     init_doc,
     init},
    {{"_serialize", Shape::General, 2, 0, {{"self"}, {"output_headers", Default::Required, Exact::Any, "Optional[dict]"}}},
     "'dict'",
     "Only provide output_headers when non-empty",
     serialize},
};

}  // namespace

const ClassSpec optimization_result_element_class = {"OptimizationResultElement", false, nullptr, methods, 2};

}  // namespace nembra
