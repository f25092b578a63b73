// SetParamsResult: the parameter set that a set-params button writes back into the
// user's input fields.
#include "classes.hpp"
#include "runtime.hpp"

namespace nembra {

namespace {

const char class_doc[] = R"(
    Container for the output of a :class:`~.parametrization.actions.SetParamsButton`.

    In order to set the content of the field `Tab 1 > Section 1 > NumberField 1`
    to 1234 use the format:

    .. code-block:: python

        SetParamsResult({
            "tab_1": {
                "section_1": {
                    "numberfield_1": 1234
                }
            }
        })

    To clear one or more fields one has to explicitly set the params to the
    empty state, the empty value is different for each field and can be found
    in their docs:

    .. code-block:: python

        SetParamsResult({
            "tab_1": {
                "section_1": {
                    "numberfield_1": None,
                }
            }
        })

    )";

const char init_doc[] = R"(
        :param params: the values you want to set to the user input, if you do not specify a value, it will be kept as is.
        )";

#define INIT_PARAMETERS(X)                      \
    X(self, Positional, Required, Any, nullptr) \
    X(params, Positional, Required, Dict, "'dict'")
NEMBRA_PARAMETERS(Init, INIT_PARAMETERS);

// __init__(self, params)
Ref init(const Init& values) {
    if (set_attr(values.self, names.str__data, values.params) < 0) return Ref();
    return none();
}

#define SERIALIZE_PARAMETERS(X) X(self, Positional, Required, Any, nullptr)
NEMBRA_PARAMETERS(Serialize, SERIALIZE_PARAMETERS);

// _serialize(self) -> {"parameters": _serialize_params(self._data)}
Ref serialize(const Serialize& values) {
    Ref output = new_dict();
    if (!output) return Ref();
    Ref serialize_params = global(values.globals, names.str__serialize_params);
    if (!serialize_params) return Ref();
    Ref data = attr(values.self, names.str__data);
    if (!data) return Ref();
    Ref parameters = call_one(serialize_params.get(), data.get());
    if (!parameters || PyDict_SetItem(output.get(), names.str_parameters, parameters.get()) < 0) return Ref();
    return output;
}

void raise_key_error(PyObject* key) {
    // Wrapped in an instance so that a key which is itself None or a tuple stays the
    // exception's single argument.
    Ref error = call(PyExc_KeyError, key);
    if (error) PyErr_SetObject(PyExc_KeyError, error.get());
}

#define GET_PARAMETERS(X)                       \
    X(self, Positional, Required, Any, nullptr) \
    X(key, Positional, Required, Str, "'unicode'")
NEMBRA_PARAMETERS(Get, GET_PARAMETERS);

// get(self, key): self._data[key]
Ref get(const Get& values) {
    Ref data = attr(values.self, names.str__data);
    if (!data) return Ref();
    if (!PyDict_CheckExact(data.get())) return Ref::steal(PyObject_GetItem(data.get(), values.key));
    PyObject* value = PyDict_GetItemWithError(data.get(), values.key);
    if (value != nullptr) return Ref::borrow(value);
    if (!PyErr_Occurred()) raise_key_error(values.key);
    return Ref();
}

constexpr FunctionSpec methods[] = {
    define_function<Init, init>("__init__", nullptr, init_doc),
    define_function<Serialize, serialize>("_serialize", "'dict'", nullptr),
    define_function<Get, get>("get", "Any", nullptr),
};

}  // namespace

const ClassSpec set_params_result_class = define_class("SetParamsResult", true, class_doc, methods);

}  // namespace nembra
