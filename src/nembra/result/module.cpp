// The module `nembra.result`: its definition, the create and exec steps, and the module
// body, which imports what the classes use and runs their class statements in order.
#include "classes.hpp"
#include "runtime.hpp"

namespace nembra {

namespace {

const char module_doc[] = R"(
Overview
--------

These objects are returned by an entity-type controller, corresponding to its action button:

- :class:`NembraResult`
- :class:`DownloadResult`
- :class:`OptimizationResult`
- :class:`SetParamsResult`

Reference
---------
)";

// Loading records, shared by every module object the definition produces. They are read
// and written only by the create and exec steps, under the interpreter's import lock.
PY_INT64_T first_interpreter = -1;
Constant loaded_module;

// ---------------------------------------------------------------------------------------
// The module body. Every statement gets the module namespace `ns`, which the module
// object owns while the body runs.

Ref import(PyObject* ns, PyObject* name, PyObject* fromlist, int level) noexcept {
    Ref locals = new_dict();
    if (!locals) return Ref();
    return Ref::steal(PyImport_ImportModuleLevelObject(name, ns, locals.get(), fromlist, level));
}

// import <name>
int import_module(PyObject* ns, PyObject* name) noexcept {
    Ref empty = new_list();
    if (!empty) return -1;
    Ref module = import(ns, name, empty.get(), 0);
    return module ? PyDict_SetItem(ns, name, module.get()) : -1;
}

// from <module> import <names...>, each name read and bound before the next.
int import_from(PyObject* ns, PyObject* module_name, int level,
                std::initializer_list<PyObject*> imported) noexcept {
    Ref fromlist = Ref::steal(PyList_New(static_cast<Py_ssize_t>(imported.size())));
    if (!fromlist) return -1;
    Py_ssize_t i = 0;
    for (PyObject* name : imported) PyList_SET_ITEM(fromlist.get(), i++, Py_NewRef(name));
    Ref module = import(ns, module_name, fromlist.get(), level);
    if (!module) return -1;
    for (PyObject* name : imported) {
        Ref value = attr(module.get(), name);
        if (!value) {
            if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
            }
            return -1;
        }
        if (PyDict_SetItem(ns, name, value.get()) < 0) return -1;
    }
    return 0;
}

// Imports munch with every warning suppressed; catch_warnings restores the filters.
int import_munch(PyObject* ns) noexcept {
    Ref warnings = global(ns, names.str_warnings);
    if (!warnings) return -1;
    Ref catch_warnings = attr(warnings.get(), names.str_catch_warnings);
    if (!catch_warnings) return -1;
    Ref manager = call(catch_warnings.get());
    if (!manager) return -1;
    const int done = with_block(manager.get(), [ns](PyObject*) {
        Ref module = global(ns, names.str_warnings);
        if (!module) return -1;
        Ref simplefilter = attr(module.get(), names.str_simplefilter);
        if (!simplefilter || !call(simplefilter.get(), names.str_ignore)) return -1;
        return import_from(ns, names.str_munch, 0, {names.str_Munch});
    });
    return done < 0 ? -1 : 0;
}

// The namespace from the metaclass's __prepare__ where it has one, else a new dict.
Ref prepare_namespace(PyObject* metaclass, PyObject* name, PyObject* bases) noexcept {
    Ref prepare = attr(metaclass, names.str___prepare__);
    if (prepare) return call(prepare.get(), name, bases);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Ref();
    PyErr_Clear();
    return new_dict();
}

int run_class_statement(PyObject* ns, const ClassSpec& cls) noexcept {
    if (cls.prepare != nullptr && cls.prepare(ns) < 0) return -1;
    Ref name = Ref::steal(PyUnicode_InternFromString(cls.name));
    if (!name) return -1;
    Ref bases;
    Ref metaclass;
    Ref class_ns;
    if (cls.serializable_base) {
        Ref base = global(ns, names.str__SerializableObject);
        if (!base) return -1;
        bases = Ref::steal(PyTuple_Pack(1, base.get()));
        if (!bases) return -1;
        metaclass = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(base.get())));
        class_ns = prepare_namespace(metaclass.get(), name.get(), bases.get());
    } else {
        bases = Ref::steal(PyTuple_New(0));
        metaclass = Ref::borrow(reinterpret_cast<PyObject*>(&PyType_Type));
        class_ns = new_dict();
    }
    if (!bases || !class_ns) return -1;

    if (PyObject_SetItem(class_ns.get(), names.str___module__, names.text_module_name) < 0) return -1;
    if (PyObject_SetItem(class_ns.get(), names.str___qualname__, name.get()) < 0) return -1;
    if (cls.doc != nullptr) {
        Ref doc = Ref::steal(PyUnicode_FromString(cls.doc));
        if (!doc || PyObject_SetItem(class_ns.get(), names.str___doc__, doc.get()) < 0) return -1;
    }
    for (std::size_t m = 0; m < cls.method_count; ++m) {
        const FunctionSpec& method = cls.methods[m];
        Ref function = make_function(method, cls.name, ns);
        if (!function) return -1;
        Ref short_name = Ref::steal(PyUnicode_InternFromString(method.signature.name));
        if (!short_name || PyObject_SetItem(class_ns.get(), short_name.get(), function.get()) < 0) return -1;
    }
    Ref made = call(metaclass.get(), name.get(), bases.get(), class_ns.get());
    if (!made) return -1;
#if PY_VERSION_HEX >= 0x030D0000
    // Calls of the class take the module's own path (a class's vectorcall is not
    // inherited). Measured faster than the interpreter's type call on 3.13 only.
    if (PyType_Check(made.get())) {
        reinterpret_cast<PyTypeObject*>(made.get())->tp_vectorcall = class_vectorcall;
    }
#endif
    return PyDict_SetItem(ns, name.get(), made.get());
}

// <alias> = <name>, read from the module namespace.
int bind_alias(PyObject* ns, const char* name, const char* alias) noexcept {
    Ref key = Ref::steal(PyUnicode_InternFromString(name));
    Ref alias_key = Ref::steal(PyUnicode_InternFromString(alias));
    if (!key || !alias_key) return -1;
    Ref value = global(ns, key.get());
    return value ? PyDict_SetItem(ns, alias_key.get(), value.get()) : -1;
}

int run_body(PyObject* ns) noexcept {
    if (import_module(ns, names.str_re) < 0) return -1;
    if (import_module(ns, names.str_warnings) < 0) return -1;
    if (import_from(ns, names.str_io, 0, {names.str_BytesIO}) < 0) return -1;
    if (import_from(ns, names.str_typing, 0,
                    {names.str_Dict, names.str_Any, names.str_List, names.str_Optional, names.str_Union}) <
        0) {
        return -1;
    }
    if (import_module(ns, names.str_zipfile) < 0) return -1;
    if (import_from(ns, names.str_api_v1, 1, {names.str_API}) < 0) return -1;
    if (import_from(ns, names.str_core, 1, {names.str__SerializableObject, names.str_File}) < 0) return -1;
    if (import_from(ns, names.str_parametrization, 1, {names.str__serialize_params}) < 0) return -1;
    if (import_from(ns, names.str_views, 1, {names.str_SVGResult, names.str_PNGResult, names.str_JPGResult}) <
        0) {
        return -1;
    }
    if (import_munch(ns) < 0) return -1;

    if (run_class_statement(ns, set_params_result_class) < 0) return -1;
    if (bind_alias(ns, "SetParamsResult", "SetParametersResult") < 0) return -1;
    if (run_class_statement(ns, download_result_class) < 0) return -1;
    if (run_class_statement(ns, optimization_result_element_class) < 0) return -1;
    if (bind_alias(ns, "OptimizationResultElement", "OptimisationResultElement") < 0) return -1;
    if (run_class_statement(ns, optimization_result_class) < 0) return -1;
    if (bind_alias(ns, "OptimizationResult", "OptimisationResult") < 0) return -1;
    if (run_class_statement(ns, nembra_result_class) < 0) return -1;
    Ref safe_name = make_function(create_safe_file_name_function, nullptr, ns);
    if (!safe_name || PyDict_SetItem(ns, names.str__create_safe_file_name, safe_name.get()) < 0) return -1;

    Ref test = new_dict();
    return test ? PyDict_SetItem(ns, names.str___test__, test.get()) : -1;
}

// ---------------------------------------------------------------------------------------
// Create and exec steps

int check_interpreter() noexcept {
    const PY_INT64_T current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (first_interpreter == -1) {
        first_interpreter = current;
        return current == -1 ? -1 : 0;
    }
    if (first_interpreter != current) {
        PyErr_SetString(
            PyExc_ImportError,
            "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        return -1;
    }
    return 0;
}

int copy_spec_attribute(PyObject* spec, PyObject* module_dict, const char* from, const char* to,
                        bool allow_none) noexcept {
    Ref value = Ref::steal(PyObject_GetAttrString(spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    if (!allow_none && value.get() == Py_None) return 0;
    return PyDict_SetItemString(module_dict, to, value.get());
}

PyObject* create_module(PyObject* spec, PyModuleDef*) {
    if (check_interpreter() < 0) return nullptr;
    if (loaded_module) return Py_NewRef(loaded_module.get());
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* dict = PyModule_GetDict(module.get());
    if (copy_spec_attribute(spec, dict, "loader", "__loader__", true) < 0 ||
        copy_spec_attribute(spec, dict, "origin", "__file__", true) < 0 ||
        copy_spec_attribute(spec, dict, "parent", "__package__", true) < 0 ||
        copy_spec_attribute(spec, dict, "submodule_search_locations", "__path__", false) < 0) {
        return nullptr;
    }
    return module.release();
}

// Registers the module under its canonical name when that key is free. Returns 1 when it
// registered, 0 when the key was taken, -1 on error.
int register_canonical_name(PyObject* module) noexcept {
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* existing = PyDict_GetItemWithError(modules, names.text_module_name);
    if (existing != nullptr) return 0;
    if (PyErr_Occurred()) return -1;
    return PyDict_SetItem(modules, names.text_module_name, module) < 0 ? -1 : 1;
}

// A failed load must not leave a half-filled module reachable under the canonical name.
void unregister_canonical_name(PyObject* module) noexcept {
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* existing = PyDict_GetItemWithError(modules, names.text_module_name);
    if (existing == module && PyDict_DelItem(modules, names.text_module_name) < 0) PyErr_Clear();
}

int exec_steps(PyObject* module, bool& registered) noexcept {
    if (make_names() < 0) return -1;
    PyObject* ns = PyModule_GetDict(module);
    runtime.builtins = Ref::steal(PyImport_ImportModule("builtins"));
    if (!runtime.builtins) return -1;
    if (PyObject_SetAttr(module, names.str___builtins__, runtime.builtins) < 0) return -1;
    const int registration = register_canonical_name(module);
    if (registration < 0) return -1;
    registered = registration == 1;

    Ref value_error = Ref::steal(PyUnicode_InternFromString("ValueError"));
    Ref not_implemented = Ref::steal(PyUnicode_InternFromString("NotImplementedError"));
    if (!value_error || !not_implemented) return -1;
    runtime.value_error = builtin(value_error.get());
    if (!runtime.value_error) return -1;
    runtime.not_implemented_error = builtin(not_implemented.get());
    if (!runtime.not_implemented_error) return -1;
    if (ready_function_type() < 0) return -1;
    return run_body(ns);
}

int exec_module(PyObject* module) {
    if (loaded_module) {
        if (loaded_module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'result' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    loaded_module = Ref::borrow(module);
    bool registered = false;
    if (exec_steps(module, registered) < 0) {
        if (registered) {
            PendingError pending;
            unregister_canonical_name(module);
        }
        PendingError pending;
        loaded_module = Ref();
        return -1;
    }
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "result", module_doc, 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace nembra

PyMODINIT_FUNC PyInit_result(void) {
    return PyModuleDef_Init(&nembra::module_def);
}
