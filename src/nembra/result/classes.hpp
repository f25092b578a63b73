// The classes and the module function of nembra.result, each described by its own unit.
#pragma once

#include "class_spec.hpp"

namespace nembra {

extern const ClassSpec set_params_result_class;
extern const ClassSpec download_result_class;
extern const ClassSpec optimization_result_element_class;
extern const ClassSpec optimization_result_class;
extern const ClassSpec nembra_result_class;
extern const FunctionSpec create_safe_file_name_function;

}  // namespace nembra
