// The tokenizer's stages as tokenizer.json lists them, and the pipeline that runs them on a text:
// added tokens on the raw text, the normalizer, added tokens on the normalized text, the
// pre-tokenizer, then the model on each word. Each stage is a variant of its kinds, dispatched
// once per text segment, never per character.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "korvane/tokenizer/tokenizer.hpp"
#include "tokenizer/added_tokens.hpp"
#include "tokenizer/models/model.hpp"
#include "tokenizer/normalizers/normalizer.hpp"
#include "tokenizer/pre_tokenizers/pre_tokenizer.hpp"
#include "tokenizer/scratch.hpp"

namespace korvane {

struct Tokenizer::State {
    tokenizer::Model model;
    tokenizer::Normalizer normalizer;
    tokenizer::PreTokenizer pre_tokenizer;
    tokenizer::AddedTokens raw_tokens;
    tokenizer::AddedTokens normalized_tokens;
    std::size_t id_count = 0;

    // Appends the normalization of `text` to `out`; false if a character is unknown.
    bool normalize(std::string_view text, std::string& out, tokenizer::Scratch& scratch) const;
    // Appends the IDs of a text between raw added tokens; false when the text is deferred or
    // cancelled.
    bool tokenize_segment(std::string_view text, std::vector<std::uint32_t>& ids,
                          tokenizer::Scratch& scratch) const;
    // Appends the IDs of normalized text between normalized added tokens.
    void tokenize_normalized(std::string_view text, std::vector<std::uint32_t>& ids,
                             tokenizer::Scratch& scratch) const;
};

}  // namespace korvane
