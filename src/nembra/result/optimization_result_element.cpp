// OptimizationResultElement: one row of an optimisation table, a candidate parameter set
// with the analysis results computed for it.
#include "classes.hpp"
#include "number_text.hpp"
#include "runtime.hpp"

namespace nembra {

namespace {

const char init_doc[] = R"(
        :param params: a complete parameter set
        :param analysis_result: the accompanying results.

        For an example, see :class:`OptimizationResult`
        )";

#define INIT_PARAMETERS(X)                                     \
    X(self, Positional, Required, Any, nullptr)                \
    X(params, Positional, Required, Any, "Union[dict, Munch]") \
    X(analysis_result, Positional, None, Dict, "'dict'")
NEMBRA_PARAMETERS(Init, INIT_PARAMETERS);

// __init__(self, params, analysis_result=None)
Ref init(const Init& values) {
    if (set_attr(values.self, names.str__parameter_set, values.params) < 0) return Ref();
    const int given = PyObject_IsTrue(values.analysis_result);
    if (given < 0) return Ref();
    Ref stored = given ? Ref::borrow(values.analysis_result) : new_dict();
    if (!stored || set_attr(values.self, names.str__analysis_result, stored.get()) < 0) return Ref();
    return none();
}

// analysis.get(key, "") without a method call when analysis is a plain dict, whose get
// cannot be overridden.
Ref analysis_value(PyObject* analysis, PyObject* key) noexcept {
    if (PyDict_CheckExact(analysis)) {
        PyObject* value = PyDict_GetItemWithError(analysis, key);
        if (value != nullptr) return Ref::borrow(value);
        return PyErr_Occurred() ? Ref() : Ref::borrow(names.text_empty);
    }
    return call_method(analysis, names.str_get, key, names.text_empty);
}

// Whether looking up an exact str in `analysis` can run no Python code: a plain dict
// whose stored keys are all exact str compares them with the builtin string comparison
// only. Small dicts only, so that checking costs less than what it saves.
bool plain_string_keys(PyObject* analysis) noexcept {
    constexpr Py_ssize_t kMostKeysChecked = 32;
    if (!PyDict_CheckExact(analysis) || PyDict_GET_SIZE(analysis) > kMostKeysChecked) return false;
    Py_ssize_t position = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(analysis, &position, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) return false;
    }
    return true;
}

bool plain_value(PyObject* obj) noexcept {
    return PyUnicode_CheckExact(obj) || PyLong_CheckExact(obj) || PyFloat_CheckExact(obj);
}

// Whether reading `self._analysis_result` runs builtin code only: the type reads
// attributes with the generic protocol and has no attribute of that name (a property, a
// descriptor), so the read is a lookup of the instance's own attributes. The answer for
// the last type found plain is kept by its version tag, which the interpreter changes
// whenever the type or one of its bases changes and never gives to another type.
bool plain_analysis_read(PyObject* self) noexcept {
    static unsigned int plain_type_version = 0;
    PyTypeObject* type = Py_TYPE(self);
    if (type->tp_getattro != PyObject_GenericGetAttr) return false;
    if (type->tp_version_tag != 0 && type->tp_version_tag == plain_type_version &&
        PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG)) {
        return true;
    }
    if (_PyType_Lookup(type, names.str__analysis_result) != nullptr) return false;
    if (PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG)) plain_type_version = type->tp_version_tag;
    return true;
}

// The keys of the headers, in the order that iterating them yields. An exact list or
// tuple is read by index, as their iterators do, with the length read again at every
// step. An exact dict is walked with PyDict_Next while only builtin code runs; before the
// loop runs anything that could be Python code, `detach()` hands over to the dict's own
// iterator, advanced past the keys already taken, so that a dict changed by that code
// raises what iterating it raises. Anything else is iterated from the start.
class HeaderKeys {
public:
    explicit HeaderKeys(PyObject* headers) noexcept : headers_(headers) {}

    int open() noexcept {
        if (PyList_CheckExact(headers_) || PyTuple_CheckExact(headers_)) {
            mode_ = Mode::Sequence;
        } else if (PyDict_CheckExact(headers_)) {
            mode_ = Mode::Dict;
        } else {
            mode_ = Mode::Iterator;
            iterator_ = Ref::steal(PyObject_GetIter(headers_));
            if (!iterator_) return -1;
        }
        return 0;
    }

    // Whether taking the next key runs builtin code only.
    bool builtin() const noexcept { return mode_ != Mode::Iterator || builtin_iterator_; }

    // How many keys there are, as far as can be told without running code.
    Py_ssize_t size_hint() const noexcept {
        if (mode_ == Mode::Sequence) return Py_SIZE(headers_);
        if (mode_ == Mode::Dict) return PyDict_GET_SIZE(headers_);
        return 0;
    }

    // The next key, or an empty Ref at the end or with an exception set.
    Ref next() noexcept {
        switch (mode_) {
            case Mode::Sequence: {
                const Py_ssize_t size =
                    PyList_CheckExact(headers_) ? PyList_GET_SIZE(headers_) : Py_SIZE(headers_);
                if (index_ >= size) return Ref();
                PyObject* key = PyList_CheckExact(headers_) ? PyList_GET_ITEM(headers_, index_)
                                                            : PyTuple_GET_ITEM(headers_, index_);
                ++index_;
                return Ref::borrow(key);
            }
            case Mode::Dict: {
                PyObject* key;
                if (!PyDict_Next(headers_, &position_, &key, nullptr)) return Ref();
                ++index_;
                return Ref::borrow(key);
            }
            case Mode::Iterator:
                break;
        }
        return Ref::steal(PyIter_Next(iterator_.get()));
    }

    int detach() noexcept {
        if (mode_ != Mode::Dict) return 0;
        iterator_ = Ref::steal(PyObject_GetIter(headers_));
        if (!iterator_) return -1;
        for (Py_ssize_t taken = 0; taken < index_; ++taken) {
            Ref skipped = Ref::steal(PyIter_Next(iterator_.get()));
            if (!skipped) return PyErr_Occurred() ? -1 : 0;
        }
        mode_ = Mode::Iterator;
        builtin_iterator_ = true;
        return 0;
    }

private:
    enum class Mode : unsigned char { Sequence, Dict, Iterator };
    PyObject* headers_;
    Mode mode_ = Mode::Iterator;
    bool builtin_iterator_ = false;  // a dict's own iterator, after detach()
    Py_ssize_t index_ = 0;           // keys taken so far
    Py_ssize_t position_ = 0;        // PyDict_Next's position
    Ref iterator_;
};

// Owned texts collected for a new list, which is made only once they are all there: no
// list with empty slots is ever reachable, not even through the garbage collector from a
// signal handler or a finalizer.
class TextBuffer {
public:
    TextBuffer() noexcept = default;
    TextBuffer(const TextBuffer&) = delete;
    TextBuffer& operator=(const TextBuffer&) = delete;
    ~TextBuffer() {
        for (Py_ssize_t i = 0; i < size_; ++i) Py_DECREF(items_[i]);
        if (items_ != inline_) PyMem_Free(items_);
    }

    int reserve(Py_ssize_t capacity) noexcept {
        if (capacity <= capacity_) return 0;
        if (static_cast<size_t>(capacity) > PY_SSIZE_T_MAX / sizeof(PyObject*)) {
            PyErr_NoMemory();
            return -1;
        }
        PyObject** grown = static_cast<PyObject**>(
            items_ == inline_ ? PyMem_Malloc(static_cast<size_t>(capacity) * sizeof(PyObject*))
                              : PyMem_Realloc(items_, static_cast<size_t>(capacity) * sizeof(PyObject*)));
        if (grown == nullptr) {
            PyErr_NoMemory();
            return -1;
        }
        if (items_ == inline_) {
            for (Py_ssize_t i = 0; i < size_; ++i) grown[i] = inline_[i];
        }
        items_ = grown;
        capacity_ = capacity;
        return 0;
    }

    int push(Ref text) noexcept {
        if (size_ == capacity_ && reserve(capacity_ * 2) < 0) return -1;
        items_[size_++] = text.release();
        return 0;
    }

    Ref to_list() noexcept {
        Ref list = Ref::steal(PyList_New(size_));
        if (!list) return list;
        for (Py_ssize_t i = 0; i < size_; ++i) PyList_SET_ITEM(list.get(), i, items_[i]);
        size_ = 0;
        return list;
    }

private:
    static constexpr Py_ssize_t kInline = 16;
    PyObject* inline_[kInline];
    PyObject** items_ = inline_;
    Py_ssize_t size_ = 0;
    Py_ssize_t capacity_ = kInline;
};

// One display text per header key, in the order the headers yield their keys.
//
// Each key reads self._analysis_result anew, since Python code run by the loop (the
// headers' iterator, the attribute read itself, a stored key's __eq__, a value's __str__,
// a custom get, a signal handler) may rebind it. The reread is skipped only while nothing
// but builtin code can have run since the last one: builtin headers, a plain attribute
// read, exact str keys looked up in a dict of exact str keys, and values of exact str,
// int or float.
Ref display_data(PyObject* self, PyObject* output_headers) noexcept {
    HeaderKeys keys(output_headers);
    TextBuffer texts;
    if (keys.open() < 0 || texts.reserve(keys.size_hint()) < 0) return Ref();
    Ref analysis;
    bool analysis_plain = false;
    bool analysis_current = false;
    SignalCheck signals;
    while (Ref key = keys.next()) {
        if (signals.due()) {
            if (keys.detach() < 0 || PyErr_CheckSignals() < 0) return Ref();
            analysis_current = false;
        }
        if (!analysis_current) {
            const bool read_plain = plain_analysis_read(self);
            if (!read_plain && keys.detach() < 0) return Ref();
            analysis = attr(self, names.str__analysis_result);
            if (!analysis) return Ref();
            analysis_plain = read_plain && plain_string_keys(analysis.get());
        }
        const bool lookup_plain = analysis_plain && PyUnicode_CheckExact(key.get());
        if (!lookup_plain && keys.detach() < 0) return Ref();
        Ref value = analysis_value(analysis.get(), key.get());
        if (!value) return Ref();
        const bool value_plain = plain_value(value.get());
        if (!value_plain && keys.detach() < 0) return Ref();
        analysis_current = lookup_plain && value_plain && keys.builtin();
        Ref text = str_of(value.get());
        if (!text || texts.push(std::move(text)) < 0) return Ref();
    }
    if (PyErr_Occurred()) return Ref();
    return texts.to_list();
}

#define SERIALIZE_PARAMETERS(X)                 \
    X(self, Positional, Required, Any, nullptr) \
    X(output_headers, Positional, Required, Any, "Optional[dict]")
NEMBRA_PARAMETERS(Serialize, SERIALIZE_PARAMETERS);

// _serialize(self, output_headers)
Ref serialize(const Serialize& values) {
    Ref serialized = new_dict();
    if (!serialized) return Ref();
    Ref serialize_params = global(values.globals, names.str__serialize_params);
    if (!serialize_params) return Ref();
    Ref parameter_set = attr(values.self, names.str__parameter_set);
    if (!parameter_set) return Ref();
    Ref design = call_one(serialize_params.get(), parameter_set.get());
    if (!design || PyDict_SetItem(serialized.get(), names.str_design, design.get()) < 0) return Ref();
    Ref analysis = attr(values.self, names.str__analysis_result);
    if (!analysis || PyDict_SetItem(serialized.get(), names.str_analysis, analysis.get()) < 0) return Ref();
    if (values.output_headers == Py_None) return serialized;

    Ref texts = display_data(values.self, values.output_headers);
    if (!texts || PyDict_SetItem(serialized.get(), names.str_output_display_data, texts.get()) < 0)
        return Ref();
    return serialized;
}

constexpr FunctionSpec methods[] = {
    define_function<Init, init>("__init__", nullptr, init_doc),
    define_function<Serialize, serialize>("_serialize", "'dict'",
                                          "Only provide output_headers when non-empty"),
};

}  // namespace

const ClassSpec optimization_result_element_class =
    define_class("OptimizationResultElement", false, nullptr, methods);

}  // namespace nembra
