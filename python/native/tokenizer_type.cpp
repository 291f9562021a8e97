#include "tokenizer_type.hpp"

#include <expected>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common.hpp"

namespace korvane::python {

namespace {

struct TokenizerObject {
    PyObject ob_base;
    Tokenizer tokenizer;  // never changed after construction
};

TokenizerObject& as_tokenizer(PyObject* self) noexcept {
    return *reinterpret_cast<TokenizerObject*>(self);
}

constexpr char class_name[] = "Tokenizer";

constexpr stub::ParameterEntry new_parameters[] = {required("path")};
constexpr stub::MethodEntry new_record = method("__new__", new_parameters, "");

PyObject* new_tokenizer(PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
    return native_guard<PyObject*>(nullptr, [&]() -> PyObject* {
        const BoundArguments<new_record, class_name> arguments(args, kwargs);
        const std::filesystem::path path = to_path(arguments["path"]);
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
constexpr stub::MethodEntry tokenize_record = method(
    "tokenize", tokenize_parameters,
    "The token IDs of text, or None when it holds a character the native table does not know.");

// The IDs of one text, or None when the text is deferred to the tokenizers package.
PyObject* tokenize_text(PyObject* self, PyObject* const* args, Py_ssize_t positional_count,
                        PyObject* kwnames) {
    return native_guard<PyObject*>(nullptr, [&]() -> PyObject* {
        const BoundArguments<tokenize_record, class_name> arguments(args, positional_count,
                                                                    kwnames);
        const std::string text = to_utf8_text(arguments["text"]);
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

constexpr stub::ParameterEntry tokenize_texts_parameters[] = {
    required("texts"), required("threads"), optional("max_length"), optional("skipped_token")};
constexpr stub::MethodEntry tokenize_texts_record = method(
    "tokenize_texts", tokenize_texts_parameters,
    "Tokenizes the texts (a list of str) in one detached, parallel call, keeping of each text\n"
    "the first max_length tokens and of those all but skipped_token; returns (tokens, offsets,\n"
    "deferred): the kept IDs back to back as uint32 bytes, N + 1 boundaries as uint64 bytes,\n"
    "and the indices of the texts left to the tokenizers package (without tokens here).");

// The bytes of `values`, as a Python bytes object.
template <typename T>
Ref bytes_of(const std::vector<T>& values) {
    return require(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(values.data()),
                                             static_cast<Py_ssize_t>(values.size() * sizeof(T))));
}

PyObject* tokenize_texts(PyObject* self, PyObject* const* args, Py_ssize_t positional_count,
                         PyObject* kwnames) {
    return native_guard<PyObject*>(nullptr, [&]() -> PyObject* {
        const BoundArguments<tokenize_texts_record, class_name> arguments(args, positional_count,
                                                                          kwnames);
        const Tokenizer& tokenizer = as_tokenizer(self).tokenizer;
        const unsigned threads = to_thread_count(arguments["threads"]);
        const TokenFilter filter =
            to_token_filter(arguments["max_length"], arguments["skipped_token"]);
        std::vector<Ref> held;
        const std::vector<std::string_view> texts = utf8_texts(arguments["texts"], held);
        std::size_t bytes = 0;
        for (const std::string_view text : texts) bytes += text.size();
        TokenizedBatch batch;
        run_interruptible(bytes >= interruptible_bytes, [&](const Cancellation& cancellation) {
            batch = tokenize_batch(tokenizer, texts, filter, threads, &cancellation);
        });
        Ref deferred = require(PyList_New(static_cast<Py_ssize_t>(batch.deferred.size())));
        for (std::size_t index = 0; index < batch.deferred.size(); ++index) {
            PyList_SET_ITEM(deferred.get(), static_cast<Py_ssize_t>(index),
                            require(PyLong_FromSize_t(batch.deferred[index])).release());
        }
        const Ref tokens = bytes_of(batch.tokens);
        const Ref offsets = bytes_of(batch.offsets);
        return require(PyTuple_Pack(3, tokens.get(), offsets.get(), deferred.get())).release();
    });
}

const std::string tokenize_texts_doc = method_doc(tokenize_texts_record);
const std::string tokenize_doc = method_doc(tokenize_record);

PyMethodDef tokenizer_methods[] = {
    {"tokenize", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(tokenize_text)),
     METH_FASTCALL | METH_KEYWORDS, tokenize_doc.c_str()},
    {"tokenize_texts", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(tokenize_texts)),
     METH_FASTCALL | METH_KEYWORDS, tokenize_texts_doc.c_str()},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot tokenizer_slots[] = {
    {Py_tp_doc, const_cast<char*>("Tokenizer(path)\n--\n\n"
                                  "The native tokenizer of a tokenizer.json file; ValueError "
                                  "names the part it does not implement.")},
    {Py_tp_new, reinterpret_cast<void*>(new_tokenizer)},
    {Py_tp_dealloc, reinterpret_cast<void*>(deallocate_tokenizer)},
    {Py_tp_methods, tokenizer_methods},
    {0, nullptr},
};

}  // namespace

PyType_Spec tokenizer_spec = {
    "korvane._native.Tokenizer",
    static_cast<int>(sizeof(TokenizerObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    tokenizer_slots,
};

const Tokenizer& tokenizer_of(PyObject* object, const char* parameter) {
    // The type is made from tokenizer_spec and cannot be subclassed: its constructor says it.
    if (PyType_GetSlot(Py_TYPE(object), Py_tp_new) != reinterpret_cast<void*>(new_tokenizer)) {
        throw_python_error(PyExc_TypeError,
                           std::string(parameter) + " must be a korvane._native.Tokenizer");
    }
    return as_tokenizer(object).tokenizer;
}

}  // namespace korvane::python
