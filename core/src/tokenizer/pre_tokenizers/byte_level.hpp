// The ByteLevel pre-tokenizer: a space before a segment that does not start with one
// (add_prefix_space), the segment split by the GPT-2 pattern (use_regex), each word's bytes
// written as the byte-level alphabet's characters.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "json/json.hpp"
#include "tokenizer/scratch.hpp"
#include "tokenizer/unicode_flags.hpp"
#include "util/utf8.hpp"

namespace korvane::tokenizer {

// The byte-level alphabet: each byte a printable character, as GPT-2 made it. The printable
// bytes ('!' to '~', U+00A1 to U+00AC, U+00AE to U+00FF) stand for themselves, the others, in
// order, for U+0100 onwards.
struct ByteAlphabet {
    std::array<std::array<char, 2>, 256> utf8{};
    std::array<std::uint8_t, 256> length{};

    constexpr ByteAlphabet() {
        unsigned next = 256;
        for (unsigned byte = 0; byte < 256; ++byte) {
            const bool printable =
                (byte >= 0x21 && byte <= 0x7E) || (byte >= 0xA1 && byte <= 0xAC) || byte >= 0xAE;
            const unsigned code_point = printable ? byte : next++;
            if (code_point < 0x80) {
                utf8[byte] = {static_cast<char>(code_point), 0};
                length[byte] = 1;
            } else {
                utf8[byte] = {static_cast<char>(0xC0 | (code_point >> 6)),
                              static_cast<char>(0x80 | (code_point & 0x3F))};
                length[byte] = 2;
            }
        }
    }

    // Appends `bytes` written in the alphabet to `out`.
    void append(std::string_view bytes, std::string& out) const {
        for (const char byte : bytes) {
            const auto value = static_cast<unsigned char>(byte);
            out.append(utf8[value].data(), length[value]);
        }
    }
};

inline constexpr ByteAlphabet byte_alphabet{};

// The GPT-2 pattern, 's|'t|'re|'ve|'m|'ll|'d| ?\p{L}+| ?\p{N}+| ?[^\s\p{L}\p{N}]+|\s+(?!\S)|\s+,
// matched by hand: calls `word(piece)` for each match of `text` (valid UTF-8), in order. The
// matches cover the text. False when a character is unknown to the character table (a letter or
// a number, perhaps, to tokenizers' regular expressions, and so split otherwise).
class Gpt2Splitter {
public:
    enum Class : std::uint8_t { space, letter, number, other };

    template <typename OnWord>
    [[nodiscard]] static bool split(std::string_view text, OnWord&& word) {
        bool unknown = false;
        std::size_t position = 0;
        while (position < text.size()) {
            const std::size_t start = position;
            if (text[position] == '\'') {
                if (const std::size_t length = contraction(text.substr(position + 1), false)) {
                    position += 1 + length;
                    word(text.substr(start, position - start));
                    continue;
                }
            }
            std::size_t length = 0;
            Class run = class_at(text, position, length, unknown);
            std::size_t next = position + length;
            if (text[position] == ' ' && next < text.size()) {
                std::size_t next_length = 0;
                const Class following = class_at(text, next, next_length, unknown);
                if (following != space) {
                    run = following;
                    next += next_length;
                }
            }
            if (run != space) {
                position = next;
                while (position < text.size() && class_at(text, position, length, unknown) == run)
                    position += length;
                word(text.substr(start, position - start));
                continue;
            }
            // Whitespace: all of a run that ends the text or is one character; else all but its
            // last character, which goes with what follows.
            std::size_t last = position;
            std::size_t characters = 0;
            while (position < text.size() && class_at(text, position, length, unknown) == space) {
                last = position;
                position += length;
                ++characters;
            }
            if (position < text.size() && characters > 1) position = last;
            word(text.substr(start, position - start));
        }
        return !unknown;
    }

    // The class of the character at `position`, and its length in bytes; sets `unknown` if the
    // table does not know it.
    [[nodiscard]] static Class class_at(std::string_view text, std::size_t position,
                                        std::size_t& length, bool& unknown) noexcept {
        const auto byte = static_cast<unsigned char>(text[position]);
        if (byte < 0x80) {
            length = 1;
            return ascii_classes[byte];
        }
        length = utf8::character_length(byte);
        const std::uint32_t flags = unicode::properties(utf8::decode_at(text, position));
        if (flags & unicode::unknown) unknown = true;
        if (flags & unicode::whitespace) return space;
        if (flags & unicode::letter) return letter;
        if (flags & unicode::number) return number;
        return other;
    }

    // The length of the contraction ("s", "re", ...) that starts `rest`, or 0. With `fold_case`,
    // its letters are compared as the engine compares them without case: "RE", and "ſ" (U+017F),
    // which folds to "s".
    [[nodiscard]] static std::size_t contraction(std::string_view rest, bool fold_case) noexcept {
        if (rest.empty()) return 0;
        if (fold_case && rest.starts_with("\xC5\xBF")) return 2;
        const auto letter = [&](char byte) {
            return fold_case && byte >= 'A' && byte <= 'Z' ? static_cast<char>(byte - 'A' + 'a')
                                                           : byte;
        };
        const char second = rest.size() > 1 ? letter(rest[1]) : '\0';
        switch (letter(rest[0])) {
            case 's':
            case 't':
            case 'm':
            case 'd':
                return 1;
            case 'r':
            case 'v':
                return second == 'e' ? 2 : 0;
            case 'l':
                return second == 'l' ? 2 : 0;
            default:
                return 0;
        }
    }

private:
    static constexpr std::array<Class, 128> ascii_classes = [] {
        std::array<Class, 128> classes{};
        for (unsigned byte = 0; byte < 128; ++byte) {
            Class found = other;
            if ((byte >= 9 && byte <= 13) || byte == ' ')
                found = space;
            else if ((byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z'))
                found = letter;
            else if (byte >= '0' && byte <= '9')
                found = number;
            classes[byte] = found;
        }
        return classes;
    }();
};

class ByteLevelPreTokenizer {
public:
    [[nodiscard]] static std::expected<ByteLevelPreTokenizer, std::string> from_json(
        const json::Object& part);

    // Calls `word(piece)` for each word of `text` (valid UTF-8), in the byte-level alphabet;
    // stops early once the text's cancellation is requested. Split by the pattern, a text holding
    // a character unknown to the character table is deferred.
    template <typename OnWord>
    void split(std::string_view text, Scratch& scratch, OnWord&& word) const {
        if (text.empty()) return;
        if (add_prefix_space_ && text.front() != ' ') {
            scratch.prefixed.assign(1, ' ');
            scratch.prefixed.append(text);
            text = scratch.prefixed;
        }
        std::string& mapped = scratch.byte_word;
        const auto emit = [&](std::string_view piece) {
            mapped.clear();
            byte_alphabet.append(piece, mapped);
            word(std::string_view(mapped));
        };
        if (!use_regex_) {
            emit(text);
            return;
        }
        std::size_t next_check = cancellation_interval;
        bool stopped = false;
        const bool known = Gpt2Splitter::split(text, [&](std::string_view piece) {
            if (stopped) return;
            if (static_cast<std::size_t>(piece.data() - text.data()) >= next_check) {
                if (scratch.stop_requested()) {
                    stopped = true;
                    return;
                }
                next_check += cancellation_interval;
            }
            emit(piece);
        });
        if (!known) scratch.deferred = true;
    }

private:
    bool add_prefix_space_ = true;
    bool use_regex_ = true;
};

}  // namespace korvane::tokenizer
