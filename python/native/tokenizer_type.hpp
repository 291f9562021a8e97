// korvane._native.Tokenizer: the native tokenizer of a tokenizer.json file.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "korvane/tokenizer/tokenizer.hpp"

namespace korvane::python {

extern PyType_Spec tokenizer_spec;

// The tokenizer of a korvane._native.Tokenizer, else TypeError naming `parameter`.
[[nodiscard]] const Tokenizer& tokenizer_of(PyObject* object, const char* parameter);

}  // namespace korvane::python
