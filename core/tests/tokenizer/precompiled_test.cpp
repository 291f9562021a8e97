// The Precompiled normalizer on a small map that sentencepiece's trainer wrote from user rules
// (A -> a, A B -> x y z, CR -> space, e-acute -> e and U+0301, U+200B removed), with the texts the
// tokenizers package gives; the Python suite compares the two on the trainer's full maps.
#include "tokenizer/normalizers/precompiled.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace korvane::tokenizer {
namespace {

constexpr std::string_view rules_charsmap =
    "AAQAAAAwAAANDQAAAQAAgAMAAIAJAACAqQ0AAAUAAICAEAIAiwUAAAAAAIALAAAACgAAAA0AAAAMAAAADwAAAA4AAAAR"
    "AAAAEAAAABMAAAASAAAAFQAAABQAAAAXAAAAFgAAABkAAAAYAAAAGwAAABoAAAAdAAAAHAAAAB8AAAAeAAAAIQAAACAA"
    "AAAjAAAAIgAAACUAAAAkAAAAJwAAACYAAAApAAAAKAAAACsAAAAqAAAALQAAACwAAAAvAAAALgAAADEAAAAwAAAAMwAA"
    "ADIAAAA1AAAANAAAADcAAAA2AAAAOQAAADgAAAA7AAAAOgAAAD0AAAA8AAAAPwAAAD4AAABBAAAAQhUBAEMAAABCAAAA"
    "RQAAAEQAAABHAAAARgAAAEkAAABIAAAASwAAAEoAAABNAAAAQTkBAE8AAABOAAAAUQAAAFAAAABTAAAAUgAAAFUAAABU"
    "AAAAVwAAAFYAAABZAAAAWAAAAFsAAABaAAAAXQAAAFwAAABfAAAAXgAAAGEAAABgAAAAYwAAAGIAAABlAAAAZAAAAGcA"
    "AABmAAAAaQAAAGgAAABrAAAAagAAAG0AAABsAAAAbwAAAG4AAABxAAAAcAAAAHMAAAByAAAAdQAAAHQAAAB3AAAAdgAA"
    "AHkAAAB4AAAAewAAAHoAAAB9AAAAfAAAAH8AAAB+AAAAgQAAAIAAAACDAAAAggAAAIUAAACEAAAAhwAAAIYAAACJAAAA"
    "iAAAAIsAAACKAAAAjQAAAIwAAACPAAAAjgAAAJEAAACQAAAAkwAAAJIAAACVAAAAlAAAAJcAAACWAAAAmQAAAJgAAACb"
    "AAAAmgAAAJ0AAACcAAAAnwAAAJ4AAAChAAAAoAAAAKMAAACiAAAApQAAAKQAAACnAAAApgAAAKkAAACoAAAAqwAAAKoA"
    "AACtAAAArAAAAK8AAACuAAAAsQAAALAAAACzAAAAsgAAALUAAAC0AAAAtwAAALYAAAC5AAAAuAAAALsAAAC6AAAAvQAA"
    "ALwAAAC/AAAAvgAAAMEAAADAAAAAwwAAAMIAAADFAAAAxAAAAMcAAADGAAAAyQAAAMgAAADLAAAAygAAAM0AAADMAAAA"
    "zwAAAMOMAQDRAAAA0AAAANMAAADSAAAA1QAAANQAAADXAAAA1gAAANkAAADYAAAA2wAAANoAAADdAAAA3AAAAN8AAADe"
    "AAAA4QAAAOAAAADjAAAA4gAAAOUAAADkAAAA5wAAAOYAAADpAAAA6AAAAOsAAADqAAAA7QAAAOwAAADipAEA7gAAAPEA"
    "AADwAAAA8wAAAPIAAAD1AAAA9AAAAPcAAAD2AAAA+QAAAPgAAAD7AAAA+gAAAP0AAAD8AAAA/wAAAP4AAAAAIABhAGXM"
    "gQB4eXoA";

const Precompiled& rules() {
    static const Precompiled map = [] {
        auto bytes = decode_base64(rules_charsmap);
        EXPECT_TRUE(bytes);
        auto read = Precompiled::from_bytes(*bytes);
        EXPECT_TRUE(read) << read.error();
        return std::move(*read);
    }();
    return map;
}

struct Case {
    std::string_view text;
    std::optional<std::string_view> normalized;  // none: deferred
};

class PrecompiledRules : public testing::TestWithParam<Case> {};

TEST_P(PrecompiledRules, NormalizesAsTokenizersOrDefers) {
    Scratch scratch;
    std::string out = "kept";
    const bool done = rules().normalize(GetParam().text, out, scratch);
    ASSERT_EQ(done, GetParam().normalized.has_value()) << GetParam().text;
    if (done) {
        EXPECT_EQ(out, "kept" + std::string(*GetParam().normalized));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, PrecompiledRules,
    testing::Values(Case{"", ""}, Case{"xyz", "xyz"}, Case{"A", "a"},
                    // The shortest key wins, and A B are two clusters.
                    Case{"AB", "aB"}, Case{"ABC", "aBC"}, Case{"\r", " "},
                    // CR LF is one cluster: the replacement of its shortest key, the LF dropped.
                    Case{"\r\n", " "}, Case{"x\r\ny\r", "x y "}, Case{"\n\r", "\n "},
                    Case{"\xC3\xA9", "e\xCC\x81"}, Case{"x\xE2\x80\x8By", "xy"},
                    Case{"\xE2\x80\x8B\xE2\x80\x8B", ""},
                    // A mark after a character that no key starts with: as it is.
                    Case{"a\xCC\x81", "a\xCC\x81"},
                    Case{"\xC3\xA9\xC3\xA9",
                         "e\xCC\x81"
                         "e\xCC\x81"},
                    // A key before a mark: the cluster decides, unknown here.
                    Case{"A\xCC\x81"
                         "B",
                         std::nullopt},
                    Case{"xA\xCC\x81", std::nullopt}, Case{"\xC3\xA9\xCC\x81", std::nullopt}));

struct Base64Case {
    std::string_view text;
    std::optional<std::string_view> bytes;
};

class Base64 : public testing::TestWithParam<Base64Case> {};

TEST_P(Base64, Decodes) {
    const auto bytes = decode_base64(GetParam().text);
    ASSERT_EQ(bytes.has_value(), GetParam().bytes.has_value()) << GetParam().text;
    if (bytes) {
        EXPECT_EQ(*bytes, *GetParam().bytes);
    }
}

INSTANTIATE_TEST_SUITE_P(Texts, Base64,
                         testing::Values(Base64Case{"", ""}, Base64Case{"YQ==", "a"},
                                         Base64Case{"YQ", "a"}, Base64Case{"YWI=", "ab"},
                                         Base64Case{"YWJj", "abc"},
                                         Base64Case{"+/8A", std::string_view("\xFB\xFF\x00", 3)},
                                         Base64Case{"Y", std::nullopt},
                                         Base64Case{"YW J", std::nullopt},
                                         Base64Case{"YQ-=", std::nullopt}));

TEST(Precompiled, RefusesBrokenMaps) {
    for (const std::string_view bytes :
         {std::string_view(""), std::string_view("\x00\x00\x00", 3),
          std::string_view("\x00\x00\x00\x00", 4), std::string_view("\x08\x00\x00\x00....", 8),
          std::string_view("\x04\x00\x00\x00\x01\x02\x03", 7),
          // One value unit pointing past the replacements.
          std::string_view("\x04\x00\x00\x00\x10\x00\x00\x80x", 9)})
        EXPECT_FALSE(Precompiled::from_bytes(bytes)) << bytes.size();
}

}  // namespace
}  // namespace korvane::tokenizer
