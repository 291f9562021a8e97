// The normalization forms, StripAccents and Digits on cases whose answers the tokenizers package
// gives (the Python suite compares them on every code point and random texts).
#include "tokenizer/normalizers/unicode_form.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "json/json.hpp"
#include "korvane/tokenizer/tokenizer.hpp"
#include "tokenizer/normalizers/strip_accents.hpp"

namespace korvane {
namespace {

using tokenizer::Scratch;

// The text normalized by the form `type`, or "deferred".
std::string normalized(std::string_view type, std::string_view text) {
    const auto part = json::parse_object(R"({"type": ")" + std::string(type) + "\"}");
    const auto form = tokenizer::UnicodeForm::from_json(*part);
    EXPECT_TRUE(form) << type;
    Scratch scratch;
    std::string out;
    return form->normalize(text, out, scratch) ? out : "deferred";
}

struct FormCase {
    const char* type;
    const char* text;
    const char* expected;
};

class UnicodeForms : public testing::TestWithParam<FormCase> {};

TEST_P(UnicodeForms, NormalizeAsTokenizersDoes) {
    const FormCase& form_case = GetParam();
    EXPECT_EQ(normalized(form_case.type, form_case.text), form_case.expected) << form_case.text;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UnicodeForms,
    testing::Values(
        // Composition and decomposition, marks reordered by class (U+0316 below, 220).
        FormCase{"NFC", "e\u0301", "\u00e9"}, FormCase{"NFD", "\u00e9", "e\u0301"},
        FormCase{"NFC", "a\u0301\u0316", "\u00e1\u0316"},
        FormCase{"NFD", "\u1e69", "s\u0323\u0307"}, FormCase{"NFC", "s\u0307\u0323", "\u1e69"},
        // A mark of the same class between blocks; one of a lower class does not.
        FormCase{"NFC", "a\u0308\u0301", "\u00e4\u0301"}, FormCase{"NFC", "\u0301a", "\u0301a"},
        // Excluded and singleton decompositions are not composed back.
        FormCase{"NFC", "\u0958", "\u0915\u093c"}, FormCase{"NFC", "\u212b", "\u00c5"},
        FormCase{"NFC", "\u0344", "\u0308\u0301"},
        // Compatibility decompositions, recursive.
        FormCase{"NFKD", "\ufb01", "fi"}, FormCase{"NFKC", "\u1e9b\u0323", "\u1e69"},
        FormCase{"NFKD", "\u1e9b\u0323", "s\u0323\u0307"}, FormCase{"NFD", "\ufb01", "\ufb01"},
        FormCase{"NFKC", "\u3200", "(\u1100)"}, FormCase{"NFKC", "\u2460", "1"},
        // Hangul by arithmetic, both ways.
        FormCase{"NFD", "\uac01", "\u1100\u1161\u11a8"},
        FormCase{"NFC", "\u1100\u1161\u11a8", "\uac01"}, FormCase{"NFC", "\uac00\u11a8", "\uac01"},
        FormCase{"NFC", "\uac01\u11a8", "\uac01\u11a8"},
        FormCase{"NFC", "\u1100\u1161\u11a7", "\uac00\u11a7"},
        // Unicode 9.0's data: later decompositions (U+1F16C, 12.0), compositions (U+11938,
        // 13.0) and combining classes (U+1DF6, 10.0) are not applied.
        FormCase{"NFKC", "\U0001f16c", "\U0001f16c"},
        FormCase{"NFC", "\U00011935\U00011930", "\U00011935\U00011930"},
        FormCase{"NFD", "a\u1df6\u0316", "a\u1df6\u0316"},
        FormCase{"NFD", "a\u0301\u0316", "a\u0316\u0301"},
        // Code points unassigned in the table's version are deferred; those assigned after 9.0
        // are left as they are.
        FormCase{"NFD", "a\U000e0080", "deferred"},
        FormCase{"NFKC", "\U00030000x", "\U00030000x"}));

TEST(StripAccents, RemovesMarksOfEachKindAndNothingElse) {
    const tokenizer::StripAccents strip;
    Scratch scratch;
    std::string out;
    // Nonspacing (U+0301), spacing (U+093F) and enclosing (U+20DD) marks; é stays composed.
    ASSERT_TRUE(strip.normalize("e\u0301\u00e9\u093f\u20ddx\u1cf2\U000111c9\u1df6\U0001e944", out,
                                scratch));
    // U+1CF2 was a mark in 9.0 and U+1E944 was new, U+111C9 was not a mark and U+1DF6 (10.0)
    // was not assigned.
    EXPECT_EQ(out, "e\u00e9x\U000111c9\u1df6");
}

TEST(Digits, SplitsRunsOrEachDigitAndDefersUnassignedCharacters) {
    const auto make = [](bool individual) {
        std::string text = R"({"pre_tokenizer": {"type": "Digits", "individual_digits": )";
        text += individual ? "true" : "false";
        text += R"(}, "model": {"type": "WordLevel", "unk_token": "?", "vocab": {"?": 0, "a": 1,
            "12": 2, "1": 3, "2": 4, "x": 5, "\u00bd": 6, "b": 7}}})";
        return Tokenizer::from_json(text);
    };
    const auto runs = make(false);
    const auto each = make(true);
    ASSERT_TRUE(runs) << runs.error();
    ASSERT_TRUE(each) << each.error();
    const auto ids = [](const Tokenizer& tokenizer, std::string_view text) {
        std::vector<std::uint32_t> out;
        EXPECT_EQ(tokenizer.tokenize(text, out), Tokenizer::Outcome::tokenized);
        return out;
    };
    // U+00BD (No) is numeric too.
    EXPECT_EQ(ids(*runs, "a12b\u00bd"), (std::vector<std::uint32_t>{1, 2, 7, 6}));
    EXPECT_EQ(ids(*runs, "12a1"), (std::vector<std::uint32_t>{2, 1, 3}));
    EXPECT_EQ(ids(*each, "a12b\u00bd"), (std::vector<std::uint32_t>{1, 3, 4, 7, 6}));
    std::vector<std::uint32_t> out;
    EXPECT_EQ(runs->tokenize("a1\U000e0080", out), Tokenizer::Outcome::deferred);
}

}  // namespace
}  // namespace korvane
