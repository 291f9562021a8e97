// The character table of the WordPiece tokenizer, generated at build time from ICU's data by
// core/tools/unicode_tables.cpp (see there for which Unicode version answers which question).
//
// Rules of use:
//  1. `properties(code_point)` takes any value below 0x110000.
//  2. Its low 10 bits hold the flags below, the next 8 the canonical combining class, the top
//     14 bits an index into `mappings` (0: neither a decomposition nor a lowercase mapping).
//  3. A mapping's entries are offsets into `sequences` (0: none); there, a sequence is its length
//     followed by its code points.
//  4. `regex_engines_differ(code_point)` is false where the flag `unknown` is set.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

namespace korvane::unicode {

inline constexpr std::uint32_t whitespace = 1;       // White_Space
inline constexpr std::uint32_t control = 2;          // removed by the normalizer's cleaning
inline constexpr std::uint32_t punctuation = 4;      // a word of its own
inline constexpr std::uint32_t nonspacing_mark = 8;  // removed with the accents
inline constexpr std::uint32_t unknown = 16;         // unassigned in the library's version
inline constexpr std::uint32_t word = 32;            // a regular expression's \w
// Its NFKC (NFC) quick check says yes: a text of such characters only, whose nonzero combining
// classes never decrease, is already in that form.
inline constexpr std::uint32_t nfkc_unchanged = 64;
inline constexpr std::uint32_t nfc_unchanged = 128;
inline constexpr std::uint32_t letter = 256;  // a regular expression's \p{L}
inline constexpr std::uint32_t number = 512;  // a regular expression's \p{N}

inline constexpr std::size_t block_size = 256;

extern const char library_version[];
extern const std::uint16_t stage1[];
extern const std::uint32_t stage2[][block_size];
extern const std::uint32_t mappings[][2];
extern const char32_t sequences[];
// Code points the table knows that the regular expression engine and tokenizers' newer one
// answer differently (unassigned in the former, or with other properties): the first and last of
// each range, in increasing order.
extern const char32_t regex_differing_ranges[][2];
extern const std::size_t regex_differing_range_count;

[[nodiscard]] inline std::uint32_t properties(char32_t code_point) noexcept {
    return stage2[stage1[code_point / block_size]][code_point % block_size];
}

[[nodiscard]] inline std::uint32_t combining_class(std::uint32_t properties) noexcept {
    return (properties >> 10) & 0xFF;
}

// The canonical decomposition (which = 0) or the lowercase mapping (which = 1); empty if none.
[[nodiscard]] inline std::span<const char32_t> mapping(std::uint32_t properties,
                                                       int which) noexcept {
    const std::uint32_t offset = mappings[properties >> 18][which];
    if (offset == 0) return {};
    return {sequences + offset + 1, static_cast<std::size_t>(sequences[offset])};
}

// True if the regular expression engine's answer on `code_point` may differ from that of
// tokenizers' newer one, although the table knows it.
[[nodiscard]] inline bool regex_engines_differ(char32_t code_point) noexcept {
    const std::span<const char32_t[2]> ranges(regex_differing_ranges, regex_differing_range_count);
    const auto found = std::ranges::lower_bound(ranges, code_point, {},
                                                [](const char32_t(&range)[2]) { return range[1]; });
    return found != ranges.end() && (*found)[0] <= code_point;
}

}  // namespace korvane::unicode
