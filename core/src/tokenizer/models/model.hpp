// The tokenizer models, one alternative each: a new one is a file here, an alternative below and
// a line in the reader's table (tokenizer_json.cpp). Each has tokenize_word, token_to_id and
// vocabulary_size.
#pragma once

#include <variant>

#include "tokenizer/models/bpe.hpp"
#include "tokenizer/models/unigram.hpp"
#include "tokenizer/models/wordlevel.hpp"
#include "tokenizer/models/wordpiece.hpp"

namespace korvane::tokenizer {

using Model = std::variant<WordPiece, Unigram, WordLevel, Bpe>;

}  // namespace korvane::tokenizer
