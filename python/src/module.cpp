// The module korvane_py and its class StaticEmbedding: initialisation, constructor, deallocator.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <memory>
#include <string>
#include <utility>

#include "binding.hpp"
#include "ref.hpp"
#include "static_embedding_object.hpp"

namespace korvane::python {

namespace {

constexpr const char* constructor_parameters[] = {"model_dir", "normalize"};
constexpr Signature constructor_signature{"StaticEmbedding", "__new__", constructor_parameters, 1};

PyObject* new_static_embedding(PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* bound[std::size(constructor_parameters)];
        bind_arguments(constructor_signature, args, kwargs, bound);
        std::string model_dir =
            convert_argument("model_dir", [&] { return to_utf8_text(bound[0]); });
        const bool normalize =
            bound[1] == nullptr || convert_argument("normalize", [&] { return to_bool(bound[1]); });

        auto core = StaticEmbedding::from_dir(std::move(model_dir), normalize);
        if (!core) throw_python_error(PyExc_ValueError, core.error().display());

        // Allocated as object.__new__(cls) would, only once the core object exists, so an
        // instance is never seen half built.
        Ref no_arguments = require(PyTuple_New(0));
        Ref instance = require(PyBaseObject_Type.tp_new(cls, no_arguments.get(), nullptr));
        StaticEmbeddingObject& record = as_static_embedding(instance.get());
        std::construct_at(&record.core, std::move(*core));
        std::construct_at(&record.borrow_flag, std::uintptr_t{0});
        std::construct_at(&record.borrowed_in_fork, fork_count());
        record.constructed = true;
        return instance.release();
    });
}

void deallocate_static_embedding(PyObject* self) {
    guard_unraisable([self] {
        // Instances of a heap type own a reference to it; dropped after the memory is freed.
        Ref type = Ref::steal(reinterpret_cast<PyObject*>(Py_TYPE(self)));
        StaticEmbeddingObject& record = as_static_embedding(self);
        // A flag still taken here was taken before a fork by a thread this process lacks, and
        // the core it guards may be half changed: it is left as it is rather than destroyed.
        if (record.constructed &&
            record.borrow_flag.load(std::memory_order_relaxed) == 0) {
            std::destroy_at(&record.core);
        }
        Py_TYPE(self)->tp_free(self);
    });
}

PyType_Slot class_slots[] = {
    {Py_tp_doc, const_cast<char*>("StaticEmbedding(model_dir, normalize=True)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(new_static_embedding)},
    {Py_tp_dealloc, reinterpret_cast<void*>(deallocate_static_embedding)},
    {Py_tp_methods, static_embedding_methods},
    {0, nullptr},
};

// Without Py_TPFLAGS_BASETYPE the class cannot be subclassed; without Py_TPFLAGS_HAVE_GC its
// instances, which reference nothing but their class, stay out of the cyclic collector.
PyType_Spec class_spec = {
    "korvane_py.StaticEmbedding",
    static_cast<int>(sizeof(StaticEmbeddingObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    class_slots,
};

// Made by the first module execution of the process and never released, so every module object
// (a re-import included) holds the same class.
std::atomic<PyObject*> static_embedding_class{nullptr};

PyObject* get_static_embedding_class() {
    if (PyObject* existing = static_embedding_class.load(std::memory_order_acquire)) {
        return existing;
    }
    Ref created = Ref::steal(PyType_FromSpec(&class_spec));
    if (!created) {
        Ref cause = Ref::steal(PyErr_GetRaisedException());
        PyErr_SetString(PyExc_RuntimeError,
                        "An error occurred while initializing class StaticEmbedding");
        Ref error = Ref::steal(PyErr_GetRaisedException());
        PyException_SetCause(error.get(), cause.release());
        PyErr_SetRaisedException(error.release());
        throw ErrorAlreadySet{};
    }
    // Creating the class can run Python code, and so let another thread create one too; the
    // first stored stays.
    PyObject* stored = nullptr;
    if (static_embedding_class.compare_exchange_strong(stored, created.get(),
                                                       std::memory_order_acq_rel)) {
        return created.release();
    }
    return stored;
}

// The module's __all__, created empty when absent.
Ref module_all_list(PyObject* module) {
    PyObject* name = all_attribute_name();
    PyObject* found = nullptr;
    if (require(PyObject_GetOptionalAttr(module, name, &found)) == 0) {
        Ref created = require(PyList_New(0));
        require(PyObject_SetAttr(module, name, created.get()));
        return created;
    }
    Ref all = Ref::steal(found);
    if (!PyList_Check(all.get())) throw_type_mismatch(all.get(), &PyList_Type);
    return all;
}

int execute_module(PyObject* module) {
    return guard(-1, [module] {
        // The slot below turns away interpreters that check their extensions; a legacy one,
        // which does not, is turned away here, before it can see the process-wide values.
        if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
            throw_python_error(PyExc_ImportError,
                               "module korvane_py does not support loading in subinterpreters");
        }
        if (!PyModule_Check(module)) throw_type_mismatch(module, &PyModule_Type);
        watch_forks();
        register_runtime_module();
        PyObject* cls = get_static_embedding_class();
        Ref all = module_all_list(module);
        Ref class_name = require(PyUnicode_FromString("StaticEmbedding"));
        if (PyList_Append(all.get(), class_name.get()) < 0) {
            throw InternalFailure("could not add StaticEmbedding to __all__");
        }
        require(PyModule_AddObjectRef(module, "StaticEmbedding", cls));
        return 0;
    });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(execute_module)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    // The class and the process-wide values are made once per process, so interpreters would
    // share them: only the main interpreter may import the module.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
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

}  // namespace korvane::python

PyMODINIT_FUNC PyInit_korvane_py() {
    return PyModuleDef_Init(&korvane::python::module_definition);
}
