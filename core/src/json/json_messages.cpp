// The parser's descriptions are texts korvane_py's callers match on (after "SerDe Error: "):
// kept exactly, wording and layout included (errors/exact_texts.hpp says which others are).
#include "json/json_messages.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <variant>

namespace korvane::json {

namespace {

// A string as a Rust debug rendering shows it, for descriptions of an unexpected top level.
std::string quoted(std::string_view text) {
    std::string out = "\"";
    for (const char character : text) {
        const auto byte = static_cast<unsigned char>(character);
        switch (character) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\0':
                out += "\\0";
                break;
            default:
                if (byte < 0x20 || byte == 0x7F) {
                    constexpr char digits[] = "0123456789abcdef";
                    out += "\\u{";
                    if (byte >= 0x10) out += digits[byte >> 4];
                    out += digits[byte & 0xF];
                    out += '}';
                } else {
                    out += character;
                }
        }
    }
    out += '"';
    return out;
}

// The shortest text that reads back as `value`, laid out as Rust prints floats in descriptions:
// "1.0", "0.001", "1e20", "1.5e-7".
std::string shortest_float_text(double value) {
    char buffer[64];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    const std::string_view scientific(buffer, static_cast<std::size_t>(result.ptr - buffer));
    const std::size_t e = scientific.find('e');
    std::string out;
    std::size_t position = 0;
    if (scientific[0] == '-') {
        out += '-';
        position = 1;
    }
    std::string digits;
    for (std::size_t i = position; i < e; ++i) {
        if (scientific[i] != '.') digits += scientific[i];
    }
    int exponent = 0;
    const char* exponent_begin = scientific.data() + e + 1;
    if (*exponent_begin == '+') ++exponent_begin;
    std::from_chars(exponent_begin, scientific.data() + scientific.size(), exponent);

    const int length = static_cast<int>(digits.size());
    const int point = exponent + 1;  // digits before the decimal point
    if (point >= length && point <= 16) {
        out += digits;
        out.append(static_cast<std::size_t>(point - length), '0');
        out += ".0";
    } else if (point > 0 && point <= 16) {
        out += digits.substr(0, static_cast<std::size_t>(point));
        out += '.';
        out += digits.substr(static_cast<std::size_t>(point));
    } else if (point > -5 && point <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-point), '0');
        out += digits;
    } else {
        out += digits[0];
        if (length > 1) {
            out += '.';
            out += digits.substr(1);
        }
        out += 'e';
        out += std::to_string(exponent);
    }
    return out;
}

}  // namespace

std::string describe_fault(std::string_view text, std::size_t end, std::string_view reason) {
    const std::string_view before = text.substr(0, end);
    const std::size_t last_newline = before.rfind('\n');
    const std::size_t line_start = last_newline == before.npos ? 0 : last_newline + 1;
    const auto lines = 1 + std::count(before.begin(), before.begin() + line_start, '\n');
    std::string fault(reason);
    fault.append(" at line ").append(std::to_string(lines));
    fault.append(" column ").append(std::to_string(end - line_start));
    return fault;
}

std::string describe_scalar(const Value& scalar) {
    if (scalar.is_null()) return "null";
    if (const auto* boolean = std::get_if<bool>(&scalar.content)) {
        return *boolean ? "boolean `true`" : "boolean `false`";
    }
    if (const auto* unsigned_number = scalar.if_unsigned()) {
        return "integer `" + std::to_string(*unsigned_number) + "`";
    }
    if (const auto* signed_number = std::get_if<std::int64_t>(&scalar.content)) {
        return "integer `" + std::to_string(*signed_number) + "`";
    }
    if (const auto* floating = std::get_if<double>(&scalar.content)) {
        return "floating point `" + shortest_float_text(*floating) + "`";
    }
    return "string " + quoted(*scalar.if_string());
}

}  // namespace korvane::json
