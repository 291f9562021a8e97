// The pre-tokenizers, one alternative each: a new one is a file here, an alternative below and a
// line in the reader's table (tokenizer_json.cpp).
#pragma once

#include <variant>

#include "tokenizer/pre_tokenizers/bert.hpp"
#include "tokenizer/pre_tokenizers/byte_level.hpp"
#include "tokenizer/pre_tokenizers/char_classes.hpp"
#include "tokenizer/pre_tokenizers/metaspace.hpp"
#include "tokenizer/pre_tokenizers/sequence.hpp"
#include "tokenizer/pre_tokenizers/whole_text.hpp"

namespace korvane::tokenizer {

using PreTokenizer =
    std::variant<BertPreTokenizer, Metaspace, WholeText, WhitespaceSplit, Whitespace, Punctuation,
                 PreTokenizerSequence, SplitPattern, ByteLevelPreTokenizer, Digits>;

}  // namespace korvane::tokenizer
