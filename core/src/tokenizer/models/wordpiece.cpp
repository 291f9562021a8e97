#include "tokenizer/models/wordpiece.hpp"

#include <algorithm>
#include <utility>

#include "tokenizer/json_fields.hpp"
#include "util/utf8.hpp"

namespace korvane::tokenizer {

std::expected<WordPiece, std::string> WordPiece::from_json(const json::Object& model) {
    WordPiece wordpiece;
    const json::Value* vocab_value = member(model, "vocab");
    if (vocab_value == nullptr || vocab_value->if_object() == nullptr)
        return std::unexpected("the WordPiece vocabulary is not an object");
    const json::Object& vocab = *vocab_value->if_object();
    wordpiece.vocabulary_.assign(vocab.size(), {});
    std::vector<bool> seen(vocab.size(), false);
    for (const auto& [token, id_value] : vocab) {
        const std::uint64_t* id = id_value.if_unsigned();
        // IDs 0..n-1, each once: the numbering the added tokens continue.
        if (id == nullptr || *id >= vocab.size() || seen[*id])
            return std::unexpected("the vocabulary's IDs are not 0 to its size - 1, each once");
        seen[*id] = true;
        wordpiece.vocabulary_[*id] = token;
    }
    std::string prefix = "##";
    if (const json::Value* value = member(model, "continuing_subword_prefix")) {
        if (!value->if_string()) return std::unexpected("continuing_subword_prefix is not text");
        prefix = *value->if_string();
    }
    if (const json::Value* value = member(model, "max_input_chars_per_word")) {
        if (!value->if_unsigned())
            return std::unexpected("max_input_chars_per_word is not a count");
        wordpiece.max_word_characters_ = *value->if_unsigned();
    }
    const json::Value* unknown_value = member(model, "unk_token");
    if (unknown_value == nullptr || unknown_value->if_string() == nullptr)
        return std::unexpected("the WordPiece model has no unk_token");
    const std::string& unknown = *unknown_value->if_string();

    std::vector<std::pair<std::string_view, std::uint32_t>> words;
    std::vector<std::pair<std::string_view, std::uint32_t>> continuations;
    words.reserve(vocab.size());
    continuations.reserve(vocab.size());
    std::optional<std::uint32_t> unknown_id;
    for (std::uint32_t id = 0; id < wordpiece.vocabulary_.size(); ++id) {
        const std::string_view token = wordpiece.vocabulary_[id];
        words.emplace_back(token, id);
        if (token.starts_with(prefix)) continuations.emplace_back(token.substr(prefix.size()), id);
        if (token == unknown) unknown_id = id;
    }
    wordpiece.words_.reserve(words.size());
    wordpiece.continuations_.reserve(continuations.size());
    for (const auto& [key, id] : words) {
        wordpiece.words_.insert(key, id);
        wordpiece.longest_key_ = std::max(wordpiece.longest_key_, key.size());
    }
    for (const auto& [key, id] : continuations) wordpiece.continuations_.insert(key, id);
    // The continuations are the trie's keys below the prefix.
    wordpiece.trie_.build(words);
    wordpiece.continuation_root_ = wordpiece.trie_.node_of(prefix);
    if (!unknown_id) return std::unexpected("the unk_token is not in the vocabulary");
    wordpiece.unknown_id_ = *unknown_id;
    return wordpiece;
}

void WordPiece::tokenize_word(std::string_view word, std::vector<std::uint32_t>& ids) const {
    // A word has no more characters than bytes: most are counted only then.
    if (word.size() > max_word_characters_) {
        std::size_t characters = 0;
        for (const char byte : word) characters += !utf8::is_continuation(byte);
        if (characters > max_word_characters_) {
            ids.push_back(unknown_id_);
            return;
        }
    }
    const std::size_t first_new = ids.size();
    std::size_t start = 0;
    while (start < word.size()) {
        const std::string_view rest = word.substr(start);
        // The rest of the word as one token is the longest match there can be. Tried only when
        // it could be a key, so that a long word costs time in proportion to its length.
        if (rest.size() <= longest_key_) {
            if (const auto id = (start == 0 ? words_ : continuations_).find(rest)) {
                ids.push_back(*id);
                return;
            }
        }
        const std::optional<std::uint32_t> from =
            start == 0 ? TokenTrie::root : continuation_root_;  // none: no continuation tokens
        const auto [length, id] =
            from ? trie_.longest_prefix(rest, *from) : std::pair<std::size_t, std::uint32_t>{};
        if (length == 0) {
            ids.resize(first_new);
            ids.push_back(unknown_id_);
            return;
        }
        ids.push_back(id);
        start += length;
    }
}

}  // namespace korvane::tokenizer
