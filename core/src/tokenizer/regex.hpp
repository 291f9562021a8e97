// A regular expression of tokenizer.json, matched by Oniguruma as tokenizers matches it: UTF-8,
// Oniguruma's default syntax. Matches are found left to right without overlaps. Patterns that
// can match the empty text are refused (tokenizers' handling of empty matches is not copied).
// The engine's Unicode tables are older than those of tokenizers' (unicode_tables.cpp): a stage
// defers a text holding a character they answer differently, unless the pattern compares code
// points only (`may_differ_on`).
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
    // tables lack or answer otherwise than tokenizers': a pattern's matches there may differ.
    [[nodiscard]] static bool holds_character_engines_differ_on(std::string_view text) noexcept;

    // True if `text` (valid UTF-8) holds a character the character table does not know (new in a
    // later Unicode version, perhaps, which tokenizers' engine knows).
    [[nodiscard]] static bool holds_character_unknown_to_the_table(std::string_view text) noexcept;

    // True if this pattern's matches in `text` (valid UTF-8) may differ from tokenizers': the
    // pattern asks for a character's properties and the text holds such a character, or one
    // the table does not know (whatever stage came before).
    [[nodiscard]] bool may_differ_on(std::string_view text) const noexcept {
        return uses_character_properties_ && (holds_character_engines_differ_on(text) ||
                                              holds_character_unknown_to_the_table(text));
    }

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
    bool uses_character_properties_ = true;
};

}  // namespace korvane::tokenizer
