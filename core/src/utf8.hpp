// UTF-8 for the JSON parser: encoding a code point, and checking text strictly.
#pragma once

#include <string>
#include <string_view>

namespace korvane::utf8 {

// Appends the UTF-8 form of `code_point` (at most U+10FFFF) to `out`.
void append(std::string& out, char32_t code_point);

// Strict UTF-8: no overlong forms, no surrogates, nothing beyond U+10FFFF.
[[nodiscard]] bool is_valid(std::string_view text) noexcept;

}  // namespace korvane::utf8
