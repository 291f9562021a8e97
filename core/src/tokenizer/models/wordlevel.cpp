#include "tokenizer/models/wordlevel.hpp"

#include <utility>

#include "tokenizer/json_fields.hpp"
#include "tokenizer/models/vocabulary.hpp"

namespace korvane::tokenizer {

std::expected<WordLevel, std::string> WordLevel::from_json(const json::Object& model) {
    WordLevel wordlevel;
    auto vocabulary = read_vocabulary(model, "WordLevel");
    if (!vocabulary) return std::unexpected(std::move(vocabulary.error()));
    wordlevel.vocabulary_ = std::move(*vocabulary);
    fill_table(wordlevel.words_, wordlevel.vocabulary_);
    // tokenizers fails on a word outside the vocabulary when the unknown token is not in it:
    // such files stay with tokenizers.
    const json::Value* unknown = member(model, "unk_token");
    if (unknown == nullptr || unknown->if_string() == nullptr)
        return std::unexpected("the WordLevel model has no unk_token");
    const auto unknown_id = wordlevel.words_.find(*unknown->if_string());
    if (!unknown_id) return std::unexpected("the unk_token is not in the vocabulary");
    wordlevel.unknown_id_ = *unknown_id;
    return wordlevel;
}

}  // namespace korvane::tokenizer
