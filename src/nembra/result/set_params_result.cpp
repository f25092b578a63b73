// SetParamsResult: the parameter set that a set-params button writes back into the
// user's input fields.
#include "class_spec.hpp"
#include "runtime.hpp"

namespace nembra {

namespace {

const char class_doc[] =
    "\n"
    "    Container for the output of a :class:`~.parametrization.actions.SetParamsButton`.\n"
    "\n"
    "    In order to set the content of the field `Tab 1 > Section 1 > NumberField 1`\n"
    "    to 1234 use the format:\n"
    "\n"
    "    .. code-block:: python\n"
    "\n"
    "        SetParamsResult({\n"
    "            \"tab_1\": {\n"
    "                \"section_1\": {\n"
    "                    \"numberfield_1\": 1234\n"
    "                }\n"
    "            }\n"
    "        })\n"
    "\n"
    "    To clear one or more fields one has to explicitly set the params to the\n"
    "    empty state, the empty value is different for each field and can be found\n"
    "    in their docs:\n"
    "\n"
    "    .. code-block:: python\n"
    "\n"
    "        SetParamsResult({\n"
    "            \"tab_1\": {\n"
    "                \"section_1\": {\n"
    "                    \"numberfield_1\": None,\n"
    "                }\n"
    "            }\n"
    "        })\n"
    "\n"
    "    ";

const char init_doc[] =
    "\n"
    "        :param params: the values you want to set to the user input, if you do not specify a value, it will be "
    "kept as is.\n"
    "        ";

// __init__(self, params)
PyObject* init(PyObject* const* args) {
    if (set_attr(args[0], names.data_, args[1]) < 0) return nullptr;
    Py_RETURN_NONE;
}

// _serialize(self) -> {"parameters": _serialize_params(self._data)}
PyObject* serialize(PyObject* const* args) {
    Ref output = new_dict();
    if (!output) return nullptr;
    Ref serialize_params = global(names.serialize_params);
    if (!serialize_params) return nullptr;
    Ref data = attr(args[0], names.data_);
    if (!data) return nullptr;
    Ref parameters = call_one(serialize_params.get(), data.get());
    if (!parameters || PyDict_SetItem(output.get(), names.parameters, parameters.get()) < 0) return nullptr;
    return output.release();
}

void raise_key_error(PyObject* key) {
    // Wrapped in an instance so that a key which is itself None or a tuple stays the
    // exception's single argument.
    Ref error = call(PyExc_KeyError, {key});
    if (error) PyErr_SetObject(PyExc_KeyError, error.get());
}

// get(self, key): self._data[key]
PyObject* get(PyObject* const* args) {
    PyObject* key = args[1];
    Ref data = attr(args[0], names.data_);
    if (!data) return nullptr;
    if (!PyDict_CheckExact(data.get())) return PyObject_GetItem(data.get(), key);
    PyObject* value = PyDict_GetItemWithError(data.get(), key);
    if (value != nullptr) return Py_NewRef(value);
    if (!PyErr_Occurred()) raise_key_error(key);
    return nullptr;
}

const FunctionSpec methods[] = {
    {{"__init__", Shape::General, 2, 0, {{"self"}, {"params", Default::Required, Exact::Dict, "'dict'"}}},
     nullptr,
     init_doc,
     init},
    {{"_serialize", Shape::OneArgument, 1, 0, {{"self"}}}, "'dict'", nullptr, serialize},
    {{"get", Shape::General, 2, 0, {{"self"}, {"key", Default::Required, Exact::Str, "'unicode'"}}},
     "Any",
     nullptr,
     get},
};

}  // namespace

const ClassSpec set_params_result_class = {"SetParamsResult", true, class_doc, methods, 3};

}  // namespace nembra
