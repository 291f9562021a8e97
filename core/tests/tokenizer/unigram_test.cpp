// The Unigram model's segmentation on small vocabularies, with the IDs the tokenizers package
// gives (the Python suite compares the two on trained models and random vocabularies).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "korvane/tokenizer/tokenizer.hpp"

namespace korvane {
namespace {

using Ids = std::vector<std::uint32_t>;

// A Unigram file of `pieces` ("[piece, score], ..." after <unk> of score 0), without a
// pre-tokenizer unless `parts` adds one.
std::string unigram_json(std::string_view pieces, bool byte_fallback = false,
                         std::string_view parts = "") {
    std::string text = "{";
    text.append(parts);
    text += R"("model": {"type": "Unigram", "unk_id": 0, "byte_fallback": )";
    text += byte_fallback ? "true" : "false";
    text += R"(, "vocab": [["<unk>", 0.0])";
    text.append(pieces);
    return text + "]}}";
}

// Byte pieces <0x00> to <0xFF> up to `count`, each scored -5.
std::string byte_pieces(unsigned count) {
    std::string pieces;
    char piece[32];
    for (unsigned byte = 0; byte < count; ++byte) {
        std::snprintf(piece, sizeof piece, R"(, ["<0x%02X>", -5])", byte);
        pieces += piece;
    }
    return pieces;
}

Ids ids_of(const Tokenizer& tokenizer, std::string_view text) {
    std::vector<std::uint32_t> ids;
    EXPECT_EQ(tokenizer.tokenize(text, ids), Tokenizer::Outcome::tokenized) << text;
    return ids;
}

TEST(Unigram, TiesGoToTheSegmentationWhosePiecesStartFirst) {
    const auto tokenizer = Tokenizer::from_json(unigram_json(
        R"(, ["a", -1], ["b", -1], ["ab", -2], ["abc", -3], ["c", -1.0], ["bc", -2])"));
    ASSERT_TRUE(tokenizer) << tokenizer.error();
    EXPECT_EQ(ids_of(*tokenizer, "ab"), (Ids{3}));
    EXPECT_EQ(ids_of(*tokenizer, "abc"), (Ids{4}));
    EXPECT_EQ(ids_of(*tokenizer, "cab"), (Ids{5, 3}));
    // Unknown characters: a run of them is one <unk>, the <unk> piece itself included.
    EXPECT_EQ(ids_of(*tokenizer, "abcd"), (Ids{4, 0}));
    EXPECT_EQ(ids_of(*tokenizer, "adda"), (Ids{1, 0, 1}));
    EXPECT_EQ(ids_of(*tokenizer, "d<unk>\xE4\xB8\xAD"), (Ids{0}));
    EXPECT_EQ(ids_of(*tokenizer, ""), (Ids{}));
}

TEST(Unigram, UnknownRunsFallBackToBytesWhenAllAreThere) {
    const auto all = Tokenizer::from_json(unigram_json(R"(, ["a", -1])" + byte_pieces(256), true));
    ASSERT_TRUE(all) << all.error();
    EXPECT_EQ(ids_of(*all, "ad"), (Ids{1, 0x64 + 2}));
    EXPECT_EQ(ids_of(*all,
                     "\xE4\xB8\xAD"
                     "a"),
              (Ids{0xE4 + 2, 0xB8 + 2, 0xAD + 2, 1}));
    // The <unk> piece alone stays itself; within a run it is bytes like the rest.
    EXPECT_EQ(ids_of(*all, "<unk>a"), (Ids{0, 1}));
    EXPECT_EQ(ids_of(*all, "x<unk>"), (Ids{'x' + 2, '<' + 2, 'u' + 2, 'n' + 2, 'k' + 2, '>' + 2}));
    const auto some = Tokenizer::from_json(unigram_json(R"(, ["a", -1])" + byte_pieces(200), true));
    ASSERT_TRUE(some) << some.error();
    EXPECT_EQ(ids_of(*some,
                     "\xE4\xB8\xAD\xE4\xB8\xAD"
                     "a"),
              (Ids{0, 1}));
    EXPECT_EQ(ids_of(*some, "\xC3\xBF"), (Ids{0xC3 + 2, 0xBF + 2}));
}

TEST(Unigram, MetaspaceAndNormalizerSequence) {
    const auto tokenizer = Tokenizer::from_json(
        unigram_json(R"(, ["\u2581", -1], ["a", -1], ["\u2581a", -1], ["b", -1])", false,
                     R"("normalizer": {"type": "Sequence", "normalizers": [
               {"type": "Replace", "pattern": {"String": "x"}, "content": "a"},
               {"type": "Lowercase"}, {"type": "NFKC"},
               {"type": "Strip", "strip_left": false, "strip_right": true}]},
           "pre_tokenizer": {"type": "Metaspace", "replacement": "\u2581",
                             "prepend_scheme": "always", "split": true},)"));
    ASSERT_TRUE(tokenizer) << tokenizer.error();
    // Replace comes before Lowercase: X stays unknown.
    EXPECT_EQ(ids_of(*tokenizer, "  XB a  "), (Ids{1, 1, 0, 4, 3}));
    EXPECT_EQ(ids_of(*tokenizer, "xb a"), (Ids{3, 4, 3}));
    // NFKC turns U+FB01 (the ligature fi) into "fi"; a code point unassigned in the table's
    // version hands the text back.
    EXPECT_EQ(ids_of(*tokenizer, "\xEF\xAC\x81"), ids_of(*tokenizer, "fi"));
    std::vector<std::uint32_t> ids;
    EXPECT_EQ(tokenizer->tokenize("\xF3\xA0\x82\x80", ids), Tokenizer::Outcome::deferred);
}

}  // namespace
}  // namespace korvane
