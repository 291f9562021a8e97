// The StripAccents normalizer: removes every mark (Mn, Mc and Me in Unicode 9.0, as the
// `tokenizers` package does), spacing marks such as U+093F too. It decomposes nothing.
#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "json/json.hpp"
#include "tokenizer/scratch.hpp"

namespace korvane::tokenizer {

class StripAccents {
public:
    [[nodiscard]] static std::expected<StripAccents, std::string> from_json(const json::Object&) {
        return StripAccents{};
    }

    // Appends `text` (valid UTF-8) without its marks to `out`; never fails.
    bool normalize(std::string_view text, std::string& out, Scratch& scratch) const;
};

}  // namespace korvane::tokenizer
