// The Unicode normalization forms NFKC and NFC, for texts already in that form: those of
// characters whose quick check says so, their marks in canonical order (see unicode_flags.hpp).
// Any other text is deferred to the caller.
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
    // Reads the part of type NFKC or NFC.
    [[nodiscard]] static std::expected<UnicodeForm, std::string> from_json(
        const json::Object& part);

    // Appends `text` (valid UTF-8) to `out` if it is in the form; false otherwise.
    bool normalize(std::string_view text, std::string& out, Scratch& scratch) const;

private:
    std::uint32_t unchanged_ = 0;  // the flag of characters the form leaves as they are
};

}  // namespace korvane::tokenizer
