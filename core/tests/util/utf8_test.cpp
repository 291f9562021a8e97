#include "util/utf8.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace korvane::utf8 {
namespace {

struct Encoded {
    char32_t code_point;
    std::string_view bytes;
};

class Utf8RoundTrip : public testing::TestWithParam<Encoded> {};

// Each length's first and last code point, and the ends of the surrogate gap.
TEST_P(Utf8RoundTrip, EncodesAndDecodesEachLength) {
    const auto [code_point, bytes] = GetParam();
    std::string out = "x";
    append(out, code_point);
    EXPECT_EQ(std::string_view(out).substr(1), bytes);
    EXPECT_TRUE(is_valid(bytes));
    EXPECT_EQ(decode_at(bytes, 0), code_point);
    EXPECT_EQ(decode_before(out, out.size()), code_point);
    EXPECT_EQ(character_length(static_cast<unsigned char>(bytes[0])), bytes.size());
    if (bytes.size() > 1) {
        std::size_t position = 0;
        EXPECT_EQ(decode_multibyte(bytes, position), code_point);
        EXPECT_EQ(position, bytes.size());
        EXPECT_TRUE(is_continuation(bytes[1]));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, Utf8RoundTrip,
    testing::Values(Encoded{U'\0', std::string_view("\0", 1)}, Encoded{0x7F, "\x7F"},
                    Encoded{0x80, "\xC2\x80"}, Encoded{0x7FF, "\xDF\xBF"},
                    Encoded{0x800, "\xE0\xA0\x80"}, Encoded{0xD7FF, "\xED\x9F\xBF"},
                    Encoded{0xE000, "\xEE\x80\x80"}, Encoded{0xFFFF, "\xEF\xBF\xBF"},
                    Encoded{0x10000, "\xF0\x90\x80\x80"}, Encoded{0x10FFFF, "\xF4\x8F\xBF\xBF"}));

class Utf8Invalid : public testing::TestWithParam<std::string_view> {};

TEST_P(Utf8Invalid, IsRefusedWithoutMoving) {
    std::string text(1, 'a');
    text.append(GetParam());
    EXPECT_FALSE(is_valid(text));
    std::size_t position = 1;
    EXPECT_FALSE(decode_multibyte(text, position));
    EXPECT_EQ(position, 1u);
}

INSTANTIATE_TEST_SUITE_P(Forms, Utf8Invalid,
                         testing::Values("\x80",              // a lone continuation
                                         "\xC0\xAF",          // overlong
                                         "\xE0\x9F\xBF",      // overlong
                                         "\xF0\x8F\xBF\xBF",  // overlong
                                         "\xED\xA0\x80",      // a surrogate
                                         "\xF4\x90\x80\x80",  // beyond U+10FFFF
                                         "\xF5\x80\x80\x80",  // no such lead byte
                                         "\xE2\x82",          // cut short
                                         "\xE2\x28\xA1"));    // a broken sequence

}  // namespace
}  // namespace korvane::utf8
