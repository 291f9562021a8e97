// The normalizers, one alternative each: a new one is a file here, an alternative below and a
// line in the reader's table (tokenizer_json.cpp).
#pragma once

#include <variant>

#include "tokenizer/normalizers/bert.hpp"
#include "tokenizer/normalizers/none.hpp"

namespace korvane::tokenizer {

using Normalizer = std::variant<NoNormalizer, BertNormalizer>;

}  // namespace korvane::tokenizer
