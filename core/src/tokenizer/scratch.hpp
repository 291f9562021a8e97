// What one thread reuses from text to text while it tokenizes: nothing is allocated per character
// or per text once these have grown. Each stage takes the thread's Scratch as an argument; the
// tokenizer owns one per thread (Tokenizer::tokenize) and the reader of tokenizer.json one of its
// own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "korvane/util/cancellation.hpp"
#include "tokenizer/added_tokens.hpp"

namespace korvane::tokenizer {

// Long texts check for cancellation every this many bytes.
inline constexpr std::size_t cancellation_interval = 64 * 1024;

struct Scratch {
    std::string normalized;
    std::vector<std::pair<std::uint32_t, char32_t>> marks;  // combining class, code point
    std::u32string code_points;  // a text being normalized to a Unicode form
    std::vector<AddedTokens::Match> raw_matches;
    std::vector<AddedTokens::Match> normalized_matches;
    std::vector<const AddedToken*> found_tokens;
    std::string pre_tokenized;      // a pre-tokenizer's word being built
    std::string sequence_steps[2];  // a normalizer sequence's steps between them
    bool first_segment = false;     // the pre-tokenizer's text starts the text
    std::string prefixed;           // a segment with the ByteLevel pre-tokenizer's prefix space
    std::string byte_word;          // a word in the byte-level alphabet
    const Cancellation* cancellation = nullptr;  // of the text being tokenized
    bool cancelled = false;
    bool deferred = false;  // a pre-tokenizer met a character it cannot answer for

    // Starts a text tokenized under `text_cancellation` (none: never cancelled).
    void start(const Cancellation* text_cancellation) noexcept {
        cancellation = text_cancellation;
        cancelled = false;
        deferred = false;
        first_segment = true;
    }

    // True once the current text's cancellation is requested; remembered in `cancelled`.
    bool stop_requested() noexcept {
        if (cancellation != nullptr && cancellation->requested()) cancelled = true;
        return cancelled;
    }
};

}  // namespace korvane::tokenizer
