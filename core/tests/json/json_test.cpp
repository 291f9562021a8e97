#include "json/json.hpp"

#include <gtest/gtest.h>

#include <charconv>
#include <string>
#include <string_view>

namespace korvane::json {
namespace {

// A compact text of a value tree that shows every number's kind: u1, i-1, f1.5.
std::string render(const Value& value);

std::string render(const Object& object) {
    std::string text = "{";
    for (const auto& [key, member] : object) {
        if (text.size() > 1) text += ',';
        text.append("\"").append(key).append("\":").append(render(member));
    }
    return text + '}';
}

std::string render(const Value& value) {
    if (value.is_null()) return "null";
    if (const auto* boolean = std::get_if<bool>(&value.content)) return *boolean ? "true" : "false";
    if (const auto* number = value.if_unsigned()) return "u" + std::to_string(*number);
    if (const auto* number = std::get_if<std::int64_t>(&value.content)) {
        return "i" + std::to_string(*number);
    }
    if (const auto* number = std::get_if<double>(&value.content)) {
        char buffer[32];
        const auto end =
            std::to_chars(buffer, buffer + sizeof buffer, *number, std::chars_format::general).ptr;
        return "f" + std::string(buffer, end);
    }
    if (const auto* text = value.if_string()) return std::string("\"").append(*text).append("\"");
    if (const auto* items = value.if_array()) {
        std::string text = "[";
        for (const auto& item : *items)
            text.append(text.size() > 1 ? "," : "").append(render(item));
        return text + ']';
    }
    return render(*value.if_object());
}

std::string parse_and_render(std::string_view text) {
    const auto object = parse_object(text);
    return object ? render(*object) : "fault: " + object.error();
}

struct Example {
    std::string input;
    std::string expected;
};

// Test names carry the input; control bytes and bytes above ASCII are written as \xNN so that
// every name stays on one line of ctest's output.
void PrintTo(const Example& example, std::ostream* out) {
    constexpr std::string_view hex = "0123456789ABCDEF";
    for (const char c : example.input) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x21 && byte < 0x7F) {
            *out << c;
        } else {
            *out << "\\x" << hex[byte >> 4] << hex[byte & 0xF];
        }
    }
}

class ParsedTree : public ::testing::TestWithParam<Example> {};

TEST_P(ParsedTree, KeepsOrderKindsAndLastDuplicate) {
    EXPECT_EQ(parse_and_render(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Values, ParsedTree,
    ::testing::Values(
        Example{" \t\r\n{} \n", "{}"},
        Example{R"({"b":1,"a":2,"":[]})", R"({"b":u1,"a":u2,"":[]})"},
        Example{R"({"b":1,"a":2,"b":{"x":1,"y":2,"x":[3]}})", R"({"b":{"x":[u3],"y":u2},"a":u2})"},
        Example{R"({"v":[null,true,false,"s",{}]})", R"({"v":[null,true,false,"s",{}]})"},
        Example{R"({"n":[0,18446744073709551615,18446744073709551616]})",
                R"({"n":[u0,u18446744073709551615,f1.8446744073709552e+19]})"},
        Example{R"({"n":[-1,-9223372036854775808,-9223372036854775809,-0]})",
                R"({"n":[i-1,i-9223372036854775808,f-9.223372036854776e+18,f-0]})"},
        Example{R"({"n":[2.0,1e3,1E-2,-0.5e+1,1e-400,-1e-400]})",
                R"({"n":[f2,f1000,f0.01,f-5,f0,f-0]})"},
        Example{R"({"s":"\"\\\/\b\f\n\r\t\u00e9\uD83D\uDE00\u0000é😀"})",
                "{\"s\":\"\"\\/\b\f\n\r\t\u00e9\U0001F600" + std::string(1, '\0') +
                    "\u00e9\U0001F600\"}"}));

class Fault : public ::testing::TestWithParam<Example> {};

TEST_P(Fault, IsDescribedWithItsPosition) {
    EXPECT_EQ(parse_and_render(GetParam().input), "fault: " + GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Framing, Fault,
    ::testing::Values(
        Example{"", "EOF while parsing a value at line 1 column 0"},
        Example{"  \n ", "EOF while parsing a value at line 2 column 1"},
        Example{"{", "EOF while parsing an object at line 1 column 1"},
        Example{"{}x", "trailing characters at line 1 column 3"},
        Example{"{} \n {}", "trailing characters at line 2 column 2"},
        Example{std::string("{}\0", 3), "trailing characters at line 1 column 3"},
        Example{"x", "expected value at line 1 column 1"},
        Example{"\xEF\xBB\xBF{}", "expected value at line 1 column 1"},
        Example{"[1]", "invalid type: sequence, expected a map at line 1 column 0"},
        Example{" 1", "invalid type: integer `1`, expected a map at line 1 column 2"},
        Example{"-1", "invalid type: integer `-1`, expected a map at line 1 column 2"},
        Example{"null", "invalid type: null, expected a map at line 1 column 4"},
        Example{"false", "invalid type: boolean `false`, expected a map at line 1 column 5"},
        Example{"2.5e3",
                "invalid type: floating point `2500.0`, expected a map at line 1 column 5"},
        Example{"-0", "invalid type: floating point `-0.0`, expected a map at line 1 column 2"},
        Example{"1e20", "invalid type: floating point `1e20`, expected a map at line 1 column 4"},
        Example{"0.00125",
                "invalid type: floating point `0.00125`, expected a map at line 1 column 7"},
        Example{"1.5e-7",
                "invalid type: floating point `1.5e-7`, expected a map at line 1 column 6"},
        Example{R"("a\"b")", R"(invalid type: string "a\"b", expected a map at line 1 column 6)"},
        Example{"nul", "EOF while parsing a value at line 1 column 3"}));

INSTANTIATE_TEST_SUITE_P(
    Structure, Fault,
    ::testing::Values(Example{R"({"a":nul})", "expected ident at line 1 column 9"},
                      Example{R"({"a":tru)", "EOF while parsing a value at line 1 column 8"},
                      Example{R"({"a" 1})", "expected `:` at line 1 column 6"},
                      Example{R"({"a")", "EOF while parsing an object at line 1 column 4"},
                      Example{R"({"a":)", "EOF while parsing a value at line 1 column 5"},
                      Example{R"({1:2})", "key must be a string at line 1 column 2"},
                      Example{R"({,})", "key must be a string at line 1 column 2"},
                      Example{R"({"a":1,})", "trailing comma at line 1 column 8"},
                      Example{R"({"a":[1,]})", "trailing comma at line 1 column 9"},
                      Example{R"({"a":[,1]})", "expected value at line 1 column 7"},
                      Example{R"({"a":1 "b":2})", "expected `,` or `}` at line 1 column 8"},
                      Example{R"({"a":[1 2]})", "expected `,` or `]` at line 1 column 9"},
                      Example{R"({"a":[1)", "EOF while parsing a list at line 1 column 7"},
                      Example{"{\n\"a\":1,\n\"b\" 2}", "expected `:` at line 3 column 5"}));

INSTANTIATE_TEST_SUITE_P(
    Numbers, Fault,
    ::testing::Values(Example{R"({"a":01})", "invalid number at line 1 column 7"},
                      Example{R"({"a":1.})", "invalid number at line 1 column 8"},
                      Example{R"({"a":1.)", "EOF while parsing a value at line 1 column 7"},
                      Example{R"({"a":-x})", "invalid number at line 1 column 7"},
                      Example{R"({"a":+1})", "expected value at line 1 column 6"},
                      Example{R"({"a":.5})", "expected value at line 1 column 6"},
                      Example{R"({"a":1e+})", "invalid number at line 1 column 9"},
                      Example{R"({"a":1e999})", "number out of range at line 1 column 10"},
                      Example{R"({"a":-2e308})", "number out of range at line 1 column 11"}));

INSTANTIATE_TEST_SUITE_P(
    Strings, Fault,
    ::testing::Values(
        Example{R"({"a":"b)", "EOF while parsing a string at line 1 column 7"},
        Example{R"({"a":"\x"})", "invalid escape at line 1 column 8"},
        Example{R"({"a":"\u12G4"})", "invalid escape at line 1 column 11"},
        Example{R"({"a":"\u12)", "EOF while parsing a string at line 1 column 10"},
        Example{R"({"a":"\uDC00"})", "lone leading surrogate in hex escape at line 1 column 12"},
        Example{R"({"a":"\uD800x"})", "unexpected end of hex escape at line 1 column 13"},
        Example{R"({"a":"\uD800\u0041"})",
                "lone leading surrogate in hex escape at line 1 column 18"},
        Example{"{\"a\":\"\x01\"}",
                "control character (\\u0000-\\u001F) found while parsing a string at line 1 "
                "column 7"},
        Example{"{\"a\":\"x\ny\"}",
                "control character (\\u0000-\\u001F) found while parsing a string at line 2 "
                "column 0"}));

// Invalid UTF-8 is reported once the string is complete, just after its closing quote.
class InvalidUtf8 : public ::testing::TestWithParam<std::string_view> {};

TEST_P(InvalidUtf8, IsRefusedInKeysAndValues) {
    const std::string bytes(GetParam());
    const std::string column = std::to_string(bytes.size() + 3);
    EXPECT_EQ(parse_and_render("{\"" + bytes + "\":1}"),
              "fault: invalid unicode code point at line 1 column " + column);
    EXPECT_EQ(
        parse_and_render("{\"k\":\"" + bytes + "\"}"),
        "fault: invalid unicode code point at line 1 column " + std::to_string(bytes.size() + 7));
}

INSTANTIATE_TEST_SUITE_P(Sequences, InvalidUtf8,
                         ::testing::Values("\xFF", "a\x80", "\xC0\x80", "\xC3", "\xE2\x82",
                                           "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xF8\x88\x80\x80",
                                           "\xE0\x9F\xBF"));

// Arrays and objects nested `levels` deep, the top-level object being the first level.
std::string nested(int levels, bool objects) {
    std::string text = "{\"a\":";
    for (int level = 2; level <= levels; ++level) text += objects ? "{\"a\":" : "[";
    text += "1";
    for (int level = 2; level <= levels; ++level) text += objects ? "}" : "]";
    return text + "}";
}

TEST(Nesting, AllowsLevel127AndRefusesLevel128) {
    for (const bool objects : {false, true}) {
        SCOPED_TRACE(objects ? "objects" : "arrays");
        EXPECT_TRUE(parse_object(nested(max_depth, objects)).has_value());
        const auto refused = parse_object(nested(max_depth + 1, objects));
        // The opening bracket of level 128 is the offending byte.
        const std::size_t column = objects ? 127 * 5 + 1 : 5 + 126 + 1;
        ASSERT_FALSE(refused.has_value());
        EXPECT_EQ(refused.error(),
                  "recursion limit exceeded at line 1 column " + std::to_string(column));
    }
}

// Every proper prefix of a document fails at the end of the input, positioned there.
TEST(Truncation, EveryPrefixEndsInAnEofFaultAtItsEnd) {
    const std::string document =
        "{\"t\": {\"dtype\": \"F32\", \"shape\": [2, 3],\n \"data_offsets\": [0, 24]},"
        " \"s\": \"\\u00e9\\uD83D\\uDE00\\n\xC3\xA9\", \"n\": [-1.5e-3, null, true, false]}";
    ASSERT_TRUE(parse_object(document).has_value());
    for (std::size_t length = 0; length < document.size(); ++length) {
        const std::string_view prefix(document.data(), length);
        SCOPED_TRACE(prefix);
        const auto result = parse_object(prefix);
        ASSERT_FALSE(result.has_value());
        EXPECT_TRUE(result.error().starts_with("EOF while parsing "));
        const std::size_t line_start = prefix.rfind('\n') + 1;  // 0 without a line feed
        EXPECT_TRUE(result.error().ends_with(" column " + std::to_string(length - line_start)));
    }
}

// Past a handful of members, duplicates are found through an index of keys; both ways must keep
// the first position and the last value.
std::string key_name(int key) {
    return std::string("k").append(std::to_string(key));
}

TEST(ManyKeys, DuplicatesKeepFirstPositionAndLastValue) {
    std::string text = "{";
    for (int key = 0; key < 1000; ++key) text.append("\"").append(key_name(key)).append("\":0,");
    text += R"("k3":1,"k999":2,"k500":3,"k3":4})";
    const auto object = parse_object(text);
    ASSERT_TRUE(object.has_value());
    ASSERT_EQ(object->size(), 1000u);
    for (int key = 0; key < 1000; ++key) {
        ASSERT_EQ((*object)[key].key, key_name(key));
    }
    EXPECT_EQ(*(*object)[3].value.if_unsigned(), 4u);
    EXPECT_EQ(*(*object)[500].value.if_unsigned(), 3u);
    EXPECT_EQ(*(*object)[999].value.if_unsigned(), 2u);
    EXPECT_EQ(*(*object)[4].value.if_unsigned(), 0u);
}

}  // namespace
}  // namespace korvane::json
