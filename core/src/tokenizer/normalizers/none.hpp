// No normalizer ("normalizer": null): the text as it is, still deferred to the `tokenizers`
// package when a character is unknown to the character table.
#pragma once

#include <string>
#include <string_view>

#include "tokenizer/scratch.hpp"
#include "tokenizer/unicode_flags.hpp"
#include "util/utf8.hpp"

namespace korvane::tokenizer {

struct NoNormalizer {
    bool normalize(std::string_view text, std::string& out, Scratch& scratch) const {
        std::size_t position = 0;
        std::size_t next_check = cancellation_interval;
        while (position < text.size()) {
            if (position >= next_check) {
                if (scratch.stop_requested()) return false;
                next_check = position + cancellation_interval;
            }
            const auto byte = static_cast<unsigned char>(text[position]);
            if (byte < 0x80) {
                ++position;
                out.push_back(static_cast<char>(byte));
                continue;
            }
            const char32_t code_point = *utf8::decode_multibyte(text, position);
            if (unicode::properties(code_point) & unicode::unknown) return false;
            utf8::append(out, code_point);
        }
        return true;
    }
};

}  // namespace korvane::tokenizer
