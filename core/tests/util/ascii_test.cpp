#include "util/ascii.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <string>

namespace korvane::ascii {
namespace {

// What each function gives, byte by byte.
std::size_t plain_run_length(const std::string& text) {
    std::size_t index = 0;
    while (index < text.size() && static_cast<unsigned char>(text[index]) < 0x80) ++index;
    return index;
}

std::string plain_printable_copy(const std::string& text, bool lowercase) {
    std::string out;
    for (const char character : text) {
        const auto byte = static_cast<unsigned char>(character);
        if (byte < 0x20 || byte >= 0x7F) break;
        out.push_back(
            static_cast<char>(lowercase && byte >= 'A' && byte <= 'Z' ? byte + 32 : byte));
    }
    return out;
}

class AsciiBlocks : public testing::TestWithParam<std::size_t> {};

// Every byte value at every position of texts around the 8- and 16-byte blocks' edges, the text
// one byte into its buffer so that no load is aligned.
TEST_P(AsciiBlocks, MatchTheByteLoops) {
    const std::size_t length = GetParam();
    const std::string letters = "aZ09bYzA9m1Nq8Rk";  // the ranges' ends among them
    for (std::size_t position = 0; position <= length; ++position) {
        for (int value = 0; value < 256; ++value) {
            std::string buffer = "#";
            for (std::size_t index = 0; index < length; ++index)
                buffer.push_back(letters[index % letters.size()]);
            if (position < length) buffer[1 + position] = static_cast<char>(value);
            const std::string text = buffer.substr(1);
            const char* data = buffer.data() + 1;
            SCOPED_TRACE("length " + std::to_string(length) + ", byte " + std::to_string(value) +
                         " at " + std::to_string(position));
            EXPECT_EQ(run_length(data, length), plain_run_length(text));
            for (const bool lowercase : {false, true}) {
                std::string out(length, '\0');
                const std::size_t copied = copy_printable(data, length, out.data(), lowercase);
                EXPECT_EQ(out.substr(0, copied), plain_printable_copy(text, lowercase));
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Lengths, AsciiBlocks,
                         testing::Values(0, 1, 7, 8, 9, 15, 16, 17, 24, 25, 31, 32, 33, 47, 48,
                                         49));

}  // namespace
}  // namespace korvane::ascii
