// Interned names and string constants, made once when the module executes and shared by
// every call afterwards.
//
// Naming rule: a name that is an identifier is the field `str_<name>`, the text spelled out
// (`str__data` is "_data", `str_views` is "views", `str___test__` is "__test__"); any other
// text is the field `text_<what it is>`, listed in NEMBRA_TEXTS.
#pragma once

#include "ref.hpp"

namespace nembra {

// X(name)
#define NEMBRA_NAMES(X)              \
    /* modules and imported names */ \
    X(re)                            \
    X(warnings)                      \
    X(io)                            \
    X(typing)                        \
    X(zipfile)                       \
    X(api_v1)                        \
    X(core)                          \
    X(parametrization)               \
    X(views)                         \
    X(munch)                         \
    X(BytesIO)                       \
    X(Dict)                          \
    X(Any)                           \
    X(List)                          \
    X(Optional)                      \
    X(Union)                         \
    X(API)                           \
    X(_SerializableObject)           \
    X(File)                          \
    X(_serialize_params)             \
    X(SVGResult)                     \
    X(PNGResult)                     \
    X(JPGResult)                     \
    X(Munch)                         \
    X(_create_safe_file_name)        \
    X(__test__)                      \
    /* interpreter protocol */       \
    X(__builtins__)                  \
    X(__module__)                    \
    X(__qualname__)                  \
    X(__doc__)                       \
    X(__prepare__)                   \
    X(__enter__)                     \
    X(__exit__)                      \
    X(__init__)                      \
    X(catch_warnings)                \
    X(simplefilter)                  \
    X(ignore)                        \
    X(update)                        \
    X(get)                           \
    X(values)                        \
    X(items)                         \
    /* SetParamsResult */            \
    X(_data)                         \
    X(parameters)                    \
    /* OptimizationResultElement */  \
    X(_parameter_set)                \
    X(_analysis_result)              \
    X(design)                        \
    X(analysis)                      \
    X(output_display_data)           \
    /* OptimizationResult */         \
    X(result_column_names_input)     \
    X(result_column_names_result)    \
    X(_output_headers)               \
    X(_OptimizationResult__results)  \
    X(_view_results)                 \
    X(_view_type_name)               \
    X(_serialize)                    \
    X(input_columns)                 \
    X(optimization)                  \
    X(output_headers)                \
    X(definitions)                   \
    X(data)                          \
    X(label)                         \
    X(type)                          \
    /* DownloadResult */             \
    X(_file_content)                 \
    X(_file_name)                    \
    X(_encoding)                     \
    X(_zipped_files)                 \
    X(url)                           \
    X(encode)                        \
    X(source)                        \
    X(ZipFile)                       \
    X(ZIP_DEFLATED)                  \
    X(w)                             \
    X(writestr)                      \
    X(getvalue)                      \
    X(getvalue_binary)               \
    X(open_binary)                   \
    X(_upload_temporary_file)        \
    X(sub)                           \
    X(_)                             \
    /* NembraResult */               \
    X(_optimization_result)          \
    X(_set_params_result)            \
    X(_download_result)

// X(what, text)
#define NEMBRA_TEXTS(X)             \
    X(module_name, "nembra.result") \
    X(empty, "")                    \
    X(utf_8, "utf-8")               \
    X(unsafe_characters, "[^A-Za-z0-9.]")

struct Names {
#define NEMBRA_DECLARE_NAME(name) Constant str_##name;
    NEMBRA_NAMES(NEMBRA_DECLARE_NAME)
#undef NEMBRA_DECLARE_NAME
#define NEMBRA_DECLARE_TEXT(what, text) Constant text_##what;
    NEMBRA_TEXTS(NEMBRA_DECLARE_TEXT)
#undef NEMBRA_DECLARE_TEXT
};

// Interned strings owned for the rest of the process. `make_names()` fills them when the
// module executes (an earlier load that failed made the same interned objects).
extern Names names;

int make_names() noexcept;

}  // namespace nembra
