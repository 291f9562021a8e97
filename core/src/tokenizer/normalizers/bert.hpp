// The BertNormalizer: cleans control characters and whitespace, surrounds CJK ideographs with
// spaces, strips accents and lowercases, each as tokenizer.json asks.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "json/json.hpp"
#include "tokenizer/scratch.hpp"

namespace korvane::tokenizer {

class BertNormalizer {
public:
    struct Options {
        bool clean_text = false;
        bool handle_chinese_chars = false;
        bool strip_accents = false;
        bool lowercase = false;
    };

    explicit BertNormalizer(Options options);

    // Reads the normalizer's part of tokenizer.json.
    [[nodiscard]] static std::expected<BertNormalizer, std::string> from_json(
        const json::Object& part);

    // Appends the normalization of `text` (valid UTF-8) to `out`; false if a character is
    // unknown to the character table or the text's cancellation is requested.
    bool normalize(std::string_view text, std::string& out, Scratch& scratch) const;

private:
    void emit_character(char32_t code_point, std::string& out) const;
    void flush_marks(Scratch& scratch, std::string& out) const;

    Options options_;
    // The fast path: what normalizing makes of each ASCII byte, the byte to write or -1 to drop it.
    std::array<std::int16_t, 128> ascii_normalized_{};
};

}  // namespace korvane::tokenizer
