// Pre-tokenizers that split by characters' classes in the character table: WhitespaceSplit
// (words between white space), Whitespace (runs of word characters, \w, and runs of characters
// that are neither word characters nor white space) and Punctuation (each punctuation character,
// kept by its `behavior`), and Split by a string or a regular expression (deferring a text that
// holds a character the engines answer differently).
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "json/json.hpp"
#include "tokenizer/pre_tokenizers/split_patterns.hpp"
#include "tokenizer/regex.hpp"
#include "tokenizer/scratch.hpp"
#include "tokenizer/unicode_flags.hpp"
#include "util/utf8.hpp"

namespace korvane::tokenizer {

// The table's flags of the character at `position` of `text`, and its length in bytes. A
// character the table does not know (of another class, perhaps, to tokenizers) defers the text.
inline std::uint32_t flags_at(std::string_view text, std::size_t position, std::size_t& length,
                              Scratch& scratch) {
    const auto byte = static_cast<unsigned char>(text[position]);
    if (byte < 0x80) {
        length = 1;
        return unicode::properties(byte);
    }
    length = utf8::character_length(byte);
    const std::uint32_t flags = unicode::properties(utf8::decode_at(text, position));
    if ((flags & unicode::unknown) != 0) scratch.deferred = true;
    return flags;
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
        const int kind = class_of(flags_at(text, position, length, scratch));
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

// Calls `word` for the words of a text given as segments, each a piece to split on (a match) or
// not, by `behavior`: `for_each_segment(on_segment)` calls on_segment(start, end, is_match) for
// consecutive segments covering the text. Runs of segments are merged only by Contiguous (those
// of one kind) and by MergedWithPrevious and MergedWithNext (a match with the segment that is not
// one before or after it).
template <typename ForEachSegment, typename OnWord>
void split_by(std::string_view text, SplitBehavior behavior, ForEachSegment&& for_each_segment,
              OnWord& word) {
    bool pending = false;  // a segment waits: [pending_start, pending_end), of kind pending_match
    std::size_t pending_start = 0;
    std::size_t pending_end = 0;
    bool pending_match = false;
    const auto emit = [&](std::size_t start, std::size_t end) {
        if (end > start) word(text.substr(start, end - start));
    };
    const auto hold = [&](std::size_t start, std::size_t end, bool is_match) {
        if (pending) emit(pending_start, pending_end);
        pending = true;
        pending_start = start;
        pending_end = end;
        pending_match = is_match;
    };
    for_each_segment([&](std::size_t start, std::size_t end, bool is_match) {
        if (end <= start) return;
        switch (behavior) {
            case SplitBehavior::removed:
                if (!is_match) emit(start, end);
                break;
            case SplitBehavior::isolated:
                emit(start, end);
                break;
            case SplitBehavior::merged_with_previous:
                if (!is_match) {
                    hold(start, end, false);
                } else if (pending) {
                    emit(pending_start, end);
                    pending = false;
                } else {
                    emit(start, end);
                }
                break;
            case SplitBehavior::merged_with_next:
                if (is_match) {
                    hold(start, end, true);
                } else if (pending) {
                    emit(pending_start, end);
                    pending = false;
                } else {
                    emit(start, end);
                }
                break;
            case SplitBehavior::contiguous:
                if (pending && pending_match == is_match)
                    pending_end = end;
                else
                    hold(start, end, is_match);
                break;
        }
    });
    if (pending) emit(pending_start, pending_end);
}

class Punctuation {
public:
    [[nodiscard]] static std::expected<Punctuation, std::string> from_json(
        const json::Object& part);

    template <typename OnWord>
    void split(std::string_view text, Scratch& scratch, OnWord&& word) const {
        split_by(
            text, behavior_,
            [&](auto&& on_segment) {
                std::size_t done = 0;
                for (std::size_t position = 0; position < text.size();) {
                    std::size_t length = 0;
                    if ((flags_at(text, position, length, scratch) & unicode::punctuation) != 0) {
                        on_segment(done, position, false);
                        on_segment(position, position + length, true);
                        done = position + length;
                    }
                    position += length;
                }
                on_segment(done, text.size(), false);
            },
            word);
    }

private:
    SplitBehavior behavior_ = SplitBehavior::isolated;
};

// Digits: runs of numeric characters (Nd, Nl, No), or each one alone with `individual_digits`,
// and the runs of other characters between them. A character unassigned in the table's version
// (numeric, perhaps, to tokenizers) defers the text.
class Digits {
public:
    [[nodiscard]] static std::expected<Digits, std::string> from_json(const json::Object& part);

    template <typename OnWord>
    void split(std::string_view text, Scratch& scratch, OnWord&& word) const {
        std::size_t start = 0;
        bool numeric_run = false;
        for (std::size_t position = 0; position < text.size();) {
            std::size_t length = 0;
            const std::uint32_t flags = flags_at(text, position, length, scratch);
            const bool numeric = (flags & unicode::number) != 0;
            if (numeric != numeric_run || (numeric && individual_)) {
                if (position > start) word(text.substr(start, position - start));
                start = position;
                numeric_run = numeric;
            }
            position += length;
        }
        if (text.size() > start) word(text.substr(start));
    }

private:
    bool individual_ = false;
};

class SplitPattern {
public:
    // Reads a Split of a string or a regular expression.
    [[nodiscard]] static std::expected<SplitPattern, std::string> from_json(
        const json::Object& part);

    template <typename OnWord>
    void split(std::string_view text, Scratch& scratch, OnWord&& word) const {
        if (regex_ && regex_->may_differ_on(text)) {
            scratch.deferred = true;
            return;
        }
        // False where the hand-written matcher meets a character the table does not know, or the
        // engine fails (at its backtracking limit, say), as tokenizers then does.
        bool answered = true;
        bool stopped = false;
        split_by(
            text, behavior_,
            [&](auto&& on_segment) {
                // The pattern's occurrences, left to right without overlaps, and the text
                // between them; `invert` takes the latter as the matches. Once the text's
                // cancellation is requested, the rest is left.
                std::size_t done = 0;
                std::size_t next_check = cancellation_interval;
                const auto occurrence = [&](std::size_t found, std::size_t end) {
                    if (stopped) return;
                    if (end >= next_check) {
                        if (scratch.stop_requested()) {
                            stopped = true;
                            return;
                        }
                        next_check = end + cancellation_interval;
                    }
                    on_segment(done, found, invert_);
                    on_segment(found, end, !invert_);
                    done = end;
                };
                if (llama3_) {
                    answered = llama3_->for_each_match(text, occurrence);
                } else if (regex_) {
                    answered = regex_->for_each_match(text, occurrence);
                } else {
                    for (std::size_t found = text.find(pattern_);
                         found != std::string_view::npos && !stopped;
                         found = text.find(pattern_, done))
                        occurrence(found, found + pattern_.size());
                }
                if (!stopped) on_segment(done, text.size(), invert_);
            },
            word);
        if (!answered) scratch.deferred = true;
    }

private:
    std::string pattern_;
    std::optional<Regex> regex_;           // instead of the string
    std::optional<Llama3Pattern> llama3_;  // instead of either, for that regular expression
    SplitBehavior behavior_ = SplitBehavior::isolated;
    bool invert_ = false;
};

}  // namespace korvane::tokenizer
