// The private module korvane._native of the korvane package: the Table of a model file
// (table_type.cpp), the native Tokenizer (tokenizer_type.cpp) and read_tensor_entries. The
// package's Python code owns the public interface; this module takes paths, names and buffers,
// raises only ordinary exceptions, and has no texts its callers match on.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <expected>
#include <filesystem>
#include <string_view>
#include <vector>

#include "common.hpp"
#include "table_type.hpp"
#include "tokenizer_type.hpp"

namespace korvane::python {

namespace {

PyObject* read_tensor_entries_function(PyObject*, PyObject* path_argument) {
    return native_guard<PyObject*>(nullptr, [&]() -> PyObject* {
        const std::filesystem::path path = to_path(path_argument);
        std::expected<std::vector<TensorEntry>, LoadError> entries = std::unexpected(LoadError{});
        {
            const DetachedFromInterpreter detached;
            entries = read_tensor_entries(path);
        }
        if (!entries) throw_load_error(entries.error());
        Ref list = require(PyList_New(0));
        for (const TensorEntry& entry : *entries) {
            Ref shape = require(PyTuple_New(static_cast<Py_ssize_t>(entry.shape.size())));
            for (std::size_t index = 0; index < entry.shape.size(); ++index) {
                PyTuple_SET_ITEM(
                    shape.get(), static_cast<Py_ssize_t>(index),
                    require(PyLong_FromUnsignedLongLong(entry.shape[index])).release());
            }
            Ref item = require(Py_BuildValue(
                "(s#s#O)", entry.name.data(), static_cast<Py_ssize_t>(entry.name.size()),
                entry.dtype.data(), static_cast<Py_ssize_t>(entry.dtype.size()), shape.get()));
            require(PyList_Append(list.get(), item.get()));
        }
        return list.release();
    });
}

PyMethodDef module_functions[] = {
    {"read_tensor_entries", read_tensor_entries_function, METH_O,
     "read_tensor_entries(path, /)\n--\n\n"
     "The (name, dtype, shape) of every tensor the model file's header describes."},
    {nullptr, nullptr, 0, nullptr},
};

int execute_module(PyObject* module) {
    return native_guard(-1, [module] {
        Ref table_type = require(PyType_FromModuleAndSpec(module, &table_spec, nullptr));
        require(PyModule_AddObjectRef(module, "Table", table_type.get()));
        Ref tokenizer_type = require(PyType_FromModuleAndSpec(module, &tokenizer_spec, nullptr));
        require(PyModule_AddObjectRef(module, "Tokenizer", tokenizer_type.get()));
        const std::string_view version = unicode_version();
        Ref version_text = require(
            PyUnicode_FromStringAndSize(version.data(), static_cast<Py_ssize_t>(version.size())));
        require(PyModule_AddObjectRef(module, "unicode_version", version_text.get()));
        return 0;
    });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(execute_module)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "korvane._native",
    "The native part of the korvane package: model tables, the native tokenizer and batch "
    "embedding.",
    0,
    module_functions,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace korvane::python

PyMODINIT_FUNC PyInit__native() {
    return PyModuleDef_Init(&korvane::python::module_definition);
}
