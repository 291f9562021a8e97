#include "table_type.hpp"

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common.hpp"
#include "korvane/model/encode_texts.hpp"
#include "tokenizer_type.hpp"

namespace korvane::python {

namespace {

struct TableObject {
    PyObject ob_base;
    EmbeddingTable table;  // never changed after construction: calls share it without a lock
};

TableObject& as_table(PyObject* self) noexcept {
    return *reinterpret_cast<TableObject*>(self);
}

constexpr char class_name[] = "Table";

constexpr stub::ParameterEntry new_parameters[] = {required("path"),    required("tensor"),
                                                   optional("mapping"), optional("weights"),
                                                   optional("columns"), optional("quantize_to")};
constexpr stub::MethodEntry new_record = method("__new__", new_parameters, "");

PyObject* new_table(PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
    return native_guard<PyObject*>(nullptr, [&]() -> PyObject* {
        const BoundArguments<new_record, class_name> arguments(args, kwargs);
        const std::filesystem::path path = to_path(arguments["path"]);
        const std::string tensor = to_utf8_text(arguments["tensor"]);
        // The token mapping's and the weights' tensor names; absent or None: none.
        const auto optional_name = [](PyObject* value) {
            return value == nullptr || value == Py_None ? std::string() : to_utf8_text(value);
        };
        const std::string mapping = optional_name(arguments["mapping"]);
        const std::string weights = optional_name(arguments["weights"]);
        std::optional<std::size_t> columns;
        if (PyObject* value = arguments["columns"]; value != nullptr && value != Py_None) {
            const std::size_t count = PyLong_AsSize_t(value);
            if (count == static_cast<std::size_t>(-1) && PyErr_Occurred()) throw ErrorAlreadySet{};
            columns = count;
        }
        // How the table is held: "float16" or "int8" (HeldAs); absent or None: as in the file.
        HeldAs held_as = HeldAs::file;
        if (const std::string held = optional_name(arguments["quantize_to"]); !held.empty()) {
            if (held != "float16" && held != "int8") {
                throw_python_error(
                    PyExc_ValueError,
                    "quantize_to must be None, 'float16' or 'int8', not '" + held + "'");
            }
            held_as = held == "float16" ? HeldAs::f16 : HeldAs::i8;
        }
        std::expected<EmbeddingTable, LoadError> table = std::unexpected(LoadError{});
        {
            const DetachedFromInterpreter detached;
            table = EmbeddingTable::load(path, tensor, mapping, weights, columns, held_as);
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

PyObject* table_vocab_size(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(as_table(self).table.vocab_size());
}

PyObject* table_dimension(PyObject* self, void*) {
    return PyLong_FromSize_t(as_table(self).table.dimension());
}

PyObject* table_dtype(PyObject* self, void*) {
    const std::string_view name = data_type_name(as_table(self).table.dtype());
    return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
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

constexpr stub::ParameterEntry embed_lists_parameters[] = {
    required("token_lists"), required("out"),           required("normalize"), required("threads"),
    optional("max_length"),  optional("skipped_token"), optional("numbering")};
constexpr stub::MethodEntry embed_lists_record = method(
    "embed_lists", embed_lists_parameters,
    "Writes the embedding of each sentence (a sequence of token IDs) into out's rows; of each\n"
    "sentence only the first max_length tokens count, and of those none equal to skipped_token;\n"
    "only those are checked against the table. numbering (the first sentence's number, or a\n"
    "list of each one's) makes errors name sentences texts[n].");

PyObject* embed_lists(PyObject* self, PyObject* const* args, Py_ssize_t positional_count,
                      PyObject* kwnames) {
    return native_guard<PyObject*>(nullptr, [&]() -> PyObject* {
        const BoundArguments<embed_lists_record, class_name> arguments(args, positional_count,
                                                                       kwnames);
        const EmbeddingTable& table = as_table(self).table;
        const bool normalize = to_bool(arguments["normalize"]);
        const unsigned threads = to_thread_count(arguments["threads"]);
        const SentenceNames names = SentenceNames::from(arguments["numbering"]);
        const GatheredBatch batch = gather_token_lists(
            arguments["token_lists"], table.vocab_size(),
            to_token_filter(arguments["max_length"], arguments["skipped_token"]), names);
        embed_into(table, batch, arguments["out"], normalize, threads, names);
        Py_RETURN_NONE;
    });
}

constexpr stub::ParameterEntry encode_texts_parameters[] = {
    required("tokenizer"),     required("texts"),     required("out"),
    required("normalize"),     required("threads"),   optional("max_length"),
    optional("skipped_token"), optional("numbering"), optional("token_counts")};
constexpr stub::MethodEntry encode_texts_record = method(
    "encode_texts", encode_texts_parameters,
    "Tokenizes the texts (a list of str) and writes their embeddings into out's rows; returns\n"
    "(deferred, failure): the indices of the texts left to the tokenizers package (their rows\n"
    "are zeros), and None or (index, exception) for the first text that cannot be embedded.\n"
    "numbering: the first text's number in errors (texts[n]). With token_counts (an int64\n"
    "array), writes there the number of tokens embedded of each text.");

// `view` as `count` int64 values: a writable C-contiguous buffer, else ValueError.
std::span<std::int64_t> int64_values(const Py_buffer& view, std::size_t count) {
    const std::string_view format = view.format == nullptr ? "B" : view.format;
    const bool is_int64 =
        view.itemsize == 8 && (format == "q" || format == "<q" || format == "=q" ||
                               format == "@q" || format == "l" || format == "@l");
    if (!is_int64 || static_cast<std::size_t>(view.len) != count * sizeof(std::int64_t)) {
        throw_python_error(PyExc_ValueError, "token_counts must be a C-contiguous int64 array of " +
                                                 std::to_string(count) + " values");
    }
    return {static_cast<std::int64_t*>(view.buf), count};
}

// Tokenizes and embeds a list of str in one detached, parallel call. Returns the indices of the
// texts it deferred (their rows are zeros), for the caller to tokenize with the tokenizers
// package, and None or the failure of the texts it tokenized: (index, exception). The caller
// raises the exception after embedding the deferred texts before that index, so that the error
// reported is the first in input order whoever tokenized it. With `token_counts`, writes there
// how many tokens of each text were embedded (0 for a deferred text).
PyObject* encode_texts(PyObject* self, PyObject* const* args, Py_ssize_t positional_count,
                       PyObject* kwnames) {
    return native_guard<PyObject*>(nullptr, [&]() -> PyObject* {
        const BoundArguments<encode_texts_record, class_name> arguments(args, positional_count,
                                                                        kwnames);
        const Tokenizer& tokenizer = tokenizer_of(arguments["tokenizer"], "tokenizer");
        const Ref tokenizer_ref = Ref::borrow(arguments["tokenizer"]);
        const EmbeddingTable& table = as_table(self).table;
        const bool normalize = to_bool(arguments["normalize"]);
        const unsigned threads = to_thread_count(arguments["threads"]);
        const TokenFilter filter =
            to_token_filter(arguments["max_length"], arguments["skipped_token"]);
        const SentenceNames names = SentenceNames::from(arguments["numbering"]);
        std::vector<Ref> held;
        const std::vector<std::string_view> texts = utf8_texts(arguments["texts"], held, names);
        const BufferView buffer(arguments["out"],
                                PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS | PyBUF_FORMAT);
        std::span<float> out = float_rows(buffer.get(), texts.size(), table.dimension());
        std::optional<BufferView> counts_buffer;
        std::span<std::int64_t> counts;
        if (PyObject* token_counts = arguments["token_counts"];
            token_counts != nullptr && token_counts != Py_None) {
            counts_buffer.emplace(token_counts, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS | PyBUF_FORMAT);
            counts = int64_values(counts_buffer->get(), texts.size());
        }
        EncodedTexts encoded;
        std::size_t bytes = 0;
        for (const std::string_view text : texts) bytes += text.size();
        run_interruptible(bytes >= interruptible_bytes, [&](const Cancellation& cancellation) {
            encoded = korvane::encode_texts(tokenizer, table, texts, filter, normalize, out,
                                            threads, &cancellation);
        });
        for (std::size_t index = 0; index < counts.size(); ++index) {
            counts[index] = static_cast<std::int64_t>(encoded.token_counts[index]);
        }
        Ref deferred = require(PyList_New(static_cast<Py_ssize_t>(encoded.deferred.size())));
        for (std::size_t index = 0; index < encoded.deferred.size(); ++index) {
            PyList_SET_ITEM(deferred.get(), static_cast<Py_ssize_t>(index),
                            require(PyLong_FromSize_t(encoded.deferred[index])).release());
        }
        Ref failure = Ref::borrow(Py_None);
        if (!encoded.embedded) {
            const BatchFailure& reason = encoded.embedded.error();
            const Ref error = failure_exception(reason, names);
            failure = require(Py_BuildValue(
                "(nO)", static_cast<Py_ssize_t>(failed_sentence(reason)), error.get()));
        }
        return require(PyTuple_Pack(2, deferred.get(), failure.get())).release();
    });
}

constexpr stub::ParameterEntry embed_flat_parameters[] = {required("tokens"), required("offsets"),
                                                          required("out"), required("normalize"),
                                                          required("threads")};
constexpr stub::MethodEntry embed_flat_record = method(
    "embed_flat", embed_flat_parameters,
    "Writes the embedding of each sentence tokens[offsets[i]:offsets[i + 1]] into out's rows.");

PyObject* embed_flat(PyObject* self, PyObject* const* args, Py_ssize_t positional_count,
                     PyObject* kwnames) {
    return native_guard<PyObject*>(nullptr, [&]() -> PyObject* {
        const BoundArguments<embed_flat_record, class_name> arguments(args, positional_count,
                                                                      kwnames);
        const EmbeddingTable& table = as_table(self).table;
        const bool normalize = to_bool(arguments["normalize"]);
        const unsigned threads = to_thread_count(arguments["threads"]);
        const GatheredBatch batch =
            gather_flat_tokens(arguments["tokens"], arguments["offsets"], table.vocab_size());
        embed_into(table, batch, arguments["out"], normalize, threads);
        Py_RETURN_NONE;
    });
}

constexpr stub::ParameterEntry token_rows_parameters[] = {required("tokens"), required("offsets"),
                                                          required("out"), required("threads")};
constexpr stub::MethodEntry token_rows_record = method(
    "token_rows", token_rows_parameters,
    "Writes each token's row (after the token mapping and weights) into out's rows; tokens and\n"
    "offsets as embed_flat takes them, errors naming sentences by offsets.");

PyObject* token_rows_method(PyObject* self, PyObject* const* args, Py_ssize_t positional_count,
                            PyObject* kwnames) {
    return native_guard<PyObject*>(nullptr, [&]() -> PyObject* {
        const BoundArguments<token_rows_record, class_name> arguments(args, positional_count,
                                                                      kwnames);
        const EmbeddingTable& table = as_table(self).table;
        const unsigned threads = to_thread_count(arguments["threads"]);
        const GatheredBatch batch =
            gather_flat_tokens(arguments["tokens"], arguments["offsets"], table.vocab_size());
        const std::span<const std::uint32_t> tokens = batch.view().tokens;
        const BufferView buffer(arguments["out"],
                                PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS | PyBUF_FORMAT);
        const std::span<float> rows = float_rows(buffer.get(), tokens.size(), table.dimension());
        {
            const DetachedFromInterpreter detached;
            token_rows(table, tokens, rows, threads);
        }
        Py_RETURN_NONE;
    });
}

const std::string token_rows_doc = method_doc(token_rows_record);
const std::string embed_lists_doc = method_doc(embed_lists_record);
const std::string encode_texts_doc = method_doc(encode_texts_record);
const std::string embed_flat_doc = method_doc(embed_flat_record);

PyMethodDef table_methods[] = {
    {"embed_lists", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(embed_lists)),
     METH_FASTCALL | METH_KEYWORDS, embed_lists_doc.c_str()},
    {"encode_texts", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(encode_texts)),
     METH_FASTCALL | METH_KEYWORDS, encode_texts_doc.c_str()},
    {"embed_flat", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(embed_flat)),
     METH_FASTCALL | METH_KEYWORDS, embed_flat_doc.c_str()},
    {"token_rows", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(token_rows_method)),
     METH_FASTCALL | METH_KEYWORDS, token_rows_doc.c_str()},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef table_properties[] = {
    {"rows", table_rows, nullptr, "The number of rows (token IDs) of the table.", nullptr},
    {"vocab_size", table_vocab_size, nullptr,
     "The number of token IDs: the token mapping's length, else the rows.", nullptr},
    {"dimension", table_dimension, nullptr, "The number of values in a row.", nullptr},
    {"dtype", table_dtype, nullptr, "The element type of the file: 'F32', 'F16', ...", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot table_slots[] = {
    {Py_tp_doc,
     const_cast<char*>(
         "Table(path, tensor, mapping=None, weights=None, columns=None, quantize_to=None)\n--\n\n"
         "One two-dimensional tensor of a model file, read into memory,\n"
         "with the named token mapping and per-token weights if given,\n"
         "and only the first `columns` columns if given; held as F16 or I8\n"
         "with quantize_to='float16' or 'int8'.")},
    {Py_tp_new, reinterpret_cast<void*>(new_table)},
    {Py_tp_dealloc, reinterpret_cast<void*>(deallocate_table)},
    {Py_tp_methods, table_methods},
    {Py_tp_getset, table_properties},
    {0, nullptr},
};

}  // namespace

PyType_Spec table_spec = {
    "korvane._native.Table",
    static_cast<int>(sizeof(TableObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    table_slots,
};

}  // namespace korvane::python
