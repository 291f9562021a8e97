// The BertPreTokenizer: splits on whitespace and around each punctuation character.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "json/json.hpp"
#include "tokenizer/scratch.hpp"
#include "tokenizer/unicode_flags.hpp"
#include "util/utf8.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace korvane::tokenizer {

struct BertPreTokenizer {
    // What split asks of each ASCII character (whitespace, punctuation), from the table.
    static inline const std::array<std::uint8_t, 128> ascii_flags = [] {
        std::array<std::uint8_t, 128> flags{};
        for (unsigned byte = 0; byte < 128; ++byte)
            flags[byte] = static_cast<std::uint8_t>(unicode::properties(byte) &
                                                    (unicode::whitespace | unicode::punctuation));
        return flags;
    }();

    // The part has no options.
    [[nodiscard]] static std::expected<BertPreTokenizer, std::string> from_json(
        const json::Object&) {
        return BertPreTokenizer{};
    }

    // Of 16 bytes, one bit each (bit i for byte i): the ASCII whitespace, the ASCII punctuation
    // and the bytes of other characters. The ASCII sets are written out as ranges here; a test
    // holds them to the table's for every ASCII character.
    struct BlockClasses {
        unsigned whitespace;
        unsigned punctuation;
        unsigned other;
    };

#if defined(__SSE2__)
    static constexpr bool has_blocks = true;

    [[nodiscard, gnu::always_inline]] static BlockClasses classify_block(
        const char* data) noexcept {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data));
        // Signed comparisons: bytes from 0x80 up are negative, below every bound here.
        const auto within = [&](char low, char high) {
            return _mm_and_si128(_mm_cmpgt_epi8(block, _mm_set1_epi8(static_cast<char>(low - 1))),
                                 _mm_cmplt_epi8(block, _mm_set1_epi8(static_cast<char>(high + 1))));
        };
        const __m128i whitespace =
            _mm_or_si128(within('\t', '\r'), _mm_cmpeq_epi8(block, _mm_set1_epi8(' ')));
        const __m128i punctuation = _mm_or_si128(_mm_or_si128(within('!', '/'), within(':', '@')),
                                                 _mm_or_si128(within('[', '`'), within('{', '~')));
        return {static_cast<unsigned>(_mm_movemask_epi8(whitespace)),
                static_cast<unsigned>(_mm_movemask_epi8(punctuation)),
                static_cast<unsigned>(_mm_movemask_epi8(block))};
    }
#else
    static constexpr bool has_blocks = false;

    [[nodiscard]] static BlockClasses classify_block(const char*) noexcept {
        return {};
    }
#endif

    // Calls `word(piece)` for each word of `text` (valid UTF-8), in order; stops early once the
    // text's cancellation is requested.
    template <typename OnWord>
    void split(std::string_view text, Scratch& scratch, OnWord&& word) const {
        std::size_t word_start = 0;
        std::size_t position = 0;
        const auto finish_word = [&](std::size_t end) {
            // Not substr, whose bounds check is a call here: word_start <= end <= size.
            if (end > word_start)
                word(std::string_view(text.data() + word_start, end - word_start));
        };
        // A character that ends the word before it: white space starts the next word after it,
        // punctuation is a word of its own.
        const auto split_at = [&](std::size_t at, std::size_t next, std::uint32_t flags) {
            if (flags & unicode::whitespace) {
                finish_word(at);
                word_start = next;
            } else if (flags & unicode::punctuation) {
                finish_word(at);
                word_start = at;
                finish_word(next);
                word_start = next;
            }
        };
        std::size_t next_check = cancellation_interval;
        while (position < text.size()) {
            if (position >= next_check) {
                if (scratch.stop_requested()) return;
                next_check = position + cancellation_interval;
            }
            if (has_blocks && text.size() - position >= 16) {
                // 16 bytes at a time up to the first byte of a character beyond ASCII: the
                // ASCII characters that split, found by their bits.
                const BlockClasses classes = classify_block(text.data() + position);
                const unsigned ascii =
                    classes.other == 0 ? 0xFFFFu : (classes.other & (0u - classes.other)) - 1;
                for (unsigned splits = (classes.whitespace | classes.punctuation) & ascii;
                     splits != 0; splits &= splits - 1) {
                    const auto bit = static_cast<unsigned>(std::countr_zero(splits));
                    const std::size_t at = position + bit;
                    split_at(at, at + 1,
                             (classes.whitespace >> bit & 1) ? unicode::whitespace
                                                             : unicode::punctuation);
                }
                if (classes.other == 0) {
                    position += 16;
                    continue;
                }
                position += static_cast<std::size_t>(std::countr_zero(classes.other));
            }
            const auto byte = static_cast<unsigned char>(text[position]);
            if (byte < 0x80) {
                split_at(position, position + 1, ascii_flags[byte]);
                ++position;
                continue;
            }
            const std::size_t next = position + utf8::character_length(byte);
            const std::uint32_t flags = unicode::properties(utf8::decode_at(text, position));
            // Punctuation or white space, perhaps, to tokenizers.
            if ((flags & unicode::unknown) != 0) scratch.deferred = true;
            split_at(position, next, flags);
            position = next;
        }
        finish_word(text.size());
    }
};

}  // namespace korvane::tokenizer
