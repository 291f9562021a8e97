// No pre-tokenizer ("pre_tokenizer": null or absent): the normalized text is one word.
#pragma once

#include <string_view>

#include "tokenizer/scratch.hpp"

namespace korvane::tokenizer {

struct WholeText {
    template <typename OnWord>
    void split(std::string_view text, Scratch&, OnWord&& word) const {
        if (!text.empty()) word(text);
    }
};

}  // namespace korvane::tokenizer
