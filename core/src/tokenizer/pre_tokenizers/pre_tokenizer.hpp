// The pre-tokenizers, one alternative each: a new one is a file here, an alternative below and a
// line in the reader's table (tokenizer_json.cpp).
#pragma once

#include <variant>

#include "tokenizer/pre_tokenizers/bert.hpp"
#include "tokenizer/pre_tokenizers/byte_level.hpp"

namespace korvane::tokenizer {

using PreTokenizer = std::variant<BertPreTokenizer, ByteLevelPreTokenizer>;

}  // namespace korvane::tokenizer
