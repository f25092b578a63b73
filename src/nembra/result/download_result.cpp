// DownloadResult: one file, or several packed into a zip archive, uploaded as a temporary
// file when serialised; and _create_safe_file_name, which makes the download name safe.
#include "class_spec.hpp"
#include "runtime.hpp"

namespace nembra {

namespace {

const char class_doc[] =
    " Container for the output of a :class:`~.parametrization.actions.DownloadButton`.\n"
    "\n"
    "    Download of single file:\n"
    "\n"
    "    .. code-block:: python\n"
    "\n"
    "        DownloadResult(file_content=my_file, file_name=\"my_file.txt\")\n"
    "\n"
    "    Download of multiple files bundled in a zip-file:\n"
    "\n"
    "    .. code-block:: python\n"
    "\n"
    "        DownloadResult(zipped_files={'my_file_1.txt': my_file_1, 'my_file_2.txt': my_file_2}, "
    "file_name=\"my_file.zip\")\n"
    "\n"
    "    ";

const char init_doc[] =
    "\n"
    "        :param file_content: if type str and encoding is not utf-8, specify in additional argument. Mutual "
    "exclusive\n"
    "         with 'zipped_files'.\n"
    "        :param file_name: name (including extension) to be used for download. In case of 'zipped_files', this "
    "is the\n"
    "         name of the zip-file. May only consist of alphanumeric characters, underscores and dots (any other "
    "characters\n"
    "         are converted to an underscore).\n"
    "        :param encoding: optional argument to specify file encoding when file_content is provided with type "
    "str\n"
    "        :param zipped_files: a dict of {file name: content} to be bundled in a zip-file with file-name "
    "'file_name'.\n"
    "         Mutual exclusive with 'file_content'.\n"
    "        ";

const char safe_name_doc[] =
    "\n"
    "    File names may have spaces or other symbols which are not allowed.\n"
    "    Only letters, numbers, underscores, and dots are allowed. All others are replaced by underscore.\n"
    "\n"
    "    :param file_name: may include extension\n"
    "    ";

// The argument tuples of the three ValueErrors, made once.
struct Messages {
    Constant no_name;
    Constant no_content;
    Constant both_contents;
} messages;

Ref message(const char* text) noexcept {
    return Ref::steal(Py_BuildValue("(s)", text));
}

// The re module and its sub function as imported when the module loaded.
struct OriginalRe {
    Constant module;
    Constant sub;
} original_re;

bool is_safe_character(Py_UCS4 c) noexcept {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.';
}

// What re.sub("[^A-Za-z0-9.]", "_", text) returns for an exact str: the text itself when
// every character is safe, else a new ASCII str with each other character replaced.
PyObject* replace_unsafe_characters(PyObject* text) noexcept {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    Py_ssize_t first_unsafe = 0;
    while (first_unsafe < length && is_safe_character(PyUnicode_READ(kind, data, first_unsafe))) ++first_unsafe;
    if (first_unsafe == length) return Py_NewRef(text);
    PyObject* safe = PyUnicode_New(length, 127);
    if (safe == nullptr) return nullptr;
    Py_UCS1* out = PyUnicode_1BYTE_DATA(safe);
    for (Py_ssize_t i = 0; i < length; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        out[i] = is_safe_character(c) ? static_cast<Py_UCS1>(c) : '_';
    }
    return safe;
}

// _create_safe_file_name(file_name): re.sub("[^A-Za-z0-9.]", "_", file_name)
//
// While `re` and `re.sub` are still the ones imported at load, the substitution of an
// exact str is done here, with the same result; anything else calls re.sub.
PyObject* create_safe_file_name(PyObject* const* args) {
    Ref re = global(names.re);
    if (!re) return nullptr;
    Ref sub = attr(re.get(), names.sub);
    if (!sub) return nullptr;
    if (re.get() == original_re.module.get() && sub.get() == original_re.sub.get() &&
        PyUnicode_CheckExact(args[0])) {
        return replace_unsafe_characters(args[0]);
    }
    Ref safe_name = call(sub.get(), {names.unsafe_characters, names.underscore, args[0]});
    if (!safe_name) return nullptr;
    if (safe_name.get() != Py_None && !PyUnicode_CheckExact(safe_name.get())) {
        PyErr_Format(PyExc_TypeError, "Expected %.16s, got %.200s", "unicode", Py_TYPE(safe_name.get())->tp_name);
        return nullptr;
    }
    return safe_name.release();
}

// __init__(self, file_content=None, file_name=None, encoding="utf-8", *, zipped_files=None)
PyObject* init(PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* file_content = args[1];
    PyObject* file_name = args[2];
    PyObject* zipped_files = args[4];
    if (file_name == Py_None) {
        raise_value_error(messages.no_name.get());
        return nullptr;
    }
    if (file_content == Py_None && zipped_files == Py_None) {
        raise_value_error(messages.no_content.get());
        return nullptr;
    }
    if (file_content != Py_None && zipped_files != Py_None) {
        raise_value_error(messages.both_contents.get());
        return nullptr;
    }
    if (set_attr(self, names.file_content_, file_content) < 0) return nullptr;
    Ref make_safe = global(names.create_safe_file_name);
    if (!make_safe) return nullptr;
    Ref safe_name = call(make_safe.get(), {file_name});
    if (!safe_name || set_attr(self, names.file_name_, safe_name.get()) < 0) return nullptr;
    if (set_attr(self, names.encoding_, args[3]) < 0) return nullptr;
    if (set_attr(self, names.zipped_files_, zipped_files) < 0) return nullptr;
    Py_RETURN_NONE;
}

// isinstance(obj, <module-level name>), the name resolved now.
int is_instance_of_global(PyObject* obj, PyObject* name) noexcept {
    Ref cls = global(name);
    return cls ? PyObject_IsInstance(obj, cls.get()) : -1;
}

// The data of one zip entry: a BytesIO's whole buffer or a File's bytes.
Ref entry_data(PyObject* value) noexcept {
    int is = is_instance_of_global(value, names.BytesIO);
    if (is < 0) return Ref();
    if (is) return call_method(value, names.getvalue);
    is = is_instance_of_global(value, names.File);
    if (is < 0) return Ref();
    if (is) return call_method(value, names.getvalue_binary);
    raise_not_implemented();
    return Ref();
}

int write_entry(PyObject* archive, PyObject* name, PyObject* value) noexcept {
    Ref data = entry_data(value);
    if (!data) return -1;
    return call_method(archive, names.writestr, {name, data.get()}) ? 0 : -1;
}

void raise_unpack_count(Py_ssize_t found) noexcept {
    if (found > 2) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t{2});
    } else {
        PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", found, found == 1 ? "" : "s");
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

// Writes every (name, value) of self._zipped_files into the archive, in the mapping's order.
int write_entries(PyObject* self, PyObject* archive) noexcept {
    Ref zipped = attr(self, names.zipped_files_);
    if (!zipped) return -1;
    if (PyDict_CheckExact(zipped.get())) {
        const Py_ssize_t size = PyDict_GET_SIZE(zipped.get());
        Py_ssize_t position = 0;
        PyObject* name;
        PyObject* value;
        while (PyDict_Next(zipped.get(), &position, &name, &value)) {
            Ref held_name = Ref::borrow(name);
            Ref held_value = Ref::borrow(value);
            if (write_entry(archive, name, value) < 0) return -1;
            if (PyDict_GET_SIZE(zipped.get()) != size) {
                PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
                return -1;
            }
        }
        return 0;
    }
    Ref items = call_method(zipped.get(), names.items);
    if (!items) return -1;
    Ref iterator = Ref::steal(PyObject_GetIter(items.get()));
    if (!iterator) return -1;
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref name;
        Ref value;
        if (unpack_pair(item.get(), name, value) < 0) return -1;
        if (write_entry(archive, name.get(), value.get()) < 0) return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

// A new File holding a deflated zip archive of the entries.
Ref archive_file(PyObject* self) noexcept {
    Ref file_class = global(names.File);
    if (!file_class) return Ref();
    Ref file = call(file_class.get());
    if (!file) return Ref();
    Ref zipfile = global(names.zipfile);
    if (!zipfile) return Ref();
    Ref zip_file_class = attr(zipfile.get(), names.ZipFile);
    if (!zip_file_class) return Ref();
    Ref source = attr(file.get(), names.source);
    if (!source) return Ref();
    zipfile = global(names.zipfile);
    if (!zipfile) return Ref();
    Ref deflated = attr(zipfile.get(), names.ZIP_DEFLATED);
    if (!deflated) return Ref();
    Ref archive = call(zip_file_class.get(), {source.get(), names.w, deflated.get()});
    if (!archive) return Ref();
    const int done = with_block(archive.get(), [&](PyObject* z) { return write_entries(self, z); });
    return done < 0 ? Ref() : std::move(file);
}

// Text encoded into a new BytesIO, bytes wrapped in one, anything else as it is.
Ref single_file(PyObject* self) noexcept {
    Ref content = attr(self, names.file_content_);
    if (!content) return Ref();
    const bool is_text = PyUnicode_Check(content.get());
    if (!is_text && !PyBytes_Check(content.get())) return attr(self, names.file_content_);
    Ref bytes_io = global(names.BytesIO);
    if (!bytes_io) return Ref();
    content = attr(self, names.file_content_);
    if (!content) return Ref();
    Ref data;
    if (is_text) {
        Method encode = lookup_method(content.get(), names.encode);
        if (!encode) return Ref();
        Ref encoding = attr(self, names.encoding_);
        if (!encoding) return Ref();
        data = encode(encoding.get());
    } else {
        data = std::move(content);
    }
    return data ? call(bytes_io.get(), {data.get()}) : Ref();
}

Ref upload(PyObject* self, PyObject* api, PyObject* file_object) noexcept {
    Method upload_method = lookup_method(api, names.upload_temporary_file);
    if (!upload_method) return Ref();
    Ref file_name = attr(self, names.file_name_);
    if (!file_name) return Ref();
    return upload_method(file_object, file_name.get());
}

// Uploads `file` through a new API client and returns the URL it gives back.
Ref upload_file(PyObject* self, PyObject* file) noexcept {
    Ref api_class = global(names.API);
    if (!api_class) return Ref();
    Ref api = call(api_class.get());
    if (!api) return Ref();
    int is = is_instance_of_global(file, names.BytesIO);
    if (is < 0) return Ref();
    if (is) return upload(self, api.get(), file);
    is = is_instance_of_global(file, names.File);
    if (is < 0) return Ref();
    if (!is) {
        raise_not_implemented();
        return Ref();
    }
    Ref reader = call_method(file, names.open_binary);
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

// _serialize(self) -> {"url": ...}
PyObject* serialize(PyObject* const* args) {
    PyObject* self = args[0];
    Ref zipped = attr(self, names.zipped_files_);
    if (!zipped) return nullptr;
    Ref file = zipped.get() != Py_None ? archive_file(self) : single_file(self);
    if (!file) return nullptr;
    Ref url = upload_file(self, file.get());
    if (!url) return nullptr;
    Ref output = new_dict();
    if (!output || PyDict_SetItem(output.get(), names.url, url.get()) < 0) return nullptr;
    return output.release();
}

const FunctionSpec methods[] = {
    {{"__init__",
      Shape::General,
      4,
      1,
      {{"self"},
       {"file_content", Default::None, Exact::Any, "Union[str, bytes, File, BytesIO]"},
       {"file_name", Default::None, Exact::Str, "'unicode'"},
       {"encoding", Default::Utf8, Exact::Str, "'unicode'"},
       {"zipped_files", Default::None, Exact::Any, "Dict[str, Union[File, BytesIO]]"}}},
     nullptr,
     init_doc,
     init},
    {{"_serialize", Shape::OneArgument, 1, 0, {{"self"}}}, "'dict'", nullptr, serialize},
};

}  // namespace

const ClassSpec download_result_class = {"DownloadResult", true, class_doc, methods, 2};

const FunctionSpec create_safe_file_name_function = {
    {"_create_safe_file_name", Shape::OneArgument, 1, 0, {{"file_name", Default::Required, Exact::Str, "'unicode'"}}},
    "'unicode'",
    safe_name_doc,
    create_safe_file_name,
};

int remember_re_module() noexcept {
    Ref re = global(names.re);
    if (!re) return -1;
    Ref sub = attr(re.get(), names.sub);
    if (!sub) return -1;
    original_re.module = std::move(re);
    original_re.sub = std::move(sub);
    return 0;
}

int make_download_constants() noexcept {
    messages.no_name = message("Provide a 'file_name'");
    messages.no_content = message("Provide at least one of 'file_content' or 'zipped_files'");
    messages.both_contents = message("Provide one of 'file_content' or 'zipped_files', not both");
    return messages.no_name && messages.no_content && messages.both_contents ? 0 : -1;
}

}  // namespace nembra
