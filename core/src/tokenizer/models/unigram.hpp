// The Unigram model: each word is split into the vocabulary's pieces whose scores (log
// probabilities) add up to the most, by Viterbi's search over the word's characters. A character
// that no piece of one character covers may be an unknown piece, scored 10 below the lowest
// score; consecutive unknown pieces are one, written as its UTF-8 bytes' pieces (<0xXX>) when
// byte_fallback asks and the vocabulary has them all, else as unk_id. Each thread keeps the IDs of
// the short words it met, as most words of a text are words met before.
#pragma once

#include <array>
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

namespace korvane::tokenizer {

class Unigram {
public:
    // Reads the model's part of tokenizer.json.
    [[nodiscard]] static std::expected<Unigram, std::string> from_json(const json::Object& part);

    // The tables point into the vocabulary's strings: moved, never copied.
    Unigram(Unigram&&) noexcept = default;
    Unigram& operator=(Unigram&&) noexcept = default;
    Unigram(const Unigram&) = delete;
    Unigram& operator=(const Unigram&) = delete;

    // Appends the IDs of `word` (valid UTF-8, one word of the pre-tokenizer) to `ids`.
    void tokenize_word(std::string_view word, std::vector<std::uint32_t>& ids) const;

    // The ID of the vocabulary's piece `token`, if it has one.
    [[nodiscard]] std::optional<std::uint32_t> token_to_id(std::string_view token) const noexcept {
        return table_.find(token);
    }

    // Number of IDs of the vocabulary: 0 to size - 1.
    [[nodiscard]] std::size_t vocabulary_size() const noexcept { return pieces_.size(); }

private:
    Unigram() = default;

    // Appends the IDs of the unknown text `piece` (one or more unknown pieces run together).
    void push_unknown(std::string_view piece, std::vector<std::uint32_t>& ids) const;
    // tokenize_word without the cache.
    void segment(std::string_view word, std::vector<std::uint32_t>& ids) const;

    std::vector<std::string> pieces_;  // by ID; the tables' keys point into them
    std::vector<double> scores_;       // by ID
    TokenTable table_;
    TokenTrie trie_;
    std::uint32_t unknown_id_ = 0;
    double unknown_score_ = 0;
    bool byte_fallback_ = false;
    std::array<std::uint32_t, 256> byte_ids_{};  // of <0xXX>, TokenTrie::no_id if missing
    std::uint32_t number_ = 0;  // this model's own, among those of the process: its cache entries
};

}  // namespace korvane::tokenizer
