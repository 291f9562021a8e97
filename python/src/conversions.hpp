// Conversions between Python objects and the values the core takes and returns.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "ref.hpp"

namespace korvane::python {

// The TypeError of a conversion that received a value of the wrong type:
// "'<type>' object is not an instance of '<expected>'", or "'None' is not an instance of ...".
[[noreturn]] void throw_type_mismatch(PyObject* value, PyTypeObject* expected);

// A `str` (or subclass) as the UTF-8 text the interpreter gives for it.
std::string to_utf8_text(PyObject* value);

// `True`/`False`, or a numpy boolean scalar.
bool to_bool(PyObject* value);

// A sequence (not a `str`) of integers from 0 to 2^32 - 1, in iteration order.
std::vector<std::uint32_t> to_token_ids(PyObject* tokens);

// A new list holding each value widened to a Python float. A failure to build it is an internal
// failure.
Ref to_float_list(std::span<const float> values);

}  // namespace korvane::python
