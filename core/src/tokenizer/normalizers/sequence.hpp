// A normalizer made of steps applied one after the other: the Sequence normalizer, and each
// single normalizer but the BertNormalizer as a sequence of one step. A Sequence within a
// Sequence is read as its steps. A new step is a file here, an alternative of NormalizerStep and
// a line in the steps' table (sequence.cpp).
#pragma once

#include <expected>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "json/json.hpp"
#include "tokenizer/normalizers/bert.hpp"
#include "tokenizer/normalizers/precompiled.hpp"
#include "tokenizer/normalizers/prepend.hpp"
#include "tokenizer/normalizers/replace.hpp"
#include "tokenizer/normalizers/strip.hpp"
#include "tokenizer/normalizers/strip_accents.hpp"
#include "tokenizer/normalizers/unicode_form.hpp"
#include "tokenizer/scratch.hpp"

namespace korvane::tokenizer {

using NormalizerStep =
    std::variant<BertNormalizer, Strip, Replace, UnicodeForm, Prepend, StripAccents, Precompiled>;

class NormalizerSequence {
public:
    // Reads a Sequence, or a single normalizer of the steps' table as a sequence of one.
    [[nodiscard]] static std::expected<NormalizerSequence, std::string> from_json(
        const json::Object& part);

    // Appends the normalization of `text` (valid UTF-8) to `out`; false if a step defers the
    // text or its cancellation is requested.
    bool normalize(std::string_view text, std::string& out, Scratch& scratch) const;

private:
    std::expected<void, std::string> add(const json::Object& part, int depth);

    std::vector<NormalizerStep> steps_;
};

}  // namespace korvane::tokenizer
