// The module `nembra.result`: its definition, the create and exec steps, and the module
// body, which imports what the classes use and runs their class statements in order.
#include <cctype>
#include <cstring>
#include <string>

#include "class_spec.hpp"
#include "runtime.hpp"

namespace nembra {

namespace {

const char module_doc[] =
    "\n"
    "Overview\n"
    "--------\n"
    "\n"
    "These objects are returned by an entity-type controller, corresponding to its action button:\n"
    "\n"
    "- :class:`NembraResult`\n"
    "- :class:`DownloadResult`\n"
    "- :class:`OptimizationResult`\n"
    "- :class:`SetParamsResult`\n"
    "\n"
    "Reference\n"
    "---------\n";

// Loading records, shared by every module object the definition produces. They are read
// and written only by the create and exec steps, under the interpreter's import lock.
PY_INT64_T first_interpreter = -1;
PyObject* loaded_module = nullptr;

// ---------------------------------------------------------------------------------------
// Imports

Ref import(PyObject* name, PyObject* fromlist, int level) noexcept {
    Ref locals = new_dict();
    if (!locals) return Ref();
    return Ref::steal(PyImport_ImportModuleLevelObject(name, runtime.globals, locals.get(), fromlist, level));
}

int bind_global(PyObject* name, PyObject* value) noexcept {
    return PyDict_SetItem(runtime.globals, name, value);
}

// import <name>
int import_module(PyObject* name) noexcept {
    Ref empty = new_list();
    if (!empty) return -1;
    Ref module = import(name, empty.get(), 0);
    return module ? bind_global(name, module.get()) : -1;
}

// from <module> import <names...>, each name read and bound before the next.
int import_from(PyObject* module_name, int level, std::initializer_list<PyObject*> imported) noexcept {
    Ref fromlist = Ref::steal(PyList_New(static_cast<Py_ssize_t>(imported.size())));
    if (!fromlist) return -1;
    Py_ssize_t i = 0;
    for (PyObject* name : imported) PyList_SET_ITEM(fromlist.get(), i++, Py_NewRef(name));
    Ref module = import(module_name, fromlist.get(), level);
    if (!module) return -1;
    for (PyObject* name : imported) {
        Ref value = attr(module.get(), name);
        if (!value) {
            if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
            }
            return -1;
        }
        if (bind_global(name, value.get()) < 0) return -1;
    }
    return 0;
}

// Imports munch with every warning suppressed; catch_warnings restores the filters.
int import_munch() noexcept {
    Ref warnings = global(names.warnings);
    if (!warnings) return -1;
    Ref catch_warnings = attr(warnings.get(), names.catch_warnings);
    if (!catch_warnings) return -1;
    Ref manager = call(catch_warnings.get());
    if (!manager) return -1;
    const int done = with_block(manager.get(), [](PyObject*) {
        Ref module = global(names.warnings);
        if (!module) return -1;
        Ref simplefilter = attr(module.get(), names.simplefilter);
        if (!simplefilter || !call(simplefilter.get(), {names.ignore})) return -1;
        return import_from(names.munch, 0, {names.Munch});
    });
    return done < 0 ? -1 : 0;
}

// ---------------------------------------------------------------------------------------
// Annotations: a small expression language for the annotation of each parameter.
//   'text'            the string itself
//   str, bytes, dict  the builtin types
//   Name              a module global, read now
//   Name[a, b, ...]   subscription, with a tuple when there is more than one member

class AnnotationParser {
public:
    explicit AnnotationParser(const char* text) : text_(text), at_(text) {}

    Ref parse() noexcept {
        Ref value = expression();
        if (value && *at_ != '\0') return malformed();
        return value;
    }

private:
    Ref malformed() noexcept {
        PyErr_Format(PyExc_SystemError, "malformed annotation: %s", text_);
        return Ref();
    }

    void skip_spaces() noexcept {
        while (*at_ == ' ') ++at_;
    }

    Ref expression() noexcept {
        skip_spaces();
        if (*at_ == '\'') {
            const char* end = std::strchr(at_ + 1, '\'');
            if (end == nullptr) return malformed();
            Ref text = Ref::steal(PyUnicode_FromStringAndSize(at_ + 1, end - at_ - 1));
            at_ = end + 1;
            return text;
        }
        const char* start = at_;
        while (std::isalnum(static_cast<unsigned char>(*at_)) || *at_ == '_') ++at_;
        if (at_ == start) return malformed();
        Ref target = name(std::string(start, at_));
        skip_spaces();
        if (!target || *at_ != '[') return target;
        ++at_;
        return subscript(target.get());
    }

    Ref name(const std::string& identifier) noexcept {
        if (identifier == "str") return Ref::borrow(reinterpret_cast<PyObject*>(&PyUnicode_Type));
        if (identifier == "bytes") return Ref::borrow(reinterpret_cast<PyObject*>(&PyBytes_Type));
        if (identifier == "dict") return Ref::borrow(reinterpret_cast<PyObject*>(&PyDict_Type));
        Ref key = Ref::steal(PyUnicode_InternFromString(identifier.c_str()));
        return key ? global(key.get()) : Ref();
    }

    Ref subscript(PyObject* target) noexcept {
        Ref members = new_list();
        if (!members) return Ref();
        for (;;) {
            Ref member = expression();
            if (!member || PyList_Append(members.get(), member.get()) < 0) return Ref();
            skip_spaces();
            if (*at_ == ',') {
                ++at_;
                continue;
            }
            if (*at_ != ']') return malformed();
            ++at_;
            break;
        }
        Ref key = PyList_GET_SIZE(members.get()) == 1 ? Ref::borrow(PyList_GET_ITEM(members.get(), 0))
                                                      : Ref::steal(PyList_AsTuple(members.get()));
        if (!key) return Ref();
        return Ref::steal(PyObject_GetItem(target, key.get()));
    }

    const char* text_;
    const char* at_;
};

Ref annotation(const char* text) noexcept { return AnnotationParser(text).parse(); }

// Parameters in signature order, then "return".
Ref make_annotations(const FunctionSpec& spec) noexcept {
    Ref dict = new_dict();
    if (!dict) return dict;
    const Signature& sig = spec.signature;
    for (int p = 0; p < sig.count(); ++p) {
        const Parameter& param = sig.parameters[p];
        if (param.annotation == nullptr) continue;
        Ref value = annotation(param.annotation);
        if (!value || PyDict_SetItemString(dict.get(), param.name, value.get()) < 0) return Ref();
    }
    if (spec.return_annotation != nullptr) {
        Ref value = annotation(spec.return_annotation);
        if (!value || PyDict_SetItemString(dict.get(), "return", value.get()) < 0) return Ref();
    }
    return dict;
}

// A code object that gives the function's parameters to introspection: compiled from an
// empty `def` with the same parameter list.
Ref make_code(const Signature& sig) noexcept {
    std::string source = "def ";
    source += sig.name;
    source += "(";
    for (int p = 0; p < sig.count(); ++p) {
        if (p > 0) source += ", ";
        if (p == sig.positional) source += "*, ";
        source += sig.parameters[p].name;
    }
    source += "): pass\n";
    Ref module_code = Ref::steal(Py_CompileString(source.c_str(), "<nembra.result>", Py_file_input));
    if (!module_code) return module_code;
    Ref constants = Ref::steal(PyObject_GetAttrString(module_code.get(), "co_consts"));
    if (!constants) return constants;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(constants.get()); ++i) {
        PyObject* item = PyTuple_GET_ITEM(constants.get(), i);
        if (PyCode_Check(item)) return Ref::borrow(item);
    }
    PyErr_SetString(PyExc_SystemError, "compiled definition holds no code object");
    return Ref();
}

Ref function_object(const FunctionSpec& spec, const char* class_name) noexcept {
    Ref annotations = make_annotations(spec);
    if (!annotations) return annotations;
    Ref code = make_code(spec.signature);
    if (!code) return code;
    return make_function(spec, class_name, runtime.globals, code.get(), annotations.get());
}

// ---------------------------------------------------------------------------------------
// Class statements

// The namespace from the metaclass's __prepare__ where it has one, else a new dict.
Ref prepare_namespace(PyObject* metaclass, PyObject* name, PyObject* bases) noexcept {
    Ref prepare = attr(metaclass, names.dunder_prepare);
    if (prepare) return call(prepare.get(), {name, bases});
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Ref();
    PyErr_Clear();
    return new_dict();
}

int run_class_statement(const ClassSpec& cls) noexcept {
    Ref name = Ref::steal(PyUnicode_InternFromString(cls.name));
    if (!name) return -1;
    Ref bases;
    Ref metaclass;
    Ref ns;
    if (cls.serializable_base) {
        Ref base = global(names.SerializableObject);
        if (!base) return -1;
        bases = Ref::steal(PyTuple_Pack(1, base.get()));
        if (!bases) return -1;
        metaclass = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(base.get())));
        ns = prepare_namespace(metaclass.get(), name.get(), bases.get());
    } else {
        bases = Ref::steal(PyTuple_New(0));
        metaclass = Ref::borrow(reinterpret_cast<PyObject*>(&PyType_Type));
        ns = new_dict();
    }
    if (!bases || !ns) return -1;

    if (PyObject_SetItem(ns.get(), names.dunder_module, names.module_name) < 0) return -1;
    if (PyObject_SetItem(ns.get(), names.dunder_qualname, name.get()) < 0) return -1;
    if (cls.doc != nullptr) {
        Ref doc = Ref::steal(PyUnicode_FromString(cls.doc));
        if (!doc || PyObject_SetItem(ns.get(), names.dunder_doc, doc.get()) < 0) return -1;
    }
    for (int m = 0; m < cls.method_count; ++m) {
        const FunctionSpec& method = cls.methods[m];
        Ref function = function_object(method, cls.name);
        if (!function) return -1;
        Ref short_name = Ref::steal(PyUnicode_InternFromString(method.signature.name));
        if (!short_name || PyObject_SetItem(ns.get(), short_name.get(), function.get()) < 0) return -1;
    }
    Ref made = call(metaclass.get(), {name.get(), bases.get(), ns.get()});
    return made ? bind_global(name.get(), made.get()) : -1;
}

// <alias> = <name>, read from the module namespace.
int bind_alias(const char* name, const char* alias) noexcept {
    Ref key = Ref::steal(PyUnicode_InternFromString(name));
    Ref alias_key = Ref::steal(PyUnicode_InternFromString(alias));
    if (!key || !alias_key) return -1;
    Ref value = global(key.get());
    return value ? bind_global(alias_key.get(), value.get()) : -1;
}

int run_body() noexcept {
    if (import_module(names.re) < 0 || remember_re_module() < 0) return -1;
    if (import_module(names.warnings) < 0) return -1;
    if (import_from(names.io, 0, {names.BytesIO}) < 0) return -1;
    if (import_from(names.typing, 0, {names.Dict, names.Any, names.List, names.Optional, names.Union}) < 0) {
        return -1;
    }
    if (import_module(names.zipfile) < 0) return -1;
    if (import_from(names.api_v1, 1, {names.API}) < 0) return -1;
    if (import_from(names.core, 1, {names.SerializableObject, names.File}) < 0) return -1;
    if (import_from(names.parametrization, 1, {names.serialize_params}) < 0) return -1;
    if (import_from(names.views, 1, {names.SVGResult, names.PNGResult, names.JPGResult}) < 0) return -1;
    if (import_munch() < 0) return -1;

    if (run_class_statement(set_params_result_class) < 0) return -1;
    if (bind_alias("SetParamsResult", "SetParametersResult") < 0) return -1;
    if (run_class_statement(download_result_class) < 0) return -1;
    if (run_class_statement(optimization_result_element_class) < 0) return -1;
    if (bind_alias("OptimizationResultElement", "OptimisationResultElement") < 0) return -1;
    if (run_class_statement(optimization_result_class) < 0) return -1;
    if (bind_alias("OptimizationResult", "OptimisationResult") < 0) return -1;
    if (run_class_statement(nembra_result_class) < 0) return -1;
    Ref safe_name = function_object(create_safe_file_name_function, nullptr);
    if (!safe_name || bind_global(names.create_safe_file_name, safe_name.get()) < 0) return -1;

    Ref test = new_dict();
    return test ? bind_global(names.test, test.get()) : -1;
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
        PyErr_SetString(PyExc_ImportError,
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
    if (loaded_module != nullptr) return Py_NewRef(loaded_module);
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
    PyObject* existing = PyDict_GetItemWithError(modules, names.module_name);
    if (existing != nullptr) return 0;
    if (PyErr_Occurred()) return -1;
    return PyDict_SetItem(modules, names.module_name, module) < 0 ? -1 : 1;
}

// A failed load must not leave a half-filled module reachable under the canonical name.
void unregister_canonical_name(PyObject* module) noexcept {
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* existing = PyDict_GetItemWithError(modules, names.module_name);
    if (existing == module && PyDict_DelItem(modules, names.module_name) < 0) PyErr_Clear();
}

int exec_steps(PyObject* module, bool& registered) noexcept {
    if (make_names() < 0) return -1;
    runtime.globals = PyModule_GetDict(module);
    if (watch_namespace() < 0) return -1;
    runtime.builtins = Ref::steal(PyImport_ImportModule("builtins"));
    if (!runtime.builtins) return -1;
    if (PyObject_SetAttr(module, names.dunder_builtins, runtime.builtins.get()) < 0) return -1;
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
    if (make_download_constants() < 0 || ready_function_type() < 0) return -1;
    return run_body();
}

int exec_module(PyObject* module) {
    if (loaded_module != nullptr) {
        if (loaded_module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'result' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    loaded_module = Py_NewRef(module);
    bool registered = false;
    if (exec_steps(module, registered) < 0) {
        if (registered) {
            PendingError pending;
            unregister_canonical_name(module);
        }
        Py_CLEAR(loaded_module);
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

PyMODINIT_FUNC PyInit_result(void) { return PyModuleDef_Init(&nembra::module_def); }
