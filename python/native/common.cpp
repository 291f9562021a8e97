#include "common.hpp"

#include <chrono>
#include <exception>
#include <future>
#include <system_error>
#include <variant>

#include "korvane/util/joining_thread.hpp"

namespace korvane::python {

std::vector<std::string_view> utf8_texts(PyObject* texts, std::vector<Ref>& held,
                                         const SentenceNames& names) {
    const Ref items = require(PySequence_Fast(texts, "texts must be a list of str"));
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
    std::vector<std::string_view> views;
    held.reserve(static_cast<std::size_t>(count));
    views.reserve(static_cast<std::size_t>(count));
    const auto name = [&](Py_ssize_t index) {
        return "texts[" + std::to_string(names.number(static_cast<std::size_t>(index))) + "]";
    };
    for (Py_ssize_t index = 0; index < count; ++index) {
        PyObject* item = PySequence_Fast_GET_ITEM(items.get(), index);
        if (!PyUnicode_Check(item)) {
            // The type's __name__, as Python code names it (tp_name may hold its module).
            const Ref type_name = require(PyType_GetName(Py_TYPE(item)));
            const char* type_text = PyUnicode_AsUTF8(type_name.get());
            if (type_text == nullptr) throw ErrorAlreadySet{};
            throw_python_error(PyExc_TypeError, name(index) + " is " + type_text + ", not str");
        }
        held.push_back(Ref::borrow(item));
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(item, &size);
        if (utf8 == nullptr) {
            add_error_note("while reading " + name(index));
            throw ErrorAlreadySet{};
        }
        views.emplace_back(utf8, static_cast<std::size_t>(size));
    }
    return views;
}

std::string method_doc(const stub::MethodEntry& record) {
    std::string doc = record.name;
    doc += "($self";
    for (const stub::ParameterEntry& parameter : record.parameters) {
        doc.append(", ").append(parameter.name);
        if (parameter.default_value != nullptr) doc.append("=").append(parameter.default_value);
    }
    doc += ")\n--\n\n";
    doc += record.docstring;
    return doc;
}

void run_interruptible(bool long_work, const std::function<void(const Cancellation&)>& work) {
    Cancellation cancellation;
    std::promise<void> finished;
    std::future<void> outcome = finished.get_future();
    JoiningThread worker;
    if (long_work) {
        try {
            worker = JoiningThread([&] {
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

std::filesystem::path to_path(PyObject* value) {
    PyObject* encoded = nullptr;
    if (PyUnicode_FSConverter(value, &encoded) == 0) throw ErrorAlreadySet{};
    const Ref bytes = Ref::steal(encoded);
    return std::filesystem::path(PyBytes_AS_STRING(bytes.get()));
}

void throw_load_error(const LoadError& error) {
    throw_python_error(PyExc_ValueError, error.display());
}

unsigned to_thread_count(PyObject* value) {
    const long count = PyLong_AsLong(value);
    if (count == -1 && PyErr_Occurred()) throw ErrorAlreadySet{};
    if (count < 1) throw_python_error(PyExc_ValueError, "threads must be at least 1");
    return static_cast<unsigned>(std::min<long>(count, 1024));
}

namespace {

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

}  // namespace

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

}  // namespace korvane::python
