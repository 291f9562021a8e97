#include "korvane/tokenizer/tokenizer.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace korvane {
namespace {

// A small BERT-style file; `parts` replaces the normalizer, pre-tokenizer and added tokens.
std::string tokenizer_json(std::string_view parts = R"(
    "normalizer": {"type": "BertNormalizer", "clean_text": true, "handle_chinese_chars": true,
                   "strip_accents": null, "lowercase": true},
    "pre_tokenizer": {"type": "BertPreTokenizer"},
    "added_tokens": [{"id": 0, "content": "[UNK]", "single_word": false, "lstrip": false,
                      "rstrip": false, "normalized": false, "special": true},
                     {"id": 9, "content": "<Hi>", "single_word": false, "lstrip": true,
                      "rstrip": true, "normalized": false, "special": false}],)") {
    std::string text = "{";
    text.append(parts);
    return text.append(R"(
    "model": {"type": "WordPiece", "unk_token": "[UNK]", "continuing_subword_prefix": "##",
              "max_input_chars_per_word": 10,
              "vocab": {"[UNK]": 0, "un": 1, "##aff": 2, "##able": 3, "cafe": 4, ",": 5,
                        "中": 6, "##a": 7, "a": 8}}})");
}

std::vector<std::uint32_t> ids_of(const Tokenizer& tokenizer, std::string_view text) {
    std::vector<std::uint32_t> ids{99};  // appended to, never cleared
    EXPECT_EQ(tokenizer.tokenize(text, ids), Tokenizer::Outcome::tokenized) << text;
    return {ids.begin() + 1, ids.end()};
}

using Ids = std::vector<std::uint32_t>;

TEST(WordPiece, NormalizesSplitsAndMatchesGreedily) {
    const auto tokenizer = Tokenizer::from_json(tokenizer_json());
    ASSERT_TRUE(tokenizer) << tokenizer.error();
    EXPECT_EQ(ids_of(*tokenizer, "UNAFFABLE, Café"), (Ids{1, 2, 3, 5, 4}));
    EXPECT_EQ(ids_of(*tokenizer, "a中a"), (Ids{8, 6, 8}));  // ideographs are words of their own
    EXPECT_EQ(ids_of(*tokenizer, "unaffx"), (Ids{0}));      // one piece missing: the whole word
    EXPECT_EQ(ids_of(*tokenizer, "aaaaaaaaaa aaaaaaaaaaa"), (Ids{8, 7, 7, 7, 7, 7, 7, 7, 7, 7, 0}));
    EXPECT_EQ(ids_of(*tokenizer,
                     "a\x01\xE2\x80\x8B"
                     "a\tun"),
              (Ids{8, 7, 1}));  // controls go
    EXPECT_EQ(ids_of(*tokenizer, ""), Ids{});
    EXPECT_EQ(tokenizer->id_count(), 10u);
}

TEST(WordPiece, AddedTokensAreMatchedInTheRawTextWithTheirWhitespace) {
    const auto tokenizer = Tokenizer::from_json(tokenizer_json());
    ASSERT_TRUE(tokenizer);
    // <Hi> is outside the vocabulary: it takes the first ID after it, whatever the file says.
    EXPECT_EQ(ids_of(*tokenizer, "a  <Hi>  a[UNK]<hi>"), (Ids{8, 9, 8, 0, 0, 0, 0}));
}

// Tokens that all start with one byte are found by scanning for it: at the ends, side by side,
// and after a start byte that begins no token.
TEST(WordPiece, AddedTokensOfOneFirstByte) {
    const auto tokenizer = Tokenizer::from_json(tokenizer_json(R"(
        "pre_tokenizer": {"type": "BertPreTokenizer"},
        "added_tokens": [{"id": 0, "content": "[UNK]", "normalized": false},
                         {"id": 9, "content": "[un]", "normalized": false}],)"));
    ASSERT_TRUE(tokenizer);
    EXPECT_EQ(ids_of(*tokenizer, "[un]a[UNK][un]"), (Ids{9, 8, 0, 9}));
    EXPECT_EQ(ids_of(*tokenizer, "[[un]a[u"), (Ids{0, 9, 8, 0, 0}));
    EXPECT_EQ(ids_of(*tokenizer, "un[UNK"), (Ids{1, 0, 0}));
}

TEST(WordPiece, DefersTextsWithCharactersTheTableDoesNotKnow) {
    const auto tokenizer = Tokenizer::from_json(tokenizer_json());
    ASSERT_TRUE(tokenizer);
    std::vector<std::uint32_t> ids{7};
    // U+1C89 is assigned after the table's Unicode version; its lowercase form is unknown here.
    EXPECT_EQ(tokenizer->tokenize("a \xE1\xB2\x89", ids), Tokenizer::Outcome::deferred);
    EXPECT_EQ(tokenizer->tokenize("a \xED\xA0\x80", ids),  // a surrogate
              Tokenizer::Outcome::invalid_utf8);
    EXPECT_EQ(tokenizer->tokenize("\xC0\xAF", ids), Tokenizer::Outcome::invalid_utf8);
    EXPECT_EQ(ids, (Ids{7}));
    // Deferred while a combining mark kept through accent stripping (U+1D165, a spacing mark)
    // waits for canonical ordering, it leaves nothing behind for the next text.
    EXPECT_EQ(tokenizer->tokenize("a\xF0\x9D\x85\xA5\xE1\xB2\x89", ids),
              Tokenizer::Outcome::deferred);
    EXPECT_EQ(ids_of(*tokenizer, "a"), (Ids{8}));
    EXPECT_NE(unicode_version().find("Unicode"), std::string_view::npos);
}

struct Unsupported {
    std::string_view parts;
    std::string_view reason;
};

class WordPieceUnsupported : public testing::TestWithParam<Unsupported> {};

TEST_P(WordPieceUnsupported, NamesThePart) {
    const auto tokenizer = Tokenizer::from_json(tokenizer_json(GetParam().parts));
    ASSERT_FALSE(tokenizer);
    EXPECT_NE(tokenizer.error().find(GetParam().reason), std::string::npos) << tokenizer.error();
}

INSTANTIATE_TEST_SUITE_P(
    Parts, WordPieceUnsupported,
    testing::Values(
        Unsupported{
            R"("normalizer": {"type": "Nmt"}, "pre_tokenizer": {"type": "BertPreTokenizer"},)",
            "normalizer is Nmt"},
        Unsupported{R"("pre_tokenizer": {"type": "UnicodeScripts"},)", "pre-tokenizer"},
        Unsupported{R"("pre_tokenizer": {"type": "Metaspace", "replacement": "_"},)",
                    "prepend_scheme"},
        Unsupported{R"("pre_tokenizer": {"type": "BertPreTokenizer"},
                       "normalizer": {"type": "BertNormalizer", "lowercase": 1},)",
                    "lowercase is not a boolean"},
        Unsupported{R"("pre_tokenizer": {"type": "BertPreTokenizer"},
                       "added_tokens": [{"content": "x"}, {"content": ""}],)",
                    "is empty"}));

// The reader names the kinds each stage knows; callers see these texts.
TEST(WordPiece, NamesTheKindsEachStageKnows) {
    const auto error = [](std::string_view parts) {
        return Tokenizer::from_json(tokenizer_json(parts)).error();
    };
    EXPECT_EQ(
        error(R"("normalizer": {"type": "Nmt"}, "pre_tokenizer": {"type": "BertPreTokenizer"},)"),
        "the normalizer is Nmt, not BertNormalizer or Sequence or Lowercase or Strip or Replace "
        "or NFKC or NFC or NFKD or NFD or StripAccents or Prepend or Precompiled or ByteLevel");
    EXPECT_EQ(
        error(R"("normalizer": [], "pre_tokenizer": {"type": "BertPreTokenizer"},)"),
        "the normalizer is ?, not BertNormalizer or Sequence or Lowercase or Strip or Replace "
        "or NFKC or NFC or NFKD or NFD or StripAccents or Prepend or Precompiled or ByteLevel");
    EXPECT_EQ(error(R"("pre_tokenizer": {"type": "UnicodeScripts"},)"),
              "the pre-tokenizer is UnicodeScripts, not BertPreTokenizer or Metaspace or "
              "WhitespaceSplit or Whitespace or Punctuation or Digits or Sequence or Split or "
              "ByteLevel");
    EXPECT_EQ(error(R"("pre_tokenizer": "Whitespace",)"),
              "the pre-tokenizer is ?, not BertPreTokenizer or Metaspace or WhitespaceSplit or "
              "Whitespace or Punctuation or Digits or Sequence or Split or ByteLevel");
    EXPECT_EQ(Tokenizer::from_json(R"({"model": {"type": "Imaginary"}})").error(),
              "the model is not WordPiece or Unigram or WordLevel or BPE");
    EXPECT_EQ(Tokenizer::from_json(R"({"model": "WordPiece"})").error(),
              "the model is not WordPiece or Unigram or WordLevel or BPE");
}

// Without a normalizer the text is kept as it is, and a character the table does not know still
// defers it.
TEST(WordPiece, WithoutANormalizerKeepsTheText) {
    for (const std::string_view none : {R"("normalizer": null,)", ""}) {
        const auto tokenizer = Tokenizer::from_json(tokenizer_json(
            std::string(none) + R"("pre_tokenizer": {"type": "BertPreTokenizer"},)"));
        ASSERT_TRUE(tokenizer) << tokenizer.error();
        std::vector<std::uint32_t> ids;
        EXPECT_EQ(tokenizer->tokenize("\xE1\xB2\x89", ids), Tokenizer::Outcome::deferred);
        EXPECT_EQ(ids_of(*tokenizer, "cafe Cafe"), (Ids{4, 0}));
    }
}

TEST(WordPiece, RefusesModelsItDoesNotImplement) {
    const std::string bpe = R"({"model": {"type": "NoSuchModel"}})";
    EXPECT_NE(Tokenizer::from_json(bpe).error().find("not WordPiece"), std::string::npos);
    const std::string gap = R"({"pre_tokenizer": {"type": "BertPreTokenizer"},
        "model": {"type": "WordPiece", "unk_token": "a", "vocab": {"a": 0, "b": 2}}})";
    EXPECT_NE(Tokenizer::from_json(gap).error().find("IDs"), std::string::npos);
    const std::string no_unknown = R"({"pre_tokenizer": {"type": "BertPreTokenizer"},
        "model": {"type": "WordPiece", "unk_token": "[UNK]", "vocab": {"a": 0}}})";
    EXPECT_NE(Tokenizer::from_json(no_unknown).error().find("unk_token"), std::string::npos);
    EXPECT_FALSE(Tokenizer::from_json("{"));
    EXPECT_FALSE(Tokenizer::from_file("/nonexistent/tokenizer.json"));
}

// The same file with no practical limit on a word's length.
std::string unlimited_json() {
    std::string text = tokenizer_json();
    const std::string limit = R"("max_input_chars_per_word": 10)";
    return text.replace(text.find(limit), limit.size(), R"("max_input_chars_per_word": 100000000)");
}

TEST(WordPiece, LongWordsTakeTheLongestTokenAtEachPosition) {
    const auto tokenizer = Tokenizer::from_json(unlimited_json());
    ASSERT_TRUE(tokenizer) << tokenizer.error();
    // A million-character word: one walk per piece, not a search over every end.
    const std::string word(1'000'000, 'a');
    Ids expected(word.size(), 7);
    expected[0] = 8;
    EXPECT_EQ(ids_of(*tokenizer, word), expected);
    std::string pieces = "un";
    for (int index = 0; index < 50'000; ++index) pieces += "aff";
    EXPECT_EQ(ids_of(*tokenizer, pieces + "able").size(), 50'002u);
    EXPECT_EQ(ids_of(*tokenizer, pieces + "ab"), (Ids{0}));  // "##ab" is no token: [UNK]
    EXPECT_EQ(ids_of(*tokenizer, "unaffable una"), (Ids{1, 2, 3, 1, 7}));
}

TEST(WordPiece, StopsOnRequest) {
    const auto tokenizer = Tokenizer::from_json(unlimited_json());
    ASSERT_TRUE(tokenizer);
    Cancellation cancellation;
    const std::string long_text(1'000'000, 'a');
    std::vector<std::uint32_t> ids{5};
    EXPECT_EQ(tokenizer->tokenize(long_text, ids, &cancellation), Tokenizer::Outcome::tokenized);
    ASSERT_EQ(ids.size(), 1'000'001u);
    cancellation.request();
    for (const std::string_view text : {std::string_view(long_text), std::string_view("a b")})
        EXPECT_EQ(tokenizer->tokenize(text, ids, &cancellation), Tokenizer::Outcome::cancelled);
    EXPECT_EQ(ids.size(), 1'000'001u);
    EXPECT_EQ(ids_of(*tokenizer, "a a"), (Ids{8, 8}));  // the next text starts afresh

    const std::vector<std::string_view> texts(1000, "una cafe");
    const TokenizedBatch stopped = tokenize_batch(*tokenizer, texts, {}, 2, &cancellation);
    EXPECT_TRUE(stopped.cancelled);
    const TokenizedBatch whole = tokenize_batch(*tokenizer, texts, {}, 2);
    EXPECT_FALSE(whole.cancelled);
    EXPECT_EQ(whole.tokens.size(), 3000u);
}

}  // namespace
}  // namespace korvane
