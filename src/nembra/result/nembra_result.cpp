// NembraResult: the standard output object of a controller method, merging the serialised
// forms of the results it holds.
#include "classes.hpp"
#include "runtime.hpp"

namespace nembra {

namespace {

const char init_doc[] = R"(
        Standard output object of a NembraController method, which serialises and combines several individual results
        into the standard automation output. All inputs are optional to facilitate many combinations of results where
        needed in the future. Currently, the serialisation only accounts for the following (backward compatible)
        combinations:

        - a single optimization result
        - a single set_params result
        - a single download result

        :param optimisation_result: alias for optimization_result
        :param set_parameters_result: alias for set_params_result
        :param download_result: DownloadResult object
        :param optimization_result: OptimizationResult object
        :param set_params_result: SetParamsResult object
        )";

// Stores `preferred` when it is true, else `fallback`.
int store_preferred(PyObject* self, PyObject* name, PyObject* preferred, PyObject* fallback) noexcept {
    const int truth = PyObject_IsTrue(preferred);
    if (truth < 0) return -1;
    return set_attr(self, name, truth ? preferred : fallback);
}

#define INIT_PARAMETERS(X)                                               \
    X(self, Positional, Required, Any, nullptr)                          \
    X(optimisation_result, Positional, None, Any, "OptimizationResult")  \
    X(set_parameters_result, Positional, None, Any, "SetParamsResult")   \
    X(download_result, Positional, None, Any, "DownloadResult")          \
    X(optimization_result, KeywordOnly, None, Any, "OptimizationResult") \
    X(set_params_result, KeywordOnly, None, Any, "SetParamsResult")
NEMBRA_PARAMETERS(Init, INIT_PARAMETERS);

// __init__(self, optimisation_result=None, set_parameters_result=None, download_result=None,
//          *, optimization_result=None, set_params_result=None)
Ref init(const Init& values) {
    PyObject* self = values.self;
    if (store_preferred(self, names.str__optimization_result, values.optimization_result,
                        values.optimisation_result) < 0) {
        return Ref();
    }
    if (store_preferred(self, names.str__set_params_result, values.set_params_result,
                        values.set_parameters_result) < 0) {
        return Ref();
    }
    if (set_attr(self, names.str__download_result, values.download_result) < 0) return Ref();
    return none();
}

// serialisation.update(getattr(self, name)._serialize()) when the held result is not None.
int merge_held(PyObject* self, PyObject* name, PyObject* serialisation) noexcept {
    Ref held = attr(self, name);
    if (!held) return -1;
    if (held.get() == Py_None) return 0;
    // Read again for the call, as `getattr(self, name)._serialize()` after the test does:
    // a property may give another object the second time.
    held = attr(self, name);
    if (!held) return -1;
    Ref part = call_method(held.get(), names.str__serialize);
    if (!part) return -1;
    if (PyDict_CheckExact(part.get())) return PyDict_Update(serialisation, part.get());
    return call_method(serialisation, names.str_update, part.get()) ? 0 : -1;
}

#define SERIALIZE_PARAMETERS(X) X(self, Positional, Required, Any, nullptr)
NEMBRA_PARAMETERS(Serialize, SERIALIZE_PARAMETERS);

// _serialize(self)
Ref serialize(const Serialize& values) {
    Ref serialisation = new_dict();
    if (!serialisation) return Ref();
    for (PyObject* name : {names.str__optimization_result.get(), names.str__set_params_result.get(),
                           names.str__download_result.get()}) {
        if (merge_held(values.self, name, serialisation.get()) < 0) return Ref();
    }
    return serialisation;
}

constexpr FunctionSpec methods[] = {
    define_function<Init, init>("__init__", nullptr, init_doc),
    define_function<Serialize, serialize>("_serialize", "'dict'", nullptr),
};

}  // namespace

const ClassSpec nembra_result_class = define_class("NembraResult", true, nullptr, methods);

}  // namespace nembra
