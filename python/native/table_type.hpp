// korvane._native.Table: one two-dimensional tensor of a model file, read into memory, and the
// batch computations of embeddings from it into memory the caller provides.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace korvane::python {

extern PyType_Spec table_spec;

}  // namespace korvane::python
