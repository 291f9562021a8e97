// UTF-8, the one codec of the core: encoding a code point, decoding strictly, checking text. The
// JSON parser, the tokenizer and its stages all use it.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "util/ascii.hpp"

namespace korvane::utf8 {

// Appends the UTF-8 form of `code_point` (at most U+10FFFF) to `out`.
inline void append(std::string& out, char32_t code_point) {
    if (code_point < 0x80) {
        out.push_back(static_cast<char>(code_point));
        return;
    }
    char bytes[4];
    std::size_t length = 0;
    if (code_point < 0x800) {
        bytes[0] = static_cast<char>(0xC0 | (code_point >> 6));
        length = 2;
    } else if (code_point < 0x10000) {
        bytes[0] = static_cast<char>(0xE0 | (code_point >> 12));
        bytes[1] = static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
        length = 3;
    } else {
        bytes[0] = static_cast<char>(0xF0 | (code_point >> 18));
        bytes[1] = static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
        bytes[2] = static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
        length = 4;
    }
    bytes[length - 1] = static_cast<char>(0x80 | (code_point & 0x3F));
    out.append(bytes, length);
}

// Decodes the character at `text[position]` (a non-ASCII lead byte) and advances `position`.
// Strict: no overlong forms, no surrogates, nothing beyond U+10FFFF. nullopt when invalid.
inline std::optional<char32_t> decode_multibyte(std::string_view text, std::size_t& position) {
    const auto byte = [&](std::size_t index) { return static_cast<unsigned char>(text[index]); };
    const unsigned lead = byte(position);
    std::size_t length = 0;
    char32_t code_point = 0;
    unsigned low = 0x80;
    unsigned high = 0xBF;  // bounds of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        code_point = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        code_point = lead & 0x0F;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        code_point = lead & 0x07;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return std::nullopt;
    }
    if (text.size() - position < length) return std::nullopt;
    for (std::size_t index = 1; index < length; ++index) {
        const unsigned next = byte(position + index);
        if (next < (index == 1 ? low : 0x80) || next > (index == 1 ? high : 0xBF))
            return std::nullopt;
        code_point = (code_point << 6) | (next & 0x3F);
    }
    position += length;
    return code_point;
}

// The character that starts at `position` in valid UTF-8.
inline char32_t decode_at(std::string_view text, std::size_t position) {
    if (static_cast<unsigned char>(text[position]) < 0x80)
        return static_cast<unsigned char>(text[position]);
    return *decode_multibyte(text, position);
}

// The character that ends at `end` (exclusive) in valid UTF-8.
inline char32_t decode_before(std::string_view text, std::size_t end) {
    std::size_t start = end - 1;
    while (start > 0 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
    return decode_at(text, start);
}

// The length in bytes of the character whose lead byte, in valid UTF-8, is `lead`.
[[nodiscard]] inline std::size_t character_length(unsigned char lead) noexcept {
    return lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
}

// Whether `byte` continues a character rather than starting one.
[[nodiscard]] inline bool is_continuation(char byte) noexcept {
    return (static_cast<unsigned char>(byte) & 0xC0) == 0x80;
}

// Strict UTF-8: no overlong forms, no surrogates, nothing beyond U+10FFFF.
[[nodiscard]] inline bool is_valid(std::string_view text) noexcept {
    for (std::size_t position = 0; position < text.size();) {
        if (static_cast<unsigned char>(text[position]) < 0x80) {
            position += ascii::run_length(text.data() + position, text.size() - position);
        } else if (!decode_multibyte(text, position)) {
            return false;
        }
    }
    return true;
}

}  // namespace korvane::utf8
