// The Sequence pre-tokenizer: each step splits the words of the one before. A new step is an
// alternative of PreTokenizerStep and a line in the steps' table (sequence.cpp).
#pragma once

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "json/json.hpp"
#include "tokenizer/pre_tokenizers/bert.hpp"
#include "tokenizer/pre_tokenizers/byte_level.hpp"
#include "tokenizer/pre_tokenizers/char_classes.hpp"
#include "tokenizer/pre_tokenizers/metaspace.hpp"
#include "tokenizer/scratch.hpp"

namespace korvane::tokenizer {

using PreTokenizerStep = std::variant<BertPreTokenizer, Metaspace, WhitespaceSplit, Whitespace,
                                      Punctuation, SplitPattern, Digits, ByteLevelPreTokenizer>;

class PreTokenizerSequence {
public:
    // Reads the Sequence. A Metaspace and a ByteLevel, which build their words in the scratch, may
    // each be one step only, and a Metaspace not with the scheme "first" (tokenizers prepends then
    // by where each word starts).
    [[nodiscard]] static std::expected<PreTokenizerSequence, std::string> from_json(
        const json::Object& part);

    template <typename OnWord>
    void split(std::string_view text, Scratch& scratch, OnWord&& word) const {
        run(0, text, scratch, word);
    }

private:
    template <typename OnWord>
    void run(std::size_t index, std::string_view text, Scratch& scratch, OnWord& word) const {
        if (index == steps_.size()) {
            word(text);
            return;
        }
        std::visit(
            [&](const auto& step) {
                step.split(text, scratch,
                           [&](std::string_view piece) { run(index + 1, piece, scratch, word); });
            },
            steps_[index]);
    }

    std::vector<PreTokenizerStep> steps_;
};

}  // namespace korvane::tokenizer
