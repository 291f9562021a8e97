// The Replace normalizer with a string or a regular expression (its matches, taken as
// occurrences; the content is literal): each occurrence of the pattern, left to right and
// without overlaps, becomes the content; an empty pattern occurs before each character and at the
// end of a text that is not empty.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "json/json.hpp"
#include "tokenizer/regex.hpp"
#include "tokenizer/scratch.hpp"

namespace korvane::tokenizer {

class Replace {
public:
    [[nodiscard]] static std::expected<Replace, std::string> from_json(const json::Object& part);

    // Appends `text` (valid UTF-8) with the replacements to `out`; false if the text is deferred
    // (a character the engines answer differently) or Oniguruma fails.
    bool normalize(std::string_view text, std::string& out, Scratch& scratch) const;

private:
    std::string pattern_;
    std::optional<Regex> regex_;  // instead of the string
    std::string content_;
};

}  // namespace korvane::tokenizer
