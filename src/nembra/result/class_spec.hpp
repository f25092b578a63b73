// A class of the module, as data. The module body runs the class statements from these
// descriptions in its own order.
#pragma once

#include <cstddef>

#include "function.hpp"

namespace nembra {

// Makes what a class needs once per load, just before its class statement runs; gets the
// module namespace. Returns 0, or -1 with an exception set.
using PrepareClass = int (*)(PyObject* globals) noexcept;

struct ClassSpec {
    const char* name;
    // true: the single base `_SerializableObject`, whose metaclass creates the class;
    // false: a plain class created by `type` with no base.
    bool serializable_base;
    const char* doc;  // class docstring, or nullptr for none
    const FunctionSpec* methods;
    std::size_t method_count;
    PrepareClass prepare;  // or nullptr
};

template <std::size_t N>
constexpr ClassSpec define_class(const char* name, bool serializable_base, const char* doc,
                                 const FunctionSpec (&methods)[N], PrepareClass prepare = nullptr) noexcept {
    return ClassSpec{name, serializable_base, doc, methods, N, prepare};
}

}  // namespace nembra
