// Reading a model's "vocab": token -> ID, the IDs 0 to its size - 1, each once (the numbering the
// added tokens continue).
#pragma once

#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "json/json.hpp"
#include "tokenizer/json_fields.hpp"
#include "tokenizer/models/token_table.hpp"

namespace korvane::tokenizer {

// The tokens by ID of the "vocab" of `model`; an error names the model as `kind`.
[[nodiscard]] inline std::expected<std::vector<std::string>, std::string> read_vocabulary(
    const json::Object& model, std::string_view kind) {
    const json::Value* vocab_value = member(model, "vocab");
    if (vocab_value == nullptr || vocab_value->if_object() == nullptr)
        return std::unexpected("the " + std::string(kind) + " vocabulary is not an object");
    const json::Object& vocab = *vocab_value->if_object();
    std::vector<std::string> tokens(vocab.size());
    std::vector<bool> seen(vocab.size(), false);
    for (const auto& [token, id_value] : vocab) {
        const std::uint64_t* id = id_value.if_unsigned();
        if (id == nullptr || *id >= vocab.size() || seen[*id])
            return std::unexpected("the vocabulary's IDs are not 0 to its size - 1, each once");
        seen[*id] = true;
        tokens[*id] = token;
    }
    return tokens;
}

// The table of `tokens` (by ID), keyed by the tokens themselves.
inline void fill_table(TokenTable& table, const std::vector<std::string>& tokens) {
    table.reserve(tokens.size());
    for (std::uint32_t id = 0; id < tokens.size(); ++id) table.insert(tokens[id], id);
}

// The optional text option `key` of `model`: empty when absent or null.
[[nodiscard]] inline std::expected<std::string, std::string> optional_text(
    const json::Object& model, std::string_view key) {
    const json::Value* value = member(model, key);
    if (value == nullptr || value->is_null()) return std::string();
    if (value->if_string() == nullptr) return std::unexpected(std::string(key) + " is not text");
    return *value->if_string();
}

}  // namespace korvane::tokenizer
