// Regular expressions: the Unicode version of the linked Oniguruma's tables, as the character
// table records it, and the texts a stage matching one defers.
#include "tokenizer/regex.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "korvane/tokenizer/tokenizer.hpp"
#include "tokenizer/unicode_flags.hpp"
#include "util/utf8.hpp"

namespace korvane {
namespace {

using tokenizer::Regex;

// Every code point is unassigned (\p{Cn}) to the linked Oniguruma exactly when the character
// table does not know it or records it as answered differently, but for the 98 of the engine's
// version whose properties changed: the version written into the table generator is the
// library's.
TEST(Regex, TheTableKnowsWhichCodePointsTheLinkedEngineLacks) {
    const auto unassigned = Regex::compile(R"(\p{Cn})");
    ASSERT_TRUE(unassigned) << unassigned.error();
    std::vector<char32_t> disagreeing;
    std::size_t changed = 0;
    std::string text;
    for (char32_t code_point = 0; code_point < 0x110000; ++code_point) {
        if (code_point >= 0xD800 && code_point < 0xE000) continue;
        text.clear();
        utf8::append(text, code_point);
        bool matched = false;
        ASSERT_TRUE(
            unassigned->for_each_match(text, [&](std::size_t, std::size_t) { matched = true; }));
        const bool unknown = (unicode::properties(code_point) & unicode::unknown) != 0;
        const bool differing = unicode::regex_engines_differ(code_point);
        EXPECT_FALSE(unknown && differing);
        if (differing && !matched)
            ++changed;
        else if (matched != (unknown || differing))
            disagreeing.push_back(code_point);
    }
    EXPECT_EQ(disagreeing.size(), 0u)
        << "first: U+" << std::hex << (disagreeing.empty() ? 0u : disagreeing[0]);
    EXPECT_EQ(changed, 98u);
}

TEST(Regex, FindsCharactersTheEngineLacksAnywhereInATextAndNoOthers) {
    const auto holds = [](std::string_view text) {
        return Regex::holds_character_engines_differ_on(text);
    };
    EXPECT_FALSE(holds(""));
    EXPECT_FALSE(holds("plain ASCII, caf\xC3\xA9, \xE4\xB8\xAD\xE6\x96\x87, \xF0\x9F\x98\x80"));
    EXPECT_TRUE(holds("\xE0\xB3\xB3"));         // U+0CF3 KANNADA SIGN COMBINING ANUSVARA
    EXPECT_TRUE(holds("ab \xF0\x91\xBC\xA4"));  // U+11F24 KAWI LETTER DHA, at the end
    EXPECT_TRUE(holds("\xF0\x9D\x8B\x86 ab"));  // U+1D2C6 KAKTOVIK NUMERAL SIX
    EXPECT_TRUE(holds("x\xF0\x9B\x85\x95y"));   // U+1B155 KATAKANA LETTER SMALL KO
    EXPECT_TRUE(holds("\xF0\xB2\x8E\xAF"));     // U+323AF, the last of CJK Extension H
    EXPECT_FALSE(holds("\xF0\xB2\x8E\xB0"));    // U+323B0, unassigned
    EXPECT_FALSE(holds("\xF0\x93\x90\xB8"));    // U+13438 (Unicode 12.0)
    EXPECT_FALSE(holds("\xF0\xAE\xAF\xB4"));    // U+2EBF4 (15.1): the table lacks it too
    // Older characters whose properties changed: ID_Continue, Alphabetic, Mn to Mc.
    EXPECT_TRUE(holds("\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9"));  // U+200D ZWJ
    EXPECT_TRUE(holds("x\xCD\xA3"));           // U+0363 COMBINING LATIN SMALL LETTER A
    EXPECT_TRUE(holds("\xF0\x91\x9C\x9E"));    // U+1171E AHOM CONSONANT SIGN MEDIAL RA
    EXPECT_FALSE(holds("x\xCD\xA2\xCD\xB0"));  // U+0362 and U+0370 around them
}

// A tokenizer of the pieces a, b and ab, with `parts` before its model.
std::string unigram_json(std::string_view parts) {
    std::string text = "{";
    text.append(parts);
    return text.append(R"("model": {"type": "Unigram", "unk_id": 0,
        "vocab": [["<unk>", 0.0], ["a", -1.0], ["b", -1.0], ["ab", -1.5]]}})");
}

struct RegexStage {
    std::string_view name;
    std::string_view parts;
};

class RegexStages : public ::testing::TestWithParam<RegexStage> {};

TEST_P(RegexStages, DeferTextsWithCharactersTheEngineLacks) {
    const auto tokenizer = Tokenizer::from_json(unigram_json(GetParam().parts));
    ASSERT_TRUE(tokenizer) << tokenizer.error();
    std::vector<std::uint32_t> ids;
    EXPECT_EQ(tokenizer->tokenize("a\xE4\xB8\xAD"
                                  "b",
                                  ids),
              Tokenizer::Outcome::tokenized);
    // Characters the engine lacks (Unicode 15.0), and those the table lacks too (15.1, 16.0,
    // unassigned), which no stage before may have deferred.
    for (const std::string_view text :
         {"a\xF0\x91\xBC\xA4"
          "b",
          "ab ab \xF0\x9D\x8B\x86", "\xE0\xB3\xB3", "a\xF0\xAE\xAF\xB4",
          "\xE1\xB2\x89"
          "b",
          "ab \xF0\xB2\x8E\xB0"})
        EXPECT_EQ(tokenizer->tokenize(text, ids), Tokenizer::Outcome::deferred) << text;
}

INSTANTIATE_TEST_SUITE_P(
    Stages, RegexStages,
    ::testing::Values(
        RegexStage{"Split", R"("pre_tokenizer": {"type": "Split", "pattern": {"Regex": "\\w+"},
                               "behavior": "Removed", "invert": true},)"},
        RegexStage{"SplitInSequence",
                   R"("pre_tokenizer": {"type": "Sequence", "pretokenizers": [
                          {"type": "WhitespaceSplit"},
                          {"type": "Split", "pattern": {"Regex": "\\p{L}"},
                           "behavior": "Isolated", "invert": false}]},)"},
        RegexStage{"Replace", R"("normalizer": {"type": "Replace", "pattern": {"Regex": "\\p{N}"},
                                 "content": ""},)"},
        RegexStage{"ReplaceInSequence",
                   R"("normalizer": {"type": "Sequence", "normalizers": [
                          {"type": "Strip", "left": true, "right": true},
                          {"type": "Replace", "pattern": {"Regex": "\\s+"}, "content": " "}]},)"}),
    [](const auto& info) { return std::string(info.param.name); });

// A string, or a regular expression of code points only, matches the same in both engines
// whatever characters it meets: no deferral.
struct CodePointPatterns {
    std::string_view replace_pattern;
    std::string_view split_pattern;
};

class CodePointStages : public ::testing::TestWithParam<CodePointPatterns> {};

TEST_P(CodePointStages, StayNative) {
    std::string parts = R"("normalizer": {"type": "Replace", "pattern": )";
    parts.append(GetParam().replace_pattern);
    parts += R"(, "content": "a"}, "pre_tokenizer": {"type": "Split", "pattern": )";
    parts.append(GetParam().split_pattern);
    parts += R"(, "behavior": "Isolated", "invert": false},)";
    const auto tokenizer = Tokenizer::from_json(unigram_json(parts));
    ASSERT_TRUE(tokenizer) << tokenizer.error();
    std::vector<std::uint32_t> ids;
    // b is replaced by a, each a is a word: a, U+11F24 KAWI LETTER DHA, ZWJ, a.
    EXPECT_EQ(tokenizer->tokenize("a\xF0\x91\xBC\xA4\xE2\x80\x8D"
                                  "b",
                                  ids),
              Tokenizer::Outcome::tokenized);
    EXPECT_EQ(ids, (std::vector<std::uint32_t>{1, 0, 1}));
}

INSTANTIATE_TEST_SUITE_P(
    Patterns, CodePointStages,
    ::testing::Values(CodePointPatterns{R"({"String": "b"})", R"({"String": "a"})"},
                      CodePointPatterns{R"({"Regex": "b+|[0-9]{2,}|\\x{10FFFF}"})",
                                        R"({"Regex": "(?:a)|\\[:|^\\t$"})"}));

// Patterns that ask for a property, a class or case folding defer such texts.
class PropertyPatterns : public ::testing::TestWithParam<std::string_view> {};

TEST_P(PropertyPatterns, Defer) {
    std::string parts = R"("pre_tokenizer": {"type": "Split", "pattern": {"Regex": ")";
    parts.append(GetParam());
    parts += R"("}, "behavior": "Isolated", "invert": false},)";
    const auto tokenizer = Tokenizer::from_json(unigram_json(parts));
    ASSERT_TRUE(tokenizer) << tokenizer.error();
    std::vector<std::uint32_t> ids;
    EXPECT_EQ(tokenizer->tokenize("a\xE2\x80\x8D"
                                  "b",
                                  ids),
              Tokenizer::Outcome::deferred);
}

INSTANTIATE_TEST_SUITE_P(Patterns, PropertyPatterns,
                         ::testing::Values("(?i)ab", "[[:alpha:]]+", "\\\\b", "a|\\\\d", "\\\\X",
                                           "[^\\\\s]"));

}  // namespace
}  // namespace korvane
