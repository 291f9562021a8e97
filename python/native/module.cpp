// The private module korvane._native: the table of a model file, and the batch computation of
// embeddings into memory the caller provides (a numpy array). The package's Python code owns
// the public interface; this module takes paths, names and buffers, and raises only ordinary
// exceptions.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <memory>
#include <filesystem>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "../src/binding.hpp"
#include "../src/ref.hpp"
#include "korvane/embedding_table.hpp"
#include "token_batch.hpp"

namespace korvane::python {

namespace {

// The edge of every entry point: a set Python error stays; memory exhaustion becomes
// MemoryError and any other failure RuntimeError, never an exception outside Exception.
template <typename Result, typename Work>
Result native_guard(Result failure, Work&& work) noexcept {
    try {
        return work();
    } catch (const ErrorAlreadySet&) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_RuntimeError, "a failed call into Python left no exception set");
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "korvane stopped after an unknown internal failure");
    }
    return failure;
}

// Releases the interpreter for its lifetime; the thread attaches again on every path out.
class DetachedFromInterpreter {
public:
    DetachedFromInterpreter() noexcept : state_(PyEval_SaveThread()) {}
    DetachedFromInterpreter(const DetachedFromInterpreter&) = delete;
    DetachedFromInterpreter& operator=(const DetachedFromInterpreter&) = delete;
    ~DetachedFromInterpreter() { PyEval_RestoreThread(state_); }

private:
    PyThreadState* state_;
};

// A str or os.PathLike as a filesystem path, encoded as the interpreter encodes file names.
std::filesystem::path to_path(PyObject* value) {
    PyObject* encoded = nullptr;
    if (PyUnicode_FSConverter(value, &encoded) == 0) throw ErrorAlreadySet{};
    const Ref bytes = Ref::steal(encoded);
    return std::filesystem::path(PyBytes_AS_STRING(bytes.get()));
}

[[noreturn]] void throw_load_error(const LoadError& error) {
    throw_python_error(PyExc_ValueError, error.display());
}

struct TableObject {
    PyObject ob_base;
    EmbeddingTable table;  // never changed after construction: calls share it without a lock
};

TableObject& as_table(PyObject* self) noexcept { return *reinterpret_cast<TableObject*>(self); }

constexpr const char* table_parameters[] = {"path", "tensor"};
constexpr Signature table_signature{"Table", "__new__", table_parameters, 2};

PyObject* new_table(PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
    return native_guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* bound[std::size(table_parameters)];
        bind_arguments(table_signature, args, kwargs, bound);
        const std::filesystem::path path = to_path(bound[0]);
        const std::string tensor = to_utf8_text(bound[1]);
        std::expected<EmbeddingTable, LoadError> table = std::unexpected(LoadError{});
        {
            const DetachedFromInterpreter detached;
            table = EmbeddingTable::load(path, tensor);
        }
        if (!table) throw_load_error(table.error());
        Ref instance = require(cls->tp_alloc(cls, 0));
        std::construct_at(&as_table(instance.get()).table, std::move(*table));
        return instance.release();
    });
}

void deallocate_table(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    std::destroy_at(&as_table(self).table);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* table_rows(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(as_table(self).table.rows());
}

PyObject* table_dimension(PyObject* self, void*) {
    return PyLong_FromSize_t(as_table(self).table.dimension());
}

PyObject* table_dtype(PyObject* self, void*) {
    const std::string_view name = data_type_name(as_table(self).table.dtype());
    return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
}

// A positive thread count.
unsigned to_thread_count(PyObject* value) {
    const long count = PyLong_AsLong(value);
    if (count == -1 && PyErr_Occurred()) throw ErrorAlreadySet{};
    if (count < 1) throw_python_error(PyExc_ValueError, "threads must be at least 1");
    return static_cast<unsigned>(std::min<long>(count, 1024));
}

// Computes `batch` into `out`, a writable C-contiguous float32 buffer of N x D values, with the
// interpreter released.
void embed_into(const EmbeddingTable& table, const GatheredBatch& batch, PyObject* out,
                bool normalize, unsigned threads) {
    const BufferView buffer(out, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS | PyBUF_FORMAT);
    const Py_buffer& view = buffer.get();
    const std::string_view format = view.format == nullptr ? "B" : view.format;
    const bool is_float32 = view.itemsize == 4 && (format == "f" || format == "<f" ||
                                                   format == "=f" || format == "@f");
    const std::size_t sentences = batch.view().sentence_count();
    if (!is_float32 ||
        static_cast<std::size_t>(view.len) != sentences * table.dimension() * sizeof(float)) {
        throw_python_error(PyExc_ValueError,
                           "out must be a C-contiguous float32 array of " +
                               std::to_string(sentences) + " x " +
                               std::to_string(table.dimension()) + " values");
    }
    std::expected<void, TokenOutOfRange> done;
    {
        const DetachedFromInterpreter detached;
        done = embed_batch(table, batch.view(), normalize,
                           {static_cast<float*>(view.buf), sentences * table.dimension()},
                           threads);
    }
    if (!done) throw_python_error(PyExc_IndexError, done.error().display());
}

// None, or an integer from 0 to `limit`.
std::optional<std::uint64_t> to_optional_count(PyObject* value, const char* name,
                                               std::uint64_t limit) {
    if (value == nullptr || value == Py_None) return std::nullopt;
    const long long count = PyLong_AsLongLong(value);
    if (count == -1 && PyErr_Occurred()) throw ErrorAlreadySet{};
    if (count < 0 || static_cast<unsigned long long>(count) > limit) {
        throw_python_error(PyExc_ValueError, std::string(name) + " must be between 0 and " +
                                                 std::to_string(limit));
    }
    return static_cast<std::uint64_t>(count);
}

constexpr const char* embed_lists_parameters[] = {"token_lists", "out",        "normalize",
                                                  "threads",     "max_length", "skipped_token"};
constexpr Signature embed_lists_signature{"Table", "embed_lists", embed_lists_parameters, 4};

PyObject* embed_lists(PyObject* self, PyObject* const* args, Py_ssize_t positional_count,
                      PyObject* kwnames) {
    return native_guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* bound[std::size(embed_lists_parameters)];
        bind_arguments(embed_lists_signature, args, positional_count, kwnames, bound);
        const EmbeddingTable& table = as_table(self).table;
        const bool normalize = to_bool(bound[2]);
        const unsigned threads = to_thread_count(bound[3]);
        TokenSelection selection;
        if (auto length = to_optional_count(bound[4], "max_length", PY_SSIZE_T_MAX)) {
            selection.max_length = static_cast<std::size_t>(*length);
        }
        if (auto token = to_optional_count(bound[5], "skipped_token", UINT32_MAX)) {
            selection.skipped_token = static_cast<std::uint32_t>(*token);
        }
        const GatheredBatch batch = gather_token_lists(bound[0], table.rows(), selection);
        embed_into(table, batch, bound[1], normalize, threads);
        Py_RETURN_NONE;
    });
}

constexpr const char* embed_flat_parameters[] = {"tokens", "offsets", "out", "normalize",
                                                 "threads"};
constexpr Signature embed_flat_signature{"Table", "embed_flat", embed_flat_parameters, 5};

PyObject* embed_flat(PyObject* self, PyObject* const* args, Py_ssize_t positional_count,
                     PyObject* kwnames) {
    return native_guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* bound[std::size(embed_flat_parameters)];
        bind_arguments(embed_flat_signature, args, positional_count, kwnames, bound);
        const EmbeddingTable& table = as_table(self).table;
        const bool normalize = to_bool(bound[3]);
        const unsigned threads = to_thread_count(bound[4]);
        const GatheredBatch batch = gather_flat_tokens(bound[0], bound[1], table.rows());
        embed_into(table, batch, bound[2], normalize, threads);
        Py_RETURN_NONE;
    });
}

PyMethodDef table_methods[] = {
    {"embed_lists", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(embed_lists)),
     METH_FASTCALL | METH_KEYWORDS,
     "embed_lists($self, token_lists, out, normalize, threads, max_length=None, "
     "skipped_token=None)\n--\n\n"
     "Writes the embedding of each sentence (a sequence of token IDs) into out's rows; of each\n"
     "sentence only the first max_length tokens count, and of those none equal to skipped_token."},
    {"embed_flat", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(embed_flat)),
     METH_FASTCALL | METH_KEYWORDS,
     "embed_flat($self, tokens, offsets, out, normalize, threads)\n--\n\n"
     "Writes the embedding of each sentence tokens[offsets[i]:offsets[i + 1]] into out's rows."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef table_properties[] = {
    {"rows", table_rows, nullptr, "The number of rows (token IDs) of the table.", nullptr},
    {"dimension", table_dimension, nullptr, "The number of values in a row.", nullptr},
    {"dtype", table_dtype, nullptr, "The element type of the file: 'F32', 'F16', ...", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot table_slots[] = {
    {Py_tp_doc, const_cast<char*>("Table(path, tensor)\n--\n\n"
                                  "One two-dimensional tensor of a model file, read into memory.")},
    {Py_tp_new, reinterpret_cast<void*>(new_table)},
    {Py_tp_dealloc, reinterpret_cast<void*>(deallocate_table)},
    {Py_tp_methods, table_methods},
    {Py_tp_getset, table_properties},
    {0, nullptr},
};

PyType_Spec table_spec = {
    "korvane._native.Table",
    static_cast<int>(sizeof(TableObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    table_slots,
};

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
                PyTuple_SET_ITEM(shape.get(), static_cast<Py_ssize_t>(index),
                                 require(PyLong_FromUnsignedLongLong(entry.shape[index])).release());
            }
            Ref item = require(Py_BuildValue("(s#s#O)", entry.name.data(),
                                             static_cast<Py_ssize_t>(entry.name.size()),
                                             entry.dtype.data(),
                                             static_cast<Py_ssize_t>(entry.dtype.size()),
                                             shape.get()));
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
    "The native part of the korvane package: model tables and batch embedding.",
    0,
    module_functions,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace korvane::python

PyMODINIT_FUNC PyInit__native() { return PyModuleDef_Init(&korvane::python::module_definition); }
