#include <gtest/gtest.h>

#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "tokenizer/pre_tokenizers/bert.hpp"
#include "tokenizer/scratch.hpp"
#include "tokenizer/unicode_flags.hpp"
#include "util/utf8.hpp"

namespace korvane::tokenizer {
namespace {

using Words = std::vector<std::string>;

Words split(std::string_view text) {
    Scratch scratch;
    scratch.start(nullptr);
    Words words;
    BertPreTokenizer{}.split(text, scratch,
                             [&](std::string_view word) { words.emplace_back(word); });
    return words;
}

// The split character by character, from the table alone.
Words split_by_characters(std::string_view text) {
    Words words;
    std::string current;
    for (std::size_t position = 0; position < text.size();) {
        const std::size_t length =
            utf8::character_length(static_cast<unsigned char>(text[position]));
        const std::uint32_t flags = unicode::properties(utf8::decode_at(text, position));
        const std::string character(text.substr(position, length));
        position += length;
        if (flags & (unicode::whitespace | unicode::punctuation)) {
            if (!current.empty()) words.push_back(current);
            current.clear();
            if (flags & unicode::punctuation) words.push_back(character);
        } else {
            current += character;
        }
    }
    if (!current.empty()) words.push_back(current);
    return words;
}

// The ranges written out for blocks of 16 bytes are the table's, for every ASCII character at
// every place in a block; a byte beyond ASCII is `other`.
TEST(BertPreTokenizer, BlocksClassifyEachByteAsTheTableDoes) {
    if (!BertPreTokenizer::has_blocks) GTEST_SKIP() << "no blocks on this processor";
    for (unsigned byte = 0; byte < 256; ++byte) {
        for (unsigned place = 0; place < 16; ++place) {
            std::string block(16, 'a');
            block[place] = static_cast<char>(byte);
            const auto classes = BertPreTokenizer::classify_block(block.data());
            const unsigned bit = 1u << place;
            const std::uint32_t flags = byte < 0x80 ? BertPreTokenizer::ascii_flags[byte] : 0;
            EXPECT_EQ(classes.whitespace, (flags & unicode::whitespace) ? bit : 0u) << byte;
            EXPECT_EQ(classes.punctuation, (flags & unicode::punctuation) ? bit : 0u) << byte;
            EXPECT_EQ(classes.other, byte >= 0x80 ? bit : 0u) << byte;
        }
    }
}

// Texts of every length around the block size, of ASCII letters, digits, controls, white space
// and punctuation mixed with characters of two to four bytes (letters, white space and
// punctuation beyond ASCII), split as character by character.
TEST(BertPreTokenizer, SplitsAsCharacterByCharacter) {
    const std::vector<std::string_view> pieces = {
        "a",
        "Z",
        "7",
        " ",
        "\t",
        "\n",
        ".",
        "!",
        "~",
        "\x01",
        "\x7F",
        "\xC3\xA9",          // é
        "\xE4\xB8\xAD",      // a CJK ideograph
        "\xE2\x80\x94",      // em dash, punctuation
        "\xE3\x80\x80",      // ideographic space
        "\xC2\xA0",          // no-break space
        "\xF0\x9F\x99\x82",  // an emoji
    };
    std::mt19937 random(7);
    for (int round = 0; round < 3000; ++round) {
        std::string text;
        const int count = static_cast<int>(random() % 60);
        for (int index = 0; index < count; ++index) {
            // Mostly letters, so that words run across blocks.
            const std::size_t choice = random() % 3 == 0 ? random() % pieces.size() : 0;
            text += pieces[choice];
        }
        EXPECT_EQ(split(text), split_by_characters(text)) << text;
    }
}

}  // namespace
}  // namespace korvane::tokenizer
