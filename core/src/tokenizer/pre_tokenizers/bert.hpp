// The BertPreTokenizer: splits on whitespace and around each punctuation character.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "json/json.hpp"
#include "tokenizer/scratch.hpp"
#include "tokenizer/unicode_flags.hpp"
#include "util/ascii.hpp"
#include "util/utf8.hpp"

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
        std::size_t next_check = cancellation_interval;
        while (position < text.size()) {
            if (position >= next_check) {
                if (scratch.stop_requested()) return;
                next_check = position + cancellation_interval;
            }
            const auto byte = static_cast<unsigned char>(text[position]);
            std::size_t next = position + 1;
            std::uint32_t flags = 0;
            if (byte < 0x80) {
                flags = ascii_flags[byte];
                if (flags == 0) {
                    // The rest of a run of ASCII letters, digits and controls, letters and
                    // digits a block at a time, up to the next cancellation check.
                    const std::size_t limit = std::min(text.size(), next_check);
                    next += ascii::alphanumeric_run_length(text.data() + next, limit - next);
                    while (next < limit && static_cast<unsigned char>(text[next]) < 0x80 &&
                           ascii_flags[static_cast<unsigned char>(text[next])] == 0)
                        ++next;
                    position = next;
                    continue;
                }
            } else {
                flags = unicode::properties(utf8::decode_at(text, position));
                next = position + utf8::character_length(byte);
            }
            if (flags & unicode::whitespace) {
                finish_word(position);
                word_start = next;
            } else if (flags & unicode::punctuation) {
                finish_word(position);
                word_start = position;
                finish_word(next);
                word_start = next;
            }
            position = next;
        }
        finish_word(text.size());
    }
};

}  // namespace korvane::tokenizer
