// nembra_limit: the least work that builds what nembra.result's serialisers return on the
// benchmark's inputs. It is a yardstick for the benchmarks, not a replacement: it knows
// the shape of its input and checks nothing.
//
//   table(sp, result)              OptimizationResult._serialize()
//   element(sp, element, headers)  OptimizationResultElement._serialize(headers)
//   set_params(sp, result)         SetParamsResult._serialize()
//
// `sp` is the `_serialize_params` the module would resolve; it is called once per
// parameter set through one vectorcall, as the module does. Each function reads the
// attributes the module reads from the same objects, once each, and then builds the
// output with the fewest C-API calls: lists made at their final size and filled in place,
// dict inserts with the hash of the interned key computed once, analysis values looked up
// with the hash of the header key, display texts from the module's own number formatter
// (nembra::str_of, compiled in from src/nembra/result/number_text.cpp). No type tests, no
// re-reading of attributes that Python code might have rebound, no method dispatch for
// the rows: all of that is what generality costs, and what this module leaves out.
//
// The output dicts hold at most five keys, which is the smallest size a dict has anyway,
// so they are not presized.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "number_text.hpp"

#if PY_VERSION_HEX >= 0x030D0000
// Exported by the interpreter, declared only in its internal headers since 3.13.
extern "C" PyAPI_FUNC(int) _PyDict_SetItem_KnownHash(PyObject* mp, PyObject* key, PyObject* item,
                                                     Py_hash_t hash);
#endif

namespace {

struct Key {
    PyObject* str = nullptr;
    Py_hash_t hash = 0;
};

struct Names {
    // output keys
    Key design, analysis, output_display_data, input_columns, optimization, output_headers, views,
        definitions, data, label, type, parameters;
    // attributes read
    PyObject *parameter_set, *analysis_result, *result_column_names_input, *results, *output_headers_,
        *view_results, *view_type_name, *serialize, *data_, *empty;
};

Names names;

int make_key(Key& key, const char* text) {
    key.str = PyUnicode_InternFromString(text);
    if (key.str == nullptr) return -1;
    key.hash = PyObject_Hash(key.str);
    return key.hash == -1 ? -1 : 0;
}

int make_name(PyObject*& name, const char* text) {
    name = PyUnicode_InternFromString(text);
    return name == nullptr ? -1 : 0;
}

int make_names() {
    Names& n = names;
    if (make_key(n.design, "design") < 0 || make_key(n.analysis, "analysis") < 0 ||
        make_key(n.output_display_data, "output_display_data") < 0 ||
        make_key(n.input_columns, "input_columns") < 0 || make_key(n.optimization, "optimization") < 0 ||
        make_key(n.output_headers, "output_headers") < 0 || make_key(n.views, "views") < 0 ||
        make_key(n.definitions, "definitions") < 0 || make_key(n.data, "data") < 0 ||
        make_key(n.label, "label") < 0 || make_key(n.type, "type") < 0 ||
        make_key(n.parameters, "parameters") < 0) {
        return -1;
    }
    if (make_name(n.parameter_set, "_parameter_set") < 0 || make_name(n.analysis_result, "_analysis_result") < 0 ||
        make_name(n.result_column_names_input, "result_column_names_input") < 0 ||
        make_name(n.results, "_OptimizationResult__results") < 0 ||
        make_name(n.output_headers_, "_output_headers") < 0 || make_name(n.view_results, "_view_results") < 0 ||
        make_name(n.view_type_name, "_view_type_name") < 0 || make_name(n.serialize, "_serialize") < 0 ||
        make_name(n.data_, "_data") < 0 || make_name(n.empty, "") < 0) {
        return -1;
    }
    return 0;
}

// d[key] = value, stealing `value`; -1 when value is null or the insert fails.
int put(PyObject* d, const Key& key, PyObject* value) {
    if (value == nullptr) return -1;
    const int done = _PyDict_SetItem_KnownHash(d, key.str, value, key.hash);
    Py_DECREF(value);
    return done;
}

// The header keys of a table, with their hashes, gathered once per call.
struct Headers {
    static constexpr Py_ssize_t kMost = 64;
    PyObject* keys[kMost];
    Py_hash_t hashes[kMost];
    Py_ssize_t count = -1;  // -1: output_headers is None, no display data

    int gather(PyObject* headers) {
        if (headers == Py_None) return 0;
        count = 0;
        Py_ssize_t pos = 0;
        PyObject* key;
        PyObject* value;
        while (PyDict_Next(headers, &pos, &key, &value)) {
            if (count == kMost) {
                PyErr_SetString(PyExc_ValueError, "the limit builder takes at most 64 headers");
                return -1;
            }
            const Py_hash_t hash = PyObject_Hash(key);  // cached in an str
            if (hash == -1) return -1;
            keys[count] = key;
            hashes[count++] = hash;
        }
        return 0;
    }
};

// [str(analysis.get(k, "")) for k in headers]
PyObject* display_data(PyObject* analysis, const Headers& headers) {
    PyObject* texts = PyList_New(headers.count);
    if (texts == nullptr) return nullptr;
    for (Py_ssize_t i = 0; i < headers.count; ++i) {
        PyObject* value = _PyDict_GetItem_KnownHash(analysis, headers.keys[i], headers.hashes[i]);
        PyObject* text = nembra::str_of(value != nullptr ? value : names.empty).release();
        if (text == nullptr) {
            Py_DECREF(texts);
            return nullptr;
        }
        PyList_SET_ITEM(texts, i, text);
    }
    return texts;
}

// {"design": sp(e._parameter_set), "analysis": e._analysis_result,
//  "output_display_data": [...]}   (the last only with headers)
PyObject* row(PyObject* sp, PyObject* element, const Headers& headers) {
    PyObject* params = PyObject_GenericGetAttr(element, names.parameter_set);
    if (params == nullptr) return nullptr;
    PyObject* design = PyObject_Vectorcall(sp, &params, 1, nullptr);
    Py_DECREF(params);
    if (design == nullptr) return nullptr;
    PyObject* out = PyDict_New();
    if (out == nullptr || put(out, names.design, design) < 0) {
        Py_XDECREF(out);
        return nullptr;
    }
    PyObject* analysis = PyObject_GenericGetAttr(element, names.analysis_result);
    if (analysis == nullptr) {
        Py_DECREF(out);
        return nullptr;
    }
    Py_INCREF(analysis);
    if (put(out, names.analysis, analysis) < 0 ||
        (headers.count >= 0 && put(out, names.output_display_data, display_data(analysis, headers)) < 0)) {
        Py_DECREF(analysis);
        Py_DECREF(out);
        return nullptr;
    }
    Py_DECREF(analysis);
    return out;
}

// {"definitions": [{"label": "", "type": vr._view_type_name}, ...],
//  "data": [vr._serialize(), ...]}
PyObject* views(PyObject* view_results) {
    const Py_ssize_t n = PyList_GET_SIZE(view_results);
    PyObject* definitions = PyList_New(n);
    PyObject* data = PyList_New(n);
    PyObject* out = PyDict_New();
    if (definitions == nullptr || data == nullptr || out == nullptr) goto fail;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* view = PyList_GET_ITEM(view_results, i);
        PyObject* definition = PyDict_New();
        if (definition == nullptr) goto fail;
        PyList_SET_ITEM(definitions, i, definition);
        Py_INCREF(names.empty);
        if (put(definition, names.label, names.empty) < 0 ||
            put(definition, names.type, PyObject_GetAttr(view, names.view_type_name)) < 0) {
            goto fail;
        }
        PyObject* serialized = PyObject_VectorcallMethod(names.serialize, &view, 1, nullptr);
        if (serialized == nullptr) goto fail;
        PyList_SET_ITEM(data, i, serialized);
    }
    if (put(out, names.definitions, definitions) < 0) {
        definitions = nullptr;
        goto fail;
    }
    definitions = nullptr;
    if (put(out, names.data, data) < 0) {
        data = nullptr;
        goto fail;
    }
    return out;
fail:
    Py_XDECREF(definitions);
    Py_XDECREF(data);
    Py_XDECREF(out);
    return nullptr;
}

// table(sp, result): OptimizationResult._serialize()
PyObject* table(PyObject*, PyObject* const* args, Py_ssize_t) {
    PyObject* sp = args[0];
    PyObject* self = args[1];
    PyObject* input_columns = PyObject_GenericGetAttr(self, names.result_column_names_input);
    PyObject* results = PyObject_GenericGetAttr(self, names.results);
    PyObject* headers_dict = PyObject_GenericGetAttr(self, names.output_headers_);
    PyObject* view_results = PyObject_GenericGetAttr(self, names.view_results);
    PyObject* out = nullptr;
    PyObject* rows = nullptr;
    Headers headers;
    if (input_columns == nullptr || results == nullptr || headers_dict == nullptr || view_results == nullptr ||
        headers.gather(headers_dict) < 0) {
        goto done;
    }
    {
        PyObject* view_part = views(view_results);
        if (view_part == nullptr) goto done;
        const Py_ssize_t n = PyList_GET_SIZE(results);
        rows = PyList_New(n);
        if (rows == nullptr) {
            Py_DECREF(view_part);
            goto done;
        }
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* r = row(sp, PyList_GET_ITEM(results, i), headers);
            if (r == nullptr) {
                Py_DECREF(view_part);
                goto done;
            }
            PyList_SET_ITEM(rows, i, r);
        }
        PyObject* labels = PyDict_Values(headers_dict);
        out = PyDict_New();
        if (labels == nullptr || out == nullptr) {
            Py_XDECREF(labels);
            Py_DECREF(view_part);
            Py_CLEAR(out);
            goto done;
        }
        // Each put takes its value whatever happens, so all four run, in key order.
        Py_INCREF(input_columns);
        int failed = put(out, names.input_columns, input_columns);
        failed |= put(out, names.optimization, rows);
        rows = nullptr;
        failed |= put(out, names.output_headers, labels);
        failed |= put(out, names.views, view_part);
        if (failed) Py_CLEAR(out);
    }
done:
    Py_XDECREF(rows);
    Py_XDECREF(input_columns);
    Py_XDECREF(results);
    Py_XDECREF(headers_dict);
    Py_XDECREF(view_results);
    return out;
}

// element(sp, element, headers): OptimizationResultElement._serialize(headers)
PyObject* element(PyObject*, PyObject* const* args, Py_ssize_t) {
    Headers headers;
    if (headers.gather(args[2]) < 0) return nullptr;
    return row(args[0], args[1], headers);
}

// set_params(sp, result): SetParamsResult._serialize()
PyObject* set_params(PyObject*, PyObject* const* args, Py_ssize_t) {
    PyObject* data = PyObject_GenericGetAttr(args[1], names.data_);
    if (data == nullptr) return nullptr;
    PyObject* parameters = PyObject_Vectorcall(args[0], &data, 1, nullptr);
    Py_DECREF(data);
    if (parameters == nullptr) return nullptr;
    PyObject* out = PyDict_New();
    if (out == nullptr || put(out, names.parameters, parameters) < 0) {
        Py_XDECREF(out);
        return nullptr;
    }
    return out;
}

PyMethodDef methods[] = {
    {"table", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(table)), METH_FASTCALL,
     "table(sp, result): what OptimizationResult._serialize() returns"},
    {"element", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(element)), METH_FASTCALL,
     "element(sp, element, headers): what OptimizationResultElement._serialize(headers) returns"},
    {"set_params", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(set_params)), METH_FASTCALL,
     "set_params(sp, result): what SetParamsResult._serialize() returns"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = {
    PyModuleDef_HEAD_INIT,
    "nembra_limit",
    "The least work that builds nembra.result's outputs.",
    -1,
    methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_nembra_limit() {
    if (make_names() < 0) return nullptr;
    return PyModule_Create(&module);
}
