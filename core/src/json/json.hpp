// A strict JSON (RFC 8259) parser for the model file's header.
//
// Rules of use:
//  1. `parse_object` accepts exactly one top-level object, surrounded only by JSON whitespace.
//  2. Objects keep their members in order of first appearance; a repeated key keeps its first
//     position and takes the value given last, in nested objects too.
//  3. Numbers keep their kind: an integer without sign, fraction or exponent that fits in 64 bits
//     is unsigned; a negative one that fits is signed; everything else (-0 included) is floating
//     point.
//  4. A failure is described as "<reason> at line <L> column <C>". Lines count from 1; the column
//     is the number of bytes of that line up to and including the offending byte (at the end of
//     the input: all bytes of the last line).
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace korvane::json {

struct Value;
struct Member;
using Array = std::vector<Value>;
using Object = std::vector<Member>;

struct Value {
    std::variant<std::nullptr_t, bool, std::uint64_t, std::int64_t, double, std::string, Array,
                 Object>
        content;

    [[nodiscard]] bool is_null() const noexcept {
        return std::holds_alternative<std::nullptr_t>(content);
    }
    // Null when the value is not of that kind.
    [[nodiscard]] const std::uint64_t* if_unsigned() const noexcept {
        return std::get_if<std::uint64_t>(&content);
    }
    [[nodiscard]] const std::string* if_string() const noexcept {
        return std::get_if<std::string>(&content);
    }
    [[nodiscard]] const Array* if_array() const noexcept { return std::get_if<Array>(&content); }
    [[nodiscard]] const Object* if_object() const noexcept { return std::get_if<Object>(&content); }
};

// One key and its value. A named struct rather than std::pair, whose conditionally explicit
// default constructor makes clang ask whether Value is default-constructible while the pair is
// still being instantiated for Value's own variant.
struct Member {
    std::string key;
    Value value;
};

// Nesting of objects and arrays beyond this depth is refused; the top-level object is level 1.
inline constexpr int max_depth = 127;

// Parses `text` (UTF-8) as one JSON object. The error is the fault's description.
[[nodiscard]] std::expected<Object, std::string> parse_object(std::string_view text);

}  // namespace korvane::json
