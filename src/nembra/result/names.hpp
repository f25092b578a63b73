// Interned names and string constants, made once when the module executes and shared by
// every call afterwards.
#pragma once

#include "ref.hpp"

namespace nembra {

// X(identifier, text)
#define NEMBRA_NAMES(X)                                             \
    /* modules and imported names */                                \
    X(re, "re")                                                     \
    X(warnings, "warnings")                                         \
    X(io, "io")                                                     \
    X(typing, "typing")                                             \
    X(zipfile, "zipfile")                                           \
    X(api_v1, "api_v1")                                             \
    X(core, "core")                                                 \
    X(parametrization, "parametrization")                           \
    X(views, "views")                                               \
    X(munch, "munch")                                               \
    X(BytesIO, "BytesIO")                                           \
    X(Dict, "Dict")                                                 \
    X(Any, "Any")                                                   \
    X(List, "List")                                                 \
    X(Optional, "Optional")                                         \
    X(Union, "Union")                                               \
    X(API, "API")                                                   \
    X(SerializableObject, "_SerializableObject")                    \
    X(File, "File")                                                 \
    X(serialize_params, "_serialize_params")                        \
    X(SVGResult, "SVGResult")                                       \
    X(PNGResult, "PNGResult")                                       \
    X(JPGResult, "JPGResult")                                       \
    X(Munch, "Munch")                                               \
    X(create_safe_file_name, "_create_safe_file_name")              \
    X(test, "__test__")                                             \
    /* interpreter protocol */                                      \
    X(dunder_builtins, "__builtins__")                              \
    X(dunder_module, "__module__")                                  \
    X(dunder_qualname, "__qualname__")                              \
    X(dunder_doc, "__doc__")                                        \
    X(dunder_prepare, "__prepare__")                                \
    X(dunder_enter, "__enter__")                                    \
    X(dunder_exit, "__exit__")                                      \
    X(catch_warnings, "catch_warnings")                             \
    X(simplefilter, "simplefilter")                                 \
    X(ignore, "ignore")                                             \
    X(module_name, "nembra.result")                                 \
    X(update, "update")                                             \
    X(get, "get")                                                   \
    X(values, "values")                                             \
    X(items, "items")                                               \
    /* SetParamsResult */                                           \
    X(data_, "_data")                                               \
    X(parameters, "parameters")                                     \
    /* OptimizationResultElement */                                 \
    X(parameter_set, "_parameter_set")                              \
    X(analysis_result, "_analysis_result")                          \
    X(design, "design")                                             \
    X(analysis, "analysis")                                         \
    X(output_display_data, "output_display_data")                   \
    X(empty, "")                                                    \
    /* OptimizationResult */                                        \
    X(result_column_names_input, "result_column_names_input")       \
    X(result_column_names_result, "result_column_names_result")     \
    X(output_headers_, "_output_headers")                           \
    X(results_, "_OptimizationResult__results")                     \
    X(view_results, "_view_results")                                \
    X(view_type_name, "_view_type_name")                            \
    X(serialize, "_serialize")                                      \
    X(input_columns, "input_columns")                               \
    X(optimization, "optimization")                                 \
    X(output_headers, "output_headers")                             \
    X(views_key, "views")                                           \
    X(definitions, "definitions")                                   \
    X(data, "data")                                                 \
    X(label, "label")                                               \
    X(type, "type")                                                 \
    /* DownloadResult */                                            \
    X(file_content_, "_file_content")                               \
    X(file_name_, "_file_name")                                     \
    X(encoding_, "_encoding")                                       \
    X(zipped_files_, "_zipped_files")                               \
    X(url, "url")                                                   \
    X(utf_8, "utf-8")                                               \
    X(encode, "encode")                                             \
    X(source, "source")                                             \
    X(ZipFile, "ZipFile")                                           \
    X(ZIP_DEFLATED, "ZIP_DEFLATED")                                 \
    X(w, "w")                                                       \
    X(writestr, "writestr")                                         \
    X(getvalue, "getvalue")                                         \
    X(getvalue_binary, "getvalue_binary")                           \
    X(open_binary, "open_binary")                                   \
    X(upload_temporary_file, "_upload_temporary_file")              \
    X(sub, "sub")                                                   \
    X(unsafe_characters, "[^A-Za-z0-9.]")                           \
    X(underscore, "_")                                              \
    /* NembraResult */                                              \
    X(optimization_result_, "_optimization_result")                 \
    X(set_params_result_, "_set_params_result")                     \
    X(download_result_, "_download_result")

struct Names {
#define NEMBRA_DECLARE_NAME(id, text) PyObject* id = nullptr;
    NEMBRA_NAMES(NEMBRA_DECLARE_NAME)
#undef NEMBRA_DECLARE_NAME
};

// Owned, interned strings. `make_names()` fills them when the module executes (replacing
// those of an earlier load that failed); they live for the rest of the process.
extern Names names;

int make_names() noexcept;

}  // namespace nembra
