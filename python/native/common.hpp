// What the types and functions of korvane._native share: the guard at each entry point, calls
// bound by parameter name, work detached from the interpreter, and the conversions of arguments.
//
// Why a hand-written C API rather than a binding library: no new dependency for the build or the
// free-threaded build, the same guard, Ref and argument binding as korvane_py (python/src), and
// no per-call cost of the library's dispatch, which small batches would feel.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "../src/arguments.hpp"
#include "../src/conversions.hpp"
#include "../src/guard.hpp"
#include "../src/ref.hpp"
#include "korvane/errors.hpp"
#include "korvane/format/embedding_table.hpp"
#include "korvane/tokenizer/tokenizer.hpp"
#include "korvane/util/cancellation.hpp"
#include "token_batch.hpp"

namespace korvane::python {

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

// A parameter of a method of the module, which needs only its name and whether it may be left
// out (None); korvane_py's records carry type hints and docstrings too.
constexpr stub::ParameterEntry required(const char* name) {
    return {name, {}};
}
constexpr stub::ParameterEntry optional(const char* name) {
    return {name, {}, "None"};
}
// A method's record: the one place of its name, parameters and summary. Its __doc__ (with the
// text signature inspect reads) is made from it; python/korvane/_native.pyi states the same
// names, which test_native_signatures checks.
constexpr stub::MethodEntry method(const char* name,
                                   std::span<const stub::ParameterEntry> parameters,
                                   std::string_view summary) {
    return {name, parameters, {}, summary, stub::MethodKind::Instance};
}

// "name($self, a, b=None)\n--\n\n<summary>": a method's __doc__ from its record.
[[nodiscard]] std::string method_doc(const stub::MethodEntry& record);

// The arguments of one call, bound to the parameters of `record` and read by name:
// `arguments["texts"]` is the argument given for `texts`, or null when it was left out. The name
// is looked up as the program is compiled, so a name the record lacks does not build.
template <const stub::MethodEntry& record, const char* class_name>
class BoundArguments {
public:
    BoundArguments(PyObject* const* args, Py_ssize_t positional_count, PyObject* kwnames) {
        bind_arguments(signature, args, positional_count, kwnames, values_);
    }
    BoundArguments(PyObject* args, PyObject* kwargs) {
        bind_arguments(signature, args, kwargs, values_);
    }

    struct Name {
        std::size_t index;
        consteval Name(const char* name) : index(find(name)) {}  // NOLINT: implicit on purpose
    };
    [[nodiscard]] PyObject* operator[](Name name) const noexcept { return values_[name.index]; }

private:
    static constexpr Signature signature{class_name, record};
    static constexpr std::size_t count = record.parameters.size();

    static consteval std::size_t find(std::string_view name) {
        for (std::size_t index = 0; index < count; ++index)
            if (std::string_view(record.parameters[index].name) == name) return index;
        throw std::logic_error("no parameter of that name");
    }

    PyObject* values_[count];
};

// Runs `work(cancellation)` detached from the interpreter. Long work runs on a thread of its
// own while the calling thread wakes every 20 ms to run the interpreter's signal handlers; when
// one raises (Ctrl-C: KeyboardInterrupt), the work is asked to stop and, once it has, the error
// propagates. Short work, or work that cannot get a thread, runs on the calling thread.
void run_interruptible(bool long_work, const std::function<void(const Cancellation&)>& work);

// Texts of at least this many bytes in all are tokenized off the calling thread, which keeps
// answering Ctrl-C (tokenizing them takes milliseconds or more).
constexpr std::size_t interruptible_bytes = 64 * 1024;

// The UTF-8 of each str of `texts` (a list), kept valid by `held` while the interpreter is
// released, whatever other threads do to the list; TypeError naming the first item not a str by
// its number in `names` and its type's __name__.
[[nodiscard]] std::vector<std::string_view> utf8_texts(PyObject* texts, std::vector<Ref>& held,
                                                       const SentenceNames& names = {});

// A str or os.PathLike as a filesystem path, encoded as the interpreter encodes file names.
[[nodiscard]] std::filesystem::path to_path(PyObject* value);

[[noreturn]] void throw_load_error(const LoadError& error);

// A positive thread count (at most 1024).
[[nodiscard]] unsigned to_thread_count(PyObject* value);

// The filter of a call's `max_length` and `skipped_token` arguments (None or absent: unset).
[[nodiscard]] TokenFilter to_token_filter(PyObject* max_length, PyObject* skipped_token);

// `view` as the float32 rows of `sentences` embeddings: a writable C-contiguous buffer of
// sentences x D floats, else ValueError.
[[nodiscard]] std::span<float> float_rows(const Py_buffer& view, std::size_t sentences,
                                          std::size_t dimension);

// The exception of a batch's failure, naming its sentence by `names`: IndexError for a token
// outside the table, OverflowError for an embedding beyond single precision.
[[nodiscard]] Ref failure_exception(const BatchFailure& failure, const SentenceNames& names);

}  // namespace korvane::python
