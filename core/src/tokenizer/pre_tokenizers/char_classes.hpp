// Pre-tokenizers that split by characters' classes in the character table: WhitespaceSplit
// (words between white space), Whitespace (runs of word characters, \w, and runs of characters
// that are neither word characters nor white space) and Punctuation (each punctuation character,
// kept by its `behavior`).
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "json/json.hpp"
#include "tokenizer/scratch.hpp"
#include "tokenizer/unicode_flags.hpp"
#include "util/utf8.hpp"

namespace korvane::tokenizer {

// The table's flags of the character at `position` of `text`, and its length in bytes.
inline std::uint32_t flags_at(std::string_view text, std::size_t position, std::size_t& length) {
    const auto byte = static_cast<unsigned char>(text[position]);
    if (byte < 0x80) {
        length = 1;
        return unicode::properties(byte);
    }
    length = utf8::character_length(byte);
    return unicode::properties(utf8::decode_at(text, position));
}

// Calls `word` for each maximal run of characters of the same class, `class_of(flags)`, skipping
// those of class 0.
template <typename ClassOf, typename OnWord>
void split_runs(std::string_view text, Scratch& scratch, ClassOf class_of, OnWord& word) {
    std::size_t start = 0;
    int current = 0;
    std::size_t next_check = cancellation_interval;
    for (std::size_t position = 0; position < text.size();) {
        if (position >= next_check) {
            if (scratch.stop_requested()) return;
            next_check = position + cancellation_interval;
        }
        std::size_t length = 0;
        const int kind = class_of(flags_at(text, position, length));
        if (kind != current) {
            if (current != 0) word(text.substr(start, position - start));
            start = position;
            current = kind;
        }
        position += length;
    }
    if (current != 0) word(text.substr(start));
}

struct WhitespaceSplit {
    [[nodiscard]] static std::expected<WhitespaceSplit, std::string> from_json(
        const json::Object&) {
        return WhitespaceSplit{};
    }

    template <typename OnWord>
    void split(std::string_view text, Scratch& scratch, OnWord&& word) const {
        split_runs(
            text, scratch,
            [](std::uint32_t flags) { return (flags & unicode::whitespace) != 0 ? 0 : 1; }, word);
    }
};

struct Whitespace {
    [[nodiscard]] static std::expected<Whitespace, std::string> from_json(const json::Object&) {
        return Whitespace{};
    }

    template <typename OnWord>
    void split(std::string_view text, Scratch& scratch, OnWord&& word) const {
        split_runs(
            text, scratch,
            [](std::uint32_t flags) {
                if ((flags & unicode::word) != 0) return 1;
                return (flags & unicode::whitespace) != 0 ? 0 : 2;
            },
            word);
    }
};

// What a splitting pre-tokenizer does with the pieces it splits on.
enum class SplitBehavior { removed, isolated, merged_with_previous, merged_with_next, contiguous };

// Reads "behavior" of `part`.
[[nodiscard]] std::expected<SplitBehavior, std::string> read_behavior(const json::Object& part);

// Calls `word` for the words of `text` given its pieces to split on, each [start, end) in order,
// by `behavior`: `for_each_match(on_match)` calls on_match(start, end) for each.
template <typename ForEachMatch, typename OnWord>
void split_by(std::string_view text, SplitBehavior behavior, ForEachMatch&& for_each_match,
              OnWord& word) {
    std::size_t done = 0;     // the end of what was emitted or dropped
    std::size_t pending = 0;  // MergedWithNext: the start of the matches waiting for the next
    bool in_run = false;      // Contiguous: the last match ended at `done`, not yet emitted
    std::size_t run_start = 0;
    const auto emit = [&](std::size_t start, std::size_t end) {
        if (end > start) word(text.substr(start, end - start));
    };
    for_each_match([&](std::size_t start, std::size_t end) {
        switch (behavior) {
            case SplitBehavior::removed:
                emit(done, start);
                break;
            case SplitBehavior::isolated:
                emit(done, start);
                emit(start, end);
                break;
            case SplitBehavior::merged_with_previous:
                emit(done, end);
                break;
            case SplitBehavior::merged_with_next:
                emit(pending, start);
                pending = start;
                break;
            case SplitBehavior::contiguous:
                if (in_run && start == done) break;  // the run goes on
                if (in_run) emit(run_start, done);
                emit(done, start);
                in_run = true;
                run_start = start;
                break;
        }
        done = end;
    });
    switch (behavior) {
        case SplitBehavior::merged_with_next:
            emit(pending, text.size());
            break;
        case SplitBehavior::contiguous:
            if (in_run) emit(run_start, done);
            emit(done, text.size());
            break;
        default:
            emit(done, text.size());
    }
}

class Punctuation {
public:
    [[nodiscard]] static std::expected<Punctuation, std::string> from_json(
        const json::Object& part);

    template <typename OnWord>
    void split(std::string_view text, Scratch&, OnWord&& word) const {
        split_by(
            text, behavior_,
            [&](auto&& on_match) {
                for (std::size_t position = 0; position < text.size();) {
                    std::size_t length = 0;
                    if ((flags_at(text, position, length) & unicode::punctuation) != 0)
                        on_match(position, position + length);
                    position += length;
                }
            },
            word);
    }

private:
    SplitBehavior behavior_ = SplitBehavior::isolated;
};

}  // namespace korvane::tokenizer
