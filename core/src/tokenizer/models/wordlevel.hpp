// The WordLevel model: each word is its vocabulary token, or the unknown token.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "json/json.hpp"
#include "tokenizer/models/token_table.hpp"

namespace korvane::tokenizer {

class WordLevel {
public:
    // Reads the model's part of tokenizer.json.
    [[nodiscard]] static std::expected<WordLevel, std::string> from_json(const json::Object& part);

    // The table points into the vocabulary's strings: moved, never copied.
    WordLevel(WordLevel&&) noexcept = default;
    WordLevel& operator=(WordLevel&&) noexcept = default;
    WordLevel(const WordLevel&) = delete;
    WordLevel& operator=(const WordLevel&) = delete;

    // Appends the ID of `word` to `ids`.
    void tokenize_word(std::string_view word, std::vector<std::uint32_t>& ids) const {
        ids.push_back(words_.find(word).value_or(unknown_id_));
    }

    [[nodiscard]] std::optional<std::uint32_t> token_to_id(std::string_view token) const noexcept {
        return words_.find(token);
    }

    [[nodiscard]] std::size_t vocabulary_size() const noexcept { return vocabulary_.size(); }

private:
    WordLevel() = default;

    std::vector<std::string> vocabulary_;  // by ID; the table's keys point into it
    TokenTable words_;
    std::uint32_t unknown_id_ = 0;
};

}  // namespace korvane::tokenizer
