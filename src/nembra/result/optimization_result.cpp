// OptimizationResult: the table of candidate designs that an optimization button returns.
#include "class_spec.hpp"
#include "runtime.hpp"

namespace nembra {

namespace {

const char init_doc[] =
    "\n"
    "        Container for the output of an :class:`~.parametrization.actions.OptimizationButton`.\n"
    "\n"
    "        :param results: list of results, order is kept in user interface.\n"
    "        :param result_column_names_input: specifies which input parameters should be shown the table.\n"
    "                                          The parametrization class defined the label which is shown\n"
    "        :param output_headers: specifies which results should be shown in the results table.\n"
    "                                Key should match the key of the analysis_result inside each result.\n"
    "                                Value is the corresponding label which the end user sees.\n"
    "        :param image: image which is shown next to the results. Could be JPG, PNG or SVG.\n"
    "\n"
    "        Example:\n"
    "\n"
    "        .. code-block:: python\n"
    "\n"
    "            params1 = {'tab': {'section': {'field1': 'a', 'field2': 5}}}\n"
    "            params2 = {'tab': {'section': {'field1': 'b', 'field2': 8}}}\n"
    "            analysis1 = {'result1': 10, 'result2': 20}\n"
    "            analysis2 = {'result1': 100, 'result2': 150}\n"
    "\n"
    "            results = [\n"
    "                OptimizationResultElement(params1, analysis1),\n"
    "                OptimizationResultElement(params2, analysis2),\n"
    "            ]\n"
    "\n"
    "            OptimizationResult(results, result_column_names_input=['field1'], output_headers={'result1': "
    "'Result 1'})\n"
    "\n"
    "        This renders as the following table for the end-user:\n"
    "\n"
    "        +---------+---------+----------+\n"
    "        |    #    | Field 1 | Result 1 |\n"
    "        +=========+=========+==========+\n"
    "        |    1    |    a    |    10    |\n"
    "        +---------+---------+----------+\n"
    "        |    2    |    b    |    100   |\n"
    "        +---------+---------+----------+\n"
    "\n"
    "        ";

const char serialize_doc[] =
    "Get the final results as {\"optimization\": [result1, result2]}, with results sorted by cost.";

// Stores `value` itself when it is true, else what `make_empty` makes.
int store_or_empty(PyObject* self, PyObject* name, PyObject* value, Ref (*make_empty)()) noexcept {
    const int truth = PyObject_IsTrue(value);
    if (truth < 0) return -1;
    Ref stored = truth ? Ref::borrow(value) : make_empty();
    return stored ? set_attr(self, name, stored.get()) : -1;
}

// __init__(self, results, result_column_names_input=None, output_headers=None, image=None)
PyObject* init(PyObject* const* args) {
    PyObject* self = args[0];
    if (store_or_empty(self, names.result_column_names_input, args[2], new_list) < 0) return nullptr;
    Ref result_names = new_list();
    if (!result_names || set_attr(self, names.result_column_names_result, result_names.get()) < 0) {
        return nullptr;
    }
    if (store_or_empty(self, names.output_headers_, args[3], new_dict) < 0) return nullptr;
    if (set_attr(self, names.results_, args[1]) < 0) return nullptr;
    const int has_image = PyObject_IsTrue(args[4]);
    if (has_image < 0) return nullptr;
    Ref views = Ref::steal(PyList_New(has_image ? 1 : 0));
    if (!views) return nullptr;
    if (has_image) PyList_SET_ITEM(views.get(), 0, Py_NewRef(args[4]));
    if (set_attr(self, names.view_results, views.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

// Calls `each(item)` for every item that iterating `iterable` yields.
template <class Each>
int for_each(PyObject* iterable, Each&& each) noexcept {
    Ref iterator = Ref::steal(PyObject_GetIter(iterable));
    if (!iterator) return -1;
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        if (each(item.get()) < 0) return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

// [{"label": "", "type": vr._view_type_name} for vr in self._view_results]
Ref view_definitions(PyObject* self) noexcept {
    Ref views = attr(self, names.view_results);
    Ref definitions = new_list();
    if (!views || !definitions) return Ref();
    const int done = for_each(views.get(), [&](PyObject* view) {
        Ref definition = new_dict();
        if (!definition || PyDict_SetItem(definition.get(), names.label, names.empty) < 0) return -1;
        Ref type = attr(view, names.view_type_name);
        if (!type || PyDict_SetItem(definition.get(), names.type, type.get()) < 0) return -1;
        return PyList_Append(definitions.get(), definition.get());
    });
    return done < 0 ? Ref() : std::move(definitions);
}

// [vr._serialize() for vr in self._view_results]
Ref view_data(PyObject* self) noexcept {
    Ref views = attr(self, names.view_results);
    Ref data = new_list();
    if (!views || !data) return Ref();
    const int done = for_each(views.get(), [&](PyObject* view) {
        Ref serialized = call_method(view, names.serialize);
        return serialized ? PyList_Append(data.get(), serialized.get()) : -1;
    });
    return done < 0 ? Ref() : std::move(data);
}

// [r._serialize(self._output_headers) for r in self.__results]
Ref rows(PyObject* self) noexcept {
    Ref results = attr(self, names.results_);
    Ref rows = new_list();
    if (!results || !rows) return Ref();
    const int done = for_each(results.get(), [&](PyObject* result) {
        Method serialize = lookup_method(result, names.serialize);
        if (!serialize) return -1;
        Ref headers = attr(self, names.output_headers_);
        if (!headers) return -1;
        Ref row = serialize(headers.get());
        return row ? PyList_Append(rows.get(), row.get()) : -1;
    });
    return done < 0 ? Ref() : std::move(rows);
}

// list(self._output_headers.values())
Ref header_labels(PyObject* self) noexcept {
    Ref headers = attr(self, names.output_headers_);
    if (!headers) return headers;
    Ref values = call_method(headers.get(), names.values);
    if (!values) return values;
    return Ref::steal(PySequence_List(values.get()));
}

// _serialize(self)
PyObject* serialize(PyObject* const* args) {
    PyObject* self = args[0];
    Ref definitions = view_definitions(self);
    if (!definitions) return nullptr;
    Ref data = view_data(self);
    if (!data) return nullptr;

    Ref output = new_dict();
    if (!output) return nullptr;
    Ref input_columns = attr(self, names.result_column_names_input);
    if (!input_columns || PyDict_SetItem(output.get(), names.input_columns, input_columns.get()) < 0) {
        return nullptr;
    }
    Ref optimization = rows(self);
    if (!optimization || PyDict_SetItem(output.get(), names.optimization, optimization.get()) < 0) return nullptr;
    Ref labels = header_labels(self);
    if (!labels || PyDict_SetItem(output.get(), names.output_headers, labels.get()) < 0) return nullptr;

    Ref views = new_dict();
    if (!views || PyDict_SetItem(views.get(), names.definitions, definitions.get()) < 0 ||
        PyDict_SetItem(views.get(), names.data, data.get()) < 0 ||
        PyDict_SetItem(output.get(), names.views_key, views.get()) < 0) {
        return nullptr;
    }
    return output.release();
}

const FunctionSpec methods[] = {
    {{"__init__",
      Shape::General,
      5,
      0,
      {{"self"},
       {"results", Default::Required, Exact::Any, "List[OptimizationResultElement]"},
       {"result_column_names_input", Default::None, Exact::Any, "List[str]"},
       {"output_headers", Default::None, Exact::Dict, "'dict'"},
       {"image", Default::None, Exact::Any, "Union[PNGResult, JPGResult, SVGResult]"}}},
     nullptr,
     init_doc,
     init},
    {{"_serialize", Shape::OneArgument, 1, 0, {{"self"}}}, "Dict[str, Any]", serialize_doc, serialize},
};

}  // namespace

const ClassSpec optimization_result_class = {"OptimizationResult", true, nullptr, methods, 2};

}  // namespace nembra
