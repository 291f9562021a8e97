// The normalizers, one alternative each: a new one is a file here, an alternative below and a
// line in the reader's table (tokenizer_json.cpp).
#pragma once

#include <variant>

#include "tokenizer/normalizers/bert.hpp"
#include "tokenizer/normalizers/byte_level.hpp"
#include "tokenizer/normalizers/sequence.hpp"

namespace korvane::tokenizer {

using Normalizer = std::variant<BertNormalizer, NormalizerSequence, ByteLevelNormalizer>;

// No normalizer ("normalizer": null or absent) is the BertNormalizer with every option off: the
// text as it is, still deferred when a character is unknown to the character table.
[[nodiscard]] inline Normalizer no_normalizer() {
    return BertNormalizer(BertNormalizer::Options{});
}

}  // namespace korvane::tokenizer
