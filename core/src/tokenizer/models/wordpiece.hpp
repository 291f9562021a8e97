// The WordPiece model: each word is split greedily into the longest vocabulary tokens, those after
// the first marked by the continuing-subword prefix; a word that cannot be split, or longer than
// max_input_chars_per_word characters, is the unknown token.
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
#include "tokenizer/models/token_trie.hpp"
#include "tokenizer/models/word_cache.hpp"

namespace korvane::tokenizer {

class WordPiece {
    // 2 MiB a thread, of which a text collection's distinct words touch only their own lines,
    // sized to hold nearly all the words of a collection.
    using Cache = WordCache<32768>;

public:
    // Reads the model's part of tokenizer.json.
    [[nodiscard]] static std::expected<WordPiece, std::string> from_json(const json::Object& part);

    // The tables point into the vocabulary's strings: moved, never copied.
    WordPiece(WordPiece&&) noexcept = default;
    WordPiece& operator=(WordPiece&&) noexcept = default;
    WordPiece(const WordPiece&) = delete;
    WordPiece& operator=(const WordPiece&) = delete;

    // Appends the IDs of `word` (valid UTF-8, one word of the pre-tokenizer) to `ids`.
    void tokenize_word(std::string_view word, std::vector<std::uint32_t>& ids) const {
        thread_words()(word, ids);
    }

    // tokenize_word for the words of a text, on the calling thread: its word cache is found
    // once.
    class ThreadWords {
    public:
        explicit ThreadWords(const WordPiece& model) noexcept : model_(model) {}
        void operator()(std::string_view word, std::vector<std::uint32_t>& ids) const;

    private:
        const WordPiece& model_;
        Cache::Thread cache_;
    };
    [[nodiscard]] ThreadWords thread_words() const { return ThreadWords(*this); }

    // The ID of the vocabulary's token `token`, if it has one.
    [[nodiscard]] std::optional<std::uint32_t> token_to_id(std::string_view token) const noexcept {
        return words_.find(token);
    }

    // Number of IDs of the vocabulary: 0 to size - 1.
    [[nodiscard]] std::size_t vocabulary_size() const noexcept { return vocabulary_.size(); }

private:
    WordPiece() = default;

    void tokenize_uncached(std::string_view word, std::vector<std::uint32_t>& ids) const;

    std::vector<std::string> vocabulary_;  // by ID; the tables' keys point into it
    // Each twice: whole keys by hash (most words are a token, or end in one) and a trie for the
    // longest key that starts a text.
    TokenTable words_;
    TokenTable continuations_;                        // keyed without the prefix
    TokenTrie trie_;                                  // of the vocabulary
    std::optional<std::uint32_t> continuation_root_;  // its node of the prefix
    std::size_t longest_key_ = 0;                     // in bytes
    std::uint32_t unknown_id_ = 0;
    std::size_t max_word_characters_ = 100;
    std::uint32_t number_ = 0;  // this model's own, among those of the process: its cache entries
};

}  // namespace korvane::tokenizer
