#include "tokenizer/models/wordpiece.hpp"

#include <algorithm>
#include <utility>

#include "tokenizer/json_fields.hpp"
#include "tokenizer/models/vocabulary.hpp"
#include "util/utf8.hpp"

namespace korvane::tokenizer {

std::expected<WordPiece, std::string> WordPiece::from_json(const json::Object& model) {
    WordPiece wordpiece;
    wordpiece.number_ = new_cache_owner();
    auto vocabulary = read_vocabulary(model, "WordPiece");
    if (!vocabulary) return std::unexpected(std::move(vocabulary.error()));
    wordpiece.vocabulary_ = std::move(*vocabulary);
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
    words.reserve(wordpiece.vocabulary_.size());
    continuations.reserve(wordpiece.vocabulary_.size());
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

void WordPiece::ThreadWords::operator()(std::string_view word,
                                        std::vector<std::uint32_t>& ids) const {
    Cache::tokenize(
        cache_, model_.number_, word, ids,
        [this](std::string_view uncached, auto& out) { model_.tokenize_uncached(uncached, out); });
}

void WordPiece::tokenize_uncached(std::string_view word, std::vector<std::uint32_t>& ids) const {
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
