#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace {

PyModuleDef_Slot module_slots[] = {
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "korvane_py",
    "A Python module implemented in C++.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_korvane_py() { return PyModuleDef_Init(&module_definition); }
