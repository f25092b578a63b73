// Making a function object from its description: the code object that gives introspection
// its parameters, the annotations, the defaults and the binding the calls use.
#include <cctype>
#include <cstring>

#include "function.hpp"
#include "names.hpp"
#include "runtime.hpp"

namespace nembra {

namespace {

PyObject* default_constant(Default d) noexcept {
    return d == Default::Utf8 ? names.text_utf_8 : Py_None;
}

// ---------------------------------------------------------------------------------------
// Annotations: a small expression language for the annotation of each parameter.
//   'text'            the string itself
//   str, bytes, dict  the builtin types
//   Name              a module global, read now
//   Name[a, b, ...]   subscription, with a tuple when there is more than one member

class AnnotationParser {
public:
    AnnotationParser(const char* text, PyObject* globals) : text_(text), at_(text), globals_(globals) {}

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
        Ref target = name(start, static_cast<std::size_t>(at_ - start));
        skip_spaces();
        if (!target || *at_ != '[') return target;
        ++at_;
        return subscript(target.get());
    }

    static bool is(const char* start, std::size_t length, const char* word) noexcept {
        return std::strlen(word) == length && std::strncmp(start, word, length) == 0;
    }

    Ref name(const char* start, std::size_t length) noexcept {
        if (is(start, length, "str")) return Ref::borrow(reinterpret_cast<PyObject*>(&PyUnicode_Type));
        if (is(start, length, "bytes")) return Ref::borrow(reinterpret_cast<PyObject*>(&PyBytes_Type));
        if (is(start, length, "dict")) return Ref::borrow(reinterpret_cast<PyObject*>(&PyDict_Type));
        PyObject* key = PyUnicode_FromStringAndSize(start, static_cast<Py_ssize_t>(length));
        if (key == nullptr) return Ref();
        PyUnicode_InternInPlace(&key);
        Ref owned_key = Ref::steal(key);
        return global(globals_, owned_key.get());
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
    PyObject* globals_;
};

// Parameters in signature order, then "return".
Ref make_annotations(const FunctionSpec& spec, PyObject* globals) noexcept {
    Ref dict = new_dict();
    if (!dict) return dict;
    const Signature& sig = spec.signature;
    for (int p = 0; p < sig.count(); ++p) {
        const Parameter& param = sig.parameters[p];
        if (param.annotation == nullptr) continue;
        Ref value = AnnotationParser(param.annotation, globals).parse();
        if (!value || PyDict_SetItemString(dict.get(), param.name, value.get()) < 0) return Ref();
    }
    if (spec.return_annotation != nullptr) {
        Ref value = AnnotationParser(spec.return_annotation, globals).parse();
        if (!value || PyDict_SetItemString(dict.get(), "return", value.get()) < 0) return Ref();
    }
    return dict;
}

// ---------------------------------------------------------------------------------------
// Code objects. Each function's code object is the one that compiling
//     def <name>(<parameters>): pass
// (with `*, ` before the keyword-only parameters) gives, so that introspection sees the
// parameters. It is assembled directly, without running the compiler at load time: the
// instructions and location table of that one-line body are fixed for each interpreter
// version; only the column of `pass` varies, and only 3.13 records it.

constexpr const char kCodeFile[] = "<nembra.result>";

// NEMBRA_COMPILE_CODE selects the compiled path on any version, to test it.
#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030E0000 && !defined(NEMBRA_COMPILE_CODE)

// The length of "<parameters>" in "def <name>(<parameters>): pass".
std::size_t parameter_list_length(const Signature& sig) noexcept {
    std::size_t length = 0;
    for (int p = 0; p < sig.count(); ++p) {
        if (p > 0) length += 2;                // ", "
        if (p == sig.positional) length += 3;  // "*, "
        length += std::strlen(sig.parameters[p].name);
    }
    return length;
}

// The instructions of `pass` as a function body, and the stack it needs.
#if PY_VERSION_HEX >= 0x030D0000
constexpr unsigned char kBody[] = {149, 0, 103, 0};  // RESUME 0; RETURN_CONST 0 (None)
constexpr int kStackSize = 1;
#elif PY_VERSION_HEX >= 0x030C0000
constexpr unsigned char kBody[] = {151, 0, 121, 0};  // RESUME 0; RETURN_CONST 0 (None)
constexpr int kStackSize = 0;
#else
constexpr unsigned char kBody[] = {151, 0, 100, 0, 83, 0};  // RESUME 0; LOAD_CONST 0; RETURN_VALUE
constexpr int kStackSize = 1;
#endif

// A location table: at most 2 bytes for the first entry and 8 for the second.
struct LocationTable {
    char bytes[16];
    std::size_t size = 0;

    void add(unsigned value) noexcept {
        if (size < sizeof bytes) bytes[size++] = static_cast<char>(value);
    }
};

// Location table: every instruction on line 1. 3.11 and 3.12 give no columns; 3.13 gives
// the columns of `pass` to the return.
LocationTable location_table(std::size_t pass_column) noexcept {
    LocationTable table;
#if PY_VERSION_HEX >= 0x030D0000
    table.add(0x80);  // RESUME: one code unit on line 1, no columns
    table.add(0x00);
    const std::size_t end = pass_column + 4;
    if (pass_column < 80) {  // short form: one code unit, start and end columns packed
        table.add(0x80 | static_cast<unsigned>((pass_column / 8) << 3));
        table.add(static_cast<unsigned>(((pass_column % 8) << 4) | 4));
    } else if (end < 128) {  // one-line form, line delta 0
        table.add(0x80 | (10 << 3));
        table.add(static_cast<unsigned>(pass_column));
        table.add(static_cast<unsigned>(end));
    } else {  // long form: line and end-line deltas 0, columns plus one as varints
        table.add(0x80 | (14 << 3));
        table.add(0x00);
        table.add(0x00);
        for (std::size_t value : {pass_column + 1, end + 1}) {
            while (value >= 64) {
                table.add(0x40 | static_cast<unsigned>(value & 63));
                value >>= 6;
            }
            table.add(static_cast<unsigned>(value));
        }
    }
#elif PY_VERSION_HEX >= 0x030C0000
    (void)pass_column;
    table.add(0x81);  // two code units on line 1
    table.add(0x00);
#else
    (void)pass_column;
    for (int unit = 0; unit < 3; ++unit) {
        table.add(0x80);
        table.add(0x00);
    }
#endif
    return table;
}

Ref make_code(const Signature& sig) noexcept {
    // Column of `pass` in "def <name>(<parameters>): pass".
    const std::size_t pass_column = 4 + std::strlen(sig.name) + 1 + parameter_list_length(sig) + 3;
    const LocationTable table = location_table(pass_column);

    Ref code = Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(kBody), sizeof kBody));
    Ref constants = Ref::steal(PyTuple_Pack(1, Py_None));
    Ref no_names = Ref::steal(PyTuple_New(0));
    Ref variables = Ref::steal(PyTuple_New(sig.count()));
    Ref file = Ref::steal(PyUnicode_InternFromString(kCodeFile));
    Ref name = Ref::steal(PyUnicode_InternFromString(sig.name));
    Ref lines = Ref::steal(PyBytes_FromStringAndSize(table.bytes, static_cast<Py_ssize_t>(table.size)));
    Ref exceptions = Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
    if (!code || !constants || !no_names || !variables || !file || !name || !lines || !exceptions)
        return Ref();
    for (int p = 0; p < sig.count(); ++p) {
        PyObject* variable = PyUnicode_InternFromString(sig.parameters[p].name);
        if (variable == nullptr) return Ref();
        PyTuple_SET_ITEM(variables.get(), p, variable);
    }
#if PY_VERSION_HEX >= 0x030C0000
#define NEMBRA_NEW_CODE PyUnstable_Code_NewWithPosOnlyArgs
#else
#define NEMBRA_NEW_CODE PyCode_NewWithPosOnlyArgs
#endif
    return Ref::steal(reinterpret_cast<PyObject*>(NEMBRA_NEW_CODE(
        sig.positional, 0, sig.keyword_only, sig.count(), kStackSize, CO_OPTIMIZED | CO_NEWLOCALS, code.get(),
        constants.get(), no_names.get(), variables.get(), no_names.get(), no_names.get(), file.get(),
        name.get(), name.get(), 1, lines.get(), exceptions.get())));
#undef NEMBRA_NEW_CODE
}

#else

// An interpreter whose instruction set is not known here: compile the definition.
Ref make_code(const Signature& sig) noexcept {
    Ref names_list = Ref::steal(PyList_New(0));
    if (!names_list) return Ref();
    for (int p = 0; p < sig.count(); ++p) {
        if (p == sig.positional) {
            Ref star = Ref::steal(PyUnicode_FromString("*"));
            if (!star || PyList_Append(names_list.get(), star.get()) < 0) return Ref();
        }
        Ref name = Ref::steal(PyUnicode_FromString(sig.parameters[p].name));
        if (!name || PyList_Append(names_list.get(), name.get()) < 0) return Ref();
    }
    Ref separator = Ref::steal(PyUnicode_FromString(", "));
    Ref list = separator ? Ref::steal(PyUnicode_Join(separator.get(), names_list.get())) : Ref();
    if (!list) return Ref();
    Ref text = Ref::steal(PyUnicode_FromFormat("def %s(%U): pass\n", sig.name, list.get()));
    const char* source = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (source == nullptr) return Ref();
    Ref module_code = Ref::steal(Py_CompileString(source, kCodeFile, Py_file_input));
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

#endif

// ---------------------------------------------------------------------------------------
// Defaults and binding

Ref make_qualname(const Signature& sig, const char* class_name) noexcept {
    if (class_name == nullptr) return Ref::steal(PyUnicode_InternFromString(sig.name));
    return Ref::steal(PyUnicode_FromFormat("%s.%s", class_name, sig.name));
}

int leading_required(const Signature& sig) noexcept {
    int required = 0;
    while (required < sig.positional && sig.parameters[required].default_value == Default::Required) {
        ++required;
    }
    return required;
}

// The default tuple pairs with the last positional parameters; None when there is none.
Ref make_defaults(const Signature& sig, int required) noexcept {
    const int count = sig.positional - required;
    if (count == 0) return none();
    Ref tuple = Ref::steal(PyTuple_New(count));
    if (!tuple) return tuple;
    for (int i = 0; i < count; ++i) {
        const Parameter& param = sig.parameters[required + i];
        PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(default_constant(param.default_value)));
    }
    return tuple;
}

Ref make_kwdefaults(const Signature& sig) noexcept {
    if (sig.keyword_only == 0) return none();
    Ref dict = new_dict();
    if (!dict) return dict;
    for (int p = sig.positional; p < sig.count(); ++p) {
        const Parameter& param = sig.parameters[p];
        if (PyDict_SetItemString(dict.get(), param.name, default_constant(param.default_value)) < 0) {
            return Ref();
        }
    }
    return dict;
}

Ref make_parameter_names(const Signature& sig) noexcept {
    Ref tuple = Ref::steal(PyTuple_New(sig.count()));
    if (!tuple) return tuple;
    for (int p = 0; p < sig.count(); ++p) {
        PyObject* name = PyUnicode_InternFromString(sig.parameters[p].name);
        if (name == nullptr) return Ref();
        PyTuple_SET_ITEM(tuple.get(), p, name);
    }
    return tuple;
}

// Points the binding at the names and defaults that the function object owns.
void prepare_binding(Function* f, const Signature& sig) noexcept {
    Binding& b = f->binding;
    b.signature = &sig;
    b.required = leading_required(sig);
    b.tested = 0;
    for (int p = 0; p < sig.count(); ++p) {
        if (sig.parameters[p].exact != Exact::Any) b.tested |= 1u << p;
    }
    for (int p = 0; p < sig.count(); ++p) b.names[p] = PyTuple_GET_ITEM(f->parameter_names, p);
    for (int p = b.required; p < sig.positional; ++p) {
        b.defaults[p] = PyTuple_GET_ITEM(f->defaults, p - b.required);
    }
    b.kwdefaults = f->kwdefaults == Py_None ? nullptr : f->kwdefaults;
}

}  // namespace

Ref make_function(const FunctionSpec& spec, const char* class_name, PyObject* globals) noexcept {
    const Signature& sig = spec.signature;
    Ref kwdefaults = make_kwdefaults(sig);
    if (!kwdefaults) return Ref();
    Ref annotations = make_annotations(spec, globals);
    if (!annotations) return Ref();
    Ref code = make_code(sig);
    Ref name = Ref::steal(PyUnicode_InternFromString(sig.name));
    Ref qualname = make_qualname(sig, class_name);
    Ref doc = spec.doc == nullptr ? none() : Ref::steal(PyUnicode_FromString(spec.doc));
    Ref defaults = make_defaults(sig, leading_required(sig));
    Ref parameter_names = make_parameter_names(sig);
    if (!code || !name || !qualname || !doc || !defaults || !parameter_names) return Ref();

    Function* f = PyObject_GC_New(Function, &FunctionType);
    if (f == nullptr) return Ref();
    f->binding = Binding{};
    f->invoke = spec.invoke;
    f->name = name.release();
    f->qualname = qualname.release();
    f->module = Py_NewRef(names.text_module_name);
    f->doc = doc.release();
    f->globals = Py_NewRef(globals);
    f->defaults = defaults.release();
    f->kwdefaults = kwdefaults.release();
    f->annotations = annotations.release();
    f->code = code.release();
    f->dict = nullptr;
    f->weakreflist = nullptr;
    f->parameter_names = parameter_names.release();
    prepare_binding(f, sig);
    f->vectorcall = function_vectorcall;
    PyObject_GC_Track(f);
    return Ref::steal(reinterpret_cast<PyObject*>(f));
}

}  // namespace nembra
