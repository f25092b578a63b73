// Fast str() for the numbers that fill result tables.
#pragma once

#include "ref.hpp"

namespace nembra {

// Returns str(value), or an empty Ref with an exception set.
//
// Exact ints that fit in int64 and exact floats are formatted here, giving the
// same text as the interpreter; everything else (bool, int and float
// subclasses, big ints, any other type) goes through PyObject_Str, so custom
// __str__/__repr__ methods and the int->str digit limit still apply.
Ref str_of(PyObject* value) noexcept;

}  // namespace nembra
