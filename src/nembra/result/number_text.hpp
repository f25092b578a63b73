// Fast str() for the numbers that fill result tables.
#pragma once

#ifndef PY_SSIZE_T_CLEAN
#define PY_SSIZE_T_CLEAN
#endif
#include <Python.h>

namespace nembra {

// Returns a new reference to str(value), or nullptr with an exception set.
//
// Exact ints that fit in int64 and exact floats are formatted here, giving the
// same text as the interpreter; everything else (bool, int and float
// subclasses, big ints, any other type) goes through PyObject_Str, so custom
// __str__/__repr__ methods and the int->str digit limit still apply.
PyObject* str_of(PyObject* value) noexcept;

}  // namespace nembra
