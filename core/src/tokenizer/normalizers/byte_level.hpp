// The ByteLevel normalizer: each byte of the text written as the byte-level alphabet's character.
#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "json/json.hpp"
#include "tokenizer/pre_tokenizers/byte_level.hpp"
#include "tokenizer/scratch.hpp"

namespace korvane::tokenizer {

struct ByteLevelNormalizer {
    // The part has no options.
    [[nodiscard]] static std::expected<ByteLevelNormalizer, std::string> from_json(
        const json::Object&) {
        return ByteLevelNormalizer{};
    }

    // Appends the normalization of `text` to `out`; every text is normalized.
    bool normalize(std::string_view text, std::string& out, Scratch&) const {
        byte_alphabet.append(text, out);
        return true;
    }
};

}  // namespace korvane::tokenizer
