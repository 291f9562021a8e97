// The private module korvane._native: the table of a model file, and the batch computation of
// embeddings into memory the caller provides (a numpy array). The package's Python code owns
// the public interface; this module takes paths, names and buffers, and raises only ordinary
// exceptions.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <chrono>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <future>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <variant>

#include "../src/arguments.hpp"
#include "../src/conversions.hpp"
#include "../src/guard.hpp"
#include "../src/ref.hpp"
#include "korvane/format/embedding_table.hpp"
#include "korvane/tokenizer/tokenizer.hpp"
#include "korvane/util/cancellation.hpp"
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

// Runs `work(cancellation)` detached from the interpreter. Long work runs on a thread of its
// own while the calling thread wakes every 20 ms to run the interpreter's signal handlers; when
// one raises (Ctrl-C: KeyboardInterrupt), the work is asked to stop and, once it has, the error
// propagates. Short work, or work that cannot get a thread, runs on the calling thread.
template <typename Work>
void run_interruptible(bool long_work, Work&& work) {
    Cancellation cancellation;
    std::promise<void> finished;
    std::future<void> outcome = finished.get_future();
    std::jthread worker;
    if (long_work) {
        try {
            worker = std::jthread([&] {
                try {
                    work(cancellation);
                    finished.set_value();
                } catch (...) {
                    finished.set_exception(std::current_exception());
                }
            });
        } catch (const std::system_error&) {
        }
    }
    if (!worker.joinable()) {
        const DetachedFromInterpreter detached;
        work(cancellation);
        return;
    }
    bool interrupted = false;
    PyThreadState* state = PyEval_SaveThread();
    while (outcome.wait_for(std::chrono::milliseconds(20)) != std::future_status::ready) {
        if (interrupted) continue;
        PyEval_RestoreThread(state);
        if (PyErr_CheckSignals() != 0) {
            interrupted = true;
            cancellation.request();
        }
        state = PyEval_SaveThread();
    }
    PyEval_RestoreThread(state);
    if (interrupted) throw ErrorAlreadySet{};
    outcome.get();
}

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

TableObject& as_table(PyObject* self) noexcept {
    return *reinterpret_cast<TableObject*>(self);
}

// Arguments bind by records of the same form as korvane_py's interface; a private module needs
// only their names and which may be left out.
constexpr stub::ParameterEntry required(const char* name) {
    return {name, {}};
}
constexpr stub::ParameterEntry optional(const char* name) {
    return {name, {}, "None"};
}
constexpr stub::MethodEntry method(const char* name,
                                   std::span<const stub::ParameterEntry> parameters) {
    return {name, parameters, {}, {}, stub::MethodKind::Instance};
}

constexpr stub::ParameterEntry table_parameters[] = {required("path"), required("tensor")};
constexpr stub::MethodEntry table_method = method("__new__", table_parameters);
constexpr Signature table_signature{"Table", table_method};

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
// `view` as the float32 rows of `sentences` embeddings: a writable C-contiguous buffer of
// sentences x D floats, else ValueError.
std::span<float> float_rows(const Py_buffer& view, std::size_t sentences, std::size_t dimension) {
    const std::string_view format = view.format == nullptr ? "B" : view.format;
    const bool is_float32 =
        view.itemsize == 4 && (format == "f" || format == "<f" || format == "=f" || format == "@f");
    if (!is_float32 ||
        static_cast<std::size_t>(view.len) != sentences * dimension * sizeof(float)) {
        throw_python_error(PyExc_ValueError, "out must be a C-contiguous float32 array of " +
                                                 std::to_string(sentences) + " x " +
                                                 std::to_string(dimension) + " values");
    }
    return {static_cast<float*>(view.buf), sentences * dimension};
}

// The exception of a batch's failure, naming its sentence by `names`: IndexError for a token
// outside the table, OverflowError for an embedding beyond single precision.
Ref failure_exception(const BatchFailure& failure, const SentenceNames& names) {
    const std::size_t sentence = failed_sentence(failure);
    const auto* outside = std::get_if<TokenOutOfRange>(&failure);
    const std::string message = outside != nullptr
                                    ? outside->display(names(sentence))
                                    : std::get<RowOverflow>(failure).display(names(sentence));
    PyObject* type = outside != nullptr ? PyExc_IndexError : PyExc_OverflowError;
    const Ref text = require(
        PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    return require(PyObject_CallOneArg(type, text.get()));
}

[[noreturn]] void raise_failure(const BatchFailure& failure, const SentenceNames& names) {
    const Ref error = failure_exception(failure, names);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    throw ErrorAlreadySet{};
}

// Computes `batch` into `out`, a writable C-contiguous float32 buffer of N x D values, with the
// interpreter released.
void embed_into(const EmbeddingTable& table, const GatheredBatch& batch, PyObject* out,
                bool normalize, unsigned threads, const SentenceNames& names = {}) {
    const BufferView buffer(out, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS | PyBUF_FORMAT);
    const std::size_t sentences = batch.view().sentence_count();
    const std::span<float> rows = float_rows(buffer.get(), sentences, table.dimension());
    std::expected<void, BatchFailure> done;
    {
        const DetachedFromInterpreter detached;
        done = embed_batch(table, batch.view(), normalize, rows, threads);
    }
    if (!done) raise_failure(done.error(), names);
}

// None, or an integer from 0 to `limit`.
std::optional<std::uint64_t> to_optional_count(PyObject* value, const char* name,
                                               std::uint64_t limit) {
    if (value == nullptr || value == Py_None) return std::nullopt;
    const long long count = PyLong_AsLongLong(value);
    if (count == -1 && PyErr_Occurred()) throw ErrorAlreadySet{};
    if (count < 0 || static_cast<unsigned long long>(count) > limit) {
        throw_python_error(PyExc_ValueError,
                           std::string(name) + " must be between 0 and " + std::to_string(limit));
    }
    return static_cast<std::uint64_t>(count);
}

// The filter of a call's `max_length` and `skipped_token` arguments (None or absent: unset).
TokenFilter to_token_filter(PyObject* max_length, PyObject* skipped_token) {
    TokenFilter filter;
    if (auto length = to_optional_count(max_length, "max_length", PY_SSIZE_T_MAX)) {
        filter.max_length = static_cast<std::size_t>(*length);
    }
    if (auto token = to_optional_count(skipped_token, "skipped_token", UINT32_MAX)) {
        filter.skipped_token = static_cast<std::uint32_t>(*token);
    }
    return filter;
}

constexpr stub::ParameterEntry embed_lists_parameters[] = {
    required("token_lists"), required("out"),           required("normalize"), required("threads"),
    optional("max_length"),  optional("skipped_token"), optional("numbering")};
constexpr stub::MethodEntry embed_lists_method = method("embed_lists", embed_lists_parameters);
constexpr Signature embed_lists_signature{"Table", embed_lists_method};

PyObject* embed_lists(PyObject* self, PyObject* const* args, Py_ssize_t positional_count,
                      PyObject* kwnames) {
    return native_guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* bound[std::size(embed_lists_parameters)];
        bind_arguments(embed_lists_signature, args, positional_count, kwnames, bound);
        const EmbeddingTable& table = as_table(self).table;
        const bool normalize = to_bool(bound[2]);
        const unsigned threads = to_thread_count(bound[3]);
        const SentenceNames names = SentenceNames::from(bound[6]);
        const GatheredBatch batch =
            gather_token_lists(bound[0], table.rows(), to_token_filter(bound[4], bound[5]), names);
        embed_into(table, batch, bound[1], normalize, threads, names);
        Py_RETURN_NONE;
    });
}

// The native tokenizer of a tokenizer.json file.
struct TokenizerObject {
    PyObject ob_base;
    Tokenizer tokenizer;  // never changed after construction
};

TokenizerObject& as_tokenizer(PyObject* self) noexcept {
    return *reinterpret_cast<TokenizerObject*>(self);
}

constexpr stub::ParameterEntry tokenizer_parameters[] = {required("path")};
constexpr stub::MethodEntry tokenizer_method = method("__new__", tokenizer_parameters);
constexpr Signature tokenizer_signature{"Tokenizer", tokenizer_method};

PyObject* new_tokenizer(PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
    return native_guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* bound[std::size(tokenizer_parameters)];
        bind_arguments(tokenizer_signature, args, kwargs, bound);
        const std::filesystem::path path = to_path(bound[0]);
        std::expected<Tokenizer, std::string> tokenizer = std::unexpected(std::string{});
        {
            const DetachedFromInterpreter detached;
            tokenizer = Tokenizer::from_file(path);
        }
        if (!tokenizer) throw_python_error(PyExc_ValueError, tokenizer.error());
        Ref instance = require(cls->tp_alloc(cls, 0));
        std::construct_at(&as_tokenizer(instance.get()).tokenizer, std::move(*tokenizer));
        return instance.release();
    });
}

void deallocate_tokenizer(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    std::destroy_at(&as_tokenizer(self).tokenizer);
    type->tp_free(self);
    Py_DECREF(type);
}

constexpr stub::ParameterEntry tokenize_parameters[] = {required("text")};
constexpr stub::MethodEntry tokenize_method = method("tokenize", tokenize_parameters);
constexpr Signature tokenize_signature{"Tokenizer", tokenize_method};

// The IDs of one text, or None when the text is deferred to the tokenizers package.
PyObject* tokenize_text(PyObject* self, PyObject* const* args, Py_ssize_t positional_count,
                        PyObject* kwnames) {
    return native_guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* bound[1];
        bind_arguments(tokenize_signature, args, positional_count, kwnames, bound);
        const std::string text = to_utf8_text(bound[0]);
        std::vector<std::uint32_t> ids;
        if (as_tokenizer(self).tokenizer.tokenize(text, ids) != Tokenizer::Outcome::tokenized)
            Py_RETURN_NONE;
        Ref list = require(PyList_New(static_cast<Py_ssize_t>(ids.size())));
        for (std::size_t index = 0; index < ids.size(); ++index) {
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(index),
                            require(PyLong_FromUnsignedLong(ids[index])).release());
        }
        return list.release();
    });
}

PyMethodDef tokenizer_methods[] = {
    {"tokenize", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(tokenize_text)),
     METH_FASTCALL | METH_KEYWORDS,
     "tokenize($self, text)\n--\n\n"
     "The token IDs of text, or None when it holds a character the native table does not know."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot tokenizer_slots[] = {
    {Py_tp_doc, const_cast<char*>("Tokenizer(path)\n--\n\n"
                                  "The native WordPiece tokenizer of a tokenizer.json file; "
                                  "ValueError names the part it does not implement.")},
    {Py_tp_new, reinterpret_cast<void*>(new_tokenizer)},
    {Py_tp_dealloc, reinterpret_cast<void*>(deallocate_tokenizer)},
    {Py_tp_methods, tokenizer_methods},
    {0, nullptr},
};

PyType_Spec tokenizer_spec = {
    "korvane._native.Tokenizer",
    static_cast<int>(sizeof(TokenizerObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    tokenizer_slots,
};

// Texts of at least this many bytes in all are tokenized off the calling thread, which keeps
// answering Ctrl-C (tokenizing them takes milliseconds or more).
constexpr std::size_t interruptible_bytes = 64 * 1024;

constexpr stub::ParameterEntry encode_texts_parameters[] = {
    required("tokenizer"),     required("texts"),    required("out"),
    required("normalize"),     required("threads"),  optional("max_length"),
    optional("skipped_token"), optional("numbering")};
constexpr stub::MethodEntry encode_texts_method = method("encode_texts", encode_texts_parameters);
constexpr Signature encode_texts_signature{"Table", encode_texts_method};

// Tokenizes and embeds a list of str in one detached, parallel call. Returns the indices of the
// texts it deferred (their rows are zeros), for the caller to tokenize with the tokenizers
// package, and None or the failure of the texts it tokenized: (index, exception). The caller
// raises the exception after embedding the deferred texts before that index, so that the error
// reported is the first in input order whoever tokenized it.
PyObject* encode_texts(PyObject* self, PyObject* const* args, Py_ssize_t positional_count,
                       PyObject* kwnames) {
    return native_guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* bound[std::size(encode_texts_parameters)];
        bind_arguments(encode_texts_signature, args, positional_count, kwnames, bound);
        // The type is made from tokenizer_spec and cannot be subclassed: its constructor says it.
        if (PyType_GetSlot(Py_TYPE(bound[0]), Py_tp_new) != reinterpret_cast<void*>(new_tokenizer))
            throw_python_error(PyExc_TypeError, "tokenizer must be a korvane._native.Tokenizer");
        const Ref tokenizer_ref = Ref::borrow(bound[0]);
        const Tokenizer& tokenizer = as_tokenizer(bound[0]).tokenizer;
        const EmbeddingTable& table = as_table(self).table;
        const bool normalize = to_bool(bound[3]);
        const unsigned threads = to_thread_count(bound[4]);
        const TokenFilter filter = to_token_filter(bound[5], bound[6]);
        const SentenceNames names = SentenceNames::from(bound[7]);
        // The texts are held for the call, so their UTF-8 stays valid while detached whatever
        // other threads do to the list.
        const Ref items = require(PySequence_Fast(bound[1], "texts must be a list of str"));
        const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
        std::vector<Ref> held;
        std::vector<std::string_view> texts;
        held.reserve(static_cast<std::size_t>(count));
        texts.reserve(static_cast<std::size_t>(count));
        for (Py_ssize_t index = 0; index < count; ++index) {
            PyObject* item = PySequence_Fast_GET_ITEM(items.get(), index);
            if (!PyUnicode_Check(item)) {
                throw_python_error(PyExc_TypeError, "texts[" + std::to_string(index) + "] is " +
                                                        Py_TYPE(item)->tp_name + ", not str");
            }
            held.push_back(Ref::borrow(item));
            Py_ssize_t size = 0;
            const char* utf8 = PyUnicode_AsUTF8AndSize(item, &size);
            if (utf8 == nullptr) {
                add_error_note("while reading texts[" + std::to_string(index) + "]");
                throw ErrorAlreadySet{};
            }
            texts.emplace_back(utf8, static_cast<std::size_t>(size));
        }
        const BufferView buffer(bound[2], PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS | PyBUF_FORMAT);
        std::span<float> out = float_rows(buffer.get(), texts.size(), table.dimension());
        TokenizedBatch batch;
        std::expected<void, BatchFailure> done;
        std::size_t bytes = 0;
        for (const std::string_view text : texts) bytes += text.size();
        run_interruptible(bytes >= interruptible_bytes, [&](const Cancellation& cancellation) {
            batch = tokenize_batch(tokenizer, texts, filter, threads, &cancellation);
            if (batch.cancelled) return;
            done = embed_batch(table, {batch.tokens, batch.offsets}, normalize, out, threads);
        });
        Ref deferred = require(PyList_New(static_cast<Py_ssize_t>(batch.deferred.size())));
        for (std::size_t index = 0; index < batch.deferred.size(); ++index) {
            PyList_SET_ITEM(deferred.get(), static_cast<Py_ssize_t>(index),
                            require(PyLong_FromSize_t(batch.deferred[index])).release());
        }
        Ref failure = Ref::borrow(Py_None);
        if (!done) {
            const Ref error = failure_exception(done.error(), names);
            failure = require(Py_BuildValue(
                "(nO)", static_cast<Py_ssize_t>(failed_sentence(done.error())), error.get()));
        }
        return require(PyTuple_Pack(2, deferred.get(), failure.get())).release();
    });
}

constexpr stub::ParameterEntry embed_flat_parameters[] = {required("tokens"), required("offsets"),
                                                          required("out"), required("normalize"),
                                                          required("threads")};
constexpr stub::MethodEntry embed_flat_method = method("embed_flat", embed_flat_parameters);
constexpr Signature embed_flat_signature{"Table", embed_flat_method};

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
     "skipped_token=None, numbering=None)\n--\n\n"
     "Writes the embedding of each sentence (a sequence of token IDs) into out's rows; of each\n"
     "sentence only the first max_length tokens count, and of those none equal to skipped_token;\n"
     "only those are checked against the table. numbering (the first sentence's number, or a\n"
     "list of each one's) makes errors name sentences texts[n]."},
    {"encode_texts", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(encode_texts)),
     METH_FASTCALL | METH_KEYWORDS,
     "encode_texts($self, tokenizer, texts, out, normalize, threads, max_length=None, "
     "skipped_token=None, numbering=None)\n--\n\n"
     "Tokenizes the texts (a list of str) and writes their embeddings into out's rows; returns\n"
     "(deferred, failure): the indices of the texts left to the tokenizers package (their rows\n"
     "are zeros), and None or (index, exception) for the first text that cannot be embedded.\n"
     "numbering: the first text's number in errors (texts[n])."},
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

PyMODINIT_FUNC PyInit__native() {
    return PyModuleDef_Init(&korvane::python::module_definition);
}
