// A regular expression of tokenizer.json, matched by Oniguruma as tokenizers matches it: UTF-8,
// Oniguruma's default syntax. Matches are found left to right without overlaps. Patterns that
// can match the empty text are refused (tokenizers' handling of empty matches is not copied).
// The engine's Unicode tables are older than those of tokenizers' (unicode_tables.cpp): a stage
// defers a text holding a character they lack (`holds_character_unknown_to_engine`).
#pragma once

#include <cstddef>
#include <expected>
#include <memory>
#include <string>
#include <string_view>

namespace korvane::tokenizer {

class Regex {
public:
    [[nodiscard]] static std::expected<Regex, std::string> compile(std::string_view pattern);

    // True if `text` (valid UTF-8) holds a character the character table knows and the engine's
    // tables do not: a pattern's matches there may differ from tokenizers'.
    [[nodiscard]] static bool holds_character_unknown_to_engine(std::string_view text) noexcept;

    // Calls `on_match(start, end)` for each match in `text`; false if Oniguruma fails.
    template <typename OnMatch>
    bool for_each_match(std::string_view text, OnMatch&& on_match) const {
        std::size_t position = 0;
        while (position < text.size()) {
            std::size_t start = 0;
            std::size_t end = 0;
            const int found = search(text, position, start, end);
            if (found < 0) return found == no_match;
            on_match(start, end);
            position = end;
        }
        return true;
    }

private:
    static constexpr int no_match = -1;  // ONIG_MISMATCH
    struct Compiled;
    // The first match at or after `from`: 0 with [start, end), or Oniguruma's negative result.
    int search(std::string_view text, std::size_t from, std::size_t& start, std::size_t& end) const;

    std::shared_ptr<const Compiled> compiled_;
};

}  // namespace korvane::tokenizer
