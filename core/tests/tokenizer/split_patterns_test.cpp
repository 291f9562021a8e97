// The hand-written matchers of well-known Split patterns against the regular expression engine
// running the same patterns, on random texts of characters whose classes every Unicode version
// since the engine's agrees on.
#include "tokenizer/pre_tokenizers/split_patterns.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tokenizer/regex.hpp"

namespace korvane {
namespace {

using tokenizer::Llama3Pattern;
using tokenizer::Regex;

constexpr std::string_view llama3 =
    R"((?i:'s|'t|'re|'ve|'m|'ll|'d)|[^\r\n\p{L}\p{N}]?\p{L}+|\p{N}{1,3}| ?[^\s\p{L}\p{N}]+[\r\n]*|\s*[\r\n]+|\s+(?!\S)|\s+)";
constexpr std::string_view qwen2 =
    R"((?i:'s|'t|'re|'ve|'m|'ll|'d)|[^\r\n\p{L}\p{N}]?\p{L}+|\p{N}| ?[^\s\p{L}\p{N}]+[\r\n]*|\s*[\r\n]+|\s+(?!\S)|\s+)";

TEST(Llama3Pattern, KnowsBothPatternsAndNoNeighbour) {
    EXPECT_TRUE(Llama3Pattern::of(llama3));
    EXPECT_TRUE(Llama3Pattern::of(qwen2));
    std::string digits(llama3);
    digits.replace(digits.find("{1,3}"), 5, "{1,2}");
    std::string case_sensitive(llama3);
    case_sensitive.replace(0, 4, "(?:");
    for (const std::string_view other : {std::string_view(digits), std::string_view(case_sensitive),
                                         llama3.substr(1), llama3.substr(0, llama3.size() - 1),
                                         std::string_view(R"(\p{N}{1,3})"), std::string_view()}) {
        EXPECT_FALSE(Llama3Pattern::of(other)) << other;
    }
}

using Matches = std::vector<std::pair<std::size_t, std::size_t>>;

class SplitPatterns : public testing::TestWithParam<std::string_view> {};

TEST_P(SplitPatterns, MatchAsTheEngineDoes) {
    const auto matcher = Llama3Pattern::of(GetParam());
    const auto engine = Regex::compile(GetParam());
    ASSERT_TRUE(matcher);
    ASSERT_TRUE(engine) << engine.error();
    // Letters (some folding to a contraction's), numbers (Nd, Nl, No), white space and line
    // breaks, marks, punctuation, symbols, controls and characters of 2 to 4 bytes.
    constexpr std::array<std::string_view, 34> pieces = {
        "'",  "s",  "S",      "t",      "d",      "M", "r", "e", "E", "v",   "l", "L",
        "a",  "ſ",  "é",      "ß",      "中",     "ᾈ", "1", "٣", "Ⅻ", "½",   " ", "\t",
        "\n", "\r", "\u00a0", "\u3000", "\u0301", "!", "—", "€", "😀", "\x0b"};
    std::mt19937 random(7);
    std::uniform_int_distribution<std::size_t> length(0, 24);
    std::uniform_int_distribution<std::size_t> piece(0, pieces.size() - 1);
    for (int round = 0; round < 40000; ++round) {
        std::string text;
        for (std::size_t count = length(random); count > 0; --count) text += pieces[piece(random)];
        Matches expected;
        ASSERT_TRUE(engine->for_each_match(
            text, [&](std::size_t start, std::size_t end) { expected.emplace_back(start, end); }));
        Matches found;
        EXPECT_TRUE(matcher->for_each_match(
            text, [&](std::size_t start, std::size_t end) { found.emplace_back(start, end); }));
        ASSERT_EQ(found, expected) << text;
    }
}

INSTANTIATE_TEST_SUITE_P(Patterns, SplitPatterns, testing::Values(llama3, qwen2),
                         [](const auto& info) { return info.index == 0 ? "Llama3" : "Qwen2"; });

}  // namespace
}  // namespace korvane
