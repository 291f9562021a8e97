// The normalization forms' part of the character table (unicode_flags.hpp), generated with it by
// core/tools/unicode_tables.cpp: the marks StripAccents removes, the compatibility
// decompositions of NFKD and NFKC and the canonical composition pairs of NFC and NFKC. Canonical
// decompositions and combining classes are in the character table itself.
//
// Rules of use:
//  1. `form_properties(code_point)` takes any value below 0x110000.
//  2. Its low 8 bits hold the flags below, the top 24 an offset into `sequences` of the full
//     compatibility decomposition where it differs from the canonical one (else 0).
//  3. `compose` knows every pair but Hangul syllables', which are made by arithmetic.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "tokenizer/unicode_flags.hpp"

namespace korvane::unicode {

inline constexpr std::uint32_t mark = 1;  // a mark (Mn, Mc or Me): removed by StripAccents
// The second character of a canonical composition pair.
inline constexpr std::uint32_t composes_with_previous = 2;

extern const std::uint16_t form_stage1[];
extern const std::uint32_t form_stage2[][block_size];
// The pairs, first << 21 | second, in increasing order, and their composites.
extern const std::uint64_t composition_pairs[];
extern const char32_t composites[];
extern const std::size_t composition_count;

[[nodiscard]] inline std::uint32_t form_properties(char32_t code_point) noexcept {
    return form_stage2[form_stage1[code_point / block_size]][code_point % block_size];
}

// The full compatibility decomposition of the character of `properties` and `form_properties`;
// empty if none.
[[nodiscard]] inline std::span<const char32_t> compatibility_decomposition(
    std::uint32_t properties, std::uint32_t form_properties) noexcept {
    const std::uint32_t offset = form_properties >> 8;
    if (offset == 0) return mapping(properties, 0);
    return {sequences + offset + 1, static_cast<std::size_t>(sequences[offset])};
}

// The primary composite of `first` and `second` (not a Hangul syllable); 0 if none.
[[nodiscard]] inline char32_t compose(char32_t first, char32_t second) noexcept {
    const std::uint64_t key = (std::uint64_t{first} << 21) | second;
    const std::span<const std::uint64_t> pairs(composition_pairs, composition_count);
    const auto found = std::ranges::lower_bound(pairs, key);
    if (found == pairs.end() || *found != key) return 0;
    return composites[found - pairs.begin()];
}

}  // namespace korvane::unicode
