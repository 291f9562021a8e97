// StaticEmbedding.embed_tokens: converts the token sequence, runs the core with exclusive use of
// the instance's core object, and returns the embedding as a list of floats.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <limits>
#include <utility>

#include "binding.hpp"
#include "korvane/errors.hpp"
#include "ref.hpp"
#include "static_embedding_object.hpp"

namespace korvane::python {

namespace {

std::atomic<std::uint64_t> forks{0};

// Runs in the child of every fork(), while it has a single thread.
void count_fork() noexcept { forks.fetch_add(1, std::memory_order_relaxed); }

constexpr const char* embed_tokens_parameters[] = {"tokens"};
constexpr Signature embed_tokens_signature{"StaticEmbedding", "embed_tokens",
                                           embed_tokens_parameters, 1};

// Holds an instance's borrow_flag for one call. The flag is the only guard of the core object:
// conversion runs Python code that may call back into the same instance, from this thread or
// (while it waits) another, and such a call must fail rather than wait.
class ExclusiveUse {
public:
    static constexpr std::uintptr_t in_use = std::numeric_limits<std::uintptr_t>::max();

    // Takes the flag, or raises RuntimeError and leaves it as it was: "Already borrowed", or,
    // when the flag was taken before this process forked, by a thread the child does not have,
    // that the instance can never be used here. Its core may be half changed, too.
    explicit ExclusiveUse(StaticEmbeddingObject& instance) : flag_(instance.borrow_flag) {
        std::uintptr_t expected = 0;
        if (!flag_.compare_exchange_strong(expected, in_use, std::memory_order_acquire,
                                           std::memory_order_relaxed)) {
            if (instance.borrowed_in_fork.load(std::memory_order_relaxed) != fork_count()) {
                throw_python_error(PyExc_RuntimeError,
                                   "This StaticEmbedding was in use when the process forked, so "
                                   "it cannot be used in the child process: create a new "
                                   "instance");
            }
            throw_python_error(PyExc_RuntimeError, "Already borrowed");
        }
        // The interpreter lock, held from the swap to here, keeps other calls from seeing the
        // flag taken with an earlier process's count. Without it (a free-threaded build), a call
        // racing this line may be told about a fork instead of "Already borrowed".
        instance.borrowed_in_fork.store(fork_count(), std::memory_order_relaxed);
    }
    ExclusiveUse(const ExclusiveUse&) = delete;
    ExclusiveUse& operator=(const ExclusiveUse&) = delete;
    ~ExclusiveUse() { flag_.store(0, std::memory_order_release); }

private:
    std::atomic<std::uintptr_t>& flag_;
};

// Runs the handlers of signals that arrived, so that Ctrl-C stops the first call's read of the
// model file: the KeyboardInterrupt they raise leaves the call, and the table stays unloaded.
void check_signals() { require(PyErr_CheckSignals()); }

PyObject* embed_tokens(PyObject* self, PyObject* const* args, Py_ssize_t positional_count,
                       PyObject* kwnames) {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* bound[std::size(embed_tokens_parameters)];
        bind_arguments(embed_tokens_signature, args, positional_count, kwnames, bound);
        StaticEmbeddingObject& instance = as_static_embedding(self);
        if (!instance.constructed) {
            throw_python_error(PyExc_TypeError,
                               "StaticEmbedding.embed_tokens() got an instance that "
                               "StaticEmbedding.__new__() did not construct: create instances "
                               "with StaticEmbedding(model_dir)");
        }
        const ExclusiveUse use(instance);
        auto tokens = convert_argument("tokens", [&] { return to_token_ids(bound[0]); });
        auto embedding = instance.core.embed_tokens(std::move(tokens), check_signals);
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

std::uint64_t fork_count() noexcept { return forks.load(std::memory_order_relaxed); }

void watch_forks() {
    static const int registered = pthread_atfork(nullptr, nullptr, count_fork);
    if (registered != 0) throw InternalFailure("could not register a handler for fork()");
}

PyMethodDef static_embedding_methods[] = {
    {"embed_tokens", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(embed_tokens)),
     METH_FASTCALL | METH_KEYWORDS, embed_tokens_doc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace korvane::python
