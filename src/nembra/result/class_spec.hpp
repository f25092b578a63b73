// A class of the module, as data. `module.cpp` runs the class statements from these
// descriptions in the order of the module body.
#pragma once

#include "function.hpp"

namespace nembra {

struct ClassSpec {
    const char* name;
    // true: the single base `_SerializableObject`, whose metaclass creates the class;
    // false: a plain class created by `type` with no base.
    bool serializable_base;
    const char* doc;  // class docstring, or nullptr for none
    const FunctionSpec* methods;
    int method_count;
};

extern const ClassSpec set_params_result_class;
extern const ClassSpec download_result_class;
extern const ClassSpec optimization_result_element_class;
extern const ClassSpec optimization_result_class;
extern const ClassSpec nembra_result_class;
extern const FunctionSpec create_safe_file_name_function;

// Constants of DownloadResult, made once when the module executes.
int make_download_constants() noexcept;

// Remembers the `re` module and `re.sub` as the module body imported them.
int remember_re_module() noexcept;

}  // namespace nembra
