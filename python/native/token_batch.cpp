#include "token_batch.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "../src/guard.hpp"
#include "../src/ref.hpp"

namespace korvane::python {

void add_error_note(const std::string& text) noexcept {
    Ref error = Ref::steal(PyErr_GetRaisedException());
    if (!error) return;
    Ref note =
        Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (!note || !Ref::steal(PyObject_CallMethod(error.get(), "add_note", "O", note.get()))) {
        PyErr_Clear();
    }
    PyErr_SetRaisedException(error.release());
}

namespace {

// The IDs a token may take: below the row count, and within the 32 bits of a token ID.
std::uint64_t token_limit(std::uint64_t vocab_size) noexcept {
    return std::min<std::uint64_t>(vocab_size, std::uint64_t{1} << 32);
}

// Where a batch's token IDs go: the sentence being read (named in errors), the table's row
// count, and the filter that decides which IDs count. An ID the filter drops is never checked
// against the table, as the native tokenizer's path never sees it.
struct Destination {
    const SentenceNames& names;
    std::size_t sentence;
    std::uint64_t vocab_size;
    const TokenFilter& filter;
    std::vector<std::uint32_t>& tokens;

    // The number of leading items of a sentence of `size` that count.
    [[nodiscard]] std::size_t counted(std::size_t size = SIZE_MAX) const noexcept {
        return filter.max_length ? std::min(size, *filter.max_length) : size;
    }
    // Whether `value` is the skipped token, left out before any check.
    template <typename Value>
    [[nodiscard]] bool skips(Value value) const noexcept {
        return filter.skipped_token && std::cmp_equal(value, *filter.skipped_token);
    }
};

[[noreturn]] void throw_out_of_range(const Destination& to, std::string_view token) {
    throw_python_error(PyExc_IndexError,
                       token_out_of_range_text(to.names(to.sentence), token, to.vocab_size));
}

// Adds "while processing <sentence name>" to the pending error.
void add_sentence_note(const Destination& to) noexcept {
    add_error_note("while processing " + to.names(to.sentence));
}

// One Python integer (or an object with __index__) as a token ID; none when the filter skips it.
std::optional<std::uint32_t> to_token_id(PyObject* item, const Destination& to) {
    long long value = 0;
    if (PyLong_CheckExact(item) &&
        PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(item))) {
        value = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(item));
    } else {
        // __index__ may run any code, even drop the item from its list: held meanwhile.
        const Ref held = Ref::borrow(item);
        int overflow = 0;
        value = PyLong_AsLongLongAndOverflow(held.get(), &overflow);
        if (value == -1 && PyErr_Occurred()) {
            add_sentence_note(to);
            throw ErrorAlreadySet{};
        }
        if (overflow != 0) {
            Ref index = require(PyNumber_Index(held.get()));
            Ref text = require(PyObject_Str(index.get()));
            const char* digits = PyUnicode_AsUTF8(text.get());
            if (digits == nullptr) throw ErrorAlreadySet{};
            throw_out_of_range(to, digits);
        }
    }
    if (to.skips(value)) return std::nullopt;
    if (value < 0 || static_cast<unsigned long long>(value) >= token_limit(to.vocab_size)) {
        throw_out_of_range(to, std::to_string(value));
    }
    return static_cast<std::uint32_t>(value);
}

// Reads an exact list or tuple the way its iterator would: the size is read again before each
// item, since an item's __index__ may shrink a list.
void append_items(PyObject* list_or_tuple, const Destination& to) {
    const std::uint64_t limit = token_limit(to.vocab_size);
    const std::size_t counted = to.counted();
    for (Py_ssize_t index = 0; index < PySequence_Fast_GET_SIZE(list_or_tuple) &&
                               static_cast<std::size_t>(index) < counted;
         ++index) {
        PyObject* item = PySequence_Fast_GET_ITEM(list_or_tuple, index);
        // The common case inline: a small exact int inside the table.
        if (PyLong_CheckExact(item) &&
            PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(item))) {
            const Py_ssize_t value =
                PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(item));
            if (value >= 0 && static_cast<std::uint64_t>(value) < limit && !to.skips(value)) {
                to.tokens.push_back(static_cast<std::uint32_t>(value));
                continue;
            }
        }
        if (const auto token = to_token_id(item, to)) to.tokens.push_back(*token);
    }
}

// The element type of a one-dimensional integer buffer in native byte order, named by its
// struct-module format; 0 when the format is anything else.
char integer_format(const Py_buffer& view) {
    std::string_view format = view.format == nullptr ? "B" : view.format;
    if (!format.empty() &&
        (format.front() == '@' || format.front() == '=' || format.front() == '<')) {
        format.remove_prefix(1);
    }
    if (format.size() != 1 || std::string_view("bBhHiIlLqQnN").find(format[0]) == format.npos) {
        return 0;
    }
    return format[0];
}

// Calls `visit` with the buffer's elements as a typed span.
template <typename Visit>
void visit_integers(const Py_buffer& view, char format, Visit&& visit) {
    const bool is_signed = format >= 'a' && format <= 'z';
    const auto count = static_cast<std::size_t>(view.len / view.itemsize);
    const auto visit_as = [&]<typename Element>(Element*) {
        visit(std::span<const Element>(static_cast<const Element*>(view.buf), count));
    };
    switch (view.itemsize) {
        case 1:
            return is_signed ? visit_as((std::int8_t*)nullptr) : visit_as((std::uint8_t*)nullptr);
        case 2:
            return is_signed ? visit_as((std::int16_t*)nullptr) : visit_as((std::uint16_t*)nullptr);
        case 4:
            return is_signed ? visit_as((std::int32_t*)nullptr) : visit_as((std::uint32_t*)nullptr);
        case 8:
            return is_signed ? visit_as((std::int64_t*)nullptr) : visit_as((std::uint64_t*)nullptr);
        default:
            throw_python_error(PyExc_TypeError, "unsupported integer width");
    }
}

// A buffer whose elements are integers, one-dimensional and contiguous; raises TypeError naming
// `what` otherwise. Returns its format character.
char require_integer_vector(const Py_buffer& view, const char* what) {
    const char format = integer_format(view);
    if (view.ndim != 1 || format == 0) {
        PyErr_Format(PyExc_TypeError,
                     "%s must be a one-dimensional array of integers, not format '%s' with %d "
                     "dimensions",
                     what, view.format == nullptr ? "B" : view.format, view.ndim);
        throw ErrorAlreadySet{};
    }
    return format;
}

template <typename Element>
bool is_negative(Element value) noexcept {
    if constexpr (std::is_signed_v<Element>) {
        return value < 0;
    } else {
        return false;
    }
}

template <typename Element>
void append_checked(std::span<const Element> values, const Destination& to) {
    const std::uint64_t limit = token_limit(to.vocab_size);
    for (const Element value : values.first(to.counted(values.size()))) {
        if (to.skips(value)) continue;
        if (is_negative(value) || static_cast<std::uint64_t>(value) >= limit) {
            throw_out_of_range(to, std::to_string(value));
        }
        to.tokens.push_back(static_cast<std::uint32_t>(value));
    }
}

void append_sentence(PyObject* sentence, const Destination& to) {
    const std::size_t index = to.sentence;
    if (PyList_CheckExact(sentence)) {
        // Keeps other threads of a free-threaded interpreter from changing the list under us.
        Py_BEGIN_CRITICAL_SECTION(sentence);
        append_items(sentence, to);
        Py_END_CRITICAL_SECTION();
        return;
    }
    if (PyTuple_CheckExact(sentence)) return append_items(sentence, to);
    if (PyUnicode_Check(sentence) ||
        !(PySequence_Check(sentence) || PyObject_CheckBuffer(sentence))) {
        PyErr_Format(PyExc_TypeError,
                     "sentence %zu must be a sequence of token IDs (ints), not '%T'", index,
                     sentence);
        throw ErrorAlreadySet{};
    }
    if (PyObject_CheckBuffer(sentence)) {
        Py_buffer view;
        // A buffer that is not contiguous (a strided slice of an array) is read item by item.
        if (PyObject_GetBuffer(sentence, &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) == 0) {
            const BufferView buffer(view);
            const char format = require_integer_vector(view, "a sentence given as a buffer");
            visit_integers(view, format, [&](auto values) { append_checked(values, to); });
            return;
        }
        PyErr_Clear();
    }
    const Ref items = require(PySequence_Tuple(sentence));
    append_items(items.get(), to);
}

}  // namespace

BufferView::BufferView(PyObject* object, int flags) {
    require(PyObject_GetBuffer(object, &view_, flags));
}

std::string SentenceNames::operator()(std::size_t sentence) const {
    if (!texts_) return "sentence " + std::to_string(sentence);
    return "texts[" + std::to_string(number(sentence)) + "]";
}

std::size_t SentenceNames::number(std::size_t sentence) const noexcept {
    if (!numbers_.empty()) return sentence < numbers_.size() ? numbers_[sentence] : sentence;
    return first_ + sentence;
}

SentenceNames SentenceNames::from(PyObject* numbering) {
    SentenceNames names;
    if (numbering == nullptr || numbering == Py_None) return names;
    names.texts_ = true;
    if (PyLong_Check(numbering)) {
        names.first_ = PyLong_AsSize_t(numbering);
        if (names.first_ == static_cast<std::size_t>(-1) && PyErr_Occurred()) {
            throw ErrorAlreadySet{};
        }
        return names;
    }
    const Ref items = require(PySequence_Fast(numbering, "numbering must be an int or a list"));
    for (Py_ssize_t index = 0; index < PySequence_Fast_GET_SIZE(items.get()); ++index) {
        const std::size_t number = PyLong_AsSize_t(PySequence_Fast_GET_ITEM(items.get(), index));
        if (number == static_cast<std::size_t>(-1) && PyErr_Occurred()) throw ErrorAlreadySet{};
        names.numbers_.push_back(number);
    }
    return names;
}

GatheredBatch gather_token_lists(PyObject* token_lists, std::uint64_t vocab_size,
                                 const TokenFilter& filter, const SentenceNames& names) {
    if (PyUnicode_Check(token_lists) || !PySequence_Check(token_lists)) {
        PyErr_Format(PyExc_TypeError,
                     "token_lists must be a sequence of sequences of token IDs, not '%T'",
                     token_lists);
        throw ErrorAlreadySet{};
    }
    // A tuple of the sentences as they are now: later changes to the outer list cannot reach it.
    const Ref sentences = require(PySequence_Tuple(token_lists));
    const Py_ssize_t count = PyTuple_GET_SIZE(sentences.get());
    GatheredBatch batch;
    batch.offsets.reserve(static_cast<std::size_t>(count) + 1);
    batch.offsets.push_back(0);
    for (Py_ssize_t index = 0; index < count; ++index) {
        const Destination to{names, static_cast<std::size_t>(index), vocab_size, filter,
                             batch.tokens};
        append_sentence(PyTuple_GET_ITEM(sentences.get(), index), to);
        batch.offsets.push_back(batch.tokens.size());
    }
    return batch;
}

GatheredBatch gather_flat_tokens(PyObject* tokens, PyObject* offsets, std::uint64_t vocab_size) {
    const BufferView token_buffer(tokens, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT);
    const char token_format = require_integer_vector(token_buffer.get(), "tokens");
    const BufferView offset_buffer(offsets, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT);
    const char offset_format = require_integer_vector(offset_buffer.get(), "offsets");
    const auto token_count =
        static_cast<std::uint64_t>(token_buffer.get().len / token_buffer.get().itemsize);

    GatheredBatch batch;
    std::vector<std::uint64_t> boundaries;
    visit_integers(offset_buffer.get(), offset_format, [&](auto values) {
        if (values.empty()) {
            throw_python_error(PyExc_ValueError,
                               "offsets must hold N + 1 boundaries for N sentences, not 0");
        }
        boundaries.reserve(values.size());
        for (std::size_t index = 0; index < values.size(); ++index) {
            const auto value = values[index];
            const bool fits =
                !is_negative(value) && static_cast<std::uint64_t>(value) <= token_count;
            if (!fits || (index > 0 && static_cast<std::uint64_t>(value) < boundaries.back())) {
                throw_python_error(
                    PyExc_ValueError,
                    "offsets must be non-decreasing and between 0 and the number of tokens (" +
                        std::to_string(token_count) + "); offsets[" + std::to_string(index) +
                        "] is " + std::to_string(value));
            }
            boundaries.push_back(static_cast<std::uint64_t>(value));
        }
    });
    const std::uint64_t first = boundaries.front();
    batch.offsets.reserve(boundaries.size());
    batch.tokens.reserve(static_cast<std::size_t>(boundaries.back() - first));
    const SentenceNames names;
    const TokenFilter all;
    visit_integers(token_buffer.get(), token_format, [&](auto values) {
        batch.offsets.push_back(0);
        for (std::size_t sentence = 0; sentence + 1 < boundaries.size(); ++sentence) {
            append_checked(values.subspan(boundaries[sentence],
                                          boundaries[sentence + 1] - boundaries[sentence]),
                           Destination{names, sentence, vocab_size, all, batch.tokens});
            batch.offsets.push_back(boundaries[sentence + 1] - first);
        }
    });
    return batch;
}

}  // namespace korvane::python
