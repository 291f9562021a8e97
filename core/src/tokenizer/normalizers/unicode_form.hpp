// The Unicode normalization forms NFD, NFKD, NFC and NFKC, as the `tokenizers` package applies
// them: with Unicode 9.0's decompositions, combining classes and compositions (see
// unicode_forms.hpp). A text holding a code point unassigned in the table's version is deferred
// to the caller.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "json/json.hpp"
#include "tokenizer/scratch.hpp"

namespace korvane::tokenizer {

class UnicodeForm {
public:
    // Reads the part of type NFD, NFKD, NFC or NFKC.
    [[nodiscard]] static std::expected<UnicodeForm, std::string> from_json(
        const json::Object& part);

    // Appends the normalization of `text` (valid UTF-8) to `out`; false if the text is deferred
    // or its cancellation is requested.
    bool normalize(std::string_view text, std::string& out, Scratch& scratch) const;

private:
    // True if `text` is in the form by the quick check (composed forms only).
    [[nodiscard]] bool already_in_form(std::string_view text) const;
    // Decomposes `text` into the scratch's code points in canonical order.
    bool decompose(std::string_view text, Scratch& scratch) const;

    bool compatibility_ = false;   // NFKD, NFKC
    bool composed_ = false;        // NFC, NFKC
    std::uint32_t unchanged_ = 0;  // the quick check's flag of the composed forms
};

// Composes canonically decomposed, canonically ordered code points in place.
void compose(std::u32string& code_points);

}  // namespace korvane::tokenizer
