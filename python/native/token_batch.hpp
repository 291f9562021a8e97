// Gathering the token IDs of a batch out of Python objects, in one pass while attached to the
// interpreter, into memory of our own that the detached computation can read safely.
//
// Rules of use:
//  1. Every ID that counts is checked against the table's row count while it is read: one outside
//     it raises IndexError naming the sentence, the ID and vocab_size, before anything is
//     computed. With a TokenFilter, the IDs it drops (past max_length, or the skipped token) are
//     never checked, exactly as the native tokenizer's path never sees them.
//  2. Nothing of the gathered batch refers to Python memory, so it stays valid whatever other
//     threads do to the input once the interpreter is released.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "korvane/format/embedding_table.hpp"
#include "korvane/tokenizer/tokenizer.hpp"

namespace korvane::python {

struct GatheredBatch {
    std::vector<std::uint32_t> tokens;
    std::vector<std::uint64_t> offsets;  // N + 1 boundaries, the first 0

    [[nodiscard]] TokenBatch view() const noexcept { return {tokens, offsets}; }
};

// Adds `text` as a note to the pending Python error (none: nothing happens).
void add_error_note(const std::string& text) noexcept;

// How errors name the sentences of a batch: "sentence <i>" by default; given a numbering,
// "texts[<n>]", n being the text's position in the caller's whole input.
class SentenceNames {
public:
    // None or absent: the default; an int: the number of the batch's first text, the others
    // following; a sequence of ints: each sentence's number.
    static SentenceNames from(PyObject* numbering);

    [[nodiscard]] std::string operator()(std::size_t sentence) const;
    [[nodiscard]] std::size_t number(std::size_t sentence) const noexcept;

private:
    bool texts_ = false;
    std::size_t first_ = 0;
    std::vector<std::size_t> numbers_;
};

// A sequence of sentences, each a sequence of ints or a one-dimensional buffer of integers (a
// numpy array). Only the IDs that `filter` keeps are gathered and checked.
GatheredBatch gather_token_lists(PyObject* token_lists, std::uint64_t vocab_size,
                                 const TokenFilter& filter = {}, const SentenceNames& names = {});

// One-dimensional integer buffers: all sentences' IDs back to back, and N + 1 boundaries.
GatheredBatch gather_flat_tokens(PyObject* tokens, PyObject* offsets, std::uint64_t vocab_size);

// A held buffer, released on every path out (while attached).
class BufferView {
public:
    // Raises when `object` does not export a buffer with `flags`.
    BufferView(PyObject* object, int flags);
    // Takes over a buffer already obtained.
    explicit BufferView(const Py_buffer& view) noexcept : view_(view) {}
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() { PyBuffer_Release(&view_); }

    [[nodiscard]] const Py_buffer& get() const noexcept { return view_; }

private:
    Py_buffer view_{};
};

}  // namespace korvane::python
