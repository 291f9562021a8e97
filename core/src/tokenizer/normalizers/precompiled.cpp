#include "tokenizer/normalizers/precompiled.hpp"

#include <array>
#include <cstring>
#include <utility>

#include "tokenizer/json_fields.hpp"
#include "tokenizer/unicode_flags.hpp"
#include "util/utf8.hpp"

namespace korvane::tokenizer {

namespace {

// A trie unit's parts: the flag of a node with a value below it, the value of a value unit, the
// label of a node, the offset to its children.
bool has_leaf(std::uint32_t unit) noexcept {
    return ((unit >> 8) & 1) != 0;
}
std::uint32_t value_of(std::uint32_t unit) noexcept {
    return unit & 0x7FFFFFFFu;
}
std::uint32_t label_of(std::uint32_t unit) noexcept {
    return unit & 0x800000FFu;
}
std::uint32_t offset_of(std::uint32_t unit) noexcept {
    return (unit >> 10) << ((unit & (1u << 9)) >> 6);
}

// Whether `code_point` lies in one of the inclusive `ranges`.
template <std::size_t count>
bool in_ranges(char32_t code_point,
               const std::array<std::pair<char32_t, char32_t>, count>& ranges) {
    for (const auto& [first, last] : ranges)
        if (code_point >= first && code_point <= last) return true;
    return false;
}

// Characters that continue a cluster without being marks: Hangul vowels and final consonants,
// Thai and Lao SARA AM, halfwidth sound marks, emoji modifiers, tags, regional indicators.
constexpr std::array<std::pair<char32_t, char32_t>, 8> extending{{
    {0x0E33, 0x0E33},
    {0x0EB3, 0x0EB3},
    {0x1160, 0x11FF},
    {0xD7B0, 0xD7FF},
    {0xFF9E, 0xFF9F},
    {0x1F3FB, 0x1F3FF},
    {0xE0000, 0xE0FFF},
    {0x1F1E6, 0x1F1FF},  // a regional indicator after another
}};
// Characters that join the next one whatever it is: prepended concatenation marks.
constexpr std::array<std::pair<char32_t, char32_t>, 14> prepended{{
    {0x0600, 0x0605},
    {0x06DD, 0x06DD},
    {0x070F, 0x070F},
    {0x0890, 0x0891},
    {0x08E2, 0x08E2},
    {0x0D4E, 0x0D4E},
    {0x110BD, 0x110BD},
    {0x110CD, 0x110CD},
    {0x111C2, 0x111C3},
    {0x1193F, 0x1193F},
    {0x11941, 0x11941},
    {0x11A3A, 0x11A3A},
    {0x11A84, 0x11A89},
    {0x11D46, 0x11F02},
}};
// Hangul leading consonants, and every Hangul jamo or syllable, which may follow one.
constexpr std::array<std::pair<char32_t, char32_t>, 2> hangul_leading{{
    {0x1100, 0x115F},
    {0xA960, 0xA97F},
}};
constexpr std::array<std::pair<char32_t, char32_t>, 4> hangul{{
    {0x1100, 0x11FF},
    {0xA960, 0xA97F},
    {0xAC00, 0xD7A3},
    {0xD7B0, 0xD7FF},
}};

// A mark, a joiner or a connector, or a character unknown to the table: may continue a cluster,
// or (a virama) join the next consonant.
bool mark_like(char32_t code_point) noexcept {
    const std::uint32_t properties = unicode::properties(code_point);
    if ((properties & (unicode::unknown | unicode::nonspacing_mark)) != 0) return true;
    if (unicode::combining_class(properties) != 0) return true;
    return (properties & unicode::word) != 0 &&
           (properties & (unicode::letter | unicode::number)) == 0;
}

// False only when `first` and `second` never share a grapheme cluster: a superset of the
// clusters of every Unicode version's extended rules.
bool may_share_cluster(char32_t first, char32_t second) noexcept {
    if (first < 0x80 && second < 0x80) return false;  // CR LF is handled before
    return mark_like(second) || in_ranges(second, extending) || mark_like(first) ||
           in_ranges(first, prepended) ||
           (in_ranges(first, hangul_leading) && in_ranges(second, hangul));
}

// Clusters of this many bytes or more go character by character.
constexpr std::size_t whole_cluster_limit = 6;

}  // namespace

std::optional<std::string> decode_base64(std::string_view text) {
    const auto digit = [](char c) -> int {
        if (c >= 'A' && c <= 'Z') return c - 'A';
        if (c >= 'a' && c <= 'z') return c - 'a' + 26;
        if (c >= '0' && c <= '9') return c - '0' + 52;
        if (c == '+') return 62;
        if (c == '/') return 63;
        return -1;
    };
    while (!text.empty() && text.back() == '=') text.remove_suffix(1);
    if (text.size() % 4 == 1) return std::nullopt;
    std::string bytes;
    bytes.reserve(text.size() / 4 * 3 + 2);
    std::uint32_t bits = 0;
    int count = 0;
    for (const char c : text) {
        const int value = digit(c);
        if (value < 0) return std::nullopt;
        bits = (bits << 6) | static_cast<std::uint32_t>(value);
        if (++count == 4) {
            bytes.push_back(static_cast<char>(bits >> 16));
            bytes.push_back(static_cast<char>(bits >> 8));
            bytes.push_back(static_cast<char>(bits));
            bits = 0;
            count = 0;
        }
    }
    if (count == 2) bytes.push_back(static_cast<char>(bits >> 4));
    if (count == 3) {
        bytes.push_back(static_cast<char>(bits >> 10));
        bytes.push_back(static_cast<char>(bits >> 2));
    }
    return bytes;
}

std::expected<Precompiled, std::string> Precompiled::from_bytes(std::string_view bytes) {
    if (bytes.size() < 4) return std::unexpected("the Precompiled charsmap is too short");
    std::uint32_t trie_size = 0;
    for (int index = 3; index >= 0; --index)
        trie_size = (trie_size << 8) | static_cast<unsigned char>(bytes[index]);
    if (trie_size % 4 != 0 || trie_size > bytes.size() - 4)
        return std::unexpected("the Precompiled charsmap's trie size is out of range");
    Precompiled precompiled;
    precompiled.units_.resize(trie_size / 4);
    for (std::size_t index = 0; index < precompiled.units_.size(); ++index) {
        const auto* unit = reinterpret_cast<const unsigned char*>(bytes.data() + 4 + 4 * index);
        precompiled.units_[index] =
            static_cast<std::uint32_t>(unit[0]) | static_cast<std::uint32_t>(unit[1]) << 8 |
            static_cast<std::uint32_t>(unit[2]) << 16 | static_cast<std::uint32_t>(unit[3]) << 24;
    }
    precompiled.replacements_.assign(bytes.substr(4 + trie_size));
    // Every value must start a NUL-terminated replacement that is valid UTF-8, so that matching
    // never reads outside the map nor writes invalid text.
    for (std::size_t node = 0; node < precompiled.units_.size(); ++node) {
        const std::uint32_t unit = precompiled.units_[node];
        if ((unit & 0x80000000u) == 0) continue;  // not a value unit
        const std::uint32_t value = value_of(unit);
        const std::size_t end = precompiled.replacements_.find('\0', value);
        if (value >= precompiled.replacements_.size() || end == std::string::npos ||
            !utf8::is_valid(std::string_view(precompiled.replacements_).substr(value, end - value)))
            return std::unexpected("the Precompiled charsmap has a replacement out of range");
    }
    if (precompiled.units_.empty()) return std::unexpected("the Precompiled charsmap has no trie");
    return precompiled;
}

std::expected<Precompiled, std::string> Precompiled::from_json(const json::Object& part) {
    const json::Value* charsmap = member(part, "precompiled_charsmap");
    if (charsmap == nullptr || charsmap->if_string() == nullptr)
        return std::unexpected("the Precompiled normalizer's precompiled_charsmap is not text");
    auto bytes = decode_base64(*charsmap->if_string());
    if (!bytes) return std::unexpected("the Precompiled normalizer's charsmap is not base64");
    return from_bytes(*bytes);
}

std::optional<Precompiled::Match> Precompiled::shortest_prefix(
    std::string_view text) const noexcept {
    const std::size_t size = units_.size();
    std::size_t node = offset_of(units_[0]);
    for (std::size_t index = 0; index < text.size(); ++index) {
        const auto byte = static_cast<unsigned char>(text[index]);
        node ^= byte;
        if (node >= size) return std::nullopt;
        const std::uint32_t unit = units_[node];
        if (label_of(unit) != byte) return std::nullopt;
        node ^= offset_of(unit);
        if (node >= size) return std::nullopt;
        if (has_leaf(unit)) {
            const std::uint32_t value = value_of(units_[node]);
            if (value >= replacements_.size()) return std::nullopt;
            const char* start = replacements_.data() + value;
            return Match{index + 1, std::string_view(start, std::strlen(start))};
        }
    }
    return std::nullopt;
}

bool Precompiled::normalize(std::string_view text, std::string& out, Scratch&) const {
    for (std::size_t position = 0; position < text.size();) {
        const auto lead = static_cast<unsigned char>(text[position]);
        const std::size_t length = utf8::character_length(lead);
        const std::size_t next = position + length;
        // A carriage return and a line feed are a cluster of their own.
        const bool crlf = lead == '\r' && next < text.size() && text[next] == '\n';
        const std::string_view rest = text.substr(position);
        if (crlf) {
            if (const auto match = shortest_prefix(rest.substr(0, 2))) {
                out += match->replacement;
                position += 2;
                continue;
            }
        } else if (next < text.size()) {
            const std::size_t next_length =
                utf8::character_length(static_cast<unsigned char>(text[next]));
            if (length + next_length < whole_cluster_limit &&
                may_share_cluster(utf8::decode_at(text, position), utf8::decode_at(text, next)) &&
                shortest_prefix(rest))
                return false;
        }
        if (const auto match = shortest_prefix(rest.substr(0, length)))
            out += match->replacement;
        else
            out.append(rest.substr(0, length));
        position = next;
    }
    return true;
}

}  // namespace korvane::tokenizer
