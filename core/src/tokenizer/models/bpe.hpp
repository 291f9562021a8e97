// The BPE model: a word is split into characters, each its vocabulary token (or its bytes' tokens
// <0xXX>, or the unknown token), then adjacent tokens are merged, always the pair of lowest rank
// in the merge list first and the leftmost of equal pairs, until no pair of the list is left.
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

namespace korvane::tokenizer {

class Bpe {
public:
    // Reads the model's part of tokenizer.json; a non-null dropout is refused (its results are
    // random).
    [[nodiscard]] static std::expected<Bpe, std::string> from_json(const json::Object& part);

    // The tables point into the vocabulary's strings: moved, never copied.
    Bpe(Bpe&&) noexcept = default;
    Bpe& operator=(Bpe&&) noexcept = default;
    Bpe(const Bpe&) = delete;
    Bpe& operator=(const Bpe&) = delete;

    // Appends the IDs of `word` (valid UTF-8) to `ids`.
    void tokenize_word(std::string_view word, std::vector<std::uint32_t>& ids) const;

    [[nodiscard]] std::optional<std::uint32_t> token_to_id(std::string_view token) const noexcept {
        return tokens_.find(token);
    }

    [[nodiscard]] std::size_t vocabulary_size() const noexcept { return vocabulary_.size(); }

private:
    Bpe() = default;

    struct Merge {
        std::uint32_t rank;
        std::uint32_t id;  // of the merged token
    };
    // The merges, by pair of IDs: open addressing over 64-bit keys.
    struct MergeSlot {
        std::uint64_t pair = empty_pair;
        Merge merge{};
    };
    static constexpr std::uint64_t empty_pair = UINT64_MAX;

    void add_merge(std::uint32_t left, std::uint32_t right, Merge merge);
    [[nodiscard]] const Merge* find_merge(std::uint32_t left, std::uint32_t right) const noexcept;
    void merge_symbols(std::vector<std::uint32_t>& ids, std::size_t first) const;
    void tokenize_uncached(std::string_view word, std::vector<std::uint32_t>& ids) const;

    std::vector<std::string> vocabulary_;  // by ID; the table's keys point into it
    TokenTable tokens_;
    std::vector<MergeSlot> merges_;
    std::array<std::int32_t, 128> ascii_ids_{};  // of each ASCII character alone, -1 if none
    std::string prefix_;                         // continuing_subword_prefix
    std::string suffix_;                         // end_of_word_suffix
    std::optional<std::uint32_t> unknown_id_;
    bool fuse_unknown_ = false;
    bool byte_fallback_ = false;
    bool ignore_merges_ = false;
    std::uint32_t number_ = 0;  // this model's own, among those of the process: its cache entries
};

}  // namespace korvane::tokenizer
