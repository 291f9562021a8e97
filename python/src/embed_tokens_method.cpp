// StaticEmbedding.embed_tokens: converts the token sequence, runs the core with exclusive use of
// the instance's core object, and returns the embedding as a list of floats.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <limits>
#include <utility>

#include "binding.hpp"
#include "ref.hpp"
#include "static_embedding_object.hpp"

namespace korvane::python {

namespace {

constexpr const char* embed_tokens_parameters[] = {"tokens"};
constexpr Signature embed_tokens_signature{"StaticEmbedding", "embed_tokens",
                                           embed_tokens_parameters, 1};

// Holds an instance's borrow_flag for one call. The flag is the only guard of the core object:
// conversion runs Python code that may call back into the same instance, from this thread or
// (while it waits) another, and such a call must fail rather than wait.
class ExclusiveUse {
public:
    static constexpr std::uintptr_t in_use = std::numeric_limits<std::uintptr_t>::max();

    // Takes the flag, or raises RuntimeError "Already borrowed" and leaves it as it was.
    explicit ExclusiveUse(std::atomic<std::uintptr_t>& flag) : flag_(flag) {
        std::uintptr_t expected = 0;
        if (!flag_.compare_exchange_strong(expected, in_use, std::memory_order_acquire,
                                           std::memory_order_relaxed)) {
            throw_python_error(PyExc_RuntimeError, "Already borrowed");
        }
    }
    ExclusiveUse(const ExclusiveUse&) = delete;
    ExclusiveUse& operator=(const ExclusiveUse&) = delete;
    ~ExclusiveUse() { flag_.store(0, std::memory_order_release); }

private:
    std::atomic<std::uintptr_t>& flag_;
};

PyObject* embed_tokens(PyObject* self, PyObject* const* args, Py_ssize_t positional_count,
                       PyObject* kwnames) {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* bound[std::size(embed_tokens_parameters)];
        bind_arguments(embed_tokens_signature, args, positional_count, kwnames, bound);
        StaticEmbeddingObject& instance = as_static_embedding(self);
        const ExclusiveUse use(instance.borrow_flag);
        auto tokens = convert_argument("tokens", [&] { return to_token_ids(bound[0]); });
        auto embedding = instance.core.embed_tokens(std::move(tokens));
        if (!embedding) throw_python_error(PyExc_RuntimeError, embedding.error().display());
        return to_float_list(*embedding).release();
    });
}

constexpr const char embed_tokens_doc[] =
    "embed_tokens($self, tokens)\n--\n\n"
    "Generates an embedding for a pre-tokenized sequence of token IDs (use whatever tokenization\n"
    "libary you prefer to generate tokens).\n\n"
    "The tensor is loaded lazily on first call. Embeddings are mean-pooled\n"
    "and optionally normalized.";

}  // namespace

PyMethodDef static_embedding_methods[] = {
    {"embed_tokens", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(embed_tokens)),
     METH_FASTCALL | METH_KEYWORDS, embed_tokens_doc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace korvane::python
