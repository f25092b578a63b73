// OptimizationResult: the table of candidate designs that an optimization button returns.
#include "classes.hpp"
#include "runtime.hpp"

namespace nembra {

namespace {

const char init_doc[] = R"(
        Container for the output of an :class:`~.parametrization.actions.OptimizationButton`.

        :param results: list of results, order is kept in user interface.
        :param result_column_names_input: specifies which input parameters should be shown the table.
                                          The parametrization class defined the label which is shown
        :param output_headers: specifies which results should be shown in the results table.
                                Key should match the key of the analysis_result inside each result.
                                Value is the corresponding label which the end user sees.
        :param image: image which is shown next to the results. Could be JPG, PNG or SVG.

        Example:

        .. code-block:: python

            params1 = {'tab': {'section': {'field1': 'a', 'field2': 5}}}
            params2 = {'tab': {'section': {'field1': 'b', 'field2': 8}}}
            analysis1 = {'result1': 10, 'result2': 20}
            analysis2 = {'result1': 100, 'result2': 150}

            results = [
                OptimizationResultElement(params1, analysis1),
                OptimizationResultElement(params2, analysis2),
            ]

            OptimizationResult(results, result_column_names_input=['field1'], output_headers={'result1': 'Result 1'})

        This renders as the following table for the end-user:

        +---------+---------+----------+
        |    #    | Field 1 | Result 1 |
        +=========+=========+==========+
        |    1    |    a    |    10    |
        +---------+---------+----------+
        |    2    |    b    |    100   |
        +---------+---------+----------+

        )";

const char serialize_doc[] =
    R"(Get the final results as {"optimization": [result1, result2]}, with results sorted by cost.)";

// Stores `value` itself when it is true, else what `make_empty` makes.
int store_or_empty(PyObject* self, PyObject* name, PyObject* value, Ref (*make_empty)()) noexcept {
    const int truth = PyObject_IsTrue(value);
    if (truth < 0) return -1;
    Ref stored = truth ? Ref::borrow(value) : make_empty();
    return stored ? set_attr(self, name, stored.get()) : -1;
}

#define INIT_PARAMETERS(X)                                                   \
    X(self, Positional, Required, Any, nullptr)                              \
    X(results, Positional, Required, Any, "List[OptimizationResultElement]") \
    X(result_column_names_input, Positional, None, Any, "List[str]")         \
    X(output_headers, Positional, None, Dict, "'dict'")                      \
    X(image, Positional, None, Any, "Union[PNGResult, JPGResult, SVGResult]")
NEMBRA_PARAMETERS(Init, INIT_PARAMETERS);

// __init__(self, results, result_column_names_input=None, output_headers=None, image=None)
Ref init(const Init& values) {
    PyObject* self = values.self;
    if (store_or_empty(self, names.str_result_column_names_input, values.result_column_names_input,
                       new_list) < 0) {
        return Ref();
    }
    Ref result_names = new_list();
    if (!result_names || set_attr(self, names.str_result_column_names_result, result_names.get()) < 0) {
        return Ref();
    }
    if (store_or_empty(self, names.str__output_headers, values.output_headers, new_dict) < 0) return Ref();
    if (set_attr(self, names.str__OptimizationResult__results, values.results) < 0) return Ref();
    const int has_image = PyObject_IsTrue(values.image);
    if (has_image < 0) return Ref();
    Ref views = Ref::steal(PyList_New(has_image ? 1 : 0));
    if (!views) return Ref();
    if (has_image) PyList_SET_ITEM(views.get(), 0, Py_NewRef(values.image));
    if (set_attr(self, names.str__view_results, views.get()) < 0) return Ref();
    return none();
}

// Calls `each(item)` for every item that iterating `iterable` yields.
template <class Each>
int for_each(PyObject* iterable, Each&& each) noexcept {
    Ref iterator = Ref::steal(PyObject_GetIter(iterable));
    if (!iterator) return -1;
    SignalCheck signals;
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        if (signals.tick() < 0 || each(item.get()) < 0) return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

// [{"label": "", "type": vr._view_type_name} for vr in self._view_results]
Ref view_definitions(PyObject* self) noexcept {
    Ref views = attr(self, names.str__view_results);
    Ref definitions = new_list();
    if (!views || !definitions) return Ref();
    const int done = for_each(views.get(), [&](PyObject* view) {
        Ref definition = new_dict();
        if (!definition || PyDict_SetItem(definition.get(), names.str_label, names.text_empty) < 0) return -1;
        Ref type = attr(view, names.str__view_type_name);
        if (!type || PyDict_SetItem(definition.get(), names.str_type, type.get()) < 0) return -1;
        return PyList_Append(definitions.get(), definition.get());
    });
    return done < 0 ? Ref() : std::move(definitions);
}

// [vr._serialize() for vr in self._view_results]
Ref view_data(PyObject* self) noexcept {
    Ref views = attr(self, names.str__view_results);
    Ref data = new_list();
    if (!views || !data) return Ref();
    const int done = for_each(views.get(), [&](PyObject* view) {
        Ref serialized = call_method(view, names.str__serialize);
        return serialized ? PyList_Append(data.get(), serialized.get()) : -1;
    });
    return done < 0 ? Ref() : std::move(data);
}

// [r._serialize(self._output_headers) for r in self.__results]
Ref rows(PyObject* self) noexcept {
    Ref results = attr(self, names.str__OptimizationResult__results);
    Ref rows = new_list();
    if (!results || !rows) return Ref();
    const int done = for_each(results.get(), [&](PyObject* result) {
        Method serialize = lookup_method(result, names.str__serialize);
        if (!serialize) return -1;
        Ref headers = attr(self, names.str__output_headers);
        if (!headers) return -1;
        Ref row = serialize(headers.get());
        return row ? PyList_Append(rows.get(), row.get()) : -1;
    });
    return done < 0 ? Ref() : std::move(rows);
}

// list(self._output_headers.values())
Ref header_labels(PyObject* self) noexcept {
    Ref headers = attr(self, names.str__output_headers);
    if (!headers) return headers;
    Ref values = call_method(headers.get(), names.str_values);
    if (!values) return values;
    return Ref::steal(PySequence_List(values.get()));
}

#define SERIALIZE_PARAMETERS(X) X(self, Positional, Required, Any, nullptr)
NEMBRA_PARAMETERS(Serialize, SERIALIZE_PARAMETERS);

// _serialize(self)
Ref serialize(const Serialize& values) {
    PyObject* self = values.self;
    Ref definitions = view_definitions(self);
    if (!definitions) return Ref();
    Ref data = view_data(self);
    if (!data) return Ref();

    Ref output = new_dict();
    if (!output) return Ref();
    Ref input_columns = attr(self, names.str_result_column_names_input);
    if (!input_columns || PyDict_SetItem(output.get(), names.str_input_columns, input_columns.get()) < 0) {
        return Ref();
    }
    Ref optimization = rows(self);
    if (!optimization || PyDict_SetItem(output.get(), names.str_optimization, optimization.get()) < 0)
        return Ref();
    Ref labels = header_labels(self);
    if (!labels || PyDict_SetItem(output.get(), names.str_output_headers, labels.get()) < 0) return Ref();

    Ref views = new_dict();
    if (!views || PyDict_SetItem(views.get(), names.str_definitions, definitions.get()) < 0 ||
        PyDict_SetItem(views.get(), names.str_data, data.get()) < 0 ||
        PyDict_SetItem(output.get(), names.str_views, views.get()) < 0) {
        return Ref();
    }
    return output;
}

constexpr FunctionSpec methods[] = {
    define_function<Init, init>("__init__", nullptr, init_doc),
    define_function<Serialize, serialize>("_serialize", "Dict[str, Any]", serialize_doc),
};

}  // namespace

const ClassSpec optimization_result_class = define_class("OptimizationResult", true, nullptr, methods);

}  // namespace nembra
