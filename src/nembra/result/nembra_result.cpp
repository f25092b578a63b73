// NembraResult: the standard output object of a controller method, merging the serialised
// forms of the results it holds.
#include "class_spec.hpp"
#include "runtime.hpp"

namespace nembra {

namespace {

const char init_doc[] =
    "\n"
    "        Standard output object of a NembraController method, which serialises and combines several individual "
    "results\n"
    "        into the standard automation output. All inputs are optional to facilitate many combinations of results "
    "where\n"
    "        needed in the future. Currently, the serialisation only accounts for the following (backward "
    "compatible)\n"
    "        combinations:\n"
    "\n"
    "        - a single optimization result\n"
    "        - a single set_params result\n"
    "        - a single download result\n"
    "\n"
    "        :param optimisation_result: alias for optimization_result\n"
    "        :param set_parameters_result: alias for set_params_result\n"
    "        :param download_result: DownloadResult object\n"
    "        :param optimization_result: OptimizationResult object\n"
    "        :param set_params_result: SetParamsResult object\n"
    "        ";

// Stores `preferred` when it is true, else `fallback`.
int store_preferred(PyObject* self, PyObject* name, PyObject* preferred, PyObject* fallback) noexcept {
    const int truth = PyObject_IsTrue(preferred);
    if (truth < 0) return -1;
    return set_attr(self, name, truth ? preferred : fallback);
}

// __init__(self, optimisation_result=None, set_parameters_result=None, download_result=None,
//          *, optimization_result=None, set_params_result=None)
PyObject* init(PyObject* const* args) {
    PyObject* self = args[0];
    if (store_preferred(self, names.optimization_result_, args[4], args[1]) < 0) return nullptr;
    if (store_preferred(self, names.set_params_result_, args[5], args[2]) < 0) return nullptr;
    if (set_attr(self, names.download_result_, args[3]) < 0) return nullptr;
    Py_RETURN_NONE;
}

// serialisation.update(getattr(self, name)._serialize()) when the held result is not None.
int merge_held(PyObject* self, PyObject* name, PyObject* serialisation) noexcept {
    Ref held = attr(self, name);
    if (!held) return -1;
    if (held.get() == Py_None) return 0;
    held = attr(self, name);
    if (!held) return -1;
    Ref part = call_method(held.get(), names.serialize);
    if (!part) return -1;
    if (PyDict_CheckExact(part.get())) return PyDict_Update(serialisation, part.get());
    return call_method(serialisation, names.update, {part.get()}) ? 0 : -1;
}

// _serialize(self)
PyObject* serialize(PyObject* const* args) {
    PyObject* self = args[0];
    Ref serialisation = new_dict();
    if (!serialisation) return nullptr;
    for (PyObject* name : {names.optimization_result_, names.set_params_result_, names.download_result_}) {
        if (merge_held(self, name, serialisation.get()) < 0) return nullptr;
    }
    return serialisation.release();
}

const FunctionSpec methods[] = {
    {{"__init__",
      Shape::General,
      4,
      2,
      {{"self"},
       {"optimisation_result", Default::None, Exact::Any, "OptimizationResult"},
       {"set_parameters_result", Default::None, Exact::Any, "SetParamsResult"},
       {"download_result", Default::None, Exact::Any, "DownloadResult"},
       {"optimization_result", Default::None, Exact::Any, "OptimizationResult"},
       {"set_params_result", Default::None, Exact::Any, "SetParamsResult"}}},
     nullptr,
     init_doc,
     init},
    {{"_serialize", Shape::OneArgument, 1, 0, {{"self"}}}, "'dict'", nullptr, serialize},
};

}  // namespace

const ClassSpec nembra_result_class = {"NembraResult", true, nullptr, methods, 2};

}  // namespace nembra
