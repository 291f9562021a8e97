// Hand-written matchers for the regular expressions of well-known Split pre-tokenizers, which the
// regular expression engine runs many times slower: that of Llama 3, and that of Qwen 2, which
// differs in taking digits one at a time rather than up to three.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "tokenizer/pre_tokenizers/byte_level.hpp"

namespace korvane::tokenizer {

// (?i:'s|'t|'re|'ve|'m|'ll|'d)|[^\r\n\p{L}\p{N}]?\p{L}+|\p{N}{1,3}| ?[^\s\p{L}\p{N}]+[\r\n]*|
// \s*[\r\n]+|\s+(?!\S)|\s+ with {1,3} or none after \p{N}: the first alternative that matches at
// each place, as the engine takes them, with the character classes of the GPT-2 pattern.
class Llama3Pattern {
public:
    // The matcher of `regex`, if it is one of the patterns.
    [[nodiscard]] static std::optional<Llama3Pattern> of(std::string_view regex) noexcept {
        constexpr std::string_view contractions = "(?i:'s|'t|'re|'ve|'m|'ll|'d)|";
        constexpr std::string_view letters = R"([^\r\n\p{L}\p{N}]?\p{L}+|)";
        constexpr std::string_view rest = R"(| ?[^\s\p{L}\p{N}]+[\r\n]*|\s*[\r\n]+|\s+(?!\S)|\s+)";
        if (!regex.starts_with(contractions)) return std::nullopt;
        regex.remove_prefix(contractions.size());
        if (!regex.starts_with(letters) || !regex.ends_with(rest)) return std::nullopt;
        const std::string_view numbers =
            regex.substr(letters.size(), regex.size() - letters.size() - rest.size());
        if (numbers == R"(\p{N}{1,3})") return Llama3Pattern(3);
        if (numbers == R"(\p{N})") return Llama3Pattern(1);
        return std::nullopt;
    }

    // Calls `match(start, end)` for each match of `text` (valid UTF-8), in order: the matches
    // cover the text. False when a character is unknown to the character table (of another
    // class, perhaps, to tokenizers' engine).
    template <typename OnMatch>
    [[nodiscard]] bool for_each_match(std::string_view text, OnMatch&& match) const {
        Scan scan{text};
        std::size_t position = 0;
        while (position < text.size()) {
            const std::size_t start = position;
            position = match_end(scan, start);
            match(start, position);
        }
        return !scan.unknown;
    }

private:
    using Class = Gpt2Splitter::Class;

    // A text being matched, and whether a character of it is unknown to the table.
    struct Scan {
        std::string_view text;
        bool unknown = false;

        [[nodiscard]] Class class_at(std::size_t at, std::size_t& length) noexcept {
            return Gpt2Splitter::class_at(text, at, length, unknown);
        }
        [[nodiscard]] bool is_newline(std::size_t at) const noexcept {
            return text[at] == '\r' || text[at] == '\n';
        }
        // The end of the run of characters of class `run` from `position`.
        [[nodiscard]] std::size_t run_end(std::size_t position, Class run) noexcept {
            std::size_t length = 0;
            while (position < text.size() && class_at(position, length) == run) position += length;
            return position;
        }
    };

    explicit Llama3Pattern(std::size_t digits) noexcept : digits_(digits) {}

    // Where the match that starts at `start` ends.
    [[nodiscard]] std::size_t match_end(Scan& scan, std::size_t start) const noexcept {
        const std::string_view text = scan.text;
        if (text[start] == '\'') {
            if (const std::size_t length = Gpt2Splitter::contraction(text.substr(start + 1), true))
                return start + 1 + length;
        }
        std::size_t length = 0;
        const Class first = scan.class_at(start, length);
        const std::size_t next = start + length;
        // [^\r\n\p{L}\p{N}]?\p{L}+
        if (first == Class::letter) return scan.run_end(next, Class::letter);
        std::size_t next_length = 0;
        const Class second =
            next < text.size() ? scan.class_at(next, next_length) : Class::space;  // none: not used
        if (first != Class::number && !scan.is_newline(start) && next < text.size() &&
            second == Class::letter)
            return scan.run_end(next + next_length, Class::letter);
        // \p{N}{1,3}, or \p{N}
        if (first == Class::number) {
            std::size_t end = next;
            for (std::size_t digits = 1; digits < digits_ && end < text.size(); ++digits) {
                if (scan.class_at(end, length) != Class::number) break;
                end += length;
            }
            return end;
        }
        //  ?[^\s\p{L}\p{N}]+[\r\n]*
        std::size_t others = text.size();  // where the run of other characters starts
        if (first == Class::other) {
            others = start;
        } else if (text[start] == ' ' && next < text.size() && second == Class::other) {
            others = next;
        }
        if (others != text.size()) {
            std::size_t end = scan.run_end(others, Class::other);
            while (end < text.size() && scan.is_newline(end)) ++end;
            return end;
        }
        // White space: up to its last line break (\s*[\r\n]+); else all of a run that ends the
        // text or is one character (\s+), or all but its last character (\s+(?!\S)).
        std::size_t end = start;
        std::size_t last = start;
        std::size_t after_line_break = start;
        std::size_t characters = 0;
        while (end < text.size() && scan.class_at(end, length) == Class::space) {
            last = end;
            if (scan.is_newline(end)) after_line_break = end + 1;
            end += length;
            ++characters;
        }
        if (after_line_break != start) return after_line_break;
        if (end < text.size() && characters > 1) return last;
        return end;
    }

    std::size_t digits_;  // numbers at most in a match
};

}  // namespace korvane::tokenizer
