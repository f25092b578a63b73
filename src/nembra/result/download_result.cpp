// DownloadResult: one file, or several packed into a zip archive, uploaded as a temporary
// file when serialised; and _create_safe_file_name, which makes the download name safe.
#include "classes.hpp"
#include "runtime.hpp"

namespace nembra {

namespace {

const char class_doc[] = R"( Container for the output of a :class:`~.parametrization.actions.DownloadButton`.

    Download of single file:

    .. code-block:: python

        DownloadResult(file_content=my_file, file_name="my_file.txt")

    Download of multiple files bundled in a zip-file:

    .. code-block:: python

        DownloadResult(zipped_files={'my_file_1.txt': my_file_1, 'my_file_2.txt': my_file_2}, file_name="my_file.zip")

    )";

const char init_doc[] = R"(
        :param file_content: if type str and encoding is not utf-8, specify in additional argument. Mutual exclusive
         with 'zipped_files'.
        :param file_name: name (including extension) to be used for download. In case of 'zipped_files', this is the
         name of the zip-file. May only consist of alphanumeric characters, underscores and dots (any other characters
         are converted to an underscore).
        :param encoding: optional argument to specify file encoding when file_content is provided with type str
        :param zipped_files: a dict of {file name: content} to be bundled in a zip-file with file-name 'file_name'.
         Mutual exclusive with 'file_content'.
        )";

const char safe_name_doc[] = R"(
    File names may have spaces or other symbols which are not allowed.
    Only letters, numbers, underscores, and dots are allowed. All others are replaced by underscore.

    :param file_name: may include extension
    )";

// The argument tuples of the three ValueErrors, made once.
struct Messages {
    Constant no_name;
    Constant no_content;
    Constant both_contents;
} messages;

Ref message(const char* text) noexcept {
    return Ref::steal(Py_BuildValue("(s)", text));
}

// The `re` module that the module body imported, and the `sub` function its namespace held
// then (none when it held none). Recorded without reading an attribute, which could fail
// or run code: the function is resolved through the attribute at every use, and only the
// two identities are compared.
struct OriginalRe {
    Constant module;
    Constant sub;
} original_re;

bool is_safe_character(Py_UCS4 c) noexcept {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.';
}

// What re.sub("[^A-Za-z0-9.]", "_", text) returns for an exact str: the text itself when
// every character is safe, else a new ASCII str with each other character replaced.
Ref replace_unsafe_characters(PyObject* text) noexcept {
#if PY_VERSION_HEX < 0x030C0000
    // A str made through the legacy C API reads as empty until it is made ready.
    if (PyUnicode_READY(text) < 0) return Ref();
#endif
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    Py_ssize_t first_unsafe = 0;
    while (first_unsafe < length && is_safe_character(PyUnicode_READ(kind, data, first_unsafe)))
        ++first_unsafe;
    if (first_unsafe == length) return Ref::borrow(text);
    Ref safe = Ref::steal(PyUnicode_New(length, 127));
    if (!safe) return safe;
    Py_UCS1* out = PyUnicode_1BYTE_DATA(safe.get());
    for (Py_ssize_t i = 0; i < length; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        out[i] = is_safe_character(c) ? static_cast<Py_UCS1>(c) : '_';
    }
    return safe;
}

#define SAFE_NAME_PARAMETERS(X) X(file_name, Positional, Required, Str, "'unicode'")
NEMBRA_PARAMETERS(SafeName, SAFE_NAME_PARAMETERS);

// _create_safe_file_name(file_name): re.sub("[^A-Za-z0-9.]", "_", file_name)
//
// While `re` and `re.sub` are still the ones the module body imported, the substitution of
// an exact str is done here, with the same result; anything else calls re.sub.
Ref create_safe_file_name(const SafeName& values) {
    Ref re = global(values.globals, names.str_re);
    if (!re) return Ref();
    Ref sub = attr(re.get(), names.str_sub);
    if (!sub) return Ref();
    if (re.get() == original_re.module && sub.get() == original_re.sub &&
        PyUnicode_CheckExact(values.file_name)) {
        return replace_unsafe_characters(values.file_name);
    }
    Ref safe_name = call(sub.get(), names.text_unsafe_characters, names.str__, values.file_name);
    if (!safe_name) return Ref();
    if (safe_name.get() != Py_None && !PyUnicode_CheckExact(safe_name.get())) {
        PyErr_Format(PyExc_TypeError, "Expected %.16s, got %.200s", "unicode",
                     Py_TYPE(safe_name.get())->tp_name);
        return Ref();
    }
    return safe_name;
}

#define INIT_PARAMETERS(X)                                                     \
    X(self, Positional, Required, Any, nullptr)                                \
    X(file_content, Positional, None, Any, "Union[str, bytes, File, BytesIO]") \
    X(file_name, Positional, None, Str, "'unicode'")                           \
    X(encoding, Positional, Utf8, Str, "'unicode'")                            \
    X(zipped_files, KeywordOnly, None, Any, "Dict[str, Union[File, BytesIO]]")
NEMBRA_PARAMETERS(Init, INIT_PARAMETERS);

// __init__(self, file_content=None, file_name=None, encoding="utf-8", *, zipped_files=None)
Ref init(const Init& values) {
    PyObject* self = values.self;
    if (values.file_name == Py_None) {
        raise_value_error(messages.no_name);
        return Ref();
    }
    if (values.file_content == Py_None && values.zipped_files == Py_None) {
        raise_value_error(messages.no_content);
        return Ref();
    }
    if (values.file_content != Py_None && values.zipped_files != Py_None) {
        raise_value_error(messages.both_contents);
        return Ref();
    }
    if (set_attr(self, names.str__file_content, values.file_content) < 0) return Ref();
    Ref make_safe = global(values.globals, names.str__create_safe_file_name);
    if (!make_safe) return Ref();
    Ref safe_name = call(make_safe.get(), values.file_name);
    if (!safe_name || set_attr(self, names.str__file_name, safe_name.get()) < 0) return Ref();
    if (set_attr(self, names.str__encoding, values.encoding) < 0) return Ref();
    if (set_attr(self, names.str__zipped_files, values.zipped_files) < 0) return Ref();
    return none();
}

// isinstance(obj, <module-level name>), the name resolved now.
int is_instance_of_global(PyObject* globals, PyObject* obj, PyObject* name) noexcept {
    Ref cls = global(globals, name);
    return cls ? PyObject_IsInstance(obj, cls.get()) : -1;
}

// The data of one zip entry: a BytesIO's whole buffer or a File's bytes.
Ref entry_data(PyObject* globals, PyObject* value) noexcept {
    int is = is_instance_of_global(globals, value, names.str_BytesIO);
    if (is < 0) return Ref();
    if (is) return call_method(value, names.str_getvalue);
    is = is_instance_of_global(globals, value, names.str_File);
    if (is < 0) return Ref();
    if (is) return call_method(value, names.str_getvalue_binary);
    raise_not_implemented();
    return Ref();
}

int write_entry(PyObject* globals, PyObject* archive, PyObject* name, PyObject* value) noexcept {
    Ref data = entry_data(globals, value);
    if (!data) return -1;
    return call_method(archive, names.str_writestr, name, data.get()) ? 0 : -1;
}

void raise_unpack_count(Py_ssize_t found) noexcept {
    if (found > 2) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t{2});
    } else {
        PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", found,
                     found == 1 ? "" : "s");
    }
}

// Unpacks one item of `items()` into a name and a value.
int unpack_pair(PyObject* item, Ref& first, Ref& second) noexcept {
    if (PyTuple_CheckExact(item) || PyList_CheckExact(item)) {
        const Py_ssize_t size = PySequence_Fast_GET_SIZE(item);
        if (size != 2) {
            raise_unpack_count(size);
            return -1;
        }
        first = Ref::borrow(PySequence_Fast_GET_ITEM(item, 0));
        second = Ref::borrow(PySequence_Fast_GET_ITEM(item, 1));
        return 0;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(item));
    if (!iterator) return -1;
    Ref* slots[] = {&first, &second};
    for (Py_ssize_t i = 0; i < 2; ++i) {
        *slots[i] = Ref::steal(PyIter_Next(iterator.get()));
        if (!*slots[i]) {
            if (!PyErr_Occurred()) raise_unpack_count(i);
            return -1;
        }
    }
    Ref extra = Ref::steal(PyIter_Next(iterator.get()));
    if (extra) {
        raise_unpack_count(3);
        return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

// Writes every (name, value) of self._zipped_files.items() into the archive, in the
// mapping's order. A plain dict is iterated through its own items view too: reading an
// entry runs Python code that may change the dict, and the view's iterator is what raises
// the interpreter's errors for a dict that changed size or keys.
int write_entries(PyObject* globals, PyObject* self, PyObject* archive) noexcept {
    Ref zipped = attr(self, names.str__zipped_files);
    if (!zipped) return -1;
    Ref items = call_method(zipped.get(), names.str_items);
    if (!items) return -1;
    Ref iterator = Ref::steal(PyObject_GetIter(items.get()));
    if (!iterator) return -1;
    SignalCheck signals;
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        if (signals.tick() < 0) return -1;
        Ref name;
        Ref value;
        if (unpack_pair(item.get(), name, value) < 0) return -1;
        if (write_entry(globals, archive, name.get(), value.get()) < 0) return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

// A new File holding a deflated zip archive of the entries.
Ref archive_file(PyObject* globals, PyObject* self) noexcept {
    Ref file_class = global(globals, names.str_File);
    if (!file_class) return Ref();
    Ref file = call(file_class.get());
    if (!file) return Ref();
    Ref zipfile = global(globals, names.str_zipfile);
    if (!zipfile) return Ref();
    Ref zip_file_class = attr(zipfile.get(), names.str_ZipFile);
    if (!zip_file_class) return Ref();
    Ref source = attr(file.get(), names.str_source);
    if (!source) return Ref();
    // `zipfile` is resolved again for ZIP_DEFLATED, as `zipfile.ZipFile(file.source, "w",
    // zipfile.ZIP_DEFLATED)` does: reading `file.source` may have rebound it.
    zipfile = global(globals, names.str_zipfile);
    if (!zipfile) return Ref();
    Ref deflated = attr(zipfile.get(), names.str_ZIP_DEFLATED);
    if (!deflated) return Ref();
    Ref archive = call(zip_file_class.get(), source.get(), names.str_w, deflated.get());
    if (!archive) return Ref();
    const int done =
        with_block(archive.get(), [globals, self](PyObject* z) { return write_entries(globals, self, z); });
    return done < 0 ? Ref() : std::move(file);
}

// Text encoded into a new BytesIO, bytes wrapped in one, anything else as it is.
Ref single_file(PyObject* globals, PyObject* self) noexcept {
    Ref content = attr(self, names.str__file_content);
    if (!content) return Ref();
    const bool is_text = PyUnicode_Check(content.get());
    // Each branch reads `self._file_content` again, as the type tests and the use are
    // separate expressions: a property may give another object each time.
    if (!is_text && !PyBytes_Check(content.get())) return attr(self, names.str__file_content);
    Ref bytes_io = global(globals, names.str_BytesIO);
    if (!bytes_io) return Ref();
    content = attr(self, names.str__file_content);
    if (!content) return Ref();
    Ref data;
    if (is_text) {
        Method encode = lookup_method(content.get(), names.str_encode);
        if (!encode) return Ref();
        Ref encoding = attr(self, names.str__encoding);
        if (!encoding) return Ref();
        data = encode(encoding.get());
    } else {
        data = std::move(content);
    }
    return data ? call(bytes_io.get(), data.get()) : Ref();
}

Ref upload(PyObject* self, PyObject* api, PyObject* file_object) noexcept {
    Method upload_method = lookup_method(api, names.str__upload_temporary_file);
    if (!upload_method) return Ref();
    Ref file_name = attr(self, names.str__file_name);
    if (!file_name) return Ref();
    return upload_method(file_object, file_name.get());
}

// Uploads `file` through a new API client and returns the URL it gives back.
Ref upload_file(PyObject* globals, PyObject* self, PyObject* file) noexcept {
    Ref api_class = global(globals, names.str_API);
    if (!api_class) return Ref();
    Ref api = call(api_class.get());
    if (!api) return Ref();
    int is = is_instance_of_global(globals, file, names.str_BytesIO);
    if (is < 0) return Ref();
    if (is) return upload(self, api.get(), file);
    is = is_instance_of_global(globals, file, names.str_File);
    if (is < 0) return Ref();
    if (!is) {
        raise_not_implemented();
        return Ref();
    }
    Ref reader = call_method(file, names.str_open_binary);
    if (!reader) return Ref();
    Ref url;
    const int done = with_block(reader.get(), [&](PyObject* opened) {
        url = upload(self, api.get(), opened);
        return url ? 0 : -1;
    });
    if (done < 0) return Ref();
    if (!url) {
        // The reader's context manager swallowed the upload's exception.
        PyErr_Format(PyExc_UnboundLocalError, "local variable '%s' referenced before assignment", "url");
    }
    return url;
}

#define SERIALIZE_PARAMETERS(X) X(self, Positional, Required, Any, nullptr)
NEMBRA_PARAMETERS(Serialize, SERIALIZE_PARAMETERS);

// _serialize(self) -> {"url": ...}
Ref serialize(const Serialize& values) {
    PyObject* self = values.self;
    Ref zipped = attr(self, names.str__zipped_files);
    if (!zipped) return Ref();
    Ref file =
        zipped.get() != Py_None ? archive_file(values.globals, self) : single_file(values.globals, self);
    if (!file) return Ref();
    Ref url = upload_file(values.globals, self, file.get());
    if (!url) return Ref();
    Ref output = new_dict();
    if (!output || PyDict_SetItem(output.get(), names.str_url, url.get()) < 0) return Ref();
    return output;
}

// Made once per load, before the class statement: the messages of the three ValueErrors,
// and the `re` module as the body imported it.
int prepare_download_result(PyObject* globals) noexcept {
    messages.no_name = message("Provide a 'file_name'");
    messages.no_content = message("Provide at least one of 'file_content' or 'zipped_files'");
    messages.both_contents = message("Provide one of 'file_content' or 'zipped_files', not both");
    if (!messages.no_name || !messages.no_content || !messages.both_contents) return -1;
    Ref re = global(globals, names.str_re);
    if (!re) return -1;
    PyObject* sub = nullptr;
    if (PyModule_CheckExact(re.get())) {
        sub = PyDict_GetItemWithError(PyModule_GetDict(re.get()), names.str_sub);
        if (sub == nullptr && PyErr_Occurred()) return -1;
    }
    original_re.sub = Ref::borrow(sub);
    original_re.module = std::move(re);
    return 0;
}

constexpr FunctionSpec methods[] = {
    define_function<Init, init>("__init__", nullptr, init_doc),
    define_function<Serialize, serialize>("_serialize", "'dict'", nullptr),
};

}  // namespace

const ClassSpec download_result_class =
    define_class("DownloadResult", true, class_doc, methods, prepare_download_result);

const FunctionSpec create_safe_file_name_function =
    define_function<SafeName, create_safe_file_name>("_create_safe_file_name", "'unicode'", safe_name_doc);

}  // namespace nembra
